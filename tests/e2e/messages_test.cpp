// messages_test.cpp: category and description texts through the built
// quillog, from message DLLs registered in the registry of the computer the
// log belongs to (the local one, or a remote one through its administrative
// shares), with each failure reported once per run.
#include "platform/posix/eventlog.h"
#include "support/support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

using qt::regstring;

class Messages : public qt::TempNetwork {
protected:
    // Gives a computer its system root, the three message DLLs below it, and
    // the source "Sampler" of the Application log naming them.
    void install(const std::string &name, const std::string &systemroot, const std::string &rootfolder) {
        std::string sys = computer(name) + "/" + rootfolder + "/System32";
        qt::makedirs(sys);
        qt::writefile(sys + "/smpl_ev.dll", fixture("events.dll"));
        qt::writefile(sys + "/smpl_cat.dll", fixture("categories.dll"));
        qt::writefile(sys + "/smpl_par.dll", fixture("params.dll"));
        qt::makedirs(computer(name) + "/registry");
        qt::writefile(
            computer(name) + "/registry/HKEY_LOCAL_MACHINE.reg",
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" +
                regstring("SystemRoot", systemroot) +
                "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Sampler]\r\n" +
                regstring("EventMessageFile", "%SystemRoot%\\System32\\smpl_ev.dll") +
                regstring("CategoryMessageFile", "%systemroot%\\System32\\SMPL_CAT.DLL") +
                regstring("ParameterMessageFile", "%SystemRoot%\\System32\\smpl_par.dll") + "\r\n");
    }

    static nt::LogEvent event(const std::string &source, DWORD id, WORD type, WORD category,
                              std::vector<std::string> strings) {
        nt::LogEvent e;
        e.source = source;
        e.timegenerated = e.timewritten = 1700000000;
        e.eventid = id;
        e.type = type;
        e.category = category;
        e.strings = std::move(strings);
        return e;
    }

