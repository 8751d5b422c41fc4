// paths_test.cpp: the NT network as folders and Windows paths to host paths.
#include "platform/posix/network.h"
#include "platform/posix/ntapi.h"
#include "platform/posix/paths.h"
#include "support/support.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace {

class Paths : public qt::TempNetwork {
protected:
    std::string host(const char *path) {
        std::string out = "<unset>";
        DWORD rc = nt::hostpath(path, &out);
        return rc ? "<error " + std::to_string(rc) + ">" : out;
    }
};

TEST_F(Paths, DrivePathsAreOnTheLocalComputer) {
    std::string local = computer("HOST12");
    qt::makedirs(local + "/c/Logs");
    qt::writefile(local + "/c/Logs/Out.TXT", "x");
    struct Row {
        const char *path;
        std::string want;
    } rows[] = {
        {"C:\\Logs\\Out.TXT", local + "/c/Logs/Out.TXT"},
        {"c:/logs/out.txt", local + "/c/Logs/Out.TXT"},
        {"c:\\LOGS\\\\OUT.txt", local + "/c/Logs/Out.TXT"},
        {"c:\\logs\\NewFile.Txt", local + "/c/Logs/NewFile.Txt"},
        {"c:\\logs\\NewDir\\Deeper\\X.txt", local + "/c/Logs/NewDir/Deeper/X.txt"},
        {"D:\\data", local + "/d/data"},
        {"C:", local + "/c"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(host(row.path), row.want);
    }
}

TEST_F(Paths, UncPathsNameAComputerAndADriveShare) {
    std::string server = computer("Server7");
    std::string local = computer("HOST12");
    qt::makedirs(server + "/d/Logs");
    struct Row {
        const char *path;
        std::string want;
    } rows[] = {
        {"\\\\server7\\D$\\logs\\a.evt", server + "/d/Logs/a.evt"},
        {"//SERVER7/d$/Logs", server + "/d/Logs"},
        {"\\\\host12\\c$\\x.txt", local + "/c/x.txt"},
        {"\\\\NOSUCH\\C$\\x.txt", "<error 53>"},
        {"\\\\server7\\public\\x.txt", "<error 67>"},
        {"\\\\server7\\C\\x.txt", "<error 67>"},
        {"\\\\server7", "<error 67>"},
        {"\\\\", "<error 53>"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(host(row.path), row.want);
    }
    EXPECT_FALSE(qt::fileexists(network() + "/NOSUCH")) << "a remote computer is never created";
}

TEST_F(Paths, NamesAreCheckedBeforeTheyAreMapped) {
    for (const char *bad : {"c:\\a<b", "c:\\a>b", "c:\\a\"b", "c:\\a|b", "c:\\a?b", "c:\\a*b",
                            "c:\\a\x01"
                            "b",
                            "rel\\a\x1f"
                            "b"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(host(bad), "<error 123>");
    }
    EXPECT_EQ(host(""), "<error 3>");
    std::string limit = "C:\\" + std::string(256, 'a'); // 259 characters
    EXPECT_NE(host(limit.c_str()).substr(0, 6), "<error");
    limit += "a"; // 260
    EXPECT_EQ(host(limit.c_str()), "<error 206>");
    std::string out = "unchanged";
    EXPECT_EQ(nt::hostpath(NULL, &out), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out, "unchanged");
}

TEST_F(Paths, OtherPathsAreHostPathsResolvedWithoutCase) {
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    qt::makedirs(dir() + "/work/Data");
    qt::writefile(dir() + "/work/Data/A.txt", "x");
    ASSERT_EQ(chdir((dir() + "/work").c_str()), 0);
    EXPECT_EQ(host("data\\a.txt"), "Data/A.txt");
    EXPECT_EQ(host("DATA/new.txt"), "Data/new.txt");
    EXPECT_EQ(host("out.txt"), "out.txt");
    EXPECT_EQ(host("./data/../data/A.TXT"), "./Data/../Data/A.txt");
    EXPECT_EQ(host((dir() + "/WORK/data/a.txt").c_str()), dir() + "/work/Data/A.txt");
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(Paths, DriveOnlyPathsOfAComputersOwnData) {
    // Paths a computer's registry names are that computer's drive paths:
    // anything else maps to nothing.
    std::string server = computer("SERVER7");
    computer("HOST12");
    qt::makedirs(server + "/c/WINDOWS/System32/config");
    const struct {
        const char *path;
        DWORD rc;
        std::string want;
    } rows[] = {
        {"C:\\windows\\system32\\CONFIG\\SysEvent.Evt", 0, server + "/c/WINDOWS/System32/config/SysEvent.Evt"},
        {"C:\\..\\..\\..\\..\\tmp\\x\\planted.evt", 0, server + "/c/tmp/x/planted.evt"},
        {"c:/windows/./system32/../x.evt", 0, server + "/c/WINDOWS/x.evt"},
        {"\\\\host12\\c$\\x", ERROR_BAD_PATHNAME, ""},
        {"\\\\server7\\c$\\x", ERROR_BAD_PATHNAME, ""},
        {"/some/host/folder\\System32\\config\\SysEvent.Evt", ERROR_BAD_PATHNAME, ""},
        {"relative\\SysEvent.Evt", ERROR_BAD_PATHNAME, ""},
        {"C:dropped.evt", ERROR_BAD_PATHNAME, ""},
        {"C:", ERROR_BAD_PATHNAME, ""},
        {"c:\\a|b", ERROR_INVALID_NAME, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        std::string out = "<unset>";
        size_t confined = 0;
        EXPECT_EQ(nt::drivepathon(server, row.path, &out, &confined), row.rc);
        if (row.rc == 0) {
            EXPECT_EQ(out, row.want);
            EXPECT_EQ(confined, (server + "/c").size());
        } else {
            EXPECT_EQ(out, "<unset>");
        }
    }
}

TEST_F(Paths, NothingLeadsOutOfADriveOrTheNetwork) {
    std::string local = computer("HOST12");
    std::string server = computer("SERVER7");
    qt::makedirs(server + "/d/Logs");
    qt::makedirs(dir() + "/outside");
    qt::makedirs(local + "/c");
    // A link a copied folder holds below a drive: read through, never written.
    ASSERT_EQ(symlink((dir() + "/outside").c_str(), (local + "/c/config").c_str()), 0);
    ASSERT_EQ(symlink((dir() + "/outside/x.evt").c_str(), (local + "/c/linked.evt").c_str()), 0);
    // The drive folder itself may be a link, as when a disk image is mounted.
    ASSERT_EQ(symlink((dir() + "/outside").c_str(), (server + "/e").c_str()), 0);
    const struct {
        const char *path;
        std::string read;  // hostpath, or the error
        std::string write; // writepath, or the error
    } rows[] = {
        {"c:\\..\\..\\..\\escaped.txt", local + "/c/escaped.txt", local + "/c/escaped.txt"},
        {"C:\\a\\..\\..\\b", local + "/c/b", local + "/c/b"},
        {"\\\\server7\\d$\\..\\..\\Logs", server + "/d/Logs", server + "/d/Logs"},
        {"\\\\..\\C$\\planted.evt", "<error 53>", "<error 53>"},
        {"\\\\.\\C$\\planted.evt", "<error 53>", "<error 53>"},
        {"c:\\config\\AppEvent.Evt", local + "/c/config/AppEvent.Evt", "<error 5>"},
        {"c:\\linked.evt", local + "/c/linked.evt", "<error 5>"},
        {"\\\\server7\\e$\\x.txt", server + "/e/x.txt", server + "/e/x.txt"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(host(row.path), row.read);
        std::string out;
        DWORD rc = nt::writepath(row.path, &out);
        EXPECT_EQ(rc ? "<error " + std::to_string(rc) + ">" : out, row.write);
    }
    // A computer name is never a path.
    std::string folder;
    for (const char *name : {".", "..", "server7/../HOST12", "..\\SERVER7", "\\\\.."}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(nt::computerfolder(name, &folder));
    }
    EXPECT_FALSE(qt::fileexists(dir() + "/escaped.txt"));
    EXPECT_FALSE(qt::fileexists(network() + "/planted.evt"));
}

TEST_F(Paths, NetworkAndComputerNameComeFromTheEnvironment) {
    EXPECT_EQ(nt::networkroot(), network());
    EXPECT_EQ(nt::localname(), "HOST12");
    setenv("COMPUTERNAME", "host12", 1);
    EXPECT_EQ(nt::localname(), "HOST12") << "upper case";
    EXPECT_TRUE(nt::islocal("\\\\Host12"));
    EXPECT_TRUE(nt::islocal(""));
    EXPECT_TRUE(nt::islocal(NULL));
    EXPECT_FALSE(nt::islocal("server7"));

    // A local computer folder spelled in another case is found, not doubled.
    qt::makedirs(network() + "/host12");
    std::string folder;
    ASSERT_TRUE(nt::computerfolder(NULL, &folder));
    EXPECT_EQ(folder, network() + "/host12");
    EXPECT_FALSE(nt::computerfolder("server7", &folder));

    std::string network2 = dir() + "/elsewhere/net/";
    setenv("QUILLOG_NETWORK", network2.c_str(), 1);
    EXPECT_EQ(nt::networkroot(), dir() + "/elsewhere/net");
    EXPECT_TRUE(qt::fileexists(dir() + "/elsewhere/net")) << "created on first use";

    const char *home = getenv("HOME");
    std::string savedhome = home ? home : "";
    const char *xdg = getenv("XDG_DATA_HOME");
    std::string savedxdg = xdg ? xdg : "";
    unsetenv("QUILLOG_NETWORK");
    setenv("XDG_DATA_HOME", (dir() + "/xdg").c_str(), 1);
    EXPECT_EQ(nt::networkroot(), dir() + "/xdg/quillog/network");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", (dir() + "/home").c_str(), 1);
    EXPECT_EQ(nt::networkroot(), dir() + "/home/.local/share/quillog/network");
    if (home)
        setenv("HOME", savedhome.c_str(), 1);
    else
        unsetenv("HOME");
    if (xdg) setenv("XDG_DATA_HOME", savedxdg.c_str(), 1);
}

TEST_F(Paths, AFreshLocalComputerGetsASystemRoot) {
    std::string folder;
    ASSERT_TRUE(nt::computerfolder(NULL, &folder));
    EXPECT_EQ(folder, network() + "/HOST12");
    std::string reg = qt::readfile(folder + "/registry/HKEY_LOCAL_MACHINE.reg");
    EXPECT_EQ(reg.substr(0, 10), "REGEDIT4\r\n");
    EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                       "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n"),
              std::string::npos)
        << reg;

    // An existing registry is never replaced.
    qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg", "REGEDIT4\r\n\r\n");
    ASSERT_TRUE(nt::computerfolder("host12", &folder));
    EXPECT_EQ(qt::readfile(folder + "/registry/HKEY_LOCAL_MACHINE.reg"), "REGEDIT4\r\n\r\n");
    EXPECT_FALSE(qt::fileexists(folder + "/registry/HKEY_CURRENT_USER.reg")) << "nothing else is invented";
}

} // namespace
