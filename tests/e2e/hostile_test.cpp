// hostile_test.cpp: the built quillog on computer folders made by someone who
// wants to harm the machine that reads them: paths in their registry that
// climb out of a drive, name host folders or other computers, links planted
// below a drive, data that would cost time or memory out of proportion to its
// size, and names that would forge console lines. Nothing outside the
// computer's drives may be created, written or cleared, and every run ends in
// time with its usual lines.
#include "platform/posix/eventlog.h"
#include "platform/win32.h"

#include "support/support.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using qt::regstring;

const char VersionKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n";
const char SystemLogKey[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System]\r\n";

class Hostile : public qt::TempNetwork {
protected:
    // A computer whose registry holds its system root and, when given, the
    // File value of its System log and further sections.
    std::string machine(const std::string &name, const std::string &systemroot, const std::string &file = "",
                        const std::string &more = "") {
        std::string folder = computer(name);
        qt::makedirs(folder + "/registry");
        std::string text =
            "REGEDIT4\r\n\r\n" + std::string(VersionKey) + qt::reghex("SystemRoot", REG_SZ, systemroot) + "\r\n";
        if (!file.empty()) text += SystemLogKey + regstring("File", file) + "\r\n";
        qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg", text + more);
        return folder;
    }

    // A log file of the events, written through the emulation.
    static void writelog(const std::string &path, const std::vector<nt::LogEvent> &events) {
        nt::EventTarget target;
        target.file = path;
        target.maxsize = 64 * 1024 * 1024;
        ASSERT_EQ(nt::writeevents(target, events), 0u);
    }

    static nt::LogEvent event(const std::string &source, DWORD id, std::vector<std::string> strings = {}) {
        nt::LogEvent e;
        e.source = source;
        e.timegenerated = e.timewritten = 1700000000;
        e.eventid = id;
        e.strings = std::move(strings);
        return e;
    }

    static bool haslinestarting(const std::string &out, const std::string &start) {
        for (const std::string &line : qt::splitlines(out))
            if (line.compare(0, start.size(), start) == 0) return true;
        return false;
    }
};

