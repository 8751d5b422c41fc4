// vista_test.cpp: runs of the built quillog on computers of Vista and later,
// whose live System log is the .evtx file of winevt\Logs that the emulation
// writes: the local computer and a remote one go through the same runs
// (first, nothing new, new events, clear, wrap, backup), with message texts
// and user names as for .evt logs.
#include "platform/posix/eventlog.h"

#include "support/support.h"

#include <set>

namespace {

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

class Vista : public qt::TempNetwork {
protected:
    // The computer's System log in winevt\Logs, at most a header and three
    // chunks, and its source Sampler with the message DLLs.
    void install(const std::string &name) {
        const std::string sys = computer(name) + "/c/Windows/System32";
        qt::makedirs(sys);
        qt::makedirs(computer(name) + "/registry");
        for (const char *dll : {"events", "categories", "params"})
            qt::writefile(sys + "/smpl_" + std::string(dll, 3) + ".dll", fixture(std::string(dll) + ".dll"));
        const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
        qt::writefile(computer(name) + "/registry/HKEY_LOCAL_MACHINE.reg",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" +
                          qt::regstring("SystemRoot", "C:\\Windows") + "\r\n" + key + "]\r\n" +
                          qt::reghex("File", REG_EXPAND_SZ, "%SystemRoot%\\System32\\winevt\\Logs\\System.evtx") +
                          "\"MaxSize\"=dword:00031000\r\n\r\n" + key + "\\Sampler]\r\n" +
                          qt::regstring("EventMessageFile", "%SystemRoot%\\System32\\smpl_eve.dll") +
                          qt::regstring("CategoryMessageFile", "%SystemRoot%\\System32\\smpl_cat.dll") +
                          qt::regstring("ParameterMessageFile", "%SystemRoot%\\System32\\smpl_par.dll"));
    }

    // Events "evt<first>" ... of the analyst, through the emulation's writer.
    void append(const std::string &name, int first, int count) {
        std::vector<nt::EventSpec> events(count);
        for (int i = 0; i < count; ++i) {
            events[i].source = "Sampler";
            events[i].timegenerated = events[i].timewritten = 1700000000 + first + i;
            events[i].eventid = 0x40000064;
            events[i].category = 1;
            events[i].sid = qt::makesid(5, {21, 11, 22, 33, 1114});
            events[i].strings = {"evt" + std::to_string(first + i), name, "ok"};
        }
        nt::EventTarget target;
        target.computer = name;
        target.log = "System";
        ASSERT_EQ(nt::writeevents(target, events), 0u);
    }

    // The numbers N of the texts "evt<N>" in the output file, each counted.
    std::multiset<int> dumped(const std::string &path) {
        std::multiset<int> found;
        std::string text = qt::readfile(path);
        for (size_t pos = 0; (pos = text.find("Service evt", pos)) != std::string::npos; pos += 11)
            found.insert(atoi(text.c_str() + pos + 11));
        return found;
    }
};

TEST_F(Vista, IncrementalClearedWrappedAndBackedUpLogsLocalAndRemote) {
    qt::writefile(computer() + "/accounts.txt", "S-1-5-21-11-22-33-1114=VISTADOM\\analyst\n");
    // The command line arrives lower-cased: so are the files' names here.
    for (const std::string name : {"HOST12", "VISTA7"}) {
        SCOPED_TRACE(name);
        install(name);
        const std::string base = dir() + "/" + (name == "HOST12" ? "local" : "remote");
        const std::string out = base + ".txt";
        std::vector<std::string> args = {"/logfile=sys", "/outfile=" + out};
        if (name != "HOST12") args.push_back("/computer=" + name);
        auto run = [&](std::vector<std::string> extra, int exitcode, const std::string &said) {
            extra.insert(extra.begin(), args.begin(), args.end());
            qt::RunResult r = qt::runquillog(extra);
            EXPECT_EQ(r.exitcode, exitcode) << r.out;
            EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
        };
        std::multiset<int> all;
        auto upto = [&](int last) {
            while (all.size() < (size_t)last) all.insert((int)all.size() + 1);
            return all;
        };

        append(name, 1, 20);
        run({}, 1, "==>LastProcessed (0) < Oldest (1), log records lost\n");
        EXPECT_EQ(dumped(out), upto(20));
        const std::string line = qt::readfile(out).substr(0, qt::readfile(out).find('\n'));
        EXPECT_NE(line.find(",Sampler,100,Information,Disk Events ,VISTADOM\\analyst," + name +
                            ",Service evt1 started on " + name + ".^^Details: ok "),
                  std::string::npos)
            << line;
        run({}, 0, "Newest(20) == LastProcessed (20), no records to process\n");
        append(name, 21, 5);
        run({}, 0, "process event log records starting with 21\n");
        EXPECT_EQ(dumped(out), upto(25));

        // Cleared after the dump: the numbers go on, nothing is lost or
        // read twice.
        append(name, 26, 5);
        run({"/clear"}, 0, "last event log record processed = 30\nclearing event log\n");
        append(name, 31, 12);
        run({}, 1, "==>LastProcessed (30) < Oldest (31), log records lost\n");
        EXPECT_EQ(dumped(out), upto(42));

        // Wrapped: the oldest chunks went before this run.
        append(name, 43, 2000);
        HANDLE log = OpenEventLogA(name == "HOST12" ? nullptr : name.c_str(), "System");
        DWORD oldest = 0;
        ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
        CloseEventLog(log);
        ASSERT_GT(oldest, 43u);
        run({}, 1, "==>LastProcessed (42) < Oldest (" + std::to_string(oldest) + "), log records lost\n");
        std::multiset<int> wrapped = upto(42);
        for (int n = (int)oldest; n <= 2042; ++n) wrapped.insert(n);
        EXPECT_EQ(dumped(out), wrapped);

        // Backed up: the copy reads back with the same records.
        const std::string copy = base + ".evtx";
        args[1] = "/outfile=" + copy;
        run({"/backup"}, 0, "NumRecs=0");
        args = {"/logfile=sys=" + copy, "/outfile=" + base + "-copy.txt"};
        run({}, 0, "last event log record processed = 2042\n");
        EXPECT_EQ(dumped(base + "-copy.txt"), std::multiset<int>(wrapped.find((int)oldest), wrapped.end()));
    }
}

} // namespace
