// evtfile.h: reads and writes NT .evt event-log files.
//
// A file is a 0x30-byte header, a ring of records between 0x30 and the end of
// the file, and a 0x28-byte end-of-file record right after the newest record.
// The ring wraps at the end of the file: a record that does not fit there is
// split and continues at 0x30, and a tail too short for a record's fixed part
// is filled with the DWORD 0x27. The end-of-file record is rewritten with every
// change, the header only when a writer finishes, so the range of the log is
// taken from the end-of-file record, found by scanning when the header is
// stale (a dirty copy of a live file). Every length and offset read from a
// file is checked; a file that fails a check is ERROR_EVENTLOG_FILE_CORRUPT.
//
// This is the model side of the event log service: no Win32 calls, only files
// and bytes. The index of a log (record number -> file offset) is built once
// and rebuilt only when the file changed.
#ifndef QUILLOG_POSIX_EVTFILE_H
#define QUILLOG_POSIX_EVTFILE_H

#include "platform/posix/common.h"
#include "platform/posix/logstore.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nt {
namespace evt {

const uint32_t HeaderSize = 0x30;
const uint32_t EofSize = 0x28;
const uint32_t FixedSize = 0x38;       // the fixed part of a record, never split
const uint32_t MinRecordSize = 0x40;   // fixed part, two empty names, trailing length
const uint32_t Signature = 0x654C664C; // "LfLe"
const uint32_t Filler = 0x27;
const uint32_t GrowStep = 0x10000; // a live file grows in steps of 64 KiB

const uint32_t FlagDirty = 0x1;
const uint32_t FlagWrap = 0x2;
const uint32_t FlagLogFull = 0x4;

// Random access to the bytes of a log file. The bytes at hand (a whole
// image, or a file's window) are found inline; only a request outside them
// goes to the source's own fetch.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Points *out at len bytes from off, valid until the next call. backwards
    // hints that the next requests go towards the start of the file. False
    // when the bytes are not all there.
    bool view(uint32_t off, uint32_t len, bool backwards, const uint8_t **out) {
        if (off >= heldstart_ && (uint64_t)off + len <= heldend_) {
            *out = held_ + (off - heldstart_);
            return true;
        }
        return fetch(off, len, backwards, out);
    }

protected:
    // What view does for bytes outside those held; fetch may change them.
    virtual bool fetch(uint32_t off, uint32_t len, bool backwards, const uint8_t **out) = 0;
    // The bytes at hand: size bytes at data, which are the source's bytes
    // from start on.
    void hold(const uint8_t *data, uint64_t start, uint64_t size) {
        held_ = data;
        heldstart_ = start;
        heldend_ = start + size;
    }

private:
    const uint8_t *held_ = nullptr;
    uint64_t heldstart_ = 0, heldend_ = 0;
};

// A file image in memory: all of it is at hand.
class ImageSource final : public Source {
public:
    explicit ImageSource(Bytes image) : image_(image) { hold(image.data, 0, image.size); }
    uint64_t size() const override { return image_.size; }

private:
    bool fetch(uint32_t, uint32_t, bool, const uint8_t **) override { return false; }
    Bytes image_;
};

// An open file read through a window of about 1 MiB, so reading the records
// in order costs one system call per window rather than one per record. The
// window's storage is kept from one window to the next and never cleared:
// only the bytes read into it are ever viewed.
class FileSource final : public Source {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    FileSource(FileSource &&other) noexcept { *this = std::move(other); }
    FileSource &operator=(FileSource &&other) noexcept;
    uint64_t size() const override { return size_; }
    // Takes the file's size again and forgets what was read.
    DWORD reset();

private:
    bool fetch(uint32_t off, uint32_t len, bool backwards, const uint8_t **out) override;

    int fd_ = -1;
    uint64_t size_ = 0;
    std::unique_ptr<uint8_t[]> window_;
    size_t capacity_ = 0; // the window's storage, in bytes
};

