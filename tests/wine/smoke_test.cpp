// smoke_test.cpp: runs the cross-built quillog.exe under Wine.
//
// The Windows build calls the real Win32 services; Wine provides them. One
// throwaway Wine prefix serves the whole run: it is booted once, a persistent
// wineserver keeps later starts quick, and the prefix is removed at the end.
// quillog.exe is copied alone into C:\qlg, so every run also shows that it
// needs no MinGW runtime DLLs. The registry is set up with `reg import` and
// checked with `reg query`, Windows' own tools, never through quillog itself.
//
// Wine's event log service is a stub: every log reads as empty, reported
// events are not stored and a backup writes no file. Runs that need records
// or a backup copy skip with that reason. Known Wine differences that show in
// the checks are noted where they matter (GetTempFileNameA spells its hex
// digits in lower case; there is no network, so every remote computer fails
// as one that does not answer).
#include "support/support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using qt::readfile;
using qt::shellquote;
using qt::writefile;

namespace fs = std::filesystem;

// The host folder of this run: the Wine prefix and the captured output.
std::string Root;
std::string Prefix;
// The local computer's name as Wine reports it, and its system root.
std::string ComputerName;
std::string SystemRoot;

struct Result {
    int exitcode = -1;
    std::string out; // standard output with CR LF turned into LF
};

std::string crlftolf(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::vector<std::string> splitlines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs a shell command with its output in files (never a pipe: the wineserver
// and the services a first start launches inherit the descriptors and would
// keep a pipe open long after the program has ended).
Result runshell(const std::string &command) {
    std::string out = Root + "/stdout.txt", err = Root + "/stderr.txt";
    int status = std::system((command + " <" + "/dev/null >" + shellquote(out) + " 2>" + shellquote(err)).c_str());
    Result r;
    r.exitcode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = crlftolf(readfile(out));
    return r;
}

std::string winecommand(const std::vector<std::string> &args) {
    std::string command = shellquote(QUILLOG_WINE);
    for (const auto &a : args) command += " " + shellquote(a);
    return command;
}

Result wine(const std::vector<std::string> &args) { return runshell(winecommand(args)); }

// Runs quillog.exe from C:\qlg (or another folder of drive C:).
Result quillog(const std::vector<std::string> &args, const std::string &folder = "C:\\qlg") {
    std::vector<std::string> all{folder + "\\quillog.exe"};
    all.insert(all.end(), args.begin(), args.end());
    return wine(all);
}

// The host path of a path on Wine's drive C: ("qlg\\x.txt").
std::string cdrive(const std::string &path) {
    std::string host = Prefix + "/drive_c/";
    for (char c : path) host += c == '\\' ? '/' : c;
    return host;
}

// Imports registry text (REGEDIT4, "[-key]" deletes a key) into Wine's registry.
void regimport(const std::string &text) {
    writefile(cdrive("qlg\\setup.reg"), "REGEDIT4\r\n\r\n" + text);
    Result r = wine({"reg", "import", "C:\\qlg\\setup.reg"});
    ASSERT_EQ(r.exitcode, 0) << r.out << readfile(Root + "/stderr.txt");
}

struct RegValue {
    std::string type;
    std::string data;
};

// The values of a key as `reg query` lists them, by name; none when the key
// does not exist.
std::optional<std::map<std::string, RegValue>> regquery(const std::string &key) {
    Result r = wine({"reg", "query", key});
    if (r.exitcode != 0) return std::nullopt;
    std::map<std::string, RegValue> values;
    std::regex row("^    (.*)    (REG_[A-Z_]+)    ?(.*)$");
    for (const auto &line : splitlines(r.out)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) values[m[1]] = RegValue{m[2], m[3]};
    }
    return values;
}

// Removes every key the program owns or migrates, in both hives.
const char ResetKeys[] = "[-HKEY_CURRENT_USER\\SOFTWARE\\Brantwick]\r\n"
                         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick]\r\n"
                         "[-HKEY_CURRENT_USER\\SOFTWARE\\BrantwickWare]\r\n"
                         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\BrantwickWare]\r\n";

