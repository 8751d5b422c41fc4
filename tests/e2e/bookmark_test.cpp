// bookmark_test.cpp: incremental runs of the built quillog, run after run.
#include "platform/posix/eventlog.h"

#include "support/support.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char ProgramKey[] = "SOFTWARE\\Brantwick\\Quillog";

class Incremental : public qt::TempNetwork {
protected:
    // Appends count records with the texts "evt<first>".."evt<first+count-1>"
    // to the local Application log (or the log named).
    void append(int first, int count, const std::string &log = "Application", DWORD maxsize = 0) {
        nt::EventTarget target;
        target.log = log;
        target.maxsize = maxsize;
        std::vector<nt::LogEvent> events;
        for (int i = 0; i < count; ++i) {
            nt::LogEvent e;
            e.source = "Quillog Test";
            e.timegenerated = e.timewritten = 1300000000 + (DWORD)(first + i);
            e.eventid = 1000;
            e.strings = {"evt" + std::to_string(first + i)};
            events.push_back(e);
        }
        ASSERT_EQ(nt::writeevents(target, events), 0u);
    }

    std::string run(const std::vector<std::string> &extra, int expectrc, const std::string &outname = "out.txt") {
        std::vector<std::string> args = {"/logfile=app", "/outfile=" + dir() + "/" + outname};
        args.insert(args.end(), extra.begin(), extra.end());
        qt::RunResult r = qt::runquillog(args);
        EXPECT_EQ(r.exitcode, expectrc) << r.out;
        return r.out;
    }

    std::multiset<int> dumped(const std::string &outname = "out.txt") { return qt::dumped(dir() + "/" + outname); }

    static DWORD bookmark(HKEY hive, const char *name) {
        HKEY key;
        if (RegOpenKeyExA(hive, ProgramKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xdeadbeef;
        DWORD value = 0xdeadbeef, type = 0, size = sizeof value;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)&value, &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0xdeadbeef;
    }

    std::string hkcufile() { return network() + "/HOST12/registry/HKEY_CURRENT_USER.reg"; }
};

TEST_F(Incremental, FirstRunThenNothingNewThenNewRecords) {
    append(1, 20);
    std::string out = run({}, 1);
    EXPECT_NE(out.find("==>LastProcessed (0) < Oldest (1), log records lost\n"), std::string::npos) << out;
    EXPECT_NE(out.find("last event log record processed = 20\n"), std::string::npos) << out;
    EXPECT_EQ(dumped(), qt::range(1, 20));
    EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 20u);
    std::string reg = qt::readfile(hkcufile());
    EXPECT_NE(reg.find("\"Application-HOST12\"=dword:00000014"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"Version\"=\"V1.7.1\""), std::string::npos) << reg;

    // Nothing new: the output file and the registry file stay as they are.
    std::string before = qt::readfile(dir() + "/out.txt");
    out = run({}, 0);
    EXPECT_NE(out.find("Newest(20) == LastProcessed (20), no records to process\n"), std::string::npos) << out;
    EXPECT_EQ(qt::readfile(dir() + "/out.txt"), before);
    EXPECT_EQ(qt::readfile(hkcufile()), reg);

    // New records continue exactly after the bookmark.
    append(21, 5);
    out = run({}, 0);
    EXPECT_NE(out.find("process event log records starting with 21\n"), std::string::npos) << out;
    EXPECT_EQ(dumped(), qt::range(1, 25));
    EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 25u);
}

