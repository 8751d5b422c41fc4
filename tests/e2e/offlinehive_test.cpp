// offlinehive_test.cpp: a Windows disk image read offline, through the built
// quillog.
//
// The image's drive is a folder outside the network (as a mounted image is)
// that the computer folder's c links to, and its registry is what
// `hivexregedit --export` makes of the offline SOFTWARE and SYSTEM hives: a
// "Windows Registry Editor Version 5.00" header, LF line ends, keys with the
// prefix given on its command line, values sorted by name, every string as
// hex(N) bytes of UTF-16LE with its terminating NUL, dwords as dword:, and
// for the export of a whole hive a first section for the hive's root that
// ends in a backslash. An offline SYSTEM hive has ControlSet00N keys and
// Select, but no CurrentControlSet, which only exists while Windows runs.
#include "platform/posix/eventlog.h"
#include "support/support.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

// A value line as the export writes it: hex(N) of the UTF-16LE text and its NUL.
std::string hexstring(const std::string &name, int type, const std::string &text) {
    std::string out = "\"" + name + "\"=hex(" + std::to_string(type) + "):";
    char byte[8];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "%02x,00,", c);
        out += byte;
    }
    return out + "00,00\n";
}

std::string dword(const std::string &name, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return "\"" + name + "\"=dword:" + text + "\n";
}

// The event-log keys of one control set: the Application log's file and the
// source Sampler with its three message files.
std::string eventlogkeys(const std::string &set, const std::string &logfile, const std::string &dllprefix) {
    std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\" + set + "\\Services\\EventLog";
    return key + "]\n\n" + key + "\\Application]\n" + hexstring("File", 2, logfile) + dword("MaxSize", 0x80000) + "\n" +
           key + "\\Application\\Sampler]\n" +
           hexstring("CategoryMessageFile", 2, "%SystemRoot%\\System32\\" + dllprefix + "_cat.dll") +
           dword("CategoryCount", 4) +
           hexstring("EventMessageFile", 2, "%SystemRoot%\\System32\\" + dllprefix + "_ev.dll") +
           hexstring("ParameterMessageFile", 2, "%SystemRoot%\\System32\\" + dllprefix + "_par.dll") +
           dword("TypesSupported", 7) + "\n";
}

class OfflineHive : public qt::TempNetwork {
protected:
    // The image: its Windows folder with the Sampler message DLLs and an
    // Application log holding one record; computer OLDPC's c links to it.
    void SetUp() override {
        qt::TempNetwork::SetUp();
        image = dir() + "/mnt/oldpc";
        std::string windows = image + "/WINDOWS/system32";
        qt::makedirs(windows + "/config");
        qt::writefile(windows + "/smpl_ev.dll", fixture("events.dll"));
        qt::writefile(windows + "/smpl_cat.dll", fixture("categories.dll"));
        qt::writefile(windows + "/smpl_par.dll", fixture("params.dll"));
        nt::LogEvent e;
        e.source = "Sampler";
        e.computer = "OLDPC";
        e.timegenerated = e.timewritten = 1100000000;
        e.eventid = 0x40000064;
        e.category = 2;
        e.strings = {"Spooler", "OLDPC", "%%1234"};
        nt::EventTarget target;
        target.file = windows + "/config/AppEvent.Evt";
        ASSERT_EQ(nt::writeevents(target, {e}), 0u);
        qt::makedirs(computer("OLDPC") + "/registry");
        ASSERT_EQ(symlink(image.c_str(), (computer("OLDPC") + "/c").c_str()), 0);
    }

    // HKEY_LOCAL_MACHINE.reg of OLDPC: the export of SOFTWARE's CurrentVersion
    // key, then the export of the whole SYSTEM hive without its header line.
    // Select's Current names ControlSet002, whose keys name the right log and
    // DLLs; ControlSet001 (the last known good one) names others.
    void exporthives(unsigned current) {
        std::string software = "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n" +
                               hexstring("CurrentBuildNumber", 1, "2600") + hexstring("CurrentVersion", 1, "5.1") +
                               hexstring("SystemRoot", 1, "C:\\WINDOWS") + "\n";
        std::string system = "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services]\n\n" +
                             eventlogkeys("ControlSet001", "%SystemRoot%\\system32\\config\\OldApp.Evt", "old") +
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services]\n\n" +
                             eventlogkeys("ControlSet002", "%SystemRoot%\\system32\\config\\AppEvent.Evt", "smpl") +
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n" +
                             dword("Current", current) + dword("Default", current) + dword("Failed", 0) +
                             dword("LastKnownGood", 1) + "\n";
        qt::writefile(computer("OLDPC") + "/registry/HKEY_LOCAL_MACHINE.reg", software + system);
    }

    // The fields of the output file's only line.
    std::vector<std::string> onlyline(const std::string &path) {
        std::string text = qt::readfile(path);
        std::vector<std::string> f(1);
        size_t end = text.find("\r\n");
        EXPECT_EQ(end + 2, text.size()) << text;
        for (char c : text.substr(0, end)) {
            if (c == ',')
                f.emplace_back();
            else
                f.back() += c;
        }
        return f;
    }

    std::string image;
};

TEST_F(OfflineHive, CurrentControlSetIsTheOneSelectNames) {
    exporthives(2);

    // The copied log, with the image's message files through OLDPC's share.
    std::string out = dir() + "/copied.txt";
    qt::RunResult r = qt::runquillog(
        {"/computer=oldpc", "/logfile=app=\\\\oldpc\\c$\\windows\\system32\\config\\appevent.evt", "/outfile=" + out});
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("\nSystemRoot=C:\\WINDOWS\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("==>"), std::string::npos) << r.out;
    std::vector<std::string> f = onlyline(out);
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(f[1], "11/9/2004 11:33:20");
    EXPECT_EQ(f[2], "Sampler");
    EXPECT_EQ(f[3], "100");
    EXPECT_EQ(f[4], "Information");
    EXPECT_EQ(f[5], "Logon/Logoff ");
    EXPECT_EQ(f[7], "OLDPC");
    EXPECT_EQ(f[8], "Service Spooler started on OLDPC.^^Details: Logon ");

    // The live log: its file is the one ControlSet002 names.
    out = dir() + "/live.txt";
    r = qt::runquillog({"/computer=oldpc", "/logfile=app", "/all", "/outfile=" + out});
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_EQ(r.out.find("==>"), std::string::npos) << r.out;
    f = onlyline(out);
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(f[8], "Service Spooler started on OLDPC.^^Details: Logon ");
    EXPECT_FALSE(qt::fileexists(image + "/WINDOWS/system32/config/OldApp.Evt"));
}

TEST_F(OfflineHive, AnotherCurrentSetGivesThatSetsKeys) {
    // With Current = 1 the sources of ControlSet001 are used: their message
    // files are missing, so each failure is reported and the fallback kept.
    exporthives(1);
    std::string out = dir() + "/copied.txt";
    qt::RunResult r = qt::runquillog(
        {"/computer=oldpc", "/logfile=app=\\\\oldpc\\c$\\windows\\system32\\config\\appevent.evt", "/outfile=" + out});
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("==>LoadLibrary rc=2 library=\\\\oldpc\\C$\\WINDOWS\\System32\\old_ev.dll\n"),
              std::string::npos)
        << r.out;
    std::vector<std::string> f = onlyline(out);
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(f[5], "2");
    EXPECT_EQ(f[8], "Unable to format message. Insertion strings: Spooler;OLDPC;%%1234");
}

} // namespace
