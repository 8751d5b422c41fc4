// evtxlog.cpp: an open .evtx log file: reading through the index, and the
// service's changes (append, wrap, clear, backup) in the order that keeps
// the file readable at every moment.
#include "platform/posix/evtxlog.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace nt {
namespace evtx {

namespace {

uint64_t chunkat(uint32_t slot) { return FileHeaderSize + (uint64_t)slot * ChunkSize; }

// The chunk slots a file of this size has room for, as many as a header
// can count.
uint32_t slotsof(uint64_t size) {
    return size < FileHeaderSize ? 0 : (uint32_t)std::min<uint64_t>((size - FileHeaderSize) / ChunkSize, 0xFFFF);
}

} // namespace

DWORD LogFile::openfile(const std::string &hostpath, bool writable) {
    struct stat st;
    if (DWORD rc = adopt(hostpath, writable, &st)) return rc;
    src_ = evt::FileSource(fd_);
    indexed_ = false;
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    unlock();
    return rc;
}

DWORD LogFile::openorcreate(const std::string &hostpath, const std::u16string &channel, uint32_t maxsize,
                            bool maywrite) {
    channel_ = channel;
    maxsize_ = maxsize;
    return openlive(
        hostpath, maywrite, [&](bool writable) { return openfile(hostpath, writable); },
        [] {
            std::vector<uint8_t> image(FileHeaderSize + ChunkSize, 0);
            putfileheader(image.data(), 0, 0, 1, 1, 0);
            ChunkBuilder empty;
            empty.start(1);
            empty.seal();
            std::copy(empty.data(), empty.data() + ChunkSize, image.begin() + FileHeaderSize);
            return image;
        },
        &denied_);
}

DWORD LogFile::lock(bool exclusive) { return lockfd(fd_, exclusive); }

void LogFile::unlock() { flock(fd_, LOCK_UN); }

// The index is made again when the file is not the one it was made from:
// its size, times or identity changed, or its header (a writer rewrites it
// at the end of every change, with a higher next record identifier, and
// times can stay the same across quick changes).
DWORD LogFile::refresh() {
    struct stat st;
    uint8_t head[sizeof head_] = {0};
    if (fstat(fd_, &st) != 0) return errnotowin(errno, "");
    preadall(fd_, head, sizeof head, 0);
    if (indexed_ && st.st_size == id_.st_size && st.st_mtim.tv_sec == id_.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == id_.st_mtim.tv_nsec && st.st_ctim.tv_sec == id_.st_ctim.tv_sec &&
        st.st_ctim.tv_nsec == id_.st_ctim.tv_nsec && std::memcmp(head, head_, sizeof head) == 0)
        return ERROR_SUCCESS;
    indexed_ = false;
    haslast_ = hasnear_ = false;
    DWORD rc = src_.reset();
    if (rc == ERROR_SUCCESS) rc = reader_.open(src_);
    if (rc != ERROR_SUCCESS) return rc;
    id_ = st;
    std::memcpy(head_, head, sizeof head);
    indexed_ = true;
    return ERROR_SUCCESS;
}

// The identifier the next record gets: the one after the newest record, or
// in an empty log the header's (a cleared log goes on counting). A clear
// that stopped half way leaves records whose newest is below the header's
// number: that number counts then, unless it is so far above the oldest
// record that the reader could no longer keep the log's numbers in order.
uint64_t LogFile::nextid() const {
    const uint64_t header = le64(Bytes{head_, sizeof head_}, 0x18);
    if (!reader_.count()) return header ? header : 1;
    const ChunkEntry &newest = reader_.chunks().back();
    const uint64_t after = newest.first + newest.count;
    return header > after && header - reader_.chunks().front().first < 0x40000000u ? header : after;
}

bool LogFile::nearest(uint32_t number, bool forwards, uint32_t *found) {
    Position pos = last_, after;
    // The usual question is the neighbour of the record served last: it is
    // stepped to from there, and kept for the read that follows.
    if (haslast_ && number == (uint32_t)(forwards ? last_.id + 1 : last_.id - 1) &&
        (forwards ? reader_.next(&pos) : reader_.prev(&pos)) && (uint32_t)pos.id == number) {
        near_ = pos;
        hasnear_ = true;
        *found = number;
        return true;
    }
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
    // served last is found without a search, or was found by nearest.
    bool found = hasnear_ && (uint32_t)near_.id == number;
    if (found)
        pos = near_;
    else
        found = haslast_ && (backwards ? (uint32_t)(last_.id - 1) == number && reader_.prev(&pos)
                                       : (uint32_t)(last_.id + 1) == number && reader_.next(&pos));
    if (!found && !reader_.find(number, &pos)) return false;
    if (reader_.readansi(pos, &view_, scratch, out) != ERROR_SUCCESS) {
        haslast_ = hasnear_ = false;
        return false;
    }
    last_ = pos;
    haslast_ = true;
    return true;
}

// ---------------------------------------------------------------- writing

DWORD LogFile::writeheader(uint64_t first, uint64_t last, uint64_t next, size_t chunks, uint32_t flags) {
    uint8_t h[sizeof head_];
    putfileheader(h, first, last, next, (uint16_t)std::min<size_t>(chunks, 0xFFFF), flags);
    return pwriteall(fd_, h, sizeof h, 0);
}

// Writes the chunk built in b to its slot: from `from` on (0: the whole
// chunk, which is begun there) up to its free space, then its header.
DWORD LogFile::writechunk(ChunkBuilder &b, uint32_t slot, uint32_t from) {
    b.seal();
    const uint64_t at = chunkat(slot);
    DWORD rc = ERROR_SUCCESS;
    if (!from) {
        const uint8_t nosignature[8] = {0};
        rc = pwriteall(fd_, nosignature, sizeof nosignature, at);
        from = ChunkHeaderSize;
        if (rc == ERROR_SUCCESS) rc = pwriteall(fd_, b.data() + from, ChunkSize - from, at + from);
    } else {
        rc = pwriteall(fd_, b.data() + from, b.free() - from, at + from);
    }
    if (rc == ERROR_SUCCESS) rc = pwriteall(fd_, b.data(), ChunkHeaderSize, at);
    return rc;
}

DWORD LogFile::append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) {
    if (!writable_) return denied_;
    DWORD rc = lock(true);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    if (rc == ERROR_SUCCESS) rc = appendlocked(recs, maxsize ? maxsize : maxsize_, retention, last);
    indexed_ = false;
    unlock();
    return rc;
}