TEST_F(Incremental, OverwrittenAndReplacedLogsAreReported) {
    // A small log that wraps: by the second run the oldest record lies
    // beyond the bookmark.
    std::string reg = computer() + "/registry";
    qt::makedirs(reg);
    qt::writefile(reg + "/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\r\n"
                  "\"MaxSize\"=dword:00010000\r\n");
    append(1, 10, "Application", 65536);
    run({}, 1);
    append(11, 2000, "Application", 65536);
    HANDLE log = OpenEventLogA(nullptr, "Application");
    ASSERT_NE(log, nullptr);
    DWORD oldest = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    CloseEventLog(log);
    ASSERT_GT(oldest, 11u);
    std::string out = run({}, 1);
    EXPECT_NE(out.find("==>LastProcessed (10) < Oldest (" + std::to_string(oldest) + "), log records lost\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("last event log record processed = 2010\n"), std::string::npos) << out;

    // The log file replaced by a new one with lower numbers.
    nt::EventTarget fresh;
    fresh.file = dir() + "/fresh.evt";
    nt::LogEvent e;
    e.source = "Quillog Test";
    e.strings = {"evt5000"};
    ASSERT_EQ(nt::writeevents(fresh, {e, e, e}), 0u);
    std::string livepath = qt::runprogram("/usr/bin/find", {network() + "/HOST12/c", "-iname", "appevent.evt"}).out;
    ASSERT_FALSE(livepath.empty());
    livepath.pop_back();
    qt::writefile(livepath, qt::readfile(fresh.file));
    out = run({}, 1);
    EXPECT_NE(out.find("==>Newest(3) < LastProcessed (2010), log wrapped or was cleared\n"), std::string::npos) << out;
    EXPECT_NE(out.find("process event log records starting with 1\n"), std::string::npos) << out;
    EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 3u);
}

TEST_F(Incremental, HiveKeepsItsFormatNamesAndSizeRunAfterRun) {
    // Each run adds or moves the bookmark and leaves the rest of the hive as
    // it was: a version 5 file stays UTF-16 with every name and value, also
    // those that code page 1252 lacks, and a key 510 levels deep stays one
    // section instead of one section per level. Only the comment goes.
    std::u16string deep = u"[HKEY_CURRENT_USER";
    for (int i = 0; i < 510; ++i) deep += u"\\" + std::u16string(255, (char16_t)(u'a' + i % 26));
    deep += u"]\r\n\"v\"=dword:00000001\r\n\r\n";
    const struct {
        const char *what;
        bool utf16;
        std::u16string header, comment, body;
    } rows[] = {
        {"version 5 in UTF-16 with names outside 1252", true, u"Windows Registry Editor Version 5.00\r\n\r\n",
         u"; exported from OLDPC\r\n",
         u"[HKEY_CURRENT_USER\\SOFTWARE\\Приложение]\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\日本]\r\n\"a\"="
         u"\"東京\"\r\n\r\n"
         u"[HKEY_CURRENT_USER\\SOFTWARE\\中国]\r\n\"a\"=\"北京\"\r\n\r\n"},
        {"REGEDIT4 with a key 510 levels deep", false, u"REGEDIT4\r\n\r\n", u"", deep},
    };
    auto encode = [](const std::u16string &text, bool utf16) {
        std::string out = utf16 ? "\xFF\xFE" : "";
        for (char16_t c : text) {
            out += (char)(c & 0xFF);
            if (utf16) out += (char)(c >> 8);
        }
        return out;
    };
    auto bookmarked = [](int last) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", last);
        return u"[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n\"Application-HOST12\"=dword:" +
               std::u16string(hex, hex + 8) + u"\r\n\"Version\"=\"V1.7.1\"\r\n\r\n";
    };
    qt::makedirs(network() + "/HOST12/registry");
    int newest = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qt::writefile(hkcufile(), encode(row.header + row.comment + row.body, row.utf16));
        append(newest + 1, 20);
        newest += 20;
        run({}, 1);
        EXPECT_EQ(qt::readfile(hkcufile()), encode(row.header + row.body + bookmarked(newest), row.utf16));
        append(newest + 1, 5);
        newest += 5;
        run({}, 0);
        EXPECT_EQ(qt::readfile(hkcufile()), encode(row.header + row.body + bookmarked(newest), row.utf16));
    }
}

TEST_F(Incremental, HivesKeepSeparateBookmarksAndNamesIgnoreCase) {
    append(1, 3);
    run({}, 1);
    std::string out = run({"/reg=local_machine"}, 1, "hklm.txt");
    EXPECT_NE(out.find("==>LastProcessed (0) < Oldest (1), log records lost\n"), std::string::npos) << out;
    append(4, 2);
    run({"/reg=local_machine"}, 0, "hklm.txt");
    EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 3u);
    EXPECT_EQ(bookmark(HKEY_LOCAL_MACHINE, "Application-HOST12"), 5u);

    // The local computer named on the command line shares the local bookmark.
    out = run({"/computer=host12", "/reg=local_machine"}, 0, "hklm.txt");
    EXPECT_NE(out.find("Newest(5) == LastProcessed (5), no records to process\n"), std::string::npos) << out;
}

