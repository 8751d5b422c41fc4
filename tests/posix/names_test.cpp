// names_test.cpp: GetComputerNameA and lstrcmpiA.
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class ComputerName : public qt::TempNetwork {};

// The sort key of a string, as LCMapStringA gives it.
std::string sortkey(const char *text) {
    const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
    int size = LCMapStringA(LOCALE_USER_DEFAULT, flags, text, -1, nullptr, 0);
    std::string key((size_t)(size > 0 ? size : 1), '\0');
    if (size > 0) LCMapStringA(LOCALE_USER_DEFAULT, flags, text, -1, &key[0], size);
    return key;
}

TEST_F(ComputerName, SizeRulesFollowWindows) {
    char buf[64];
    DWORD size = sizeof buf;
    ASSERT_TRUE(GetComputerNameA(buf, &size));
    EXPECT_STREQ(buf, "HOST12");
    EXPECT_EQ(size, 6u) << "the length without the NUL";

    size = 7;
    EXPECT_TRUE(GetComputerNameA(buf, &size)) << "length + 1 is enough";

    memset(buf, 'x', sizeof buf);
    size = 6;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetComputerNameA(buf, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 7u) << "the size needed, with the NUL";
    EXPECT_EQ(buf[0], 'x') << "the buffer is untouched";
}

TEST_F(ComputerName, NameIsUpperCaseNetbiosName) {
    char buf[64];
    DWORD size = sizeof buf;
    setenv("COMPUTERNAME", "workstation-with-a-long-name", 1);
    ASSERT_TRUE(GetComputerNameA(buf, &size));
    EXPECT_STREQ(buf, "WORKSTATION-WIT");
    EXPECT_EQ(size, 15u);

    unsetenv("COMPUTERNAME");
    char host[256] = {0};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string want = host;
    want = want.substr(0, want.find('.')).substr(0, 15);
    for (char &c : want) c = (char)toupper((unsigned char)c);
    size = sizeof buf;
    ASSERT_TRUE(GetComputerNameA(buf, &size));
    EXPECT_EQ(std::string(buf), want);
}

TEST(LstrcmpiA, ResultsOfTheProbeTable) {
    struct Row {
        const char *a, *b;
        int want;
    } rows[] = {
        {"SEC", "sec", 0},
        {"Security", "SECURITY", 0},
        {"C:\\WINNT\\System32\\netmsg.dll", "c:\\winnt\\system32\\NETMSG.DLL", 0},
        {"Service Control Manager", "service control manager", 0},
        {"a", "B", -1},
        {"B", "a", 1},
        {"", "a", -1},
        {"abc", "abcd", -1},
        {"_", "a", -1},
        {"[", "a", -1},
        {"a", "{", 1},
        {"EndDialog", "_Property", 1},
        {"#", ".", -1},
        {"_", ".", 1},
        {"1", "a", -1},
        {"10", "9", -1},
        {" a", "a", -1},
        {"-o", "/m", 1},
        {"co-op", "coop", 1},
        {"\xE9", "\xC9", 0},
        {"\xE9", "e", 1},
        {"\xE9", "f", -1},
        {"\xF6", "\xD6", 0},
        {"r\xE9sum\xE9", "resume", 1},
        {"r\xE9sum\xE9", "resumf", -1},
        {"a", "zzz", -1},
        {"stra\xDF"
         "e",
         "strasse", 0},
        {"stra\xDF"
         "e",
         "STRASSE", 0},
        {"\xE6", "ae", 0},
        {"\xC6"
         "on",
         "AEON", 0},
        {"a\xAD"
         "b",
         "ab", 0},
        {"a\x01"
         "b",
         "ab", 1},
        {"a'b", "ab", 1},
        {"\x9A", "\x8A", 0},
        {"\x9C", "\x8C", 0},
        {"\xFF", "\x9F", 0},
        {"\x9E", "\x8E", 0},
        {"^", "\x88", 0},
        {NULL, NULL, 0},
        {NULL, "", -1},
        {"", NULL, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.a ? row.a : "(null)") + " vs " + (row.b ? row.b : "(null)"));
        EXPECT_EQ(lstrcmpiA(row.a, row.b), row.want);
        // The sort keys compare as the strings do.
        if (row.a && row.b) {
            std::string ka = sortkey(row.a), kb = sortkey(row.b);
            int bytes = memcmp(ka.data(), kb.data(), std::min(ka.size(), kb.size()) + 1);
            EXPECT_EQ(bytes < 0 ? -1 : bytes > 0 ? 1 : 0, row.want);
        }
    }
}

