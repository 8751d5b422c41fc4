// datetime_test.cpp: GetDateFormatA, GetTimeFormatA, GetTickCount and
// GetLocalTime against Windows' English (United States) results.
#include "platform/localtime.h"
#include "platform/posix/datetime.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

SYSTEMTIME date(int y, int m, int d, int dow = 3) {
    SYSTEMTIME st = {};
    st.wYear = (WORD)y;
    st.wMonth = (WORD)m;
    st.wDay = (WORD)d;
    st.wDayOfWeek = (WORD)dow; // deliberately wrong: it must be ignored
    st.wHour = 65432;          // time fields are ignored by GetDateFormatA
    return st;
}

SYSTEMTIME timeofday(int h, int m, int s) {
    SYSTEMTIME st = {};
    st.wMonth = 60; // date fields are ignored by GetTimeFormatA
    st.wHour = (WORD)h;
    st.wMinute = (WORD)m;
    st.wSecond = (WORD)s;
    return st;
}

std::string dateformat(const SYSTEMTIME &st, const char *picture, DWORD flags = 0) {
    char buf[100];
    int n = GetDateFormatA(LOCALE_SYSTEM_DEFAULT, flags, &st, picture, buf, sizeof buf);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(n, (int)strlen(buf) + 1) << "the result counts the NUL";
    return buf;
}

std::string timeformat(const SYSTEMTIME &st, const char *picture, DWORD flags = 0) {
    char buf[100];
    int n = GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, flags, &st, picture, buf, sizeof buf);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(n, (int)strlen(buf) + 1);
    return buf;
}

TEST(GetDateFormatA, PicturesExpandAsOnWindows) {
    const SYSTEMTIME st = date(2001, 2, 3);
    struct Row {
        const char *picture;
        const char *want;
    } rows[] = {
        {"d", "3"},
        {"dd", "03"},
        {"ddd", "Sat"},
        {"dddd", "Saturday"},
        {"ddddd", "Saturday"},
        {"M", "2"},
        {"MM", "02"},
        {"MMM", "Feb"},
        {"MMMM", "February"},
        {"MMMMM", "February"},
        {"y", "1"},
        {"yy", "01"},
        {"yyyy", "2001"},
        {"yyyyy", "2001"},
        {"g", "A.D."},
        {"gg", "A.D."},
        {"yyyy-MM-dd", "2001-02-03"},
        {"ddd',' MMM dd yy", "Sat, Feb 03 01"},
        {"'it''s' d", "it's 3"},
        {"a''b", "ab"},
        {"''''", "'"},
        {"'''", "'"},
        {"'unterminated d", "unterminated d"},
        {"hh:mm:ss tt", "hh:mm:ss tt"},
        {"D/m/Y", "D/m/Y"},
        {"", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.picture);
        EXPECT_EQ(dateformat(st, row.picture), row.want);
    }
}

TEST(GetDateFormatA, DefaultFormatsAndLocales) {
    const SYSTEMTIME st = date(2001, 2, 3);
    EXPECT_EQ(dateformat(st, NULL), "2/3/2001");
    EXPECT_EQ(dateformat(st, NULL, DATE_SHORTDATE), "2/3/2001");
    EXPECT_EQ(dateformat(st, NULL, DATE_LONGDATE), "Saturday, February 3, 2001");
    EXPECT_EQ(dateformat(st, NULL, DATE_YEARMONTH), "February 2001");
    EXPECT_EQ(dateformat(st, "d", DATE_USE_ALT_CALENDAR), "3");
    char buf[32];
    for (LCID lcid : {0x0000u, 0x0400u, 0x0800u, 0x0409u}) {
        SCOPED_TRACE(lcid);
        EXPECT_EQ(GetDateFormatA(lcid, 0, &st, NULL, buf, sizeof buf), 9);
        EXPECT_STREQ(buf, "2/3/2001");
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetDateFormatA(12345, 0, &st, NULL, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(GetDateFormatA, WeekdayIsComputedFromTheDate) {
    struct Row {
        int y, m, d;
        const char *want;
    } rows[] = {
        {2002, 10, 23, "Wednesday"}, {1601, 1, 1, "Monday"},    {2000, 2, 29, "Tuesday"},  {1900, 3, 1, "Thursday"},
        {1970, 1, 1, "Thursday"},    {30827, 12, 31, "Friday"}, {2024, 12, 31, "Tuesday"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.want);
        for (int dow : {0, 6, 45612}) EXPECT_EQ(dateformat(date(row.y, row.m, row.d, dow), "dddd"), row.want);
    }
}

TEST(GetDateFormatA, InvalidDatesGive87AndLeaveTheBuffer) {
    struct Row {
        int y, m, d;
    } rows[] = {
        {2001, 0, 1},  {2001, 13, 1},  {2001, 1, 0}, {2001, 4, 31}, {2001, 2, 30}, {2001, 2, 29},
        {1900, 2, 29}, {1600, 12, 31}, {0, 0, 0},    {30828, 1, 1}, {2001, 1, 32},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.y) + "-" + std::to_string(row.m) + "-" + std::to_string(row.d));
        SYSTEMTIME st = date(row.y, row.m, row.d);
        char buf[32];
        memset(buf, 0xbd, sizeof buf);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, "yyyy-MM-dd", buf, sizeof buf), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ((unsigned char)buf[0], 0xbd);
    }
}

