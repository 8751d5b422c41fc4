// formatmsg_test.cpp: FormatMessageA for the program's three calls (inserts
// ignored with buffers of 100 and 64,000 bytes, an argument array of 99 char*
// with 64,020 bytes): escapes, line breaks, inserts, sizes and error codes,
// over texts of their own and over the message DLLs built from .mc sources.
#include "platform/posix/formatmsg.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <cstring>
#include <vector>

namespace {

const DWORD IGNORE = 0x0AFF;  // category and parameter texts
const DWORD INSERTS = 0x28FF; // event descriptions

std::string fixture(const std::string &name) { return std::string(QUILLOG_MSGDLLS) + "/" + name; }

nt::MessageText ansi(const std::string &s) {
    nt::MessageText t;
    for (unsigned char c : s) t.units.push_back(c);
    return t;
}

// The program's argument array: 99 entries, unused ones null.
struct Args {
    const char *entry[99] = {};
    Args(std::initializer_list<const char *> list) {
        size_t i = 0;
        for (const char *s : list) entry[i++] = s;
    }
};

// Formats text and gives the output, or "rc=N".
std::string format(const nt::MessageText &text, DWORD flags, const Args &args = {"ARG1", "ARG2", "ARG3"}) {
    std::string out;
    DWORD rc = nt::formattext(text, flags, flags & FORMAT_MESSAGE_ARGUMENT_ARRAY ? args.entry : nullptr, &out);
    return rc ? "rc=" + std::to_string(rc) : out;
}

TEST(FormatText, EscapesAndLineBreaksForBothFlagSets) {
    struct Row {
        const char *text, *ignored, *inserted;
    } rows[] = {
        {"Simple text\r\n", "Simple text ", "Simple text "},
        {"Line one\r\nLine two\r\n", "Line one Line two ", "Line one Line two "},
        {"Ends without newline%0\r\n", "Ends without newline", "Ends without newline"},
        {"n[%n] r[%r] t[%t] b[%b] dot[%.] bang[%!] pct[%%] sp[% ] x[%x] q[%?]\r\n",
         "n[\r\n] r[\r] t[\r\n] b[%b] dot[%.] bang[%!] pct[%%] sp[% ] x[%x] q[%?] ",
         "n[\r\n] r[\r] t[\r\n] b[b] dot[.] bang[!] pct[%] sp[ ] x[x] q[?] "},
        {"A=%1 B=%2 C=%3 again=%1\r\n", "A=%1 B=%2 C=%3 again=%1 ", "A=ARG1 B=ARG2 C=ARG3 again=ARG1 "},
        {"s=[%1!s!] w=[%2!10s!] l=[%3!-6s!] p=[%1!.2s!]\r\n", "s=[%1!s!] w=[%2!10s!] l=[%3!-6s!] p=[%1!.2s!] ",
         "s=[ARG1] w=[      ARG2] l=[ARG3  ] p=[AR] "},
        {"n9=[%9] n10=[%10] n99=[%99] n100=[%100] adj=[%1%2] digit=[%10x]\r\n",
         "n9=[%9] n10=[%10] n99=[%99] n100=[%100] adj=[%1%2] digit=[%10x] ",
         "n9=[(null)] n10=[(null)] n99=[(null)] n100=[(null)0] adj=[ARG1ARG2] digit=[(null)x] "},
        {"First paragraph\r\n\r\n  Indented after blank line   \r\nLast\r\n",
         "First paragraph    Indented after blank line    Last ",
         "First paragraph    Indented after blank line    Last "},
        {"Logon/Logoff\r\n", "Logon/Logoff ", "Logon/Logoff "},
        {"100%\r\nnext\r\n", "100%\r next ", "100\r next "},
        {"ends with percent %%0\r\n", "ends with percent %%0 ", "ends with percent %0 "},
        {"Para one.%n\r\nPara two.%n\r\n", "Para one.\r\n Para two.\r\n ", "Para one.\r\n Para two.\r\n "},
        {"tab\tinside and %r%n done\r\n", "tab\tinside and \r\r\n done ", "tab\tinside and \r\r\n done "},
        {"caf\xE9 \x80 \xFC end\r\n", "caf\xE9 \x80 \xFC end ", "caf\xE9 \x80 \xFC end "},
        {"%1\r\n", "%1 ", "ARG1 "},
        {"   \r\n", "    ", "    "},
        {"\n\r", "  ", "  "},
        {"x%0y", "x", "x"},
        {"%0\r\n", "", ""},
        {"%\x80", "%\x80", "\x80"},
        {"[%1!]", "[%1!]", "rc=87"},
        {"[%1!s]", "[%1!s]", "rc=87"},
        {"[%1!5!] [%1!!] [%1!n!] [%1!%!]", "[%1!5!] [%1!!] [%1!n!] [%1!%!]", "[] [] [] [%]"},
        {"[%1!hs!] [%1!S!] [%1!ls!] [%1!sx!]", "[%1!hs!] [%1!S!] [%1!ls!] [%1!sx!]", "[ARG1] [ARG1] [ARG1] [ARG1x]"},
        {"[%1!f!] [%1!e!]", "[%1!f!] [%1!e!]", "[f] [e]"},
        {"star=[%1!*s!]\r\n", "star=[%1!*s!] ", "rc=87"},
        {"[%1!.*s!]", "[%1!.*s!]", "[ARG2]"},
        {"x%", "rc=87", "rc=87"},
        {"%1%", "rc=87", "rc=87"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(format(ansi(row.text), IGNORE), row.ignored);
        EXPECT_EQ(format(ansi(row.text), INSERTS), row.inserted);
    }
}

TEST(FormatText, WidthZeroKeepsLineBreaksAsCrLf) {
    const DWORD width0 = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    EXPECT_EQ(format(ansi("Simple text\r\n"), width0), "Simple text\r\n");
    EXPECT_EQ(format(ansi("a\rb\nc\n\r"), width0), "a\r\nb\r\nc\r\n\r\n");
    EXPECT_EQ(format(ansi("t[%t] n[%n]"), width0), "t[\t] n[\r\n]");
}

TEST(FormatText, InsertsAreCopiedRawAndNeverRescanned) {
    Args args = {"line1\r\nline2", "tab\there", "pct %1 %2 %n %% %%1234"};
    EXPECT_EQ(format(ansi("A=%1 B=%2 C=%3 again=%1\r\n"), INSERTS, args),
              "A=line1\r\nline2 B=tab\there C=pct %1 %2 %n %% %%1234 again=line1\r\nline2 ");
    Args high = {"caf\xE9 \x80 \x81 \x8D \xFF"};
    EXPECT_EQ(format(ansi("A=%1 B=%2\r\n"), INSERTS, high), "A=caf\xE9 \x80 \x81 \x8D \xFF B=(null) ");
    Args empty = {""};
    EXPECT_EQ(format(ansi("%1\r\n"), INSERTS, empty), " ");
    EXPECT_EQ(format(ansi("[%1]"), INSERTS, empty), "[]");
    EXPECT_EQ(format(ansi("[%1]"), FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, {}), "[(null)]");
}

TEST(FormatText, NumericFormatsPrintTheInsertionStringAsText) {
    // A char* entry has no number: the string itself is printed, with the
    // width and alignment of the format (precision does not apply).
    Args args = {"123", "B"};
    EXPECT_EQ(format(ansi("d=[%1!d!] w=[%1!6u!] l=[%2!-4x!] p=[%1!.1d!] X=[%1!08X!] c=[%2!c!]\r\n"), INSERTS, args),
              "d=[123] w=[   123] l=[B   ] p=[123] X=[     123] c=[B] ");
    EXPECT_EQ(format(ansi("[%1!lu!] [%1!I64u!] [%1!p!]"), INSERTS, args), "[123] [123] [123]");
    // A null entry is the number 0 to the integer formats, as under Windows;
    // the character and pointer formats print "(null)".
    EXPECT_EQ(format(ansi("[%3!d!]"), INSERTS, args), "[0]");
    EXPECT_EQ(
        format(ansi("[%3!08X!][%3!+5d!][%3!#x!][%3!.3u!][%3!-4x!][%3!lu!][%3!I64d!][%3!o!][%3!i!]"), INSERTS, args),
        "[00000000][   +0][0][000][0   ][0][0][0][0]");
    EXPECT_EQ(format(ansi("[%3!c!][%3!p!]"), INSERTS, args), "[(null)][(null)]");
    EXPECT_EQ(format(ansi("[%3!32766u!]"), INSERTS, args), "rc=87");
}

TEST(FormatText, StarTakesTheEntriesAfterTheHighestUsed) {
    // A "*" takes the insert's own entry first, then the entries after the
    // highest one used so far; a null entry is the number 0, an address as
    // a width is an output that is too long.
    struct Row {
        const char *text;
        Args args;
        const char *want;
    } rows[] = {
        {"[%1!*s!]", {nullptr, "B", "C", "D", "E"}, "[B]"},
        {"%3 [%1!*s!]", {nullptr, "B", "C", "D", "E"}, "C [D]"},
        {"[%1!*s!] [%1!*s!] %2", {nullptr, "B", "C", "D", "E"}, "[B] [C] B"},
        {"[%2!*s!]", {"B", nullptr, "C", "D", "E"}, "[C]"},
        {"[%1!.*s!]", {"C", nullptr, "D", "E"}, "[(null)]"},
        {"[%1!*.*s!]", {nullptr, nullptr, "DDD", "E"}, "[]"},
        {"[%4!*s!] %1", {"A", "B", "C", nullptr, "E", "F"}, "[E] A"},
        {"%5 [%1!*s!] [%3!*s!]", {nullptr, "B", nullptr, "D", "E", "F", "G"}, "E [F] [G]"},
        {"[%1!*d!]", {nullptr, nullptr, "D"}, "[0]"},
        {"[%1!-*s!]x", {nullptr, "B", "C"}, "[B]x"},
        {"[%1!*s!]", {}, "[(null)]"},
        {"[%99!*s!]", {}, "rc=87"},
        {"[%1!*s!]", {"A", "B"}, "rc=87"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(format(ansi(row.text), INSERTS, row.args), row.want);
    }
}

TEST(FormatText, UnicodeTextIsFormattedBeforeItsBestFit) {
    // The fullwidth percent sign shows as "%" in code page 1252, but only
    // after formatting: it never starts an escape or an insert.
    nt::MessageText text;
    text.unicode = true;
    text.units = {0xFF05, '1', ' ', '%', 0xFF05, ' ', 0x0100, '%', '1', '\r', '\n'};
    EXPECT_EQ(format(text, INSERTS), "%1 % AARG1 ");
    EXPECT_EQ(format(text, IGNORE), "%1 %% A%1 ");
}

TEST(FormatText, PlainRunsComeOutWholeAtAnyLength) {
    // Runs of letters of every length to 40 and across the 256 bytes that go
    // out at once, with one unit that is not plain ASCII at every place: a
    // Unicode euro sign (0x80) or CJK character ("?"), a line feed, a "%n".
    struct Odd {
        const char16_t *unit;
        bool unicode;
        const char *out;
    } odds[] = {
        {u"\u20AC", true, "\x80"}, {u"\u4E2D", true, "?"}, {u"\n", true, " "},
        {u"\n", false, " "},       {u"%n", false, "\r\n"}, {u"", false, ""},
    };
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (size_t n : {255, 256, 257, 600}) lengths.push_back(n);
    for (const Odd &odd : odds) {
        for (size_t n : lengths) {
            for (size_t k = 0; k <= n; k += n > 40 ? 7 : 1) {
                nt::MessageText text;
                text.unicode = odd.unicode;
                std::string want;
                for (size_t i = 0; i <= n; ++i) {
                    if (i == k) {
                        for (const char16_t *u = odd.unit; *u; ++u) text.units.push_back(*u);
                        want += odd.out;
                    }
                    if (i < n) {
                        text.units.push_back((uint16_t)('a' + i % 26));
                        want += (char)('a' + i % 26);
                    }
                }
                SCOPED_TRACE(std::string(odd.out) + " at " + std::to_string(k) + " of " + std::to_string(n));
                EXPECT_EQ(format(text, IGNORE), want);
                EXPECT_EQ(format(text, INSERTS), want);
            }
        }
    }
}

TEST(FormatText, OutputLimitAndHugeWidths) {
    std::string a32765(32765, 'A'), a32766(32766, 'A');
    EXPECT_EQ(format(ansi("%1\r\n"), INSERTS, {a32765.c_str()}).size(), 32766u);
    EXPECT_EQ(format(ansi("%1\r\n"), INSERTS, {a32766.c_str()}), "rc=87");
    EXPECT_EQ(format(ansi("%1%1%1"), INSERTS, {a32765.c_str()}), "rc=87");
    EXPECT_EQ(format(ansi("[%1!40000s!]"), INSERTS, {"x"}), "rc=87");
    EXPECT_EQ(format(ansi("[%1!99999999999999999999s!]"), INSERTS, {"x"}), "rc=87");
    EXPECT_EQ(format(ansi("[%1!32760s!]"), INSERTS, {"x"}).size(), 32762u);
}

// A module loaded from the fixtures folder, freed at the end of the test.
class Module {
public:
    explicit Module(const std::string &name)
        : m_(LoadLibraryExA(fixture(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        EXPECT_NE(m_, nullptr) << name << " " << GetLastError();
    }
    ~Module() {
        if (m_) FreeLibrary(m_);
    }
    HMODULE get() const { return m_; }

private:
    HMODULE m_;
};

struct Result {
    DWORD ret;
    DWORD error;
    std::string text; // the buffer up to its terminator, or its untouched fill
};

// Calls FormatMessageA with a buffer of size bytes filled with 'x' and
// the last error preset to 0xdeadbeef.
Result call(HMODULE m, DWORD flags, DWORD id, DWORD size, const Args &args = {"ARG1", "ARG2", "ARG3"},
            DWORD lang = LANG_USER_DEFAULT) {
    std::vector<char> buf(size + 16, 'x');
    SetLastError(0xdeadbeef);
    Result r;
    r.ret = FormatMessageA(flags, m, id, lang, buf.data(), size, (va_list *)args.entry);
    r.error = GetLastError();
    r.text = r.ret ? std::string(buf.data()) : std::string(buf.data(), size < 16 ? size : 16);
    return r;
}

TEST(FormatMessageA, AnsiAndUnicodeTablesGiveTheSameBytes) {
    Module ansi("probe_ansi.dll"), unicode("probe_unicode.dll");
    for (DWORD id : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 0xAu, 0xBu, 0xCu, 0xDu, 0xFu, 0x10u, 0x11u, 0x100u, 0xC0000200u}) {
        SCOPED_TRACE(id);
        for (DWORD flags : {IGNORE, INSERTS}) {
            Result a = call(ansi.get(), flags, id, 64000), u = call(unicode.get(), flags, id, 64000);
            EXPECT_NE(a.ret, 0u);
            EXPECT_EQ(a.ret, a.text.size());
            EXPECT_EQ(a.error, 0xdeadbeef);
            EXPECT_EQ(a.text, u.text);
        }
    }
    EXPECT_EQ(call(unicode.get(), IGNORE, 0x12, 100).text, "fit[Aa l o \x93q\x94 \x96 \x97 \x85 \x99 ? 8] ");
    EXPECT_EQ(call(unicode.get(), IGNORE, 0x13, 100).text, "cjk[??] end ");
    EXPECT_EQ(call(ansi.get(), INSERTS, 0x101, 64020).text, "Second block entry B ");
}

TEST(FormatMessageA, RepeatedRequestsKeepLanguagesAndInsertsApart) {
    // A module keeps the messages it has decoded: asking again, in another
    // language or with other inserts, must still give each its own text.
    Module de("lang_de_en.dll");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(call(de.get(), IGNORE, 1, 100, {}, 0x407).text, "text for 0x407 ");
        EXPECT_EQ(call(de.get(), IGNORE, 1, 100, {}, 1024).text, "text for 0x409 ");
        Result missing = call(de.get(), IGNORE, 1, 100, {}, 0x0c07);
        EXPECT_EQ(missing.ret, 0u);
        EXPECT_EQ(missing.error, (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    }
    Module probe("probe_unicode.dll");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(call(probe.get(), IGNORE, 0x13, 100).text, "cjk[??] end ");
        EXPECT_EQ(call(probe.get(), INSERTS, 5, 64000, {"one", "two", "three"}).text, "A=one B=two C=three again=one ");
        EXPECT_EQ(call(probe.get(), INSERTS, 5, 64000, {"uno", "dos", "tres"}).text, "A=uno B=dos C=tres again=uno ");
    }
}

TEST(FormatMessageA, SizesAndErrorsLeaveTheBufferUntouched) {
    Module probe("probe_ansi.dll");
    HMODULE m = probe.get();
    struct Row {
        const char *what;
        DWORD flags, id, size, lang;
        DWORD ret, error;
    } rows[] = {
        {"exact fit", IGNORE, 1, 13, 1024, 12, 0xdeadbeef},
        {"one byte short", IGNORE, 1, 12, 1024, 0, ERROR_INSUFFICIENT_BUFFER},
        {"size 0", IGNORE, 1, 0, 1024, 0, ERROR_INSUFFICIENT_BUFFER},
        {"description buffer", INSERTS, 1, 64020, 1024, 12, 0xdeadbeef},
        {"largest buffer", INSERTS, 1, 65535, 1024, 12, 0xdeadbeef},
        {"buffer over 64K", INSERTS, 1, 65536, 1024, 0, ERROR_INVALID_PARAMETER},
        {"language in the low 16 bits", IGNORE, 1, 100, 0x10400, 12, 0xdeadbeef},
        {"empty text", IGNORE, 9, 100, 1024, 0, ERROR_NO_WORK_DONE},
        {"empty text with inserts", INSERTS, 9, 100, 1024, 0, ERROR_NO_WORK_DONE},
        {"unknown id", INSERTS, 0x14, 100, 1024, 0, ERROR_MR_MID_NOT_FOUND},
        {"id without its severity bits", IGNORE, 0x200, 100, 1024, 0, ERROR_MR_MID_NOT_FOUND},
        {"language not present", IGNORE, 1, 100, 0x407, 0, ERROR_RESOURCE_LANG_NOT_FOUND},
        {"star width", INSERTS, 0xE, 64020, 1024, 0, ERROR_INVALID_PARAMETER},
        {"from string is not served", IGNORE | FORMAT_MESSAGE_FROM_STRING, 1, 100, 1024, 0, ERROR_INVALID_PARAMETER},
        {"wrapping width", 0x2850, 1, 100, 1024, 0, ERROR_INVALID_PARAMETER},
        {"inserts without an array", 0x08FF, 1, 100, 1024, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Result r = call(m, row.flags, row.id, row.size, {"ARG1", "ARG2", "ARG3"}, row.lang);
        EXPECT_EQ(r.ret, row.ret);
        EXPECT_EQ(r.error, row.error);
        if (row.ret == 0) {
            EXPECT_EQ(r.text, std::string(row.size < 16 ? row.size : 16, 'x'));
        } else {
            EXPECT_EQ(r.text, "Simple text ");
        }
    }

    char buf[100];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(IGNORE, nullptr, 1, 1024, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(IGNORE, buf, 1, 1024, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(IGNORE, m, 1, 1024, nullptr, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(FormatMessageA, OutputOf32767CharactersFails) {
    Module probe("probe_ansi.dll");
    std::string a32765(32765, 'A'), a32766(32766, 'A');
    Result ok = call(probe.get(), INSERTS, 0x11, 64020, {a32765.c_str()});
    EXPECT_EQ(ok.ret, 32766u);
    EXPECT_EQ(ok.text, a32765 + " ");
    Result over = call(probe.get(), INSERTS, 0x11, 64020, {a32766.c_str()});
    EXPECT_EQ(over.ret, 0u);
    EXPECT_EQ(over.error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(over.text, std::string(16, 'x'));
}

TEST(FormatMessageA, TheProgramsMessageFiles) {
    Module categories("categories.dll"), events("events.dll"), params("params.dll");
    EXPECT_EQ(call(categories.get(), IGNORE, 1, 100).text, "Disk Events ");
    Result tight = call(categories.get(), IGNORE, 4, 100);
    EXPECT_EQ(tight.ret, 99u);
    EXPECT_EQ(tight.text.back(), ' ');
    Result over = call(categories.get(), IGNORE, 3, 100);
    EXPECT_EQ(over.ret, 0u);
    EXPECT_EQ(over.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);

    EXPECT_EQ(call(events.get(), INSERTS, 0x40000064, 64020, {"Spooler", "HOST1", "none"}).text,
              "Service Spooler started on HOST1.\r\nDetails: none ");
    EXPECT_EQ(call(events.get(), INSERTS, 0xC0000005, 64020, {"C:\\x"}).text,
              "Access to C:\\x was denied (100% sure). ");
    EXPECT_EQ(call(events.get(), IGNORE, 0xC0000005, 100).text, "Access to %1 was denied (100%% sure). ");
    EXPECT_EQ(call(events.get(), INSERTS, 5, 64020).text, "Plain five without severity ");
    EXPECT_EQ(call(events.get(), INSERTS, 0x80000007, 64020, {"a", "b", "c"}).text,
              "Five inserts: [a] [b] [c] [(null)] [(null)] ");
    EXPECT_EQ(call(events.get(), INSERTS, 0xC00000C8, 64020, {"C:", "D:"}).text,
              "Disk C: is full. Free some space on D:. ");

    std::vector<std::string> strings;
    Args all = {};
    std::string want;
    for (int i = 0; i < 99; ++i) strings.push_back("s" + std::to_string(i + 1));
    for (int i = 0; i < 99; ++i) {
        all.entry[i] = strings[i].c_str();
        want += (i ? "|" : "") + strings[i];
    }
    EXPECT_EQ(call(events.get(), INSERTS, 0x40000063, 64020, all).text, want + " ");

    EXPECT_EQ(call(params.get(), IGNORE, 1234, 64000).text, "Logon");
    EXPECT_EQ(call(params.get(), IGNORE, 1235, 64000).text, "Refers to %%1234 itself ");
}

} // namespace
