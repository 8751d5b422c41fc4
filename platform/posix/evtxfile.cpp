// evtxfile.cpp: reads Windows XML event log (.evtx) files.
//
// Sections: checksums; the index (file header, chunk checks, order);
// positions (walking the records of a chunk); binary XML (compiling element
// trees and templates into operations, cached per chunk); values (their text
// as the event's XML shows it); the legacy view (which parts of the event
// make the fields of the record).
//
// The service keeps the file header up to date lazily, so a copy of a live
// log has a stale chunk count and next record number; Windows' service
// rescans or refuses such a file, and refuses one with a damaged chunk.
// This reader takes every intact chunk instead, wherever it lies, and skips
// the damaged ones with their records.
//
// Only what the legacy view needs is taken from an event: no XML text is
// built. A template is compiled once per chunk into a flat list of
// operations; a record then costs a walk of that list with its values.
#include "platform/posix/evtxfile.h"

#include "platform/posix/sidnames.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace nt {
namespace evtx {

// ---------------------------------------------------------------- checksums

namespace {

// Eight tables so that the CRC takes eight bytes a step: table k gives the
// CRC of a byte followed by k zero bytes.
struct CrcTables {
    uint32_t t[8][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

} // namespace

uint32_t crc32(const uint8_t *p, size_t len, uint32_t crc) {
    static const CrcTables tables;
    const auto &t = tables.t;
    crc = ~crc;
    for (; len >= 8; p += 8, len -= 8) {
        const uint32_t a = crc ^ nt::le32(p), b = nt::le32(p + 4);
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^ t[3][b & 0xFF] ^
              t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
    for (; len; ++p, --len) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t headercrc(const uint8_t *chunk) { return crc32(chunk + 0x80, ChunkHeaderSize - 0x80, crc32(chunk, 0x78)); }

bool hassignature(Bytes head) { return head.has(0, 8) && std::memcmp(head.data, "ElfFile", 8) == 0; }

// ---------------------------------------------------------------- binary XML

namespace {

const uint16_t None = 0xFFFF;
// Limits that keep a hostile record's cost proportional to its size: element
// nesting inside one fragment, binary XML values nested in values, and the
// operations, scanned bytes (a unit per 16) and text units of one record.
const int MaxDepth = 32;
const int MaxNesting = 8;
const uint32_t MaxWork = 1u << 18;
// Open elements and attribute values at once: the depth of elements in each
// of the nested fragments, and the root above them.
const size_t MaxFrames = (MaxDepth + 2) * (MaxNesting + 1) + 2;
// Compiled operations kept for one chunk before the cache starts afresh;
// the bytes of the templates' identities kept before the recipes do.
const size_t MaxOps = 1u << 16;
const size_t MaxForms = 1u << 22;
// The bytes of the template definitions kept to know them again in later
// chunks, before that store starts afresh.
const size_t MaxKnown = 1u << 22;

// The element and attribute names the legacy view looks at.
enum Name : uint8_t {
    NOther,
    NEvent,
    NSystem,
    NProvider,
    NEventID,
    NLevel,
    NTask,
    NKeywords,
    NTimeCreated,
    NComputer,
    NSecurity,
    NEventData,
    NData,
    NBinary,
    NUserData,
    NName,
    NEventSourceName,
    NQualifiers,
    NSystemTime,
    NUserID,
};

const struct NameText {
    const char *text;
    Name name;
    uint16_t length;
    NameText(const char *text, Name name) : text(text), name(name), length((uint16_t)std::strlen(text)) {}
} Names[] = {
    {"Event", NEvent},
    {"System", NSystem},
    {"Provider", NProvider},
    {"EventID", NEventID},
    {"Level", NLevel},
    {"Task", NTask},
    {"Keywords", NKeywords},
    {"TimeCreated", NTimeCreated},
    {"Computer", NComputer},
    {"Security", NSecurity},
    {"EventData", NEventData},
    {"Data", NData},
    {"Binary", NBinary},
    {"UserData", NUserData},
    {"Name", NName},
    {"EventSourceName", NEventSourceName},
    {"Qualifiers", NQualifiers},
    {"SystemTime", NSystemTime},
    {"UserID", NUserID},
};

// What an element is to the legacy view, from its name and its parent's role.
enum Role : uint8_t {
    ROutside, // above the root element
    REvent,
    RSystem,
    RProvider,
    REventID,
    RLevel,
    RTask,
    RKeywords,
    RTimeCreated,
    RComputer,
    RSecurity,
    REventData,
    RData,
    RBinary,
    RUserData,
    RUser, // any element under UserData: a leaf gives a string
    RAttr, // the value of an attribute the view takes
    RIgnore,
};

Role classify(Role parent, Name name) {
    switch (parent) {
    case ROutside: return name == NEvent ? REvent : RIgnore;
    case REvent:
        return name == NSystem ? RSystem : name == NEventData ? REventData : name == NUserData ? RUserData : RIgnore;
    case RSystem:
        switch (name) {
        case NProvider: return RProvider;
        case NEventID: return REventID;
        case NLevel: return RLevel;
        case NTask: return RTask;
        case NKeywords: return RKeywords;
        case NTimeCreated: return RTimeCreated;
        case NComputer: return RComputer;
        case NSecurity: return RSecurity;
        default: return RIgnore;
        }
    case REventData: return name == NData ? RData : name == NBinary ? RBinary : RIgnore;
    case RUserData:
    case RUser: return RUser;
    default: return RIgnore;
    }
}

bool collecting(Role r) {
    switch (r) {
    case REventID:
    case RLevel:
    case RTask:
    case RKeywords:
    case RComputer:
    case RData:
    case RBinary:
    case RUser:
    case RAttr: return true;
    default: return false;
    }
}

// The parts of the System element the legacy view takes.
enum Field { FProvider, FSourceName, FEventID, FQualifiers, FLevel, FTask, FKeywords, FTime, FComputer, FUser, FCount };

int attrfield(Role element, Name attr) {
    if (element == RProvider && attr == NName) return FProvider;
    if (element == RProvider && attr == NEventSourceName) return FSourceName;
    if (element == REventID && attr == NQualifiers) return FQualifiers;
    if (element == RTimeCreated && attr == NSystemTime) return FTime;
    if (element == RSecurity && attr == NUserID) return FUser;
    return -1;
}

int elementfield(Role r) {
    switch (r) {
    case REventID: return FEventID;
    case RLevel: return FLevel;
    case RTask: return FTask;
    case RKeywords: return FKeywords;
    case RComputer: return FComputer;
    default: return -1;
    }
}

// One operation of a compiled element tree.
enum OpKind : uint8_t { OpOpen, OpClose, OpAttr, OpText, OpChar, OpEntity, OpSubst };
struct Op {
    OpKind kind;
    Name name = NOther;    // OpOpen, OpAttr
    bool optional = false; // OpSubst
    uint16_t index = None; // OpSubst: value index; OpOpen: the value the element depends on; OpChar: the unit
    uint16_t opt = None;   // OpOpen, OpAttr: first optional substitution of the content or value
    uint16_t arr = None;   // OpOpen: first substitution of the content (an array repeats the element)
    uint32_t a = 0, b = 0; // OpText: chunk offset, units; OpOpen: index of the OpClose, and of its
                           // first content operation; OpAttr: end of its value; OpEntity: offset of
                           // the name entry
};

// A substitution value: its type and where its bytes lie in the chunk.
struct Value {
    uint8_t type = TNull;
    uint32_t off = 0, size = 0;
};

// The array item an element is repeated for.
struct Item {
    uint16_t index = None;
    Value v;
};

struct Vals {
    size_t base = 0, count = 0;
};

// Which substitution value a piece of text came from: the value index of
// the record's template instance, or of the instance nested in the record's
// value number owner.
struct Ref {
    uint16_t owner = None;
    uint16_t index = None;
};

struct Frame {
    Role role = ROutside;
    bool pending = false;  // single holds the content, not yet turned into text
    bool haschild = false; // an element was opened inside
    uint32_t pieces = 0;   // content parts seen
    size_t start = 0;      // where the content's text starts in the buffer
    Value single;
    Ref singleref;
};

// A record's legacy view as a recipe over its values. Two records whose
// template instances have the same templates and the same value types
// (nested instances included) run the same operations: every element left
// out or kept, every text and value in the same place. A template is known
// by what it compiles to (operations, names the view looks at, texts), not
// by where it lies, so records of other chunks that define the same
// template again share its recipes. The first such record is run and its
// view noted as pieces (template text, character and entity references as
// the text they give, values); the others take the recipe with their own
// values, without running the template again.
enum PieceKind : uint8_t { PText, PValue };
struct Piece {
    PieceKind kind = PText;
    uint32_t a = 0, b = 0; // PText: where its text starts in the plan's texts, units
    Ref ref;               // PValue
    size_t at = 0;         // while noting: where the piece starts in the buffer
};
// An insertion string recipe may also stand for a run of strings: those of
// an element repeated for the items of an array value, one string per item
// (one empty item for an empty array), each the item alone.
struct Recipe {
    bool set = false, isvalue = false;
    bool items = false;        // the array value ref gives one string per item
    Ref ref;                   // isvalue, items: the one value
    uint32_t first = 0, n = 0; // otherwise: the pieces of the text; items: the work of one repetition
    bool plain = false;        // template text alone, no value
};
struct Plan {
    std::string key; // the record shape
    std::vector<Piece> pieces;
    std::u16string texts;  // of the text pieces
    std::string ansitexts; // the same in code page 1252
    Recipe fields[FCount];
    std::vector<Recipe> strings;
    bool hasdata = false;
    Ref data;
    uint64_t work = 0; // operations run and template text copied
    bool ok = true;    // false when the record took a path no recipe holds
};

struct Capture {
    bool set = false, isvalue = false;
    Value v;
    std::u16string text;
};

struct Template {
    uint32_t start = 0, end = 0;
    uint32_t id = 0; // the same for templates that compile alike
    bool ok = false;
    // A template known from an earlier chunk is compiled only when a record
    // runs it: its body lies at def.
    bool compiled = false;
    uint32_t def = 0, size = 0;
};

// A name reference in a template's body: where its offset lies (from the
// body's start), and whether the name follows inline or is defined
// elsewhere in the chunk, with that name's text (units at text: while
// compiling, the chunk offset of the text; once kept, where it lies in the
// store).
struct Hole {
    uint32_t at = 0, text = 0;
    uint16_t units = 0;
    bool inlined = false;
};

// Templates of earlier chunks by their GUID and data size.
struct KnownKey {
    uint64_t lo = 0, hi = 0;
    uint32_t size = 0;
    bool operator==(const KnownKey &o) const { return lo == o.lo && hi == o.hi && size == o.size; }
};
struct KnownHash {
    size_t operator()(const KnownKey &k) const {
        const uint64_t h = (k.lo * 0x9E3779B97F4A7C15ull ^ k.hi) * 0xFF51AFD7ED558CCDull ^ k.size;
        return (size_t)(h ^ h >> 29);
    }
};
struct Known {
    uint32_t id = 0;
    uint32_t body = 0;              // in the store's bytes
    uint32_t holes = 0, nholes = 0; // in the store's holes
};

// The ANSI form of a record being built: bytes appended to a vector that
// keeps its size from record to record (the record is its first n bytes),
// so that appending fills and frees no memory once the longest record was
// made. Units are converted to code page 1252 as the ANSI read call does.
struct AnsiOut {
    std::vector<uint8_t> *v = nullptr;
    size_t n = 0;
    uint8_t *room(size_t k) {
        if (k > v->size() - n) v->resize(std::max(n + k, 2 * v->size()));
        return v->data() + n;
    }
    size_t size() const { return n; }
    void append(const char *s, size_t k) {
        std::memcpy(room(k), s, k);
        n += k;
    }
    void push_back(char16_t c) {
        *room(1) = ansiunit(c);
        ++n;
    }
};

// Text helpers, for the view's UTF-16 strings and the ANSI record alike.
void putascii(AnsiOut *out, const char *s, size_t n) { out->append(s, n); }

// ASCII text widened on the stack and appended at once (the texts are
// short: numbers, times, GUIDs).
void putascii(std::u16string *out, const char *s, size_t n) {
    char16_t w[48];
    while (n) {
        const size_t k = std::min(n, sizeof w / sizeof w[0]);
        for (size_t i = 0; i < k; ++i) w[i] = (char16_t)(unsigned char)s[i];
        out->append(w, k);
        s += k;
        n -= k;
    }
}

// Decimal digits two at a time.
const char DigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                          "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                          "8081828384858687888990919293949596979899";

template <class Out> void putdecimal(Out *out, uint64_t v, bool negative) {
    char buf[24];
    char *q = buf + sizeof buf;
    for (; v >= 100; v /= 100) std::memcpy(q -= 2, DigitPairs + 2 * (v % 100), 2);
    if (v >= 10)
        std::memcpy(q -= 2, DigitPairs + 2 * v, 2);
    else
        *--q = (char)('0' + v);
    if (negative) *--q = '-';
    putascii(out, q, (size_t)(buf + sizeof buf - q));
}

template <class Out> void putsigned(Out *out, int64_t v) {
    putdecimal(out, v < 0 ? 0 - (uint64_t)v : (uint64_t)v, v < 0);
}

template <class Out> void puthex(Out *out, uint64_t v) {
    char buf[20];
    size_t n = 0;
    do {
        buf[sizeof buf - 1 - n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    buf[sizeof buf - 1 - n++] = 'x';
    buf[sizeof buf - 1 - n++] = '0';
    putascii(out, buf + sizeof buf - n, n);
}

// width decimal digits of v (its lowest ones) at buf.
char *putdigits(char *buf, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) buf[i] = (char)('0' + v % 10);
    return buf + width;
}

const char HexUpper[] = "0123456789ABCDEF";

// Bytes as pairs of hex digits: a byte's two characters are one entry of
// a table made once for each width.
template <class Ch> struct HexPairs {
    Ch pair[256][2];
    HexPairs() {
        for (int b = 0; b < 256; ++b) pair[b][0] = (Ch)HexUpper[b >> 4], pair[b][1] = (Ch)HexUpper[b & 15];
    }
};

void putbytes(AnsiOut *out, const uint8_t *p, size_t n) {
    static const HexPairs<char> hex;
    uint8_t *d = out->room(2 * n);
    for (size_t i = 0; i < n; ++i) std::memcpy(d + 2 * i, hex.pair[p[i]], 2);
    out->n += 2 * n;
}

// In UTF-16 a block of pairs goes on the stack and is appended at once.
void putbytes(std::u16string *out, const uint8_t *p, size_t n) {
    static const HexPairs<char16_t> hex;
    char16_t d[256];
    while (n) {
        const size_t k = std::min(n, sizeof d / sizeof d[0] / 2);
        for (size_t i = 0; i < k; ++i) std::memcpy(d + 2 * i, hex.pair[p[i]], sizeof hex.pair[0]);
        out->append(d, 2 * k);
        p += k;
        n -= k;
    }
}

// units UTF-16LE units at p in code page 1252, NUL units left out (as the
// view's strings leave them out). Eight units that are all ASCII and not
// NUL go at once.
void ansitext(const uint8_t *p, uint32_t units, AnsiOut *out) {
    uint8_t *d = out->room(units);
    uint32_t k = 0, w = 0;
#ifdef __SSE2__
    const __m128i high = _mm_set1_epi16((short)0xFF80), zero = _mm_setzero_si128();
    for (; k + 8 <= units; k += 8) {
        const __m128i x = _mm_loadu_si128((const __m128i *)(p + 2 * k));
        const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(x, high), zero), nul = _mm_cmpeq_epi16(x, zero);
        if (_mm_movemask_epi8(_mm_andnot_si128(nul, ascii)) == 0xFFFF) {
            _mm_storel_epi64((__m128i *)(d + w), _mm_packus_epi16(x, x));
            w += 8;
            continue;
        }
        for (uint32_t i = k; i < k + 8; ++i)
            if (const uint16_t u = nt::le16(p + 2 * i)) d[w++] = ansiunit(u);
    }
    if (k + 4 <= units) { // four of the last units the same way
        const __m128i x = _mm_loadl_epi64((const __m128i *)(p + 2 * k));
        const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(x, high), zero), nul = _mm_cmpeq_epi16(x, zero);
        if ((_mm_movemask_epi8(_mm_andnot_si128(nul, ascii)) & 0xFF) == 0xFF) {
            const uint32_t four = (uint32_t)_mm_cvtsi128_si32(_mm_packus_epi16(x, x));
            std::memcpy(d + w, &four, 4);
            w += 4;
            k += 4;
        }
    }
#endif
    for (; k < units; ++k)
        if (const uint16_t u = nt::le16(p + 2 * k)) d[w++] = ansiunit(u);
    out->n += w;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back. Years are counted from March, so that the leap day ends a year.
int64_t daysfromcivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

void civilfromdays(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (int64_t)yoe + era * 400 + (*m <= 2);
}

// yyyy-mm-ddThh:mm:ss.fffffffffZ from days since 1970, seconds of the day
// and nanoseconds.
template <class Out> void putisotime(Out *out, int64_t days, uint32_t secs, uint32_t nanos) {
    int64_t y;
    unsigned m, d;
    civilfromdays(days, &y, &m, &d);
    char buf[32];
    char *q = putdigits(buf, (uint64_t)(y < 0 ? 0 : y), y > 9999 ? 5 : 4);
    *q++ = '-';
    q = putdigits(q, m, 2);
    *q++ = '-';
    q = putdigits(q, d, 2);
    *q++ = 'T';
    q = putdigits(q, secs / 3600, 2);
    *q++ = ':';
    q = putdigits(q, secs / 60 % 60, 2);
    *q++ = ':';
    q = putdigits(q, secs % 60, 2);
    *q++ = '.';
    q = putdigits(q, nanos, 9);
    *q++ = 'Z';
    putascii(out, buf, (size_t)(q - buf));
}

// The shortest decimal form that reads back as the same number.
template <class Out, class T> void putreal(Out *out, T v, int lo, int hi) {
    char buf[40];
    int n = 0;
    for (int p = lo; p <= hi; ++p) {
        n = std::snprintf(buf, sizeof buf, "%.*g", p, (double)v);
        if ((T)std::strtod(buf, nullptr) == v) break;
    }
    putascii(out, buf, (size_t)std::max(n, 0));
}

// The size of one item of an array of base type t, 0 for items that size
// themselves (strings, SIDs) or have no array form.
uint32_t itemsize(uint8_t t, uint32_t total) {
    switch (t) {
    case TInt8:
    case TUInt8: return 1;
    case TInt16:
    case TUInt16: return 2;
    case TInt32:
    case TUInt32:
    case TReal32:
    case TBool:
    case THex32: return 4;
    case TInt64:
    case TUInt64:
    case TReal64:
    case TFileTime:
    case THex64: return 8;
    case TGuid:
    case TSysTime: return 16;
    case TSizeT: return total % 8 ? 4 : 8;
    default: return 0;
    }
}

// The number held little-endian in the first n bytes at p (at most eight
// of them).
inline uint64_t lowbytes(const uint8_t *p, uint32_t n) {
    switch (n) { // the sizes of the integer types
    case 1: return p[0];
    case 2: return nt::le16(p);
    case 4: return nt::le32(p);
    case 8: return nt::le32(p) | (uint64_t)nt::le32(p + 4) << 32;
    default: break;
    }
    uint8_t b[8] = {0};
    std::memcpy(b, p, n < 8 ? n : 8);
    return nt::le32(b) | (uint64_t)nt::le32(b + 4) << 32;
}

// The size of the SID at p (n bytes available), 0 when it is not one.
uint32_t sidsize(const uint8_t *p, uint32_t n) {
    if (n < 8 || p[0] != 1 || p[1] > SidMaxSubs) return 0;
    const uint32_t size = 8 + 4u * p[1];
    return size <= n ? size : 0;
}

// The hash of the keys of templates' forms and of record shapes: eight
// bytes a step (the forms are long, and most are met once a chunk).
size_t hashbytes(const char *s, size_t n) {
    uint64_t h = n * 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, s + i, 8);
        h = (h ^ v) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ (uint8_t)s[i]) * 0x100000001B3ull;
    return (size_t)(h ^ h >> 32);
}
struct FormHash {
    size_t operator()(const std::string &s) const { return hashbytes(s.data(), s.size()); }
};

} // namespace

// Turns the binary XML of records into their legacy view. Compiled
// templates are kept for the chunk last used.
class Converter {
public:
    // The frames never move: references to them stay good while elements
    // nest.
    explicit Converter(bool plans) : useplans_(plans) { frames_.reserve(MaxFrames); }
    void reset() {
        resetchunk();
        resetplans();
        resetknown();
    }
    // With ansi, a record of a shape already seen may be made straight in
    // its ANSI form (what evt::ansirecord gives for its view), numbered
    // number: its first *ansisize bytes, and out is not filled; *ansisize is
    // 0 when out holds the view instead.
    bool convert(Bytes chunk, uint32_t slot, uint32_t off, uint32_t size, evt::NewRecord *out, uint32_t number = 0,
                 std::vector<uint8_t> *ansi = nullptr, size_t *ansisize = nullptr);

private:
    static constexpr uint32_t None32 = 0xFFFFFFFFu;