// The closing line: elapsed time then the record count, and an empty line.
void expectclosing(const std::string &out, unsigned long numrecs) {
    std::regex closing("Elapsed time= *-?[0-9]+\\.[0-9]{3} seconds, NumRecs=" + std::to_string(numrecs) + "\n\n$");
    EXPECT_TRUE(std::regex_search(out, closing)) << out;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class WinePrefix : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/quillog-wine-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
        Root = tmpl;
        Prefix = Root + "/prefix";
        std::cout << "Wine prefix: " << Prefix << std::endl;
        setenv("WINEPREFIX", Prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        // No Mono or Gecko installers, and no windows on a display.
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");

        auto start = std::chrono::steady_clock::now();
        fs::create_directories(Prefix);
        Result server = runshell(shellquote(QUILLOG_WINESERVER) + " -p");
        ASSERT_EQ(server.exitcode, 0) << readfile(Root + "/stderr.txt");
        Result boot = wine({"wineboot", "-i"});
        ASSERT_EQ(boot.exitcode, 0) << readfile(Root + "/stderr.txt");
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::cout << "wineboot took " << took.count() << " s" << std::endl;

        fs::create_directories(cdrive("qlg"));
        fs::copy_file(QUILLOG_WIN_EXE, cdrive("qlg\\quillog.exe"));
        fs::copy_file(QUILLOG_AID_EXE, cdrive("qlg\\qlgaid.exe"));

        Result name = wine({"cmd", "/c", "echo %COMPUTERNAME%"});
        ASSERT_EQ(name.exitcode, 0);
        ComputerName = name.out.substr(0, name.out.find('\n'));
        auto current = regquery("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
        ASSERT_TRUE(current && current->count("SystemRoot"));
        SystemRoot = current->at("SystemRoot").data;
    }

    void TearDown() override {
        if (Root.empty()) return;
        runshell(shellquote(QUILLOG_WINESERVER) + " -k");
        runshell(shellquote(QUILLOG_WINESERVER) + " -w");
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
};

const ::testing::Environment *const Registered = ::testing::AddGlobalTestEnvironment(new WinePrefix);

TEST(QuillogExe, ImportsOnlySystemDlls) {
    Result r = runshell(shellquote(QUILLOG_OBJDUMP) + " -p " + shellquote(QUILLOG_WIN_EXE));
    ASSERT_EQ(r.exitcode, 0);
    std::regex dllname("^\\s*DLL Name: (.*)$");
    std::vector<std::string> dlls;
    for (const auto &line : splitlines(r.out)) {
        std::smatch m;
        if (std::regex_match(line, m, dllname)) dlls.push_back(m[1]);
    }
    EXPECT_FALSE(dlls.empty()) << r.out;
    for (const auto &dll : dlls) {
        SCOPED_TRACE(dll);
        std::string lower;
        for (char c : dll) lower += (char)tolower((unsigned char)c);
        EXPECT_TRUE(lower == "kernel32.dll" || lower == "advapi32.dll" || lower == "msvcrt.dll")
            << "not a DLL every Windows has";
    }
}

TEST(QuillogExe, BadCommandLinesGiveUsageAndExit2) {
    const char *const usage[] = {
        "Dump eventlog in format suitable for importing into database",
        "Messages written to stdout",
        "Dump output written to file specified by /outfile or /outdir",
        "Parameters:",
        "  /logfile=type      eventlog to dump, type can be app, sec or sys",
        "  /logfile=type=path backed up eventlog file to dump",
        "  /outfile=path      create new file or append to end of existing file",
        "  /outdir=path       create new .tmp file in specified directory",
        "  /all               dump all recs (default is recs added since last dump",
        "  /computer=name     dump eventlog for specified computer (default is local)",
        "  /reg=local_machine use HKEY_LOCAL_MACHINE instead of HKEY_CURRENT_USER",
        "  /clear             clear event log after successful dump",
        "Specify formatting parameters in QUILLOG.INI file",
        "See quillog.hlp for complete documentation",
    };
    struct Case {
        std::vector<std::string> args;
        const char *complaint; // the line before the usage text, or none
    };
    const Case cases[] = {
        {{}, "==>Missing /logfile parameter"},
        {{"/?"}, nullptr},
        {{"/LOGFILE=System", "/outfile=c:\\qlg\\x.txt"}, "==>Invalid value of /logfile parameter, use app, sec or sys"},
        {{"/logfile=app"}, "==>Missing /outfile or /outdir parameter"},
        // The runtime passes a wildcard on unchanged: no expansion into file names.
        {{"C:\\WINDOWS\\*.EXE"}, "==>unknown parameters: c:\\windows\\*.exe"},
        {{"/U"}, "==>unknown parameters: /u"},
        // Wine has no network: a remote computer never answers, as on Windows
        // for a computer that is switched off.
        {{"/logfile=app", "/outfile=c:\\qlg\\x.txt", "/computer=elsewhere"}, "==>RegConnectKeyEx rc=53"},
        {{"/logfile=sys", "/outdir=c:\\qlg\\nosuchdir"}, "==>GetTempFileName rc=267 dir=c:\\qlg\\nosuchdir"},
    };
    for (const auto &c : cases) {
        std::string trace;
        for (const auto &a : c.args) trace += a + " ";
        SCOPED_TRACE(trace);
        Result r = quillog(c.args);
        EXPECT_EQ(r.exitcode, 2);
        std::vector<std::string> lines = splitlines(r.out);
        size_t first = c.complaint ? 3 : 2;
        ASSERT_EQ(lines.size(), first + 17) << r.out;
        EXPECT_TRUE(std::regex_match(lines[0], std::regex("\\S+ \\S+.*"))) << "date and time: " << lines[0];
        EXPECT_EQ(lines[1], "Brantwick Quillog V1.7.1");
        if (c.complaint) {
            EXPECT_EQ(lines[2], c.complaint);
        }
        for (size_t i = 0; i < sizeof usage / sizeof usage[0]; ++i) EXPECT_EQ(lines[first + i], usage[i]);
        EXPECT_TRUE(std::regex_match(lines[first + 14], std::regex("Visit \\S+ for latest version")));
        EXPECT_TRUE(std::regex_match(lines[first + 15], std::regex("Send problem reports to \\S+")));
        EXPECT_EQ(lines[first + 16], "");
        EXPECT_FALSE(fs::exists(cdrive("qlg\\x.txt")));
    }
    EXPECT_FALSE(fs::exists(cdrive("qlg\\nosuchdir")));
}

TEST(QuillogExe, SettingsEchoShowsIniBesideExe) {
    regimport(ResetKeys);
    fs::create_directories(cdrive("qlg\\ini"));
    fs::copy_file(cdrive("qlg\\quillog.exe"), cdrive("qlg\\ini\\quillog.exe"), fs::copy_options::overwrite_existing);
    // Written as a Windows editor writes it: CR LF line ends.
    writefile(cdrive("qlg\\ini\\QUILLOG.INI"), "; settings for the smoke test\r\n"
                                               "format=No\r\n"
                                               "DateFormat=yyyy-MM-dd\r\n"
                                               "\r\n"
                                               "FieldSeparator=\t\r\n"
                                               "ReplaceCR=~\r\n"
                                               "StringSeparator=|\r\n"
                                               "MaxMessageLen=1000\r\n"
                                               "MaxFragmentLen=100\r\n"
                                               "DumpData=HEX\r\n"
                                               "dumprecnum=yes\r\n");
    Result r = quillog({"/logfile=sys", "/outfile=c:\\qlg\\ini\\out.txt", "/reg=local_machine"}, "C:\\qlg\\ini");
    EXPECT_EQ(r.exitcode, 0) << r.out;
    std::vector<std::string> lines = splitlines(r.out);
    const std::vector<std::string> echo = {
        "LogType=System",
        "Computer=(local)",
        "SystemRoot=" + SystemRoot,
        "Outfile=c:\\qlg\\ini\\out.txt",
        "Use HKEY_LOCAL_MACHINE for saving record number",
        "Format=no",
        "DateFormat=yyyy-MM-dd",
        "FieldSeparator=\t (tab)",
        "ReplaceFieldSeparator=  (blank)",
        "ReplaceCR=~  ",
        "ReplaceLF=~  ",
        "StringSeparator=|  ",
        "MaxMessageLen=1000",
        "MaxFragmentLen=100",
        "DumpData=hex",
        "DumpRecnum=yes",
    };
    ASSERT_GE(lines.size(), 2 + echo.size()) << r.out;
    for (size_t i = 0; i < echo.size(); ++i) EXPECT_EQ(lines[2 + i], echo[i]);

    // A key with a blank in front matches nothing and stops the run before the echo.
    writefile(cdrive("qlg\\ini\\QUILLOG.INI"), "DumpData=char\r\n Format=no\r\n");
    r = quillog({"/logfile=sys", "/outfile=c:\\qlg\\ini\\out.txt"}, "C:\\qlg\\ini");
    EXPECT_EQ(r.exitcode, 2);
    lines = splitlines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[2], "==>unknown .INI parameter (be sure to avoid extra spaces):  Format=no");

    // Without a settings file every default shows.
    r = quillog({"/logfile=sys", "/outfile=c:\\qlg\\ini\\out.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\nFormat=yes\nDateFormat=(locale dependent)\nFieldSeparator=,  \n"
                                "ReplaceFieldSeparator=  (blank)\nReplaceCR=^  \nReplaceLF=^  \n"
                                "StringSeparator=;  \nMaxMessageLen=64000\nMaxFragmentLen=64000\n"
                                "DumpData=none\nDumpRecnum=no\n"))
        << r.out;
}

TEST(QuillogExe, UninstallRemovesProgramKeysOnly) {
    regimport(std::string(ResetKeys) + "[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                       "\"Application-HOST9\"=dword:00000005\r\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                       "\"System-HOST9\"=dword:00000006\r\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Other]\r\n"
                                       "\"Kept\"=\"yes\"\r\n"
                                       "[HKEY_CURRENT_USER\\SOFTWARE\\BrantwickWare\\Quillog]\r\n"
                                       "\"Security-HOST9\"=dword:00000007\r\n");
    Result r = quillog({"/u"});
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, "Brantwick Quillog has been successfully uninstalled\n");

    EXPECT_FALSE(regquery("HKCU\\SOFTWARE\\Brantwick"));
    EXPECT_FALSE(regquery("HKLM\\SOFTWARE\\Brantwick\\Quillog"));
    // A parent that still holds another key stays.
    auto other = regquery("HKLM\\SOFTWARE\\Brantwick\\Other");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->at("Kept").data, "yes");
    // The legacy key is not the uninstall's business.
    auto legacy = regquery("HKCU\\SOFTWARE\\BrantwickWare\\Quillog");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(legacy->at("Security-HOST9").data, "0x7");
}