TEST(GetDateFormatA, ThirtyTwoByteBufferOverflowGives122) {
    const SYSTEMTIME st = date(2001, 2, 3);
    char buf[32];
    // 31 characters and the NUL fit exactly.
    const char *fits = "'012345678901234567890123456'yyyy"; // 27 + 4
    memset(buf, 0xbd, sizeof buf);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, fits, buf, 32), 32);
    EXPECT_EQ(buf[31], '\0');
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, fits, NULL, 0), 32) << "size asked for";

    const char *toolong = "'0123456789012345678901234567'yyyy"; // 28 + 4
    memset(buf, 0xbd, sizeof buf);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, toolong, buf, 32), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    for (unsigned char c : buf) EXPECT_EQ(c, 0xbd) << "nothing written";
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, toolong, buf, 0), 33);

    // The longest English long date still fits the 32-byte column.
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, "dddd, MMMM dd, yyyy", buf, 32), 28);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, "d", buf, -1), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(GetDateFormatA, FormatFlagsWithAPictureGive1004) {
    const SYSTEMTIME st = date(2001, 2, 3);
    char buf[32];
    for (DWORD flags : {(DWORD)DATE_SHORTDATE, (DWORD)DATE_LONGDATE, (DWORD)DATE_YEARMONTH,
                        (DWORD)LOCALE_NOUSEROVERRIDE, (DWORD)0x1000}) {
        SCOPED_TRACE(flags);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, flags, &st, "yyyy", buf, sizeof buf), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE | DATE_LONGDATE, &st, NULL, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
    EXPECT_EQ(GetDateFormatA(LOCALE_SYSTEM_DEFAULT, LOCALE_NOUSEROVERRIDE, &st, NULL, buf, sizeof buf), 9);
}

TEST(GetTimeFormatA, DefaultFormatAroundTheClock) {
    struct Row {
        int h, m, s;
        const char *want;
    } rows[] = {
        {13, 45, 59, "1:45:59 PM"}, {0, 0, 0, "12:00:00 AM"},    {9, 5, 7, "9:05:07 AM"},
        {12, 0, 0, "12:00:00 PM"},  {23, 59, 59, "11:59:59 PM"}, {11, 59, 59, "11:59:59 AM"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.want);
        EXPECT_EQ(timeformat(timeofday(row.h, row.m, row.s), NULL), row.want);
    }
    char buf[100];
    SYSTEMTIME st = timeofday(13, 45, 59);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, buf, 100), 11);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, buf, 0), 11);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, buf, 10), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(GetTimeFormatA, PicturesAndFlags) {
    struct Row {
        int h, m, s;
        const char *picture;
        DWORD flags;
        const char *want;
    } rows[] = {
        {14, 5, 3, "h hh H HH m mm s ss t tt", 0, "2 02 14 14 5 05 3 03 P PM"},
        {0, 0, 0, "h/H/hh/HH", 0, "12/0/12/00"},
        {8, 56, 13, "hhh:mmm:sss ttt", 0, "08:56:13 AM"},
        {8, 56, 13, "t/tt", 0, "A/AM"},
        {13, 56, 13, "t/tt", 0, "P/PM"},
        {8, 56, 13, "'h' h dd MM yy", 0, "h 8 dd MM yy"},
        {8, 56, 13, "h:m:s tt", TIME_NOSECONDS, "8:56 AM"},
        {8, 56, 13, "h.@:m.@:s.@:tt", TIME_NOSECONDS, "8.@:56AM"},
        {8, 56, 13, "s1s2s3", TIME_NOSECONDS, ""},
        {8, 56, 13, NULL, TIME_NOSECONDS, "8:56 AM"},
        {8, 56, 13, NULL, TIME_NOMINUTESORSECONDS, "8 AM"},
        {13, 56, 13, "h1t2tt3m", TIME_NOTIMEMARKER, "156"},
        {13, 56, 13, NULL, TIME_NOTIMEMARKER, "1:56:13"},
        {13, 56, 13, "h:m:s tt", TIME_FORCE24HOURFORMAT, "13:56:13 PM"},
        {13, 56, 13, "h:m:s", TIME_FORCE24HOURFORMAT, "13:56:13"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.picture ? row.picture : "(default)");
        EXPECT_EQ(timeformat(timeofday(row.h, row.m, row.s), row.picture, row.flags), row.want);
    }
}