    // The compiled templates belong to a chunk; the recipes and the
    // templates' identities are kept from chunk to chunk while they fit
    // their limits.
    void resetchunk() {
        for (Recent &r : recent_) r = Recent();
        for (KnownName &k : names_) k = KnownName();
        cache_.clear();
        templates_.clear();
        ops_.clear();
        slot_ = None32;
    }
    void resetknown() {
        known_.clear();
        knownbytes_.clear();
        knownholes_.clear();
    }
    void resetplans() {
        plans_.clear();
        planslots_.assign(64, None32);
        planpieces_ = 0;
        forms_.clear();
        formbytes_ = 0;
    }
    uint32_t identify(const Template &t);
    bool stream(uint32_t pos, uint32_t end, int nesting);
    bool instance(uint32_t *pos, uint32_t end, int nesting);
    int templ(uint32_t defoff);
    int templ1(uint32_t defoff);
    bool matches(const Known &k, uint32_t body, uint32_t size) const;
    void remember(const KnownKey &key, uint32_t id, uint32_t body, uint32_t size);
    bool compiletempl(Template *t);
    bool compilebody(uint32_t pos, uint32_t end);
    bool element(uint32_t *pos, uint32_t end, bool intemplate, int depth);
    bool item(uint32_t *pos, uint32_t end, size_t owner);
    bool name(uint32_t *pos, uint32_t end, Name *out, uint32_t *entry);
    bool run(uint32_t i, uint32_t end, const Vals &vals, const Item &it, int nesting);
    bool open(uint32_t i, Role role, const Vals &vals, const Item &it, int nesting);
    bool nextitem(const Value &arr, uint32_t *cur, Value *out);
    void flush(Frame *f);
    template <class Out> void render(const Value &v, Out *out);
    template <class Out> void renderone(const Value &v, Out *out);
    void text(uint32_t off, uint32_t units, std::u16string *out);
    void text(uint32_t off, uint32_t units, AnsiOut *out) { ansitext(c_.data + off, units, out); }
    bool finish(const Frame &f);
    void capture(int field, const Frame &f);
    void fieldtext(int field, std::u16string *out);
    void fieldtext(const Plan &p, int field, AnsiOut *out);
    uint64_t fieldnumber(int field);
    void numbers(uint64_t written, evt::Fixed *f);
    void usersid(std::vector<uint8_t> *sid);
    Value value(const Vals &vals, uint16_t index) const {
        return index < vals.count ? values_[vals.base + index] : Value();
    }
    bool isnull(const Vals &vals, uint16_t index) const { return value(vals, index).type == TNull; }
    bool shape(uint32_t pos, uint32_t end, uint16_t owner);
    bool replay(const Plan &p);
    bool replayansi(const Plan &p, uint64_t written, uint32_t number, AnsiOut *out);
    void replayfields(const Plan &p, bool ansi);
    template <class Next, class Done> bool replaystrings(const Plan &p, const Next &next, const Done &done);
    void build(const Plan &p, const Recipe &r, std::u16string *out);
    void build(const Plan &p, const Recipe &r, AnsiOut *out);
    Value planvalue(Ref r) const {
        uint32_t desc = outerdesc_, at = 0, n = (uint32_t)outer_;
        if (r.owner != None) {
            n = 0;
            for (const Nested &x : nested_)
                if (x.owner == r.owner) {
                    desc = x.desc, at = x.at, n = x.n;
                    break;
                }
        }
        Value v;
        if (r.index >= n) return v;
        const uint8_t *d = c_.data + desc + 4 * r.index;
        v.type = d[2];
        v.size = nt::le16(d);
        v.off = valoffs_[at + r.index];
        return v;
    }
    void note(PieceKind kind, uint32_t a, uint32_t b, Ref ref, size_t at);
    // What the recipe being noted holds before an element repeats for the
    // items of an array; then the check that the repetitions gave strings
    // of the item alone, and their one recipe in place of theirs.
    struct NoteMark {
        size_t strings = 0, pieces = 0;
        uint64_t work = 0;
        bool fields[FCount] = {};
        bool hasdata = false, binary = false;
    };
    NoteMark notemark(const Item &it);
    void noteitems(const NoteMark &m, Ref arr, uint32_t reps, uint32_t cost);
    // The recipe of a text a record takes from frame f: its one value, or
    // the pieces that made it.
    Recipe noted(const Frame &f, bool isvalue);
    void notetext(Recipe *r, size_t start);
    void cut(size_t size) {
        buf_.resize(size);
        while (!trail_.empty() && trail_.back().at >= size) trail_.pop_back();
    }
    bool spend(uint64_t units) {
        work_ += units;
        return work_ <= MaxWork;
    }