TEST(LCMapStringA, SortKeySizesAndErrors) {
    const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
    char key[64];
    memset(key, 'x', sizeof key);
    int size = LCMapStringA(LOCALE_USER_DEFAULT, flags, "Ab-c", -1, nullptr, 0);
    ASSERT_GT(size, 0);
    EXPECT_EQ(LCMapStringA(LOCALE_USER_DEFAULT, flags, "Ab-c", -1, key, size), size);
    EXPECT_EQ(key[size - 1], '\0');
    EXPECT_EQ(LCMapStringA(LOCALE_USER_DEFAULT, flags, "Ab-cdef", 4, key + 32, 32), size) << "a counted string";
    EXPECT_EQ(memcmp(key, key + 32, (size_t)size), 0);
    const struct {
        const char *what;
        DWORD flags;
        const char *source;
        int count, cap;
        DWORD error;
    } rows[] = {
        {"buffer one byte short", flags, "Ab-c", -1, size - 1, ERROR_INSUFFICIENT_BUFFER},
        {"case kept", LCMAP_SORTKEY, "Ab-c", -1, 64, ERROR_INVALID_FLAGS},
        {"no mapping", NORM_IGNORECASE, "Ab-c", -1, 64, ERROR_INVALID_FLAGS},
        {"no source", flags, nullptr, -1, 64, ERROR_INVALID_PARAMETER},
        {"empty count", flags, "Ab-c", 0, 64, ERROR_INVALID_PARAMETER},
        {"negative count", flags, "Ab-c", -2, 64, ERROR_INVALID_PARAMETER},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        memset(key, 'x', sizeof key);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LCMapStringA(LOCALE_USER_DEFAULT, row.flags, row.source, row.count, key, row.cap), 0);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(key[0], 'x');
    }
}

// The order of every byte under lstrcmpiA (code page 1252, English locale),
// lowest first; bytes joined by "=" compare equal.
const char byteorder[] =
    "AD 01 02 03 04 05 06 07 08 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 7F 27 2D 96 97 20 A0 09 0A 0B "
    "0C 0D 21 22 23 24 25 26 28 29 2A 2C 2E 2F 3A 3B 3F 40 5B 5C 5D 5E=88 5F 60 7B 7C 7D 7E A1 A6 A8 AF B4 B8 BF "
    "98 91 92 82 93 94 84 8B 9B A2 A3 A4 A5 80 2B 3C 3D 3E B1 AB BB D7 F7 A7 A9 AC AE B0 B5 B6 B7 85 86 87 95 89 "
    "81 8D 8F 90 9D 30 BC BD BE 31 B9 32 B2 33 B3 34 35 36 37 38 39 41=61 AA C1=E1 C0=E0 C2=E2 C4=E4 C3=E3 "
    "C5=E5 C6=E6 42=62 43=63 C7=E7 44=64 D0=F0 45=65 C9=E9 C8=E8 CA=EA CB=EB 46=66 83 47=67 48=68 49=69 CD=ED "
    "CC=EC CE=EE CF=EF 4A=6A 4B=6B 4C=6C 4D=6D 4E=6E D1=F1 4F=6F BA D3=F3 D2=F2 D4=F4 D6=F6 D5=F5 D8=F8 8C=9C "
    "50=70 51=71 52=72 53=73 8A=9A DF 54=74 DE=FE 99 55=75 DA=FA D9=F9 DB=FB DC=FC 56=76 57=77 58=78 59=79 DD=FD "
    "9F=FF 5A=7A 8E=9E";

TEST(LstrcmpiA, SingleBytesSortInTheLocaleOrder) {
    std::vector<std::vector<std::string>> groups;
    std::istringstream in(byteorder);
    std::string token;
    int seen = 0;
    while (in >> token) {
        std::vector<std::string> group;
        std::istringstream parts(token);
        std::string hex;
        while (std::getline(parts, hex, '=')) {
            group.push_back(std::string(1, (char)strtol(hex.c_str(), nullptr, 16)));
            ++seen;
        }
        groups.push_back(group);
    }
    ASSERT_EQ(seen, 255) << "the table holds every byte but NUL";
    for (size_t i = 0; i < groups.size(); ++i) {
        SCOPED_TRACE("group " + std::to_string(i));
        for (const std::string &b : groups[i]) EXPECT_EQ(lstrcmpiA(groups[i][0].c_str(), b.c_str()), 0);
        if (i + 1 < groups.size()) {
            EXPECT_EQ(lstrcmpiA(groups[i].back().c_str(), groups[i + 1][0].c_str()), -1);
            EXPECT_EQ(lstrcmpiA(groups[i + 1][0].c_str(), groups[i].back().c_str()), 1);
        }
    }
}

} // namespace