DWORD LogFile::appendlocked(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) {
    uint32_t slots = slotsof((uint64_t)id_.st_size);
    const uint32_t room = std::max<uint32_t>(
        slots,
        maxsize > FileHeaderSize + ChunkSize ? std::min<uint32_t>((maxsize - FileHeaderSize) / ChunkSize, 0xFFFF) : 1);
    // The chunks in use, oldest first; the last is the one written to.
    std::vector<ChunkEntry> chunks = reader_.chunks();
    ChunkBuilder b;
    uint32_t slot, from = 0;
    if (!chunks.empty()) {
        slot = chunks.back().slot;
        std::vector<uint8_t> bytes(ChunkSize);
        DWORD rc = preadall(fd_, bytes.data(), ChunkSize, chunkat(slot));
        if (rc != ERROR_SUCCESS) return rc == ERROR_HANDLE_EOF ? ERROR_EVENTLOG_FILE_CORRUPT : rc;
        b.resume(Bytes{bytes.data(), ChunkSize}, chunks.back());
        from = b.free();
    } else {
        const uint64_t current = le64(Bytes{head_, sizeof head_}, 0x10);
        slot = current < slots ? (uint32_t)current : 0;
        b.start(1);
        chunks.push_back(ChunkEntry{slot, 0, 0, 0, 0});
    }
    uint64_t next = nextid();
    // A chunk's records carry consecutive identifiers. When the next one
    // does not follow the last chunk's (a header whose number a clear that
    // stopped half way, or a damaged file, left above the records), the
    // events start a chunk of their own.
    bool follows = !chunks.back().count || next == chunks.back().first + chunks.back().count;
    uint32_t flags = le32(Bytes{head_, sizeof head_}, 0x78);
    uint8_t dirty[4];
    put32(dirty, flags | FlagDirty);
    DWORD rc = pwriteall(fd_, dirty, sizeof dirty, 0x78);
    bool pending = false;
    for (size_t i = 0; i < recs.size() && rc == ERROR_SUCCESS; ++i) {
        if (follows && b.add(recs[i], next, channel_)) {
            pending = true;
            if (last) *last = (uint32_t)next;
            ++next;
            continue;
        }
        ChunkBuilder alone;
        alone.start(1);
        if (!b.count() || !alone.add(recs[i], next, channel_)) {
            rc = RPC_S_INVALID_BOUND;
            break;
        }
        if (pending) rc = writechunk(b, slot, from);
        pending = false;
        if (rc != ERROR_SUCCESS) break;
        chunks.back().lastoffset = b.lastoffset();
        // The next chunk: a new one at the end of the file while the log may
        // grow, else the one after (or the first): the oldest, which leaves.
        uint32_t s = slot + 1;
        if (s >= slots && slots < room)
            ++slots;
        else if (s >= slots)
            s = 0;
        auto old = std::find_if(chunks.begin(), chunks.end(), [s](const ChunkEntry &e) { return e.slot == s; });
        if (old != chunks.end() && retention) {
            uint8_t written[8] = {0};
            rc = preadall(fd_, written, sizeof written, chunkat(s) + old->lastoffset + 16);
            const int64_t age = (int64_t)recs[i].timewritten - filetimeseconds(le64(Bytes{written, 8}, 0));
            if (rc == ERROR_SUCCESS && (retention == 0xFFFFFFFFu || age < (int64_t)retention)) rc = ERROR_LOG_FILE_FULL;
            if (rc != ERROR_SUCCESS) break;
        }
        if (old != chunks.end()) chunks.erase(old);
        b.start(b.nextnumber());
        follows = true;
        slot = s;
        from = 0;
        chunks.push_back(ChunkEntry{slot, 0, 0, 0, 0});
        --i; // again, into the new chunk
    }
    if (pending) {
        DWORD wrc = writechunk(b, slot, from);
        if (rc == ERROR_SUCCESS) rc = wrc;
    }
    flags &= ~(FlagDirty | FlagFull);
    if (rc == ERROR_LOG_FILE_FULL) flags |= FlagFull;
    DWORD hrc = writeheader(chunks.front().slot, slot, next, chunks.size(), flags);
    return rc == ERROR_SUCCESS ? hrc : rc;
}

