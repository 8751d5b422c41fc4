// run_test.cpp: whole runs of the built quillog in a temporary network.
#include "platform/posix/eventlog.h"
#include "platform/win32.h"

#include "support/support.h"

#include <regex>
#include <string>
#include <vector>

namespace {

const char SystemRootKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                             "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n";

class Run : public qt::TempNetwork {
protected:
    // Makes a copy of a sample the live System log of computer name, at the
    // default place under its system root.
    std::string livesystemlog(const std::string &sample, const std::string &name = "HOST12") {
        std::string folder = computer(name);
        qt::makedirs(folder + "/registry");
        if (!qt::fileexists(folder + "/registry/HKEY_LOCAL_MACHINE.reg"))
            qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg", std::string("REGEDIT4\r\n\r\n") + SystemRootKey);
        std::string config = folder + "/c/windows/system32/config";
        qt::makedirs(config);
        qt::writefile(config + "/SysEvent.Evt", qt::readfile(qt::samplelog(sample)));
        return config + "/SysEvent.Evt";
    }

    static size_t countlines(const std::string &text) {
        size_t n = 0;
        for (char c : text) n += c == '\n';
        return n;
    }
};

// The closing line: elapsed time then the record count, and an empty line.
void expectclosing(const std::string &out, unsigned long numrecs) {
    std::regex closing("Elapsed time= *-?[0-9]+\\.[0-9]{3} seconds, NumRecs=" + std::to_string(numrecs) + "\n\n$");
    EXPECT_TRUE(std::regex_search(out, closing)) << out;
}

TEST_F(Run, NoArgumentsGivesDateBannerComplaintAndUsage) {
    qt::RunResult r = qt::runquillog({});
    EXPECT_EQ(r.exitcode, 2);
    std::vector<std::string> lines = qt::splitlines(r.out);
    ASSERT_GE(lines.size(), 20u) << r.out;
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex("[0-9]{1,2}/[0-9]{1,2}/[0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} [AP]M")))
        << lines[0];
    EXPECT_EQ(lines[1], "Brantwick Quillog V1.7.1");
    EXPECT_EQ(lines[2], "==>Missing /logfile parameter");
    EXPECT_EQ(lines[3], "Dump eventlog in format suitable for importing into database");
    EXPECT_EQ(lines[7], "  /logfile=type      eventlog to dump, type can be app, sec or sys");
    EXPECT_EQ(lines[14], "  /clear             clear event log after successful dump");
    EXPECT_EQ(lines[17].rfind("Visit ", 0), 0u);
    EXPECT_EQ(lines[18].rfind("Send problem reports to ", 0), 0u);
    EXPECT_EQ(lines.size(), 20u);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n");
}

