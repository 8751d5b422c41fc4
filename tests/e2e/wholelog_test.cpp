// wholelog_test.cpp: every line of the dump of a 20,000-record log, predicted
// from its record.
//
// The log is made here from a fixed seed: a registered source whose message,
// category and parameter files are the fixture DLLs (their texts are written
// below as the .mc files give them) and an unregistered one; event ids with
// severity bits; insertion strings holding separators, line breaks, tabs,
// control bytes and parameter references; known, well-known and unknown
// users; data of every length up to 100 bytes; times over three decades. It
// is dumped with three sets of settings that between them use every column
// and every cleaning rule, and each line is compared with the line this
// test builds from the record by the rules of the output format. So a faster
// writer, cache or file emulation that changes one byte of a line fails
// here, and the expected text does not come from the program itself.
#include "platform/posix/eventlog.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

using qt::regstring;

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

// The messages of events.dll as FormatMessageA gives them with the line
// writer's flags (the message's own line break at its end becomes a blank,
// %n a CR LF), with {1} ... for the inserts.
struct Message {
    DWORD id;
    int inserts;
    const char *text;
};
const Message Messages[] = {
    {0x40000064, 3, "Service {1} started on {2}.\r\nDetails: {3} "},
    {0xC0000005, 1, "Access to {1} was denied (100% sure). "},
    {0x00000005, 0, "Plain five without severity "},
    {0x80000007, 5, "Five inserts: [{1}] [{2}] [{3}] [{4}] [{5}] "},
    {0xC00000C8, 2, "Disk {1} is full. Free some space on {2}. "},
};
// categories.dll; 5 is not in it.
const char *const CategoryTexts[] = {"None", "Disk Events ", "Logon/Logoff ", nullptr, nullptr, nullptr};
const WORD Categories[] = {0, 1, 2, 5};
// The parameter message 1234 of params.dll, and a reference that fails.
const char ParameterText[] = "Logon";

struct User {
    std::vector<uint8_t> sid;
    const char *text; // the user column
};

struct Settings {
    bool format = true, recnum = false;
    int dumpdata = 0; // 0 none, 1 hex, 2 char
    size_t maxmessage = 64000, maxfragment = 64000;
    char fieldsep = ',', replacefieldsep = ' ', stringsep = ';';
    bool isodate = false;
};

class WholeLog : public qt::TempNetwork {
protected:
    std::vector<nt::LogEvent> events;
    std::vector<User> users;

    void SetUp() override {
        qt::TempNetwork::SetUp();
        std::string host = computer();
        qt::makedirs(host + "/c/WINDOWS/System32");
        qt::writefile(host + "/c/WINDOWS/System32/ev.dll", fixture("events.dll"));
        qt::writefile(host + "/c/WINDOWS/System32/cat.dll", fixture("categories.dll"));
        qt::writefile(host + "/c/WINDOWS/System32/par.dll", fixture("params.dll"));
        qt::makedirs(host + "/registry");
        qt::writefile(host + "/registry/HKEY_LOCAL_MACHINE.reg",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" +
                          regstring("SystemRoot", "C:\\WINDOWS") +
                          "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Sampler]"
                          "\r\n" +
                          qt::reghex("EventMessageFile", REG_EXPAND_SZ, "%SystemRoot%\\System32\\ev.dll") +
                          regstring("CategoryMessageFile", "C:\\WINDOWS\\System32\\cat.dll") +
                          regstring("ParameterMessageFile", "C:\\WINDOWS\\System32\\par.dll") + "\r\n");
        qt::writefile(host + "/accounts.txt", "S-1-5-21-7-7-7-1001=CORP\\alice\nS-1-5-21-7-7-7-1002=CORP\\bob\n");
        users = {{{}, ""},
                 {qt::makesid(5, {18}), "NT AUTHORITY\\SYSTEM"},
                 {qt::makesid(5, {21, 7, 7, 7, 1001}), "CORP\\alice"},
                 {qt::makesid(5, {21, 7, 7, 7, 1002}), "CORP\\bob"},
                 {qt::makesid(5, {21, 7, 7, 7, 1003}), "S-1-5-21-7-7-7-1003"}};

        std::mt19937 rng(20261208);
        auto pick = [&](size_t n) { return (size_t)(rng() % n); };
        const char *const words[] = {"disk",          "C:\\x",    "a,b",    "semi;colon", "caret^",    "tab\there",
                                     "line\r\nbreak", "bell\x07", "%%1234", "%%999",      "\xE9t\xE9", "",
                                     "100%"};
        for (size_t i = 0; i < 20000; ++i) {
            nt::LogEvent e;
            e.source = pick(4) ? "Sampler" : "Plain";
            e.computer = pick(2) ? "HOST12" : "WS-07";
            e.timegenerated = e.timewritten = (DWORD)(500000000u + rng() % 1000000000u);
            const Message &m = Messages[pick(5)];
            e.eventid = m.id;
            const WORD types[] = {EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE,
                                  EVENTLOG_AUDIT_SUCCESS, EVENTLOG_AUDIT_FAILURE};
            e.type = types[pick(5)];
            e.category = Categories[pick(4)];
            e.sid = users[pick(users.size())].sid;
            for (int s = 0; s < m.inserts + (int)pick(2); ++s) e.strings.push_back(words[pick(13)]);
            e.data.resize(pick(101));
            for (uint8_t &b : e.data) b = (uint8_t)rng();
            events.push_back(e);
        }
        nt::EventTarget target;
        target.file = dir() + "/whole.evt";
        target.maxsize = 16 * 1024 * 1024;
        ASSERT_EQ(nt::writeevents(target, events), 0u);
    }

