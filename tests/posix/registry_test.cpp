// registry_test.cpp: the Reg...A calls over the network's .reg hive files.
#include "platform/posix/registry.h"

#include "platform/posix/common.h"
#include "support/support.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const HKEY SENTINEL = (HKEY)(uintptr_t)0xdeadbeef;
const char PROGRAMKEY[] = "SOFTWARE\\Brantwick\\Quillog";
const char VERSIONKEY[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

class RegistryTest : public qt::TempNetwork {
protected:
    std::string hive(const char *name, const std::string &computer = "HOST12") const {
        return network() + "/" + computer + "/registry/" + name + ".reg";
    }
    std::string hklm() const { return hive("HKEY_LOCAL_MACHINE"); }
    std::string hkcu() const { return hive("HKEY_CURRENT_USER"); }
    // The names in a folder, sorted.
    static std::vector<std::string> listing(const std::string &folder) {
        std::vector<std::string> names;
        if (DIR *d = opendir(folder.c_str())) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // UTF-16LE with byte-order mark, as "reg export" writes.
    static std::string utf16(const std::u16string &text) {
        std::string bytes = "\xFF\xFE";
        for (char16_t c : text) bytes += std::string{(char)(c & 0xFF), (char)(c >> 8)};
        return bytes;
    }
    void writehive(const std::string &path, const std::string &text) {
        qt::makedirs(path.substr(0, path.find_last_of('/')));
        qt::writefile(path, text);
    }
    // The program's key under HKEY_CURRENT_USER, created, with the access asked for.
    HKEY programkey(REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = SENTINEL;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    void setdword(HKEY key, const char *name, DWORD v) {
        EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&v, 4), ERROR_SUCCESS) << name;
    }
    std::string querystring(HKEY key, const char *name) {
        char buf[300];
        DWORD size = sizeof buf;
        LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)buf, &size);
        return rc ? "rc=" + std::to_string(rc) : std::string(buf, size);
    }
};

// Each suite below is one call (or group of calls) on the temporary network.
using RegConnect = RegistryTest;
using RegOpenKey = RegistryTest;
using RegCreateKey = RegistryTest;
using RegQueryValue = RegistryTest;
using RegSetValue = RegistryTest;
using RegEnumValue = RegistryTest;
using RegDeleteKey = RegistryTest;
using RegHiveFile = RegistryTest;

