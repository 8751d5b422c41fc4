// logstore.h: what the event log service needs of a log file, whatever its
// format: its lock, its range, its records by number in their native form,
// and the changes (append, backup, clear).
//
// The NT format (.evt, evtfile.h) and the Vista format (.evtx, evtxlog.h)
// each give one; the service (eventlog.cpp) sees only this interface, so the
// legacy calls behave alike on both. Record numbers are serial numbers: they
// wrap past 0xFFFFFFFF, and comparisons are made on their difference. How a
// live log of either format is opened, or created on first use, is here too.
#ifndef QUILLOG_POSIX_LOGSTORE_H
#define QUILLOG_POSIX_LOGSTORE_H

#include "platform/posix/common.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace nt {

// A record to append, with every field under the caller's control; also the
// legacy view of a record that a format without the legacy layout (.evtx)
// gives, from which the legacy bytes are made (evt::buildrecord).
struct NewRecord {
    uint32_t timegenerated = 0, timewritten = 0, eventid = 0;
    uint16_t eventtype = 0, category = 0;
    std::u16string source, computer;
    std::vector<uint8_t> sid;
    std::vector<std::u16string> strings;
    std::vector<uint8_t> data;

    bool operator==(const NewRecord &o) const {
        return timegenerated == o.timegenerated && timewritten == o.timewritten && eventid == o.eventid &&
               eventtype == o.eventtype && category == o.category && source == o.source && computer == o.computer &&
               sid == o.sid && strings == o.strings && data == o.data;
    }
};

class LogStore {
public:
    LogStore() = default;
    LogStore(const LogStore &) = delete;
    LogStore &operator=(const LogStore &) = delete;
    virtual ~LogStore(); // closes the file

    // The file's lock: shared for readers, exclusive for writers, so that no
    // writer changes the file under a reader of another handle or process.
    // Waited for at most LockWaitSeconds: 0 or ERROR_SHARING_VIOLATION.
    virtual DWORD lock(bool exclusive) = 0;
    virtual void unlock() = 0;
    // Brings the index up to date when another writer changed the file.
    // Called under the lock: 0 or ERROR_EVENTLOG_FILE_CORRUPT.
    virtual DWORD refresh() = 0;

    virtual size_t count() const = 0;
    // The numbers of the oldest and the newest record; 0 for an empty log.
    virtual uint32_t oldest() const = 0;
    virtual uint32_t newest() const = 0;
    // The number the next record appended gets.
    virtual uint32_t current() const = 0;
    // The retention period the file records (seconds), for appends whose
    // registry sets none.
    virtual uint32_t retention() const = 0;

    // The record numbered number when there is one; else, in a log whose
    // numbers have gaps, the nearest record after it (forwards) or before it
    // (backwards). False when there is none that way.
    virtual bool nearest(uint32_t number, bool forwards, uint32_t *found) = 0;
    // The bytes of the record numbered number, in scratch or in the file's
    // window, valid until the next call: native (UTF-16), or the ANSI form
    // already when ansirecords() says so (a format that builds each record
    // from its fields builds that form at once). backwards hints that the
    // next requests go towards older records. False when the record's bytes
    // no longer hold.
    virtual bool record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) = 0;
    virtual bool ansirecords() const { return false; }

    // Appends records (their numbers are assigned here; *last receives the
    // number of the last one), at the log's maximum size overwriting the
    // oldest as the service does, unless the retention period forbids it
    // (ERROR_LOG_FILE_FULL).
    virtual DWORD append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) = 0;
    // Writes the log to a new file (ERROR_ALREADY_EXISTS when it exists), in
    // the log's own format, so that it opens as a backup with the same
    // records.
    virtual DWORD backup(const std::string &hostpath) = 0;
    // Empties the log; record numbers go on from where they were, so a dump
    // followed by a clear never makes later records look older than what was
    // already read.
    virtual DWORD clear() = 0;

    // The file's identity, to tell two handles on one file.
    virtual uint64_t inode() const = 0;
    virtual uint64_t device() const = 0;

protected:
    // Opens the log file at hostpath (openlogfile) in place of the one held:
    // 0 with the file's status in *st, or the file's code, the file held
    // then kept.
    DWORD adopt(const std::string &hostpath, bool writable, struct stat *st);

    int fd_ = -1;
    bool writable_ = false;
    DWORD denied_ = ERROR_ACCESS_DENIED; // why a file open for reading may not be written
};

// Opens a log file for reading, or reading and writing: the descriptor in
// *fd and the file's status in *st, or the file's Win32 code (5 for anything
// but a regular file). Opened without blocking, so that a FIFO in the log's
// place is refused instead of waiting for a writer.
DWORD openlogfile(const std::string &hostpath, bool writable, int *fd, struct stat *st);

// Opens a live log file for writing through open(true), creating it first
// (its folders too) from image() when it does not exist; the new file is
// written whole under a temporary name and linked into place, so another
// process never sees a half-made log and two creators cannot collide. A log
// that may be read but not written (another account's file, a read-only
// file system) is opened for reading through open(false), and *denied
// receives why (ERROR_ACCESS_DENIED or ERROR_WRITE_PROTECT) for the writes
// that will fail. Without maywrite (the path passes through a link that a
// write must not follow) the file is only opened for reading, and a missing
// one is not created: ERROR_ACCESS_DENIED.
DWORD openlive(const std::string &hostpath, bool maywrite, const std::function<DWORD(bool writable)> &open,
               const std::function<std::vector<uint8_t>()> &image, DWORD *denied);

} // namespace nt

#endif // QUILLOG_POSIX_LOGSTORE_H
