// caches_test.cpp: the event source and message module caches: the list and
// its cursor, the registry lookup with its messages, the parsing of the
// message-file value ("%SystemRoot%", ";" lists, remote shares), loads counted
// once per file, failed ids, and the internal-error checks.
//
// The caches are process-wide and never emptied, so every test uses source
// names and file names of its own.
#include "config/options.h"
#include "lookup/evtsource.h"
#include "platform/posix/modules.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

using qt::regstring;

// A .reg REG_EXPAND_SZ value.
std::string regexpand(const std::string &name, const std::string &text) {
    return qt::reghex(name, REG_EXPAND_SZ, text);
}

const char EVENTLOG_KEY[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class Caches : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        saved_ = Options;
        Options.LogName = "Application";
        Options.Computer = nullptr;
        strcpy(Options.SystemRoot, "C:\\WINDOWS");
    }
    void TearDown() override {
        Options = saved_;
        qt::TempNetwork::TearDown();
    }

    // Writes the HKLM registry of a computer: its SystemRoot and the given
    // source sections (each "name" followed by its value lines).
    void registry(const std::string &computername, const std::vector<std::pair<std::string, std::string>> &sources) {
        std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" +
                          regstring("SystemRoot", "C:\\WINDOWS") + "\r\n";
        for (const auto &s : sources) reg += "[" + std::string(EVENTLOG_KEY) + s.first + "]\r\n" + s.second + "\r\n";
        std::string dir = computer(computername) + "/registry";
        qt::makedirs(dir);
        qt::writefile(dir + "/HKEY_LOCAL_MACHINE.reg", reg);
    }

    // Puts a copy of a fixture DLL at a path below a computer's folder.
    void dll(const std::string &fixturename, const std::string &path, const std::string &computername = "HOST12") {
        std::string full = computer(computername) + "/" + path;
        qt::makedirs(full.substr(0, full.rfind('/')));
        qt::writefile(full, fixture(fixturename));
    }

    static void capture() { qt::capturestdout(); }
    static std::string captured() { return qt::capturedstdout(); }

    // The paths of an entry's modules, in the order NextModule offers them
    // (failed loads included).
    static std::vector<std::string> paths(const CEvtSource *e) {
        std::vector<std::string> out;
        ListCursor cursor = nullptr;
        while (auto *m = (const MessageModule *)e->Modules.Next(cursor)) out.push_back(m->Path);
        return out;
    }

    static std::vector<HMODULE> handles(const CEvtSource *e) {
        std::vector<HMODULE> out;
        ListCursor cursor = nullptr;
        while (HMODULE h = e->NextModule(cursor)) out.push_back(h);
        return out;
    }

private:
    RunOptions saved_;
};

TEST(PtrList, PushesAtTheHeadAndTheCursorStartsOver) {
    static PtrList list; // its nodes are never freed, so it lives as the caches do
    ListCursor cursor = nullptr;
    EXPECT_EQ(list.Next(cursor), nullptr);
    static int a = 1, b = 2, c = 3;
    list.Push(&a);
    list.Push(&b);
    list.Push(&c);
    std::vector<void *> seen;
    cursor = nullptr;
    while (void *v = list.Next(cursor)) seen.push_back(v);
    EXPECT_EQ(seen, (std::vector<void *>{&c, &b, &a}));
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(list.Next(cursor), &c); // a finished walk starts over at the head
}

