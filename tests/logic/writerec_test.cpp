// writerec_test.cpp: the record line writer, on event records built in memory.
#include "config/options.h"
#include "config/settings.h"
#include "lookup/accounts.h"
#include "output/writerec.h"

#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

// Counts the C++ heap allocations made while counting is on, to show that
// writing a record takes no heap memory.
namespace {
bool counting = false;
long allocations = 0;
} // namespace

void *operator new(size_t size) {
    if (counting) ++allocations;
    if (void *p = malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// Not inlined, so the compiler does not pair the free with a new expression.
__attribute__((noinline)) void operator delete(void *p) noexcept { free(p); }
__attribute__((noinline)) void operator delete(void *p, size_t) noexcept { free(p); }

namespace {

// An event record in its ANSI form: the fixed part, source and computer
// names, the SID, the insertion strings, the data, padding and the trailing
// copy of the length.
struct Record {
    DWORD number = 4711;
    DWORD written = 0;
    DWORD eventid = 0x40000064;
    WORD type = EVENTLOG_INFORMATION_TYPE;
    WORD category = 0;
    std::string source = "Sampler";
    std::string computer = "HOST1";
    std::string sid;
    std::vector<std::string> strings;
    std::string data;
};

// The record's bytes, in DWORD-aligned storage so it can be used in place.
std::vector<DWORD> build(const Record &r) {
    std::string b(sizeof(EVENTLOGRECORD), '\0');
    b += r.source + '\0' + r.computer + '\0';
    while (b.size() % 4) b += '\0';
    size_t sidoffset = b.size();
    b += r.sid;
    size_t stringoffset = b.size();
    for (const std::string &s : r.strings) b += s + '\0';
    size_t dataoffset = b.size();
    b += r.data;
    do b += '\0';
    while (b.size() % 4);
    b += std::string(4, '\0');

    EVENTLOGRECORD h = {};
    h.Length = (DWORD)b.size();
    h.Reserved = 0x654C664C;
    h.RecordNumber = r.number;
    h.TimeGenerated = r.written;
    h.TimeWritten = r.written;
    h.EventID = r.eventid;
    h.EventType = r.type;
    h.NumStrings = (WORD)r.strings.size();
    h.EventCategory = r.category;
    h.StringOffset = (DWORD)stringoffset;
    h.UserSidLength = (DWORD)r.sid.size();
    h.UserSidOffset = (DWORD)sidoffset;
    h.DataLength = (DWORD)r.data.size();
    h.DataOffset = (DWORD)dataoffset;
    memcpy(&b[0], &h, sizeof h);
    memcpy(&b[b.size() - 4], &h.Length, 4);

    std::vector<DWORD> words(b.size() / 4);
    memcpy(words.data(), b.data(), b.size());
    return words;
}

// Seconds since 1970 of a UTC date and time.
DWORD utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return (DWORD)timegm(&t);
}

const DWORD EXAMPLE_TIME = utc(1997, 3, 4, 14, 5, 9);

class WriteRec : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        Options = RunOptions();
        Options.LogTypeCode = "APP";
        Options.LogName = "Application";
        use("");
    }

    // Reads ini as the settings file.
    void use(const std::string &ini) {
        std::string path = dir() + "/settings.ini";
        qt::writefile(path, ini);
        readsettings(path.c_str());
    }

    std::string outpath() const { return dir() + "/out.txt"; }

    // Writes the record into a fresh output file; returns the file's content
    // and keeps what writerec printed in messages.
    std::string write(const Record &r, DWORD ordinal = 1) {
        std::vector<DWORD> rec = build(r);
        HANDLE out =
            CreateFileA(outpath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(out, INVALID_HANDLE_VALUE);
        qt::capturestdout();
        writerec(out, ordinal, (EVENTLOGRECORD *)rec.data());
        messages = qt::capturedstdout();
        CloseHandle(out);
        return qt::readfile(outpath());
    }

    // A record of the worked example: written at 14:05:09 on 4 March 1997,
    // two insertion strings and two bytes of data.
    Record example() {
        Record r;
        r.written = EXAMPLE_TIME;
        r.strings = {"disk, full", "C:"};
        r.data = "\x0d\xff";
        return r;
    }

    std::string messages;
};

const char EXAMPLE_INI[] = "Format=no\nDateFormat=yyyy-MM-dd\nMaxMessageLen=20\nMaxFragmentLen=8\n"
                           "DumpData=hex\nDumpRecnum=yes\n";

TEST_F(WriteRec, WorkedExample) {
    use(EXAMPLE_INI);
    EXPECT_EQ(write(example()), "APP,1997-03-04 14:05:09,Sampler,100,4,None,,HOST1,disk  fu,ll;C:,,0DFF,4711\r\n");
    EXPECT_EQ(messages, "");

    // Formatting on, no message file: the type name, and the fallback text cut
    // at 20 characters and split into three pieces.
    use("DateFormat=yyyy-MM-dd\nMaxMessageLen=20\nMaxFragmentLen=8\nDumpData=hex\nDumpRecnum=yes\n");
    EXPECT_EQ(write(example()),
              "APP,1997-03-04 14:05:09,Sampler,100,Information,None,,HOST1,Unable t,o format, mes,0DFF,4711\r\n");
}

TEST_F(WriteRec, DefaultSettingsLine) {
    Record r = example();
    r.strings = {"a;b", "", "c"};
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sampler,100,Information,None,,HOST1,"
                        "Unable to format message. Insertion strings: a b;;c\r\n");
    use("Format=n\n");
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,a b;;c\r\n");
    r.strings.clear();
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,\r\n");
}

