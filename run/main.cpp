// main.cpp: the run sequence.
//
// One run dumps one event log into the output file: parse the command line,
// read the settings, open the log (live, a backed-up file, or make a backup
// copy), decide where to start, append one line per record, save the
// bookmark, clear the log if asked, and end with the elapsed time and the exit
// code (0 clean, 1 warning, 2 error).
#include "config/options.h"
#include "config/settings.h"
#include "console/console.h"
#include "lookup/accounts.h"
#include "output/outfile.h"
#include "output/writerec.h"
#include "run/bookmark.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Size of the read buffer: whole records are read into it and handled in place.
const DWORD ReadBufferSize = 1048500;
// The most one read asks for: the documented maximum of a read, which systems
// since Vista enforce. A record that needs more is read again on its own.
const DWORD ReadRequestSize = 0x7FFFF;
const size_t DateTextSize = 100;

// Enables the security privilege needed to read the local Security log. A
// token that cannot be opened is ignored; a privilege that cannot be enabled
// stops the run.
void enablesecurity() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES tp;
    if (LookupPrivilegeValueA(nullptr, SE_SECURITY_NAME, &tp.Privileges[0].Luid)) {
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    }
    DWORD rc = GetLastError();
    if (rc != ERROR_SUCCESS) {
        msgout("Unable to obtain SecurityName privilege, rc=%lu\n", (unsigned long)rc);
        fatalexit();
    }
    CloseHandle(token);
}

HANDLE openlive() {
    HANDLE log = OpenEventLogA(Options.Computer, Options.LogName);
    if (!log) {
        msgout("==>OpenEventLog(%s,%s) rc=%lu\n", Options.Computer ? Options.Computer : "NULL", Options.LogName,
               (unsigned long)GetLastError());
        fatalexit();
    }
    return log;
}

// Reads the next block of records into buffer. Each read asks for at most
// ReadRequestSize bytes; a record that needs more, but fits the buffer, is
// read again asking for its size. False at the end of the log; any other
// failure ends the run.
bool readblock(HANDLE log, DWORD flags, DWORD offset, BYTE *buffer, DWORD *bytesread) {
    DWORD needed = 0;
    BOOL ok = ReadEventLogA(log, flags, offset, buffer, ReadRequestSize, bytesread, &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > ReadRequestSize && needed <= ReadBufferSize)
        ok = ReadEventLogA(log, flags, offset, buffer, needed, bytesread, &needed);
    if (ok) return true;
    DWORD rc = GetLastError();
    if (rc == ERROR_HANDLE_EOF) return false;
    msgout("==>ReadEventLog rc=%lu cbReq=%lu\n", (unsigned long)rc, (unsigned long)needed);
    fatalexit();
}

// Reads the log forwards in blocks and hands every record to writerec. The
// first read of an incremental run seeks to the starting record; later reads
// continue sequentially. Returns the number of records written and updates
// *last to the number of the last record handed on.
DWORD dumprecords(HANDLE log, HANDLE out, DWORD flags, DWORD offset, DWORD *last) {
    BYTE *buffer = (BYTE *)LocalAlloc(LMEM_FIXED, ReadBufferSize);
    if (!buffer) {
        msgout("==>out of memory, LocalAlloc failed, rc=%lu", (unsigned long)GetLastError());
        fatalexit();
    }
    DWORD count = 0, bytesread = 0;
    while (readblock(log, flags, offset, buffer, &bytesread)) {
        flags = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
        BYTE *pos = buffer;
        while (bytesread > 0) {
            EVENTLOGRECORD *rec = (EVENTLOGRECORD *)pos;
            DWORD length = rec->Length;
            if (bytesread < sizeof(EVENTLOGRECORD) || length < sizeof(EVENTLOGRECORD) || length > bytesread)
                internalerror("main", 2);
            DWORD number = rec->RecordNumber;
            writerec(out, ++count, rec);
            *last = number;
            offset = number;
            bytesread -= length;
            pos += length;
        }
    }
    return count;
}

} // namespace

int main(int argc, char **argv) {
    // Only an argument that is exactly "/u" asks for the uninstall: a path
    // such as /outfile=c:/users/x.txt merely contains the two characters.
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "/u") == 0) {
            uninstall();
            return ExitClean;
        }
    }
    migratekey(HKEY_LOCAL_MACHINE);
    migratekey(HKEY_CURRENT_USER);
    ExitCode = ExitClean;

    SYSTEMTIME now;
    char datetext[DateTextSize] = "", timetext[DateTextSize] = "";
    GetLocalTime(&now);
    GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, nullptr, datetext, (int)DateTextSize);
    GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, nullptr, timetext, (int)DateTextSize);
    datetext[DateTextSize - 1] = 0;
    timetext[DateTextSize - 1] = 0;
    msgout("%s %s\n", datetext, timetext);
    msgout("Brantwick Quillog %s\n", VersionText);
    DWORD starttick = GetTickCount();
    resetaccounts();

    if (!parseargs(argc, argv)) {
        printusage();
        return ExitError;
    }
    readini();
    printsettings();

    if (lstrcmpiA(Options.LogTypeCode, "SEC") == 0 && !Options.Computer) enablesecurity();

    HANDLE log;
    DWORD count = 0;
    if (Options.Backup) {
        log = openlive();
        if (!backupoutput(log)) raiseexit(ExitError);
    } else {
        if (Options.LogFile) {
            log = OpenBackupEventLogA(nullptr, Options.LogFile);
            if (!log) {
                msgout("==>OpenBackupEventLog(%s) rc=%lu\n", Options.LogFile, (unsigned long)GetLastError());
                fatalexit();
            }
            Options.All = true;
            Options.Clear = false;
        } else {
            log = openlive();
        }

        char name[100];
        bookmarkname(Options.LogName, Options.Computer, name);

        // The bookmark names the last record handed to writerec. Until one
        // is, it stays the record the run continues after (start - 1), so a
        // run that dumps nothing never moves the bookmark.
        DWORD flags, offset = 0, last;
        bool work = true;
        if (Options.All) {
            flags = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
            offset = 0;
            last = 0;
            msgout("process all event log records\n");
        } else {
            flags = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
            work = getstartrec(log, Options.BookmarkHive, name, &offset);
            last = offset - 1;
        }

        if (work) {
            HANDLE out = openoutput();
            count = dumprecords(log, out, flags, offset, &last);
            CloseHandle(out);
            msgout("last event log record processed = %lu\n", (unsigned long)last);
            if (!Options.LogFile) savebookmark(Options.BookmarkHive, name, last);
            if (Options.Clear) {
                msgout("clearing event log\n");
                if (!ClearEventLogA(log, nullptr)) {
                    msgout("==>ClearEventLog failed, rc=%lu\n", (unsigned long)GetLastError());
                    raiseexit(ExitWarning);
                }
            }
        }
    }

    CloseEventLog(log);
    DWORD endtick = GetTickCount();
    msgout("Elapsed time=%6.3f seconds, NumRecs=%lu\n\n", ((double)endtick - (double)starttick) * 0.001,
           (unsigned long)count);
    fflush(stdout);
    return ExitCode;
}