    Bytes c_;
    uint32_t slot_ = None32;
    std::vector<Op> ops_;
    std::vector<Template> templates_;
    std::unordered_map<uint32_t, int> cache_; // definition offset -> templates_
    // Templates compiled in earlier chunks, to know them again without
    // compiling them: their bodies and the names' texts, and their name
    // references; those of the template being compiled for the first time.
    std::unordered_map<KnownKey, Known, KnownHash> known_;
    std::string knownbytes_;
    std::vector<Hole> knownholes_;
    std::vector<Hole> holes_;
    bool recording_ = false;
    std::vector<Value> values_;
    std::vector<Frame> frames_;
    std::u16string buf_, scratch_;
    std::vector<uint8_t> sid_;
    Capture fields_[FCount];
    evt::NewRecord *out_ = nullptr;
    size_t nstrings_ = 0;
    bool binary_ = false;
    uint64_t work_ = 0;

    // Recipes of the chunk, by the shape of the record (templates and value
    // types); the one being noted, and the pieces now in the buffer.
    bool useplans_;
    std::vector<Plan> plans_;
    // plans_ by the hash of their keys: open addressing, at most half full.
    std::vector<uint32_t> planslots_ = std::vector<uint32_t>(64, None32);
    uint32_t findplan(size_t hash) const;
    void addplan(size_t hash);
    size_t planpieces_ = 0;
    // Templates by what they compile to: identities never reused, so that
    // one is never taken for a template known before a reset.
    std::unordered_map<std::string, uint32_t, FormHash> forms_;
    size_t formbytes_ = 0;
    uint32_t nextid_ = 0;
    std::string form_;
    // The shape key being made: the first keylen_ bytes of keybuf_, which
    // only grows.
    std::vector<char> keybuf_;
    size_t keylen_ = 0;
    char *keyroom(size_t k) {
        if (k > keybuf_.size() - keylen_) keybuf_.resize(std::max(keylen_ + k, 2 * keybuf_.size() + 64));
        return keybuf_.data() + keylen_;
    }
    // The record's values, outer instance first (nvals_ of them): where each
    // lies in the chunk (the vector only grows), its type and size in its
    // descriptor; and the nested instances': which outer value holds them,
    // where their places start, how many, and their descriptors.
    struct Nested {
        uint32_t owner, at, n, desc;
    };
    std::vector<uint32_t> valoffs_;
    size_t nvals_ = 0, outer_ = 0;
    uint32_t outerdesc_ = 0, desc_ = 0;
    std::vector<Nested> nested_;
    // The templates looked up last, by definition offset (one per slot of
    // a few), before the chunk's map.
    struct Recent {
        uint32_t defoff = None32;
        int index = -1;
    };
    Recent recent_[16];
    struct KnownName {
        uint32_t off = None32;
        Name name = NOther;
    };
    KnownName names_[64];
    bool noting_ = false;
    Plan rec_;
    std::vector<Piece> trail_;
    uint16_t owner_ = None; // the outer value whose nested instance runs
};

bool Converter::name(uint32_t *pos, uint32_t end, Name *out, uint32_t *entry) {
    uint32_t off;
    uint16_t n;
    if (!c_.u32(*pos, &off) || !c_.u16((size_t)off + 6, &n) || !c_.has((size_t)off + 8, 2u * n + 2)) return false;
    *pos += 4;
    if (recording_) {
        Hole h;
        h.at = *pos - 4;
        h.text = off + 8;
        h.units = n;
        h.inlined = off == *pos;
        holes_.push_back(h);
    }
    // A name used for the first time in the chunk follows inline.
    if (off == *pos) {
        if ((uint64_t)*pos + 8 + 2u * n + 2 > end) return false;
        *pos += 8 + 2u * n + 2;
    }
    *entry = off;
    // A chunk's templates name the same few elements over and over: the
    // names met last are kept by their offset.
    KnownName &known = names_[(off >> 2) & 63];
    if (known.off == off) {
        *out = known.name;
        return true;
    }
    known.off = off;
    *out = NOther;
    // Only names of the same length and first letter are compared; most
    // names of a log are none of these.
    const uint8_t *text = c_.data + off + 8;
    for (const auto &k : Names) {
        if (k.length != n || text[0] != (uint8_t)k.text[0] || text[1]) continue;
        size_t i = 1;
        while (i < n && text[2 * i] == (uint8_t)k.text[i] && !text[2 * i + 1]) ++i;
        if (i == n) {
            *out = k.name;
            break;
        }
    }
    known.name = *out;
    return true;
}

// One character data item, entity or substitution of an element's content
// or an attribute's value; owner is the element or attribute operation.
bool Converter::item(uint32_t *pos, uint32_t end, size_t owner) {
    uint8_t tok;
    if (!c_.u8(*pos, &tok) || *pos >= end) return false;
    Op op;
    uint16_t n = 0;
    switch (tok & 0x1F) {
    case 0x05: // value text: string type, count, units
    case 0x07: // CDATA: count, units
    {
        const uint32_t at = *pos + ((tok & 0x1F) == 0x05 ? 2 : 1);
        if (!c_.u16(at, &n) || (uint64_t)at + 2 + 2u * n > end) return false;
        op.kind = OpText;
        op.a = at + 2;
        op.b = n;
        *pos = at + 2 + 2u * n;
        break;
    }
    case 0x08: // character reference
        if (!c_.u16(*pos + 1, &n) || *pos + 3 > end) return false;
        op.kind = OpChar;
        op.index = n;
        *pos += 3;
        break;
    case 0x09: { // entity reference: the five of XML are characters, others stay as written
        *pos += 1;
        Name ignored;
        uint32_t entry;
        if (!name(pos, end, &ignored, &entry)) return false;
        static const struct {
            const char *name;
            char16_t ch;
        } entities[] = {{"amp", u'&'}, {"lt", u'<'}, {"gt", u'>'}, {"quot", u'"'}, {"apos", u'\''}};
        const uint16_t len = le16(c_, entry + 6);
        op.kind = OpEntity;
        op.a = entry;
        for (const auto &e : entities) {
            if (std::strlen(e.name) != len) continue;
            size_t i = 0;
            while (i < len && le16(c_, entry + 8 + 2 * i) == (uint8_t)e.name[i]) ++i;
            if (i == len) {
                op.kind = OpChar;
                op.index = e.ch;
            }
        }
        break;
    }
    case 0x0D:
    case 0x0E: // substitution: index, declared type (the stored one counts)
        if (!c_.u16(*pos + 1, &op.index) || *pos + 4 > end) return false;
        op.kind = OpSubst;
        op.optional = (tok & 0x1F) == 0x0E;
        *pos += 4;
        if (op.optional && ops_[owner].opt == None) ops_[owner].opt = op.index;
        if (ops_[owner].arr == None) ops_[owner].arr = op.index;
        break;
    default: return false;
    }
    ops_.push_back(op);
    return true;
}

// One element with its attributes and content. Inside a template every
// element starts with the index of the value it depends on.
bool Converter::element(uint32_t *pos, uint32_t end, bool intemplate, int depth) {
    uint8_t tok;
    if (depth > MaxDepth || !c_.u8(*pos, &tok)) return false;
    const bool attrs = tok & 0x40;
    Op open;
    open.kind = OpOpen;
    *pos += 1;
    if (intemplate) {
        if (!c_.u16(*pos, &open.index)) return false;
        *pos += 2;
    }
    *pos += 4; // data size: the tokens are followed instead
    uint32_t entry;
    if (*pos > end || !name(pos, end, &open.name, &entry)) return false;
    if (attrs) *pos += 4; // attribute list size
    const size_t at = ops_.size();
    ops_.push_back(open);
    while (attrs && *pos < end && (c_.data[*pos] & 0x1F) == 0x06) {
        *pos += 1;
        Op attr;
        attr.kind = OpAttr;
        if (!name(pos, end, &attr.name, &entry)) return false;
        const size_t a = ops_.size();
        ops_.push_back(attr);
        for (;;) {
            uint8_t t;
            if (*pos >= end || !c_.u8(*pos, &t)) return false;
            t &= 0x1F;
            if (t != 0x05 && t != 0x08 && t != 0x09 && t != 0x0D && t != 0x0E) break;
            if (!item(pos, end, a)) return false;
        }
        ops_[a].a = (uint32_t)ops_.size();
    }
    ops_[at].b = (uint32_t)ops_.size();
    if (*pos >= end) return false;
    tok = c_.data[*pos];
    if (tok == 0x02) {
        *pos += 1;
        for (;;) {
            if (*pos >= end) return false;
            tok = c_.data[*pos];
            const uint8_t t = tok & 0x1F;
            if (tok == 0x04) {
                *pos += 1;
                break;
            }
            if (t == 0x01) {
                if (!element(pos, end, intemplate, depth + 1)) return false;
            } else if (t == 0x0A) { // processing instruction target: a name
                *pos += 1;
                Name ignored;
                if (!name(pos, end, &ignored, &entry)) return false;
            } else if (t == 0x0B) { // processing instruction data
                uint16_t n;
                if (!c_.u16(*pos + 1, &n)) return false;
                *pos += 3 + 2u * n;
            } else if (!item(pos, end, at)) {
                return false;
            }
            if (ops_.size() > MaxOps) return false;
        }
    } else if (tok == 0x03) {
        *pos += 1;
    } else {
        return false;
    }
    ops_[at].a = (uint32_t)ops_.size();
    Op close;
    close.kind = OpClose;
    ops_.push_back(close);
    return true;
}

// A template definition's body: fragment header, element, end of stream.
bool Converter::compilebody(uint32_t pos, uint32_t end) {
    while (pos < end) {
        const uint8_t tok = c_.data[pos];
        if (tok == 0x00) return true;
        if (tok == 0x0F) {
            pos += 4;
        } else if ((tok & 0x1F) == 0x01) {
            if (!element(&pos, end, true, 0)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// The compiled template defined at defoff (next offset, GUID, data size,
// body), or -1 when its definition does not hold. Each record looks its
// templates up twice or more (its shape, its run), so the last few found
// are kept aside from the map.
int Converter::templ(uint32_t defoff) {
    Recent &r = recent_[(defoff >> 3) & 15];
    if (r.defoff == defoff) return r.index;
    r.defoff = defoff;
    r.index = templ1(defoff);
    return r.index;
}

// A template defined as one of an earlier chunk (same GUID, data size and
// body but for where its names lie) takes that one's identity; it is
// compiled only when a record runs it. Any other is compiled at once, and
// its definition kept to know it again.
int Converter::templ1(uint32_t defoff) {
    auto hit = cache_.find(defoff);
    if (hit != cache_.end()) return templates_[hit->second].ok ? hit->second : -1;
    Template t;
    uint32_t size;
    t.start = (uint32_t)ops_.size();
    if (c_.u32((size_t)defoff + 20, &size) && c_.has((size_t)defoff + 24, size)) {
        t.def = defoff + 24;
        t.size = size;
        KnownKey key;
        std::memcpy(&key.lo, c_.data + defoff + 4, 8);
        std::memcpy(&key.hi, c_.data + defoff + 12, 8);
        key.size = size;
        auto k = known_.find(key);
        if (k != known_.end() && matches(k->second, t.def, size)) {
            t.ok = true;
            t.id = k->second.id;
        } else {
            holes_.clear();
            recording_ = true;
            t.ok = compilebody(t.def, t.def + size);
            recording_ = false;
            t.compiled = true;
            t.end = (uint32_t)ops_.size();
            if (t.ok) {
                t.id = identify(t);
                remember(key, t.id, t.def, size);
            }
        }
    }
    templates_.push_back(t);
    cache_[defoff] = (int)templates_.size() - 1;
    return t.ok ? (int)templates_.size() - 1 : -1;
}

// Whether the body at body compiles as the kept one: the same bytes but
// for the name references, and each name inline at the same place again or
// defined elsewhere in the chunk with the same text. The compile reads
// nothing else: it succeeded reading only the body's bytes and these names.
bool Converter::matches(const Known &k, uint32_t body, uint32_t size) const {
    const uint8_t *b = c_.data + body;
    const char *kept = knownbytes_.data() + k.body;
    uint32_t done = 0;
    for (uint32_t i = 0; i < k.nholes; ++i) {
        const Hole &h = knownholes_[k.holes + i];
        if (std::memcmp(b + done, kept + done, h.at - done) != 0) return false;
        const uint32_t off = nt::le32(b + h.at), after = body + h.at + 4;
        if (h.inlined) {
            if (off != after) return false;
            done = h.at + 8; // the inline name's link to the next of its hash
            continue;
        }
        uint16_t n;
        if (off == after || !c_.u16((size_t)off + 6, &n) || n != h.units || !c_.has((size_t)off + 8, 2u * n + 2) ||
            std::memcmp(c_.data + off + 8, knownbytes_.data() + h.text, 2u * n) != 0)
            return false;
        done = h.at + 4;
    }
    return std::memcmp(b + done, kept + done, size - done) == 0;
}

// Keeps a template compiled for the first time with the name references
// its compile met (holes_). One whose names' texts outweigh its body is not
// kept, so that matching it costs in proportion to its size.
void Converter::remember(const KnownKey &key, uint32_t id, uint32_t body, uint32_t size) {
    size_t texts = 0;
    uint32_t done = 0;
    for (const Hole &h : holes_) {
        const uint32_t at = h.at - body, len = h.inlined ? 8 : 4;
        if (h.at < body || at < done || at > size || size - at < len) return;
        done = at + len;
        if (!h.inlined) texts += 2u * h.units;
    }
    if (texts > 4 * (size_t)size) return;
    const size_t need = size + texts + holes_.size() * sizeof(Hole) + 64;
    if (need > MaxKnown) return;
    if (knownbytes_.size() + knownholes_.size() * sizeof(Hole) + known_.size() * 64 + need > MaxKnown) resetknown();
    Known k;
    k.id = id;
    k.body = (uint32_t)knownbytes_.size();
    k.holes = (uint32_t)knownholes_.size();
    k.nholes = (uint32_t)holes_.size();
    knownbytes_.append((const char *)c_.data + body, size);
    for (Hole h : holes_) {
        h.at -= body;
        if (!h.inlined) {
            const uint32_t from = h.text;
            h.text = (uint32_t)knownbytes_.size();
            knownbytes_.append((const char *)c_.data + from, 2u * h.units);
        }
        knownholes_.push_back(h);
    }
    known_[key] = k;
}

// The operations of a template known from an earlier chunk, compiled when
// a record first runs it.
bool Converter::compiletempl(Template *t) {
    t->compiled = true;
    t->start = (uint32_t)ops_.size();
    t->ok = compilebody(t->def, t->def + t->size);
    t->end = (uint32_t)ops_.size();
    return t->ok;
}

// The identity of a compiled template: its operations with their links
// relative to its start, and the texts they copy, as one string; templates
// of other chunks that give the same string run alike. The strings kept are
// limited: past the limit the recipes start afresh at the next chunk.
uint32_t Converter::identify(const Template &t) {
    // The texts' units (the compile checked that they lie in the chunk).
    auto textof = [&](const Op &op, uint32_t *off) -> uint32_t {
        if (op.kind == OpText) return *off = op.a, op.b;
        if (op.kind == OpEntity) return *off = op.a + 8, le16(c_, op.a + 6);
        return *off = 0, 0;
    };
    size_t size = 0;
    for (uint32_t i = t.start; i < t.end; ++i) {
        uint32_t off;
        size += 20 + 2 * (size_t)textof(ops_[i], &off);
    }
    // References to a long entity name can make the text many times the
    // template's size: such a template is known by no other (its records
    // are run or noted anew in each chunk).
    if (size > MaxForms / 4) return nextid_++;
    form_.resize(size);
    char *w = &form_[0];
    for (uint32_t i = t.start; i < t.end; ++i) {
        const Op &op = ops_[i];
        uint32_t off;
        const uint32_t units = textof(op, &off);
        const uint32_t a = op.kind == OpOpen || op.kind == OpAttr ? op.a - t.start : units;
        const uint32_t f[5] = {(uint32_t)op.kind | (uint32_t)op.name << 8 | (uint32_t)op.optional << 16,
                               (uint32_t)op.index | (uint32_t)op.opt << 16, op.arr, a,
                               op.kind == OpOpen ? op.b - t.start : 0};
        std::memcpy(w, f, sizeof f);
        std::memcpy(w + sizeof f, c_.data + off, 2 * (size_t)units);
        w += sizeof f + 2 * (size_t)units;
    }
    auto hit = forms_.find(form_);
    if (hit != forms_.end()) return hit->second;
    formbytes_ += form_.size();
    forms_.emplace(form_, nextid_);
    return nextid_++;
}

// A template instance: the template (defined here or earlier in the chunk),
// the value descriptors, the values; then the template is run with them.
bool Converter::instance(uint32_t *pos, uint32_t end, int nesting) {
    uint32_t defoff, count, size;
    if ((uint64_t)*pos + 10 > end || !c_.u32(*pos + 6, &defoff)) return false;
    *pos += 10;
    if (defoff == *pos) {
        if (!c_.u32(*pos + 20, &size) || (uint64_t)*pos + 24 + size > end) return false;
        *pos += 24 + size;
    }
    const int t = templ(defoff);
    if (t < 0 || (uint64_t)*pos + 4 > end || !c_.u32(*pos, &count) || count > (end - *pos - 4) / 4) return false;
    if (!templates_[(size_t)t].compiled && !compiletempl(&templates_[(size_t)t])) return false;
    if (!templates_[(size_t)t].ok) return false;
    *pos += 4;
    const Vals vals{values_.size(), count};
    uint32_t at = *pos + 4 * count;
    for (uint32_t i = 0; i < count; ++i) {
        Value v;
        v.size = le16(c_, *pos + 4 * i);
        v.type = c_.data[*pos + 4 * i + 2];
        v.off = at;
        if ((uint64_t)at + v.size > end) return false;
        at += v.size;
        values_.push_back(v);
    }
    *pos = at;
    const Template tp = templates_[(size_t)t];
    const bool ok = run(tp.start, tp.end, vals, Item(), nesting);
    values_.resize(vals.base);
    return ok;
}

// A record's stream or a nested binary XML value: fragment headers, then
// template instances or plain elements, up to the end of stream.
bool Converter::stream(uint32_t pos, uint32_t end, int nesting) {
    if (nesting > MaxNesting) return false;
    while (pos < end) {
        const uint8_t tok = c_.data[pos];
        if (tok == 0x00) return true;
        if (tok == 0x0F) {
            pos += 4;
        } else if (tok == 0x0C) {
            if (!instance(&pos, end, nesting)) return false;
        } else if ((tok & 0x1F) == 0x01) {
            const uint32_t first = (uint32_t)ops_.size();
            if (!element(&pos, end, false, 0) || !run(first, (uint32_t)ops_.size(), Vals(), Item(), nesting))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Runs the operations [i, end) of element content or an attribute value.
bool Converter::run(uint32_t i, uint32_t end, const Vals &vals, const Item &it, int nesting) {
    while (i < end) {
        if (!spend(1)) return false;
        if (noting_) ++rec_.work;
        const Op op = ops_[i];
        Frame &f = frames_.back();
        switch (op.kind) {
        case OpOpen: {
            // An element the legacy view does not look into is stepped over
            // whole, nested values and all.
            const Role role = classify(f.role, op.name);
            if (role == RIgnore) {
                i = op.a + 1;
                break;
            }
            // An element that depends on a Null value, or holds an optional
            // substitution of one, is left out; one that holds an array is
            // repeated for each item (once, empty, for an empty array).
            if ((op.index != None && isnull(vals, op.index)) || (op.opt != None && isnull(vals, op.opt))) {
                i = op.a + 1;
                break;
            }
            const Value arr = value(vals, op.arr);
            if (op.arr != None && op.arr != it.index && (arr.type & TArray)) {
                Item each;
                each.index = op.arr;
                each.v.type = arr.type & 0x7F;
                each.v.off = arr.off;
                uint32_t cur = arr.off;
                bool any = false;
                const NoteMark mark = noting_ ? notemark(it) : NoteMark();
                uint32_t reps = 0;
                while (nextitem(arr, &cur, &each.v)) {
                    any = true;
                    ++reps;
                    if (!open(i, role, vals, each, nesting)) return false;
                }
                if (!any) {
                    reps = 1;
                    if (!open(i, role, vals, each, nesting)) return false;
                }
                if (noting_) noteitems(mark, Ref{owner_, op.arr}, reps, op.a - i + 1);
            } else if (!open(i, role, vals, it, nesting)) {
                return false;
            }
            i = op.a + 1;
            break;
        }
        case OpText:
        case OpChar:
        case OpEntity:
            if (collecting(f.role)) {
                flush(&f);
                ++f.pieces;
                const size_t at = buf_.size();
                if (op.kind == OpText) {
                    text(op.a, op.b, &buf_);
                } else if (op.kind == OpChar) {
                    if (op.index) buf_.push_back((char16_t)op.index);
                } else {
                    buf_.push_back(u'&');
                    text(op.a + 8, le16(c_, op.a + 6), &buf_);
                    buf_.push_back(u';');
                }
                if (noting_) {
                    note(PText, (uint32_t)rec_.texts.size(), (uint32_t)(buf_.size() - at), Ref(), at);
                    rec_.texts.append(buf_, at, std::u16string::npos);
                    rec_.work += buf_.size() - at;
                }
            }
            ++i;
            break;
        case OpSubst: {
            Value v = op.index == it.index && it.index != None ? it.v : value(vals, op.index);
            const Ref ref{owner_, op.index};
            if (noting_ && it.index != None && op.index != it.index) rec_.ok = false;
            if (v.type == TBinXml) {
                // Nested XML replaces the substitution in the element's content.
                if (f.role != RAttr) {
                    if (noting_ && owner_ != None) rec_.ok = false;
                    const uint16_t outer = owner_;
                    owner_ = op.index;
                    const bool ok = stream(v.off, v.off + v.size, nesting + 1);
                    owner_ = outer;
                    if (!ok) return false;
                }
            } else if (v.type != TNull && collecting(f.role)) {
                if (f.pieces == 0 && !(v.type & TArray)) {
                    f.single = v;
                    f.singleref = ref;
                    f.pending = true;
                } else {
                    flush(&f);
                    const size_t at = buf_.size();
                    render(v, &buf_);
                    if (noting_) note(PValue, 0, 0, ref, at);
                }
                ++f.pieces;
            }
            ++i;
            break;
        }
        default: ++i; break;
        }
        if (buf_.size() > MaxWork) return false;
    }
    return true;
}

// One element (repetition) from its OpOpen at i: its attributes, content,
// and what the legacy view takes from it.
bool Converter::open(uint32_t i, Role role, const Vals &vals, const Item &it, int nesting) {
    const Op op = ops_[i];
    Frame &parent = frames_.back();
    if (parent.role == RUserData || parent.role == RUser) parent.haschild = true;
    if (frames_.size() + 2 > MaxFrames) return false;
    Frame f;
    f.role = role;
    f.start = buf_.size();
    frames_.push_back(f);
    const bool attrs = f.role == RProvider || f.role == REventID || f.role == RTimeCreated || f.role == RSecurity;
    uint32_t j = attrs ? i + 1 : op.b;
    while (j < op.a && ops_[j].kind == OpAttr) {
        const Op attr = ops_[j];
        const int field = attrfield(f.role, attr.name);
        if (field >= 0 && !fields_[field].set && !(attr.opt != None && isnull(vals, attr.opt))) {
            Frame a;
            a.role = RAttr;
            a.start = buf_.size();
            frames_.push_back(a);
            if (!run(j + 1, attr.a, vals, it, nesting)) return false;
            capture(field, frames_.back());
            cut(a.start);
            frames_.pop_back();
        }
        j = attr.a;
    }
    if (!run(j, op.a, vals, it, nesting)) return false;
    const bool ok = finish(frames_.back());
    cut(frames_.back().start);
    frames_.pop_back();
    return ok;
}

// Turns a pending single value into text, once more content follows it or
// its text is needed.
void Converter::flush(Frame *f) {
    if (!f->pending) return;
    f->pending = false;
    const size_t at = buf_.size();
    render(f->single, &buf_);
    if (noting_) note(PValue, 0, 0, f->singleref, at);
}

void Converter::capture(int field, const Frame &f) {
    Capture &k = fields_[field];
    k.set = true;
    k.isvalue = f.pending && f.pieces == 1;
    if (k.isvalue)
        k.v = f.single;
    else
        k.text.assign(buf_, f.start, std::u16string::npos);
    if (noting_) rec_.fields[field] = noted(f, k.isvalue);
}

void Converter::note(PieceKind kind, uint32_t a, uint32_t b, Ref ref, size_t at) {
    Piece p;
    p.kind = kind;
    p.a = a;
    p.b = b;
    p.ref = ref;
    p.at = at;
    trail_.push_back(p);
}

Converter::NoteMark Converter::notemark(const Item &it) {
    // An element repeated inside another's repetition is not noted.
    if (it.index != None) rec_.ok = false;
    NoteMark m;
    m.strings = rec_.strings.size();
    m.pieces = rec_.pieces.size();
    m.work = rec_.work;
    for (int f = 0; f < FCount; ++f) m.fields[f] = fields_[f].set;
    m.hasdata = rec_.hasdata;
    m.binary = binary_;
    return m;
}

// The repetitions must have given one string each, the item alone, and
// nothing else: no System field, no data, no text kept. Their work is that
// of the element's operations once per item, counted when a recipe runs.
void Converter::noteitems(const NoteMark &m, Ref arr, uint32_t reps, uint32_t cost) {
    bool ok = rec_.strings.size() - m.strings == reps && rec_.pieces.size() == m.pieces && rec_.hasdata == m.hasdata &&
              binary_ == m.binary;
    for (int f = 0; f < FCount; ++f) ok = ok && fields_[f].set == m.fields[f];
    for (size_t k = m.strings; ok && k < rec_.strings.size(); ++k) {
        const Recipe &r = rec_.strings[k];
        ok = r.isvalue && r.ref.owner == arr.owner && r.ref.index == arr.index;
    }
    if (!ok) {
        rec_.ok = false;
        return;
    }
    rec_.strings.resize(m.strings);
    Recipe r;
    r.set = r.items = true;
    r.ref = arr;
    r.n = cost;
    rec_.strings.push_back(r);
    rec_.work = m.work;
}

// The recipe of the buffer's text from start on: the pieces noted there.
Recipe Converter::noted(const Frame &f, bool isvalue) {
    Recipe r;
    r.set = true;
    r.isvalue = isvalue;
    if (isvalue)
        r.ref = f.singleref;
    else
        notetext(&r, f.start);
    return r;
}

void Converter::notetext(Recipe *r, size_t start) {
    size_t k = trail_.size();
    while (k > 0 && trail_[k - 1].at >= start) --k;
    r->first = (uint32_t)rec_.pieces.size();
    r->n = (uint32_t)(trail_.size() - k);
    rec_.pieces.insert(rec_.pieces.end(), trail_.begin() + (ptrdiff_t)k, trail_.end());
}

// What an element gives when it closes: a System field, an insertion string
// (a Data element, or a leaf under UserData), or the record's data.
bool Converter::finish(const Frame &cf) {
    Frame f = cf;
    const int field = elementfield(f.role);
    if (field >= 0) {
        if (!fields_[field].set) capture(field, f);
        return true;
    }
    if (f.role == RData || (f.role == RUser && !f.haschild)) {
        if (nstrings_ == 0xFFFF) return false;
        auto &strings = out_->strings;
        if (nstrings_ == strings.size()) strings.emplace_back();
        std::u16string &s = strings[nstrings_++];
        s.clear();
        if (f.pending) {
            render(f.single, &s); // the common case: one value, straight to its string
        } else {
            s.append(buf_, f.start, std::u16string::npos);
        }
        if (noting_) rec_.strings.push_back(noted(f, f.pending));
        return true;
    }
    if (f.role == RBinary && !binary_) {
        binary_ = true;
        if (f.pending && f.single.type == TBinary) {
            out_->data.assign(c_.data + f.single.off, c_.data + f.single.off + f.single.size);
            if (noting_) {
                rec_.hasdata = true;
                rec_.data = f.singleref;
            }
            return true;
        }
        if (noting_) rec_.ok = false;
        // Binary written as text: pairs of hex digits.
        flush(&f);
        auto hexval = [](char16_t ch) {
            return ch >= u'0' && ch <= u'9'   ? ch - u'0'
                   : ch >= u'A' && ch <= u'F' ? ch - u'A' + 10
                   : ch >= u'a' && ch <= u'f' ? ch - u'a' + 10
                                              : -1;
        };
        for (size_t k = f.start; k + 1 < buf_.size(); k += 2) {
            const int hi = hexval(buf_[k]), lo = hexval(buf_[k + 1]);
            if (hi < 0 || lo < 0) break;
            out_->data.push_back((uint8_t)(hi << 4 | lo));
        }
    }
    return true;
}

// Copies UTF-16 text from the chunk. NUL units are dropped: the legacy
// record ends each string at its first NUL.
//
// The units go through a block on the stack, appended to out as one copy:
// resizing the string first would fill it unit by unit.
void Converter::text(uint32_t off, uint32_t units, std::u16string *out) {
    const uint8_t *p = c_.data + off;
    const uint32_t BlockUnits = 128;
    char16_t d[BlockUnits];
    while (units) {
        const uint32_t n = std::min(units, BlockUnits);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        for (uint32_t k = 0; k < n; ++k) d[k] = (char16_t)nt::le16(p + 2 * k);
#else
        std::memcpy(d, p, 2 * (size_t)n);
#endif
        // Four units at a time: a word holds a NUL unit when one of its
        // units, less one, borrows into its top bit while the unit's own top
        // bit is clear.
        uint32_t k = 0;
        for (; k + 4 <= n; k += 4) {
            uint64_t w;
            std::memcpy(&w, d + k, 8);
            if ((w - 0x0001000100010001ull) & ~w & 0x8000800080008000ull) break;
        }
        while (k < n && d[k]) ++k;
        out->append(d, k < n ? (size_t)(std::remove(d + k, d + n, u'\0') - d) : n);
        p += 2 * (size_t)n;
        units -= n;
    }
}

// The next item of an array value at *cur: strings end at a NUL, SIDs give
// their own size, other types have a fixed size. False after the last.
bool Converter::nextitem(const Value &arr, uint32_t *cur, Value *out) {
    const uint32_t end = arr.off + arr.size;
    if (*cur >= end) return false;
    const uint8_t base = arr.type & 0x7F;
    const uint8_t *p = c_.data;
    uint32_t len = end - *cur, skip = 0;
    if (base == TString) {
        for (uint32_t k = *cur; k + 1 < end; k += 2)
            if (!p[k] && !p[k + 1]) {
                len = k - *cur;
                skip = 2;
                break;
            }
    } else if (base == TAnsi) {
        const void *nul = std::memchr(p + *cur, 0, len);
        if (nul) {
            len = (uint32_t)((const uint8_t *)nul - (p + *cur));
            skip = 1;
        }
    } else if (base == TSid) {
        if (sidsize(p + *cur, len)) len = sidsize(p + *cur, len);
    } else if (itemsize(base, arr.size)) {
        if (len < itemsize(base, arr.size)) return false;
        len = itemsize(base, arr.size);
    }
    out->type = itemsize(base, arr.size) || base == TString || base == TAnsi || base == TSid ? base : (uint8_t)TBinary;
    out->off = *cur;
    out->size = len;
    *cur += len + skip;
    return spend(len / 16 + 1);
}

// Appends a value's text: an array's items separated by commas where the
// element is not repeated for them.
template <class Out> void Converter::render(const Value &v, Out *out) {
    if (v.type == TString) { // most values: as renderone gives them, without its set-up
        const size_t before = out->size();
        text(v.off, v.size / 2, out);
        spend(out->size() - before);
        return;
    }
    if (!(v.type & TArray)) {
        renderone(v, out);
        return;
    }
    uint32_t cur = v.off;
    Value each;
    bool first = true;
    while (nextitem(v, &cur, &each)) {
        if (!first) out->push_back(u',');
        first = false;
        renderone(each, out);
    }
}

// The text of one value as the event's XML shows it.
template <class Out> void Converter::renderone(const Value &v, Out *out) {
    const uint8_t *p = c_.data + v.off;
    const uint32_t n = v.size;
    const size_t before = out->size();
    const uint32_t want = itemsize(v.type, n);
    uint64_t u = 0;
    if (want || v.type == TBool) u = lowbytes(p, n);
    if (want && n != want && v.type != TBool) {
        putbytes(out, p, n); // a size that does not fit the type
        spend(out->size() - before);
        return;
    }
    switch (v.type) {
    case TString: text(v.off, n / 2, out); break;
    case TAnsi:
        for (uint32_t k = 0; k < n; ++k)
            if (p[k]) out->push_back((char16_t)ansitowide(p[k]));
        break;
    case TInt8: putsigned(out, (int8_t)u); break;
    case TInt16: putsigned(out, (int16_t)u); break;
    case TInt32: putsigned(out, (int32_t)u); break;
    case TInt64: putsigned(out, (int64_t)u); break;
    case TUInt8:
    case TUInt16:
    case TUInt32:
    case TUInt64: putdecimal(out, u, false); break;
    case TReal32: {
        float x;
        uint32_t bits = (uint32_t)u;
        std::memcpy(&x, &bits, 4);
        putreal(out, x, 6, 9);
        break;
    }
    case TReal64: {
        double x;
        std::memcpy(&x, &u, 8);
        putreal(out, x, 15, 17);
        break;
    }
    case TBool:
        if (n == 0 || n > 8) {
            putbytes(out, p, n);
        } else {
            putascii(out, u ? "true" : "false", u ? 4 : 5);
        }
        break;
    case TBinary: putbytes(out, p, n); break;
    case TGuid: {
        // Data1, Data2 and Data3 little-endian, then the eight bytes of Data4.
        static const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        char buf[38];
        char *q = buf;
        *q++ = '{';
        for (int k = 0; k < 16; ++k) {
            if (k == 4 || k == 6 || k == 8 || k == 10) *q++ = '-';
            *q++ = HexUpper[p[order[k]] >> 4];
            *q++ = HexUpper[p[order[k]] & 15];
        }
        *q++ = '}';
        putascii(out, buf, sizeof buf);
        break;
    }
    case TSizeT:
    case THex32:
    case THex64: puthex(out, u); break;
    case TFileTime: {
        const uint64_t secs = u / TicksPerSecond;
        putisotime(out, (int64_t)(secs / 86400) - DaysFrom1601To1970, (uint32_t)(secs % 86400),
                   (uint32_t)(u % TicksPerSecond) * 100);
        break;
    }
    case TSysTime: {
        const uint32_t o = v.off;
        const uint16_t y = le16(c_, o), m = le16(c_, o + 2), d = le16(c_, o + 6), h = le16(c_, o + 8),
                       mi = le16(c_, o + 10), s = le16(c_, o + 12), ms = le16(c_, o + 14);
        if (m < 1 || m > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || ms > 999) {
            putbytes(out, p, n);
            break;
        }
        putisotime(out, daysfromcivil(y, m, d), h * 3600u + mi * 60u + s, ms * 1000000u);
        break;
    }
    case TSid: {
        const uint32_t size = sidsize(p, n);
        if (!size) {
            putbytes(out, p, n);
            break;
        }
        uint64_t auth = 0;
        for (int k = 2; k < 8; ++k) auth = auth << 8 | p[k];
        putascii(out, "S-1-", 4);
        if (auth >> 32) {
            char buf[20];
            putascii(out, buf, (size_t)std::snprintf(buf, sizeof buf, "0x%012llX", (unsigned long long)auth));
        } else {
            putdecimal(out, auth, false);
        }
        for (uint32_t k = 8; k < size; k += 4) {
            out->push_back(u'-');
            putdecimal(out, le32(c_, v.off + k), false);
        }
        break;
    }
    default: // Null, and types that have no text (nested XML outside content)
        break;
    }
    spend(out->size() - before);
}

// The shape of a record's stream (or of a nested value's): one template
// instance, after an optional fragment header, and nothing but the end of
// the stream after its values. Appends the templates' identities and the value types to
// the key and the values' places to valoffs_; a value that holds binary XML must hold
// such a stream itself (one level deep). False for any other stream.
bool Converter::shape(uint32_t pos, uint32_t end, uint16_t owner) {
    if (pos < end && c_.data[pos] == 0x0F) pos += 4;
    uint32_t defoff, count, size;
    if (pos >= end || c_.data[pos] != 0x0C || (uint64_t)pos + 10 > end || !c_.u32(pos + 6, &defoff)) return false;
    pos += 10;
    if (defoff == pos) {
        if (!c_.u32(pos + 20, &size) || (uint64_t)pos + 24 + size > end) return false;
        pos += 24 + size;
    }
    if ((uint64_t)pos + 4 > end || !c_.u32(pos, &count) || count > (end - pos - 4) / 4) return false;
    pos += 4;
    const int t = templ(defoff);
    if (t < 0) return false;
    char *k = keyroom(8 + (size_t)count);
    std::memcpy(k, &templates_[(size_t)t].id, 4);
    std::memcpy(k + 4, &count, 4);
    const size_t keyat = keylen_ + 8, base = nvals_;
    keylen_ = keyat + count;
    k += 8;
    nvals_ = base + count;
    if (valoffs_.size() < nvals_ + 4) valoffs_.resize(nvals_ + 4);
    // The descriptors lie before end (count was checked against it); the
    // values end at or before end when their sum does (and the sum, of at
    // most 16,383 sizes below 65,536, fits in 32 bits).
    const uint8_t *d = c_.data + pos;
    uint32_t at = pos + 4 * count, xml = 0; // values of binary XML
    uint32_t *o = valoffs_.data() + base;
    uint32_t i = 0;
#ifdef __SSE2__
    // Four descriptors at a time: their sizes summed in place for the
    // offsets, their types packed into the key and counted.
    const __m128i sizemask = _mm_set1_epi32(0xFFFF), typemask = _mm_set1_epi32(0xFF), binxml = _mm_set1_epi32(TBinXml);
    for (; i + 4 <= count; i += 4) {
        const __m128i x = _mm_loadu_si128((const __m128i *)(d + 4 * i));
        const __m128i sizes = _mm_and_si128(x, sizemask), types = _mm_and_si128(_mm_srli_epi32(x, 16), typemask);
        __m128i sums = _mm_add_epi32(sizes, _mm_slli_si128(sizes, 4));
        sums = _mm_add_epi32(sums, _mm_slli_si128(sums, 8));
        _mm_storeu_si128((__m128i *)(o + i), _mm_add_epi32(_mm_set1_epi32((int)at), _mm_sub_epi32(sums, sizes)));
        at += (uint32_t)_mm_cvtsi128_si32(_mm_shuffle_epi32(sums, 0xFF));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(types, types), _mm_setzero_si128());
        const uint32_t four = (uint32_t)_mm_cvtsi128_si32(bytes);
        std::memcpy(k + i, &four, 4);
        const int found = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(types, binxml)));
        xml += (uint32_t)((0x4332322132212110ull >> (4 * found)) & 0xF); // its bits counted
    }
#endif
    for (; i < count; ++i) {
        const uint32_t desc = nt::le32(d + 4 * i); // size, type, a byte unused
        o[i] = at;
        at += desc & 0xFFFF;
        k[i] = (char)(desc >> 16);
        xml += (uint8_t)(desc >> 16) == TBinXml;
    }
    if (at > end || (at < end && c_.data[at] != 0x00)) return false;
    desc_ = pos;
    if (owner != None) return xml == 0;
    outer_ = count;
    outerdesc_ = pos;
    nested_.clear();
    // Found by their type in the key, which the nested shapes append to.
    for (uint32_t x = 0; xml; ++x, --xml) {
        const char *types = keybuf_.data() + keyat;
        x = (uint32_t)((const char *)std::memchr(types + x, TBinXml, count - x) - types);
        const uint32_t off = valoffs_[base + x], size = nt::le16(d + 4 * x);
        const size_t first = nvals_;
        if (!shape(off, off + size, (uint16_t)x)) return false;
        nested_.push_back(Nested{x, (uint32_t)first, (uint32_t)(nvals_ - first), desc_});
    }
    return true;
}

uint32_t Converter::findplan(size_t hash) const {
    const size_t mask = planslots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const uint32_t p = planslots_[i];
        if (p == None32) return None32;
        const std::string &key = plans_[p].key;
        if (key.size() == keylen_ && std::memcmp(key.data(), keybuf_.data(), keylen_) == 0) return p;
    }
}

// Keeps rec_ as the plan of the key made last.
void Converter::addplan(size_t hash) {
    rec_.key.assign(keybuf_.data(), keylen_);
    plans_.push_back(std::move(rec_));
    if (2 * plans_.size() > planslots_.size()) {
        std::vector<uint32_t> slots(2 * planslots_.size(), None32);
        for (uint32_t p = 0; p < plans_.size(); ++p) {
            size_t i = hashbytes(plans_[p].key.data(), plans_[p].key.size()) & (slots.size() - 1);
            while (slots[i] != None32) i = (i + 1) & (slots.size() - 1);
            slots[i] = p;
        }
        planslots_.swap(slots);
        return;
    }
    size_t i = hash & (planslots_.size() - 1);
    while (planslots_[i] != None32) i = (i + 1) & (planslots_.size() - 1);
    planslots_[i] = (uint32_t)plans_.size() - 1;
}

// A text of a recipe: its pieces, template text and the record's values.
void Converter::build(const Plan &p, const Recipe &r, std::u16string *out) {
    for (uint32_t k = r.first; k < r.first + r.n; ++k) {
        const Piece &pc = p.pieces[k];
        switch (pc.kind) {
        case PText: out->append(p.texts, pc.a, pc.b); break;
        case PValue: render(planvalue(pc.ref), out); break;
        }
    }
}

void Converter::build(const Plan &p, const Recipe &r, AnsiOut *out) {
    for (uint32_t k = r.first; k < r.first + r.n; ++k) {
        const Piece &pc = p.pieces[k];
        switch (pc.kind) {
        case PText: out->append(p.ansitexts.data() + pc.a, pc.b); break;
        case PValue: render(planvalue(pc.ref), out); break;
        }
    }
}

// The System fields of a record of the plan's shape: values, or texts
// built from the recipe.
// With ansi, the texts of the source, provider and computer that are
// template text alone are left for the ANSI record to take from the plan.
void Converter::replayfields(const Plan &p, bool ansi) {
    for (int f = 0; f < FCount; ++f) {
        const Recipe &r = p.fields[f];
        Capture &k = fields_[f];
        k.set = r.set;
        if (!r.set) continue;
        k.isvalue = r.isvalue;
        if (r.isvalue) {
            k.v = planvalue(r.ref);
        } else if (!(ansi && r.plain && (f == FSourceName || f == FProvider || f == FComputer))) {
            k.text.clear();
            build(p, r, &k.text);
        }
    }
}

// The insertion strings of a record of the plan's shape, each given by
// next(): one string for the text that follows, ended by done(). False
// when the record's text could reach the limit on a record's work.
template <class Next, class Done> bool Converter::replaystrings(const Plan &p, const Next &next, const Done &done) {
    nstrings_ = 0;
    for (const Recipe &r : p.strings) {
        if (r.items) {
            // As the element's repetitions give them (see run).
            const Value arr = planvalue(r.ref);
            Value each;
            each.type = arr.type & 0x7F;
            each.off = arr.off;
            uint32_t cur = arr.off;
            bool any = false;
            while (nextitem(arr, &cur, &each)) {
                any = true;
                if (nstrings_ == 0xFFFF || !spend(r.n)) return false;
                render(each, next());
                done();
            }
            if (!any) {
                if (nstrings_ == 0xFFFF || !spend(r.n)) return false;
                render(each, next());
                done();
            }
            continue;
        }
        if (nstrings_ == 0xFFFF) return false;
        auto *s = next();
        if (r.isvalue)
            render(planvalue(r.ref), s);
        else
            build(p, r, s);
        done();
    }
    return true;
}

// The view of a record of the plan's shape, from its recipe and the
// record's values. False when the record's text could reach the limit on a
// record's work: the run then decides, as for any record.
bool Converter::replay(const Plan &p) {
    work_ = p.work;
    replayfields(p, false);
    auto &strings = out_->strings;
    auto next = [&]() -> std::u16string * {
        if (nstrings_ == strings.size()) strings.emplace_back();
        std::u16string *s = &strings[nstrings_++];
        s->clear();
        return s;
    };
    if (!replaystrings(p, next, [] {})) return false;
    if (p.hasdata) {
        const Value v = planvalue(p.data);
        out_->data.assign(c_.data + v.off, c_.data + v.off + v.size);
    }
    return work_ <= MaxWork;
}

void Converter::fieldtext(int field, std::u16string *out) {
    out->clear();
    const Capture &k = fields_[field];
    if (!k.set) return;
    if (k.isvalue)
        render(k.v, out);
    else
        out->assign(k.text);
}

// A field of a record replayed from plan p for its ANSI form (see
// replayfields).
void Converter::fieldtext(const Plan &p, int field, AnsiOut *out) {
    const Capture &k = fields_[field];
    if (!k.set) return;
    if (k.isvalue)
        render(k.v, out);
    else if (p.fields[field].plain && field != FUser)
        build(p, p.fields[field], out);
    else
        ansitext((const uint8_t *)k.text.data(), (uint32_t)k.text.size(), out);
}

// A System field as a number: from an integer value, or from text in
// decimal or as 0x and hex digits.
uint64_t Converter::fieldnumber(int field) {
    const Capture &k = fields_[field];
    if (!k.set) return 0;
    if (k.isvalue && k.v.type != TString && k.v.type != TAnsi) {
        if (!itemsize(k.v.type, k.v.size) || k.v.type == TReal32 || k.v.type == TReal64) return 0;
        return lowbytes(c_.data + k.v.off, k.v.size);
    }
    const std::u16string *text = &k.text;
    if (k.isvalue) {
        scratch_.clear();
        render(k.v, &scratch_);
        text = &scratch_;
    }
    const std::u16string &t = *text;
    size_t i = 0;
    while (i < t.size() && t[i] == u' ') ++i;
    uint64_t u = 0;
    if (i + 1 < t.size() && t[i] == u'0' && (t[i + 1] == u'x' || t[i + 1] == u'X')) {
        for (i += 2; i < t.size(); ++i) {
            const char16_t ch = t[i];
            const int d = ch >= u'0' && ch <= u'9'   ? ch - u'0'
                          : ch >= u'a' && ch <= u'f' ? ch - u'a' + 10
                          : ch >= u'A' && ch <= u'F' ? ch - u'A' + 10
                                                     : -1;
            if (d < 0) break;
            u = u << 4 | (uint64_t)d;
        }
    } else {
        for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9'; ++i) u = u * 10 + (uint64_t)(t[i] - u'0');
    }
    return u;
}

namespace {

uint32_t clampseconds(int64_t secs) { return secs < 0 ? 0 : secs > 0xFFFFFFFFll ? 0xFFFFFFFFu : (uint32_t)secs; }

// The legacy event type: the audit keywords first, then the level. Level 0
// (log always) is what the legacy write call stores for its success type,
// which reads back as 0; levels past Informational are informational too.
uint16_t eventtype(uint64_t level, uint64_t keywords) {
    if (keywords & 0x0020000000000000ull) return EVENTLOG_AUDIT_SUCCESS;
    if (keywords & 0x0010000000000000ull) return EVENTLOG_AUDIT_FAILURE;
    switch (level) {
    case 0: return EVENTLOG_SUCCESS;
    case 1:
    case 2: return EVENTLOG_ERROR_TYPE;
    case 3: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

} // namespace

uint32_t filetimeseconds(uint64_t ticks) {
    return clampseconds((int64_t)(ticks / TicksPerSecond) - DaysFrom1601To1970 * 86400);
}

// The event's numbers from the System fields and the record header's time.
void Converter::numbers(uint64_t written, evt::Fixed *f) {
    const uint64_t qualifiers = fieldnumber(FQualifiers), id = fieldnumber(FEventID);
    f->eventid = (uint32_t)((qualifiers & 0xFFFF) << 16 | (id & 0xFFFF));
    f->eventtype = eventtype(fieldnumber(FLevel), fieldnumber(FKeywords));
    f->category = (uint16_t)fieldnumber(FTask);
    f->timewritten = filetimeseconds(written);
    f->timegenerated = f->timewritten;
    const Capture &t = fields_[FTime];
    if (t.set && t.isvalue && t.v.type == TFileTime && t.v.size == 8) {
        f->timegenerated = filetimeseconds(le64(c_, t.v.off));
    } else if (t.set && t.isvalue && t.v.type == TSysTime && t.v.size == 16) {
        const uint32_t o = t.v.off;
        const uint16_t m = le16(c_, o + 2), d = le16(c_, o + 6);
        if (m >= 1 && m <= 12 && d >= 1 && d <= 31)
            f->timegenerated = clampseconds(daysfromcivil(le16(c_, o), m, d) * 86400 + le16(c_, o + 8) * 3600 +
                                            le16(c_, o + 10) * 60 + le16(c_, o + 12));
    }
}

// The user's SID: a SID value, or a SID written as text.
void Converter::usersid(std::vector<uint8_t> *sid) {
    sid->clear();
    const Capture &u = fields_[FUser];
    if (u.set && u.isvalue && u.v.type == TSid) {
        const uint32_t n = sidsize(c_.data + u.v.off, u.v.size);
        sid->assign(c_.data + u.v.off, c_.data + u.v.off + n);
    } else if (u.set) {
        fieldtext(FUser, &scratch_);
        std::string text;
        for (char16_t ch : scratch_) text.push_back(widetoansi(ch));
        SidBytes parsed;
        if (parsesid(text, &parsed)) *sid = parsed;
    }
}

// The ANSI form of a record of the plan's shape straight from its recipe
// and values: what ansirecord gives for the view replay makes (whose
// texts hold no NUL unit: the run and the values leave them out). False
// when replay would be false: the run decides then.
bool Converter::replayansi(const Plan &p, uint64_t written, uint32_t number, AnsiOut *out) {
    work_ = p.work;
    replayfields(p, true);
    // The source and computer come first in the record but are made from
    // the fields after the strings in the view: their work is not counted
    // before the strings'.
    const uint64_t work = work_;
    out->n = 0;
    out->room(evt::FixedSize);
    out->n = evt::FixedSize;
    const size_t source = out->n;
    fieldtext(p, FSourceName, out);
    if (out->n == source) fieldtext(p, FProvider, out);
    out->push_back(0);
    fieldtext(p, FComputer, out);
    out->push_back(0);
    work_ = work;
    auto pad = [&] { // 1 to 4 zero bytes
        nt::put32(out->room(4), 0);
        out->n += 4 - out->n % 4;
    };
    pad();
    evt::Fixed f;
    f.sidoff = (uint32_t)out->n;
    usersid(&sid_);
    if (!sid_.empty()) out->append((const char *)sid_.data(), sid_.size());
    f.stroff = (uint32_t)out->n;
    if (!replaystrings(
            p, [&] { return ++nstrings_, out; }, [&] { out->push_back(0); }))
        return false;
    if (work_ > MaxWork) return false;
    f.dataoff = (uint32_t)out->n;
    if (p.hasdata) {
        const Value v = planvalue(p.data);
        out->append((const char *)c_.data + v.off, v.size);
        f.datalen = v.size;
    }
    pad();
    f.length = (uint32_t)out->n + 4;
    f.number = number;
    f.nstrings = (uint16_t)nstrings_;
    f.sidlen = (uint32_t)sid_.size();
    numbers(written, &f);
    nt::put32(out->room(4), f.length);
    out->n += 4;
    evt::putfixed(out->v->data(), f);
    return true;
}

bool Converter::convert(Bytes chunk, uint32_t slot, uint32_t off, uint32_t size, evt::NewRecord *out, uint32_t number,
                        std::vector<uint8_t> *ansi, size_t *ansisize) {
    // Templates belong to their chunk; the cache starts afresh for another
    // one, or when a hostile chunk has filled half of it: whatever one record
    // uses lies in its 64 KiB chunk, which compiles to fewer operations than
    // the other half.
    if (slot != slot_ || ops_.size() > MaxOps / 2) {
        if (slot != slot_ && (planpieces_ >= MaxOps || formbytes_ > MaxForms)) resetplans();
        resetchunk();
        slot_ = slot;
    }
    c_ = chunk;
    out_ = out;
    if (ansisize) *ansisize = 0;
    auto begin = [&] {
        for (Capture &k : fields_) k.set = false;
        buf_.clear();
        trail_.clear();
        values_.clear();
        frames_.assign(1, Frame());
        nstrings_ = 0;
        binary_ = false;
        work_ = 0;
        owner_ = None;
        out->data.clear();
    };
    const uint64_t written = le64(chunk, off + 16);
    const uint32_t body = off + RecordHeaderSize, end = off + size - 4;
    bool done = false, begun = false;
    noting_ = false;
    size_t hash = 0;
    if (useplans_) {
        keylen_ = 0;
        nvals_ = outer_ = 0;
        nested_.clear();
        if (shape(body, end, None)) {
            hash = hashbytes(keybuf_.data(), keylen_);
            const uint32_t hit = findplan(hash);
            if (hit != None32) {
                // A shape whose record took a path no recipe holds is run.
                const Plan &plan = plans_[hit];
                if (plan.ok && ansi) {
                    AnsiOut a{ansi, 0};
                    if (replayansi(plan, written, number, &a)) {
                        *ansisize = a.n;
                        return true;
                    }
                }
                if (plan.ok) {
                    begin();
                    begun = true;
                    done = replay(plan);
                    if (!done) begin(); // over a limit: the run decides
                }
            } else if (planpieces_ < MaxOps) {
                noting_ = true;
                rec_ = Plan();
            }
        }
    }
    if (!done) {
        if (!begun) begin();
        const bool ok = stream(body, end, 0);
        if (ok && noting_) {
            if (!rec_.ok) {
                rec_ = Plan(); // kept empty, so that the shape is run without noting
                rec_.ok = false;
            }
            // The ANSI form of the texts, unit for byte, and the fields
            // made of them alone.
            rec_.ansitexts.resize(rec_.texts.size());
            for (size_t i = 0; i < rec_.texts.size(); ++i) rec_.ansitexts[i] = (char)ansiunit(rec_.texts[i]);
            for (Recipe &r : rec_.fields) {
                r.plain = r.set && !r.isvalue;
                for (uint32_t k = r.first; r.plain && k < r.first + r.n; ++k) r.plain = rec_.pieces[k].kind == PText;
            }
            planpieces_ += rec_.pieces.size() + rec_.strings.size() + (rec_.texts.size() + keylen_) / 8 + 1;
            addplan(hash);
        }
        noting_ = false;
        if (!ok) return false;
    }
    out->strings.resize(nstrings_);
    evt::Fixed f;
    numbers(written, &f);
    out->eventid = f.eventid;
    out->eventtype = f.eventtype;
    out->category = f.category;
    out->timewritten = f.timewritten;
    out->timegenerated = f.timegenerated;
    fieldtext(FSourceName, &out->source);
    if (out->source.empty()) fieldtext(FProvider, &out->source);
    fieldtext(FComputer, &out->computer);
    usersid(&out->sid);
    return true;
}

// ---------------------------------------------------------------- the index

Reader::Reader(bool plans) : conv_(new Converter(plans)) {}
Reader::~Reader() = default;

uint32_t Reader::oldest() const { return chunks_.empty() ? 0 : (uint32_t)chunks_.front().first; }

uint32_t Reader::newest() const {
    return chunks_.empty() ? 0 : (uint32_t)(chunks_.back().first + chunks_.back().count - 1);
}

// Checks one chunk: signature, header size, free space offset, then every
// record frame from the first record to the free space (signature, a size
// that is a multiple of 8 and matches its copy at the end, identifiers
// following each other), and the header's first and last numbers and last
// record offset against what was walked. An empty chunk (free space right
// after the header) passes with count 0.
//
// Checksums are not kept up to date in the chunk being written when a live
// file is copied, and are zero where the no-CRC flag is set, so they cannot
// decide alone. The header's checksum (504 bytes) guards the counters and
// the offsets every name and template is found by: when it does not match,
// the chunk is taken only if every one of its records also converts. The
// records' own checksum is not computed: a whole-file pass would cost about
// an eighth of a dump, and a record whose binary XML does not hold fails on
// its own when read.
bool Reader::checkchunk(uint32_t slot, Bytes c, bool nocrc, ChunkEntry *e) {
    const uint8_t *h = c.data;
    if (std::memcmp(h, "ElfChnk", 8) != 0 || le32(c, 0x28) != 128) return false;
    const uint64_t firstnum = le64(c, 0x08), lastnum = le64(c, 0x10), firstid = le64(c, 0x18), lastid = le64(c, 0x20);
    const uint32_t lastoff = le32(c, 0x2C), free = le32(c, 0x30);
    if (free < ChunkHeaderSize || free > ChunkSize) return false;
    e->slot = slot;
    e->count = 0;
    e->first = firstid;
    uint32_t off = ChunkHeaderSize, last = 0;
    while (off < free) {
        if (free - off < RecordHeaderSize + 8) return false;
        const uint32_t size = le32(c, off + 4);
        if (le32(c, off) != 0x00002A2A || size < RecordHeaderSize + 8 || size % 8 || size > free - off ||
            le32(c, off + size - 4) != size || le64(c, off + 8) != firstid + e->count)
            return false;
        last = off;
        off += size;
        ++e->count;
    }
    if (!e->count) return true;
    if (lastid != firstid + e->count - 1 || lastid < firstid || lastnum - firstnum != lastid - firstid ||
        lastoff != last)
        return false;
    e->lastoffset = last;
    e->free = free;
    if (nocrc || (le32(c, 0x78) & FlagNoCrc)) return true;
    if (headercrc(h) == le32(c, 0x7C)) return true;
    evt::NewRecord scratch;
    for (uint32_t at = ChunkHeaderSize; at < free; at += le32(c, at + 4))
        if (!conv_->convert(c, slot, at, le32(c, at + 4), &scratch)) return false;
    return true;
}

DWORD Reader::open(evt::Source &src) {
    src_ = &src;
    chunks_.clear();
    hint_ = Position{SIZE_MAX, 0, 0};
    total_ = 0;
    flags_ = 0;
    conv_->reset();
    const uint8_t *p;
    if (src.size() < FileHeaderSize || !src.view(0, 128, false, &p)) return ERROR_EVENTLOG_FILE_CORRUPT;
    const Bytes head{p, 128};
    if (!hassignature(head) || le32(head, 0x20) != 128 || le16(head, 0x26) != 3 || le16(head, 0x28) != FileHeaderSize)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    flags_ = le32(head, 0x78);
    // Every slot is looked at: the header's chunk count is stale in a dirty
    // file, and unused (zero) slots can lie between used ones. Offsets must
    // fit in 32 bits, which holds the 65,535 chunks a header can count.
    const uint64_t slots = std::min<uint64_t>((src.size() - FileHeaderSize) / ChunkSize, 0x10000);
    size_t good = 0;
    for (uint32_t s = 0; s < slots; ++s) {
        ChunkEntry e;
        if (!src.view(FileHeaderSize + s * ChunkSize, ChunkSize, false, &p)) return ERROR_EVENTLOG_FILE_CORRUPT;
        if (!checkchunk(s, Bytes{p, ChunkSize}, flags_ & FlagNoCrc, &e)) continue;
        ++good;
        if (e.count) chunks_.push_back(e);
    }
    if (!good) {
        chunks_.clear();
        return ERROR_EVENTLOG_FILE_CORRUPT;
    }
    // Record number order, whatever the order of the slots (a log that
    // wrapped reuses its oldest chunk). A chunk whose identifiers overlap an
    // earlier one's, or lie 2^31 or more past the oldest, is damaged or
    // stale and left out, so that numbers stay unique and ordered in 32 bits.
    std::sort(chunks_.begin(), chunks_.end(), [](const ChunkEntry &a, const ChunkEntry &b) {
        return a.first != b.first ? a.first < b.first : a.slot < b.slot;
    });
    size_t kept = 0;
    for (const ChunkEntry &e : chunks_) {
        const uint64_t last = e.first + e.count - 1;
        if (kept && (e.first <= chunks_[kept - 1].first + chunks_[kept - 1].count - 1 ||
                     last - chunks_[0].first >= 0x80000000u))
            continue;
        chunks_[kept++] = e;
        total_ += e.count;
    }
    chunks_.resize(kept);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- positions

bool Reader::chunkat(size_t chunk, bool backwards, Bytes *out) {
    const uint8_t *p;
    if (!src_ || chunk >= chunks_.size() ||
        !src_->view(FileHeaderSize + chunks_[chunk].slot * ChunkSize, ChunkSize, backwards, &p))
        return false;
    *out = Bytes{p, ChunkSize};
    return true;
}

namespace {

// True when a record frame with identifier id starts at off.
bool recordframe(Bytes c, uint32_t off, uint64_t id) {
    if (!c.has(off, RecordHeaderSize + 8)) return false;
    const uint8_t *p = c.data + off;
    const uint32_t size = nt::le32(p + 4);
    return nt::le32(p) == 0x00002A2A && size >= RecordHeaderSize + 8 && c.has(off, size) &&
           (nt::le32(p + 8) | (uint64_t)nt::le32(p + 12) << 32) == id && nt::le32(p + size - 4) == size;
}

} // namespace

bool Reader::first(Position *pos) {
    if (chunks_.empty()) return false;
    *pos = Position{0, ChunkHeaderSize, chunks_[0].first};
    return true;
}

bool Reader::last(Position *pos) {
    if (chunks_.empty()) return false;
    const ChunkEntry &e = chunks_.back();
    *pos = Position{chunks_.size() - 1, e.lastoffset, e.first + e.count - 1};
    return true;
}

bool Reader::next(Position *pos) {
    if (pos->chunk >= chunks_.size()) return false;
    const ChunkEntry &e = chunks_[pos->chunk];
    if (pos->id - e.first + 1 >= e.count) {
        if (pos->chunk + 1 >= chunks_.size()) return false;
        *pos = Position{pos->chunk + 1, ChunkHeaderSize, chunks_[pos->chunk + 1].first};
        return true;
    }
    Bytes c;
    if (!chunkat(pos->chunk, false, &c) || !recordframe(c, pos->offset, pos->id)) return false;
    const uint32_t at = pos->offset + le32(c, pos->offset + 4);
    if (!recordframe(c, at, pos->id + 1)) return false;
    pos->offset = at;
    ++pos->id;
    return true;
}

bool Reader::prev(Position *pos) {
    if (pos->chunk >= chunks_.size()) return false;
    const ChunkEntry &e = chunks_[pos->chunk];
    if (pos->id == e.first) {
        if (pos->chunk == 0) return false;
        const ChunkEntry &p = chunks_[pos->chunk - 1];
        *pos = Position{pos->chunk - 1, p.lastoffset, p.first + p.count - 1};
        return true;
    }
    // The size copy at the end of the record before gives its start.
    Bytes c;
    uint32_t size;
    if (!chunkat(pos->chunk, true, &c) || pos->offset < ChunkHeaderSize + RecordHeaderSize + 8 ||
        !c.u32(pos->offset - 4, &size) || size > pos->offset - ChunkHeaderSize ||
        !recordframe(c, pos->offset - size, pos->id - 1))
        return false;
    pos->offset -= size;
    --pos->id;
    return true;
}

bool Reader::find(uint32_t number, Position *pos, Position *after) {
    if (chunks_.empty()) return false;
    // Numbers count from the oldest record modulo 2^32; those just below it
    // come before the log.
    const int32_t d = (int32_t)(number - (uint32_t)chunks_[0].first);
    if (d < 0) {
        if (after) first(after);
        return false;
    }
    const uint64_t id = chunks_[0].first + (uint64_t)d;
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), id,
                               [](uint64_t v, const ChunkEntry &e) { return v < e.first; });
    const size_t k = (size_t)(it - chunks_.begin()) - 1; // the chunk starting at or before id
    if (id - chunks_[k].first >= chunks_[k].count) {
        if (after && k + 1 < chunks_.size()) *after = Position{k + 1, ChunkHeaderSize, chunks_[k + 1].first};
        return false;
    }
    Bytes c;
    if (!chunkat(k, false, &c)) return false;
    Position p{k, ChunkHeaderSize, chunks_[k].first};
    if (hint_.chunk == k && hint_.id <= id && recordframe(c, hint_.offset, hint_.id)) p = hint_;
    while (p.id < id) {
        if (!recordframe(c, p.offset, p.id)) return false;
        p.offset += le32(c, p.offset + 4);
        ++p.id;
    }
    if (!recordframe(c, p.offset, p.id)) return false;
    *pos = hint_ = p;
    return true;
}

// ---------------------------------------------------------------- the legacy view

bool Reader::convertat(const Position &pos, evt::NewRecord *view, std::vector<uint8_t> *ansi, size_t *made) {
    Bytes c;
    return chunkat(pos.chunk, false, &c) && recordframe(c, pos.offset, pos.id) &&
           conv_->convert(c, chunks_[pos.chunk].slot, pos.offset, le32(c, pos.offset + 4), view, (uint32_t)pos.id, ansi,
                          made);
}

DWORD Reader::read(const Position &pos, evt::NewRecord *out, uint32_t *number) {
    if (!convertat(pos, out, nullptr, nullptr)) return ERROR_EVENTLOG_FILE_CORRUPT;
    *number = (uint32_t)pos.id;
    return ERROR_SUCCESS;
}

DWORD Reader::readansi(const Position &pos, evt::NewRecord *view, std::vector<uint8_t> *scratch, Bytes *out) {
    size_t made = 0;
    if (!convertat(pos, view, scratch, &made)) return ERROR_EVENTLOG_FILE_CORRUPT;
    if (!made) {
        evt::ansirecord(*view, (uint32_t)pos.id, scratch);
        made = scratch->size();
    }
    *out = Bytes{scratch->data(), made};
    return ERROR_SUCCESS;
}

} // namespace evtx
} // namespace nt
