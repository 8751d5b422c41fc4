// faults_test.cpp: the built quillog under faults: a full disk, runs killed at
// random points, an output path that cannot be written, a registry file that
// cannot be read, is damaged or is locked by another run, and a log file cut
// or overwritten while it is read. Whatever happens, the output file holds
// only whole lines of the dump, the registry files parse, nothing the user
// had is overwritten, and a failed run leaves no bookmark that would skip
// records.
#include "platform/posix/regfile.h"
#include "platform/win32.h"

#include "support/support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <map>
#include <random>
#include <sched.h>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char PLASO[] = "plaso-SysEvent.Evt";
const size_t PLASO_RECORDS = 6063;
const DWORD PLASO_NEWEST = 7454;
const char BOOKMARK_KEY[] = "SOFTWARE\\Brantwick\\Quillog";

// A run of quillog in the background, its output going to a file.
class Background {
public:
    Background(const std::vector<std::string> &args, const std::string &outpath) {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            std::vector<char *> argv{const_cast<char *>(QUILLOG_EXE)};
            for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(QUILLOG_EXE, argv.data());
            _exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    void kill9() {
        if (pid_ > 0) kill(pid_, SIGKILL);
    }
    // The exit code, or 128 + the signal; -1 when the run could not start.
    int wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        done_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    bool done_ = false;
};

class Faults : public qt::TempNetwork {
protected:
    // The local computer with a registry and the sample as its live System log.
    std::string livesystemlog(const std::string &sample) {
        std::string host = computer();
        qt::makedirs(host + "/registry");
        qt::writefile(host + "/registry/HKEY_LOCAL_MACHINE.reg",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                      "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n");
        std::string config = host + "/c/windows/system32/config";
        qt::makedirs(config);
        qt::writefile(config + "/SysEvent.Evt", qt::readfile(qt::samplelog(sample)));
        return config + "/SysEvent.Evt";
    }
    std::string hkcu() { return computer() + "/registry/HKEY_CURRENT_USER.reg"; }
    std::string hklm() { return computer() + "/registry/HKEY_LOCAL_MACHINE.reg"; }

    // The whole dump of a sample as a backed-up log, made once per test.
    const std::string &reference(const std::string &sample = PLASO) {
        std::string &text = references_[sample];
        if (text.empty()) {
            // Arguments arrive lower-cased: the file name must be lower case.
            std::string path = dir() + "/reference" + std::to_string(references_.size()) + ".txt";
            qt::RunResult r = qt::runquillog({"/logfile=sys=" + qt::samplelog(sample), "/outfile=" + path});
            EXPECT_EQ(r.exitcode, 0) << r.out;
            text = qt::readfile(path);
            for (const std::string &line : lines(text)) referencelines_.insert(line);
        }
        return text;
    }

    // Checks an output file: every line ends in CR LF and is a line of the
    // reference dumps made so far. After a SIGKILL the last line may be cut
    // (the kernel stops a write that spans pages between two pages when the
    // process is killed), but only as the start of a line of the dump.
    // Returns true when it was cut.
    bool wholelines(const std::string &text, bool killed = false) {
        std::vector<std::string> out = lines(text);
        for (size_t i = 0; i < out.size(); ++i)
            if (!referencelines_.count(out[i])) {
                ADD_FAILURE() << "line " << i + 1 << " is not a line of the dump: " << out[i];
                break;
            }
        size_t whole = text.empty() ? 0 : text.rfind("\r\n");
        whole = whole == std::string::npos ? 0 : text.empty() ? 0 : whole + 2;
        if (whole == text.size()) return false;
        std::string tail = text.substr(whole);
        EXPECT_TRUE(killed) << "cut line at the end: " << tail;
        auto it = referencelines_.lower_bound(tail);
        EXPECT_TRUE(it != referencelines_.end() && it->compare(0, tail.size(), tail) == 0)
            << "the cut line is not the start of a line of the dump: " << tail;
        return true;
    }

    static std::vector<std::string> lines(const std::string &text) {
        std::vector<std::string> out;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos) break;
            out.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return out;
    }