TEST_F(WriteRec, FragmentsFitPadAndCut) {
    use("Format=no\nMaxMessageLen=20\nMaxFragmentLen=8\n");
    struct Row {
        std::vector<std::string> strings;
        const char *column;
    } rows[] = {
        {{}, ",,"},
        {{"abcdefg"}, "abcdefg,,"},
        {{"abcdefgh"}, "abcdefgh,,"},
        {{"abcdefghi"}, "abcdefgh,i,"},
        {{"abcdefgh", "jklmnop"}, "abcdefgh,;jklmnop,"},
        {{"abcdefghijklmnopq"}, "abcdefgh,ijklmnop,q"},
        {{"abcdefghijklmnopqrstuvwxyz"}, "abcdefgh,ijklmnop,qrst"},
    };
    for (const Row &row : rows) {
        Record r = example();
        r.strings = row.strings;
        r.data.clear();
        SCOPED_TRACE(row.column);
        EXPECT_EQ(write(r), std::string("APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,") + row.column + "\r\n");
    }

    // Ten fragments of one character, the most there can be.
    use("Format=no\nMaxMessageLen=10\nMaxFragmentLen=1\n");
    Record r = example();
    r.strings = {"abc"};
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,a,b,c,,,,,,,\r\n");
}

TEST_F(WriteRec, CleaningOfTheDescription) {
    use("Format=no\n");
    Record r = example();
    r.strings = {"a\r\nb^c\td\x01"
                 "e\xE9"
                 "f,g\x7f"};
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,a^^b c\td e\xE9"
                        "f g\x7f\r\n");

    // A tab as the field separator is replaced like any separator; the comma
    // is then ordinary text.
    use("Format=no\nFieldSeparator=\t\nReplaceFieldSeparator=_\nReplaceCR=<\nReplaceLF=>\n");
    EXPECT_EQ(write(r), "APP\t3/4/1997 14:05:09\tSampler\t100\t4\tNone\t\tHOST1\ta<>b^c_d e\xE9"
                        "f,g\x7f\r\n");
    r.strings = {"x<y>z\n"};
    EXPECT_EQ(write(r), "APP\t3/4/1997 14:05:09\tSampler\t100\t4\tNone\t\tHOST1\tx y z>\r\n");
}