TEST_F(RegConnect, LocalNamesGiveLocalRootAndSeededSystemRoot) {
    for (const char *name : {(const char *)nullptr, "", "HOST12", "host12", "\\\\HOST12", "\\\\Host12"}) {
        SCOPED_TRACE(name ? name : "(null)");
        HKEY root = SENTINEL, key = SENTINEL;
        ASSERT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(root, VERSIONKEY, 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(querystring(key, "SystemRoot"), std::string("C:\\WINDOWS", 11));
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(root), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(qt::fileexists(hklm()));
}

TEST_F(RegConnect, RemoteComputerIsItsFolderElseBadNetpath) {
    writehive(hive("HKEY_LOCAL_MACHINE", "SERVER7"),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
              "\"SystemRoot\"=\"D:\\\\WINNT\"\r\n");
    for (const char *name : {"server7", "\\\\SERVER7"}) {
        SCOPED_TRACE(name);
        HKEY root = SENTINEL, key = SENTINEL;
        ASSERT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(root, VERSIONKEY, 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(querystring(key, "SystemRoot"), std::string("D:\\WINNT", 9));
        RegCloseKey(key);
        RegCloseKey(root);
    }
    // Changes through a connected root land on that computer.
    HKEY root, key;
    ASSERT_EQ(RegConnectRegistryA("\\\\server7", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(root, "SOFTWARE\\Remote", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    setdword(key, "Seen", 7);
    RegCloseKey(key);
    RegCloseKey(root);
    EXPECT_NE(qt::readfile(hive("HKEY_LOCAL_MACHINE", "SERVER7"))
                  .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Remote]\r\n"
                        "\"Seen\"=dword:00000007"),
              std::string::npos);
    EXPECT_EQ(qt::readfile(hklm()).find("Remote"), std::string::npos);

    HKEY result = SENTINEL;
    EXPECT_EQ(RegConnectRegistryA("\\\\ghost", HKEY_LOCAL_MACHINE, &result), ERROR_BAD_NETPATH);
    EXPECT_EQ(RegConnectRegistryA("ghost", HKEY_LOCAL_MACHINE, &result), ERROR_BAD_NETPATH);
    EXPECT_EQ(result, SENTINEL);
    EXPECT_FALSE(qt::fileexists(network() + "/ghost"));
}

TEST_F(RegOpenKey, PathRulesAndCodes) {
    HKEY key = programkey();
    RegCloseKey(key);
    struct Row {
        const char *path;
        LONG rc;
    } rows[] = {
        {"SOFTWARE\\Brantwick\\Quillog", ERROR_SUCCESS},        {"software\\BRANTWICK\\quillog", ERROR_SUCCESS},
        {"SOFTWARE\\Brantwick\\Quillog\\\\", ERROR_SUCCESS},    {"SOFTWARE\\Brantwick", ERROR_SUCCESS},
        {"SOFTWARE\\Brantwick\\Missing", ERROR_FILE_NOT_FOUND}, {"SOFTWARE\\Missing\\Quillog", ERROR_FILE_NOT_FOUND},
        {"\\SOFTWARE\\Brantwick", ERROR_BAD_PATHNAME},          {"\\", ERROR_BAD_PATHNAME},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        HKEY opened = SENTINEL;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, row.path, 0, KEY_READ, &opened), row.rc);
        if (row.rc == ERROR_SUCCESS) {
            EXPECT_NE(opened, SENTINEL);
            EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
        } else {
            EXPECT_EQ(opened, nullptr) << "the result is cleared on failure";
        }
    }
    HKEY opened = SENTINEL;
    EXPECT_EQ(RegOpenKeyExA((HKEY)(uintptr_t)0x1234, "SOFTWARE", 0, KEY_READ, &opened), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    // "" opens the same key again through a handle of its own.
    HKEY parent, again;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(parent, "", 0, KEY_READ, &again), ERROR_SUCCESS);
    EXPECT_NE(again, parent);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    HKEY writer = programkey();
    setdword(writer, "x", 1);
    RegCloseKey(writer);
    DWORD v = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(again, "x", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    RegCloseKey(again);
}

TEST_F(RegOpenKey, PredefinedRootsAreTheComputerTheEnvironmentNamesNow) {
    // HKEY_LOCAL_MACHINE is the hive of the local computer that the
    // environment names at each call, however often it changes.
    auto hivetext = [](const char *root) {
        return std::string("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                           "\"SystemRoot\"=\"") +
               root + "\"\r\n";
    };
    const std::string first = network(), second = dir() + "/second";
    writehive(hklm(), hivetext("C:\\\\WINDOWS"));
    writehive(hive("HKEY_LOCAL_MACHINE", "OTHER"), hivetext("D:\\\\OTHER"));
    writehive(second + "/HOST12/registry/HKEY_LOCAL_MACHINE.reg", hivetext("E:\\\\SECOND"));
    const struct {
        const std::string &network;
        const char *computer, *root;
    } rows[] = {
        {first, "HOST12", "C:\\WINDOWS"}, {first, "OTHER", "D:\\OTHER"},    {second, "HOST12", "E:\\SECOND"},
        {first, "host12", "C:\\WINDOWS"}, {second, "HOST12", "E:\\SECOND"}, {first, "other", "D:\\OTHER"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.network + " " + row.computer);
        setenv("QUILLOG_NETWORK", row.network.c_str(), 1);
        setenv("COMPUTERNAME", row.computer, 1);
        for (int again = 0; again < 2; ++again) {
            HKEY key = SENTINEL;
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, VERSIONKEY, 0, KEY_READ, &key), ERROR_SUCCESS);
            EXPECT_EQ(querystring(key, "SystemRoot"), std::string(row.root, strlen(row.root) + 1));
            RegCloseKey(key);
        }
    }
}

TEST_F(RegCreateKey, CreatesEveryLevelAndReadAccessStillCreates) {
    HKEY key = SENTINEL;
    DWORD disposition = 0xdeadbeef;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    EXPECT_NE(qt::readfile(hkcu()).find("[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"), std::string::npos);

    // The KEY_READ handle reads but refuses a write, and nothing is written.
    std::string before = qt::readfile(hkcu());
    DWORD v = 5;
    EXPECT_EQ(RegSetValueExA(key, "Application-HOST12", 0, REG_DWORD, (const BYTE *)&v, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(qt::readfile(hkcu()), before);
    DWORD l = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "Application-HOST12", nullptr, nullptr, (LPBYTE)&l, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(l, 0u);
    RegCloseKey(key);

    HKEY again = SENTINEL;
    disposition = 0xdeadbeef;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\brantwick\\QUILLOG\\", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    setdword(again, "Application-HOST12", 9);
    RegCloseKey(again);
    EXPECT_NE(qt::readfile(hkcu()).find("[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                        "\"Application-HOST12\"=dword:00000009\r\n"),
              std::string::npos);
}

TEST_F(RegCreateKey, ArgumentCodesLeaveResultAlone) {
    HKEY key = SENTINEL;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
              ERROR_BADKEY);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 1, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "\\SOFTWARE\\X", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA((HKEY)(uintptr_t)0x1234, "X", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_INVALID_HANDLE);
    std::string longname = "SOFTWARE\\" + std::string(256, 'k');
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, longname.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\line\nfeed", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, SENTINEL);
    EXPECT_FALSE(qt::fileexists(hkcu())) << "no failed call wrote the hive";
    longname.pop_back();
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, longname.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegQueryValue, SizesBuffersAndTerminators) {
    HKEY key = programkey();
    ASSERT_EQ(RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)"V1.7.1", 7), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "bare", 0, REG_SZ, (const BYTE *)"abcdX", 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "raw", 0, REG_BINARY, (const BYTE *)"abcd", 4), ERROR_SUCCESS);
    struct Row {
        const char *name;
        DWORD bufsize;
        LONG rc;
        DWORD size;
        std::string content; // the buffer afterwards, 8 bytes preset to 0xbd
        DWORD type;          // preset to 0xdeadbeef
    } rows[] = {
        {"Version", 8, ERROR_SUCCESS, 7, std::string("V1.7.1\0\xbd", 8), REG_SZ},
        {"Version", 7, ERROR_SUCCESS, 7, std::string("V1.7.1\0\xbd", 8), REG_SZ},
        {"Version", 6, ERROR_MORE_DATA, 7, std::string(8, '\xbd'), REG_SZ},
        {"bare", 8, ERROR_SUCCESS, 4, std::string("abcd\0\xbd\xbd\xbd", 8), REG_SZ},
        {"bare", 4, ERROR_SUCCESS, 4, std::string("abcd\xbd\xbd\xbd\xbd", 8), REG_SZ},
        {"raw", 8, ERROR_SUCCESS, 4, std::string("abcd\xbd\xbd\xbd\xbd", 8), REG_BINARY},
        {"RAW", 3, ERROR_MORE_DATA, 4, std::string(8, '\xbd'), REG_BINARY},
        {"missing", 8, ERROR_FILE_NOT_FOUND, 8, std::string(8, '\xbd'), 0xdeadbeef},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.bufsize));
        char buf[8];
        std::memset(buf, 0xbd, sizeof buf);
        DWORD size = row.bufsize;
        DWORD type = 0xdeadbeef;
        EXPECT_EQ(RegQueryValueExA(key, row.name, nullptr, &type, (LPBYTE)buf, &size), row.rc);
        EXPECT_EQ(size, row.size);
        EXPECT_EQ(std::string(buf, 8), row.content);
        EXPECT_EQ(type, row.type);
    }
    DWORD size = 0xdeadbeef, type = 0xdeadbeef;
    EXPECT_EQ(RegQueryValueExA(key, "Version", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    char buf[8];
    EXPECT_EQ(RegQueryValueExA(key, "Version", nullptr, nullptr, (LPBYTE)buf, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(key, "Version", &reserved, nullptr, (LPBYTE)buf, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA((HKEY)(uintptr_t)0x1234, "Version", nullptr, nullptr, (LPBYTE)buf, &size),
              ERROR_INVALID_HANDLE);
    RegCloseKey(key);

    HKEY writeonly = programkey(KEY_WRITE);
    EXPECT_EQ(RegQueryValueExA(writeonly, "Version", nullptr, nullptr, (LPBYTE)buf, &size), ERROR_ACCESS_DENIED);
    RegCloseKey(writeonly);
}

TEST_F(RegQueryValue, BookmarkReadIsAByteCopy) {
    // The bookmark is read into 4 bytes whatever its type: a short string
    // gives its bytes, a long one leaves the number alone with 234.
    HKEY key = programkey();
    ASSERT_EQ(RegSetValueExA(key, "Application-HOST12", 0, REG_SZ, (const BYTE *)"7", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "System-HOST12", 0, REG_SZ, (const BYTE *)"12345", 6), ERROR_SUCCESS);
    DWORD l = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "application-host12", nullptr, nullptr, (LPBYTE)&l, &size), ERROR_SUCCESS);
    EXPECT_EQ(l, 55u);
    l = 0;
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "System-HOST12", nullptr, nullptr, (LPBYTE)&l, &size), ERROR_MORE_DATA);
    EXPECT_EQ(l, 0u);
    EXPECT_EQ(size, 6u);
    RegCloseKey(key);
}

