// eventlog.cpp: the event log service over .evt and .evtx files.
//
// Live logs are the files the registry of the computer names
// (HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<Log>, value File; when
// there is none, %SystemRoot%\System32\config\AppEvent.Evt, SecEvent.Evt or
// SysEvent.Evt), created empty on first open as the service does: an .evtx
// log when the name ends in .evtx (Vista and later keep their logs in
// %SystemRoot%\System32\winevt\Logs\*.evtx), else an .evt log; an existing
// file is read and written in the format it has. Backup files are any .evt
// or .evtx file. Reads return records in their ANSI form, whole
// records only, with Windows' error codes: 122 with the size needed when the
// first record does not fit, 38 at the end, 87 for a seek before the oldest
// record. Where Windows is unhelpful this service does better, and says so:
// a dirty copy of a live file opens as a backup (Windows refuses it), a seek
// past the newest record is the end of the log (38), and a clear keeps the
// record numbers going. A sequential reader sees records appended after it
// reached the end: the index is rebuilt whenever the file changed.
//
// Sections: finding live logs, the handle table, reading calls, backup and
// clear, writing calls.
#include "platform/posix/eventlog.h"

#include "platform/posix/common.h"
#include "platform/posix/evtfile.h"
#include "platform/posix/evtxlog.h"
#include "platform/posix/handles.h"
#include "platform/posix/network.h"
#include "platform/posix/paths.h"
#include "platform/posix/security.h"

#include <cctype>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace nt {

namespace {

const DWORD DefaultMaxSize = 512 * 1024;
// The largest read ReadEventLogA accepts: 0x7FFFF bytes.
const DWORD MaxReadSize = 0x7FFFF;
const char EventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
const char VersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char *const StandardLogs[] = {"Application", "System", "Security"};

// ---------------------------------------------------------------- finding live logs

// What the registry of a computer says about one of its logs.
struct LiveLog {
    std::string name;     // Application, System, Security or a registered log
    std::string hostpath; // the log file
    size_t confined = 0;  // length of its drive folder's host path
    std::string computer; // the computer's name, for records written to it
    DWORD maxsize = 0;    // from the registry, 0 when not set there
    DWORD retention = 0;
    bool hasretention = false;
};

class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    HKEY *out() { return &key_; }
    HKEY get() const { return key_; }
    bool open(HKEY parent, const std::string &path) {
        return parent && RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) == ERROR_SUCCESS;
    }

private:
    HKEY key_ = nullptr;
};

bool regstring(HKEY key, const char *name, std::string *out) {
    DWORD type = 0, size = 0;
    if (!key || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<BYTE> buf(size + 1, 0);
    if (RegQueryValueExA(key, name, nullptr, &type, buf.data(), &size) != ERROR_SUCCESS) return false;
    out->assign((const char *)buf.data(), std::min<size_t>(size, buf.size() - 1));
    out->resize(std::strlen(out->c_str()));
    return true;
}

bool regdword(HKEY key, const char *name, DWORD *out) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (!key || RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&value, &size) != ERROR_SUCCESS) return false;
    if (type != REG_DWORD || size != sizeof value) return false;
    *out = value;
    return true;
}

// Replaces every %SystemRoot% (in any case) with the computer's system folder.
// A result longer than a path can be is not built further: it is refused
// as a path anyway.
std::string expandroot(const std::string &value, const std::string &root) {
    static const char var[] = "%systemroot%";
    const size_t n = sizeof var - 1;
    std::string out;
    for (size_t i = 0; i < value.size() && out.size() <= MAX_PATH;) {
        bool hit = value.size() - i >= n;
        for (size_t k = 0; hit && k < n; ++k) hit = std::tolower((unsigned char)value[i + k]) == var[k];
        if (hit) {
            out += root;
            i += n;
        } else {
            out += value[i++];
        }
    }
    return out;
}