TEST_F(Run, BackedUpLogIsDumpedWholeWithoutBookmark) {
    std::string out = dir() + "/plaso.txt";
    qt::RunResult r =
        qt::runquillog({"/logfile=sys=" + qt::samplelog("plaso-SysEvent.Evt"), "/outfile=" + out, "/clear"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("process all event log records\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 7454\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("clearing event log"), std::string::npos) << r.out;
    expectclosing(r.out, 6063);
    EXPECT_EQ(countlines(qt::readfile(out)), 6063u);
    // No bookmark for a backed-up file: the program's key holds no value.
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick\\Quillog", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char name[300];
        DWORD namelen = sizeof name;
        EXPECT_EQ(RegEnumValueA(key, 0, name, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
        RegCloseKey(key);
    }
    // A second run appends.
    r = qt::runquillog({"/logfile=sys=" + qt::samplelog("plaso-SysEvent.Evt"), "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_EQ(countlines(qt::readfile(out)), 2 * 6063u);
}

TEST_F(Run, RealSampleLogsGiveTheirCounts) {
    struct Row {
        const char *file;
        const char *type;
        unsigned long last, count;
    } rows[] = {
        {"evtparser-Application.evt", "app", 67, 67}, {"evtparser-System.evt", "sys", 95, 95},
        {"evtparser-Security.evt", "sec", 49, 49},    {"system.evtx", "sys", 1881, 1881},
        {"security.evtx", "sec", 2261, 2261},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        std::string out = dir() + "/out-" + std::to_string(&row - rows) + ".txt";
        qt::RunResult r =
            qt::runquillog({std::string("/logfile=") + row.type + "=" + qt::samplelog(row.file), "/outfile=" + out});
        EXPECT_EQ(r.exitcode, 0) << r.out;
        EXPECT_NE(r.out.find("last event log record processed = " + std::to_string(row.last) + "\n"), std::string::npos)
            << r.out;
        expectclosing(r.out, row.count);
        EXPECT_EQ(countlines(qt::readfile(out)), row.count);
    }
}

TEST_F(Run, BadBackupFilesStopTheRun) {
    std::string garbage = dir() + "/garbage.evt";
    qt::writefile(garbage, std::string(4096, 'x'));
    std::string truncated = dir() + "/truncated.evt";
    qt::writefile(truncated, qt::readfile(qt::samplelog("evtparser-System.evt")).substr(0, 40));
    struct Row {
        std::string file;
        unsigned long rc;
    } rows[] = {{dir() + "/missing.evt", 2}, {garbage, 1500}, {truncated, 1500}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        qt::RunResult r = qt::runquillog({"/logfile=sys=" + row.file, "/outfile=" + dir() + "/out.txt"});
        EXPECT_EQ(r.exitcode, 2);
        EXPECT_NE(r.out.find("==>OpenBackupEventLog(" + row.file + ") rc=" + std::to_string(row.rc) + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(qt::fileexists(dir() + "/out.txt"));
    }
}

TEST_F(Run, LiveLogIncrementalThenNothingNew) {
    livesystemlog("plaso-SysEvent.Evt");
    std::string out = dir() + "/live.txt";
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_NE(r.out.find("==>LastProcessed (0) < Oldest (1392), log records lost\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("process event log records starting with 1392\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 7454\n"), std::string::npos) << r.out;
    expectclosing(r.out, 6063);
    std::string first = qt::readfile(out);
    EXPECT_EQ(countlines(first), 6063u);

    r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("Newest(7454) == LastProcessed (7454), no records to process\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("last event log record processed"), std::string::npos) << r.out;
    expectclosing(r.out, 0);
    EXPECT_EQ(qt::readfile(out), first);
}

TEST_F(Run, ClearedLogNeverMovesTheBookmarkPastUnseenRecords) {
    std::string log = livesystemlog("evtparser-System.evt");
    std::string out = dir() + "/live.txt";
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/outfile=" + out, "/all", "/clear"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 95\nclearing event log\n"), std::string::npos) << r.out;
    expectclosing(r.out, 95);

    // The log is empty now: runs that find nothing keep the bookmark at 95.
    for (int i = 0; i < 2; ++i) {
        r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
        EXPECT_EQ(r.exitcode, 0) << r.out;
        EXPECT_NE(r.out.find("process event log records starting with 96\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("last event log record processed = 95\n"), std::string::npos) << r.out;
        expectclosing(r.out, 0);
    }
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick\\Quillog", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0, type = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "System-HOST12", nullptr, &type, (LPBYTE)&value, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 95u);
    RegCloseKey(key);

    // "/all" on the empty log shows and saves 0.
    r = qt::runquillog({"/logfile=sys", "/outfile=" + out, "/all"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(countlines(qt::readfile(out)), 95u);
}

TEST_F(Run, BackupModeReplacesOutfileOnlyWhenTheBackupSucceeded) {
    livesystemlog("evtparser-System.evt");
    std::string out = dir() + "/copy.evt";
    qt::writefile(out, "previous backup");
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/backup", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    expectclosing(r.out, 0);
    EXPECT_EQ(r.out.find("last event log record"), std::string::npos) << r.out;
    r = qt::runquillog({"/logfile=sys=" + out, "/outfile=" + dir() + "/fromcopy.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 95\n"), std::string::npos) << r.out;
    expectclosing(r.out, 95);

    // A backup into a folder that does not exist fails and says so; an
    // existing backup elsewhere is never touched.
    std::string bad = dir() + "/nofolder/copy.evt";
    r = qt::runquillog({"/logfile=sys", "/backup", "/outfile=" + bad});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>GetTempFileName rc=267 dir=" + dir() + "/nofolder/\n"), std::string::npos) << r.out;
    expectclosing(r.out, 0);
    EXPECT_FALSE(qt::fileexists(bad));

    // The copy is made under a temporary name in the output folder, so any
    // output path that fits MAX_PATH (259 characters and the terminator)
    // works, and nothing is left beside it.
    for (size_t length : {254u, 259u}) {
        SCOPED_TRACE(length);
        std::string folder = dir() + "/long" + std::to_string(length);
        qt::makedirs(folder);
        std::string name = folder + "/";
        name += std::string(length - name.size() - 4, 'b') + ".evt";
        r = qt::runquillog({"/logfile=sys", "/backup", "/outfile=" + name});
        EXPECT_EQ(r.exitcode, 0) << r.out;
        std::string listing = qt::runprogram("/bin/ls", {folder}).out;
        EXPECT_EQ(qt::splitlines(listing).size(), 1u) << listing;
        r = qt::runquillog({"/logfile=sys=" + name, "/outfile=" + folder + ".txt"});
        EXPECT_NE(r.out.find("last event log record processed = 95\n"), std::string::npos) << r.out;
    }
}

TEST_F(Run, OutputFileHeldByAnotherRunIsRefused) {
    std::string out = dir() + "/held.txt";
    HANDLE held = CreateFileA(out.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    qt::RunResult r = qt::runquillog({"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("==>CreateFile(" + out + ") rc=32\n"), std::string::npos) << r.out;
    CloseHandle(held);
    EXPECT_EQ(qt::readfile(out), "");

    std::string folder = dir() + "/adir";
    qt::makedirs(folder);
    r = qt::runquillog({"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outfile=" + folder});
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("==>CreateFile(" + folder + ") rc=5\n"), std::string::npos) << r.out;
}

TEST_F(Run, OutdirWritesIntoANewTempFile) {
    qt::makedirs(dir() + "/outdir");
    qt::RunResult r =
        qt::runquillog({"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outdir=" + dir() + "/outdir"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    std::string listing = qt::runprogram("/bin/ls", {dir() + "/outdir"}).out;
    std::vector<std::string> files = qt::splitlines(listing);
    ASSERT_EQ(files.size(), 1u) << listing;
    EXPECT_TRUE(std::regex_match(files[0], std::regex("QLG[0-9A-F]{1,4}\\.tmp"))) << files[0];
    EXPECT_EQ(countlines(qt::readfile(dir() + "/outdir/" + files[0])), 95u);
}

TEST_F(Run, UninstallOnlyForExactlySlashU) {
    // A path containing "/u" is an ordinary argument.
    std::string out = dir() + "/users/x.txt";
    qt::makedirs(dir() + "/users");
    qt::RunResult r = qt::runquillog({"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_EQ(r.out.find("uninstalled"), std::string::npos) << r.out;
    EXPECT_EQ(countlines(qt::readfile(out)), 95u);

    r = qt::runquillog({"/u"});
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, "Brantwick Quillog has been successfully uninstalled\n");
}

TEST_F(Run, SecurityLogNeedsThePrivilege) {
    setenv("QUILLOG_PRIVILEGES", "", 1);
    qt::RunResult r = qt::runquillog({"/logfile=sec", "/outfile=" + dir() + "/sec.txt"});
    unsetenv("QUILLOG_PRIVILEGES");
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("Unable to obtain SecurityName privilege, rc=1300\n"), std::string::npos) << r.out;
    EXPECT_FALSE(qt::fileexists(dir() + "/sec.txt"));
}

TEST_F(Run, RemoteComputerLogAndUnknownComputer) {
    livesystemlog("evtparser-System.evt", "SERVER7");
    std::string out = dir() + "/remote.txt";
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/computer=server7", "/outfile=" + out, "/all"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    expectclosing(r.out, 95);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick\\Quillog", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "System-server7", nullptr, nullptr, (LPBYTE)&value, &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 95u);
    RegCloseKey(key);

    r = qt::runquillog({"/logfile=sys", "/computer=nosuch", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("==>RegConnectKeyEx rc=53\n"), std::string::npos) << r.out;
}

TEST_F(Run, OrdinalContinuesAcrossReadBlocks) {
    // About 3.3 MB of records: several blocks of the 1,048,500-byte buffer.
    nt::EventTarget target;
    target.file = dir() + "/big.evt";
    target.maxsize = 8 * 1024 * 1024;
    std::vector<nt::LogEvent> events(3000);
    for (size_t i = 0; i < events.size(); ++i) {
        events[i].source = "Big";
        events[i].eventid = 7;
        events[i].data.assign(1000, (BYTE)i);
        // Types outside the table are reported with the record's ordinal.
        events[i].type = (i + 1 == 1000 || i + 1 == 2999) ? 0x20 : EVENTLOG_WARNING_TYPE;
    }
    ASSERT_EQ(nt::writeevents(target, events), 0u);
    qt::RunResult r = qt::runquillog({"/logfile=app=" + target.file, "/outfile=" + dir() + "/big.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("==>invalid type, rec=1000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("==>invalid type, rec=2999\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 3000\n"), std::string::npos) << r.out;
    expectclosing(r.out, 3000);
    EXPECT_EQ(countlines(qt::readfile(dir() + "/big.txt")), 3000u);
}

TEST_F(Run, RecordLargerThanOneReadRequestIsReadOnItsOwn) {
    // Reads ask for at most 0x7FFFF bytes (the service refuses more); a
    // record that needs more but fits the buffer is read again asking for
    // its size. One that does not fit the buffer ends the run as before.
    const struct {
        size_t bytes; // data of the middle record
        int exitcode;
        const char *said;
    } rows[] = {
        {0x7FFFF, 0, "last event log record processed = 3\n"},
        {1000000, 0, "last event log record processed = 3\n"},
        {1048500, 2, "last event log record processed"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes);
        nt::EventTarget target;
        target.file = dir() + "/large" + std::to_string(row.bytes) + ".evt";
        target.maxsize = 4 * 1024 * 1024;
        std::vector<nt::LogEvent> events(3);
        for (nt::LogEvent &e : events) e.source = "Large";
        events[1].data.assign(row.bytes, 0x41);
        ASSERT_EQ(nt::writeevents(target, events), 0u);
        const std::string out = target.file + ".txt";
        qt::RunResult r = qt::runquillog({"/logfile=app=" + target.file, "/outfile=" + out});
        EXPECT_EQ(r.exitcode, row.exitcode) << r.out;
        if (row.exitcode == 0) {
            EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
            EXPECT_EQ(countlines(qt::readfile(out)), 3u);
        } else {
            EXPECT_EQ(r.out.find(row.said), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("==>ReadEventLog rc=122 cbReq="), std::string::npos) << r.out;
            EXPECT_EQ(countlines(qt::readfile(out)), 1u);
        }
    }
}

} // namespace