TEST_F(RegSetValue, StringCountExtensionCaseAndAccess) {
    HKEY key = programkey();
    const char text[] = "abcd\0\0";
    ASSERT_EQ(RegSetValueExA(key, "extended", 0, REG_SZ, (const BYTE *)text, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "expand", 0, REG_EXPAND_SZ, (const BYTE *)text, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "binary", 0, REG_BINARY, (const BYTE *)text, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "as given", 0, REG_SZ, (const BYTE *)"abcdX", 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "short dword", 0, REG_DWORD, (const BYTE *)"\x01\x02", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "empty", 0, REG_SZ, (const BYTE *)"", 0), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, (const BYTE *)"dflt", 5), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "null data", 0, REG_BINARY, nullptr, 3), ERROR_NOACCESS);
    struct Row {
        const char *name;
        DWORD type;
        DWORD size;
    } rows[] = {
        {"extended", REG_SZ, 5},       {"expand", REG_EXPAND_SZ, 5}, {"binary", REG_BINARY, 4}, {"as given", REG_SZ, 4},
        {"short dword", REG_DWORD, 2}, {"empty", REG_SZ, 0},         {"", REG_SZ, 5},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        DWORD type = 0xdeadbeef, size = 0xdeadbeef;
        EXPECT_EQ(RegQueryValueExA(key, row.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(size, row.size);
    }
    EXPECT_EQ(RegQueryValueExA(key, "null data", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    // HOST12 and host12 are one value; the first spelling stays.
    setdword(key, "Application-HOST12", 1);
    setdword(key, "APPLICATION-host12", 2);
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[261];
        DWORD namelen = sizeof name;
        if (RegEnumValueA(key, i, name, &namelen, nullptr, nullptr, nullptr, nullptr)) break;
        if (nt::nameeq(name, "application-host12")) names.push_back(name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"Application-HOST12"});
    DWORD v = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "application-Host12", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(RegSetValueExA(key, "line\nfeed", 0, REG_SZ, (const BYTE *)"x", 2), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegEnumValue, CreationOrderEndAndLongNames) {
    HKEY key = programkey();
    std::string longname(261, 'n');
    setdword(key, "Zeta", 1);
    setdword(key, "alpha", 2);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, (const BYTE *)"d", 2), ERROR_SUCCESS);
    setdword(key, longname.c_str(), 3);
    setdword(key, std::string(260, 'm').c_str(), 4);

    const char *expected[] = {"Zeta", "alpha", ""};
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        char name[261];
        DWORD namelen = sizeof name, type = 0xdeadbeef, datasize = 0xdeadbeef;
        ASSERT_EQ(RegEnumValueA(key, i, name, &namelen, nullptr, &type, nullptr, &datasize), ERROR_SUCCESS);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(namelen, std::strlen(expected[i]));
        EXPECT_EQ(type, i < 2 ? (DWORD)REG_DWORD : (DWORD)REG_SZ);
        EXPECT_EQ(datasize, i < 2 ? 4u : 2u);
    }
    // A 261-character name does not fit 261: 234, name and length untouched.
    char name[261];
    std::memset(name, 0xbd, sizeof name);
    DWORD namelen = sizeof name, type = 0xdeadbeef, datasize = 0xdeadbeef;
    EXPECT_EQ(RegEnumValueA(key, 3, name, &namelen, nullptr, &type, nullptr, &datasize), ERROR_MORE_DATA);
    EXPECT_EQ(namelen, 261u);
    EXPECT_EQ((unsigned char)name[0], 0xbdu);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(datasize, 4u);
    // 260 characters fit exactly.
    namelen = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 4, name, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(namelen, 260u);
    EXPECT_EQ(name[260], '\0');
    // Data that does not fit: 234 with the size, data and name untouched.
    char data[2] = {'\xbd', '\xbd'};
    DWORD cbdata = sizeof data;
    std::memset(name, 0xbd, sizeof name);
    namelen = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &namelen, nullptr, nullptr, (LPBYTE)data, &cbdata), ERROR_MORE_DATA);
    EXPECT_EQ(cbdata, 4u);
    EXPECT_EQ(data[0], '\xbd');
    // Past the end: 259, nothing touched.
    std::memset(name, 0xbd, sizeof name);
    namelen = sizeof name;
    type = datasize = 0xdeadbeef;
    EXPECT_EQ(RegEnumValueA(key, 5, name, &namelen, nullptr, &type, nullptr, &datasize), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(namelen, sizeof name);
    EXPECT_EQ(type, 0xdeadbeefu);
    EXPECT_EQ(datasize, 0xdeadbeefu);
    EXPECT_EQ((unsigned char)name[0], 0xbdu);
    RegCloseKey(key);

    HKEY setonly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_SET_VALUE, &setonly), ERROR_SUCCESS);
    namelen = sizeof name;
    EXPECT_EQ(RegEnumValueA(setonly, 0, name, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(setonly);
}

TEST_F(RegDeleteKey, SubkeysRefuseAndDeletedHandlesGive1018) {
    HKEY key = programkey();
    setdword(key, "v", 1);
    HKEY parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick", 0, KEY_READ, &parent), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Missing\\Quillog"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "\\SOFTWARE\\Brantwick\\Quillog"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, ""), ERROR_ACCESS_DENIED) << "KEY_READ lacks DELETE";
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "software\\brantwick\\quillog"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, PROGRAMKEY), ERROR_FILE_NOT_FOUND);

    // The deleted key's handle keeps failing, even after the key is made again.
    HKEY again = programkey();
    DWORD v = 0, size = 4;
    char name[16];
    DWORD namelen = sizeof name;
    HKEY sub = SENTINEL;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, (const BYTE *)&v, 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(key, "sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(again, "v", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_FILE_NOT_FOUND);

    // "" deletes the handle's own key when the handle may delete.
    EXPECT_EQ(RegDeleteKeyA(again, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Quillog"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(parent, "x", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA((HKEY)(uintptr_t)0x1234, "x"), ERROR_INVALID_HANDLE);
    RegCloseKey(again);
    RegCloseKey(parent);
}

TEST_F(RegDeleteKey, ClosingPredefinedAndBadHandles) {
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey((HKEY)(uintptr_t)0x1234), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);

    // Keys share the process's handle table with kernel objects; neither
    // kind closes the other.
    HKEY key = nullptr;
    HANDLE token = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Brantwick", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_FALSE(CloseHandle((HANDLE)key));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey((HKEY)token), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, (const BYTE *)"x", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(RegHiveFile, CurrentControlSetFollowsSelect) {
    // An offline export has ControlSet00N keys and SYSTEM\Select instead of
    // CurrentControlSet.
    const std::string source = "\\Services\\EventLog\\Application\\Src]\r\n";
    auto file = [&](int current) {
        return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001" + source +
               "\"EventMessageFile\"=\"one.dll\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002" + source +
               "\"EventMessageFile\"=\"two.dll\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:"
               "0000000" +
               std::to_string(current) + "\r\n";
    };
    const char *path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Src";
    for (int current : {1, 2}) {
        SCOPED_TRACE(current);
        writehive(hklm(), file(current));
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(querystring(key, "EventMessageFile"), std::string(current == 1 ? "one.dll" : "two.dll", 8));
        RegCloseKey(key);
    }
    // A real CurrentControlSet key wins.
    writehive(hklm(), file(1) + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet" + source +
                          "\"EventMessageFile\"=\"live.dll\"\r\n");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(querystring(key, "EventMessageFile"), std::string("live.dll", 9));
    RegCloseKey(key);
}

TEST_F(RegHiveFile, Version5ExportIsReadAndRewrittenAsVersion5) {
    // Names outside code page 1252 read as '?' through the calls, and match
    // no name spelled so; the rewrite keeps them, the format and the data
    // forms, and adds the new value at the end of its key.
    const std::u16string head = u"Windows Registry Editor Version 5.00\r\n\r\n"
                                u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                u"\"東京\"=dword:00000001\r\n\"北京\"=\"x\"\r\n";
    const std::u16string tail =
        u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\日本]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\中国]\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Caf\u00e9]\r\n"
        u"\"EventMessageFile\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,\\\r\n"
        u"  6f,00,74,00,25,00,5c,00,78,00,2e,00,64,00,6c,00,6c,00,00,00\r\n";
    writehive(hklm(), utf16(head + tail));
    HKEY key = SENTINEL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\??", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\caf\xC9", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    char buf[1039];
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type, (LPBYTE)buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(std::string(buf, size), std::string("%SystemRoot%\\x.dll", 19));
    RegCloseKey(key);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, PROGRAMKEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (DWORD i = 0; i < 2; ++i) {
        DWORD namelen = sizeof buf;
        ASSERT_EQ(RegEnumValueA(key, i, buf, &namelen, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_STREQ(buf, "??");
    }
    EXPECT_EQ(querystring(key, "??"), "rc=2");
    setdword(key, "System-HOST12", 3);
    RegCloseKey(key);
    EXPECT_EQ(qt::readfile(hklm()), utf16(head + u"\"System-HOST12\"=dword:00000003\r\n" + tail + u"\r\n"));
}

TEST_F(RegHiveFile, RewriteThatWouldNotReadBackIsRefused) {
    // Hex data takes more than three characters a byte: 85 MB of it would
    // make a hive over the 256 MiB the parser reads.
    HKEY key = programkey();
    setdword(key, "Application-HOST12", 7);
    const std::string before = qt::readfile(hkcu());
    std::vector<BYTE> big(85u << 20, 0xab);
    EXPECT_EQ(RegSetValueExA(key, "big", 0, REG_BINARY, big.data(), (DWORD)big.size()), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(qt::readfile(hkcu()), before);
    EXPECT_EQ(RegQueryValueExA(key, "big", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    setdword(key, "Application-HOST12", 8);
    RegCloseKey(key);
}

TEST_F(RegHiveFile, UnchangedHiveIsParsedOnceEvenWithItsTimeInTheFuture) {
    HKEY key = programkey();
    setdword(key, "Application-HOST12", 7);
    RegCloseKey(key);
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, hkcu().c_str(), times, 0), 0);
    // Wait until the change time lies more than two whole seconds back.
    struct stat st;
    ASSERT_EQ(stat(hkcu().c_str(), &st), 0);
    while (time(nullptr) <= st.st_ctim.tv_sec + 2) usleep(50000);
    unsigned long before = nt::hivereads();
    for (int i = 0; i < 20; ++i) {
        key = programkey(KEY_READ);
        EXPECT_EQ(querystring(key, "Application-HOST12"), std::string("\x07\0\0\0", 4));
        RegCloseKey(key);
    }
    EXPECT_EQ(nt::hivereads() - before, 1u);
}

TEST_F(RegHiveFile, HandlesAndOpensAnswerFromOneParseAndFollowChanges) {
    // An unchanged hive is parsed once: a handle keeps the key it found in
    // that parse, and a root the parent its last open reached. Another
    // program's rewrite is a new parse, in which both look again.
    const std::string base = "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet00";
    const std::string tail = "\\Services\\EventLog\\System\\";
    auto source = [&](int set, const std::string &name, int v) {
        return base + std::to_string(set) + tail + name + "]\r\n\"v\"=dword:0000000" + std::to_string(v) + "\r\n";
    };
    auto select = [](int set) {
        return "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:0000000" + std::to_string(set) + "\r\n";
    };
    auto dword = [](HKEY key, LONG *rc) {
        DWORD v = 0, size = 4;
        *rc = RegQueryValueExA(key, "v", nullptr, nullptr, (LPBYTE)&v, &size);
        return v;
    };
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
    auto open = [&](const std::string &name, LONG *rc) {
        HKEY key = SENTINEL;
        *rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, (path + name).c_str(), 0, KEY_READ, &key);
        if (*rc) return (DWORD)0;
        DWORD v = dword(key, rc);
        RegCloseKey(key);
        return v;
    };
    writehive(hklm(), "REGEDIT4\r\n\r\n" + source(1, "Src", 1) + source(1, "Two", 2) + source(2, "Src", 3) + select(1));
    struct stat st;
    ASSERT_EQ(stat(hklm().c_str(), &st), 0);
    while (time(nullptr) <= st.st_ctim.tv_sec + 2) usleep(50000);
    const unsigned long before = nt::hivereads();
    HKEY held;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (path + "Src").c_str(), 0, KEY_READ, &held), ERROR_SUCCESS);
    LONG rc;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(open("src", &rc), 1u);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(open("TWO", &rc), 2u);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        open("Three", &rc);
        EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(dword(held, &rc), 1u);
        EXPECT_EQ(rc, ERROR_SUCCESS);
    }
    EXPECT_EQ(nt::hivereads() - before, 1u) << "one parse for every call";

    const struct {
        const char *what;
        std::string hive;
        LONG heldrc;
        DWORD held;
        LONG openrc;
        DWORD opened;
    } rows[] = {
        {"Select names the other set: the handle keeps its key, an open finds the other",
         source(1, "Src", 1) + source(2, "Src", 3) + select(2), ERROR_SUCCESS, 1, ERROR_SUCCESS, 3},
        {"the held key's value changes", source(1, "Src", 7) + source(2, "Src", 3) + select(2), ERROR_SUCCESS, 7,
         ERROR_SUCCESS, 3},
        {"the held key is gone", source(2, "Src", 3) + select(2), ERROR_KEY_DELETED, 0, ERROR_SUCCESS, 3},
        {"it is back, spelled otherwise, and Select names it again",
         "[hkey_local_machine\\system\\CONTROLSET001\\services\\eventlog\\SYSTEM\\src]\r\n\"V\"=dword:9\r\n" +
             select(1),
         ERROR_SUCCESS, 9, ERROR_SUCCESS, 9},
        {"no set has the source", select(1), ERROR_KEY_DELETED, 0, ERROR_FILE_NOT_FOUND, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        writehive(hklm(), "REGEDIT4\r\n\r\n" + row.hive);
        EXPECT_EQ(dword(held, &rc), row.held);
        EXPECT_EQ(rc, row.heldrc);
        EXPECT_EQ(open("Src", &rc), row.opened);
        EXPECT_EQ(rc, row.openrc);
    }
    RegCloseKey(held);
}