TEST(QuillogExe, LegacyKeyIsMigratedAtStart) {
    regimport(std::string(ResetKeys) + "[HKEY_CURRENT_USER\\SOFTWARE\\BrantwickWare\\Quillog]\r\n"
                                       "\"Application-HOST9\"=dword:00000007\r\n"
                                       "\"Shared\"=dword:00000005\r\n"
                                       "\"Note\"=\"legacy text\"\r\n"
                                       "[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                       "\"Shared\"=dword:00000001\r\n"
                                       "\"Keep\"=dword:00000003\r\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BrantwickWare\\Quillog]\r\n"
                                       "\"System-HOST9\"=dword:00000009\r\n");
    // The migration runs before the command line is looked at.
    Result r = quillog({});
    EXPECT_EQ(r.exitcode, 2);

    auto user = regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(user);
    EXPECT_EQ(user->size(), 4u);
    EXPECT_EQ((*user)["Application-HOST9"].type, "REG_DWORD");
    EXPECT_EQ((*user)["Application-HOST9"].data, "0x7");
    EXPECT_EQ((*user)["Shared"].data, "0x5") << "the legacy value wins";
    EXPECT_EQ((*user)["Keep"].data, "0x3");
    EXPECT_EQ((*user)["Note"].type, "REG_SZ");
    EXPECT_EQ((*user)["Note"].data, "legacy text");
    EXPECT_FALSE(regquery("HKCU\\SOFTWARE\\BrantwickWare"));

    auto machine = regquery("HKLM\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(machine);
    EXPECT_EQ((*machine)["System-HOST9"].data, "0x9");
    EXPECT_FALSE(regquery("HKLM\\SOFTWARE\\BrantwickWare"));
}

// Wine's logs are empty: the oldest record number and the record count are
// both 0, so the newest record number is 0 - 1 = 4294967295 in unsigned
// arithmetic.
TEST(QuillogExe, IncrementalRunOnEmptyLogSavesBookmark) {
    regimport(ResetKeys);
    std::string bookmark = "Application-" + ComputerName;
    Result r = quillog({"/logfile=app", "/outfile=c:\\qlg\\inc.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\nUse HKEY_CURRENT_USER for saving record number\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nprocess event log records starting with 1\n"
                                "last event log record processed = 0\n"))
        << r.out;
    expectclosing(r.out, 0);
    ASSERT_TRUE(fs::exists(cdrive("qlg\\inc.txt")));
    EXPECT_EQ(fs::file_size(cdrive("qlg\\inc.txt")), 0u);
    auto key = regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 2u);
    EXPECT_EQ((*key)[bookmark].type, "REG_DWORD");
    EXPECT_EQ((*key)[bookmark].data, "0x0");
    EXPECT_EQ((*key)["Version"].type, "REG_SZ");
    EXPECT_EQ((*key)["Version"].data, "V1.7.1");

    // A bookmark at the newest record: nothing to do, nothing touched.
    regimport("[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n\"" + bookmark +
              "\"=dword:ffffffff\r\n\"Version\"=-\r\n");
    r = quillog({"/logfile=app", "/outfile=c:\\qlg\\inc2.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\nNewest(4294967295) == LastProcessed (4294967295), no records to process\n"))
        << r.out;
    EXPECT_FALSE(contains(r.out, "last event log record processed")) << r.out;
    expectclosing(r.out, 0);
    EXPECT_FALSE(fs::exists(cdrive("qlg\\inc2.txt")));
    key = regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 1u) << "Version is not rewritten";
    EXPECT_EQ((*key)[bookmark].data, "0xffffffff");

    // The machine hive keeps its own bookmarks.
    r = quillog({"/logfile=sys", "/outfile=c:\\qlg\\inc3.txt", "/reg=local_machine"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\nUse HKEY_LOCAL_MACHINE for saving record number\n")) << r.out;
    auto machine = regquery("HKLM\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(machine);
    EXPECT_EQ((*machine)["System-" + ComputerName].data, "0x0");
    EXPECT_EQ((*machine)["Version"].data, "V1.7.1");
    EXPECT_EQ(regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog")->size(), 1u);
}

TEST(QuillogExe, OutdirCreatesNewTempFileEachRun) {
    regimport(ResetKeys);
    fs::create_directories(cdrive("qlg\\od"));
    // Windows spells the number in upper-case hex, Wine in lower case.
    std::regex tempname("QLG[0-9A-Fa-f]{1,4}\\.tmp", std::regex::icase);
    std::vector<std::string> seen;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Result r = quillog({"/logfile=app", "/outdir=c:\\qlg\\od"});
        EXPECT_EQ(r.exitcode, 0) << r.out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\nOutfile=c:\\\\qlg\\\\od\\\\(\\S+)\n"))) << r.out;
        std::string name = m[1];
        EXPECT_TRUE(std::regex_match(name, tempname)) << name;
        EXPECT_TRUE(fs::exists(cdrive("qlg\\od\\" + name))) << name;
        for (const auto &before : seen) EXPECT_NE(name, before);
        seen.push_back(name);
    }
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(cdrive("qlg\\od"))) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 2u);
}