std::string lastcomponent(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens HKLM of the computer: the local one for a null or local name.
LONG connecthklm(const char *server, RegKey *hklm) {
    return RegConnectRegistryA(islocal(server) ? nullptr : server, HKEY_LOCAL_MACHINE, hklm->out());
}

// Finds the file of a live log. An unknown log name means the Application
// log, as on Windows; a log registered under the EventLog key with another
// name is a log of its own.
DWORD findlive(const char *server, const char *logname, LiveLog *out) {
    std::string folder;
    if (!computerfolder(server, &folder)) return RPC_S_SERVER_UNAVAILABLE;
    RegKey hklm;
    connecthklm(server, &hklm);
    out->name = "Application";
    for (const char *known : StandardLogs)
        if (nameeq(logname, known)) out->name = known;
    RegKey logkey;
    if (logkey.open(hklm.get(), EventLogKey + std::string(logname))) {
        bool standard = false;
        for (const char *known : StandardLogs) standard = standard || nameeq(logname, known);
        if (!standard) out->name = logname;
    } else {
        logkey.open(hklm.get(), EventLogKey + out->name);
    }

    std::string root = "C:\\WINDOWS", file;
    RegKey version;
    if (version.open(hklm.get(), VersionKey)) regstring(version.get(), "SystemRoot", &root);
    if (!regstring(logkey.get(), "File", &file) || file.empty()) {
        const char *base = out->name == "Application" ? "AppEvent"
                           : out->name == "System"    ? "SysEvent"
                           : out->name == "Security"  ? "SecEvent"
                                                      : out->name.c_str();
        file = "%SystemRoot%\\System32\\config\\" + std::string(base) + ".Evt";
    }
    // The file is one of this computer's own drives: its registry cannot
    // name a host path or another computer's share.
    DWORD rc = drivepathon(folder, expandroot(file, root).c_str(), &out->hostpath, &out->confined);
    if (rc != ERROR_SUCCESS) return rc;
    out->computer = foldtext(lastcomponent(folder));
    out->maxsize = 0;
    DWORD maxsize;
    if (regdword(logkey.get(), "MaxSize", &maxsize) && maxsize)
        out->maxsize = std::max<DWORD>(evt::GrowStep, (maxsize + evt::GrowStep - 1) & ~(evt::GrowStep - 1));
    out->hasretention = regdword(logkey.get(), "Retention", &out->retention);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- the handle table

// An open log (live or backup file) of either format.
struct LogObject : KernelObject {
    static const ObjectType Type = ObjectType::EventLog;
    LogObject(std::unique_ptr<LogStore> store, bool live) : KernelObject(Type), store(std::move(store)), live(live) {}
    const std::unique_ptr<LogStore> store;
    const bool live;              // a live log, not a backup file
    std::vector<uint8_t> scratch; // a split record, joined; a record in the legacy layout
    bool started = false;         // a read has returned records
    DWORD last = 0;               // number of the last record returned
    bool cleared = false;         // another handle cleared the log
};

// A registered event source: where its records go.
struct SourceObject : KernelObject {
    static const ObjectType Type = ObjectType::EventSource;
    SourceObject() : KernelObject(Type) {}
    std::string server, logname, source;
};

// After a clear, the other handles of this process on the same file can no
// longer read it.
void markcleared(const LogObject *by) {
    eachobject(ObjectType::EventLog, [by](KernelObject &o) {
        LogObject &log = static_cast<LogObject &>(o);
        if (&log != by && log.store->inode() == by->store->inode() && log.store->device() == by->store->device())
            log.cleared = true;
    });
}

// Holds a log's shared lock with its index brought up to date.
class ReadLock {
public:
    explicit ReadLock(LogStore &store) : store_(store) {
        rc_ = store_.lock(false);
        locked_ = rc_ == ERROR_SUCCESS;
        if (locked_) rc_ = store_.refresh();
    }
    ~ReadLock() {
        if (locked_) store_.unlock();
    }
    DWORD rc() const { return rc_; }

private:
    LogStore &store_;
    DWORD rc_;
    bool locked_;
};

// The format of a log file: .evtx when it starts with that format's
// signature. A file that does not exist yet (a live log created on first
// use, a file that records are written to) takes the format its name says:
// .evtx for a name ending in .evtx in any case, as the logs of Vista and
// later are named, else .evt. Anything that cannot be read is taken as .evt,
// whose open reports why.
bool isevtx(const std::string &hostpath) {
    uint8_t head[8] = {0};
    int fd = ::open(hostpath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const size_t n = hostpath.size();
        return errno == ENOENT && n > 5 && nameeq(hostpath.substr(n - 5), ".evtx");
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ssize_t n = regular ? pread(fd, head, sizeof head, 0) : 0;
    close(fd);
    return n == (ssize_t)sizeof head && evtx::hassignature(Bytes{head, sizeof head});
}

std::u16string widen(const std::string &s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out += (char16_t)ansitowide((unsigned char)c);
    return out;
}

// Opens a live log (or a file records are written to) in its format,
// creating it when missing (openlive); channel is the log's name, which
// events written to an .evtx log carry.
DWORD openlog(const std::string &hostpath, const std::string &channel, DWORD maxsize, DWORD retention, bool maywrite,
              std::unique_ptr<LogStore> *out) {
    if (isevtx(hostpath)) {
        auto file = std::make_unique<evtx::LogFile>();
        DWORD rc = file->openorcreate(hostpath, widen(channel), maxsize, maywrite);
        *out = std::move(file);
        return rc;
    }
    auto file = std::make_unique<evt::LogFile>();
    DWORD rc = file->openorcreate(hostpath, maxsize, retention, maywrite);
    *out = std::move(file);
    return rc;
}

// ---------------------------------------------------------------- writing

// Logs that records are appended to, kept open so that a long series of
// writes does not index the file again each time.
struct WriterCache {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<LogStore>> files;
};

WriterCache &writers() {
    static WriterCache *w = new WriterCache;
    return *w;
}

evt::NewRecord torecord(const LogEvent &e, const std::string &computer) {
    evt::NewRecord r;
    r.timegenerated = e.timegenerated;
    r.timewritten = e.timewritten;
    r.eventid = e.eventid;
    r.eventtype = e.type;
    r.category = e.category;
    r.source = widen(e.source);
    r.computer = widen(e.computer.empty() ? computer : e.computer);
    r.sid = e.sid;
    for (const std::string &s : e.strings) r.strings.push_back(widen(s));
    r.data = e.data;
    return r;
}

// Appends to the log file at hostpath (the log channel), creating it with
// createsize when it does not exist. maxsize 0 keeps the size the log has.
DWORD appendto(const std::string &hostpath, const std::string &channel, DWORD createsize, DWORD maxsize,
               const DWORD *retention, const std::vector<evt::NewRecord> &recs, DWORD *last, size_t confined = 0) {
    if (DWORD rc = nolinks(hostpath, confined)) return rc;
    WriterCache &w = writers();
    std::lock_guard<std::mutex> guard(w.lock);
    std::unique_ptr<LogStore> &file = w.files[hostpath];
    struct stat st;
    bool same = file && stat(hostpath.c_str(), &st) == 0 && (uint64_t)st.st_ino == file->inode() &&
                (uint64_t)st.st_dev == file->device();
    if (!same) {
        DWORD rc = openlog(hostpath, channel, createsize, retention ? *retention : 0, true, &file);
        if (rc != ERROR_SUCCESS) {
            file.reset();
            return rc;
        }
    }
    uint32_t number = 0;
    DWORD rc = file->append(recs, maxsize, retention ? *retention : file->retention(), &number);
    if (last && !recs.empty() && number) *last = number;
    return rc;
}

DWORD writelive(const char *server, const char *logname, const std::vector<LogEvent> &events, DWORD *last) {
    LiveLog live;
    DWORD rc = findlive(server, logname, &live);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<evt::NewRecord> recs;
    recs.reserve(events.size());
    for (const LogEvent &e : events) recs.push_back(torecord(e, live.computer));
    return appendto(live.hostpath, live.name, live.maxsize ? live.maxsize : DefaultMaxSize, live.maxsize,
                    live.hasretention ? &live.retention : nullptr, recs, last, live.confined);
}

// The ANSI form of a record the log gave: converted here, or as it is when
// the log builds that form itself. As ansiform: *size is the size needed, and
// the form is written to out when it fits cap.
DWORD ansiof(const LogStore &log, Bytes rec, uint8_t *out, uint32_t cap, uint32_t *size) {
    if (!log.ansirecords()) return evt::ansiform(rec, out, cap, size);
    *size = (uint32_t)rec.size;
    if (out && rec.size <= cap) std::memcpy(out, rec.data, rec.size);
    return ERROR_SUCCESS;
}

} // namespace

DWORD writeevents(const EventTarget &target, const std::vector<LogEvent> &events, DWORD *last) {
    if (target.file.empty())
        return writelive(target.computer.empty() ? nullptr : target.computer.c_str(), target.log.c_str(), events, last);
    std::vector<evt::NewRecord> recs;
    recs.reserve(events.size());
    for (const LogEvent &e : events) recs.push_back(torecord(e, localname()));
    DWORD maxsize = target.maxsize ? target.maxsize : DefaultMaxSize;
    return appendto(target.file, target.log, maxsize, target.maxsize, nullptr, recs, last);
}

} // namespace nt

using nt::failwith;
using nt::LogObject;
using nt::SourceObject;

// ---------------------------------------------------------------- opening and closing

/***********************************************************************
 * OpenEventLogA
 *
 * Opens a live log of the local or a remote computer for reading (and
 * clearing). The log's file is created empty when it does not exist yet. A
 * log file the user may read but not write is opened for reading: reading,
 * seeking and backing up work, clearing fails (as an ordinary user may read
 * the Application log on Windows).
 *   lpUNCServerName [I] computer name, with or without leading backslashes;
 *                       NULL or "" for the local computer
 *   lpSourceName    [I] log name; a name that is not a log opens Application
 * RETURNS a handle; NULL with ERROR_INVALID_PARAMETER for a NULL log name,
 * RPC_S_SERVER_UNAVAILABLE for a computer that is not on the network,
 * ERROR_PRIVILEGE_NOT_HELD for the local Security log without the security
 * privilege enabled, ERROR_EVENTLOG_FILE_CORRUPT for a damaged log file, or
 * the file's error.
 */
HANDLE OpenEventLogA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (!lpSourceName) return failwith(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
    nt::LiveLog live;
    DWORD rc = nt::findlive(lpUNCServerName, lpSourceName, &live);
    if (rc != ERROR_SUCCESS) return failwith(rc, (HANDLE) nullptr);
    if (live.name == "Security" && nt::islocal(lpUNCServerName) && !nt::privilegeenabled(SE_SECURITY_NAME))
        return failwith(ERROR_PRIVILEGE_NOT_HELD, (HANDLE) nullptr);
    // A log whose path passes through a link below its drive is read
    // through it, but never written, cleared or created there.
    std::unique_ptr<nt::LogStore> file;
    rc = nt::openlog(live.hostpath, live.name, live.maxsize ? live.maxsize : nt::DefaultMaxSize,
                     live.hasretention ? live.retention : 0, nt::nolinks(live.hostpath, live.confined) == ERROR_SUCCESS,
                     &file);
    if (rc != ERROR_SUCCESS) return failwith(rc, (HANDLE) nullptr);
    return nt::addhandle(std::make_shared<LogObject>(std::move(file), true));
}

/***********************************************************************
 * OpenBackupEventLogA
 *
 * Opens a backed-up log for reading: an .evt file of Windows NT to Server
 * 2003 or an .evtx file of Vista and later, told apart by their signature
 * whatever their name (Vista and later open only .evtx backups; both are
 * read here). Dirty copies of live files (header not updated, end-of-file
 * record or chunks further on) are read whole, which Windows refuses to do.
 * An empty file is not a log.
 *   lpUNCServerName [I] computer that reads the file (NULL or "" local)
 *   lpFileName      [I] the file; drive letters are the local computer's
 * RETURNS a handle; NULL with ERROR_INVALID_PARAMETER for a NULL file name,
 * RPC_S_SERVER_UNAVAILABLE for an unknown computer, ERROR_FILE_NOT_FOUND /
 * ERROR_PATH_NOT_FOUND for a missing file or folder, ERROR_EVENTLOG_FILE_CORRUPT
 * for a file that is not an event log (also an empty one).
 */
HANDLE OpenBackupEventLogA(LPCSTR lpUNCServerName, LPCSTR lpFileName) {
    if (!lpFileName) return failwith(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
    std::string folder;
    if (!nt::islocal(lpUNCServerName) && !nt::computerfolder(lpUNCServerName, &folder))
        return failwith(RPC_S_SERVER_UNAVAILABLE, (HANDLE) nullptr);
    std::string path;
    DWORD rc = nt::hostpath(lpFileName, &path);
    if (rc != ERROR_SUCCESS) return failwith(rc, (HANDLE) nullptr);
    // .evt and .evtx files alike, told apart by their signature.
    std::unique_ptr<nt::LogStore> store;
    if (nt::isevtx(path)) {
        auto file = std::make_unique<nt::evtx::LogFile>();
        rc = file->open(path);
        store = std::move(file);
    } else {
        auto file = std::make_unique<nt::evt::LogFile>();
        rc = file->open(path, false);
        store = std::move(file);
    }
    if (rc != ERROR_SUCCESS) return failwith(rc, (HANDLE) nullptr);
    return nt::addhandle(std::make_shared<LogObject>(std::move(store), false));
}

/***********************************************************************
 * CloseEventLog
 *
 * Closes a handle from OpenEventLogA or OpenBackupEventLogA.
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
 */
BOOL CloseEventLog(HANDLE hEventLog) {
    if (!nt::removehandle(hEventLog, nt::ObjectType::EventLog)) return failwith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

// ---------------------------------------------------------------- reading

/***********************************************************************
 * ReadEventLogA
 *
 * Reads whole records in their ANSI form, as many as fit, from the record
 * after (or before) the last one returned (sequential) or from a given
 * record number (seek), forwards or backwards.
 *   pnBytesRead              [O] bytes copied (on success and on 122)
 *   pnMinNumberOfBytesNeeded [O] 0 on success; on 122, the size of the record
 *                                that did not fit
 * RETURNS TRUE; FALSE with ERROR_INVALID_PARAMETER for a NULL buffer or
 * output pointer, a size over 0x7FFFF bytes (unless the first record to read
 * is itself larger: it is then read alone), flags that are not one of
 * SEQUENTIAL/SEEK and one of FORWARDS/BACKWARDS, or a seek before the oldest
 * record; ERROR_SHARING_VIOLATION when a writer of another process holds the
 * log past the lock wait;
 * ERROR_INVALID_HANDLE; ERROR_HANDLE_EOF when there is nothing more to read
 * (also for a seek past the newest record); ERROR_INSUFFICIENT_BUFFER;
 * ERROR_EVENTLOG_FILE_CHANGED when the log was cleared through another handle
 * or the records a sequential read would continue with were overwritten;
 * ERROR_EVENTLOG_FILE_CORRUPT for a damaged record. The outputs are only
 * written on success and on ERROR_INSUFFICIENT_BUFFER.
 */
BOOL ReadEventLogA(HANDLE hEventLog, DWORD dwReadFlags, DWORD dwRecordOffset, LPVOID lpBuffer,
                   DWORD nNumberOfBytesToRead, DWORD *pnBytesRead, DWORD *pnMinNumberOfBytesNeeded) {
    if (!lpBuffer || !pnBytesRead || !pnMinNumberOfBytesNeeded) return failwith(ERROR_INVALID_PARAMETER, FALSE);
    const DWORD mode = dwReadFlags & (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ);
    const DWORD dir = dwReadFlags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ);
    if ((mode != EVENTLOG_SEQUENTIAL_READ && mode != EVENTLOG_SEEK_READ) ||
        (dir != EVENTLOG_FORWARDS_READ && dir != EVENTLOG_BACKWARDS_READ))
        return failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<LogObject> obj = nt::findhandle<LogObject>(hEventLog);
    if (!obj) return failwith(ERROR_INVALID_HANDLE, FALSE);
    if (obj->cleared) return failwith(ERROR_EVENTLOG_FILE_CHANGED, FALSE);

    nt::LogStore &log = *obj->store;
    nt::ReadLock guard(log);
    if (guard.rc() != ERROR_SUCCESS) return failwith(guard.rc(), FALSE);
    const bool forwards = dir == EVENTLOG_FORWARDS_READ;
    const size_t count = log.count();
    // Serial-number comparisons, so numbering past 0xFFFFFFFF still orders.
    auto before = [](DWORD a, DWORD b) { return (int32_t)(a - b) < 0; };
    DWORD number = 0;
    if (mode == EVENTLOG_SEEK_READ) {
        if (!count || before(log.newest(), dwRecordOffset)) return failwith(ERROR_HANDLE_EOF, FALSE);
        if (before(dwRecordOffset, log.oldest())) return failwith(ERROR_INVALID_PARAMETER, FALSE);
        // In a log with gaps (an .evtx file whose damaged chunks were left
        // out), a number in a gap reads from the nearest record that way.
        if (!log.nearest(dwRecordOffset, forwards, &number)) return failwith(ERROR_HANDLE_EOF, FALSE);
    } else if (!obj->started) {
        if (!count) return failwith(ERROR_HANDLE_EOF, FALSE);
        number = forwards ? log.oldest() : log.newest();
    } else {
        const DWORD next = forwards ? obj->last + 1 : obj->last - 1;
        const bool early = before(next, count ? log.oldest() : log.current());
        const bool late = !count || before(log.newest(), next);
        if (early || late || !log.nearest(next, forwards, &number)) {
            // Forwards, a next record older than the oldest one was lost.
            bool lost = forwards ? early : !early && count;
            return failwith(lost ? ERROR_EVENTLOG_FILE_CHANGED : ERROR_HANDLE_EOF, FALSE);
        }
    }

    // The read size has a documented maximum, which the remote protocol
    // declares as its range; systems since Vista refuse a larger one. The code
    // they give is not verified: ERROR_INVALID_PARAMETER is the one a
    // parameter out of range gets here. A record that is itself larger can
    // only be read alone, with a request of its size.
    const bool oversize = nNumberOfBytesToRead > nt::MaxReadSize;
    uint8_t *out = (uint8_t *)lpBuffer;
    DWORD copied = 0, last = 0, rc = ERROR_SUCCESS;
    for (;;) {
        nt::Bytes rec;
        uint32_t size = 0;
        if (!log.record(number, !forwards, &obj->scratch, &rec)) {
            rc = ERROR_EVENTLOG_FILE_CORRUPT;
            break;
        }
        rc = nt::ansiof(log, rec, out + copied, oversize && !copied ? 0 : nNumberOfBytesToRead - copied, &size);
        if (rc != ERROR_SUCCESS) break;
        if (oversize && !copied) {
            if (size <= nt::MaxReadSize) return failwith(ERROR_INVALID_PARAMETER, FALSE);
            if (size <= nNumberOfBytesToRead) rc = nt::ansiof(log, rec, out, size, &size);
            if (rc != ERROR_SUCCESS) break;
        }
        if (size > nNumberOfBytesToRead - copied) {
            if (copied) break;
            *pnBytesRead = 0;
            *pnMinNumberOfBytesNeeded = size;
            return failwith(ERROR_INSUFFICIENT_BUFFER, FALSE);
        }
        copied += size;
        last = number;
        if (oversize || number == (forwards ? log.newest() : log.oldest()) ||
            !log.nearest(forwards ? number + 1 : number - 1, forwards, &number))
            break;
    }
    if (!copied) return failwith(rc, FALSE);
    obj->started = true;
    obj->last = last;
    *pnBytesRead = copied;
    *pnMinNumberOfBytesNeeded = 0;
    return TRUE;
}

/***********************************************************************
 * GetOldestEventLogRecord
 *
 *   OldestRecord [O] number of the oldest record; 0 for an empty log
 * RETURNS TRUE; FALSE with ERROR_INVALID_PARAMETER for a NULL pointer,
 * ERROR_INVALID_HANDLE (output untouched), ERROR_EVENTLOG_FILE_CORRUPT.
 */
BOOL GetOldestEventLogRecord(HANDLE hEventLog, PDWORD OldestRecord) {
    if (!OldestRecord) return failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<LogObject> obj = nt::findhandle<LogObject>(hEventLog);
    if (!obj) return failwith(ERROR_INVALID_HANDLE, FALSE);
    nt::ReadLock guard(*obj->store);
    if (guard.rc() != ERROR_SUCCESS) return failwith(guard.rc(), FALSE);
    *OldestRecord = obj->store->oldest();
    return TRUE;
}

/***********************************************************************
 * GetNumberOfEventLogRecords
 *
 *   NumberOfRecords [O] number of records in the log; 0 for an empty log
 * RETURNS TRUE; FALSE with ERROR_INVALID_PARAMETER for a NULL pointer,
 * ERROR_INVALID_HANDLE (output untouched), ERROR_EVENTLOG_FILE_CORRUPT.
 */
BOOL GetNumberOfEventLogRecords(HANDLE hEventLog, PDWORD NumberOfRecords) {
    if (!NumberOfRecords) return failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<LogObject> obj = nt::findhandle<LogObject>(hEventLog);
    if (!obj) return failwith(ERROR_INVALID_HANDLE, FALSE);
    nt::ReadLock guard(*obj->store);
    if (guard.rc() != ERROR_SUCCESS) return failwith(guard.rc(), FALSE);
    *NumberOfRecords = (DWORD)obj->store->count();
    return TRUE;
}

// ---------------------------------------------------------------- backup and clear

/***********************************************************************
 * BackupEventLogA
 *
 * Writes the log (live or backup handle) to a new file in the log's own
 * format, as Vista and later write an .evtx log whatever the file's name:
 * records oldest first, unwrapped, header clean.
 *   lpBackupFileName [I] the new file; drive letters are the local computer's
 * RETURNS TRUE; FALSE with ERROR_INVALID_PARAMETER for a NULL name,
 * ERROR_INVALID_HANDLE, ERROR_ALREADY_EXISTS when the file exists (nothing
 * is written then), or the file's error.
 */
BOOL BackupEventLogA(HANDLE hEventLog, LPCSTR lpBackupFileName) {
    if (!lpBackupFileName) return failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<LogObject> obj = nt::findhandle<LogObject>(hEventLog);
    if (!obj) return failwith(ERROR_INVALID_HANDLE, FALSE);
    std::string path;
    DWORD rc = nt::writepath(lpBackupFileName, &path);
    if (rc == ERROR_SUCCESS) rc = obj->store->backup(path);
    if (rc != ERROR_SUCCESS) return failwith(rc, FALSE);
    return TRUE;
}

/***********************************************************************
 * ClearEventLogA
 *
 * Empties a live log, after backing it up when a file name is given. Record
 * numbers go on from where they were, so a dump followed by a clear never
 * makes later records look older than a saved bookmark. Other handles of
 * this process on the log can no longer read it
 * (ERROR_EVENTLOG_FILE_CHANGED).
 *   lpBackupFileName [I] optional backup file
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE (also for a backup-file
 * handle), ERROR_ALREADY_EXISTS when the backup file exists (the log is not
 * cleared then), ERROR_ACCESS_DENIED or ERROR_WRITE_PROTECT for a log that
 * was opened for reading only, or the file's error.
 */
BOOL ClearEventLogA(HANDLE hEventLog, LPCSTR lpBackupFileName) {
    std::shared_ptr<LogObject> obj = nt::findhandle<LogObject>(hEventLog);
    if (!obj || !obj->live) return failwith(ERROR_INVALID_HANDLE, FALSE);
    if (lpBackupFileName) {
        std::string path;
        DWORD rc = nt::writepath(lpBackupFileName, &path);
        if (rc == ERROR_SUCCESS) rc = obj->store->backup(path);
        if (rc != ERROR_SUCCESS) return failwith(rc, FALSE);
    }
    DWORD rc = obj->store->clear();
    if (rc != ERROR_SUCCESS) return failwith(rc, FALSE);
    nt::markcleared(obj.get());
    return TRUE;
}

// ---------------------------------------------------------------- writing

/***********************************************************************
 * RegisterEventSourceA
 *
 * Returns a handle for ReportEventA. The source's log is the standard log
 * (Application, System, Security) whose EventLog key has a subkey named
 * after the source; Application when none has.
 *   lpUNCServerName [I] computer (NULL or "" local)
 *   lpSourceName    [I] source name
 * RETURNS a handle; NULL with ERROR_INVALID_PARAMETER for a NULL source or
 * RPC_S_SERVER_UNAVAILABLE for an unknown computer.
 */
HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (!lpSourceName) return failwith(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
    std::string folder;
    if (!nt::computerfolder(lpUNCServerName, &folder)) return failwith(RPC_S_SERVER_UNAVAILABLE, (HANDLE) nullptr);
    auto obj = std::make_shared<SourceObject>();
    obj->server = lpUNCServerName ? lpUNCServerName : "";
    obj->source = lpSourceName;
    obj->logname = "Application";
    nt::RegKey hklm;
    nt::connecthklm(lpUNCServerName, &hklm);
    for (const char *log : nt::StandardLogs) {
        nt::RegKey key;
        if (key.open(hklm.get(), nt::EventLogKey + std::string(log) + "\\" + lpSourceName)) {
            obj->logname = log;
            break;
        }
    }
    return nt::addhandle(std::move(obj));
}

/***********************************************************************
 * ReportEventA
 *
 * Appends a record to the source's log, stamped with the current time and
 * the name of the computer that owns the log.
 *   wType, wCategory, dwEventID [I] the record's fields
 *   lpUserSid   [I] optional SID
 *   wNumStrings [I] number of insertion strings in lpStrings
 *   dwDataSize  [I] bytes of binary data at lpRawData
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for a handle that is not an
 * event source, ERROR_INVALID_PARAMETER for missing strings or data or a
 * malformed SID, ERROR_LOG_FILE_FULL, or the file's error.
 */
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData) {
    std::shared_ptr<SourceObject> obj = nt::findhandle<SourceObject>(hEventLog);
    if (!obj) return failwith(ERROR_INVALID_HANDLE, FALSE);
    if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) return failwith(ERROR_INVALID_PARAMETER, FALSE);
    nt::LogEvent e;
    e.source = obj->source;
    e.timegenerated = e.timewritten = (DWORD)time(nullptr);
    e.eventid = dwEventID;
    e.type = wType;
    e.category = wCategory;
    if (lpUserSid) {
        if (!IsValidSid(lpUserSid)) return failwith(ERROR_INVALID_PARAMETER, FALSE);
        const BYTE *sid = (const BYTE *)lpUserSid;
        e.sid.assign(sid, sid + GetLengthSid(lpUserSid));
    }
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (!lpStrings[i]) return failwith(ERROR_INVALID_PARAMETER, FALSE);
        e.strings.push_back(lpStrings[i]);
    }
    if (dwDataSize) e.data.assign((const BYTE *)lpRawData, (const BYTE *)lpRawData + dwDataSize);
    const char *server = obj->server.empty() ? nullptr : obj->server.c_str();
    DWORD rc = nt::writelive(server, obj->logname.c_str(), {e}, nullptr);
    if (rc != ERROR_SUCCESS) return failwith(rc, FALSE);
    return TRUE;
}

/***********************************************************************
 * DeregisterEventSource
 *
 * Closes a handle from RegisterEventSourceA.
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
 */
BOOL DeregisterEventSource(HANDLE hEventLog) {
    if (!nt::removehandle(hEventLog, nt::ObjectType::EventSource)) return failwith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}