TEST_F(Caches, EntryIsFilledOnceAndSharedAcrossLetterCase) {
    registry("HOST12",
             {{"CacheOne", regexpand("EventMessageFile", "%SystemRoot%\\msgs\\one_a.dll;C:\\msgs\\ONE_B.dll") +
                               regstring("CategoryMessageFile", "C:\\msgs\\one_a.dll")}});
    dll("events.dll", "c/WINDOWS/msgs/one_a.dll");
    dll("events.dll", "c/msgs/one_b.dll");
    unsigned long loads = nt::moduleloads();

    capture();
    CEvtSource *e = CEvtSource::Find("CacheOne", MessageKind::Message);
    EXPECT_EQ(captured(), "");
    EXPECT_STREQ(e->Name, "CacheOne");
    EXPECT_EQ(e->Kind, MessageKind::Message);
    // The file named last is offered first.
    EXPECT_EQ(paths(e), (std::vector<std::string>{"C:\\msgs\\ONE_B.dll", "C:\\WINDOWS\\msgs\\one_a.dll"}));
    EXPECT_EQ(handles(e).size(), 2u);
    EXPECT_EQ(nt::moduleloads(), loads + 2);

    // Later requests never touch the registry again: without its file they
    // would report a failure.
    std::remove((computer() + "/registry/HKEY_LOCAL_MACHINE.reg").c_str());
    capture();
    EXPECT_EQ(CEvtSource::Find("cacheONE", MessageKind::Message), e);
    EXPECT_EQ(CEvtSource::Find("CacheOne", MessageKind::Message), e);
    EXPECT_EQ(captured(), "");
    EXPECT_STREQ(e->Name, "CacheOne");

    // Another kind is another entry (and another registry read, which now
    // fails), sharing the module of the same file in another letter case.
    registry("HOST12", {{"CacheOne", regstring("CategoryMessageFile", "c:\\WINDOWS\\MSGS\\ONE_A.DLL")}});
    capture();
    CEvtSource *category = CEvtSource::Find("CACHEONE", MessageKind::Category);
    EXPECT_EQ(captured(), "");
    EXPECT_NE(category, e);
    EXPECT_STREQ(category->Name, "CACHEONE");
    EXPECT_EQ(handles(category), (std::vector<HMODULE>{handles(e)[1]}));
    EXPECT_EQ(nt::moduleloads(), loads + 2);
    EXPECT_EQ(MessageModule::Find("C:\\Windows\\Msgs\\One_A.dll")->Handle, handles(e)[1]);
}

TEST_F(Caches, RegistryFailuresAreReportedOncePerSourceAndKind) {
    std::string big(1100, 'x');
    registry("HOST12", {{"NoValue", regstring("EventMessageFile", "C:\\none.dll")},
                        {"TooLong", regstring("EventMessageFile", big)},
                        {"OddKind", regstring("EventMessageFile", "C:\\none.dll")}});
    capture();
    CEvtSource *nokey = CEvtSource::Find("NoKeySource", MessageKind::Message);
    CEvtSource::Find("NOKEYSOURCE", MessageKind::Message);
    CEvtSource *novalue = CEvtSource::Find("NoValue", MessageKind::Parameter);
    CEvtSource::Find("NoValue", MessageKind::Parameter);
    CEvtSource *toolong = CEvtSource::Find("TooLong", MessageKind::Message);
    CEvtSource *oddkind = CEvtSource::Find("OddKind", (MessageKind)3);
    CEvtSource::Find("OddKind", (MessageKind)3);
    EXPECT_EQ(captured(),
              "==>RegOpenKeyEx rc=2 source=NoKeySource key=SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"
              "\\NoKeySource\n"
              "==>RegQueryValueEx rc=2 source=NoValue type=ParameterMessageFile\n"
              "==>RegQueryValueEx rc=234 source=TooLong type=EventMessageFile\n"
              "==>invalid module type\n");
    for (CEvtSource *e : {nokey, novalue, toolong, oddkind}) {
        ListCursor cursor = nullptr;
        EXPECT_EQ(e->NextModule(cursor), nullptr);
    }
    capture();
    oddkind->AddFailed(7, 1812);
    EXPECT_EQ(captured(), "==>Format message error, source=OddKind type=? msg=7 rc=1812\n");
}

