// datetime.cpp: GetLocalTime, GetTickCount, GetDateFormatA, GetTimeFormatA.
//
// A format picture is read left to right. A run of one field letter is one
// field (dd, MMMM, yyyy; date letters d M y g, time letters h H m s t); text
// between single quotes is copied as it stands, '' inside quotes being one
// quote and '' outside quotes nothing; every other character is copied. The
// day of the week is always computed from the date: the caller's wDayOfWeek
// is ignored, as Windows ignores it. Results are all or nothing: a buffer too
// small for the whole text (with its NUL) is left untouched.
#include "platform/posix/datetime.h"

#include "platform/posix/common.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

namespace nt {

namespace {

const char *const DayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *const DayAbbrevs[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const MonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                    "July",    "August",   "September", "October", "November", "December"};
const char *const MonthAbbrevs[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char EraName[] = "A.D.";
const char *const Designators[2] = {"AM", "PM"};

const char ShortDate[] = "M/d/yyyy";
const char LongDate[] = "dddd, MMMM d, yyyy";
const char YearMonth[] = "MMMM yyyy";
const char LongTime[] = "h:mm:ss tt";

bool englishlocale(LCID lcid) {
    return lcid == 0 || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == 0x409;
}

bool leapyear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysinmonth(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapyear(y) ? 29 : days[m - 1];
}

// The dates a FILETIME can hold: 1601-01-01 to 30827-12-31.
bool validdate(const SYSTEMTIME &st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= daysinmonth(st.wYear, st.wMonth);
}

bool validtime(const SYSTEMTIME &st) {
    return st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// 0 = Sunday, for a valid Gregorian date.
int weekday(int y, int m, int d) {
    static const int offsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + offsets[m - 1] + d) % 7;
}

std::string number(int value, int width) {
    std::string s = std::to_string(value);
    while ((int)s.size() < width) s.insert(s.begin(), '0');
    return s;
}

bool datefield(char c) { return c == 'd' || c == 'M' || c == 'y' || c == 'g'; }
bool timefield(char c) { return c == 'h' || c == 'H' || c == 'm' || c == 's' || c == 't'; }

std::string datetext(char c, int n, const SYSTEMTIME &st) {
    switch (c) {
    case 'd':
        if (n <= 2) return number(st.wDay, n);
        return (n == 3 ? DayAbbrevs : DayNames)[weekday(st.wYear, st.wMonth, st.wDay)];
    case 'M':
        if (n <= 2) return number(st.wMonth, n);
        return (n == 3 ? MonthAbbrevs : MonthNames)[st.wMonth - 1];
    case 'y':
        if (n == 1) return number(st.wYear % 10, 1);
        if (n == 2) return number(st.wYear % 100, 2);
        return number(st.wYear, 4);
    default: return EraName;
    }
}

std::string timetext(char c, int n, const SYSTEMTIME &st, DWORD flags) {
    int width = n >= 2 ? 2 : 1;
    switch (c) {
    case 'h':
        if (!(flags & TIME_FORCE24HOURFORMAT)) return number(st.wHour % 12 == 0 ? 12 : st.wHour % 12, width);
        return number(st.wHour, width);
    case 'H': return number(st.wHour, width);
    case 'm': return number(st.wMinute, width);
    case 's': return number(st.wSecond, width);
    default: {
        std::string marker = Designators[st.wHour >= 12];
        return n == 1 ? marker.substr(0, 1) : marker;
    }
    }
}

// True when the time flags drop this field.
bool dropped(char c, DWORD flags) {
    if (c == 's') return flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS);
    if (c == 'm') return flags & TIME_NOMINUTESORSECONDS;
    if (c == 't') return flags & TIME_NOTIMEMARKER;
    return false;
}

// Expands a date picture (istime false) or a time picture. A dropped time
// field takes the text since the previous field with it, and the separators
// after it up to the next blank or field: "h:mm:ss tt" without seconds is
// "h:mm tt".
std::string expand(const char *picture, const SYSTEMTIME &st, bool istime, DWORD flags) {
    std::string out;
    size_t fieldend = 0;
    bool skipping = false;
    for (const char *p = picture; *p;) {
        char c = *p;
        if (c == '\'') {
            ++p;
            for (; *p; ++p) {
                if (*p == '\'') {
                    if (p[1] != '\'') {
                        ++p;
                        break;
                    }
                    ++p;
                }
                out += *p;
            }
            skipping = false;
            continue;
        }
        if (istime ? timefield(c) : datefield(c)) {
            int n = 0;
            while (*p == c) ++p, ++n;
            if (istime && dropped(c, flags)) {
                out.resize(fieldend);
                skipping = true;
                continue;
            }
            out += istime ? timetext(c, n, st, flags) : datetext(c, n, st);
            fieldend = out.size();
            skipping = false;
            continue;
        }
        ++p;
        if (skipping && c != ' ') continue;
        skipping = false;
        out += c;
    }
    return out;
}

// Copies text and its NUL to buffer when it fits; returns the length with
// the NUL, 0 for a buffer too small (nothing written), or the size needed
// when cch is 0.
int deliver(const std::string &text, LPSTR buffer, int cch) {
    int need = (int)text.size() + 1;
    if (cch == 0) return need;
    if (need > cch) return failwith(ERROR_INSUFFICIENT_BUFFER, 0);
    memcpy(buffer, text.c_str(), (size_t)need);
    return need;
}

} // namespace

} // namespace nt