TEST_F(RegHiveFile, HiveThatIsNotARegularFileOrTooLargeFailsAtOnce) {
    qt::makedirs(network() + "/HOST12/registry");
    const struct {
        const char *what;
        std::function<bool()> make;
        LONG rc;
    } rows[] = {
        {"a FIFO without a writer", [&] { return mkfifo(hkcu().c_str(), 0666) == 0; }, ERROR_ACCESS_DENIED},
        {"a link to /dev/zero", [&] { return symlink("/dev/zero", hkcu().c_str()) == 0; }, ERROR_ACCESS_DENIED},
        {"a sparse file of 3 GB",
         [&] {
             qt::writefile(hkcu(), "REGEDIT4\r\n");
             return truncate(hkcu().c_str(), 3LL << 30) == 0;
         },
         ERROR_FILE_TOO_LARGE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(row.make());
        // In a child that an alarm ends, so that a read that blocks fails.
        qt::RunResult r = qt::runinchild([] {
            alarm(10);
            HKEY key = SENTINEL;
            std::printf(
                "%ld %ld", (long)RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE", 0, KEY_READ, &key),
                (long)RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
        });
        EXPECT_EQ(r.exitcode, 0);
        EXPECT_EQ(r.out, std::to_string(row.rc) + " " + std::to_string(row.rc));
        qt::removetree(hkcu());
    }
}

TEST_F(RegHiveFile, NothingIsWrittenThroughSymbolicLinks) {
    // Each row makes the local registry folder or a file in it a link to
    // something in the folder "outside"; reads go through, writes are refused
    // and nothing outside changes.
    const std::string registry = network() + "/HOST12/registry", outside = dir() + "/outside";
    const std::string hive = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                             "\"Application-HOST12\"=dword:00000007\r\n\r\n";
    const struct {
        const char *what;
        std::string link, target;
        bool hivethere; // outside holds a hive to read
        LONG read;      // RegOpenKeyExA of the program's key
    } rows[] = {
        {"the lock file", registry + "/HKEY_CURRENT_USER.reg.lock", outside + "/made.lock", false,
         ERROR_FILE_NOT_FOUND},
        {"the hive", registry + "/HKEY_CURRENT_USER.reg", outside + "/HKEY_CURRENT_USER.reg", true, ERROR_SUCCESS},
        {"the registry folder", registry, outside, true, ERROR_SUCCESS},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qt::removetree(network() + "/HOST12");
        qt::removetree(outside);
        qt::makedirs(outside);
        qt::makedirs(registry);
        if (row.link != registry) qt::writefile(registry + "/HKEY_LOCAL_MACHINE.reg", "REGEDIT4\r\n");
        if (row.hivethere) qt::writefile(outside + "/HKEY_CURRENT_USER.reg", hive);
        if (row.link == registry) rmdir(registry.c_str());
        ASSERT_EQ(symlink(row.target.c_str(), row.link.c_str()), 0);
        const std::vector<std::string> files = listing(outside);

        HKEY key = SENTINEL;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_ALL_ACCESS, &key), row.read);
        if (row.read == ERROR_SUCCESS) {
            EXPECT_EQ(querystring(key, "Application-HOST12"), std::string("\x07\0\0\0", 4));
            EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_SZ, (const BYTE *)"", 1), ERROR_ACCESS_DENIED);
            RegCloseKey(key);
        }
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\New", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, VERSIONKEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
            << "the local machine's hive was seeded";
        EXPECT_EQ(listing(outside), files);
        if (row.hivethere) {
            EXPECT_EQ(qt::readfile(outside + "/HKEY_CURRENT_USER.reg"), hive);
        }
        struct stat st;
        EXPECT_TRUE(lstat(row.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    }
}

