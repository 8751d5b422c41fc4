// eventlog.h: the writing half of the emulated event log service.
//
// The reading calls (OpenEventLogA ... CloseEventLog) are declared in
// platform/win32.h. The calls here exist only on POSIX: the program never
// writes events, but tests, benchmarks and the demo tooling build realistic
// logs through them. RegisterEventSourceA/ReportEventA behave as on Windows;
// writeevents gives full control over every field of a record.
#ifndef QUILLOG_POSIX_EVENTLOG_H
#define QUILLOG_POSIX_EVENTLOG_H

#include "platform/win32.h"

#include <string>
#include <vector>

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);

namespace nt {

// One record to append. Text is code page 1252.
struct LogEvent {
    std::string source;
    std::string computer;                     // empty: the name of the computer that owns the log
    DWORD timegenerated = 0, timewritten = 0; // seconds since 1970 (UTC)
    DWORD eventid = 0;
    WORD type = EVENTLOG_INFORMATION_TYPE;
    WORD category = 0;
    std::vector<BYTE> sid; // a binary SID, or empty
    std::vector<std::string> strings;
    std::vector<BYTE> data;
};

// Where records go: the live log of that name on a computer of the network
// (found and created as OpenEventLogA finds it; an empty computer is the
// local one), or, when file is set, that host file (created empty with
// maxsize, default 512 KiB, when missing: an .evtx log when its name ends in
// .evtx, else an .evt log; log names the events of an .evtx log).
struct EventTarget {
    std::string computer;
    std::string log = "Application";
    std::string file;
    DWORD maxsize = 0;
};

// Appends records in order, under one lock: numbers are assigned here and
// *last (optional) receives the last one. The log wraps at its maximum size
// as the service does. Returns 0, RPC_S_SERVER_UNAVAILABLE for an unknown
// computer, ERROR_LOG_FILE_FULL, ERROR_EVENTLOG_FILE_CORRUPT, or the file's
// error.
DWORD writeevents(const EventTarget &target, const std::vector<LogEvent> &events, DWORD *last = nullptr);

} // namespace nt

#endif // QUILLOG_POSIX_EVENTLOG_H
