// bookmark_test.cpp: the bookmark store and the program's registry housekeeping.
#include "run/bookmark.h"

#include "console/console.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <string>
#include <vector>

namespace {

const char ProgramKey[] = "SOFTWARE\\Brantwick\\Quillog";
const char LegacyKey[] = "SOFTWARE\\BrantwickWare\\Quillog";

class Bookmark : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        ExitCode = ExitClean;
    }

    static bool keyexists(HKEY hive, const char *path) {
        HKEY key;
        if (RegOpenKeyExA(hive, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    static void setvalue(HKEY hive, const char *path, const char *name, DWORD type, const std::string &data) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(hive, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, (const BYTE *)data.data(), (DWORD)data.size()), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    static void setdword(HKEY hive, const char *path, const char *name, DWORD value) {
        setvalue(hive, path, name, REG_DWORD, std::string((const char *)&value, sizeof value));
    }

    // The value's type and bytes, or type REG_NONE and "" when it is missing.
    static std::pair<DWORD, std::string> getvalue(HKEY hive, const char *path, const char *name) {
        HKEY key;
        if (RegOpenKeyExA(hive, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return {REG_NONE, ""};
        char data[512];
        DWORD type = REG_NONE, size = sizeof data;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)data, &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return {REG_NONE, ""};
        return {type, std::string(data, size)};
    }

    static std::string dword(DWORD v) { return std::string((const char *)&v, sizeof v); }
};

TEST_F(Bookmark, MigrationCopiesEveryValueAndOverwrites) {
    setdword(HKEY_CURRENT_USER, LegacyKey, "System-HOST12", 4711);
    setvalue(HKEY_CURRENT_USER, LegacyKey, "Version", REG_SZ, std::string("V1.5\0", 5));
    setvalue(HKEY_CURRENT_USER, LegacyKey, "Blob", REG_BINARY, std::string("\x01\x00\xff", 3));
    setdword(HKEY_CURRENT_USER, ProgramKey, "System-HOST12", 12);
    setdword(HKEY_CURRENT_USER, ProgramKey, "Application-HOST12", 99);

    qt::capturestdout();
    migratekey(HKEY_LOCAL_MACHINE);
    migratekey(HKEY_CURRENT_USER);
    EXPECT_EQ(qt::capturedstdout(), "");

    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "System-HOST12"), std::make_pair((DWORD)REG_DWORD, dword(4711)));
    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "Application-HOST12"),
              std::make_pair((DWORD)REG_DWORD, dword(99)));
    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "Version"),
              std::make_pair((DWORD)REG_SZ, std::string("V1.5\0", 5)));
    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "Blob"),
              std::make_pair((DWORD)REG_BINARY, std::string("\x01\x00\xff", 3)));
    EXPECT_FALSE(keyexists(HKEY_CURRENT_USER, LegacyKey));
    EXPECT_FALSE(keyexists(HKEY_CURRENT_USER, "SOFTWARE\\BrantwickWare"));
    // Nothing under HKLM: no program key was made there.
    EXPECT_FALSE(keyexists(HKEY_LOCAL_MACHINE, ProgramKey));
    EXPECT_EQ(ExitCode, ExitClean);
}

TEST_F(Bookmark, MigrationKeepsTheLegacyKeyWhenAValueCannotBeCopied) {
    // A value name of 261 characters does not fit the enumeration's buffer,
    // so that value cannot be copied: the legacy key must survive.
    setdword(HKEY_LOCAL_MACHINE, LegacyKey, "Application-HOST12", 5);
    std::string longname(261, 'n');
    setdword(HKEY_LOCAL_MACHINE, LegacyKey, longname.c_str(), 6);

    migratekey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(keyexists(HKEY_LOCAL_MACHINE, LegacyKey));
    EXPECT_EQ(getvalue(HKEY_LOCAL_MACHINE, LegacyKey, longname.c_str()), std::make_pair((DWORD)REG_DWORD, dword(6)));

    // Another parent subkey keeps the legacy parent alive after a full migration.
    setdword(HKEY_CURRENT_USER, LegacyKey, "System-HOST12", 1);
    setdword(HKEY_CURRENT_USER, "SOFTWARE\\BrantwickWare\\Other", "x", 1);
    migratekey(HKEY_CURRENT_USER);
    EXPECT_FALSE(keyexists(HKEY_CURRENT_USER, LegacyKey));
    EXPECT_TRUE(keyexists(HKEY_CURRENT_USER, "SOFTWARE\\BrantwickWare\\Other"));
}

