// localtime.h: seconds since 1970 to the broken-down local time.
//
// The C library's localtime must notice a change of the time zone settings,
// so on Linux it looks at them again on every call: with TZ unset that is a
// status call on /etc/localtime per record, which costs more than the rest
// of a record's line. localtime_r takes the zone once per process (tzset
// takes a changed one). Windows' run-time library reads its zone once in
// localtime too, so there the plain call is used.
#ifndef QUILLOG_PLATFORM_LOCALTIME_H
#define QUILLOG_PLATFORM_LOCALTIME_H

#include <ctime>

// Fills *buf with the local time of t and returns buf; null when t cannot be
// represented.
inline const struct tm *localtimeof(time_t t, struct tm *buf) {
#ifdef _WIN32
    const struct tm *lt = localtime(&t);
    if (!lt) return nullptr;
    *buf = *lt;
    return buf;
#else
    return localtime_r(&t, buf);
#endif
}

#endif // QUILLOG_PLATFORM_LOCALTIME_H
