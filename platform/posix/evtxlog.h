// evtxlog.h: an .evtx log file as the event log service keeps it open.
//
// The reader (evtxfile.h) indexes the file and gives each record's legacy
// view; this unit holds the open file, its lock and its index, serves the
// records by number in the legacy layout (evt::buildrecord) so that the
// service reads them as it reads .evt records, and backs the log up.
#ifndef QUILLOG_POSIX_EVTXLOG_H
#define QUILLOG_POSIX_EVTXLOG_H

#include "platform/posix/evtfile.h"
#include "platform/posix/evtxfile.h"
#include "platform/posix/logstore.h"

#include <string>
#include <sys/stat.h>

namespace nt {
namespace evtx {

class LogFile : public LogStore {
public:
    LogFile() = default;
    ~LogFile() override;
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // Opens an existing .evtx file for reading and indexes it: 0, the file's
    // Win32 error code (2, 3, 5; 5 also for anything but a regular file),
    // ERROR_SHARING_VIOLATION when a writer holds it past LockWaitSeconds, or
    // ERROR_EVENTLOG_FILE_CORRUPT for a file that is not an .evtx log.
    DWORD open(const std::string &hostpath);

    DWORD lock(bool exclusive) override;
    void unlock() override;
    DWORD refresh() override;

    size_t count() const override { return reader_.count(); }
    uint32_t oldest() const override { return reader_.oldest(); }
    uint32_t newest() const override { return reader_.newest(); }
    uint32_t current() const override { return reader_.count() ? reader_.newest() + 1 : 1; }
    uint32_t retention() const override { return 0; }
    bool nearest(uint32_t number, bool forwards, uint32_t *found) override;
    bool record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) override;

    // A log opened for reading is not written: ERROR_ACCESS_DENIED.
    DWORD append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) override;
    DWORD clear() override;
    // A copy of the file as it is, byte for byte.
    DWORD backup(const std::string &hostpath) override;

    uint64_t inode() const override { return (uint64_t)id_.st_ino; }
    uint64_t device() const override { return (uint64_t)id_.st_dev; }

private:
    int fd_ = -1;
    struct stat id_ = {}; // the file as the index last saw it
    evt::FileSource src_{-1};
    Reader reader_;
    bool indexed_ = false;
    Position last_; // the record served last, to find its neighbour at once
    bool haslast_ = false;
    NewRecord view_; // the legacy view of the record being served
};

} // namespace evtx
} // namespace nt

#endif // QUILLOG_POSIX_EVTXLOG_H
