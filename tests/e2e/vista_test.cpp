// vista_test.cpp: runs of the built quillog on computers of Vista and later
// (System log: the .evtx file of winevt\Logs that the emulation writes),
// local and remote, with message texts and user names as for .evt logs.
#include "platform/posix/eventlog.h"
#include "platform/posix/ntapi.h"

#include "support/support.h"

namespace {

class Vista : public qt::TempNetwork {
protected:
    // The computer's System log in winevt\Logs, at most a header and three
    // chunks, and its source Sampler with its message DLLs.
    void install(const std::string &name) {
        const std::string sys = computer(name) + "/c/Windows/System32/";
        const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
        qt::makedirs(sys);
        qt::makedirs(computer(name) + "/registry");
        for (const char *dll : {"events", "categories"})
            qt::writefile(sys + dll + ".dll", qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + dll + ".dll"));
        qt::writefile(computer(name) + "/registry/HKEY_LOCAL_MACHINE.reg",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" +
                          qt::regstring("SystemRoot", "C:\\Windows") + key + "]\r\n" +
                          qt::reghex("File", REG_EXPAND_SZ, "%SystemRoot%\\System32\\winevt\\Logs\\System.evtx") +
                          "\"MaxSize\"=dword:00031000\r\n" + key + "\\Sampler]\r\n" +
                          qt::regstring("EventMessageFile", "%SystemRoot%\\System32\\events.dll") +
                          qt::regstring("CategoryMessageFile", "%SystemRoot%\\System32\\categories.dll"));
    }

    // Events of the analyst whose strings are "evt<first>" ..., name, "ok".
    static void append(const std::string &name, int first, int count) {
        std::vector<nt::LogEvent> events(count);
        for (int i = 0; i < count; ++i) {
            nt::LogEvent &e = events[i];
            e.source = "Sampler";
            e.timegenerated = e.timewritten = 1700000000 + first + i;
            e.eventid = 0x40000064;
            e.category = 1;
            e.sid = qt::makesid(5, {21, 11, 22, 33, 1114});
            e.strings = {"evt" + std::to_string(first + i), name, "ok"};
        }
        ASSERT_EQ(nt::writeevents({name, "System", "", 0}, events), 0u);
    }
};

TEST_F(Vista, IncrementalClearedWrappedAndBackedUpLogsLocalAndRemote) {
    qt::writefile(computer() + "/accounts.txt", "S-1-5-21-11-22-33-1114=VISTADOM\\analyst\n");
    for (const std::string name : {"HOST12", "VISTA7"}) {
        SCOPED_TRACE(name);
        install(name);
        // The command line arrives lower-cased: so are the files' names.
        const std::string base = dir() + (name == "HOST12" ? "/local" : "/remote"), out = base + ".txt";
        std::vector<std::string> args = {"/logfile=sys", "/outfile=" + out};
        if (name != "HOST12") args.push_back("/computer=" + name);
        auto run = [&](std::vector<std::string> extra, int exitcode, const std::string &said) {
            extra.insert(extra.begin(), args.begin(), args.end());
            qt::RunResult r = qt::runquillog(extra);
            EXPECT_EQ(r.exitcode, exitcode) << r.out;
            EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
        };

        append(name, 1, 20);
        run({}, 1, "==>LastProcessed (0) < Oldest (1), log records lost\n");
        const std::string line = qt::readfile(out).substr(0, qt::readfile(out).find('\n'));
        EXPECT_NE(line.find(",Sampler,100,Information,Disk Events ,VISTADOM\\analyst," + name +
                            ",Service evt1 started on " + name + ".^^Details: ok "),
                  std::string::npos)
            << line;
        run({}, 0, "Newest(20) == LastProcessed (20), no records to process\n");
        append(name, 21, 5);
        run({}, 0, "process event log records starting with 21\n");

        // Cleared after the dump: the numbers go on, no event is lost or
        // dumped twice.
        append(name, 26, 5);
        run({"/clear"}, 0, "last event log record processed = 30\nclearing event log\n");
        append(name, 31, 12);
        run({}, 1, "==>LastProcessed (30) < Oldest (31), log records lost\n");
        EXPECT_EQ(qt::dumped(out), qt::range(1, 42));

        // Wrapped: the oldest chunks went before this run.
        append(name, 43, 2000);
        HANDLE log = OpenEventLogA(name.c_str(), "System");
        DWORD oldest = 0;
        ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
        CloseEventLog(log);
        ASSERT_GT(oldest, 43u);
        run({}, 1, "==>LastProcessed (42) < Oldest (" + std::to_string(oldest) + "), log records lost\n");
        EXPECT_EQ(qt::dumped(out), qt::range((int)oldest, 2042, qt::range(1, 42)));

        // Backed up: the copy dumps the same records.
        args[1] = "/outfile=" + base + ".evtx";
        run({"/backup"}, 0, "NumRecs=0");
        args = {"/logfile=sys=" + base + ".evtx", "/outfile=" + base + "-copy.txt"};
        run({}, 0, "last event log record processed = 2042\n");
        EXPECT_EQ(qt::dumped(base + "-copy.txt"), qt::range((int)oldest, 2042));
    }
}

} // namespace