    // A registry file that exists must parse.
    static void expectparses(const std::string &path) {
        if (!qt::fileexists(path)) return;
        nt::RegKey top;
        nt::RegFileError err;
        EXPECT_EQ(nt::parseregfile(qt::readfile(path), &top, &err), (DWORD)ERROR_SUCCESS)
            << path << " line " << err.line << ": " << err.what;
    }

    // The bookmark of the local System log in HKEY_CURRENT_USER, or 0.
    static DWORD bookmark(const char *name = "System-HOST12") {
        HKEY key;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, BOOKMARK_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
        if (RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)&value, &size) != ERROR_SUCCESS) value = 0;
        RegCloseKey(key);
        return value;
    }

    static double seconds(Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    }

private:
    std::map<std::string, std::string> references_;
    std::set<std::string> referencelines_;
};

// A file size limit in the child, as a full disk: writes past it fail with
// EFBIG instead of killing the process.
std::function<bool()> filesizelimit(rlim_t bytes) {
    return [bytes] {
        struct rlimit limit = {bytes, bytes};
        signal(SIGXFSZ, SIG_IGN);
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
}

TEST_F(Faults, FullDiskStopsWithWriteFileErrorAfterWholeLines) {
    const std::string &ref = reference();
    ASSERT_EQ(lines(ref).size(), PLASO_RECORDS);
    // The limit cuts the first line, a line in the middle, and one near the end.
    for (rlim_t limit : {(rlim_t)100, (rlim_t)65536, (rlim_t)(ref.size() - 1000)}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        std::string out = dir() + "/full-" + std::to_string(limit) + ".txt";
        qt::RunResult r =
            qt::runquillogwith(filesizelimit(limit), {"/logfile=sys=" + qt::samplelog(PLASO), "/outfile=" + out});
        EXPECT_EQ(r.exitcode, 2) << r.out;
        EXPECT_NE(r.out.find("\n==>WriteFile rc=112\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Elapsed time="), std::string::npos) << r.out;
        std::string text = qt::readfile(out);
        wholelines(text);
        ASSERT_LE(text.size(), limit);
        EXPECT_EQ(ref.compare(0, text.size(), text), 0) << "the file is the start of the dump";
        size_t next = ref.find("\r\n", text.size());
        ASSERT_NE(next, std::string::npos);
        EXPECT_GT(next + 2, limit) << "the line that failed would have fitted";
    }
}

TEST_F(Faults, FullDiskDuringLiveDumpSavesNoBookmark) {
    livesystemlog(PLASO);
    const std::string &ref = reference();
    std::string out = dir() + "/live.txt";
    qt::RunResult r = qt::runquillogwith(filesizelimit(300000), {"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>WriteFile rc=112\n"), std::string::npos) << r.out;
    EXPECT_EQ(bookmark(), 0u) << "a dump that stopped must not move the bookmark";
    expectparses(hkcu());

    // With room again, the next run dumps every record (still warning that
    // the log begins after the bookmark it has not got); nothing was skipped.
    qt::writefile(out, "");
    r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_NE(r.out.find("==>LastProcessed (0) < Oldest (1392), log records lost\n"), std::string::npos) << r.out;
    EXPECT_EQ(qt::readfile(out), ref);
    EXPECT_EQ(bookmark(), PLASO_NEWEST);
}

TEST_F(Faults, ClearThatFailsAfterTheDumpIsAWarning) {
    // The log's end-of-file record lies past the size limit, the dump and the
    // registry file within it: the dump and the bookmark succeed, and the
    // clear fails when it comes to wipe the old end-of-file record.
    livesystemlog("evtparser-System.evt");
    std::string out = dir() + "/cleared.txt";
    qt::RunResult r = qt::runquillogwith(filesizelimit(20000), {"/logfile=sys", "/outfile=" + out, "/clear"});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_NE(r.out.find("last event log record processed = 95\nclearing event log\n==>ClearEventLog failed, rc=112\n"
                         "Elapsed time="),
              std::string::npos)
        << r.out;
    EXPECT_EQ(lines(qt::readfile(out)).size(), 95u);
    EXPECT_EQ(bookmark(), 95u);
    expectparses(hkcu());
}

TEST_F(Faults, KilledRunsLeaveWholeLinesAndRegistryThatParses) {
    livesystemlog(PLASO);
    reference();
    std::string out = dir() + "/killed.txt";
    const std::vector<std::string> args = {"/logfile=sys", "/outfile=" + out, "/all"};

    // How long a whole run takes here, so that kills land all over it.
    Clock::time_point t0 = Clock::now();
    qt::RunResult r = qt::runquillog(args);
    ASSERT_EQ(r.exitcode, 0) << r.out;
    const double full = seconds(t0);
    ASSERT_EQ(bookmark(), PLASO_NEWEST);
    EXPECT_EQ(lines(qt::readfile(out)).size(), PLASO_RECORDS);

    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> when(0.0, full * 1.1);
    Clock::time_point start = Clock::now();
    int kills = 0, finished = 0, torn = 0;
    // Every run appends to what the runs before it left, cut line or not.
    qt::writefile(out, "");
    while (kills + finished < 40 && seconds(start) < 20.0) {
        Background run(args, dir() + "/killed-stdout.txt");
        std::this_thread::sleep_for(std::chrono::duration<double>(when(random)));
        run.kill9();
        int code = run.wait();
        if (code == 128 + SIGKILL)
            ++kills;
        else
            ++finished;
        SCOPED_TRACE("run " + std::to_string(kills + finished) + " exit " + std::to_string(code));
        EXPECT_TRUE(code == 0 || code == 1 || code == 128 + SIGKILL) << qt::readfile(dir() + "/killed-stdout.txt");
        torn += wholelines(qt::readfile(out), code == 128 + SIGKILL);
        expectparses(hkcu());
        expectparses(hklm());
        DWORD mark = bookmark();
        EXPECT_EQ(mark, PLASO_NEWEST) << "the bookmark is the old one or the new one, never lost";
        if (HasFailure()) break;
    }
    EXPECT_GE(kills, 10) << "too few runs were killed to mean anything";
    RecordProperty("kills", kills);
    RecordProperty("torn", torn);

    // A run after all that completes and leaves only whole lines, its own
    // dump last: a line a killed run left unfinished was cut off first.
    const std::string before = qt::readfile(out);
    r = qt::runquillog(args);
    const bool cut = r.out.find("==>cut an unfinished last line") != std::string::npos;
    EXPECT_EQ(r.exitcode, cut ? 1 : 0) << r.out;
    const std::string after = qt::readfile(out);
    EXPECT_FALSE(wholelines(after));
    ASSERT_GE(after.size(), reference().size());
    EXPECT_EQ(after.substr(after.size() - reference().size()), reference());
    EXPECT_EQ(after.size() - reference().size() < before.size(), cut);
}

TEST_F(Faults, UnfinishedLastLineIsCutBeforeAppending) {
    const std::string &ref = reference();
    const std::string log = "/logfile=sys=" + qt::samplelog(PLASO);
    std::vector<std::string> refl = lines(ref);
    const std::string head = refl[0] + "\r\n" + refl[1] + "\r\n";
    const struct {
        const char *name;
        std::string before; // the output file before the run
        size_t kept;        // how much of it stays
    } cases[] = {
        {"cut line", head + refl[2].substr(0, 37), head.size()},
        {"only a CR", head + refl[2] + "\r", head.size()},
        {"CR LF across two reads", "line\r\nSYS," + std::string(4091, 'y'), 6},
        {"whole lines", head, head.size()},
        {"no line end at all", "no line end", 11},
        {"longest possible start", "line\r\nSYS," + std::string(128994, 'z'), 6},
        {"longer than any line", "line\r\nSYS," + std::string(128995, 'z'), 129005},
        // Only a piece that starts as this run's lines start is ours to cut.
        {"a file end some other program wrote", "EXISTING LINE\r\nno line break at the end", 39},
        {"a line of another log", head + "APP,1/2/2012 10:00:00,X", head.size() + 23},
        {"the log type without the separator", head + "SYSTEM", head.size() + 6},
        {"the start of the log type", head + "SY", head.size()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir() + "/cut.txt";
        qt::writefile(out, c.before);
        qt::RunResult r = qt::runquillog({log, "/outfile=" + out});
        const size_t cut = c.before.size() - c.kept;
        if (cut) {
            EXPECT_EQ(r.exitcode, 1) << r.out;
            EXPECT_NE(
                r.out.find("\n==>cut an unfinished last line of " + std::to_string(cut) + " bytes from " + out + "\n"),
                std::string::npos)
                << r.out;
        } else {
            EXPECT_EQ(r.exitcode, 0) << r.out;
            EXPECT_EQ(r.out.find("==>cut"), std::string::npos) << r.out;
        }
        EXPECT_EQ(qt::readfile(out), c.before.substr(0, c.kept) + ref);
    }
}

TEST_F(Faults, OutputFileOfFourGigabytesIsAppendedTo) {
    const std::string &ref = reference();
    const std::string out = dir() + "/big.txt";
    const off_t size = ((off_t)1 << 32) + 5; // a hole, then "last\r\n"
    {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "last\r\n", 6, size - 6), 6);
        close(fd);
    }
    qt::RunResult r = qt::runquillog({"/logfile=sys=" + qt::samplelog(PLASO), "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    ASSERT_EQ(st.st_size, size + (off_t)ref.size());
    std::string tail(ref.size() + 6, '\0');
    int fd = open(out.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread(fd, &tail[0], tail.size(), size - 6), (ssize_t)tail.size());
    close(fd);
    EXPECT_EQ(tail, "last\r\n" + ref);
}

// Runs inchild's mount namespace with folder bound read-only over itself.
std::function<bool()> readonlyfolder(const std::string &folder) {
    return [folder] {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    };
}

TEST_F(Faults, OutputPathThatCannotBeWrittenStopsTheRun) {
    const std::string log = "/logfile=sys=" + qt::samplelog("evtparser-System.evt");
    qt::makedirs(dir() + "/afolder");
    qt::writefile(dir() + "/readonly.txt", "kept\r\n");
    chmod((dir() + "/readonly.txt").c_str(), 0444);
    struct Row {
        std::string outfile, message;
    } rows[] = {
        {dir() + "/nosuch/out.txt", "==>CreateFile(" + dir() + "/nosuch/out.txt) rc=3\n"},
        {dir() + "/afolder", "==>CreateFile(" + dir() + "/afolder) rc=5\n"},
        // The emulation's read-only attribute: a file without write permission.
        {dir() + "/readonly.txt", "==>CreateFile(" + dir() + "/readonly.txt) rc=5\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.outfile);
        qt::RunResult r = qt::runquillog({log, "/outfile=" + row.outfile});
        EXPECT_EQ(r.exitcode, 2) << r.out;
        EXPECT_NE(r.out.find(row.message), std::string::npos) << r.out;
    }
    EXPECT_FALSE(qt::fileexists(dir() + "/nosuch"));
    EXPECT_EQ(qt::readfile(dir() + "/readonly.txt"), "kept\r\n");

    qt::RunResult r = qt::runquillog({log, "/outdir=" + dir() + "/nosuch"});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>GetTempFileName rc=267 dir=" + dir() + "/nosuch\n"), std::string::npos) << r.out;

    // A read-only folder: bound read-only over itself in a mount namespace of
    // the run's own, since permission bits do not stop root.
    std::string ro = dir() + "/rofolder";
    qt::makedirs(ro);
    r = qt::runquillogwith(readonlyfolder(ro), {log, "/outfile=" + ro + "/out.txt"});
    if (r.exitcode == 125) GTEST_SKIP() << "no mount namespace here: read-only folder not tested";
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>CreateFile(" + ro + "/out.txt) rc=19\n"), std::string::npos) << r.out;
    r = qt::runquillogwith(readonlyfolder(ro), {log, "/outdir=" + ro});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>GetTempFileName rc=19 dir=" + ro + "\n"), std::string::npos) << r.out;
    EXPECT_FALSE(qt::fileexists(ro + "/out.txt"));
}

TEST_F(Faults, UnreadableOrDamagedRegistryIsNeverOverwritten) {
    livesystemlog("evtparser-System.evt");
    const std::string &ref = reference("evtparser-System.evt");
    const std::string damaged =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog\r\n\"x\"=dword:zz\r\n";
    std::string out = dir() + "/out.txt";

    // Damaged: the dump goes ahead from the start with a warning, and the
    // file stays as it was for the user to repair.
    qt::writefile(hkcu(), damaged);
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_NE(r.out.find("==>RegCreateKeyEx rc=1015\n"), std::string::npos) << r.out;
    EXPECT_EQ(qt::readfile(out), ref);
    EXPECT_EQ(qt::readfile(hkcu()), damaged);

    // Unreadable: a folder where the file should be.
    remove(hkcu().c_str());
    qt::makedirs(hkcu());
    qt::writefile(out, "");
    r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_NE(r.out.find("==>RegCreateKeyEx rc="), std::string::npos) << r.out;
    EXPECT_EQ(qt::readfile(out), ref);
    EXPECT_TRUE(qt::fileexists(hkcu() + "/."));

    // The machine's hive damaged: the system root cannot be read, the run
    // stops, and the hive is left alone.
    rmdir(hkcu().c_str());
    const std::string machine = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n";
    qt::writefile(hklm(), machine);
    r = qt::runquillog({"/logfile=sys", "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>RegOpenKeyEx rc=1015\n"), std::string::npos) << r.out;
    EXPECT_EQ(qt::readfile(hklm()), machine);
}

TEST_F(Faults, RegistryLockedByAnotherRunIsWaitedForAndNothingIsLost) {
    livesystemlog("evtparser-System.evt");
    std::string out = dir() + "/out.txt";
    qt::makedirs(computer() + "/registry");
    qt::writefile(hkcu(), "REGEDIT4\r\n\r\n");

    // Another run holds the hive's lock, and meanwhile saves a bookmark of
    // its own and moves this log's bookmark to record 90.
    int lockfd = open((hkcu() + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lockfd, 0);
    ASSERT_EQ(flock(lockfd, LOCK_EX), 0);
    Clock::time_point t0 = Clock::now();
    Background run({"/logfile=sys", "/outfile=" + out}, dir() + "/stdout.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(qt::readfile(out), "") << "the run went ahead without the lock";
    qt::writefile(hkcu() + ".other", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                     "\"Application-OTHER\"=dword:00000063\r\n"
                                     "\"System-HOST12\"=dword:0000005a\r\n\r\n");
    ASSERT_EQ(rename((hkcu() + ".other").c_str(), hkcu().c_str()), 0);
    flock(lockfd, LOCK_UN);
    close(lockfd);

    // The run waited, then saw the other run's bookmark.
    int code = run.wait();
    std::string said = qt::readfile(dir() + "/stdout.txt");
    EXPECT_EQ(code, 0) << said;
    EXPECT_GE(seconds(t0), 1.5);
    EXPECT_NE(said.find("process event log records starting with 91\n"), std::string::npos) << said;
    EXPECT_EQ(lines(qt::readfile(out)).size(), 5u);
    expectparses(hkcu());
    EXPECT_EQ(bookmark(), 95u);
    EXPECT_EQ(bookmark("Application-OTHER"), 99u) << "the other run's change was lost";
}

// Another process that holds locks on a file until it is destroyed: a flock
// (exclusive or shared) and, when asked, a record lock over the whole file
// (lockf), as a job wrapper or another tool may hold them.
class LockHolder {
public:
    LockHolder(const std::string &path, int flockmode, bool wholefile) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
            bool ok = fd >= 0 && flock(fd, flockmode) == 0 && (!wholefile || lockf(fd, F_LOCK, 0) == 0);
            if (write(ready[1], ok ? "y" : "n", 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char answer = 0;
        held_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }
    ~LockHolder() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

// An alarm in the child, so that a run that would wait for ever is ended.
std::function<bool()> alarmafter(unsigned seconds) {
    return [seconds] {
        alarm(seconds);
        return true;
    };
}

TEST_F(Faults, LocksHeldByOtherProgramsGetAnAnswerWithinBoundedTime) {
    const std::string log = livesystemlog("evtparser-System.evt");
    qt::makedirs(computer() + "/registry");
    const std::string hive = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                             "\"System-HOST12\"=dword:0000005a\r\n\r\n";
    const std::string out = dir() + "/out.txt";
    const struct {
        const char *what;
        std::string held; // the file another program locks
        int flockmode;
        bool wholefile;
        int exitcode;
        std::vector<std::string> said;
        size_t lines;       // lines in the output file afterwards
        DWORD bookmark;     // the bookmark afterwards
        double most, least; // seconds the run may take
    } rows[] = {
        {"output file held with a flock and a lockf over the whole file",
         out,
         LOCK_EX,
         true,
         2,
         {"==>CreateFile(" + out + ") rc=32\n"},
         0,
         90,
         3,
         0},
        {"output file held with a flock only",
         out,
         LOCK_EX,
         false,
         0,
         {"last event log record processed = 95\n"},
         5,
         95,
         3,
         0},
        {"the bookmark hive's lock held",
         hkcu() + ".lock",
         LOCK_EX,
         false,
         1,
         {"==>RegSetValueEx name=System-HOST12 rc=32\n", "==>RegSetValueEx name=Version rc=32\n"},
         5,
         90,
         15,
         9},
        {"the event log file held by a writer",
         log,
         LOCK_EX,
         false,
         2,
         {"==>OpenEventLog(NULL,System) rc=32\n"},
         0,
         90,
         8,
         4},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qt::writefile(hkcu(), hive);
        qt::writefile(out, "");
        LockHolder holder(row.held, row.flockmode, row.wholefile);
        ASSERT_TRUE(holder.held());
        Clock::time_point t0 = Clock::now();
        qt::RunResult r = qt::runquillogwith(alarmafter(60), {"/logfile=sys", "/outfile=" + out});
        const double took = seconds(t0);
        EXPECT_EQ(r.exitcode, row.exitcode) << r.out;
        for (const std::string &line : row.said) EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        EXPECT_LE(took, row.most);
        EXPECT_GE(took, row.least);
        EXPECT_EQ(lines(qt::readfile(out)).size(), row.lines);
        EXPECT_EQ(bookmark(), row.bookmark);
        expectparses(hkcu());
    }
}

// Runs the child as the user nobody (when the test runs as root) so that
// files without write permission cannot be written.
std::function<bool()> asnobody() {
    return [] { return getuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0); };
}

TEST_F(Faults, LiveLogThatMayOnlyBeReadIsDumpedAndItsClearFails) {
    const std::string log = livesystemlog("evtparser-System.evt");
    const std::string config = log.substr(0, log.rfind('/'));
    // Everything may be written by everyone but the log, so that the run as
    // another user keeps its bookmark; the program is a copy it can reach.
    std::string exe = qt::copyquillog(dir() + "/bin");
    const struct {
        const char *what;
        std::function<bool()> inchild;
        bool logexists;
        int exitcode;
        std::string said;
        const char *sample = "evtparser-System.evt"; // the log (its signature gives its format)
        DWORD records = 95;
    } rows[] = {
        {"a read-only file system", readonlyfolder(config), true, 1,
         "clearing event log\n==>ClearEventLog failed, rc=19\n"},
        {"a log of another account", asnobody(), true, 1, "clearing event log\n==>ClearEventLog failed, rc=5\n"},
        {"a log that does not exist on a read-only file system", readonlyfolder(config), false, 2,
         "==>OpenEventLog(NULL,System) rc=19\n"},
        {"an .evtx log on a read-only file system", readonlyfolder(config), true, 1,
         "clearing event log\n==>ClearEventLog failed, rc=19\n", "system.evtx", 1881},
        {"an .evtx log of another account", asnobody(), true, 1, "clearing event log\n==>ClearEventLog failed, rc=5\n",
         "system.evtx", 1881},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        unlink(hkcu().c_str());
        if (row.logexists)
            qt::writefile(log, qt::readfile(qt::samplelog(row.sample)));
        else
            unlink(log.c_str());
        const std::string before = row.logexists ? qt::readfile(log) : "";
        qt::runprogram("/bin/chmod", {"-R", "a+rwX", dir()});
        if (row.logexists) chmod(log.c_str(), 0444);
        const std::string out = dir() + "/out-" + std::to_string(&row - rows) + ".txt";
        const std::string copy = dir() + "/copy-" + std::to_string(&row - rows) + ".evt";
        qt::RunResult r = qt::runprogram(exe, {"/logfile=sys", "/outfile=" + out, "/all", "/clear"}, "", row.inchild);
        if (r.exitcode == 125) GTEST_SKIP() << "no mount namespace or user switch here";
        EXPECT_EQ(r.exitcode, row.exitcode) << r.out;
        EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
        if (!row.logexists) {
            EXPECT_FALSE(qt::fileexists(log));
            continue;
        }
        EXPECT_EQ(lines(qt::readfile(out)).size(), row.records);
        EXPECT_EQ(bookmark(), row.records);
        EXPECT_EQ(qt::readfile(log), before) << "the records were kept";
        // A backup of the same log works and reads back whole.
        r = qt::runprogram(exe, {"/logfile=sys", "/outfile=" + copy, "/backup"}, "", row.inchild);
        EXPECT_EQ(r.exitcode, 0) << r.out;
        r = qt::runquillog({"/logfile=sys=" + copy, "/outfile=" + copy + ".txt"});
        EXPECT_NE(r.out.find("last event log record processed = " + std::to_string(row.records)), std::string::npos)
            << r.out;
    }
}

TEST_F(Faults, LogCutOrOverwrittenWhileReadGivesWholeLinesAndAnError) {
    reference();
    reference("evtparser-System.evt");
    const std::string copy = dir() + "/copy.evt";
    const std::string out = dir() + "/out.txt";
    const std::string plaso = qt::readfile(qt::samplelog(PLASO));
    const std::string other = qt::readfile(qt::samplelog("evtparser-System.evt"));

    // Cut to nothing before the run: the file is not a log.
    qt::writefile(copy, "");
    qt::RunResult r = qt::runquillog({"/logfile=sys=" + copy, "/outfile=" + out});
    EXPECT_EQ(r.exitcode, 2) << r.out;
    EXPECT_NE(r.out.find("==>OpenBackupEventLog(" + copy + ") rc=1500\n"), std::string::npos) << r.out;

    qt::writefile(copy, plaso);
    Clock::time_point t0 = Clock::now();
    r = qt::runquillog({"/logfile=sys=" + copy, "/outfile=" + out});
    ASSERT_EQ(r.exitcode, 0) << r.out;
    const double full = seconds(t0);

    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> when(0.0, full);
    int stopped = 0;
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        qt::writefile(copy, plaso);
        qt::writefile(out, "");
        Background run({"/logfile=sys=" + copy, "/outfile=" + out}, dir() + "/stdout.txt");
        std::this_thread::sleep_for(std::chrono::duration<double>(when(random)));
        if (i % 3 == 0) {
            // Cut to a third, the header kept.
            EXPECT_EQ(truncate(copy.c_str(), (off_t)plaso.size() / 3), 0);
        } else if (i % 3 == 1) {
            // Another log written over the start, in place.
            int fd = open(copy.c_str(), O_WRONLY);
            EXPECT_EQ(write(fd, other.data(), other.size()), (ssize_t)other.size());
            close(fd);
        } else {
            // Zeros over the middle.
            int fd = open(copy.c_str(), O_WRONLY);
            std::string zeros(plaso.size() / 2, '\0');
            EXPECT_EQ(pwrite(fd, zeros.data(), zeros.size(), (off_t)plaso.size() / 4), (ssize_t)zeros.size());
            close(fd);
        }
        int code = run.wait();
        std::string said = qt::readfile(dir() + "/stdout.txt");
        EXPECT_TRUE(code == 0 || code == 2) << said;
        if (code == 2) {
            ++stopped;
            EXPECT_TRUE(said.find("==>ReadEventLog rc=") != std::string::npos ||
                        said.find("==>OpenBackupEventLog(") != std::string::npos)
                << said;
        }
        wholelines(qt::readfile(out));
        if (HasFailure()) break;
    }
    RecordProperty("stopped", stopped);
}

} // namespace