TEST_F(Bookmark, UninstallRemovesProgramKeysOnly) {
    setdword(HKEY_CURRENT_USER, ProgramKey, "System-HOST12", 1);
    setdword(HKEY_LOCAL_MACHINE, ProgramKey, "System-HOST12", 2);
    setdword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brantwick\\Other", "x", 3);
    setdword(HKEY_CURRENT_USER, LegacyKey, "System-HOST12", 4);

    qt::capturestdout();
    uninstall();
    EXPECT_EQ(qt::capturedstdout(), "Brantwick Quillog has been successfully uninstalled\n");
    EXPECT_FALSE(keyexists(HKEY_CURRENT_USER, ProgramKey));
    EXPECT_FALSE(keyexists(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick"));
    EXPECT_FALSE(keyexists(HKEY_LOCAL_MACHINE, ProgramKey));
    EXPECT_TRUE(keyexists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brantwick\\Other"));
    EXPECT_TRUE(keyexists(HKEY_CURRENT_USER, LegacyKey));

    // Nothing left to remove is no error.
    qt::capturestdout();
    uninstall();
    EXPECT_EQ(qt::capturedstdout(), "Brantwick Quillog has been successfully uninstalled\n");
}

TEST_F(Bookmark, NamesJoinLogAndComputer) {
    char name[100];
    bookmarkname("Application", nullptr, name);
    EXPECT_STREQ(name, "Application-HOST12");
    bookmarkname("Security", "server7", name);
    EXPECT_STREQ(name, "Security-server7");
}

TEST_F(Bookmark, NameOfHundredCharactersStopsTheRun) {
    std::string longname(100 - 7, 'c');
    char name[100];
    EXPECT_EXIT(bookmarkname("System", longname.c_str(), name), testing::ExitedWithCode(2), "");

    // The whole run: the remote log is opened, then the name stops the run
    // before anything is read or written.
    std::string folder = computer(longname);
    qt::makedirs(folder + "/registry");
    qt::writefile(folder + "/registry/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n");
    qt::makedirs(folder + "/c/windows/system32/config");
    qt::writefile(folder + "/c/windows/system32/config/SysEvent.Evt",
                  qt::readfile(qt::samplelog("evtparser-System.evt")));
    qt::RunResult r = qt::runquillog({"/logfile=sys", "/outfile=" + dir() + "/x.txt", "/computer=" + longname});
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("internal error, main, #1\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("==>internal error"), std::string::npos) << r.out;
    EXPECT_FALSE(qt::fileexists(dir() + "/x.txt"));

    // One character less fits.
    std::string fits(99 - 7, 'c');
    bookmarkname("System", fits.c_str(), name);
    EXPECT_EQ(std::string(name), "System-" + fits);
}

TEST_F(Bookmark, SaveWritesNumberAndVersion) {
    qt::capturestdout();
    savebookmark(HKEY_CURRENT_USER, "System-HOST12", 7454);
    savebookmark(HKEY_LOCAL_MACHINE, "System-HOST12", 12);
    // Value names match without regard to case: this overwrites, keeping the spelling.
    savebookmark(HKEY_CURRENT_USER, "SYSTEM-host12", 7455);
    EXPECT_EQ(qt::capturedstdout(), "");
    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "System-HOST12"), std::make_pair((DWORD)REG_DWORD, dword(7455)));
    EXPECT_EQ(getvalue(HKEY_LOCAL_MACHINE, ProgramKey, "System-HOST12"), std::make_pair((DWORD)REG_DWORD, dword(12)));
    EXPECT_EQ(getvalue(HKEY_CURRENT_USER, ProgramKey, "Version"),
              std::make_pair((DWORD)REG_SZ, std::string("V1.7.1\0", 7)));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ProgramKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[300];
    DWORD namelen = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "System-HOST12");
    RegCloseKey(key);
    EXPECT_EQ(ExitCode, ExitClean);
}

TEST_F(Bookmark, StartFollowsTheDecisionTable) {
    // The System sample holds records 1 to 95; the plaso log 1392 to 7454.
    HANDLE sys = OpenBackupEventLogA(nullptr, qt::samplelog("evtparser-System.evt").c_str());
    HANDLE plaso = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
    ASSERT_NE(sys, nullptr);
    ASSERT_NE(plaso, nullptr);
    struct Row {
        HANDLE log;
        DWORD stored; // 0xFFFFFFFF: no value stored
        bool work;
        DWORD start;
        int exitcode;
        std::string out;
    } rows[] = {
        {sys, 0xFFFFFFFF, true, 1, 1,
         "==>LastProcessed (0) < Oldest (1), log records lost\nprocess event log records starting with 1\n"},
        {sys, 50, true, 51, 0, "process event log records starting with 51\n"},
        {sys, 94, true, 95, 0, "process event log records starting with 95\n"},
        {sys, 95, false, 0, 0, "Newest(95) == LastProcessed (95), no records to process\n"},
        {sys, 96, true, 1, 1,
         "==>Newest(95) < LastProcessed (96), log wrapped or was cleared\nprocess event log records starting with 1\n"},
        // One below the oldest: nothing is missing, yet it is reported.
        {plaso, 1391, true, 1392, 1,
         "==>LastProcessed (1391) < Oldest (1392), log records lost\nprocess event log records starting with 1392\n"},
        {plaso, 0xFFFFFFFF, true, 1392, 1,
         "==>LastProcessed (0) < Oldest (1392), log records lost\nprocess event log records starting with 1392\n"},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(n);
        std::string name = "System-ROW" + std::to_string(n++);
        if (row.stored != 0xFFFFFFFF) setdword(HKEY_CURRENT_USER, ProgramKey, name.c_str(), row.stored);
        ExitCode = ExitClean;
        DWORD start = 0xdeadbeef;
        qt::capturestdout();
        bool work = getstartrec(row.log, HKEY_CURRENT_USER, name.c_str(), &start);
        EXPECT_EQ(qt::capturedstdout(), row.out);
        EXPECT_EQ(work, row.work);
        if (row.work) {
            EXPECT_EQ(start, row.start);
        }
        EXPECT_EQ(ExitCode, row.exitcode);
    }
    CloseEventLog(sys);
    CloseEventLog(plaso);
}

TEST_F(Bookmark, StoredValueOfAnotherShapeCountsAsNone) {
    HANDLE sys = OpenBackupEventLogA(nullptr, qt::samplelog("evtparser-System.evt").c_str());
    ASSERT_NE(sys, nullptr);
    setvalue(HKEY_CURRENT_USER, ProgramKey, "System-A", REG_SZ, std::string("7\0", 2));
    setvalue(HKEY_CURRENT_USER, ProgramKey, "System-B", REG_BINARY, std::string(8, '\x01'));
    for (const char *name : {"System-A", "System-B"}) {
        SCOPED_TRACE(name);
        DWORD start = 0;
        qt::capturestdout();
        EXPECT_TRUE(getstartrec(sys, HKEY_CURRENT_USER, name, &start));
        EXPECT_EQ(qt::capturedstdout(),
                  "==>LastProcessed (0) < Oldest (1), log records lost\nprocess event log records starting with 1\n");
        EXPECT_EQ(start, 1u);
    }
    CloseEventLog(sys);
}

} // namespace