    // The insertion strings of a record with their parameter references
    // expanded, as the description expansion hands them to the formatter.
    static std::string converted(const std::string &s, bool registered) {
        if (s.find('%') == std::string::npos || !registered) return s;
        std::string out;
        for (size_t i = 0; i < s.size();) {
            if (s.compare(i, 6, "%%1234") == 0) {
                out += ParameterText;
                i += 6;
            } else {
                out += s[i++];
            }
        }
        return out;
    }

    // The description before cleaning.
    static std::string description(const nt::LogEvent &e, const Settings &s) {
        const bool registered = e.source == "Sampler";
        if (s.format && registered) {
            for (const Message &m : Messages) {
                if (m.id != e.eventid) continue;
                std::string text;
                for (const char *p = m.text; *p; ++p) {
                    if (*p == '{') {
                        text += converted(e.strings[(size_t)(p[1] - '1')], registered);
                        p += 2;
                    } else {
                        text += *p;
                    }
                }
                return text;
            }
        }
        std::string text = s.format ? "Unable to format message. Insertion strings: " : "";
        for (size_t i = 0; i < e.strings.size(); ++i) {
            if (i) text += s.stringsep;
            for (char c : e.strings[i]) text += c == s.stringsep ? ' ' : c;
        }
        return text;
    }

    // A text column (source, category, user, computer, description) cleaned.
    static std::string cleaned(const std::string &text, const Settings &s) {
        std::string out;
        for (char c : text) {
            if (c == s.fieldsep)
                out += s.replacefieldsep;
            else if (c == '\r' || c == '\n')
                out += '^';
            else if (c == '^' || ((unsigned char)c < 32 && c != '\t'))
                out += ' ';
            else
                out += c;
        }
        return out;
    }