TEST_F(Caches, ValueParsingExpandsOnlyTheSystemRoot) {
    registry("HOST12", {
                           {"RootUpper", regstring("EventMessageFile", "%SYSTEMROOT%\\p1.dll")},
                           {"RootMixed", regexpand("EventMessageFile", "%sYsTeMrOoT%\\p2.dll")},
                           {"RootAlone", regstring("EventMessageFile", "%SYSTEMROOT%")},
                           {"Windir", regstring("EventMessageFile", "%windir%\\p3.dll")},
                           {"Middle", regstring("EventMessageFile", "C:\\p4.dll;%windir%\\p5.dll;C:\\p6.dll")},
                           {"Percent", regstring("EventMessageFile", "C:\\p7.dll;C:\\100%\\p8.dll")},
                           {"Trailing", regstring("EventMessageFile", "C:\\p9.dll;")},
                           {"Empties", regstring("EventMessageFile", ";;")},
                       });
    dll("events.dll", "c/WINDOWS/p1.dll");
    dll("events.dll", "c/WINDOWS/p2.dll");
    dll("events.dll", "c/p4.dll");
    dll("events.dll", "c/p7.dll");
    dll("events.dll", "c/p9.dll");
    struct Row {
        const char *source;
        std::vector<std::string> paths;
        std::string messages;
    } rows[] = {
        {"RootUpper", {"C:\\WINDOWS\\p1.dll"}, ""},
        {"RootMixed", {"C:\\WINDOWS\\p2.dll"}, ""},
        {"RootAlone", {}, "==>unable to resolve environment variable, sz=%SYSTEMROOT%\n"},
        {"Windir", {}, "==>unable to resolve environment variable, sz=%windir%\\p3.dll\n"},
        {"Middle",
         {"C:\\p4.dll"},
         "==>unable to resolve environment variable, sz=C:\\p4.dll;%windir%\\p5.dll;C:\\p6.dll\n"},
        {"Percent", {"C:\\p7.dll"}, "==>unable to resolve environment variable, sz=C:\\p7.dll;C:\\100%\\p8.dll\n"},
        // An empty path is looked up and loaded like any other, and its
        // failure reported once for the run.
        {"Trailing", {"", "C:\\p9.dll"}, "==>LoadLibrary rc=87 library=\n"},
        {"Empties", {"", "", ""}, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.source);
        capture();
        CEvtSource *e = CEvtSource::Find(row.source, MessageKind::Message);
        EXPECT_EQ(captured(), row.messages);
        EXPECT_EQ(paths(e), row.paths);
    }
    ListCursor cursor = nullptr;
    EXPECT_EQ(CEvtSource::Find("Empties", MessageKind::Message)->NextModule(cursor), nullptr);
}

TEST_F(Caches, RemoteFilesAreLoadedThroughAdministrativeShares) {
    registry("HOST12", {});
    registry("ACCT7",
             {{"RemoteSrc", regexpand("EventMessageFile", "%SystemRoot%\\System32\\remote_ev.dll;C:\\remote_c.dll")},
              {"ShortPaths", regstring("EventMessageFile", "C:;x;;")}});
    dll("events.dll", "d/Win/System32/remote_ev.dll", "ACCT7");
    Options.Computer = "acct7";
    strcpy(Options.SystemRoot, "D:\\Win");

    capture();
    CEvtSource *e = CEvtSource::Find("RemoteSrc", MessageKind::Message);
    EXPECT_EQ(captured(), "==>LoadLibrary rc=2 library=\\\\acct7\\C$\\remote_c.dll\n");
    EXPECT_EQ(paths(e),
              (std::vector<std::string>{"\\\\acct7\\C$\\remote_c.dll", "\\\\acct7\\D$\\Win\\System32\\remote_ev.dll"}));
    std::vector<HMODULE> loaded = handles(e);
    ASSERT_EQ(loaded.size(), 1u);
    char text[100];
    EXPECT_EQ(FormatMessageA(0x0AFF, loaded[0], 0xC0000005, 1024, text, sizeof text, nullptr), 38u);

    capture();
    CEvtSource *shorts = CEvtSource::Find("ShortPaths", MessageKind::Message);
    captured();
    EXPECT_EQ(paths(shorts),
              (std::vector<std::string>{"\\\\acct7\\", "\\\\acct7\\", "\\\\acct7\\x$", "\\\\acct7\\C$"}));

    Options.Computer = "ghost";
    capture();
    CEvtSource::Find("GhostSource", MessageKind::Message);
    EXPECT_EQ(captured(),
              "==>RegConnectKeyEx rc=53 source=GhostSource key=SYSTEM\\CurrentControlSet\\Services\\EventLog"
              "\\Application\\GhostSource\n");
}