/***********************************************************************
 * GetLocalTime
 *
 *   lpSystemTime [O] the local wall-clock time (TZ applied), wDayOfWeek 0 =
 *                    Sunday, milliseconds from the clock
 */
void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    struct tm tm;
    tzset(); // localtime_r alone may keep a zone read before TZ changed
    localtime_r(&secs, &tm);
    lpSystemTime->wYear = (WORD)(tm.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(tm.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)tm.tm_wday;
    lpSystemTime->wDay = (WORD)tm.tm_mday;
    lpSystemTime->wHour = (WORD)tm.tm_hour;
    lpSystemTime->wMinute = (WORD)tm.tm_min;
    lpSystemTime->wSecond = (WORD)(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    lpSystemTime->wMilliseconds = (WORD)(ts.tv_nsec / 1000000);
}

namespace nt {

namespace {

// QUILLOG_TICK_OFFSET as last read; the account cache asks for the tick
// count on every record, and a walk over the environment would cost more
// than the rest of its work.
bool tickoffsetread;
uint64_t tickoffset;

} // namespace

void readtickoffset() {
    const char *offset = getenv("QUILLOG_TICK_OFFSET");
    tickoffset = offset && *offset ? (uint64_t)strtoll(offset, nullptr, 10) : 0;
    tickoffsetread = true;
}

} // namespace nt

/***********************************************************************
 * GetTickCount
 *
 * RETURNS milliseconds of the monotonic clock plus QUILLOG_TICK_OFFSET (read
 * on the first call, and again by nt::readtickoffset), truncated to 32 bits:
 * the counter wraps to 0 every 49.7 days.
 */
DWORD GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
    if (!nt::tickoffsetread) nt::readtickoffset();
    return (DWORD)(ms + nt::tickoffset);
}

/***********************************************************************
 * GetDateFormatA
 *
 * Formats a date.
 *   Locale   [I] 0, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT or 0x409
 *   dwFlags  [I] without a picture: DATE_SHORTDATE (the default, "M/d/yyyy"),
 *                DATE_LONGDATE ("dddd, MMMM d, yyyy") or DATE_YEARMONTH
 *                ("MMMM yyyy"); with a picture only 0 or
 *                DATE_USE_ALT_CALENDAR (the calendar is Gregorian either way)
 *   lpDate   [I] the date (time fields and wDayOfWeek ignored); NULL: today
 *   lpFormat [I] the picture, or NULL
 *   lpDateStr [O] the text and its NUL; untouched on failure
 *   cchDate  [I] size of lpDateStr; 0 asks for the size needed
 * RETURNS the length including the NUL (or the size needed). 0 on failure:
 * ERROR_INVALID_PARAMETER (87) for an unknown locale, a bad size or an
 * invalid date (year 1601 to 30827, real days of the month),
 * ERROR_INVALID_FLAGS (1004) for unknown or conflicting flags or format flags
 * with a picture, ERROR_INSUFFICIENT_BUFFER (122) when the text does not fit.
 */