TEST_F(Incremental, LegacyValuesMoveInAndUninstallRemovesBothHives) {
    append(1, 10);
    std::string reg = network() + "/HOST12/registry";
    qt::makedirs(reg);
    qt::writefile(reg + "/HKEY_CURRENT_USER.reg",
                  "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                  "\"Application-HOST12\"=dword:00000063\r\n\r\n"
                  "[HKEY_CURRENT_USER\\SOFTWARE\\BrantwickWare\\Quillog]\r\n"
                  "\"Application-HOST12\"=dword:00000006\r\n");
    std::string out = run({}, 0);
    EXPECT_NE(out.find("process event log records starting with 7\n"), std::string::npos) << out;
    EXPECT_EQ(dumped(), qt::range(7, 10));
    std::string text = qt::readfile(reg + "/HKEY_CURRENT_USER.reg");
    EXPECT_EQ(text.find("BrantwickWare"), std::string::npos) << text;

    run({"/reg=local_machine"}, 1, "hklm.txt");
    ASSERT_NE(bookmark(HKEY_LOCAL_MACHINE, "Application-HOST12"), 0xdeadbeefu);
    qt::RunResult r = qt::runquillog({"/u"});
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, "Brantwick Quillog has been successfully uninstalled\n");
    EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 0xdeadbeefu);
    EXPECT_EQ(bookmark(HKEY_LOCAL_MACHINE, "Application-HOST12"), 0xdeadbeefu);
    EXPECT_EQ(qt::readfile(reg + "/HKEY_CURRENT_USER.reg").find("Brantwick"), std::string::npos);
}

TEST_F(Incremental, ClearThenNewEventsLosesAndDuplicatesNothing) {
    append(1, 30);
    std::string out = run({"/clear"}, 1, "first.txt");
    EXPECT_NE(out.find("clearing event log\n"), std::string::npos) << out;
    append(31, 12);
    // Numbers go on after a clear, so the next run starts right after the
    // bookmark; the oldest record being one past it is still reported.
    out = run({}, 1, "second.txt");
    EXPECT_NE(out.find("==>LastProcessed (30) < Oldest (31), log records lost\n"), std::string::npos) << out;
    EXPECT_NE(out.find("process event log records starting with 31\n"), std::string::npos) << out;
    std::multiset<int> all = dumped("first.txt");
    std::multiset<int> second = dumped("second.txt");
    all.insert(second.begin(), second.end());
    EXPECT_EQ(all, qt::range(1, 42));
}

TEST_F(Incremental, ConcurrentRunsOnTwoLogsKeepBothBookmarks) {
    append(1, 50, "Application");
    append(1, 70, "System");
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        append(51 + round, 1, "Application");
        append(71 + round, 1, "System");
        pid_t a = fork();
        if (a == 0) {
            qt::RunResult r = qt::runquillog({"/logfile=app", "/outfile=" + dir() + "/a.txt"});
            _exit(r.exitcode);
        }
        qt::RunResult b = qt::runquillog({"/logfile=sys", "/outfile=" + dir() + "/b.txt"});
        int status = 0;
        waitpid(a, &status, 0);
        EXPECT_LE(WEXITSTATUS(status), 1);
        EXPECT_LE(b.exitcode, 1) << b.out;
        EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 51u + round);
        EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "System-HOST12"), 71u + round);
    }
}

TEST_F(Incremental, KilledRunLeavesAReadableRegistry) {
    append(1, 200);
    run({}, 1);
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        append(201 + round, 1);
        pid_t pid = fork();
        if (pid == 0) {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            execl(QUILLOG_EXE, QUILLOG_EXE, "/logfile=app", ("/outfile=" + dir() + "/k.txt").c_str(), (char *)nullptr);
            _exit(127);
        }
        usleep(std::uniform_int_distribution<int>(0, 30000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        DWORD value = bookmark(HKEY_CURRENT_USER, "Application-HOST12");
        // Either the run saved its bookmark or it did not get that far.
        EXPECT_TRUE(value == 200u + round || value == 201u + round) << value;
        // A run that finishes afterwards resumes from whatever was saved.
        run({}, 0, "k.txt");
        EXPECT_EQ(bookmark(HKEY_CURRENT_USER, "Application-HOST12"), 201u + round);
    }
}

} // namespace