TEST_F(WriteRec, TextColumnsKeepTheLineShape) {
    // A separator or line break inside the source or computer name would add a
    // field or break the line.
    Record r = example();
    r.strings.clear();
    r.source = "Sam,pl\ner\r";
    r.computer = "HO,ST\r\n1";
    use("Format=no\n");
    EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,Sam pl^er^,100,4,None,,HO ST^^1,\r\n");

    use("Format=no\nFieldSeparator=\t\n");
    r.source = "Tab\tSource,^";
    EXPECT_EQ(write(r), "APP\t3/4/1997 14:05:09\tTab Source, \t100\t4\tNone\t\tHO,ST^^1\t\r\n");
}

TEST_F(WriteRec, NameColumnsAreCleanedLikeTheDescription) {
    // Every control byte, the replacement of CR and LF, the separator, and
    // bytes that stay. What they become under the default settings: the tab
    // stays, CR and LF become "^", a "^" and every other control byte a
    // blank, the separator "," a blank.
    const std::string probe = "\x01\x02\x03\x04\x05\x06\x07\x08\t\n\x0b\x0c\r\x0e\x0f\x10\x11\x12\x13\x14\x15"
                              "\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f^,\x7f\x81\xff";
    const std::string cleaned = std::string(8, ' ') + "\t^  ^" + std::string(20, ' ') + "\x7f\x81\xff";
    ASSERT_EQ(probe.size(), cleaned.size());

    // The category text comes from a message file: category 4 of
    // categories.dll with its first characters replaced by the probe. The
    // message formatter has already made its lone CR and LF blanks.
    const std::string text98 = "A category text of 98 characters, which with its trailing blank just fits a 100-byte "
                               "area.........";
    std::string dll = qt::readfile(std::string(QUILLOG_MSGDLLS) + "/categories.dll");
    size_t at = dll.find(text98);
    ASSERT_NE(at, std::string::npos);
    dll.replace(at, probe.size(), probe);
    std::string formatted = cleaned;
    formatted[9] = formatted[12] = ' ';
    qt::makedirs(computer() + "/c/WINDOWS/System32");
    qt::writefile(computer() + "/c/WINDOWS/System32/wr_cat.dll", dll);
    qt::makedirs(computer() + "/registry");
    qt::writefile(computer() + "/registry/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                  "Application\\WrCategory]\r\n" +
                      qt::regstring("CategoryMessageFile", "C:\\WINDOWS\\System32\\wr_cat.dll") + "\r\n");

    // The user text comes from the account lookup. accounts.txt holds no
    // control characters, but the names another system's lookup gives may:
    // the cache slot of the SID, filled by a first record, is given the probe.
    const std::vector<uint8_t> sidbytes = qt::makesid(5, {21, 7, 8, 9, 1000});
    const std::string sid(sidbytes.begin(), sidbytes.end());
    Record first = example();
    first.sid = sid;
    write(first);
    AccountSlot *slot = nullptr;
    for (AccountSlot &s : AccountCache)
        if (s.LastUse != 0 && std::string(s.Text) == "S-1-5-21-7-8-9-1000") slot = &s;
    ASSERT_NE(slot, nullptr);
    memcpy(slot->Text, probe.c_str(), probe.size() + 1);

    const std::string when = "APP,3/4/1997 14:05:09,";
    struct Row {
        const char *column;
        const char *ini;
        std::function<void(Record &)> put;
        std::string want;
    } rows[] = {
        {"source", "Format=no\n", [&](Record &r) { r.source = probe; }, when + cleaned + ",100,4,None,,HOST1,\r\n"},
        {"computer", "Format=no\n", [&](Record &r) { r.computer = probe; },
         when + "Sampler,100,4,None,," + cleaned + ",\r\n"},
        {"user", "Format=no\n", [&](Record &r) { r.sid = sid; },
         when + "Sampler,100,4,None," + cleaned + ",HOST1,\r\n"},
        {"category", "MaxMessageLen=1\n",
         [&](Record &r) {
             r.source = "WrCategory";
             r.category = 4;
         },
         when + "WrCategory,100,Information," + formatted + text98.substr(probe.size()) + " ,,HOST1,U\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.column);
        use(row.ini);
        Record r = example();
        r.strings.clear();
        row.put(r);
        EXPECT_EQ(write(r), row.want);
    }
}