TEST(GetTimeFormatA, InvalidTimesAndFlags) {
    SYSTEMTIME bad[4] = {timeofday(24, 0, 0), timeofday(0, 60, 0), timeofday(0, 0, 60), timeofday(0, 0, 0)};
    bad[3].wMilliseconds = 1000;
    char buf[100];
    for (const SYSTEMTIME &st : bad) {
        SetLastError(0xdeadbeef);
        buf[0] = 'x';
        EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, buf, sizeof buf), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(buf[0], 'x');
    }
    SYSTEMTIME st = timeofday(8, 0, 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, LOCALE_NOUSEROVERRIDE, &st, "h", buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetTimeFormatA(0x0407 /* German: not offered */, 0, &st, NULL, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

class Clock : public qt::TempNetwork {
protected:
    void TearDown() override {
        qt::settickoffset(nullptr);
        qt::TempNetwork::TearDown();
    }
};

TEST_F(Clock, TickCountAdvancesAndTheOffsetProvokesTheWrap) {
    DWORD t1 = GetTickCount();
    usleep(50000);
    DWORD t2 = GetTickCount();
    EXPECT_GE(t2 - t1, 40u);
    EXPECT_LT(t2 - t1, 2000u);

    // Start 100 ms before the wrap.
    DWORD now = GetTickCount();
    long long offset = 4294967296LL - (long long)now - 100;
    qt::settickoffset(std::to_string(offset).c_str());
    DWORD before = GetTickCount();
    EXPECT_GT(before, 0xFFFFFF00u);
    usleep(200000);
    DWORD after = GetTickCount();
    EXPECT_LT(after, 2000u) << "the counter wrapped to a small value";

    qt::settickoffset("-1000");
    DWORD back = GetTickCount();
    qt::settickoffset(nullptr);
    DWORD plain = GetTickCount();
    EXPECT_GE(plain - back, 1000u);
    EXPECT_LT(plain - back, 3000u);
}

TEST_F(Clock, LocalTimeFollowsTZ) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        setenv("TZ", "UTC", 1);
        SYSTEMTIME utc;
        GetLocalTime(&utc);
        setenv("TZ", "EST5", 1);
        SYSTEMTIME est;
        GetLocalTime(&est);
        time_t t = time(nullptr);
        struct tm g;
        gmtime_r(&t, &g);
        if (utc.wSecond != est.wSecond || utc.wSecond != g.tm_sec) continue; // a second went by
        EXPECT_EQ(utc.wHour, g.tm_hour);
        EXPECT_EQ(utc.wMinute, g.tm_min);
        EXPECT_EQ(utc.wDay, g.tm_mday);
        EXPECT_EQ(utc.wMonth, g.tm_mon + 1);
        EXPECT_EQ(utc.wYear, g.tm_year + 1900);
        EXPECT_EQ(utc.wDayOfWeek, g.tm_wday);
        EXPECT_EQ(est.wHour, (utc.wHour + 19) % 24);
        EXPECT_EQ(est.wMinute, utc.wMinute);
        EXPECT_LT(utc.wMilliseconds, 1000);
        return;
    }
    FAIL() << "the clock never held still for a second";
}