TEST_F(Hostile, NothingOutsideTheComputersDrivesIsCreatedWrittenOrCleared) {
    const std::string sample = qt::readfile(qt::samplelog("evtparser-System.evt"));
    const std::string unique = std::to_string(getpid()) + "-" + std::to_string(Clock::now().time_since_epoch().count());
    const std::string planted = "/tmp/x/planted-" + unique + ".evt";
    const std::string out = dir() + "/out.txt";
    qt::makedirs(dir() + "/cwd");
    qt::makedirs(dir() + "/elsewhere-dir");
    qt::writefile(dir() + "/elsewhere.evt", sample);
    const struct {
        const char *what;
        std::function<void()> setup;
        std::vector<std::string> args;
        int exitcode;
        std::string said;
        std::function<void()> check;
    } rows[] = {
        {"a File value that climbs with ..",
         [&] {
             machine("HOST12", "C:\\WINDOWS", "C:\\..\\..\\..\\..\\..\\..\\..\\tmp\\x\\planted-" + unique + ".evt");
         },
         {"/logfile=sys", "/outfile=" + out, "/all", "/clear"},
         0,
         "clearing event log\n",
         [&] {
             EXPECT_TRUE(qt::fileexists(computer("HOST12") + "/c/tmp/x/planted-" + unique + ".evt"));
             EXPECT_FALSE(qt::fileexists(planted));
         }},
        {"an output path that climbs with ..",
         [&] { machine("HOST12", "C:\\WINDOWS"); },
         {"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outfile=c:\\..\\..\\..\\escaped.txt"},
         0,
         "last event log record processed = 95\n",
         [&] {
             EXPECT_TRUE(qt::fileexists(computer("HOST12") + "/c/escaped.txt"));
             EXPECT_FALSE(qt::fileexists(dir() + "/escaped.txt"));
             EXPECT_FALSE(qt::fileexists(network() + "/escaped.txt"));
         }},
        {"a File value on the computer named ..",
         [&] { machine("HOST12", "C:\\WINDOWS", "\\\\..\\C$\\planted.evt"); },
         {"/logfile=sys", "/outfile=" + out},
         2,
         "==>OpenEventLog(NULL,System) rc=161\n",
         [&] { EXPECT_FALSE(qt::fileexists(dir() + "/c/planted.evt")); }},
        {"an output path on the computer named ..",
         [&] { machine("HOST12", "C:\\WINDOWS"); },
         {"/logfile=sys=" + qt::samplelog("evtparser-System.evt"), "/outfile=\\\\..\\c$\\planted.txt"},
         2,
         "==>CreateFile(\\\\..\\c$\\planted.txt) rc=53\n",
         [&] { EXPECT_FALSE(qt::fileexists(dir() + "/c/planted.txt")); }},
        {"a remote SystemRoot that is a host folder",
         [&] { machine("EVIL", dir() + "/hostfolder"); },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out},
         2,
         "==>OpenEventLog(evil,System) rc=161\n",
         [&] { EXPECT_FALSE(qt::fileexists(dir() + "/hostfolder")); }},
        {"a relative SystemRoot",
         [&] { machine("EVIL", "relroot"); },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out},
         2,
         "==>OpenEventLog(evil,System) rc=161\n",
         [&] { EXPECT_FALSE(qt::fileexists(dir() + "/cwd/relroot")); }},
        {"a drive-relative File value",
         [&] { machine("EVIL", "C:\\WINDOWS", "C:dropped.evt"); },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out},
         2,
         "==>OpenEventLog(evil,System) rc=161\n",
         [&] { EXPECT_FALSE(qt::fileexists(dir() + "/cwd/C:dropped.evt")); }},
        {"a File value on another computer's share",
         [&] {
             std::string server = machine("SERVER1", "C:\\WINDOWS");
             qt::makedirs(server + "/c/WINDOWS/System32/config");
             qt::writefile(server + "/c/WINDOWS/System32/config/SysEvent.Evt", sample);
             machine("EVIL", "C:\\WINDOWS", "\\\\server1\\C$\\WINDOWS\\System32\\config\\SysEvent.Evt");
         },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out, "/all", "/clear"},
         2,
         "==>OpenEventLog(evil,System) rc=161\n",
         [&] {
             EXPECT_EQ(qt::readfile(computer("SERVER1") + "/c/WINDOWS/System32/config/SysEvent.Evt"), sample);
             EXPECT_EQ(qt::readfile(out), "");
         }},
        {"a log that is a link to a log elsewhere",
         [&] {
             std::string evil = machine("EVIL", "C:\\WINDOWS");
             qt::makedirs(evil + "/c/WINDOWS/System32/config");
             ASSERT_EQ(symlink((dir() + "/elsewhere.evt").c_str(),
                               (evil + "/c/WINDOWS/System32/config/SysEvent.Evt").c_str()),
                       0);
         },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out, "/all", "/clear"},
         1,
         "clearing event log\n==>ClearEventLog failed, rc=5\n",
         [&] {
             EXPECT_EQ(qt::readfile(dir() + "/elsewhere.evt"), sample);
             EXPECT_EQ(qt::splitlines(qt::readfile(out)).size(), 95u);
         }},
        {"a log folder that is a link to a folder elsewhere",
         [&] {
             std::string evil = machine("EVIL", "C:\\WINDOWS");
             qt::makedirs(evil + "/c/WINDOWS/System32");
             ASSERT_EQ(symlink((dir() + "/elsewhere-dir").c_str(), (evil + "/c/WINDOWS/System32/config").c_str()), 0);
         },
         {"/computer=evil", "/logfile=sys", "/outfile=" + out},
         2,
         "==>OpenEventLog(evil,System) rc=5\n",
         [&] {
             EXPECT_EQ(qt::runprogram("/bin/ls", {"-A", dir() + "/elsewhere-dir"}).out, "");
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qt::writefile(out, "");
        row.setup();
        qt::RunResult r = qt::runquillog(row.args, dir() + "/cwd");
        EXPECT_EQ(r.exitcode, row.exitcode) << r.out;
        EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
        row.check();
        EXPECT_EQ(qt::runprogram("/bin/ls", {"-A", dir() + "/cwd"}).out, "") << "nothing in the working folder";
        qt::removetree(network() + "/EVIL");
    }
}