// The cleaning rules of the text columns, a byte at a time.
struct Rules {
    char fs, rfs, rcr, rlf;
    std::string operator()(const std::string &text) const {
        std::string out;
        for (char c : text)
            out += c == fs                                                        ? rfs
                   : c == '\r'                                                    ? rcr
                   : c == '\n'                                                    ? rlf
                   : c == rcr || c == rlf || ((unsigned char)c < 32 && c != '\t') ? ' '
                                                                                  : c;
        return out;
    }
};

TEST_F(WriteRec, TextsAreCleanedAlikeWhateverTheirLengthAndPlace) {
    // Texts of every length up to 40, taken from a cycle of bytes that the
    // rules change or keep, starting at every place of it: each byte comes at
    // every place of a text, near the start and the end of the record, cut or
    // whole, as one string or three.
    const std::string cycle = "a\x01\tb\r\n,;^<>_c\x1f\x7f\x80\xff d";
    struct Setting {
        const char *ini;
        Rules rules;
        char ss;
        size_t cut; // MaxMessageLen
    } settings[] = {
        {"Format=no\n", {',', ' ', '^', '^'}, ';', 64000},
        {"Format=no\nFieldSeparator=\t\nReplaceFieldSeparator=_\nReplaceCR=<\nReplaceLF=>\nStringSeparator=,\n",
         {'\t', '_', '<', '>'},
         ',',
         64000},
        {"Format=no\nMaxMessageLen=23\n", {',', ' ', '^', '^'}, ';', 23},
    };
    for (const Setting &set : settings) {
        use(set.ini);
        const std::string fs(1, set.rules.fs);
        for (size_t len = 0; len <= 40; ++len) {
            for (size_t start = 0; start < cycle.size(); ++start) {
                std::string text;
                for (size_t i = 0; i < len; ++i) text += cycle[(start + i) % cycle.size()];
                const size_t a = len / 3, b = 2 * len / 3;
                const std::vector<std::string> three = {text.substr(0, a), text.substr(a, b - a), text.substr(b)};
                for (const std::vector<std::string> &strings : {std::vector<std::string>{text}, three}) {
                    SCOPED_TRACE(std::string(set.ini) + " length " + std::to_string(len) + " from " +
                                 std::to_string(start) + " strings " + std::to_string(strings.size()));
                    // Joined by the separator; a separator inside a string is a blank.
                    std::string joined;
                    for (size_t k = 0; k < strings.size(); ++k) {
                        std::string one = strings[k];
                        for (char &c : one)
                            if (c == set.ss) c = ' ';
                        joined += (k ? std::string(1, set.ss) : "") + one;
                    }
                    Record r = example();
                    r.data.clear();
                    r.source = r.computer = text;
                    r.strings = strings;
                    EXPECT_EQ(write(r), "APP" + fs + "3/4/1997 14:05:09" + fs + set.rules(text) + fs + "100" + fs +
                                            "4" + fs + "None" + fs + fs + set.rules(text) + fs +
                                            set.rules(joined).substr(0, set.cut) + "\r\n");
                }
            }
        }
    }

    // A formatted description is cleaned where it was formatted: message 7 of
    // events.dll, "Five inserts: [%1] [%2] [%3] [%4] [%5]" and its line end,
    // which the formatter makes a blank.
    qt::makedirs(computer() + "/c/WINDOWS/System32");
    qt::writefile(computer() + "/c/WINDOWS/System32/wr_ev.dll",
                  qt::readfile(std::string(QUILLOG_MSGDLLS) + "/events.dll"));
    qt::makedirs(computer() + "/registry");
    qt::writefile(computer() + "/registry/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                  "Application\\WrEvents]\r\n" +
                      qt::regstring("EventMessageFile", "C:\\WINDOWS\\System32\\wr_ev.dll") + "\r\n");
    const Rules rules = settings[0].rules;
    // In one field, and in two (the second empty).
    for (const char *ini : {"", "MaxMessageLen=200\nMaxFragmentLen=100\n"}) {
        use(ini);
        const std::string padding = *ini ? "," : "";
        for (size_t len = 0; len <= 40; ++len) {
            for (size_t start = 0; start < cycle.size(); ++start) {
                std::string text;
                for (size_t i = 0; i < len; ++i) text += cycle[(start + i) % cycle.size()];
                SCOPED_TRACE(std::string("formatted, ") + ini + " length " + std::to_string(len) + " from " +
                             std::to_string(start));
                Record r = example();
                r.data.clear();
                r.source = "WrEvents";
                r.eventid = 0x80000007;
                r.strings = {"", text, "", "", ""};
                EXPECT_EQ(write(r), "APP,3/4/1997 14:05:09,WrEvents,7,Information,None,,HOST1,Five inserts: [] [" +
                                        rules(text) + "] [] [] [] " + padding + "\r\n");
            }
        }
    }
}