// The local time of t as the C library gives it and as localtimeof gives it
// agree in every field, or are both missing.
void expectsamelocal(time_t t) {
    struct tm want, got;
    const struct tm *w = localtime_r(&t, &want);
    const struct tm *g = localtimeof(t, &got);
    ASSERT_EQ(w == nullptr, g == nullptr) << "t=" << t;
    if (!w) return;
    ASSERT_EQ(std::vector<long>({got.tm_year, got.tm_mon, got.tm_mday, got.tm_hour, got.tm_min, got.tm_sec, got.tm_wday,
                                 got.tm_yday, got.tm_isdst, got.tm_gmtoff}),
              std::vector<long>({want.tm_year, want.tm_mon, want.tm_mday, want.tm_hour, want.tm_min, want.tm_sec,
                                 want.tm_wday, want.tm_yday, want.tm_isdst, want.tm_gmtoff}))
        << "t=" << t;
    ASSERT_STREQ(got.tm_zone, want.tm_zone) << "t=" << t;
}

// Local wall-clock seconds minus UTC seconds at t, by the C library.
long long walloffset(time_t t) {
    struct tm tm;
    if (!localtime_r(&t, &tm)) return 0;
    time_t wall = timegm(&tm);
    return (long long)wall - (long long)t;
}

TEST_F(Clock, LocalTimeOfMatchesTheCLibrary) {
    // Zones with daylight saving by rule and by the database, offsets of
    // half and quarter hours, a daylight shift of half an hour, a change of
    // a zone's standard offset, and leap seconds (the right/ zones).
    const char *zones[] = {"UTC",
                           "EST5",
                           "CET-1CEST,M3.5.0,M10.5.0/3",
                           "<+0545>-5:45",
                           "America/New_York",
                           "Europe/London",
                           "Australia/Lord_Howe",
                           "Asia/Kathmandu",
                           "America/St_Johns",
                           "Pacific/Chatham",
                           "Africa/Freetown",
                           "Europe/Moscow",
                           "right/UTC",
                           "right/Europe/Berlin"};
    uint64_t state = 99;
    auto next = [&state](uint64_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (state >> 24) % n;
    };
    for (const char *zone : zones) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        // Every change of the wall-clock offset from 1900 to 2040, found day
        // by day, and the times around it: each second near it, then steps
        // of up to a minute over the hours on both sides, in order and back.
        std::vector<time_t> changes;
        const time_t day = 86400, from = -2208988800LL, to = 2208988800LL;
        long long before = walloffset(from);
        for (time_t t = from + day; t < to; t += day) {
            long long now = walloffset(t);
            if (now != before) changes.push_back(t);
            before = now;
        }
        for (time_t change : changes) {
            // The change lies within the day before: find its second.
            time_t lo = change - day, hi = change;
            const long long old = walloffset(lo);
            while (hi - lo > 1) {
                time_t mid = lo + (hi - lo) / 2;
                (walloffset(mid) == old ? lo : hi) = mid;
            }
            for (time_t t = hi - 3; t <= hi + 3; ++t) expectsamelocal(t);
            for (time_t t = hi - 7200; t < hi + 7200; t += 1 + (time_t)next(60)) expectsamelocal(t);
            for (time_t t = hi + 7200; t > hi - 7200; t -= 1 + (time_t)next(60)) expectsamelocal(t);
        }
        // Times anywhere, in no order, and times the conversion refuses.
        for (int i = 0; i < 20000; ++i) expectsamelocal((time_t)next(1ull << 34) - ((time_t)1 << 33));
        for (time_t t : {(time_t)0, (time_t)-1, ((time_t)1 << 40), ((time_t)1 << 40) + 1, -((time_t)1 << 40),
                         (time_t)0x7FFFFFFFFFFFFFFFLL, (time_t)(-0x7FFFFFFFFFFFFFFFLL - 1)})
            expectsamelocal(t);
    }

    // A change of zone within an hour already converted is taken at once.
    setenv("TZ", "UTC", 1);
    tzset();
    expectsamelocal(1300000000);
    setenv("TZ", "EST5", 1);
    tzset();
    expectsamelocal(1300000001);
    setenv("TZ", "<+0545>-5:45", 1);
    tzset();
    expectsamelocal(1300000002);
}

} // namespace
