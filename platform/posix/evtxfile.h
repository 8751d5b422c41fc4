// evtxfile.h: reads Windows XML event log (.evtx) files and gives each
// record the legacy view that the ANSI read call returns.
//
// A file is a 4096-byte header and 64 KiB chunks. A chunk is a 512-byte
// header (counters, offsets, checksums, the tables of names and templates)
// and records back to back; each record is a small header and the event as
// binary XML, whose names and templates are defined once per chunk and
// referred to by their offset in the chunk. Every offset, length and count
// is checked before use; a damaged chunk is skipped with its records and the
// rest of the file is read.
//
// Files copied from a running system are read as they are: the file header's
// chunk count and next record number are stale there, so every chunk slot of
// the file is looked at, and records come in record number order whatever
// the order of their chunks in the file (a log that wrapped reuses its oldest
// chunk). Windows' own service refuses such files or rewrites them first.
//
// The index keeps one entry per chunk, never one per record: a record is
// found by walking the record headers of its chunk. This is the model side
// of the event log service: no Win32 calls, only bytes.
#ifndef QUILLOG_POSIX_EVTXFILE_H
#define QUILLOG_POSIX_EVTXFILE_H

#include "platform/posix/common.h"
#include "platform/posix/evtfile.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace nt {
namespace evtx {

const uint32_t FileHeaderSize = 0x1000; // chunk 0 starts here
const uint32_t ChunkSize = 0x10000;
const uint32_t ChunkHeaderSize = 0x200; // the first record starts here
const uint32_t RecordHeaderSize = 24;

// Times are FILETIME values: 100 ns ticks since 1601-01-01 (UTC).
const int64_t DaysFrom1601To1970 = 134774;
const uint64_t TicksPerSecond = 10000000;

// A FILETIME in seconds since 1970, clamped to 0 .. 0xFFFFFFFF.
uint32_t filetimeseconds(uint64_t ticks);

// Little-endian fields through the checked reads of Bytes; 0 where the bytes
// are not there (the callers have checked the range already).
inline uint16_t le16(Bytes b, size_t off) {
    uint16_t v = 0;
    b.u16(off, &v);
    return v;
}
inline uint32_t le32(Bytes b, size_t off) {
    uint32_t v = 0;
    b.u32(off, &v);
    return v;
}
inline uint64_t le64(Bytes b, size_t off) { return (uint64_t)le32(b, off) | (uint64_t)le32(b, off + 4) << 32; }

// File header flags.
const uint32_t FlagDirty = 0x1; // open for writing, or not closed cleanly
const uint32_t FlagFull = 0x2;  // full, and new events are dropped
const uint32_t FlagNoCrc = 0x4; // checksums are not kept (stored as 0); chunks too

// Types of the values that fill a template's substitutions.
enum ValueType : uint8_t {
    TNull = 0x00,
    TString = 0x01,
    TAnsi = 0x02,
    TInt8 = 0x03,
    TUInt8 = 0x04,
    TInt16 = 0x05,
    TUInt16 = 0x06,
    TInt32 = 0x07,
    TUInt32 = 0x08,
    TInt64 = 0x09,
    TUInt64 = 0x0A,
    TReal32 = 0x0B,
    TReal64 = 0x0C,
    TBool = 0x0D,
    TBinary = 0x0E,
    TGuid = 0x0F,
    TSizeT = 0x10,
    TFileTime = 0x11,
    TSysTime = 0x12,
    TSid = 0x13,
    THex32 = 0x14,
    THex64 = 0x15,
    TBinXml = 0x21,
    TArray = 0x80,
};

// The CRC-32 of zlib (reflected polynomial 0xEDB88320, initial value and
// final XOR all ones) of len bytes, continuing from crc (0 to start).
uint32_t crc32(const uint8_t *p, size_t len, uint32_t crc = 0);

// The checksum a chunk's header keeps of itself: bytes 0-0x77 and
// 0x80-0x1FF (its flags and the checksum left out).
uint32_t headercrc(const uint8_t *chunk);

// True when head starts with the signature of an .evtx file, "ElfFile\0".
bool hassignature(Bytes head);

// A chunk as the index keeps it: its records carry consecutive record
// identifiers first .. first + count - 1.
struct ChunkEntry {
    uint32_t slot = 0;       // the chunk starts at FileHeaderSize + slot * ChunkSize
    uint32_t count = 0;      // records in the chunk, at least 1
    uint32_t lastoffset = 0; // chunk offset of its last record
    uint32_t free = 0;       // chunk offset just past its last record
    uint64_t first = 0;      // identifier of its first record
};

// Where a record is: which chunk of the index, where in the chunk, and its
// 64-bit identifier (the record number is the low 32 bits).
struct Position {
    size_t chunk = 0;
    uint32_t offset = 0;
    uint64_t id = 0;
};

class Converter;

// An indexed .evtx log read through a Source, which must outlive it.
//
// Record numbers are the low 32 bits of the identifiers in the record
// headers. In a log written by the service these equal the EventRecordID
// inside each event; an exported file renumbers its record headers from 1
// and keeps the events' own EventRecordID values, and there the header's
// number is used: it is what the file's chunk headers count with, it has no
// gaps, and it is the number other readers report for the record.
class Reader {
public:
    // With plans off every record's template is run; the view is the same
    // (for tests that compare the two ways).
    explicit Reader(bool plans = true);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Indexes the log. Returns 0, or ERROR_EVENTLOG_FILE_CORRUPT when src
    // holds no .evtx log: a file header with the wrong signature, header
    // size, block size or major version, or no chunk that passes its checks.
    // An empty log is a good header followed by chunks without records (a
    // cleared log has one such chunk); a header alone is corrupt.
    DWORD open(evt::Source &src);

