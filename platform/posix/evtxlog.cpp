// evtxlog.cpp: an open .evtx log file.
#include "platform/posix/evtxlog.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace nt {
namespace evtx {

LogFile::~LogFile() {
    if (fd_ >= 0) close(fd_);
}

DWORD LogFile::open(const std::string &hostpath) {
    // Opened without blocking, so that a FIFO in the log's place is refused
    // instead of waiting for a writer.
    int fd = ::open(hostpath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errnotowin(errno, hostpath);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
    src_ = evt::FileSource(fd);
    indexed_ = false;
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    unlock();
    return rc;
}

DWORD LogFile::lock(bool exclusive) { return lockfd(fd_, exclusive); }

void LogFile::unlock() { flock(fd_, LOCK_UN); }

// The index is made again when the file is not the one it was made from
// (size, times or identity changed).
DWORD LogFile::refresh() {
    struct stat st;
    if (fstat(fd_, &st) != 0) return errnotowin(errno, "");
    if (indexed_ && st.st_size == id_.st_size && st.st_mtim.tv_sec == id_.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == id_.st_mtim.tv_nsec && st.st_ctim.tv_sec == id_.st_ctim.tv_sec &&
        st.st_ctim.tv_nsec == id_.st_ctim.tv_nsec)
        return ERROR_SUCCESS;
    indexed_ = false;
    haslast_ = false;
    DWORD rc = src_.reset();
    if (rc == ERROR_SUCCESS) rc = reader_.open(src_);
    if (rc != ERROR_SUCCESS) return rc;
    id_ = st;
    indexed_ = true;
    return ERROR_SUCCESS;
}

bool LogFile::nearest(uint32_t number, bool forwards, uint32_t *found) {
    Position pos, after;
    after.chunk = SIZE_MAX; // stays so when no record follows number
    if (reader_.find(number, &pos, &after)) {
        *found = number;
        return true;
    }
    const bool follows = after.chunk != SIZE_MAX;
    if (forwards) {
        if (!follows) return false;
        *found = (uint32_t)after.id;
        return true;
    }
    // Backwards: the record before the one that follows number; the newest
    // when number lies past the log; none before the oldest.
    if (!reader_.count()) return false;
    if (!follows) {
        *found = reader_.newest();
        return true;
    }
    if (!reader_.prev(&after)) return false;
    *found = (uint32_t)after.id;
    return true;
}

bool LogFile::record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) {
    Position pos = last_;
    // Records are read one after the other: the neighbour of the record
    // served last is found without a search.
    bool found = haslast_ && (backwards ? (uint32_t)(last_.id - 1) == number && reader_.prev(&pos)
                                        : (uint32_t)(last_.id + 1) == number && reader_.next(&pos));
    if (!found && !reader_.find(number, &pos)) return false;
    uint32_t n;
    if (reader_.read(pos, &view_, &n) != ERROR_SUCCESS) {
        haslast_ = false;
        return false;
    }
    last_ = pos;
    haslast_ = true;
    evt::buildrecord(view_, n, scratch);
    *out = Bytes{scratch->data(), scratch->size()};
    return true;
}

DWORD LogFile::append(const std::vector<NewRecord> &, uint32_t, uint32_t, uint32_t *) { return ERROR_ACCESS_DENIED; }

DWORD LogFile::clear() { return ERROR_ACCESS_DENIED; }

DWORD LogFile::backup(const std::string &hostpath) {
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    int out = ::open(hostpath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        rc = errno == EEXIST ? ERROR_ALREADY_EXISTS : errnotowin(errno, hostpath);
        unlock();
        return rc;
    }
    std::vector<uint8_t> buf(1 << 20);
    for (off_t at = 0;;) {
        ssize_t n = pread(fd_, buf.data(), buf.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            rc = errnotowin(errno, "");
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf.data() + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                rc = errnotowin(errno, hostpath);
                break;
            }
            done += w;
        }
        if (rc != ERROR_SUCCESS) break;
        at += n;
    }
    if (close(out) != 0 && rc == ERROR_SUCCESS) rc = errnotowin(errno, hostpath);
    if (rc != ERROR_SUCCESS) unlink(hostpath.c_str());
    unlock();
    return rc;
}

} // namespace evtx
} // namespace nt