// The live range of a log and its record index.
class Chain {
public:
    uint32_t filesize = 0;
    uint32_t start = 0;                             // offset of the oldest record (== end when empty)
    uint32_t end = 0;                               // offset of the end-of-file record
    uint32_t current = 1;                           // number the next record gets
    uint32_t maxsize = 0, flags = 0, retention = 0; // from the header
    uint8_t eof[EofSize] = {0};                     // the end-of-file record as found

    size_t count() const { return offsets_.size() - head_; }
    uint32_t oldest() const { return count() ? first_ : 0; }
    uint32_t newest() const { return first_ + (uint32_t)(count() - 1); }
    uint32_t offset(size_t pos) const { return offsets_[head_ + pos]; }
    // Position of a record number in the log.
    bool find(uint32_t number, size_t *pos) const;

    void push(uint32_t number, uint32_t off);
    void popoldest();
    void clear();

private:
    std::vector<uint32_t> offsets_; // oldest first, from head_
    size_t head_ = 0;
    uint32_t first_ = 0; // number of the oldest record
};

// Finds the live range of a log file and indexes its records. Returns 0 or
// ERROR_EVENTLOG_FILE_CORRUPT. Accepts clean, dirty, wrapped and backup files;
// the range comes from the end-of-file record (the header's end offset first,
// then a scan of the ring starting there). Records outside the chain from the
// oldest record to the end-of-file record (stale records in free space) are
// not part of the log.
DWORD parse(Source &src, Chain *out);

// The bytes of the record at position pos of the chain, joined into scratch
// when the record is split at the end of the file. False when the record's
// frame (length, signature, trailing length) no longer matches.
bool recordat(Source &src, const Chain &chain, size_t pos, bool backwards, std::vector<uint8_t> *scratch, Bytes *out);

// The ANSI form of a record, as the ANSI read call returns it: source name,
// computer name and strings converted to code page 1252 ('?' for characters it
// lacks), the SID DWORD-aligned after 1 to 4 zero bytes, data copied unchanged
// right after the strings, 1 to 4 zero bytes of padding, the trailing length;
// offsets and Length recomputed. *size receives the size it needs; it is
// written to out when out is not null and size <= cap. Returns 0, or
// ERROR_EVENTLOG_FILE_CORRUPT when a name, string, SID or data block lies
// outside the record.
DWORD ansiform(Bytes rec, uint8_t *out, uint32_t cap, uint32_t *size);

// A record to append (logstore.h), as this format's code names it.
using nt::NewRecord;

// The fixed part of a record (both forms): its length and number, the
// event's numbers, and where its strings, SID and data lie.
struct Fixed {
    uint32_t length = 0, number = 0, timegenerated = 0, timewritten = 0, eventid = 0;
    uint16_t eventtype = 0, nstrings = 0, category = 0;
    uint32_t stroff = 0, sidlen = 0, sidoff = 0, datalen = 0, dataoff = 0;
};
void putfixed(uint8_t *p, const Fixed &f);

// The native (UTF-16) bytes of a record numbered number, laid out as the
// service writes them: the SID right after the computer name, data right
// after the strings, 1 to 4 bytes of padding, the trailing length.
void buildrecord(const NewRecord &rec, uint32_t number, std::vector<uint8_t> *out);

// The ANSI form of the record buildrecord builds (what ansiform gives for
// it), made straight from the record's fields.
void ansirecord(const NewRecord &rec, uint32_t number, std::vector<uint8_t> *out);

// An empty log file: header and end-of-file record at 0x30, the rest zero.
// current is the number the first record will get.
std::vector<uint8_t> emptyimage(uint32_t filesize, uint32_t maxsize, uint32_t retention, uint32_t current);

// An open log file. Readers take a shared lock, writers an exclusive one
// (flock), so a writer never changes the file under a reader of another
// handle or process. Writers keep the end-of-file record current after every
// record and mark the header dirty until they finish, so a crash at any point
// leaves a file whose log is found from its end-of-file record.
class LogFile : public LogStore {
public:
    LogFile() = default;