TEST_F(WriteRec, StringsAreReadOnlyWithinTheRecord) {
    // A record that claims more strings than it holds, its length cut after
    // some byte of them: the strings end at the record's end, and a NUL that
    // is its last byte ends a string without a separator after it.
    use("Format=no\n");
    const std::string longer = "0123456789abcdef0123";
    struct Row {
        std::vector<std::string> strings;
        WORD claimed;
        size_t kept; // bytes of the strings left in the record
        const char *want;
    } rows[] = {
        {{"ab", "cd"}, 3, 6, "ab;cd"},
        {{"ab", "cd"}, 3, 5, "ab;cd"},
        {{"ab", "cd"}, 2, 6, "ab;cd"},
        {{"ab", "cd"}, 3, 3, "ab"},
        {{"ab", "cd"}, 1, 2, "ab"},
        {{"ab", "cd"}, 2, 4, "ab;c"},
        {{longer, "xyz"}, 3, 25, "0123456789abcdef0123;xyz"},
        {{longer, "xyz"}, 3, 21, "0123456789abcdef0123"},
        {{longer, "xyz"}, 3, 18, "0123456789abcdef01"},
        {{"a\nb", longer}, 4, 25, "a^b;0123456789abcdef0123"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.want);
        Record r = example();
        r.data.clear();
        r.strings = row.strings;
        std::vector<DWORD> words = build(r);
        EVENTLOGRECORD *rec = (EVENTLOGRECORD *)words.data();
        rec->NumStrings = row.claimed;
        rec->Length = rec->StringOffset + (DWORD)row.kept;
        HANDLE out =
            CreateFileA(outpath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        writerec(out, 1, rec);
        CloseHandle(out);
        EXPECT_EQ(qt::readfile(outpath()),
                  std::string("APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,") + row.want + "\r\n");
    }
}

TEST_F(WriteRec, LongNamesAreCutInPlace) {
    use("Format=no\n");
    Record r = example();
    r.strings = {"s"};
    r.source = std::string(100, 'S') + std::string(50, 'x');
    r.computer = std::string(64, 'C') + "extra1";
    std::vector<DWORD> rec = build(r);
    HANDLE out =
        CreateFileA(outpath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    writerec(out, 1, (EVENTLOGRECORD *)rec.data());
    CloseHandle(out);
    EXPECT_EQ(qt::readfile(outpath()),
              "APP,3/4/1997 14:05:09," + std::string(100, 'S') + ",100,4,None,," + std::string(64, 'C') + ",s\r\n");
    const char *bytes = (const char *)rec.data();
    EXPECT_STREQ(bytes + sizeof(EVENTLOGRECORD), std::string(100, 'S').c_str());
    EXPECT_STREQ(bytes + sizeof(EVENTLOGRECORD) + 151, std::string(64, 'C').c_str());
}

TEST_F(WriteRec, TypesAndEventIds) {
    struct Row {
        WORD type;
        const char *name;
        bool invalid;
    } rows[] = {
        {EVENTLOG_ERROR_TYPE, "Error", false},
        {EVENTLOG_WARNING_TYPE, "Warning", false},
        {EVENTLOG_INFORMATION_TYPE, "Information", false},
        {EVENTLOG_AUDIT_SUCCESS, "Success", false},
        {EVENTLOG_AUDIT_FAILURE, "Failure", false},
        {0, "0", true},
        {3, "3", true},
        {0xFFFF, "65535", true},
    };
    use("DumpRecnum=yes\nMaxMessageLen=1\n");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Record r = example();
        r.type = row.type;
        r.eventid = 0xC0000005;
        r.category = 7;
        EXPECT_EQ(write(r, 12), std::string("APP,3/4/1997 14:05:09,Sampler,5,") + row.name + ",7,,HOST1,U,4711\r\n");
        // The source has no message files, which is reported too (once).
        EXPECT_EQ(messages.find("==>invalid type, rec=12\n") != std::string::npos, row.invalid) << messages;
    }

    // Without formatting the type is the number, silently.
    use("Format=no\n");
    Record r = example();
    r.type = 0;
    r.eventid = 0x4000FFFF;
    r.strings.clear();
    EXPECT_EQ(write(r, 12), "APP,3/4/1997 14:05:09,Sampler,65535,0,None,,HOST1,\r\n");
    EXPECT_EQ(messages, "");

    // The type text is written as it is, not cleaned like the name columns:
    // a field separator that is a digit of it stays that digit.
    use("Format=no\nFieldSeparator=4\n");
    r.type = EVENTLOG_INFORMATION_TYPE;
    EXPECT_EQ(write(r, 12), "APP43/4/1997 14:05:094Sampler465535444None44HOST14\r\n");
}

TEST_F(WriteRec, DataColumn) {
    struct Row {
        const char *ini;
        std::string data;
        const char *column;
        bool truncated;
    } rows[] = {
        {"DumpData=hex\n", std::string("\x0d\xff\x00\x7a", 4), "0DFF007A", false},
        {"DumpData=hex\n", "", "", false},
        {"DumpData=hex\nMaxMessageLen=20\nMaxFragmentLen=8\n", "\x0a\x0b\x0c", "0A0B0C", false},
        {"DumpData=hex\nMaxMessageLen=20\nMaxFragmentLen=8\n", "\x01\x02\x03\x04", "010203", true},
        {"DumpData=hex\nMaxMessageLen=20\nMaxFragmentLen=7\n", "\x01\x02\x03\x04", "010203", true},
        {"DumpData=char\n", std::string("A\nB\xe9,^~ \x00\x7f", 10), "A.B.  ~ .\x7f", false},
        {"DumpData=char\nMaxMessageLen=20\nMaxFragmentLen=8\n", "abcdefg", "abcdefg", false},
        {"DumpData=char\nMaxMessageLen=20\nMaxFragmentLen=8\n", "abcdefgh", "abcdefg", true},
        {"DumpData=char\nFieldSeparator=~\nReplaceFieldSeparator=-\nReplaceCRLF=A\n", "x~yA", "x-y ", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ini + std::string(" / ") + row.column);
        use(std::string("Format=no\n") + row.ini);
        Record r = example();
        r.strings.clear();
        r.data = row.data;
        std::string line = write(r, 3);
        char sep = Settings.FieldSeparator;
        std::string fragments(Settings.FragmentCount - 1, sep);
        EXPECT_EQ(line, "APP" + std::string(1, sep) + "3/4/1997 14:05:09" + sep + "Sampler" + sep + "100" + sep + "4" +
                            sep + "None" + sep + sep + "HOST1" + sep + fragments + sep + row.column + "\r\n");
        EXPECT_EQ(messages, row.truncated ? "==>truncating data, rec=3\n" : "");
    }
}

TEST_F(WriteRec, DateColumn) {
    Record r = example();
    r.strings.clear();
    use("Format=no\nDateFormat=dddd d MMMM yy\n");
    EXPECT_EQ(write(r), "APP,Tuesday 4 March 97 14:05:09,Sampler,100,4,None,,HOST1,\r\n");

    // A picture whose text needs more than 31 characters is reported; the line
    // is still written, with an empty date.
    use("Format=no\nDateFormat='a date picture that is far too long' yyyy\n");
    EXPECT_EQ(write(r, 9), "APP, 14:05:09,Sampler,100,4,None,,HOST1,\r\n");
    EXPECT_EQ(messages, "==>GetDateFormat rc=122 rec=9\n");

    // The time is this computer's local time, whatever computer wrote the log.
    use("Format=no\nDateFormat=yyyy-MM-dd\n");
    setenv("TZ", "EST5", 1);
    tzset();
    r.written = utc(1997, 3, 4, 2, 0, 0);
    EXPECT_EQ(write(r), "APP,1997-03-03 21:00:00,Sampler,100,4,None,,HOST1,\r\n");
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    r.written = utc(2011, 7, 27, 23, 30, 5);
    EXPECT_EQ(write(r), "APP,2011-07-28 01:30:05,Sampler,100,4,None,,HOST1,\r\n");
}

TEST_F(WriteRec, LinesAreAppendedWhole) {
    use("Format=no\nDumpRecnum=yes\n");
    HANDLE out =
        CreateFileA(outpath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    for (DWORD n = 1; n <= 3; ++n) {
        Record r = example();
        r.number = 100 + n;
        r.strings = {std::string(n, 'x')};
        r.data.clear();
        std::vector<DWORD> rec = build(r);
        writerec(out, n, (EVENTLOGRECORD *)rec.data());
    }
    CloseHandle(out);
    EXPECT_EQ(qt::readfile(outpath()), "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,x,101\r\n"
                                       "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,xx,102\r\n"
                                       "APP,3/4/1997 14:05:09,Sampler,100,4,None,,HOST1,xxx,103\r\n");
}

TEST_F(WriteRec, FailedWriteEndsTheRun) {
    use("Format=no\n");
    qt::writefile(outpath(), "earlier line\r\n");
    HANDLE out = CreateFileA(outpath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    std::vector<DWORD> rec = build(example());
    qt::RunResult r = qt::runinchild([&] { writerec(out, 1, (EVENTLOGRECORD *)rec.data()); });
    CloseHandle(out);
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_EQ(r.out, "==>WriteFile rc=5\n");
    EXPECT_EQ(qt::readfile(outpath()), "earlier line\r\n");
}

TEST_F(WriteRec, NoHeapMemoryPerRecord) {
    // After a first record (which fills the caches of its source and user),
    // records of the same source and user take no heap memory, with and
    // without message lookups.
    for (const char *ini : {"Format=no\n", "Format=yes\n"}) {
        SCOPED_TRACE(ini);
        use(std::string(ini) + "DumpData=char\nDumpRecnum=yes\nMaxMessageLen=1000\nMaxFragmentLen=100\n");
        HANDLE out =
            CreateFileA(outpath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        Record r = example();
        r.category = 3;
        r.sid = std::string("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
        r.strings = {std::string(3000, 'x'), "y\r\nz"};
        r.data = std::string(300, 'd');
        std::vector<DWORD> first = build(r);
        r.type = 0;
        std::vector<DWORD> second = build(r);
        qt::capturestdout();
        writerec(out, 1, (EVENTLOGRECORD *)first.data());
        allocations = 0;
        counting = true;
        for (DWORD n = 2; n <= 200; ++n) writerec(out, n, (EVENTLOGRECORD *)(n % 2 ? first : second).data());
        counting = false;
        qt::capturedstdout();
        CloseHandle(out);
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(qt::splitlines(qt::readfile(outpath())).size(), 200u);
    }
}

} // namespace
