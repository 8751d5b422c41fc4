// datetime.h: local time, the tick counter, and date and time formatting.
//
// GetLocalTime follows TZ; GetTickCount counts milliseconds of the monotonic
// clock in 32 bits, plus QUILLOG_TICK_OFFSET (a decimal number of
// milliseconds, possibly negative) so that a test can start the counter just
// before it wraps. The variable is read on the first call; a test that
// changes it calls nt::readtickoffset. GetDateFormatA and GetTimeFormatA speak English (United
// States), the language of the locales 0, LOCALE_USER_DEFAULT,
// LOCALE_SYSTEM_DEFAULT and 0x409; any other locale is refused.
//
// The flag values below are Windows'; the program itself passes 0, so they
// are declared here for the emulation and its tests rather than in win32.h.
#ifndef QUILLOG_POSIX_DATETIME_H
#define QUILLOG_POSIX_DATETIME_H

#include "platform/win32.h"

#define DATE_SHORTDATE 0x00000001
#define DATE_LONGDATE 0x00000002
#define DATE_USE_ALT_CALENDAR 0x00000004
#define DATE_YEARMONTH 0x00000008
#define DATE_LTRREADING 0x00000010
#define DATE_RTLREADING 0x00000020
#define TIME_NOMINUTESORSECONDS 0x00000001
#define TIME_NOSECONDS 0x00000002
#define TIME_NOTIMEMARKER 0x00000004
#define TIME_FORCE24HOURFORMAT 0x00000008
#define LOCALE_NOUSEROVERRIDE 0x80000000
#define LOCALE_USE_CP_ACP 0x40000000

namespace nt {

// Reads QUILLOG_TICK_OFFSET again, for the GetTickCount calls that follow.
void readtickoffset();

} // namespace nt

#endif // QUILLOG_POSIX_DATETIME_H
