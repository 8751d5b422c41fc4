// evtxchunk.h: writes the chunks and the file header of .evtx logs: events
// of the legacy write call as binary XML, the chunk's tables of names and
// templates, its counters and its checksums.
//
// An event is stored as the service of Vista and later stores one from a
// source that no manifest describes: a System template that holds the
// source, the log and the computer as text, and a nested EventData template
// whose values are the insertion strings (one string array) and the raw
// data. A name or a template is defined inline where the chunk first uses
// it, pushed on the head of its bucket in the chunk's tables, and referred
// to by its offset after. A chunk begun by another writer is continued the
// same way: its names and templates are found through its tables, and one
// is used only when its bytes are those this writer would have written, so
// a damaged or foreign table can cost a definition but never a wrong event.
//
// This is the model side of the writer: bytes only, no files (evtxlog.h).
#ifndef QUILLOG_POSIX_EVTXCHUNK_H
#define QUILLOG_POSIX_EVTXCHUNK_H

#include "platform/posix/evtxfile.h"
#include "platform/posix/logstore.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nt {
namespace evtx {

// The 128 bytes of a file header, format 3.1, with its checksum: the chunk
// holding the oldest records, the chunk written last, the identifier the
// next record gets, the number of chunks in use, the flags.
void putfileheader(uint8_t *h, uint64_t firstchunk, uint64_t lastchunk, uint64_t nextid, uint16_t chunks,
                   uint32_t flags);

// Sets a chunk's data checksum (its records, up to the free space offset in
// its header) and then its header checksum.
void setchecksums(uint8_t *chunk);

// Records end at least 8 bytes before the chunk does, as in the service's
// chunks: readers look for a record header after the last record and, at
// the very end of a chunk, drop that record or fail at the end of the file.
const uint32_t RecordsEnd = ChunkSize - 8;

class ChunkBuilder {
public:
    ChunkBuilder() : b_(ChunkSize, 0) {}

    // An empty chunk, whose first record will carry the file's record
    // number `number` (records are counted from 1 in each file, while their
    // identifiers go on across clears).
    void start(uint64_t number);
    // Continues a chunk that the reader indexed as e (it has records).
    void resume(Bytes chunk, const ChunkEntry &e);
    // Appends an event with identifier id, logged in channel. False when it
    // does not fit the rest of the chunk (the chunk is left as it was).
    bool add(const NewRecord &rec, uint64_t id, const std::u16string &channel);
    // Puts the counters, offsets and checksums into the header. An empty
    // chunk counts -1 for all but its first record number, as the service
    // leaves the chunk of a cleared log.
    void seal();

    const uint8_t *data() const { return b_.data(); }
    uint32_t free() const { return free_; }
    uint32_t count() const { return count_; }
    uint32_t lastoffset() const { return lastoff_; }
    uint64_t nextnumber() const { return firstnum_ + count_; }

private:
    uint32_t at32(uint32_t off) const { return le32(Bytes{b_.data(), b_.size()}, off); }
    void emit8(uint8_t v);
    void emit16(uint16_t v);
    void emit32(uint32_t v);
    void emit64(uint64_t v);
    uint32_t hole32();
    void patch(uint32_t at, uint32_t v, int bytes);
    void units(const std::u16string &s);
    uint32_t findname(const std::u16string &s) const;
    void name(const std::u16string &s);
    void element(const char16_t *n, uint16_t dep, const std::function<void()> &attrs,
                 const std::function<void()> &content);
    void text(const std::u16string &s);
    void subst(uint16_t index, uint8_t type);
    uint32_t findtemplate(const uint8_t *guid, void (ChunkBuilder::*body)());
    void instance(const uint8_t *guid, void (ChunkBuilder::*body)());
    void systembody();
    void databody();
    void settable(uint32_t entry, uint32_t off);

    std::vector<uint8_t> b_;
    uint32_t pos_ = ChunkHeaderSize, end_ = RecordsEnd; // where the next byte goes; the limit
    uint32_t free_ = ChunkHeaderSize, lastoff_ = 0, count_ = 0;
    uint64_t firstnum_ = 1, firstid_ = 0, lastid_ = 0;
    bool verify_ = false; // compare with the chunk's bytes instead of writing
    bool bad_ = false;    // out of room, or (verifying) a byte differs
    // Templates found or defined in this chunk: GUID and definition offset.
    std::vector<std::pair<std::vector<uint8_t>, uint32_t>> templates_;
    // The event being written, for the template bodies.
    const NewRecord *rec_ = nullptr;
    const std::u16string *channel_ = nullptr;
};

} // namespace evtx
} // namespace nt

#endif // QUILLOG_POSIX_EVTXCHUNK_H
