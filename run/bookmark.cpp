// bookmark.cpp: the bookmark store.
//
// For every log and computer the registry of the machine running the program
// keeps, under SOFTWARE\Brantwick\Quillog of the chosen hive, the number of
// the last record a completed dump processed (a REG_DWORD named
// "<LogName>-<computer>"). The next incremental run continues after it and
// reports records lost, or a log wrapped or cleared, with ExitWarning.
#include "run/bookmark.h"

#include "console/console.h"

#include <cstring>
#include <vector>

const char VersionText[] = "V1.7.1";

namespace {

const char ProgramKey[] = "SOFTWARE\\Brantwick\\Quillog";
const char ProgramParent[] = "SOFTWARE\\Brantwick";
const char LegacyKey[] = "SOFTWARE\\BrantwickWare\\Quillog";
const char LegacyParent[] = "SOFTWARE\\BrantwickWare";
const REGSAM MigrateAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
const size_t BookmarkNameSize = 100;
const DWORD ValueNameSize = 261;

} // namespace

void uninstall() {
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        RegDeleteKeyA(hive, ProgramKey);
        RegDeleteKeyA(hive, ProgramParent);
    }
    msgout("Brantwick Quillog has been successfully uninstalled\n");
}

// The legacy key is deleted only when every one of its values was read and
// written into the program's key; otherwise it stays, and the next start
// tries again, so no value is ever lost.
void migratekey(HKEY hive) {
    HKEY legacy, program;
    if (RegOpenKeyExA(hive, LegacyKey, 0, KEY_READ, &legacy) != ERROR_SUCCESS) return;
    if (RegCreateKeyExA(hive, ProgramKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MigrateAccess, nullptr, &program,
                        nullptr) != ERROR_SUCCESS) {
        RegCloseKey(legacy);
        return;
    }
    bool complete = true;
    for (DWORD index = 0;; ++index) {
        char name[ValueNameSize];
        DWORD namelen = ValueNameSize;
        DWORD type = 0, size = 0;
        LONG rc = RegEnumValueA(legacy, index, name, &namelen, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) {
            if (rc != ERROR_NO_MORE_ITEMS) complete = false;
            break;
        }
        // One spare zero byte: a string stored without its terminator is
        // written back with the registry's look at the byte after the data.
        std::vector<BYTE> data((size_t)size + 1, 0);
        DWORD got = size;
        rc = RegQueryValueExA(legacy, name, nullptr, &type, data.data(), &got);
        if (rc == ERROR_SUCCESS) rc = RegSetValueExA(program, name, 0, type, data.data(), got);
        if (rc != ERROR_SUCCESS) complete = false;
    }
    RegCloseKey(legacy);
    RegCloseKey(program);
    if (complete) {
        RegDeleteKeyA(hive, LegacyKey);
        RegDeleteKeyA(hive, LegacyParent);
    }
}

void bookmarkname(const char *logname, const char *computer, char name[100]) {
    size_t len = strlen(logname);
    if (len + 1 >= BookmarkNameSize) {
        msgout("internal error, main, #1\n");
        fatalexit();
    }
    memcpy(name, logname, len);
    name[len++] = '-';
    name[len] = 0;
    if (computer) {
        size_t clen = strlen(computer);
        if (len + clen >= BookmarkNameSize) {
            msgout("internal error, main, #1\n");
            fatalexit();
        }
        memcpy(name + len, computer, clen + 1);
        return;
    }
    DWORD size = (DWORD)(BookmarkNameSize - 1 - len);
    if (!GetComputerNameA(name + len, &size)) {
        msgout("==>GetComputerName rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    if (len + size >= BookmarkNameSize) {
        msgout("internal error, main, #1\n");
        fatalexit();
    }
    name[len + size] = 0;
}

bool getstartrec(HANDLE log, HKEY hive, const char *name, DWORD *start) {
    DWORD last = 0;
    HKEY key;
    LONG rc = RegCreateKeyExA(hive, ProgramKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        msgout("==>RegCreateKeyEx rc=%ld\n", (long)rc);
        raiseexit(ExitWarning);
    } else {
        // A value of another type or size than the 4-byte number is not a
        // bookmark: it counts as none.
        DWORD value = 0, type = REG_NONE, size = sizeof value;
        if (RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)&value, &size) == ERROR_SUCCESS && type == REG_DWORD &&
            size == sizeof value)
            last = value;
        RegCloseKey(key);
    }
    DWORD oldest, count;
    if (!GetOldestEventLogRecord(log, &oldest)) {
        msgout("==>GetOldestEventLogRecord rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    if (!GetNumberOfEventLogRecords(log, &count)) {
        msgout("==>GetNumberOfEventLogRecords rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    DWORD newest = oldest + count - 1;
    if (last < oldest) {
        msgout("==>LastProcessed (%lu) < Oldest (%lu), log records lost\n", (unsigned long)last, (unsigned long)oldest);
        raiseexit(ExitWarning);
        *start = oldest;
    } else if (last < newest) {
        *start = last + 1;
    } else if (last == newest) {
        msgout("Newest(%lu) == LastProcessed (%lu), no records to process\n", (unsigned long)newest,
               (unsigned long)last);
        return false;
    } else {
        msgout("==>Newest(%lu) < LastProcessed (%lu), log wrapped or was cleared\n", (unsigned long)newest,
               (unsigned long)last);
        raiseexit(ExitWarning);
        *start = oldest;
    }
    msgout("process event log records starting with %lu\n", (unsigned long)*start);
    return true;
}

void savebookmark(HKEY hive, const char *name, DWORD last) {
    HKEY key;
    LONG rc = RegCreateKeyExA(hive, ProgramKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        msgout("==>RegCreateKeyEx rc=%ld\n", (long)rc);
        raiseexit(ExitWarning);
        return;
    }
    rc = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&last, sizeof last);
    if (rc != ERROR_SUCCESS) {
        msgout("==>RegSetValueEx name=%s rc=%ld\n", name, (long)rc);
        raiseexit(ExitWarning);
    }
    rc = RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)VersionText, sizeof VersionText);
    if (rc != ERROR_SUCCESS) {
        msgout("==>RegSetValueEx name=%s rc=%ld\n", "Version", (long)rc);
        raiseexit(ExitWarning);
    }
    RegCloseKey(key);
}
