// security_test.cpp: the process token and its privileges.
#include "platform/posix/ntapi.h"
#include "platform/posix/security.h"
#include "support/support.h"

#include <cstdlib>

namespace {

// Each test starts from a token with every privilege disabled and
// QUILLOG_PRIVILEGES unset, and leaves it so.
class Privileges : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        unsetenv("QUILLOG_PRIVILEGES");
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, NULL, 0, NULL, NULL));
    }
    void TearDown() override {
        unsetenv("QUILLOG_PRIVILEGES");
        AdjustTokenPrivileges(token, TRUE, NULL, 0, NULL, NULL);
        CloseHandle(token);
        qt::TempNetwork::TearDown();
    }
    // Enables one privilege the way the program does; returns the last error.
    DWORD enable(const char *name) {
        TOKEN_PRIVILEGES tp;
        tp.PrivilegeCount = 1;
        if (!LookupPrivilegeValueA(NULL, name, &tp.Privileges[0].Luid)) return 0xBAD;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, NULL, NULL));
        return GetLastError();
    }
    HANDLE token = NULL;
};

TEST_F(Privileges, LookupGivesTheFixedIdentifiers) {
    struct Row {
        const char *name;
        DWORD luid;
    } rows[] = {{"SeSecurityPrivilege", 8}, {"sesecurityprivilege", 8},  {"SeBackupPrivilege", 17},
                {"SeRestorePrivilege", 18}, {"SeShutdownPrivilege", 19}, {"SeCreateTokenPrivilege", 2}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LUID luid = {99, 99};
        ASSERT_TRUE(LookupPrivilegeValueA(NULL, row.name, &luid));
        EXPECT_EQ(luid.LowPart, row.luid);
        EXPECT_EQ(luid.HighPart, 0);
    }
    LUID luid = {99, 99};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupPrivilegeValueA(NULL, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(luid.LowPart, 99u) << "untouched on failure";
    EXPECT_TRUE(LookupPrivilegeValueA("HOST12", SE_SECURITY_NAME, &luid)) << "the local computer by name";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupPrivilegeValueA("\\\\NOSUCH", SE_SECURITY_NAME, &luid));
    EXPECT_EQ(GetLastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(Privileges, EveryPrivilegeIsHeldByDefaultButStartsDisabled) {
    EXPECT_FALSE(nt::privilegeenabled(SE_SECURITY_NAME));
    EXPECT_EQ(enable(SE_SECURITY_NAME), 0u);
    EXPECT_TRUE(nt::privilegeenabled(SE_SECURITY_NAME));
    EXPECT_TRUE(nt::privilegeenabled("sesecurityprivilege"));
    EXPECT_FALSE(nt::privilegeenabled("SeBackupPrivilege")) << "only what was asked for";
    EXPECT_EQ(enable("SeCreateTokenPrivilege"), 0u);
    EXPECT_FALSE(nt::privilegeenabled("SeNoSuchPrivilege"));
    EXPECT_FALSE(nt::privilegeenabled(NULL));

    // A second token handle sees the same process token.
    HANDLE other;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &other));
    EXPECT_TRUE(AdjustTokenPrivileges(other, TRUE, NULL, 0, NULL, NULL));
    EXPECT_FALSE(nt::privilegeenabled(SE_SECURITY_NAME));
    CloseHandle(other);
}

TEST_F(Privileges, PrivilegeNotHeldIsSuccessWith1300) {
    setenv("QUILLOG_PRIVILEGES", "SeBackupPrivilege, SeRestorePrivilege", 1);
    EXPECT_EQ(enable(SE_SECURITY_NAME), (DWORD)ERROR_NOT_ALL_ASSIGNED);
    EXPECT_FALSE(nt::privilegeenabled(SE_SECURITY_NAME));
    EXPECT_EQ(enable("SeRestorePrivilege"), 0u);
    EXPECT_TRUE(nt::privilegeenabled("SeRestorePrivilege"));

    setenv("QUILLOG_PRIVILEGES", "", 1);
    EXPECT_EQ(enable("SeBackupPrivilege"), (DWORD)ERROR_NOT_ALL_ASSIGNED);
    EXPECT_FALSE(nt::privilegeenabled("SeRestorePrivilege")) << "a privilege no longer held is not enabled";

    setenv("QUILLOG_PRIVILEGES", "SeSecurityPrivilege", 1);
    EXPECT_EQ(enable(SE_SECURITY_NAME), 0u);
    EXPECT_TRUE(nt::privilegeenabled(SE_SECURITY_NAME));
}

TEST_F(Privileges, HandleAccessAndPreviousState) {
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid = {8, 0};
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

    HANDLE queryonly;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryonly));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AdjustTokenPrivileges(queryonly, FALSE, &tp, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(queryonly);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AdjustTokenPrivileges(queryonly, FALSE, &tp, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE h;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenProcessToken((HANDLE)0x1234, TOKEN_QUERY, &h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    // Too small a buffer for the previous state changes nothing.
    TOKEN_PRIVILEGES before;
    DWORD len = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 4, &before, &len));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, (DWORD)sizeof(TOKEN_PRIVILEGES));
    EXPECT_FALSE(nt::privilegeenabled(SE_SECURITY_NAME));

    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof before, &before, &len));
    EXPECT_EQ(before.PrivilegeCount, 1u);
    EXPECT_EQ(before.Privileges[0].Luid.LowPart, 8u);
    EXPECT_EQ(before.Privileges[0].Attributes, 0u) << "it was disabled";
    EXPECT_TRUE(nt::privilegeenabled(SE_SECURITY_NAME));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &before, 0, NULL, NULL)) << "the previous state restores";
    EXPECT_FALSE(nt::privilegeenabled(SE_SECURITY_NAME));
}

} // namespace
