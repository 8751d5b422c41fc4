// evtfile.cpp: reads and writes NT .evt event-log files.
//
// Sections: sources (how bytes are read), reading (finding the end-of-file
// record, walking the chain of records), the ANSI form of a record, building
// records, and writing (append with growth and wrapping, backup, clear).
//
// A file is a header, a ring of records and an end-of-file record. Each
// length and offset is checked before use; a failed check gives
// ERROR_EVENTLOG_FILE_CORRUPT, never a read outside the file. A dirty file
// (copied from a running system) is read by taking its range from the
// end-of-file record, which Windows' own reader refuses to do.
#include "platform/posix/evtfile.h"

#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nt {
namespace evt {

namespace {

const uint32_t EofMagic[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
const uint32_t WindowSize = 1 << 20;
// How many end-of-file candidates a scan tries before it gives up; more than
// one is only found in damaged files.
const int MaxCandidates = 16;

bool u32at(Source &src, uint32_t off, uint32_t *v) {
    const uint8_t *p;
    if (!src.view(off, 4, false, &p)) return false;
    *v = le32(p);
    return true;
}

// Copies len bytes of the ring starting at off, continuing at 0x30 after the
// end of the file. len must not exceed the ring.
bool readring(Source &src, uint32_t filesize, uint32_t off, uint32_t len, uint8_t *dst) {
    if (off < HeaderSize || off >= filesize || len > filesize - HeaderSize) return false;
    uint32_t first = std::min(len, filesize - off);
    const uint8_t *p;
    if (!src.view(off, first, false, &p)) return false;
    std::memcpy(dst, p, first);
    if (first == len) return true;
    if (!src.view(HeaderSize, len - first, false, &p)) return false;
    std::memcpy(dst + first, p, len - first);
    return true;
}

uint32_t ringadd(uint32_t filesize, uint32_t off, uint64_t n) {
    uint64_t ring = filesize - HeaderSize;
    return HeaderSize + (uint32_t)(((uint64_t)(off - HeaderSize) + n) % ring);
}

// Bytes from a forwards to b around the ring (0 when equal).
uint32_t ringdist(uint32_t filesize, uint32_t a, uint32_t b) {
    uint32_t ring = filesize - HeaderSize;
    return (uint32_t)(((uint64_t)b + ring - a) % ring);
}

struct EofValues {
    uint32_t begin, end, current, oldest;
    uint8_t raw[EofSize];
};

void makeeof(uint8_t *p, uint32_t begin, uint32_t end, uint32_t current, uint32_t oldest) {
    put32(p, EofSize);
    for (int i = 0; i < 4; ++i) put32(p + 4 + 4 * i, EofMagic[i]);
    put32(p + 0x14, begin);
    put32(p + 0x18, end);
    put32(p + 0x1C, current);
    put32(p + 0x20, oldest);
    put32(p + 0x24, EofSize);
}

// The end-of-file record at off, when there is a well-formed one whose
// EndRecord is its own offset and whose BeginRecord lies in the ring.
bool eofat(Source &src, uint32_t filesize, uint32_t off, EofValues *v) {
    if (off < HeaderSize || off >= filesize || off % 4) return false;
    if (!readring(src, filesize, off, EofSize, v->raw)) return false;
    const uint8_t *p = v->raw;
    if (le32(p) != EofSize || le32(p + 0x24) != EofSize) return false;
    for (int i = 0; i < 4; ++i)
        if (le32(p + 4 + 4 * i) != EofMagic[i]) return false;
    v->begin = le32(p + 0x14);
    v->end = le32(p + 0x18);
    v->current = le32(p + 0x1C);
    v->oldest = le32(p + 0x20);
    return v->end == off && v->begin >= HeaderSize && v->begin < filesize && v->begin % 4 == 0;
}

// Walks the records from the end-of-file record's BeginRecord to the
// end-of-file record, checking each frame, and indexes them.
bool walk(Source &src, uint32_t filesize, const EofValues &ev, Chain *chain) {
    chain->clear();
    const uint32_t ring = filesize - HeaderSize;
    uint64_t consumed = 0;
    uint32_t off = ev.begin;
    uint32_t prev = 0;
    while (off != ev.end) {
        if (filesize - off < FixedSize) {
            // The tail is filler (or nothing); the next record starts at 0x30.
            consumed += filesize - off;
            off = HeaderSize;
            if (consumed + EofSize > ring) return false;
            continue;
        }
        const uint8_t *p;
        if (!src.view(off, FixedSize, false, &p)) return false;
        uint32_t len = le32(p), number = le32(p + 8);
        if (le32(p + 4) != Signature || len < MinRecordSize || len % 4) return false;
        if (consumed + len + EofSize > ring) return false;
        uint32_t trailing, next;
        if (len <= filesize - off) {
            trailing = off + len - 4;
            next = len == filesize - off ? HeaderSize : off + len;
        } else {
            uint32_t rest = len - (filesize - off);
            trailing = HeaderSize + rest - 4;
            next = HeaderSize + rest;
        }
        uint32_t t;
        if (!u32at(src, trailing, &t) || t != len) return false;
        if (chain->count() && number != prev + 1) return false;
        chain->push(number, off);
        prev = number;
        consumed += len;
        off = next;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- sources

FileSource &FileSource::operator=(FileSource &&other) noexcept {
    fd_ = other.fd_;
    size_ = other.size_;
    window_ = std::move(other.window_);
    capacity_ = other.capacity_;
    other.capacity_ = 0;
    other.hold(nullptr, 0, 0);
    hold(nullptr, 0, 0);
    return *this;
}

bool FileSource::fetch(uint32_t off, uint32_t len, bool backwards, const uint8_t **out) {
    uint64_t end = (uint64_t)off + len;
    if (end > size_) return false;
    uint64_t want = std::max<uint64_t>(len, WindowSize);
    uint64_t start = backwards ? (end > want ? end - want : 0) : off;
    uint64_t stop = std::min<uint64_t>(size_, start + want);
    const size_t n = (size_t)(stop - start);
    hold(nullptr, 0, 0);
    if (n > capacity_) {
        window_.reset(new uint8_t[n]);
        capacity_ = n;
    }
    if (preadall(fd_, window_.get(), n, start) != ERROR_SUCCESS) return false;
    hold(window_.get(), start, n);
    *out = window_.get() + (off - start);
    return true;
}

DWORD FileSource::reset() {
    hold(nullptr, 0, 0);
    struct stat st;
    if (fstat(fd_, &st) != 0) return errnotowin(errno, "");
    size_ = (uint64_t)st.st_size;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- the index

bool Chain::find(uint32_t number, size_t *pos) const {
    size_t d = (uint32_t)(number - first_);
    if (!count() || d >= count()) return false;
    *pos = d;
    return true;
}

void Chain::push(uint32_t number, uint32_t off) {
    if (!count()) {
        offsets_.clear();
        head_ = 0;
        first_ = number;
    }
    offsets_.push_back(off);
}

void Chain::popoldest() {
    ++head_;
    ++first_;
    if (head_ == offsets_.size()) {
        offsets_.clear();
        head_ = 0;
    } else if (head_ > 4096 && head_ > offsets_.size() / 2) {
        offsets_.erase(offsets_.begin(), offsets_.begin() + (ptrdiff_t)head_);
        head_ = 0;
    }
}

void Chain::clear() {
    offsets_.clear();
    head_ = 0;
    first_ = 0;
}

// ---------------------------------------------------------------- reading

DWORD parse(Source &src, Chain *out) {
    const uint64_t size = src.size();
    if (size < HeaderSize + EofSize || size > 0xFFFFFFFFu || size % 4) return ERROR_EVENTLOG_FILE_CORRUPT;
    const uint32_t filesize = (uint32_t)size;
    const uint8_t *h;
    if (!src.view(0, HeaderSize, false, &h)) return ERROR_EVENTLOG_FILE_CORRUPT;
    if (le32(h) != HeaderSize || le32(h + 4) != Signature || le32(h + 0x2C) != HeaderSize)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    const uint32_t hdrend = le32(h + 0x14), maxsize = le32(h + 0x20), flags = le32(h + 0x24),
                   retention = le32(h + 0x28);

    // The header's end offset is right in a clean file; in a dirty one the
    // end-of-file record lies further on, so the scan starts there and goes
    // once around the ring.
    const uint32_t ring = filesize - HeaderSize;
    const uint32_t from = hdrend >= HeaderSize && hdrend < filesize && hdrend % 4 == 0 ? hdrend : HeaderSize;
    EofValues ev;
    bool found = false;
    int tried = 0;
    for (uint32_t step = 0; step < ring && !found && tried < MaxCandidates; step += 4) {
        uint32_t off = ringadd(filesize, from, step);
        uint32_t magic;
        if (!u32at(src, ringadd(filesize, off, 4), &magic) || magic != EofMagic[0]) continue;
        if (!eofat(src, filesize, off, &ev)) continue;
        ++tried;
        found = walk(src, filesize, ev, out);
    }
    if (!found) {
        out->clear();
        return ERROR_EVENTLOG_FILE_CORRUPT;
    }
    out->filesize = filesize;
    out->start = ev.begin;
    out->end = ev.end;
    out->current = out->count() ? out->newest() + 1 : ev.current;
    out->maxsize = maxsize;
    out->flags = flags;
    out->retention = retention;
    std::memcpy(out->eof, ev.raw, EofSize);
    return ERROR_SUCCESS;
}

bool recordat(Source &src, const Chain &chain, size_t pos, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) {
    if (pos >= chain.count()) return false;
    const uint32_t filesize = chain.filesize, off = chain.offset(pos);
    const uint8_t *p;
    if (off < HeaderSize || !src.view(off, 4, backwards, &p)) return false;
    const uint32_t len = le32(p);
    if (len < MinRecordSize || len % 4 || len > filesize - HeaderSize) return false;
    if (len <= filesize - off) {
        if (!src.view(off, len, backwards, &p)) return false;
    } else {
        scratch->resize(len);
        if (!readring(src, filesize, off, len, scratch->data())) return false;
        p = scratch->data();
    }
    if (le32(p) != len || le32(p + 4) != Signature || le32(p + 8) != chain.oldest() + (uint32_t)pos ||
        le32(p + len - 4) != len)
        return false;
    out->data = p;
    out->size = len;
    return true;
}

// ---------------------------------------------------------------- ANSI form

namespace {

#ifndef __SSE2__
// The eight bytes at p as a little-endian number.
inline uint64_t load64(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

// True when the four UTF-16 units of w are ASCII and none is NUL. With
// every unit below 0x80, adding 0x7FFF to each cannot carry into the next,
// and sets its top bit exactly when the unit is not 0.
inline bool fourascii(uint64_t w) {
    const uint64_t tops = 0x8000800080008000ull;
    return (w & 0xFF80FF80FF80FF80ull) == 0 && ((w + 0x7FFF7FFF7FFF7FFFull) & tops) == tops;
}
#endif

#ifdef __SSE2__
// The first n (1 to 8) bytes of bytes at to, in at most three stores.
inline void putfirst(uint8_t *to, uint64_t bytes, unsigned n) {
    if (n == 8) {
        std::memcpy(to, &bytes, 8);
        return;
    }
    if (n & 4) {
        const uint32_t four = (uint32_t)bytes;
        std::memcpy(to, &four, 4);
        to += 4;
        bytes >>= 32;
    }
    if (n & 2) {
        const uint16_t two = (uint16_t)bytes;
        std::memcpy(to, &two, 2);
        to += 2;
        bytes >>= 16;
    }
    if (n & 1) *to = (uint8_t)bytes;
}
#endif

// Strings that follow each other, each ended by a NUL, as the two names and
// the insertion strings of a record lie: count strings from from on (which
// lies at least 14 bytes into the record), all of which must end before end.
// *units receives their number of UTF-16 units, NULs included. With Write,
// the strings and their NULs are converted to code page 1252 at dst as well,
// a byte per unit, and nothing after the last NUL is written. False when a
// string has no NUL before end.
//
// One pass over all of them. Where the processor has SSE2, eight units go at
// a time: a block of units from 1 to 0x7F is one pack and one store; in
// another block the NULs before its first wider unit are found from a mask,
// and the units from that one on go one by one. The last units, when fewer
// than eight are left, are loaded as the end of a block ending with them
// (those before are ignored), so no byte is read from end on. Without SSE2,
// four units go at a time when none is wide or NUL.
template <bool Write> inline __attribute__((always_inline)) bool
ansistrings(const uint8_t *from, const uint8_t *end, uint32_t count, uint8_t *dst, uint32_t *units) {
    const uint8_t *q = from;
    uint32_t i = 0;
    // One unit, converted and counted; true when it ends the last string.
    auto unit = [&](uint32_t u) {
        if (Write) dst[i] = ansiunit(u);
        ++i;
        return u == 0 && --count == 0;
    };
    if (count == 0) {
        *units = 0;
        return true;
    }
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1), high = _mm_set1_epi16((short)0xFF80),
                  most = _mm_set1_epi16(0x7E);
    for (;;) {
        uint32_t n = 8, skip = 0;
        __m128i w;
        if (end - q >= 16) {
            w = _mm_loadu_si128((const __m128i *)q);
            // A unit from 1 to 0x7F, less one, is at most 0x7E (0 wraps
            // to 0xFFFF; 0x80 is not ASCII and must not pass as 0x7F).
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(w, one), most), zero)) == 0xFFFF) {
                if (Write) _mm_storel_epi64((__m128i *)(dst + i), _mm_packus_epi16(w, w));
                i += 8;
                q += 16;
                continue;
            }
        } else {
            n = (uint32_t)(end - q) / 2;
            if (n == 0) break;
            skip = 8 - n;
            w = _mm_loadu_si128((const __m128i *)(q - 2 * skip));
        }
        // Two mask bits per unit: units at 0x80 and above, and NULs.
        const unsigned wide =
            ((unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(w, high), zero)) ^ 0xFFFFu) >> (2 * skip);
        unsigned nul = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(w, zero)) >> (2 * skip);
        uint64_t bytes;
        _mm_storel_epi64((__m128i *)&bytes, _mm_packus_epi16(w, w));
        bytes >>= 8 * skip;
        // The units before the first wide one pack right; the strings may
        // end among them.
        const unsigned ascii = wide ? (unsigned)__builtin_ctz(wide) / 2 : n;
        nul &= (1u << (2 * ascii)) - 1;
        while (nul) {
            const unsigned at = (unsigned)__builtin_ctz(nul) / 2;
            nul &= ~(3u << (2 * at));
            if (--count == 0) {
                if (Write) putfirst(dst + i, bytes, at + 1);
                *units = i + at + 1;
                return true;
            }
        }
        if (ascii == 8) {
            if (Write) std::memcpy(dst + i, &bytes, 8);
            i += 8;
            q += 16;
            continue;
        }
        if (!wide) break; // the last units before end, and no end of a string among them
        if (ascii) {
            if (Write) putfirst(dst + i, bytes, ascii);
            i += ascii;
        }
        for (uint32_t k = ascii; k < n; ++k)
            if (unit(le16(q + 2 * k))) {
                *units = i;
                return true;
            }
        q += 2 * n;
    }
#else
    while (end - q >= 2) {
        if (end - q >= 8) {
            const uint64_t w = load64(q);
            if (fourascii(w)) {
                if (Write) {
                    dst[i] = (uint8_t)w;
                    dst[i + 1] = (uint8_t)(w >> 16);
                    dst[i + 2] = (uint8_t)(w >> 32);
                    dst[i + 3] = (uint8_t)(w >> 48);
                }
                i += 4;
                q += 8;
                continue;
            }
        }
        const bool ends = unit(le16(q));
        q += 2;
        if (ends) {
            *units = i;
            return true;
        }
    }
#endif
    return false;
}

// The strings' units (ansistrings), converted to dst when it is set.
inline __attribute__((always_inline)) bool ansistrings(Bytes rec, uint32_t off, uint32_t limit, uint32_t count,
                                                       uint8_t *dst, uint32_t *units) {
    const uint8_t *from = rec.data + off, *end = rec.data + limit;
    return dst ? ansistrings<true>(from, end, count, dst, units) : ansistrings<false>(from, end, count, dst, units);
}

bool inrecord(uint32_t off, uint32_t len, uint32_t limit) { return off >= FixedSize && (uint64_t)off + len <= limit; }

} // namespace