    // The line the record must give, and the messages it may print.
    std::string expected(const nt::LogEvent &e, DWORD number, const Settings &s) const {
        const bool registered = e.source == "Sampler";
        std::string line = "SYS";
        line += s.fieldsep;
        time_t t = (time_t)e.timewritten;
        struct tm tm;
        gmtime_r(&t, &tm);
        char date[64];
        if (s.isodate)
            snprintf(date, sizeof date, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        else
            snprintf(date, sizeof date, "%d/%d/%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
        char clock[32];
        snprintf(clock, sizeof clock, " %02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        line += std::string(date) + clock + s.fieldsep + cleaned(e.source, s) + s.fieldsep +
                std::to_string(e.eventid & 0xFFFF) + s.fieldsep;
        const char *const names[] = {"", "Error", "Warning", "", "Information", "", "", "", "Success"};
        line += s.format ? (e.type == EVENTLOG_AUDIT_FAILURE ? "Failure" : names[e.type]) : std::to_string(e.type);
        line += s.fieldsep;
        std::string category = e.category ? std::to_string(e.category) : "None";
        if (s.format && registered && CategoryTexts[e.category]) category = CategoryTexts[e.category];
        line += cleaned(category, s) + s.fieldsep;
        for (const User &u : users)
            if (u.sid == e.sid) line += cleaned(u.text, s);
        line += s.fieldsep + cleaned(e.computer, s) + s.fieldsep;
        std::string desc = cleaned(description(e, s), s);
        if (desc.size() > s.maxmessage) desc.resize(s.maxmessage);
        size_t pieces = 0;
        for (size_t at = 0; at < desc.size(); at += s.maxfragment, ++pieces) {
            if (at) line += s.fieldsep;
            line += desc.substr(at, s.maxfragment);
        }
        const size_t fragments = (s.maxmessage + s.maxfragment - 1) / s.maxfragment;
        for (size_t k = pieces ? pieces : 1; k < fragments; ++k) line += s.fieldsep;
        if (s.dumpdata) {
            line += s.fieldsep;
            const size_t chars = s.maxfragment - 1;
            if (s.dumpdata == 1) {
                for (size_t i = 0; i < e.data.size() && 2 * i + 2 <= chars; ++i) {
                    char hex[3];
                    snprintf(hex, sizeof hex, "%02X", e.data[i]);
                    line += hex;
                }
            } else {
                for (size_t i = 0; i < e.data.size() && i < chars; ++i) {
                    unsigned char c = e.data[i];
                    line += c < 32 || c >= 128               ? '.'
                            : c == (unsigned char)s.fieldsep ? s.replacefieldsep
                            : c == '^'                       ? ' '
                                                             : (char)c;
                }
            }
        }
        if (s.recnum) line += s.fieldsep + std::to_string(number);
        return line + "\r\n";
    }
};

TEST_F(WholeLog, EveryLineIsTheOneItsRecordGives) {
    const struct {
        const char *name;
        const char *ini;
        Settings settings;
    } runs[] = {
        {"defaults", "", Settings{}},
        {"raw",
         "Format=no\r\nDumpData=char\r\nDumpRecnum=yes\r\nMaxMessageLen=250\r\nMaxFragmentLen=60\r\n"
         "DateFormat=yyyy-MM-dd\r\n",
         Settings{false, true, 2, 250, 60, ',', ' ', ';', true}},
        {"hex", "DumpData=hex\r\nStringSeparator=|\r\nFieldSeparator=;\r\nReplaceFieldSeparator=_\r\n",
         Settings{true, false, 1, 64000, 64000, ';', '_', '|', false}},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.name);
        const std::string bin = dir() + "/" + run.name;
        qt::makedirs(bin);
        const std::string exe = qt::copyquillog(bin);
        if (*run.ini) qt::writefile(bin + "/QUILLOG.INI", run.ini);
        const std::string out = dir() + "/" + run.name + ".txt";
        qt::RunResult r = qt::runprogram(exe, {"/logfile=sys=" + dir() + "/whole.evt", "/outfile=" + out});
        ASSERT_EQ(r.exitcode, 0) << r.out.substr(0, 4000);
        EXPECT_NE(r.out.find("NumRecs=20000"), std::string::npos) << r.out.substr(0, 4000);
        const std::string text = qt::readfile(out);
        size_t at = 0, wrong = 0;
        for (size_t i = 0; i < events.size(); ++i) {
            const std::string want = expected(events[i], (DWORD)(i + 1), run.settings);
            if (text.compare(at, want.size(), want) != 0 && ++wrong <= 3)
                ADD_FAILURE() << "record " << i + 1 << "\n want: " << want
                              << " got:  " << text.substr(at, text.find("\r\n", at) + 2 - at);
            size_t end = text.find("\r\n", at);
            at = end == std::string::npos ? text.size() : end + 2;
        }
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(at, text.size()) << "lines after the last record";
    }
}

} // namespace