int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpDate, LPCSTR lpFormat, LPSTR lpDateStr,
                   int cchDate) {
    if (!nt::englishlocale(Locale) || cchDate < 0 || (cchDate > 0 && !lpDateStr))
        return nt::failwith(ERROR_INVALID_PARAMETER, 0);
    const DWORD known = DATE_SHORTDATE | DATE_LONGDATE | DATE_USE_ALT_CALENDAR | DATE_YEARMONTH | DATE_LTRREADING |
                        DATE_RTLREADING | LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
    DWORD kinds = dwFlags & (DATE_SHORTDATE | DATE_LONGDATE | DATE_YEARMONTH);
    if ((dwFlags & ~known) || (kinds & (kinds - 1)) ||
        (dwFlags & (DATE_LTRREADING | DATE_RTLREADING)) == (DATE_LTRREADING | DATE_RTLREADING) ||
        (lpFormat && (kinds || (dwFlags & LOCALE_NOUSEROVERRIDE))))
        return nt::failwith(ERROR_INVALID_FLAGS, 0);
    SYSTEMTIME now;
    if (!lpDate) {
        GetLocalTime(&now);
        lpDate = &now;
    }
    if (!nt::validdate(*lpDate)) return nt::failwith(ERROR_INVALID_PARAMETER, 0);
    const char *picture = lpFormat                     ? lpFormat
                          : (dwFlags & DATE_LONGDATE)  ? nt::LongDate
                          : (dwFlags & DATE_YEARMONTH) ? nt::YearMonth
                                                       : nt::ShortDate;
    return nt::deliver(nt::expand(picture, *lpDate, false, 0), lpDateStr, cchDate);
}

/***********************************************************************
 * GetTimeFormatA
 *
 * Formats a time of day.
 *   Locale    [I] 0, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT or 0x409
 *   dwFlags   [I] TIME_NOMINUTESORSECONDS, TIME_NOSECONDS, TIME_NOTIMEMARKER,
 *                 TIME_FORCE24HOURFORMAT; LOCALE_NOUSEROVERRIDE only without
 *                 a picture
 *   lpTime    [I] the time (date fields ignored); NULL: now
 *   lpFormat  [I] the picture, or NULL for "h:mm:ss tt"
 *   lpTimeStr [O] the text and its NUL; untouched on failure
 *   cchTime   [I] size of lpTimeStr; 0 asks for the size needed
 * RETURNS the length including the NUL (or the size needed). 0 on failure:
 * ERROR_INVALID_PARAMETER for an unknown locale, a bad size or an invalid
 * time, ERROR_INVALID_FLAGS for unknown flags, ERROR_INSUFFICIENT_BUFFER.
 */
int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpTime, LPCSTR lpFormat, LPSTR lpTimeStr,
                   int cchTime) {
    if (!nt::englishlocale(Locale) || cchTime < 0 || (cchTime > 0 && !lpTimeStr))
        return nt::failwith(ERROR_INVALID_PARAMETER, 0);
    const DWORD known = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT |
                        LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
    if ((dwFlags & ~known) || (lpFormat && (dwFlags & LOCALE_NOUSEROVERRIDE)))
        return nt::failwith(ERROR_INVALID_FLAGS, 0);
    SYSTEMTIME now;
    if (!lpTime) {
        GetLocalTime(&now);
        lpTime = &now;
    }
    if (!nt::validtime(*lpTime)) return nt::failwith(ERROR_INVALID_PARAMETER, 0);
    return nt::deliver(nt::expand(lpFormat ? lpFormat : nt::LongTime, *lpTime, true, dwFlags), lpTimeStr, cchTime);
}
