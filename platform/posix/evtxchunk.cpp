// evtxchunk.cpp: writes .evtx chunks and file headers.
//
// Sections: headers and checksums; emitting bytes (written, or compared
// with a definition already in the chunk); names; templates; the event.
#include "platform/posix/evtxchunk.h"

#include <algorithm>

namespace nt {
namespace evtx {

namespace {

const uint32_t StringTable = 0x80, TemplateTable = 0x180; // 64 and 32 buckets
const uint32_t ChunkFlags = 0x1;                          // what the service sets in every chunk it writes
const uint16_t NoDependency = 0xFFFF;
const char16_t EventNamespace[] = u"http://schemas.microsoft.com/win/2004/08/events/event";

// The GUID of the classic EventData template: its body is the same bytes
// wherever the service writes it, and so is its GUID.
const uint8_t DataGuid[16] = {0x77, 0xd8, 0x29, 0x43, 0xd5, 0xd8, 0x2d, 0x51,
                              0xec, 0x99, 0x20, 0x1a, 0x0f, 0xd9, 0x2f, 0xc7};

// Keywords the service adds: every event of the legacy call is "classic";
// the audit types are told by their keyword.
const uint64_t KeywordClassic = 0x0080000000000000ull;
const uint64_t KeywordAuditFailure = 0x0010000000000000ull;
const uint64_t KeywordAuditSuccess = 0x0020000000000000ull;

// The hash of names and of template GUIDs: h * 65599 + unit over the UTF-16
// units (a GUID as eight little-endian units).
uint32_t namehash(const std::u16string &s) {
    uint32_t h = 0;
    for (char16_t c : s) h = h * 65599 + c;
    return h;
}
uint32_t guidhash(const uint8_t *guid) {
    std::u16string units;
    for (int i = 0; i < 16; i += 2) units += (char16_t)le16(Bytes{guid, 16}, i);
    return namehash(units);
}

uint64_t filetime(uint32_t seconds) { return ((uint64_t)seconds + DaysFrom1601To1970 * 86400) * TicksPerSecond; }

// The level the service gives each type of the legacy call. Success and the
// audits are level 0 (the audits told apart by their keyword); a type that
// is none of these is stored as success, which it reads back as.
uint8_t level(uint16_t type) {
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return 2;
    case EVENTLOG_WARNING_TYPE: return 3;
    case EVENTLOG_INFORMATION_TYPE: return 4;
    default: return 0;
    }
}

// The GUID of the System template of a source, log and computer (all three
// are text in its body): two 64-bit FNV-1a hashes of their units with
// different starting values, so that one GUID stands for one body.
void systemguid(const NewRecord &rec, const std::u16string &channel, uint8_t *guid) {
    uint64_t h[2] = {0xcbf29ce484222325ull, 0x9ae16a3b2f90404full};
    for (const std::u16string *s : {&rec.source, &channel, &rec.computer})
        for (size_t i = 0; i <= s->size(); ++i) {
            const char16_t c = i < s->size() ? (*s)[i] : 0;
            for (uint64_t &x : h) x = ((x ^ (uint8_t)c) * 0x100000001b3ull ^ (uint8_t)(c >> 8)) * 0x100000001b3ull;
        }
    put64(guid, h[0]);
    put64(guid + 8, h[1]);
}

} // namespace

// ---------------------------------------------------------------- headers and checksums

void putfileheader(uint8_t *h, uint64_t firstchunk, uint64_t lastchunk, uint64_t nextid, uint16_t chunks,
                   uint32_t flags) {
    std::memset(h, 0, 128);
    std::memcpy(h, "ElfFile", 8);
    put64(h + 0x08, firstchunk);
    put64(h + 0x10, lastchunk);
    put64(h + 0x18, nextid);
    put32(h + 0x20, 128);
    put16(h + 0x24, 1); // version 3.1
    put16(h + 0x26, 3);
    put16(h + 0x28, (uint16_t)FileHeaderSize);
    put16(h + 0x2A, chunks);
    put32(h + 0x78, flags);
    put32(h + 0x7C, crc32(h, 0x78));
}

void setchecksums(uint8_t *c) {
    const uint32_t free = std::min(std::max(le32(Bytes{c, ChunkSize}, 0x30), ChunkHeaderSize), ChunkSize);
    put32(c + 0x34, crc32(c + ChunkHeaderSize, free - ChunkHeaderSize));
    put32(c + 0x7C, headercrc(c));
}

void ChunkBuilder::start(uint64_t number) {
    std::fill(b_.begin(), b_.end(), 0);
    put32(&b_[0x78], ChunkFlags);
    pos_ = free_ = ChunkHeaderSize;
    lastoff_ = count_ = 0;
    firstnum_ = number;
    firstid_ = lastid_ = 0;
    templates_.clear();
}

void ChunkBuilder::resume(Bytes chunk, const ChunkEntry &e) {
    std::copy(chunk.data, chunk.data + ChunkSize, b_.begin());
    pos_ = free_ = e.free;
    lastoff_ = e.lastoffset;
    count_ = e.count;
    firstnum_ = le64(chunk, 0x08);
    firstid_ = e.first;
    lastid_ = e.first + e.count - 1;
    templates_.clear();
}

void ChunkBuilder::seal() {
    uint8_t *h = b_.data();
    std::memcpy(h, "ElfChnk", 8);
    put64(h + 0x08, firstnum_);
    put64(h + 0x10, count_ ? firstnum_ + count_ - 1 : ~0ull);
    put64(h + 0x18, count_ ? firstid_ : ~0ull);
    put64(h + 0x20, count_ ? lastid_ : ~0ull);
    put32(h + 0x28, 128);
    put32(h + 0x2C, lastoff_);
    put32(h + 0x30, free_);
    setchecksums(h);
}

// ---------------------------------------------------------------- emitting bytes

// Every byte goes through here: written at pos_, or, while a definition is
// being checked, compared with the byte there. Nothing goes past end_.
void ChunkBuilder::emit8(uint8_t v) {
    if (pos_ >= end_) {
        bad_ = true;
        return;
    }
    if (!verify_)
        b_[pos_] = v;
    else if (b_[pos_] != v)
        bad_ = true;
    ++pos_;
}

void ChunkBuilder::emit16(uint16_t v) {
    emit8((uint8_t)v);
    emit8((uint8_t)(v >> 8));
}

void ChunkBuilder::emit32(uint32_t v) {
    emit16((uint16_t)v);
    emit16((uint16_t)(v >> 16));
}

void ChunkBuilder::emit64(uint64_t v) {
    emit32((uint32_t)v);
    emit32((uint32_t)(v >> 32));
}

// Room for a size that is known later (patch): zero when writing, the
// stored value when checking.
uint32_t ChunkBuilder::hole32() {
    const uint32_t at = pos_;
    if (end_ - pos_ < 4) {
        bad_ = true;
        return at;
    }
    if (!verify_) put32(&b_[pos_], 0);
    pos_ += 4;
    return at;
}

void ChunkBuilder::patch(uint32_t at, uint32_t v, int bytes) {
    if (bad_ || (bytes == 2 && v > 0xFFFF)) {
        bad_ = true;
        return;
    }
    for (int i = 0; i < bytes; ++i, v >>= 8) {
        if (!verify_)
            b_[at + i] = (uint8_t)v;
        else if (b_[at + i] != (uint8_t)v)
            bad_ = true;
    }
}

void ChunkBuilder::units(const std::u16string &s) {
    for (char16_t c : s) emit16(c);
}

void ChunkBuilder::settable(uint32_t entry, uint32_t off) {
    if (!verify_ && !bad_) put32(&b_[entry], off);
}

// ---------------------------------------------------------------- names

// The offset of the name's entry in the chunk, or 0. The bucket's chain is
// followed newest first, to ever lower offsets (so it ends), and an entry
// counts only when it lies whole in the records already written (no name
// is used twice in one event, and the event's own bytes are not final
// until it is) and carries the name's hash, length and units.
uint32_t ChunkBuilder::findname(const std::u16string &s) const {
    const uint32_t hash = namehash(s);
    uint32_t off = at32(StringTable + 4 * (hash % 64));
    for (uint32_t prev = ChunkSize; off >= ChunkHeaderSize && off < prev; prev = off, off = at32(off)) {
        if ((uint64_t)off + 10 + 2 * s.size() > free_) continue;
        const Bytes e{&b_[off], free_ - off};
        if (le16(e, 4) != (uint16_t)hash || le16(e, 6) != s.size()) continue;
        size_t i = 0;
        while (i < s.size() && le16(e, 8 + 2 * i) == s[i]) ++i;
        if (i == s.size()) return off;
    }
    return 0;
}

// A name reference. The first use in the chunk is followed by the entry
// itself (link to the bucket's previous head, hash, length, units, NUL),
// which becomes its bucket's head.
void ChunkBuilder::name(const std::u16string &s) {
    const uint32_t found = findname(s);
    if (found && found != pos_ + 4) {
        emit32(found);
        return;
    }
    if (verify_ && !found) {
        bad_ = true;
        return;
    }
    const uint32_t at = pos_ + 4, hash = namehash(s), entry = StringTable + 4 * (hash % 64);
    emit32(at);
    if (verify_) {
        hole32(); // the link depends on what the chunk held then
    } else {
        const uint32_t head = at32(entry);
        emit32(head >= ChunkHeaderSize && head < at ? head : 0);
    }
    emit16((uint16_t)hash);
    emit16((uint16_t)s.size());
    units(s);
    emit16(0);
    settable(entry, at);
}

// ---------------------------------------------------------------- templates

// An element of a template body: its dependency (the value whose Null
// leaves it out), its size, name and attributes, then content or "/>".
void ChunkBuilder::element(const char16_t *n, uint16_t dep, const std::function<void()> &attrs,
                           const std::function<void()> &content) {
    emit8(attrs ? 0x41 : 0x01);
    emit16(dep);
    const uint32_t size = hole32();
    name(n);
    if (attrs) {
        const uint32_t list = hole32();
        attrs();
        patch(list, pos_ - list - 4, 4);
    }
    if (content) {
        emit8(0x02);
        content();
        emit8(0x04);
    } else {
        emit8(0x03);
    }
    patch(size, pos_ - size - 4, 4);
}

void ChunkBuilder::text(const std::u16string &s) {
    emit8(0x05);
    emit8(0x01);
    emit16((uint16_t)s.size()); // a longer text overflows the chunk anyway
    units(s);
}

// Every substitution of these templates is optional: a Null value leaves
// out its element or attribute.
void ChunkBuilder::subst(uint16_t index, uint8_t type) {
    emit8(0x0E);
    emit16(index);
    emit8(type);
}

// <Event xmlns=...><System>...</System>{EventData}</Event>, the values
// numbered as the service numbers them (20 in all).
void ChunkBuilder::systembody() {
    emit32(0x0001010F); // fragment header
    element(
        u"Event", 19,
        [&] {
            emit8(0x06);
            name(u"xmlns");
            text(EventNamespace);
        },
        [&] {
            element(u"System", NoDependency, nullptr, [&] {
                element(
                    u"Provider", NoDependency,
                    [&] {
                        emit8(0x06);
                        name(u"Name");
                        text(rec_->source);
                    },
                    nullptr);
                element(
                    u"EventID", 3,
                    [&] {
                        emit8(0x06);
                        name(u"Qualifiers");
                        subst(4, TUInt16);
                    },
                    [&] { subst(3, TUInt16); });
                element(u"Level", 0, nullptr, [&] { subst(0, TUInt8); });
                element(u"Task", 2, nullptr, [&] { subst(2, TUInt16); });
                element(u"Keywords", 5, nullptr, [&] { subst(5, THex64); });
                element(
                    u"TimeCreated", NoDependency,
                    [&] {
                        emit8(0x06);
                        name(u"SystemTime");
                        subst(6, TFileTime);
                    },
                    nullptr);
                element(u"EventRecordID", 10, nullptr, [&] { subst(10, TUInt64); });
                element(u"Channel", NoDependency, nullptr, [&] { text(*channel_); });
                element(u"Computer", NoDependency, nullptr, [&] { text(rec_->computer); });
                element(
                    u"Security", NoDependency,
                    [&] {
                        emit8(0x06);
                        name(u"UserID");
                        subst(12, TSid);
                    },
                    nullptr);
            });
            subst(19, TBinXml);
        });
    emit8(0x00);
}

// <EventData><Data>{strings}</Data><Binary>{data}</Binary></EventData>: a
// string array repeats its Data element once per string.
void ChunkBuilder::databody() {
    emit32(0x0001010F);
    element(u"EventData", NoDependency, nullptr, [&] {
        element(u"Data", 0, nullptr, [&] { subst(0, TString | TArray); });
        element(u"Binary", 2, nullptr, [&] { subst(2, TBinary); });
    });
    emit8(0x00);
}

// The offset of the template's definition in the chunk, or 0: one this
// builder found or wrote, else one reached through the template table whose
// GUID matches and whose body, emitted again in place, has the same bytes.
uint32_t ChunkBuilder::findtemplate(const uint8_t *guid, void (ChunkBuilder::*body)()) {
    for (const auto &t : templates_)
        if (std::memcmp(t.first.data(), guid, 16) == 0) return t.second;
    uint32_t off = at32(TemplateTable + 4 * (guidhash(guid) % 32));
    for (uint32_t prev = ChunkSize; off >= ChunkHeaderSize && off < prev; prev = off, off = at32(off)) {
        if (off + 24 > free_ || std::memcmp(&b_[off + 4], guid, 16) != 0) continue;
        const uint32_t size = at32(off + 20);
        if (size > free_ - off - 24) continue;
        const uint32_t pos = pos_, end = end_;
        const bool bad = bad_;
        verify_ = true;
        bad_ = false;
        pos_ = off + 24;
        end_ = pos_ + size;
        (this->*body)();
        const bool same = !bad_ && pos_ == end_;
        verify_ = false;
        pos_ = pos;
        end_ = end;
        bad_ = bad;
        if (same) {
            templates_.emplace_back(std::vector<uint8_t>(guid, guid + 16), off);
            return off;
        }
    }
    return 0;
}

// A template instance. At the template's first use in the chunk its
// definition follows: link to the bucket's previous head, GUID, body size,
// body.
void ChunkBuilder::instance(const uint8_t *guid, void (ChunkBuilder::*body)()) {
    emit8(0x0C);
    emit8(0x01);
    emit32(le32(Bytes{guid, 16}, 0)); // the template's id: the GUID's first four bytes
    const uint32_t found = findtemplate(guid, body);
    if (found) {
        emit32(found);
        return;
    }
    const uint32_t def = pos_ + 4, entry = TemplateTable + 4 * (guidhash(guid) % 32);
    const uint32_t head = at32(entry);
    emit32(def);
    emit32(head >= ChunkHeaderSize && head < def ? head : 0);
    for (int i = 0; i < 16; ++i) emit8(guid[i]);
    const uint32_t size = hole32();
    (this->*body)();
    patch(size, pos_ - size - 4, 4);
    settable(entry, def);
    if (!bad_) templates_.emplace_back(std::vector<uint8_t>(guid, guid + 16), def);
}

// ---------------------------------------------------------------- the event

bool ChunkBuilder::add(const NewRecord &rec, uint64_t id, const std::u16string &channel) {
    size_t strbytes = 0;
    for (const std::u16string &s : rec.strings) strbytes += 2 * (s.size() + 1);
    if (strbytes > 0xFFFF || rec.data.size() > 0xFFFF || rec.sid.size() > 0xFFFF) return false;
    uint8_t header[ChunkHeaderSize]; // the tables, restored when the event does not fit
    std::memcpy(header, b_.data(), ChunkHeaderSize);
    const size_t known = templates_.size();
    rec_ = &rec;
    channel_ = &channel;
    bad_ = false;
    const uint32_t start = pos_ = free_;

    emit32(0x00002A2A);
    const uint32_t size = hole32();
    emit64(id);
    emit64(filetime(rec.timewritten));
    emit32(0x0001010F);
    uint8_t guid[16];
    systemguid(rec, channel, guid);
    instance(guid, &ChunkBuilder::systembody);

    // The 20 values: their sizes and types, then the values themselves.
    const uint64_t keywords = KeywordClassic | (rec.eventtype == EVENTLOG_AUDIT_SUCCESS   ? KeywordAuditSuccess
                                                : rec.eventtype == EVENTLOG_AUDIT_FAILURE ? KeywordAuditFailure
                                                                                          : 0);
    const struct {
        uint16_t size;
        uint8_t type;
    } values[20] = {{1, TUInt8},
                    {1, TUInt8},
                    {2, TUInt16},
                    {2, TUInt16},
                    {2, TUInt16},
                    {8, THex64},
                    {8, TFileTime},
                    {0, TNull},
                    {4, TUInt32},
                    {4, TUInt32},
                    {8, TUInt64},
                    {1, TUInt8},
                    {(uint16_t)rec.sid.size(), rec.sid.empty() ? TNull : TSid},
                    {0, TNull},
                    {0, TNull},
                    {0, TNull},
                    {0, TNull},
                    {0, TNull},
                    {0, TNull},
                    {0, TBinXml}};
    emit32(20);
    for (const auto &v : values) {
        emit16(v.size);
        emit8(v.type);
        emit8(0);
    }
    const uint32_t nestedsize = pos_ - 4;
    emit8(level(rec.eventtype));
    emit8(0); // opcode
    emit16(rec.category);
    emit16((uint16_t)rec.eventid);
    emit16((uint16_t)(rec.eventid >> 16)); // qualifiers
    emit64(keywords);
    emit64(filetime(rec.timegenerated));
    emit64(0); // process and thread
    emit64(id);
    emit8(0); // version
    for (uint8_t b : rec.sid) emit8(b);

    // The nested EventData: strings (each ending in NUL), data length, data.
    const uint32_t nested = pos_;
    emit32(0x0001010F);
    instance(DataGuid, &ChunkBuilder::databody);
    emit32(3);
    emit16((uint16_t)strbytes);
    emit16(rec.strings.empty() ? TNull : TString | TArray);
    emit16(4);
    emit16(TUInt32);
    emit16((uint16_t)rec.data.size());
    emit16(rec.data.empty() ? TNull : TBinary);
    for (const std::u16string &s : rec.strings) {
        units(s);
        emit16(0);
    }
    emit32((uint32_t)rec.data.size());
    for (uint8_t b : rec.data) emit8(b);
    emit8(0x00);
    patch(nestedsize, pos_ - nested, 2);
    emit8(0x00);
    while (!bad_ && (pos_ - start + 4) % 8) emit8(0);
    patch(size, pos_ - start + 4, 4);
    emit32(pos_ - start + 4);

    if (bad_) {
        std::fill(b_.begin() + start, b_.begin() + pos_, 0);
        std::memcpy(b_.data(), header, ChunkHeaderSize);
        templates_.resize(known);
        pos_ = free_;
        bad_ = false;
        return false;
    }
    if (!count_) firstid_ = id;
    lastid_ = id;
    lastoff_ = start;
    free_ = pos_;
    ++count_;
    return true;
}

} // namespace evtx
} // namespace nt