TEST_F(Caches, FailedLoadsAreCachedAndNeverOffered) {
    registry("HOST12", {{"Broken1", regstring("EventMessageFile", "C:\\broken\\missing.dll;C:\\broken\\text.dll")},
                        {"Broken2", regstring("EventMessageFile", "C:\\BROKEN\\MISSING.DLL")}});
    qt::makedirs(computer() + "/c/broken");
    qt::writefile(computer() + "/c/broken/text.dll", "not a module\r\n");
    unsigned long loads = nt::moduleloads();
    capture();
    CEvtSource *one = CEvtSource::Find("Broken1", MessageKind::Message);
    CEvtSource *two = CEvtSource::Find("Broken2", MessageKind::Message);
    EXPECT_EQ(captured(), "==>LoadLibrary rc=2 library=C:\\broken\\missing.dll\n"
                          "==>LoadLibrary rc=193 library=C:\\broken\\text.dll\n");
    EXPECT_EQ(nt::moduleloads(), loads + 2);
    EXPECT_EQ(handles(one), std::vector<HMODULE>{});
    EXPECT_EQ(handles(two), std::vector<HMODULE>{});
    EXPECT_EQ(paths(two), std::vector<std::string>{"C:\\broken\\missing.dll"});
}

TEST_F(Caches, FailedIdsCompareAllThirtyTwoBits) {
    registry("HOST12", {});
    capture();
    CEvtSource *e = CEvtSource::Find("FailedIds", MessageKind::Message);
    captured();
    EXPECT_FALSE(e->IsFailed(0xC0000005));
    capture();
    e->AddFailed(0xC0000005, 317);
    EXPECT_EQ(captured(), "==>Format message error, source=FailedIds type=Message msg=5 rc=317\n");
    EXPECT_TRUE(e->IsFailed(0xC0000005));
    EXPECT_FALSE(e->IsFailed(5));
    EXPECT_FALSE(e->IsFailed(0x40000005));
    capture();
    CEvtSource *parameter = CEvtSource::Find("FailedIds", MessageKind::Parameter);
    captured();
    capture();
    parameter->AddFailed(0x12345678, 1815);
    EXPECT_EQ(captured(), "==>Format message error, source=FailedIds type=Parameter msg=22136 rc=1815\n");
}

// Runs statement with standard output sent to standard error, where a death
// test can see the message.
#define EXPECT_INTERNAL_ERROR(statement, message)                                                                      \
    EXPECT_EXIT(                                                                                                       \
        {                                                                                                              \
            dup2(2, 1);                                                                                                \
            statement;                                                                                                 \
        },                                                                                                             \
        testing::ExitedWithCode(2), message)

TEST_F(Caches, KeyPathLimitEndsTheRunAndOverlongModulePathsAreLookupFailures) {
    std::string longsource(1000, 's');
    EXPECT_INTERNAL_ERROR(CEvtSource::Find(longsource.c_str(), MessageKind::Message),
                          "==>internal error, CEvtSource::Find, #1\n");

    // A message-file path that does not fit the working area, made so by a
    // registry value (repeated %SystemRoot%, or a long path on a remote
    // computer), is a module that cannot be loaded: reported once for the
    // source and kind, and the run goes on without it.
    std::string value;
    for (int i = 0; i < 6; ++i) value += "%SystemRoot%";
    value += "\\x.dll;c:\\short.dll";
    registry("HOST12", {{"LongRoot", regstring("EventMessageFile", value)}});
    registry("ACCT7", {{"LongRemote", regstring("EventMessageFile", "C:\\" + std::string(1030, 'r'))}});
    const struct {
        const char *source;
        const char *computer;
        const char *library; // the start of the path reported
        size_t modules;      // modules the entry keeps
    } rows[] = {
        {"LongRoot", nullptr, "C:\\wwwwwwwwww", 1},
        {"LongRemote", "acct7", "\\\\acct7\\C$\\rrrrrrrrrr", 0},
    };
    strcpy(Options.SystemRoot, ("C:\\" + std::string(200, 'w')).c_str());
    for (const auto &row : rows) {
        SCOPED_TRACE(row.source);
        Options.Computer = row.computer;
        capture();
        CEvtSource *entry = CEvtSource::Find(row.source, MessageKind::Message);
        CEvtSource::Find(row.source, MessageKind::Message);
        std::string said = captured();
        EXPECT_EQ(said.find("==>LoadLibrary rc=206 library=" + std::string(row.library)), 0u) << said;
        EXPECT_EQ(said.find("==>LoadLibrary rc=206", 1), std::string::npos) << "reported once: " << said;
        EXPECT_EQ(said.find("internal error"), std::string::npos) << said;
        size_t modules = 0;
        ListCursor cursor = nullptr;
        while (entry->Modules.Next(cursor)) ++modules;
        EXPECT_EQ(modules, row.modules);
    }
    Options.Computer = nullptr;
}

} // namespace