// Processor seconds a run of quillog takes (the machine may be busy with
// other work: wall time would measure that too).
double timed(const std::vector<std::string> &args, qt::RunResult *result) {
    *result = qt::runquillog(args);
    return result->cpuseconds;
}

TEST_F(Hostile, CostStaysInProportionToTheLog) {
    // Each hostile log is timed at a quarter of its size and whole: the
    // whole one takes about four times as long, where a cost growing as the
    // square would take sixteen. A log of the same size whose records repeat
    // what the hostile one varies bounds the cost per record loosely (the
    // hostile run prints a line per distinct failure and fills its caches).
    // Processor times on a busy machine vary by a few times, and both
    // checks leave room for that.
    const size_t n = 120000;
    machine("HOST12", "C:\\WINDOWS");
    std::string accounts;
    for (size_t i = 0; i < 50000; ++i)
        accounts += "S-1-5-21-9-9-9-" + std::to_string(100000 + i) + "=CORP\\u" + std::to_string(i) + "\n";
    const struct {
        const char *what;
        std::function<nt::LogEvent(size_t)> hostile, plain;
        std::string accounts;
    } rows[] = {
        {"every event id distinct", [](size_t i) { return event("Unregistered", (DWORD)i); },
         [](size_t) { return event("Unregistered", 7); }, ""},
        {"every source distinct", [](size_t i) { return event("Source" + std::to_string(i), 7); },
         [](size_t) { return event("Source", 7); }, ""},
        {"every user distinct, a long accounts file",
         [](size_t i) {
             nt::LogEvent e = event("Unregistered", 7);
             e.sid = qt::makesid(5, {21, 9, 9, 9, (uint32_t)(200000 + i)});
             return e;
         },
         [](size_t i) {
             nt::LogEvent e = event("Unregistered", 7);
             e.sid = qt::makesid(5, {21, 9, 9, 9, (uint32_t)(200000 + i % 50)});
             return e;
         },
         accounts},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qt::writefile(computer("HOST12") + "/accounts.txt", row.accounts);
        std::vector<nt::LogEvent> hostile, plain;
        for (size_t i = 0; i < n; ++i) {
            hostile.push_back(row.hostile(i));
            plain.push_back(row.plain(i));
        }
        writelog(dir() + "/hostile.evt", hostile);
        writelog(dir() + "/plain.evt", plain);
        hostile.resize(n / 4);
        writelog(dir() + "/quarter.evt", hostile);
        // A hive changed in the last two seconds is read again at every call
        // (a file rewritten within its clock's tick keeps its times): the runs
        // are timed on a settled one, as a copied folder's is.
        struct stat st;
        ASSERT_EQ(stat((computer("HOST12") + "/registry/HKEY_LOCAL_MACHINE.reg").c_str(), &st), 0);
        while (time(nullptr) <= st.st_ctime + 2) usleep(100000);
        qt::RunResult r;
        double tplain = timed({"/logfile=app=" + dir() + "/plain.evt", "/outfile=" + dir() + "/plain.txt"}, &r);
        EXPECT_EQ(r.exitcode, 0) << r.out.substr(0, 2000);
        double tquarter = timed({"/logfile=app=" + dir() + "/quarter.evt", "/outfile=" + dir() + "/quarter.txt"}, &r);
        EXPECT_EQ(r.exitcode, 0) << r.out.substr(0, 2000);
        double thostile = timed({"/logfile=app=" + dir() + "/hostile.evt", "/outfile=" + dir() + "/hostile.txt"}, &r);
        EXPECT_EQ(r.exitcode, 0) << r.out.substr(0, 2000);
        EXPECT_LE(thostile, 8 * tquarter + 1.0) << "a quarter of the log " << tquarter << " s";
        EXPECT_LE(thostile, 20 * tplain + 2.0) << "plain " << tplain << " s";
        for (const char *name : {"/hostile.evt", "/plain.evt", "/quarter.evt"}) unlink((dir() + name).c_str());
    }

    // Insertion strings full of distinct parameter references: each is
    // looked up and reported once, at the cost of one lookup.
    std::vector<nt::LogEvent> records;
    for (size_t rec = 0; rec < 16; ++rec) {
        std::vector<std::string> strings;
        for (size_t s = 0; s < 99; ++s) {
            std::string text;
            for (size_t k = 0; k < 160; ++k) text += "%%" + std::to_string(1000000 + (rec * 99 + s) * 160 + k);
            strings.push_back(text);
        }
        records.push_back(event("Unregistered", 7, strings));
    }
    writelog(dir() + "/params.evt", records);
    qt::RunResult r;
    double t = timed({"/logfile=app=" + dir() + "/params.evt", "/outfile=" + dir() + "/params.txt"}, &r);
    EXPECT_EQ(r.exitcode, 0) << r.out.substr(0, 2000);
    EXPECT_LE(t, 8.0);
}