    // Opens an existing file and indexes it: 0, the file's Win32 error code
    // (2, 3, 5; 5 also for anything but a regular file), ERROR_SHARING_VIOLATION
    // when another process holds the file locked past LockWaitSeconds, or
    // ERROR_EVENTLOG_FILE_CORRUPT (also for an empty file).
    DWORD open(const std::string &hostpath, bool writable);
    // Opens the file for writing, creating it first (and its folders) as an
    // empty log of 64 KiB (at most maxsize) when it does not exist. A file
    // that may be read but not written is opened for reading: append and
    // clear then fail with ERROR_ACCESS_DENIED or, on a read-only file
    // system, ERROR_WRITE_PROTECT. Without maywrite (the path passes through
    // a link that a write must not follow) the file is only opened for
    // reading, and a missing one is not created: ERROR_ACCESS_DENIED.
    DWORD openorcreate(const std::string &hostpath, uint32_t maxsize, uint32_t retention, bool maywrite = true);

    DWORD refresh() override;
    DWORD lock(bool exclusive) override;
    void unlock() override;

    const Chain &chain() const { return chain_; }
    Source &source() { return src_; }
    uint64_t inode() const override { return ino_; }
    uint64_t device() const override { return dev_; }

    size_t count() const override { return chain_.count(); }
    uint32_t oldest() const override { return chain_.oldest(); }
    uint32_t newest() const override { return chain_.newest(); }
    uint32_t current() const override { return chain_.current; }
    uint32_t retention() const override { return chain_.retention; }
    // The numbers of an .evt log have no gaps: the nearest record is the
    // oldest or the newest when number lies outside the log that way.
    bool nearest(uint32_t number, bool forwards, uint32_t *found) override;
    bool record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) override;

    // Appends records (their numbers are assigned here; *last receives the
    // number of the last one). The file grows in 64 KiB steps up to maxsize
    // while the log has not wrapped, then the oldest whole records are
    // discarded to make room. With a retention period (seconds, 0xFFFFFFFF
    // for never) a record younger than that is never discarded: the write
    // fails with ERROR_LOG_FILE_FULL. A record that cannot fit even in an
    // empty log fails the same way.
    DWORD append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) override;

    // Writes the log to a new file (ERROR_ALREADY_EXISTS when it exists): the
    // records oldest first from 0x30, unwrapped and byte for byte, header
    // clean, file exactly as long as header, records and end-of-file record.
    DWORD backup(const std::string &hostpath) override;

    // Empties the log. Record numbers go on from where they were, so a dump
    // followed by a clear never makes later records look older than what was
    // already read. The file shrinks to 64 KiB (at most its size).
    DWORD clear() override;

private:
    DWORD writeat(uint32_t off, const uint8_t *p, uint32_t len);
    DWORD writering(uint32_t off, const uint8_t *p, uint32_t len);
    DWORD writeeof(uint32_t off, uint32_t begin, uint32_t current, uint32_t oldest);
    DWORD writeheader(bool dirty);
    DWORD appendone(const NewRecord &rec, uint32_t maxsize, uint32_t retention, std::vector<uint8_t> *buf);
    DWORD flush();
    bool unchanged();

    uint64_t ino_ = 0, dev_ = 0;
    FileSource src_{-1};
    Chain chain_;
    // Appended bytes not yet written: records and their end-of-file record,
    // from file offset pendoff_ (where the end-of-file record on disk is), so
    // a batch of records costs a few large writes instead of two per record.
    std::vector<uint8_t> pend_;
    uint32_t pendoff_ = 0;
    uint32_t pendfirst_ = 0;   // number of the first record in pend_
    bool penddiscard_ = false; // records on disk were discarded meanwhile
};

} // namespace evt
} // namespace nt

#endif // QUILLOG_POSIX_EVTFILE_H
