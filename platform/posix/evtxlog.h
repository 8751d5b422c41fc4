// evtxlog.h: an .evtx log file as the event log service keeps it open.
//
// The reader (evtxfile.h) indexes the file and gives each record's legacy
// view; this unit holds the open file, its lock and its index, serves the
// records by number in the legacy layout (evt::buildrecord) so that the
// service reads them as it reads .evt records, and changes the file as the
// service of Vista and later does: it appends events (the chunks written by
// evtxchunk.h), wraps over the oldest chunk at the log's maximum size, clears
// the log and backs it up.
#ifndef QUILLOG_POSIX_EVTXLOG_H
#define QUILLOG_POSIX_EVTXLOG_H

#include "platform/posix/evtfile.h"
#include "platform/posix/evtxchunk.h"
#include "platform/posix/evtxfile.h"
#include "platform/posix/logstore.h"

#include <string>
#include <sys/stat.h>

namespace nt {
namespace evtx {

// A readers-and-writers lock on the file (flock) keeps every other handle
// and process away while the file changes; and the order of the writes keeps
// a file that a crash interrupts readable at every moment:
//   - the file header is marked dirty first and written whole, clean, last;
//   - a chunk that is continued gets its new records after its free space
//     offset, then its header (counters, offsets, tables, checksums) in one
//     write of 512 bytes: until then it is the chunk it was;
//   - a chunk that is begun loses its signature first (its old records leave
//     the log at once), then gets its records, then its header.
class LogFile : public LogStore {
public:
    LogFile() = default;

    // Opens an existing .evtx file for reading and indexes it: 0, the file's
    // Win32 error code (2, 3, 5; 5 also for anything but a regular file),
    // ERROR_SHARING_VIOLATION when a writer holds it past LockWaitSeconds, or
    // ERROR_EVENTLOG_FILE_CORRUPT for a file that is not an .evtx log.
    DWORD open(const std::string &hostpath) { return openfile(hostpath, false); }
    // Opens a live log for writing as openlive (logstore.h) does, creating
    // an empty log (a header and one empty chunk) when there is none.
    // channel names the log in the events written; maxsize is the log's
    // maximum size when an append gives none.
    DWORD openorcreate(const std::string &hostpath, const std::u16string &channel, uint32_t maxsize,
                       bool maywrite = true);

    DWORD lock(bool exclusive) override;
    void unlock() override;
    DWORD refresh() override;

    size_t count() const override { return reader_.count(); }
    uint32_t oldest() const override { return reader_.oldest(); }
    uint32_t newest() const override { return reader_.newest(); }
    uint32_t current() const override { return (uint32_t)nextid(); }
    uint32_t retention() const override { return 0; }
    bool nearest(uint32_t number, bool forwards, uint32_t *found) override;
    bool record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) override;
    bool ansirecords() const override { return true; }

    // Appends the records as the chunks' events. The file grows a chunk at a
    // time up to maxsize (a header and as many chunks as fit, at least one);
    // then the chunk after the one written last, which holds the oldest
    // records, is begun again and its records leave the log, unless the
    // retention period (seconds; 0xFFFFFFFF never) has not passed for its
    // newest record: ERROR_LOG_FILE_FULL, and the header's full flag is set.
    // An event too large for one chunk gives RPC_S_INVALID_BOUND. A log
    // opened for reading is not written: ERROR_ACCESS_DENIED or
    // ERROR_WRITE_PROTECT.
    DWORD append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) override;
    // Leaves a header that goes on counting identifiers and one empty chunk.
    DWORD clear() override;
    // A clean copy: the chunks in record order from the first slot on, each
    // cut at its free space (the rest zero) with both checksums made again,
    // and a header that is exact and not dirty.
    DWORD backup(const std::string &hostpath) override;

    uint64_t inode() const override { return (uint64_t)id_.st_ino; }
    uint64_t device() const override { return (uint64_t)id_.st_dev; }

private:
    DWORD openfile(const std::string &hostpath, bool writable);
    uint64_t nextid() const;
    DWORD appendlocked(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last);
    DWORD writechunk(ChunkBuilder &b, uint32_t slot, uint32_t from);
    DWORD writeheader(uint64_t first, uint64_t last, uint64_t next, size_t chunks, uint32_t flags);

    std::u16string channel_;
    uint32_t maxsize_ = 0;
    struct stat id_ = {};     // the file as the index last saw it
    uint8_t head_[128] = {0}; // and its header
    evt::FileSource src_{-1};
    Reader reader_;
    bool indexed_ = false;
    Position last_; // the record served last, to find its neighbour at once
    bool haslast_ = false;
    Position near_; // the record nearest found as the neighbour of last_
    bool hasnear_ = false;
    NewRecord view_; // the legacy view of the record being served
};

} // namespace evtx
} // namespace nt

#endif // QUILLOG_POSIX_EVTXLOG_H