TEST(QuillogExe, LockedOutputFileStopsTheRun) {
    regimport(ResetKeys);
    std::string ready = cdrive("qlg\\ready.flag"), release = cdrive("qlg\\release.flag");
    fs::remove(ready);
    fs::remove(release);
    std::string holder = winecommand({"C:\\qlg\\qlgaid.exe", "hold", "c:\\qlg\\locked.txt", "C:\\qlg\\ready.flag",
                                      "C:\\qlg\\release.flag"}) +
                         " </dev/null >" + shellquote(Root + "/holder.txt") + " 2>&1";
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", holder.c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 600 && !fs::exists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool held = fs::exists(ready);

    Result r;
    if (held) r = quillog({"/logfile=app", "/outfile=c:\\qlg\\locked.txt"});
    writefile(release, "");
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(held) << readfile(Root + "/holder.txt");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readfile(Root + "/holder.txt");

    EXPECT_EQ(r.exitcode, 2);
    std::vector<std::string> lines = splitlines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "==>CreateFile(c:\\qlg\\locked.txt) rc=32") << r.out;
    auto key = regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog");
    EXPECT_TRUE(!key || key->empty()) << "no bookmark after a stopped run";

    // Once the other process has let go, the same run goes through.
    r = quillog({"/logfile=app", "/outfile=c:\\qlg\\locked.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    key = regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->count("Application-" + ComputerName), 1u);
}

TEST(QuillogExe, UnfinishedLastLineIsCutBeforeAppending) {
    regimport(ResetKeys);
    // Wine's Application log is empty, but "/all" still opens the output
    // file, which is where the cut is made.
    const std::string out = cdrive("qlg\\cut.txt");
    writefile(out, "APP,whole line\r\nAPP,unfinish");
    Result r = quillog({"/logfile=app", "/all", "/outfile=c:\\qlg\\cut.txt"});
    EXPECT_EQ(r.exitcode, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "\n==>cut an unfinished last line of 12 bytes from c:\\qlg\\cut.txt\n")) << r.out;
    std::string text = readfile(out);
    EXPECT_EQ(text.rfind("APP,whole line\r\n", 0), 0u) << text;
    EXPECT_FALSE(contains(text, "unfinish")) << text;

    // A file that ends in a line end is left alone.
    r = quillog({"/logfile=app", "/all", "/outfile=c:\\qlg\\cut.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "==>cut")) << r.out;
    EXPECT_EQ(readfile(out).rfind(text, 0), 0u);
}

TEST(QuillogExe, SecurityLogGetsThePrivilege) {
    regimport(ResetKeys);
    Result r = quillog({"/logfile=sec", "/outfile=c:\\qlg\\sec.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\nLogType=Security\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Unable to obtain SecurityName privilege")) << r.out;
    expectclosing(r.out, 0);
}

TEST(QuillogExe, ReportedEventReachesTheOutputFile) {
    regimport(ResetKeys);
    Result report = wine({"C:\\qlg\\qlgaid.exe", "report", "QuillogSmoke", "smoke test event"});
    ASSERT_EQ(report.exitcode, 0) << report.out;
    Result r = quillog({"/logfile=app", "/all", "/outfile=c:\\qlg\\all.txt"});
    EXPECT_EQ(r.exitcode, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("NumRecs=([0-9]+)"))) << r.out;
    if (m[1] == "0") GTEST_SKIP() << "Wine's event log service is a stub: reported events are not kept";
    std::string dump = readfile(cdrive("qlg\\all.txt"));
    size_t lines = 0;
    for (char c : dump) lines += c == '\n';
    EXPECT_EQ(std::to_string(lines), m[1].str());
    EXPECT_TRUE(contains(dump, "QuillogSmoke")) << dump;
}

TEST(QuillogExe, BackupModeWritesEventLogFile) {
    regimport(ResetKeys);
    std::string backup = cdrive("qlg\\backup.evt");
    Result r = quillog({"/logfile=sys", "/backup", "/outfile=c:\\qlg\\backup.evt"});
    EXPECT_TRUE(contains(r.out, "\nPerform backup of event log\n")) << r.out;
    if (!fs::exists(backup)) GTEST_SKIP() << "Wine's BackupEventLogA is a stub: it reports success and writes no file";
    EXPECT_EQ(r.exitcode, 0) << r.out;
    std::string evt = readfile(backup);
    ASSERT_GE(evt.size(), 48u);
    EXPECT_EQ(evt.substr(4, 4), "LfLe");
    EXPECT_FALSE(regquery("HKCU\\SOFTWARE\\Brantwick\\Quillog")) << "a backup saves no bookmark";
}

} // namespace