DWORD LogFile::clear() {
    if (!writable_) return denied_;
    DWORD rc = lock(true);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    // The header goes on counting from the start; then the first chunk is
    // emptied and the others cut off. A clear that stops half way leaves
    // fewer records, never lower numbers (nextid).
    const uint64_t next = nextid();
    if (rc == ERROR_SUCCESS) rc = writeheader(0, 0, next, 1, FlagDirty);
    if (rc == ERROR_SUCCESS) {
        ChunkBuilder empty;
        empty.start(1);
        empty.seal();
        rc = pwriteall(fd_, empty.data(), ChunkSize, FileHeaderSize);
    }
    if (rc == ERROR_SUCCESS && ftruncate(fd_, FileHeaderSize + ChunkSize) != 0) rc = errnotowin(errno, "");
    if (rc == ERROR_SUCCESS) rc = writeheader(0, 0, next, 1, 0);
    indexed_ = false;
    unlock();
    return rc;
}

DWORD LogFile::backup(const std::string &hostpath) {
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    int out = -1;
    if (rc == ERROR_SUCCESS) {
        out = ::open(hostpath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0) rc = errno == EEXIST ? ERROR_ALREADY_EXISTS : errnotowin(errno, hostpath);
    }
    if (rc != ERROR_SUCCESS) {
        unlock();
        return rc;
    }
    std::vector<uint8_t> c(ChunkSize);
    size_t n = 0;
    for (const ChunkEntry &e : reader_.chunks()) {
        rc = preadall(fd_, c.data(), ChunkSize, chunkat(e.slot));
        if (rc != ERROR_SUCCESS) break;
        std::fill(c.begin() + e.free, c.end(), 0);
        put32(&c[0x78], le32(Bytes{c.data(), ChunkSize}, 0x78) & ~FlagNoCrc);
        setchecksums(c.data());
        rc = pwriteall(out, c.data(), ChunkSize, chunkat((uint32_t)n++));
        if (rc != ERROR_SUCCESS) break;
    }
    if (rc == ERROR_SUCCESS && !n) {
        ChunkBuilder empty;
        empty.start(1);
        empty.seal();
        rc = pwriteall(out, empty.data(), ChunkSize, chunkat((uint32_t)n++));
    }
    std::vector<uint8_t> head(FileHeaderSize, 0);
    putfileheader(head.data(), 0, n - 1, nextid(), (uint16_t)std::min<size_t>(n, 0xFFFF), 0);
    if (rc == ERROR_SUCCESS) rc = pwriteall(out, head.data(), head.size(), 0);
    if (close(out) != 0 && rc == ERROR_SUCCESS) rc = errnotowin(errno, hostpath);
    if (rc != ERROR_SUCCESS) unlink(hostpath.c_str());
    unlock();
    return rc;
}

} // namespace evtx
} // namespace nt