    // The output file's lines, each split into its comma-separated fields.
    std::vector<std::vector<std::string>> outfields(const std::string &path) {
        std::vector<std::vector<std::string>> out;
        std::string text = qt::readfile(path);
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            out.emplace_back(1);
            for (char c : text.substr(start, end - start)) {
                if (c == ',')
                    out.back().emplace_back();
                else
                    out.back().back() += c;
            }
        }
        EXPECT_EQ(start, text.size()) << "text after the last line end";
        return out;
    }

    static size_t count(const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(Messages, LocalSourcesGiveTextsAndFailuresAreReportedOnce) {
    install("HOST12", "C:\\WINDOWS", "c/WINDOWS");
    ASSERT_EQ(nt::writeevents(
                  {},
                  {
                      event("Sampler", 0x40000064, EVENTLOG_INFORMATION_TYPE, 1, {"Spooler", "HOST1", "%%1234, %%999"}),
                      event("Sampler", 0xC0000005, EVENTLOG_ERROR_TYPE, 2, {"C:\\x"}),
                      event("Sampler", 0x40000005, EVENTLOG_WARNING_TYPE, 3, {"a", "b"}),
                      event("Sampler", 0x40000005, EVENTLOG_WARNING_TYPE, 3, {"c"}),
                      event("Nowhere", 1, EVENTLOG_INFORMATION_TYPE, 3, {"x", "y"}),
                      event("Nowhere", 1, EVENTLOG_INFORMATION_TYPE, 3, {}),
                      event("Sampler", 0x40000064, EVENTLOG_INFORMATION_TYPE, 1, {"Spooler", "HOST2", "%%999"}),
                  }),
              0u);
    std::string out = dir() + "/out.txt";
    qt::RunResult r = qt::runquillog({"/logfile=app", "/outfile=" + out, "/all"});
    ASSERT_EQ(r.exitcode, 0) << r.out;

    std::vector<std::vector<std::string>> lines = outfields(out);
    ASSERT_EQ(lines.size(), 7u);
    for (const auto &f : lines) ASSERT_EQ(f.size(), 9u);
    // Category texts keep their trailing blank; a text that does not fit the
    // category column (99 characters and the blank) leaves the number.
    EXPECT_EQ(lines[0][5], "Disk Events ");
    EXPECT_EQ(lines[1][5], "Logon/Logoff ");
    EXPECT_EQ(lines[2][5], "3");
    EXPECT_EQ(lines[4][5], "3");
    // %n gives CR LF, cleaned to the default carets; the comma of the
    // insertion string becomes a blank; a missing parameter stays as it was.
    EXPECT_EQ(lines[0][8], "Service Spooler started on HOST1.^^Details: Logon  %%999 ");
    EXPECT_EQ(lines[1][8], "Access to C:\\x was denied (100% sure). ");
    EXPECT_EQ(lines[1][4], "Error");
    EXPECT_EQ(lines[1][3], "5");
    EXPECT_EQ(lines[2][8], "Unable to format message. Insertion strings: a;b");
    EXPECT_EQ(lines[3][8], "Unable to format message. Insertion strings: c");
    EXPECT_EQ(lines[4][8], "Unable to format message. Insertion strings: x;y");
    EXPECT_EQ(lines[5][8], "Unable to format message. Insertion strings: ");
    EXPECT_EQ(lines[6][8], "Service Spooler started on HOST2.^^Details: %%999 ");

    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Nowhere";
    for (const std::string &line : {
             std::string("==>Format message error, source=Sampler type=Parameter msg=999 rc=317\n"),
             std::string("==>Format message error, source=Sampler type=Category msg=3 rc=122\n"),
             std::string("==>Format message error, source=Sampler type=Message msg=5 rc=317\n"),
             "==>RegOpenKeyEx rc=2 source=Nowhere key=" + key + "\n",
             std::string("==>Format message error, source=Nowhere type=Category msg=3 rc=126\n"),
             std::string("==>Format message error, source=Nowhere type=Message msg=1 rc=126\n"),
         }) {
        SCOPED_TRACE(line);
        EXPECT_EQ(count(r.out, line), line.find("RegOpenKeyEx") != std::string::npos ? 2u : 1u) << r.out;
    }
    EXPECT_EQ(count(r.out, "==>"), 7u) << r.out;
}

TEST_F(Messages, RemoteComputersFilesComeThroughTheirShares) {
    install("HOST12", "C:\\WINDOWS", "c/WINDOWS");
    install("ACCT7", "D:\\Win", "d/Win");
    // The local copy must not be used: it gives nothing.
    qt::writefile(computer("HOST12") + "/c/WINDOWS/System32/smpl_ev.dll", "not a module");
    nt::EventTarget acct7;
    acct7.computer = "ACCT7";
    ASSERT_EQ(nt::writeevents(acct7,
                              {event("Sampler", 0x40000064, EVENTLOG_INFORMATION_TYPE, 2, {"Browser", "ACCT7", "ok"})}),
              0u);
    std::string out = dir() + "/remote.txt";
    qt::RunResult r = qt::runquillog({"/logfile=app", "/computer=acct7", "/outfile=" + out, "/all"});
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_EQ(r.out.find("==>"), std::string::npos) << r.out;
    std::vector<std::vector<std::string>> lines = outfields(out);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 9u);
    EXPECT_EQ(lines[0][5], "Logon/Logoff ");
    EXPECT_EQ(lines[0][8], "Service Browser started on ACCT7.^^Details: ok ");

    // Without the remote files the loads fail, through the share paths.
    for (const char *name : {"smpl_ev.dll", "smpl_cat.dll", "smpl_par.dll"})
        std::remove((computer("ACCT7") + "/d/Win/System32/" + name).c_str());
    r = qt::runquillog({"/logfile=app", "/computer=acct7", "/outfile=" + out, "/all"});
    EXPECT_NE(r.out.find("==>LoadLibrary rc=2 library=\\\\acct7\\D$\\Win\\System32\\smpl_ev.dll\n"), std::string::npos)
        << r.out;
}

} // namespace