TEST_F(RegHiveFile, RewrittenHiveKeepsOnlyPermissionBits) {
    writehive(hkcu(), "REGEDIT4\r\n\r\n");
    ASSERT_EQ(chmod(hkcu().c_str(), 06777), 0);
    HKEY key = programkey();
    RegCloseKey(key);
    struct stat st;
    ASSERT_EQ(stat(hkcu().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST_F(RegHiveFile, CorruptHiveFailsReadsAndIsNeverOverwritten) {
    const std::string damaged = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                                "\"Application-HOST12\"=dword:0000002a\r\n\"Security-HOST12\"=dword:";
    writehive(hkcu(), damaged + "0000zz\r\n");
    HKEY key = SENTINEL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Other", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, PROGRAMKEY), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(qt::readfile(hkcu()), damaged + "0000zz\r\n");

    // A handle opened before the damage cannot write over it either.
    writehive(hkcu(), damaged + "00000007\r\n");
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    DWORD l = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "security-host12", nullptr, nullptr, (LPBYTE)&l, &size), ERROR_SUCCESS);
    EXPECT_EQ(l, 7u);
    writehive(hkcu(), damaged);
    EXPECT_EQ(RegSetValueExA(key, "System-HOST12", 0, REG_DWORD, (const BYTE *)&l, 4), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegQueryValueExA(key, "Application-HOST12", nullptr, nullptr, (LPBYTE)&l, &size), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(qt::readfile(hkcu()), damaged);
    RegCloseKey(key);
    // The local HKLM is unaffected.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, VERSIONKEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegHiveFile, ChangesFromElsewhereAreSeenAndNoTempFilesStay) {
    HKEY key = programkey();
    setdword(key, "a", 1);
    DWORD v = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "a", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    // Another program rewrites the hive: the next read sees it.
    writehive(hkcu(), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Brantwick\\Quillog]\r\n\"a\"=dword:00000002\r\n"
                      "\"b\"=dword:00000003\r\n");
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "a", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    // A change keeps what the other program wrote.
    setdword(key, "c", 4);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "b", nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 3u);
    RegCloseKey(key);

    EXPECT_EQ(
        listing(network() + "/HOST12/registry"),
        (std::vector<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock", "HKEY_LOCAL_MACHINE.reg"}));
}

TEST_F(RegHiveFile, TwoProcessesSettingValuesLoseNothing) {
    const int perchild = 60;
    HKEY key = programkey();
    RegCloseKey(key);
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            HKEY own;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, nullptr, 0, KEY_WRITE, nullptr, &own, nullptr))
                _exit(1);
            for (int i = 0; i < perchild; ++i) {
                std::string name = "Application-host" + std::to_string(c) + "-" + std::to_string(i);
                DWORD v = (DWORD)(c * 1000 + i);
                if (RegSetValueExA(own, name.c_str(), 0, REG_DWORD, (const BYTE *)&v, 4)) _exit(2);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, PROGRAMKEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < perchild; ++i) {
            std::string name = "APPLICATION-HOST" + std::to_string(c) + "-" + std::to_string(i);
            DWORD v = 0xdeadbeef, size = 4;
            ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (LPBYTE)&v, &size), ERROR_SUCCESS) << name;
            EXPECT_EQ(v, (DWORD)(c * 1000 + i));
        }
    }
    RegCloseKey(key);
}

} // namespace