DWORD ansiform(Bytes rec, uint8_t *out, uint32_t cap, uint32_t *size) {
    // The fixed part lies within a record of at least MinRecordSize bytes.
    if (rec.size < MinRecordSize || le32(rec.data) != rec.size) return ERROR_EVENTLOG_FILE_CORRUPT;
    const uint32_t limit = (uint32_t)rec.size - 4; // the variable part ends at the trailing length
    const uint16_t nstrings = le16(rec.data + 0x1A);
    const uint32_t stroff = le32(rec.data + 0x24), sidlen = le32(rec.data + 0x28), sidoff = le32(rec.data + 0x2C),
                   datalen = le32(rec.data + 0x30), dataoff = le32(rec.data + 0x34);
    if (sidlen && !inrecord(sidoff, sidlen, limit)) return ERROR_EVENTLOG_FILE_CORRUPT;
    if (datalen && !inrecord(dataoff, datalen, limit)) return ERROR_EVENTLOG_FILE_CORRUPT;
    if (nstrings && !inrecord(stroff, 0, limit)) return ERROR_EVENTLOG_FILE_CORRUPT;

    // The ANSI form takes at most a byte per UTF-16 unit of the two names
    // (which follow each other) and of the strings (which follow each other,
    // but may lie over the names in a damaged record), the SID, the data, two
    // paddings and the trailing length. When out has room for that much, the
    // texts are converted straight to their places while they are measured;
    // otherwise they are measured first and converted once the record is
    // known to fit. A buffer too small is never written to.
    const uint64_t most = (uint64_t)FixedSize + (limit - FixedSize) / 2 + 4 + sidlen +
                          (nstrings ? (limit - stroff) / 2 : 0) + datalen + 4 + 4;
    const bool direct = out && most <= cap;

    // The two names are converted together, and so are the strings. Each
    // padding is 1 to 4 zero bytes, and at least 4 bytes that are written
    // later follow it (the SID, strings, data or trailing length), so one
    // zero DWORD written before them makes it.
    uint32_t names = 0, strbytes = 0;
    if (!ansistrings(rec, FixedSize, limit, 2, direct ? out + FixedSize : nullptr, &names))
        return ERROR_EVENTLOG_FILE_CORRUPT;
    uint64_t pos = FixedSize + names;
    if (direct) put32(out + pos, 0);
    const uint32_t pad1 = 4 - (uint32_t)(pos % 4);
    const uint64_t sidpos = pos + pad1;
    const uint64_t strpos = sidpos + sidlen;
    if (!ansistrings(rec, stroff, limit, nstrings, direct ? out + strpos : nullptr, &strbytes))
        return ERROR_EVENTLOG_FILE_CORRUPT;

    const uint64_t datapos = strpos + strbytes;
    pos = datapos + datalen;
    const uint32_t pad2 = 4 - (uint32_t)(pos % 4);
    const uint64_t total = pos + pad2 + 4;
    if (total > 0xFFFFFFFFu) return ERROR_EVENTLOG_FILE_CORRUPT;
    *size = (uint32_t)total;
    if (!out || total > cap) return ERROR_SUCCESS;

    if (!direct) {
        ansistrings(rec, FixedSize, limit, 2, out + FixedSize, &names);
        put32(out + sidpos - pad1, 0);
        ansistrings(rec, stroff, limit, nstrings, out + strpos, &strbytes);
    }
    std::memcpy(out, rec.data, FixedSize);
    put32(out, (uint32_t)total);
    put32(out + 0x24, (uint32_t)strpos);
    put32(out + 0x2C, (uint32_t)sidpos);
    put32(out + 0x34, (uint32_t)datapos);
    if (sidlen) std::memcpy(out + sidpos, rec.data + sidoff, sidlen);
    if (datalen) std::memcpy(out + datapos, rec.data + dataoff, datalen);
    put32(out + pos, 0);
    put32(out + pos + pad2, (uint32_t)total);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- building records

void putfixed(uint8_t *p, const Fixed &f) {
    put32(p, f.length);
    put32(p + 4, Signature);
    put32(p + 8, f.number);
    put32(p + 0x0C, f.timegenerated);
    put32(p + 0x10, f.timewritten);
    put32(p + 0x14, f.eventid);
    put16(p + 0x18, f.eventtype);
    put16(p + 0x1A, f.nstrings);
    put16(p + 0x1C, f.category);
    put16(p + 0x1E, 0);
    put32(p + 0x20, 0);
    put32(p + 0x24, f.stroff);
    put32(p + 0x28, f.sidlen);
    put32(p + 0x2C, f.sidoff);
    put32(p + 0x30, f.datalen);
    put32(p + 0x34, f.dataoff);
}

namespace {

uint8_t *putwide(uint8_t *d, const std::u16string &s) {
    for (char16_t c : s) {
        put16(d, (uint16_t)c);
        d += 2;
    }
    put16(d, 0);
    return d + 2;
}

// The fixed part of a record of len bytes built from rec's fields, its
// variable parts at the offsets given.
void putfixed(uint8_t *p, const NewRecord &rec, uint32_t number, uint32_t len, uint32_t stroff, uint32_t sidoff,
              uint32_t dataoff) {
    Fixed f;
    f.length = len;
    f.number = number;
    f.timegenerated = rec.timegenerated;
    f.timewritten = rec.timewritten;
    f.eventid = rec.eventid;
    f.eventtype = rec.eventtype;
    f.nstrings = (uint16_t)rec.strings.size();
    f.category = rec.category;
    f.stroff = stroff;
    f.sidlen = (uint32_t)rec.sid.size();
    f.sidoff = sidoff;
    f.datalen = (uint32_t)rec.data.size();
    f.dataoff = dataoff;
    evt::putfixed(p, f);
}

} // namespace

void buildrecord(const NewRecord &rec, uint32_t number, std::vector<uint8_t> *out) {
    uint64_t pos = FixedSize + 2 * (rec.source.size() + 1) + 2 * (rec.computer.size() + 1);
    const uint32_t sidoff = (uint32_t)pos;
    pos += rec.sid.size();
    const uint32_t stroff = (uint32_t)pos;
    for (const std::u16string &s : rec.strings) pos += 2 * (s.size() + 1);
    const uint32_t dataoff = (uint32_t)pos;
    pos += rec.data.size();
    pos += 4 - pos % 4;
    const uint32_t len = (uint32_t)(pos + 4);

    out->assign(len, 0);
    uint8_t *p = out->data();
    putfixed(p, rec, number, len, stroff, sidoff, dataoff);
    uint8_t *d = putwide(p + FixedSize, rec.source);
    d = putwide(d, rec.computer);
    if (!rec.sid.empty()) std::memcpy(d, rec.sid.data(), rec.sid.size());
    d += rec.sid.size();
    for (const std::u16string &s : rec.strings) d = putwide(d, s);
    if (!rec.data.empty()) std::memcpy(d, rec.data.data(), rec.data.size());
    put32(p + len - 4, len);
}

void ansirecord(const NewRecord &rec, uint32_t number, std::vector<uint8_t> *out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // A string's units lie in memory as UTF-16LE, with the NUL the string
    // keeps after them: each is converted as a record's string is, and the
    // one built here is the form of the record built whole when no text
    // holds a NUL of its own (which would end it early there).
    const std::u16string *texts[2] = {&rec.source, &rec.computer};
    uint64_t size = FixedSize + 4 + rec.sid.size() + rec.data.size() + 4 + 4;
    size += rec.source.size() + 1 + rec.computer.size() + 1;
    for (const std::u16string &t : rec.strings) size += t.size() + 1;
    if (size < 0xFFFFFFFFu) {
        out->resize((size_t)size);
        uint8_t *p = out->data();
        bool whole = true;
        // The block converter reads the last units of a string as the end
        // of a block of eight, so a string of fewer units (NUL included),
        // which has no such block of its own, goes unit by unit.
        auto put = [&](const std::u16string &t, uint8_t *d) {
            const uint32_t bytes = 2 * (uint32_t)(t.size() + 1);
            uint32_t n = 0;
            if (!whole) return d;
            if (bytes >= 16) {
                whole = ansistrings(Bytes{(const uint8_t *)t.data(), bytes}, 0, bytes, 1, d, &n) && n == t.size() + 1;
                return d + n;
            }
            for (char16_t c : t) {
                whole = whole && c != 0;
                d[n++] = ansiunit(c);
            }
            d[n++] = 0;
            return d + n;
        };
        auto putzeros = [](uint8_t *d, uint32_t n) {
            std::memset(d, 0, n);
            return d + n;
        };
        uint8_t *d = p + FixedSize;
        for (const std::u16string *t : texts) d = put(*t, d);
        const uint32_t sidpos = (uint32_t)(d - p) + (4 - (uint32_t)(d - p) % 4);
        d = putzeros(d, sidpos - (uint32_t)(d - p));
        if (!rec.sid.empty()) std::memcpy(d, rec.sid.data(), rec.sid.size());
        d += rec.sid.size();
        const uint32_t strpos = (uint32_t)(d - p);
        for (const std::u16string &t : rec.strings) d = put(t, d);
        const uint32_t datapos = (uint32_t)(d - p);
        if (!rec.data.empty()) std::memcpy(d, rec.data.data(), rec.data.size());
        d += rec.data.size();
        d = putzeros(d, 4 - (uint32_t)(d - p) % 4);
        const uint32_t total = (uint32_t)(d - p) + 4;
        if (whole) {
            putfixed(p, rec, number, total, strpos, sidpos, datapos);
            put32(d, total);
            out->resize(total);
            return;
        }
    }
#endif
    std::vector<uint8_t> native;
    buildrecord(rec, number, &native);
    uint32_t need = 0;
    ansiform(Bytes{native.data(), native.size()}, nullptr, 0, &need);
    out->resize(need);
    ansiform(Bytes{native.data(), native.size()}, out->data(), need, &need);
}

std::vector<uint8_t> emptyimage(uint32_t filesize, uint32_t maxsize, uint32_t retention, uint32_t current) {
    std::vector<uint8_t> image(filesize, 0);
    uint8_t *h = image.data();
    put32(h, HeaderSize);
    put32(h + 4, Signature);
    put32(h + 8, 1);
    put32(h + 0x0C, 1);
    put32(h + 0x10, HeaderSize);
    put32(h + 0x14, HeaderSize);
    put32(h + 0x18, current);
    put32(h + 0x1C, 0);
    put32(h + 0x20, maxsize);
    put32(h + 0x24, 0);
    put32(h + 0x28, retention);
    put32(h + 0x2C, HeaderSize);
    makeeof(h + HeaderSize, HeaderSize, HeaderSize, current, 0);
    return image;
}

// ---------------------------------------------------------------- the open file

DWORD LogFile::open(const std::string &hostpath, bool writable) {
    struct stat st;
    if (DWORD rc = adopt(hostpath, writable, &st)) return rc;
    ino_ = (uint64_t)st.st_ino;
    dev_ = (uint64_t)st.st_dev;
    src_ = FileSource(fd_);
    chain_ = Chain();
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    unlock();
    return rc;
}

DWORD LogFile::openorcreate(const std::string &hostpath, uint32_t maxsize, uint32_t retention, bool maywrite) {
    return openlive(
        hostpath, maywrite, [&](bool writable) { return open(hostpath, writable); },
        [&] {
            uint32_t size = std::max(std::min(GrowStep, maxsize & ~3u), HeaderSize + EofSize);
            return emptyimage(size, maxsize, retention, 1);
        },
        &denied_);
}

DWORD LogFile::lock(bool exclusive) { return lockfd(fd_, exclusive); }

bool LogFile::nearest(uint32_t number, bool forwards, uint32_t *found) {
    size_t pos;
    if (chain_.find(number, &pos)) {
        *found = number;
        return true;
    }
    if (!chain_.count()) return false;
    const bool before = (int32_t)(number - chain_.oldest()) < 0;
    if (forwards != before) return false;
    *found = forwards ? chain_.oldest() : chain_.newest();
    return true;
}

bool LogFile::record(uint32_t number, bool backwards, std::vector<uint8_t> *scratch, Bytes *out) {
    size_t pos;
    return chain_.find(number, &pos) && recordat(src_, chain_, pos, backwards, scratch, out);
}

void LogFile::unlock() { flock(fd_, LOCK_UN); }

// True when the file is as the index last saw it. Every write moves or
// rewrites the end-of-file record, and its CurrentRecordNumber only grows
// (a clear keeps numbering), so an unchanged record at the same place and an
// unchanged size mean an unchanged log.
bool LogFile::unchanged() {
    if (!chain_.filesize) return false;
    struct stat st;
    if (fstat(fd_, &st) != 0 || (uint64_t)st.st_size != chain_.filesize) return false;
    uint8_t now[EofSize];
    uint32_t first = std::min(EofSize, chain_.filesize - chain_.end);
    if (preadall(fd_, now, first, chain_.end) != ERROR_SUCCESS) return false;
    if (first < EofSize && preadall(fd_, now + first, EofSize - first, HeaderSize) != ERROR_SUCCESS) return false;
    return std::memcmp(now, chain_.eof, EofSize) == 0;
}

DWORD LogFile::refresh() {
    if (unchanged()) return ERROR_SUCCESS;
    DWORD rc = src_.reset();
    if (rc == ERROR_SUCCESS) rc = parse(src_, &chain_);
    if (rc != ERROR_SUCCESS) chain_ = Chain();
    return rc;
}

DWORD LogFile::writeat(uint32_t off, const uint8_t *p, uint32_t len) { return pwriteall(fd_, p, len, off); }

DWORD LogFile::writering(uint32_t off, const uint8_t *p, uint32_t len) {
    uint32_t first = std::min(len, chain_.filesize - off);
    DWORD rc = writeat(off, p, first);
    if (rc == ERROR_SUCCESS && first < len) rc = writeat(HeaderSize, p + first, len - first);
    return rc;
}

DWORD LogFile::writeeof(uint32_t off, uint32_t begin, uint32_t current, uint32_t oldest) {
    uint8_t eof[EofSize];
    makeeof(eof, begin, off, current, oldest);
    DWORD rc = writering(off, eof, EofSize);
    if (rc == ERROR_SUCCESS) std::memcpy(chain_.eof, eof, EofSize);
    return rc;
}

DWORD LogFile::writeheader(bool dirty) {
    std::vector<uint8_t> h = emptyimage(HeaderSize + EofSize, chain_.maxsize, chain_.retention, chain_.current);
    put32(h.data() + 0x10, chain_.start);
    put32(h.data() + 0x14, chain_.end);
    put32(h.data() + 0x1C, chain_.oldest());
    put32(h.data() + 0x24, dirty ? chain_.flags | FlagDirty : chain_.flags & ~FlagDirty);
    return writeat(0, h.data(), HeaderSize);
}

DWORD LogFile::append(const std::vector<NewRecord> &recs, uint32_t maxsize, uint32_t retention, uint32_t *last) {
    if (!writable_) return denied_;
    DWORD rc = lock(true);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    if (rc == ERROR_SUCCESS) rc = writeheader(true);
    if (rc == ERROR_SUCCESS) {
        std::vector<uint8_t> buf;
        for (const NewRecord &rec : recs) {
            rc = appendone(rec, maxsize ? maxsize & ~3u : chain_.maxsize & ~3u, retention, &buf);
            if (rc != ERROR_SUCCESS) break;
            if (last) *last = chain_.newest();
        }
        DWORD frc = flush();
        if (rc == ERROR_SUCCESS) rc = frc;
        // After a failure the index may hold discards the disk never saw: the
        // header stays dirty (the end-of-file record is what counts) and the
        // next call indexes the file again.
        DWORD hrc = writeheader(rc != ERROR_SUCCESS);
        if (rc == ERROR_SUCCESS) rc = hrc;
        if (rc != ERROR_SUCCESS) chain_.filesize = 0;
    }
    src_.reset();
    unlock();
    return rc;
}

// Writes the pending stream. The end-of-file record on disk first learns of
// the records discarded meanwhile, then the stream goes in with its first
// 0x28 bytes (which overwrite that record) last: at every moment one
// end-of-file record on disk describes a complete log.
DWORD LogFile::flush() {
    if (pend_.empty()) return ERROR_SUCCESS;
    DWORD rc = ERROR_SUCCESS;
    if (penddiscard_) {
        uint8_t eof[EofSize];
        if (chain_.start == pendoff_)
            makeeof(eof, pendoff_, pendoff_, pendfirst_, 0);
        else
            makeeof(eof, chain_.start, pendoff_, pendfirst_, chain_.oldest());
        rc = writeat(pendoff_, eof, EofSize);
    }
    if (rc == ERROR_SUCCESS) rc = writeat(pendoff_ + EofSize, pend_.data() + EofSize, (uint32_t)pend_.size() - EofSize);
    if (rc == ERROR_SUCCESS) rc = writeat(pendoff_, pend_.data(), EofSize);
    pend_.clear();
    penddiscard_ = false;
    return rc;
}

// One record: make room (grow, or discard the oldest records), then write
// filler, record and new end-of-file record as one stream from the old
// end-of-file record on. A stream that stays before the end of the file
// joins the pending ones; one that wraps is written at once, its first 0x28
// bytes (over the old end-of-file record) last, so that until then the old
// record still describes a complete log.
DWORD LogFile::appendone(const NewRecord &rec, uint32_t maxsize, uint32_t retention, std::vector<uint8_t> *buf) {
    const uint32_t number = chain_.current;
    std::vector<uint8_t> record;
    buildrecord(rec, number, &record);
    const uint32_t len = (uint32_t)record.size();
    if ((uint64_t)len + EofSize > std::max(maxsize, chain_.filesize) - HeaderSize) return ERROR_LOG_FILE_FULL;
    bool discarded = false;
    uint32_t filler;
    for (;;) {
        const uint32_t fs = chain_.filesize, e = chain_.end;
        filler = fs - e < FixedSize ? fs - e : 0;
        uint32_t avail = chain_.count() ? ringdist(fs, e, chain_.start) : fs - HeaderSize;
        if ((uint64_t)filler + len + EofSize <= avail) break;
        bool straight = (!chain_.count() || chain_.start <= e) && e + EofSize <= fs;
        if (straight && fs < maxsize) {
            uint32_t grown = (uint32_t)std::min<uint64_t>(maxsize, (uint64_t)fs + GrowStep);
            if (ftruncate(fd_, grown) != 0) return errnotowin(errno, "");
            chain_.filesize = grown;
            continue;
        }
        if (!chain_.count()) return ERROR_LOG_FILE_FULL;
        // A pending record is written before it can be discarded, so the
        // end-of-file record on disk only ever drops records on disk.
        const uint32_t oldest = chain_.offset(0);
        if (!pend_.empty() && oldest >= pendoff_ && oldest - pendoff_ < pend_.size()) {
            DWORD rc = flush();
            if (rc != ERROR_SUCCESS) return rc;
        }
        if (retention) {
            uint8_t written[4];
            DWORD rc = preadall(fd_, written, 4, chain_.offset(0) + 0x10);
            if (rc != ERROR_SUCCESS) return rc;
            int64_t age = (int64_t)rec.timewritten - (int64_t)le32(written);
            if (retention == 0xFFFFFFFFu || age < (int64_t)retention) {
                chain_.flags |= FlagLogFull;
                return ERROR_LOG_FILE_FULL;
            }
        }
        chain_.popoldest();
        chain_.start = chain_.count() ? chain_.offset(0) : e;
        discarded = true;
    }
    const uint32_t fs = chain_.filesize, e = chain_.end;
    const bool wraps = (uint64_t)e + filler + len + EofSize > fs;
    if (wraps) {
        DWORD rc = flush();
        if (rc == ERROR_SUCCESS && discarded) rc = writeeof(e, chain_.start, chain_.current, chain_.oldest());
        if (rc != ERROR_SUCCESS) return rc;
    }
    const uint32_t recoff = filler ? HeaderSize : e;
    const uint32_t neweof = ringadd(fs, e, (uint64_t)filler + len);
    if (wraps) chain_.flags |= FlagWrap;
    chain_.push(number, recoff);
    chain_.start = chain_.offset(0);
    chain_.current = number + 1;

    buf->assign(filler + len + EofSize, 0);
    uint8_t *s = buf->data();
    for (uint32_t i = 0; i < filler; i += 4) put32(s + i, Filler);
    std::memcpy(s + filler, record.data(), len);
    makeeof(s + filler + len, chain_.start, neweof, chain_.current, chain_.oldest());
    const uint32_t total = (uint32_t)buf->size();
    if (wraps) {
        DWORD rc = writering(ringadd(fs, e, EofSize), s + EofSize, total - EofSize);
        if (rc == ERROR_SUCCESS) rc = writering(e, s, EofSize);
        if (rc != ERROR_SUCCESS) return rc;
    } else {
        // The pending stream ends with the end-of-file record at e, which
        // this stream replaces.
        if (pend_.empty()) {
            pendoff_ = e;
            pendfirst_ = number;
        }
        pend_.resize(e - pendoff_);
        pend_.insert(pend_.end(), s, s + total);
        penddiscard_ = penddiscard_ || discarded;
    }
    chain_.end = neweof;
    std::memcpy(chain_.eof, s + filler + len, EofSize);
    if (pend_.size() >= WindowSize) return flush();
    return ERROR_SUCCESS;
}

DWORD LogFile::backup(const std::string &hostpath) {
    DWORD rc = lock(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    if (rc != ERROR_SUCCESS) {
        unlock();
        return rc;
    }
    int out = ::open(hostpath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        rc = errno == EEXIST ? ERROR_ALREADY_EXISTS : errnotowin(errno, hostpath);
        unlock();
        return rc;
    }
    // Records go out oldest first through a buffer of about 1 MiB.
    std::vector<uint8_t> buf, scratch;
    uint64_t written = HeaderSize;
    for (size_t pos = 0; pos < chain_.count() && rc == ERROR_SUCCESS; ++pos) {
        Bytes rec;
        if (!recordat(src_, chain_, pos, false, &scratch, &rec)) {
            rc = ERROR_EVENTLOG_FILE_CORRUPT;
            break;
        }
        buf.insert(buf.end(), rec.data, rec.data + rec.size);
        if (buf.size() >= WindowSize || pos + 1 == chain_.count()) {
            rc = pwriteall(out, buf.data(), buf.size(), written);
            written += buf.size();
            buf.clear();
        }
    }
    const uint32_t end = (uint32_t)written;
    std::vector<uint8_t> head = emptyimage(HeaderSize + EofSize, end + EofSize, chain_.retention, chain_.current);
    put32(head.data() + 0x14, end);
    put32(head.data() + 0x1C, chain_.oldest());
    makeeof(head.data() + HeaderSize, HeaderSize, end, chain_.current, chain_.oldest());
    if (rc == ERROR_SUCCESS) rc = pwriteall(out, head.data() + HeaderSize, EofSize, end);
    if (rc == ERROR_SUCCESS) rc = pwriteall(out, head.data(), HeaderSize, 0);
    if (close(out) != 0 && rc == ERROR_SUCCESS) rc = errnotowin(errno, hostpath);
    if (rc != ERROR_SUCCESS) unlink(hostpath.c_str());
    unlock();
    return rc;
}

DWORD LogFile::clear() {
    if (!writable_) return denied_;
    DWORD rc = lock(true);
    if (rc != ERROR_SUCCESS) return rc;
    rc = refresh();
    const uint32_t oldeof = chain_.end;
    if (rc == ERROR_SUCCESS) rc = writeheader(true);
    // The new end-of-file record goes in first; the old one is wiped after,
    // so that a reader holding the old position sees the change. A crash in
    // between leaves two records and the scan takes the one whose chain holds.
    if (rc == ERROR_SUCCESS) rc = writeeof(HeaderSize, HeaderSize, chain_.current, 0);
    if (rc == ERROR_SUCCESS && ringdist(chain_.filesize, HeaderSize, oldeof) >= EofSize &&
        ringdist(chain_.filesize, oldeof, HeaderSize) >= EofSize) {
        uint8_t zeros[EofSize] = {0};
        rc = writering(oldeof, zeros, EofSize);
    }
    if (rc == ERROR_SUCCESS) {
        chain_.clear();
        chain_.start = chain_.end = HeaderSize;
        chain_.flags = 0;
        rc = writeheader(false);
    }
    if (rc == ERROR_SUCCESS && chain_.filesize > GrowStep) {
        if (ftruncate(fd_, GrowStep) != 0)
            rc = errnotowin(errno, "");
        else
            chain_.filesize = GrowStep;
    }
    src_.reset();
    unlock();
    return rc;
}

} // namespace evt
} // namespace nt