TEST_F(Hostile, AModuleNamedManyWaysIsLoadedOnce) {
    // A 20 MiB message file (a real DLL, then a hole) named 30 ways in one
    // registry value: one copy in memory, not thirty.
    std::string folder =
        machine("HOST12", "C:\\WINDOWS", "",
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Big]\r\n");
    qt::makedirs(folder + "/c/dlls");
    qt::writefile(folder + "/c/dlls/big.dll", qt::readfile(std::string(QUILLOG_MSGDLLS) + "/events.dll"));
    ASSERT_EQ(truncate((folder + "/c/dlls/big.dll").c_str(), 20 << 20), 0);
    std::string value;
    for (int i = 0; i < 30; ++i) {
        value += std::string(i ? ";" : "") + "c:\\" + (i & 1 ? ".\\" : "") + "dlls" + (i & 2 ? "\\." : "") +
                 (i & 4 ? "/" : "\\") + (i & 8 ? "./" : "") + (i & 16 ? ".\\" : "") + "big.dll";
    }
    ASSERT_LT(value.size(), 1039u);
    std::string reg = qt::readfile(folder + "/registry/HKEY_LOCAL_MACHINE.reg");
    qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg", reg + regstring("EventMessageFile", value) + "\r\n");
    writelog(dir() + "/big.evt", {event("Big", 0x40000064, {"disk", "full"})});
    qt::RunResult r = qt::runquillog({"/logfile=app=" + dir() + "/big.evt", "/outfile=" + dir() + "/big.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_LT(r.maxrsskb, 150 * 1024) << "peak resident size";
}

TEST_F(Hostile, MessageFilesThatAreNoModulesAreRefusedAtOnce) {
    // A message file that is a device, a link to one, a FIFO or a huge
    // sparse file: each is refused before a byte is read (a device would be
    // read without end, a FIFO would wait for a writer).
    std::string folder = machine("HOST12", "C:\\WINDOWS");
    qt::makedirs(folder + "/c/dlls");
    ASSERT_EQ(symlink("/dev/zero", (folder + "/c/dlls/zero.dll").c_str()), 0);
    ASSERT_EQ(mkfifo((folder + "/c/dlls/fifo.dll").c_str(), 0644), 0);
    qt::writefile(folder + "/c/dlls/huge.dll", qt::readfile(std::string(QUILLOG_MSGDLLS) + "/events.dll"));
    ASSERT_EQ(truncate((folder + "/c/dlls/huge.dll").c_str(), (off_t)3 << 30), 0);
    const struct {
        const char *file;
        unsigned long rc;
    } rows[] = {{"/dev/zero.", 5}, {"c:\\dlls\\zero.dll", 5}, {"c:\\dlls\\fifo.dll", 5}, {"c:\\dlls\\huge.dll", 223}};
    std::string keys;
    std::vector<nt::LogEvent> events;
    for (const auto &row : rows) {
        std::string source = "S" + std::to_string(&row - rows);
        keys += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source + "]\r\n" +
                regstring("EventMessageFile", row.file) + "\r\n";
        events.push_back(event(source, 7));
    }
    std::string reg = qt::readfile(folder + "/registry/HKEY_LOCAL_MACHINE.reg");
    qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg", reg + keys);
    writelog(dir() + "/dev.evt", events);
    qt::RunResult r = qt::runquillogwith(
        [] {
            alarm(30);
            return true;
        },
        {"/logfile=app=" + dir() + "/dev.evt", "/outfile=" + dir() + "/dev.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        EXPECT_NE(r.out.find("==>LoadLibrary rc=" + std::to_string(row.rc) + " library=" + row.file + "\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_LT(r.maxrsskb, 64 * 1024) << "peak resident size";
    EXPECT_LT(r.cpuseconds, 5.0);
}

TEST_F(Hostile, UntrustedTextCannotForgeConsoleLines) {
    const struct {
        const char *what;
        std::string source;              // of the one record
        std::string systemroot;          // in the registry
        std::string shown;               // a console line that must be there
        std::vector<std::string> forged; // lines that must not
    } rows[] = {
        {"a source with line feeds",
         "X\nlast event log record processed = 4294967295\n==>fake",
         "C:\\WINDOWS",
         "==>Format message error, source=X^Jlast event log record processed = 4294967295^J==>fake type=Message "
         "msg=7 rc=126",
         {"last event log record processed = 4294967295", "==>fake"}},
        {"a source with a terminal escape",
         "A\x1b[2J\x1b]0;owned\x07Z",
         "C:\\WINDOWS",
         "==>Format message error, source=A^[[2J^[]0;owned^GZ type=Message msg=7 rc=126",
         {}},
        {"a SystemRoot with line feeds",
         "Plain",
         "C:\\WIN\nLogType=Security\r\nFormat=no",
         "SystemRoot=C:\\WIN^JLogType=Security^M^JFormat=no",
         {"LogType=Security", "Format=no"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        machine("HOST12", row.systemroot);
        writelog(dir() + "/one.evt", {event(row.source, 7)});
        qt::RunResult r = qt::runquillog({"/logfile=app=" + dir() + "/one.evt", "/outfile=" + dir() + "/one.txt"});
        unlink((dir() + "/one.evt").c_str());
        EXPECT_EQ(r.exitcode, 0) << r.out;
        EXPECT_TRUE(haslinestarting(r.out, row.shown)) << r.out;
        for (const std::string &forged : row.forged) EXPECT_FALSE(haslinestarting(r.out, forged)) << r.out;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "an escape reached the console";
        EXPECT_EQ(r.out.find('\x07'), std::string::npos) << "a bell reached the console";
        EXPECT_TRUE(haslinestarting(r.out, "last event log record processed = 1")) << r.out;
    }
}

TEST_F(Hostile, OverlongMessageFilePathIsALookupFailure) {
    // A remote computer's registry names a message file whose network path
    // does not fit: the source's descriptions are the fallback, the run goes
    // on and saves its bookmark.
    std::string acct = machine("ACCT7", "C:\\WINDOWS", "",
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Long]"
                               "\r\n" +
                                   regstring("EventMessageFile", "C:\\" + std::string(1030, 'r')) + "\r\n");
    qt::makedirs(acct + "/c/WINDOWS/System32/config");
    nt::EventTarget target;
    target.computer = "ACCT7";
    target.log = "System";
    ASSERT_EQ(nt::writeevents(target, {event("Long", 7, {"a", "b"}), event("Long", 7, {"c"})}), 0u);
    const std::string out = dir() + "/long.txt";
    qt::RunResult r = qt::runquillog({"/computer=acct7", "/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 1) << r.out; // the first run's records-lost warning
    EXPECT_EQ(r.out.find("internal error"), std::string::npos) << r.out;
    size_t first = r.out.find("==>LoadLibrary rc=206 library=\\\\acct7\\C$\\rrr");
    EXPECT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("==>LoadLibrary rc=206", first + 1), std::string::npos) << "reported once";
    std::vector<std::string> lines = qt::splitlines(qt::readfile(out));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Unable to format message. Insertion strings: a;b"), std::string::npos) << lines[0];
    EXPECT_NE(r.out.find("last event log record processed = 2\n"), std::string::npos) << r.out;
}

} // namespace