    size_t count() const { return total_; }
    // The numbers of the oldest and the newest record; 0 when empty. With
    // gaps between chunks, newest - oldest + 1 can be more than count().
    uint32_t oldest() const;
    uint32_t newest() const;
    uint32_t flags() const { return flags_; }
    const std::vector<ChunkEntry> &chunks() const { return chunks_; }

    // The oldest and the newest record; false when the log is empty.
    bool first(Position *pos);
    bool last(Position *pos);
    // The record after or before pos; false at the end of the log (pos
    // unchanged) or when the chunk's bytes can no longer be read.
    bool next(Position *pos);
    bool prev(Position *pos);
    // The record numbered number: true when it is in the log. Otherwise
    // false, and *after is set to the first record with a higher number when
    // there is one (number falls in a gap between chunks); *after is left
    // alone when no record follows. after may be null.
    bool find(uint32_t number, Position *pos, Position *after = nullptr);

    // The legacy view of the record at pos: times, event id with its
    // qualifiers, event type, category, source, computer, user SID,
    // insertion strings and data; *number receives its record number.
    // Returns 0, or ERROR_EVENTLOG_FILE_CORRUPT when its binary XML does not
    // hold. out's buffers are reused from call to call.
    DWORD read(const Position &pos, evt::NewRecord *out, uint32_t *number);
    // The record at pos as the ANSI read call returns it (evt::ansirecord of
    // its view), in the first out->size bytes of scratch; records of a shape
    // already seen are made without their view, and view is only scratch
    // space. Returns 0 or ERROR_EVENTLOG_FILE_CORRUPT as read does.
    DWORD readansi(const Position &pos, evt::NewRecord *view, std::vector<uint8_t> *scratch, Bytes *out);

private:
    bool chunkat(size_t chunk, bool backwards, Bytes *out);
    bool checkchunk(uint32_t slot, Bytes chunk, bool nocrc, ChunkEntry *entry);
    // The record at pos converted (see Converter::convert); false when its
    // frame or its binary XML does not hold.
    bool convertat(const Position &pos, evt::NewRecord *view, std::vector<uint8_t> *ansi, size_t *made);

    evt::Source *src_ = nullptr;
    std::vector<ChunkEntry> chunks_; // ordered by identifier
    // The record find found last (hint_.chunk is SIZE_MAX for none): reads
    // go one record after another, and a record of the same chunk further
    // on is walked to from there instead of from the chunk's start.
    Position hint_{SIZE_MAX, 0, 0};
    size_t total_ = 0;
    uint32_t flags_ = 0;
    std::unique_ptr<Converter> conv_;
};

} // namespace evtx
} // namespace nt

#endif // QUILLOG_POSIX_EVTXFILE_H
