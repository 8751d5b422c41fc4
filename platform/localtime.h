// localtime.h: seconds since 1970 to the broken-down local time.
//
// The C library's localtime must notice a change of the time zone settings,
// so on Linux it looks at them again on every call: with TZ unset that is a
// status call on /etc/localtime per record, which costs more than the rest
// of a record's line. localtime_r takes the zone once per process (tzset
// takes a changed one). Windows' run-time library reads its zone once in
// localtime too, so there the plain call is used.
//
// On Linux even localtime_r costs about 500 instructions (a lock, a search
// of the zone's transitions, the calendar arithmetic), a tenth of a short
// record's line, and a log's records come in time order, often hours apart.
// So the conversion works by the day of UTC: the first time of a day
// converts the day's first and last second with localtime_r; when both have
// the same offset from UTC (and the same daylight flag and zone name), every
// second of the day has it, for no zone of the time zone database changes
// twice within a day (the closest changes of any kind, 1900 to 2040, are
// four days apart: Africa/Freetown, 1939), and the times of that day are
// converted by calendar arithmetic alone. A day whose ends differ (a change
// of offset, a leap second) converts each time with localtime_r. A call of
// tzset that changes the zone's names or offsets starts afresh.
#ifndef QUILLOG_PLATFORM_LOCALTIME_H
#define QUILLOG_PLATFORM_LOCALTIME_H

#include <ctime>

#ifndef _WIN32
namespace localzone {

const time_t Span = 86400;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
inline long long daysfromcivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

// The seconds since 1970 that the wall-clock fields of tm would be in UTC.
inline long long civilseconds(const struct tm &tm) {
    return daysfromcivil((long long)tm.tm_year + 1900, (unsigned)tm.tm_mon + 1, (unsigned)tm.tm_mday) * 86400 +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

// Fills the calendar and clock fields of *out from seconds since 1970 read
// as UTC wall-clock time (days to a date as in daysfromcivil, reversed).
inline void breakdown(long long s, struct tm *out) {
    long long days = s / 86400, secs = s % 86400;
    if (secs < 0) secs += 86400, --days;
    out->tm_hour = (int)(secs / 3600);
    out->tm_min = (int)(secs / 60 % 60);
    out->tm_sec = (int)(secs % 60);
    out->tm_wday = (int)((days % 7 + 11) % 7); // 1970-01-01 was a Thursday
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = (long long)yoe + era * 400 + (m <= 2);
    out->tm_year = (int)(y - 1900);
    out->tm_mon = (int)m - 1;
    out->tm_mday = (int)d;
    out->tm_yday = (int)(days - daysfromcivil(y, 1, 1));
}

// The day last converted, and whether one offset holds for all of it.
struct DaySpan {
    bool known = false;
    time_t start = 0;
    bool steady = false;
    long long offset = 0;     // local wall-clock seconds minus UTC seconds
    struct tm first = {};     // the day's first second, for tm_isdst and the zone fields
    long long firstofday = 0; // its seconds since the start of its local day
    // The zone as the last tzset left it.
    const char *names[2] = {nullptr, nullptr};
    long zoneoffset = 0;
    int zonedaylight = 0;
};

inline DaySpan &span() {
    static DaySpan s;
    return s;
}

} // namespace localzone
#endif

// Fills *buf with the local time of t and returns buf; null when t cannot be
// represented.
inline const struct tm *localtimeof(time_t t, struct tm *buf) {
#ifdef _WIN32
    const struct tm *lt = localtime(&t);
    if (!lt) return nullptr;
    *buf = *lt;
    return buf;
#else
    using namespace localzone;
    // Times far from now go to the C library (and never overflow here).
    if (t < -((time_t)1 << 40) || t > ((time_t)1 << 40)) return localtime_r(&t, buf);
    DaySpan &h = span();
    time_t into = t % Span;
    if (into < 0) into += Span;
    const time_t start = t - into;
    if (!h.known || h.start != start || h.names[0] != tzname[0] || h.names[1] != tzname[1] ||
        h.zoneoffset != timezone || h.zonedaylight != daylight) {
        h.known = false;
        struct tm last;
        const time_t end = start + Span - 1;
        if (!localtime_r(&start, &h.first) || !localtime_r(&end, &last)) return localtime_r(&t, buf);
        h.offset = civilseconds(h.first) - start;
        h.steady = h.offset == civilseconds(last) - end && h.first.tm_sec < 60 && last.tm_sec < 60 &&
                   h.first.tm_isdst == last.tm_isdst && h.first.tm_gmtoff == last.tm_gmtoff &&
                   h.first.tm_zone == last.tm_zone;
        h.firstofday = h.first.tm_hour * 3600 + h.first.tm_min * 60 + h.first.tm_sec;
        h.start = start;
        h.names[0] = tzname[0];
        h.names[1] = tzname[1];
        h.zoneoffset = timezone;
        h.zonedaylight = daylight;
        h.known = true;
    }
    if (!h.steady) return localtime_r(&t, buf);
    // The span's first second gives the date; times of the same local day
    // need only their clock fields.
    const long long secsofday = h.firstofday + into;
    *buf = h.first;
    if (secsofday < 86400) {
        const int minutes = (int)secsofday / 60;
        buf->tm_hour = minutes / 60;
        buf->tm_min = minutes % 60;
        buf->tm_sec = (int)secsofday % 60;
    } else {
        breakdown((long long)t + h.offset, buf);
    }
    return buf;
#endif
}

#endif // QUILLOG_PLATFORM_LOCALTIME_H
