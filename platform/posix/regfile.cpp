// regfile.cpp: the key tree, and reading and writing regedit text files.
//
// Divisions: names and their index; the tree; decoding a file to UTF-8
// text; parsing the text; writing a file.
//
// A file is parsed in one pass that checks every line and builds the keys;
// each key keeps where its sections' value lines start, and parses them the
// first time its values are asked for. The checks are those of the full
// parse, so a file that parses has only value lines that parse, and a key's
// values come out as they would have from parsing them at once: the value
// lines of a key only ever change that key.
#include "platform/posix/regfile.h"

#include "platform/posix/common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace nt {

std::string foldname(const std::string &name) {
    // ASCII names, nearly all of them, fold in place in one pass.
    std::string folded(name.size(), '\0');
    const unsigned char *from = (const unsigned char *)name.data();
    char *to = &folded[0];
    const size_t n = name.size();
    size_t ascii = 0;
    for (; ascii < n; ++ascii) {
        const unsigned char c = from[ascii];
        if (c >= 0x80) break;
        to[ascii] = (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (ascii == n) return folded;
    folded.resize(ascii);
    for (size_t i = ascii; i < name.size();) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x80) {
            folded += (char)fold1252(c);
            ++i;
            continue;
        }
        uint32_t cp = getutf8(name, &i);
        char ansi = widetoansi(cp);
        if (ansi != '?') cp = ansitowide(fold1252((unsigned char)ansi));
        pututf8(&folded, cp);
    }
    return folded;
}

// The text of a parsed file: UTF-8, every line checked.
struct RegText {
    std::string text;
    bool v5 = false; // hex data of string types is UTF-16LE
};

namespace {

const size_t NotFound = (size_t)-1;

bool isstringtype(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ---------------------------------------------------------------- names

const uint64_t Ones = 0x0101010101010101ull, Highs = 0x8080808080808080ull;

// Up to 8 bytes of s from i on as a word, byte k in bits 8k, zeros past n.
uint64_t wordat(const char *s, size_t n, size_t i) {
    uint64_t w = 0;
    if (n - i >= 8) {
        std::memcpy(&w, s + i, 8);
        return w;
    }
    for (size_t k = 0; k < n - i; ++k) w |= (uint64_t)(unsigned char)s[i + k] << (8 * k);
    return w;
}

// The capitals of the letters a-z of a word of ASCII bytes: a byte from 'a'
// on gets its high bit from the first sum, one from '{' on from the second.
uint64_t upperword(uint64_t w) {
    const uint64_t lower = (w + (0x80 - 'a') * Ones) & ~(w + (0x80 - '{') * Ones) & Highs;
    return w - (lower >> 2);
}

// True when foldname gives a and b the same form. ASCII characters fold to
// themselves or their capitals, one byte each, so the forms differ at the
// first ASCII character that differs; only a name with other characters is
// folded whole.
bool foldeq(const char *a, size_t an, const char *b, size_t bn) {
    const size_t n = std::min(an, bn);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t x = wordat(a, n, i), y = wordat(b, n, i);
        if ((x | y) & Highs) return foldname(std::string(a, an)) == foldname(std::string(b, bn));
        if (x != y && upperword(x) != upperword(y)) return false;
    }
    // A name that goes on past the other's end folds to more bytes.
    return an == bn;
}

bool isascii(const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if ((unsigned char)s[i] >= 0x80) return false;
    return true;
}

uint64_t mix(uint64_t h, uint64_t w) { return (h ^ w) * 0x9E3779B97F4A7C15ull; }

// The hash's bits spread over its low half, which picks the index's slot.
uint32_t finish(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return (uint32_t)h;
}

// A hash of a name's folded form, a word at a time.
uint32_t namehash(const char *s, size_t n) {
    uint64_t h = n;
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t w = wordat(s, n, i);
        if (w & Highs) {
            const std::string folded = foldname(std::string(s, n));
            h = folded.size();
            for (size_t k = 0; k < folded.size(); k += 8) h = mix(h, wordat(folded.data(), folded.size(), k));
            return finish(h);
        }
        h = mix(h, upperword(w));
    }
    return finish(h);
}

} // namespace

// Positions in a list by the hash of the entry's folded name: open
// addressing in a table of a power of two slots, at most half of them used,
// each slot the hash (high half) and the position plus one (low half; 0 for
// a free slot, Removed for one whose entry was removed). An indexed list may
// have removed entries in it until it is compacted; dead lists them.
class NameIndex {
public:
    template <class Same> size_t find(uint32_t hash, Same same) const {
        if (slots_.empty()) return NotFound;
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint64_t slot = slots_[i];
            const uint32_t pos = (uint32_t)slot;
            if (pos == 0) return NotFound;
            if (pos != Removed && (uint32_t)(slot >> 32) == hash && same((size_t)pos - 1)) return (size_t)pos - 1;
        }
    }
    void insert(uint32_t hash, size_t position) {
        if ((used_ + 1) * 2 > slots_.size()) rebuild();
        place(hash, position);
        ++used_;
    }
    bool active() const { return !slots_.empty(); }
    void clear() {
        std::vector<uint64_t>().swap(slots_);
        used_ = 0;
        dead.clear();
    }
    void erase(uint32_t hash, size_t position) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint32_t pos = (uint32_t)slots_[i];
            if (pos == 0) return;
            if (pos == position + 1) {
                slots_[i] = Removed;
                dead.push_back(position);
                return;
            }
        }
    }

    std::vector<size_t> dead;

private:
    static const uint32_t Removed = 0xFFFFFFFFu;

    void place(uint32_t hash, size_t position) {
        const size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        while ((uint32_t)slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = (uint64_t)hash << 32 | (uint64_t)(position + 1);
    }
    // Doubles the table when its live entries need it, and drops the
    // removed ones.
    void rebuild() {
        std::vector<uint64_t> old;
        old.swap(slots_);
        size_t live = 0;
        for (uint64_t slot : old)
            if ((uint32_t)slot != 0 && (uint32_t)slot != Removed) ++live;
        size_t size = 16;
        while (size < 2 * (live + 1)) size *= 2;
        slots_.assign(size, 0);
        for (uint64_t slot : old)
            if ((uint32_t)slot != 0 && (uint32_t)slot != Removed) place((uint32_t)(slot >> 32), (uint32_t)slot - 1);
        used_ = live;
    }

    std::vector<uint64_t> slots_;
    size_t used_ = 0; // live and removed slots
};

// ---------------------------------------------------------------- the tree

// What only some keys need: the indexes of their large lists, the offsets of
// the sections after their first, and (for the top of a tree read from a
// file) the text.
struct RegKey::More {
    NameIndex keys, values;
    std::vector<uint32_t> sections;
    std::shared_ptr<const RegText> text;
};

namespace {

// Lists of more entries than this have an index.
const size_t IndexFrom = 8;

// Indexes the count entries of a list by their names, or leaves it without
// an index when it is small.
template <class Name> void reindex(NameIndex *index, size_t count, Name name) {
    index->clear();
    if (count <= IndexFrom) return;
    for (size_t i = 0; i < count; ++i) {
        const std::string &n = name(i);
        index->insert(namehash(n.data(), n.size()), i);
    }
}

} // namespace

RegKey::RegKey(std::string name) : name_(std::move(name)) {}

RegKey::~RegKey() = default;

RegKey::More &RegKey::more() const {
    if (!more_) more_ = std::make_unique<More>();
    return *more_;
}

NameIndex *RegKey::keyindex() const { return more_ && more_->keys.active() ? &more_->keys : nullptr; }

NameIndex *RegKey::valueindex() const { return more_ && more_->values.active() ? &more_->values : nullptr; }

size_t RegKey::findsubkey(const char *name, size_t length, uint32_t *hash) const {
    auto same = [&](size_t i) {
        const std::string &k = subkeys_[i]->name_;
        return foldeq(k.data(), k.size(), name, length);
    };
    if (NameIndex *index = keyindex()) return index->find(*hash = namehash(name, length), same);
    for (size_t i = 0; i < subkeys_.size(); ++i)
        if (same(i)) return i;
    return NotFound;
}

size_t RegKey::findvalue(const char *name, size_t length, uint32_t *hash) const {
    auto same = [&](size_t i) {
        const std::string &v = values_[i].name;
        return foldeq(v.data(), v.size(), name, length);
    };
    if (NameIndex *index = valueindex()) return index->find(*hash = namehash(name, length), same);
    for (size_t i = 0; i < values_.size(); ++i)
        if (same(i)) return i;
    return NotFound;
}

void RegKey::compact() const {
    if (!removals_) return;
    removals_ = false;
    NameIndex *index = keyindex();
    if (index && !index->dead.empty()) {
        subkeys_.erase(std::remove(subkeys_.begin(), subkeys_.end(), nullptr), subkeys_.end());
        reindex(index, subkeys_.size(), [&](size_t i) -> const std::string & { return subkeys_[i]->name_; });
    }
    index = valueindex();
    if (index && !index->dead.empty()) {
        std::vector<bool> dead(values_.size(), false);
        for (size_t i : index->dead) dead[i] = true;
        size_t live = 0;
        for (size_t i = 0; i < values_.size(); ++i) {
            if (dead[i]) continue;
            if (live != i) values_[live] = std::move(values_[i]);
            ++live;
        }
        values_.resize(live);
        reindex(index, values_.size(), [&](size_t i) -> const std::string & { return values_[i].name; });
    }
}

RegKey *RegKey::subkey(const char *name, size_t length) const {
    uint32_t hash = 0;
    const size_t i = findsubkey(name, length, &hash);
    return i == NotFound ? nullptr : subkeys_[i].get();
}

RegKey *RegKey::addsubkey(const char *name, size_t length, bool *created) {
    uint32_t hash = 0;
    const size_t i = findsubkey(name, length, &hash);
    if (created) *created = i == NotFound;
    if (i != NotFound) return subkeys_[i].get();
    subkeys_.push_back(std::make_unique<RegKey>(std::string(name, length)));
    if (NameIndex *index = keyindex())
        index->insert(hash, subkeys_.size() - 1);
    else if (subkeys_.size() > IndexFrom)
        reindex(&more().keys, subkeys_.size(), [&](size_t k) -> const std::string & { return subkeys_[k]->name_; });
    return subkeys_.back().get();
}

bool RegKey::removesubkey(const std::string &name) {
    uint32_t hash = 0;
    const size_t i = findsubkey(name.data(), name.size(), &hash);
    if (i == NotFound) return false;
    NameIndex *index = keyindex();
    if (!index) {
        subkeys_.erase(subkeys_.begin() + (std::ptrdiff_t)i);
        return true;
    }
    index->erase(hash, i);
    subkeys_[i].reset();
    removals_ = true;
    return true;
}

const std::vector<std::unique_ptr<RegKey>> &RegKey::subkeys() const {
    compact();
    return subkeys_;
}

void RegKey::setparsed(RegValue v) {
    uint32_t hash = 0;
    const size_t i = findvalue(v.name.data(), v.name.size(), &hash);
    if (i != NotFound) {
        RegValue &old = values_[i];
        old.type = v.type;
        old.data = std::move(v.data);
        old.form = std::move(v.form);
        return;
    }
    values_.push_back(std::move(v));
    if (NameIndex *index = valueindex())
        index->insert(hash, values_.size() - 1);
    else if (values_.size() > IndexFrom)
        reindex(&more().values, values_.size(), [&](size_t k) -> const std::string & { return values_[k].name; });
}

bool RegKey::removeparsed(const std::string &name) {
    uint32_t hash = 0;
    const size_t i = findvalue(name.data(), name.size(), &hash);
    if (i == NotFound) return false;
    NameIndex *index = valueindex();
    if (!index) {
        values_.erase(values_.begin() + (std::ptrdiff_t)i);
        return true;
    }
    index->erase(hash, i);
    values_[i] = RegValue();
    removals_ = true;
    return true;
}

const RegValue *RegKey::value(const std::string &name) const {
    loadvalues();
    uint32_t hash = 0;
    const size_t i = findvalue(name.data(), name.size(), &hash);
    return i == NotFound ? nullptr : &values_[i];
}

void RegKey::setvalue(const std::string &name, DWORD type, std::string data, std::string form) {
    loadvalues();
    setparsed(RegValue{name, type, std::move(data), std::move(form)});
}

bool RegKey::removevalue(const std::string &name) {
    loadvalues();
    return removeparsed(name);
}

const std::vector<RegValue> &RegKey::values() const {
    loadvalues();
    compact();
    return values_;
}

bool RegKey::operator==(const RegKey &o) const {
    if (name_ != o.name_ || values() != o.values() || subkeys().size() != o.subkeys().size()) return false;
    for (size_t i = 0; i < subkeys_.size(); ++i)
        if (*subkeys_[i] != *o.subkeys_[i]) return false;
    return true;
}

namespace {

// ---------------------------------------------------------------- decoding

const char Header4[] = "REGEDIT4";
const char Header5[] = "Windows Registry Editor Version 5.00";

uint32_t unitat(const uint8_t *p, size_t i) { return le16(p + 2 * i); }

// UTF-16LE units as code points: a surrogate pair is one, a lone surrogate
// stays itself. each(cp) is called for every one.
template <class Each> void utf16units(const uint8_t *p, size_t units, Each each) {
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unitat(p, i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t next = unitat(p, i + 1);
            if (next >= 0xDC00 && next < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        each(u);
    }
}

// UTF-16LE units to 8-bit text; a surrogate pair is one character and
// becomes one '?', as the system's conversion makes it.
std::string utf16toansi(const uint8_t *p, size_t units) {
    std::string out;
    out.reserve(units);
    utf16units(p, units, [&out](uint32_t cp) { out += widetoansi(cp); });
    return out;
}

std::string utf16toutf8(const uint8_t *p, size_t units) {
    std::string out;
    out.reserve(units);
    utf16units(p, units, [&out](uint32_t cp) { pututf8(&out, cp); });
    return out;
}

// UTF-8 text made well-formed: a byte that does not start a well-formed
// sequence is taken as a code page 1252 character, so a version 5 file saved
// by an editor in the ANSI code page still reads as written.
std::string wellformed(const std::string &in, size_t from) {
    std::string out;
    out.reserve(in.size() - from);
    for (size_t i = from; i < in.size();) pututf8(&out, getutf8(in, &i));
    return out;
}

bool startswith(const std::string &s, size_t at, const char *prefix) {
    size_t n = std::strlen(prefix);
    return s.size() - std::min(at, s.size()) >= n && s.compare(at, n, prefix) == 0;
}

// True when s holds no byte from 0x80 on from position from: such text is
// its own UTF-8 whatever the file's encoding, and is kept as it was read.
bool asciifrom(const std::string &s, size_t from) {
    const char *p = s.data() + std::min(from, s.size()), *end = s.data() + s.size();
#ifdef __SSE2__
    for (; end - p >= 16; p += 16)
        if (_mm_movemask_epi8(_mm_loadu_si128((const __m128i *)p))) return false;
#endif
    for (; end - p >= 8; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080ull) return false;
    }
    for (; p < end; ++p)
        if ((unsigned char)*p >= 0x80) return false;
    return true;
}

// The file's text as UTF-8, and the encoding and line ends of its format.
DWORD decodefile(std::string &&bytes, std::string *text, RegFormat *format, RegFileError *err) {
    const uint8_t *p = (const uint8_t *)bytes.data();
    if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        if (bytes.size() % 2) {
            err->what = "UTF-16 text with an odd number of bytes";
            return ERROR_REGISTRY_CORRUPT;
        }
        format->encoding = RegEncoding::Utf16;
        *text = utf16toutf8(p + 2, (bytes.size() - 2) / 2);
    } else if (startswith(bytes, 0, "\xEF\xBB\xBF")) {
        format->encoding = RegEncoding::Utf8Bom;
        if (asciifrom(bytes, 3)) {
            bytes.erase(0, 3);
            *text = std::move(bytes);
        } else {
            *text = wellformed(bytes, 3);
        }
    } else {
        // A version 5 file without a byte-order mark is UTF-8.
        size_t start = bytes.find_first_not_of(" \t\r\n");
        bool v5 = start != std::string::npos && startswith(bytes, start, Header5);
        format->encoding = v5 ? RegEncoding::Utf8 : RegEncoding::Ansi;
        if (asciifrom(bytes, 0))
            *text = std::move(bytes);
        else
            *text = v5 ? wellformed(bytes, 0) : ansitoutf8(bytes);
    }
    size_t eol = text->find('\n');
    format->crlf = eol == std::string::npos || (eol > 0 && (*text)[eol - 1] == '\r');
    if (text->find_first_not_of(" \t\r\n") == std::string::npos) {
        format->version5 = format->encoding != RegEncoding::Ansi;
        text->clear();
        return ERROR_SUCCESS;
    }
    if (text->find('\0') != std::string::npos) {
        err->what = "NUL character in the text";
        return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- parsing

bool isblank(char c) { return c == ' ' || c == '\t'; }

// Moves *e back over blanks and CRs.
void trimright(const char *b, const char **e) {
    while (*e > b && (isblank((*e)[-1]) || (*e)[-1] == '\r')) --*e;
}

// The value of each hex digit, -1 for other bytes.
struct HexDigits {
    signed char value[256];
    HexDigits() {
        for (int c = 0; c < 256; ++c)
            value[c] = (signed char)(c >= '0' && c <= '9'   ? c - '0'
                                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1);
    }
};
const HexDigits Hex;

int hexdigit(char c) { return Hex.value[(unsigned char)c]; }

// Reads 1 to 8 hex digits at s[*pos] (of n); false when there are none or
// more.
bool hexnumber(const char *s, size_t n, size_t *pos, uint32_t *out) {
    uint32_t v = 0;
    size_t count = 0;
    while (*pos < n && hexdigit(s[*pos]) >= 0) {
        if (++count > 8) return false;
        v = (v << 4) | (uint32_t)hexdigit(s[*pos]);
        ++*pos;
    }
    *out = v;
    return count > 0;
}

bool onlyblanks(const char *s, size_t n, size_t pos) {
    for (; pos < n; ++pos)
        if (!isblank(s[pos])) return false;
    return true;
}

// A quoted string at s[*pos] (which is '"'); \\ and \" are escapes, any
// other backslash stands for itself. Moves *pos past the closing quote;
// *escaped tells whether the string has escapes.
bool closequote(const char *s, size_t n, size_t *pos, bool *escaped) {
    *escaped = false;
    // Most strings have no backslash before their closing quote.
    const char *from = s + *pos + 1, *end = s + n;
    if (const char *quote = (const char *)std::memchr(from, '"', (size_t)(end - from))) {
        if (!std::memchr(from, '\\', (size_t)(quote - from))) {
            *pos = (size_t)(quote - s) + 1;
            return true;
        }
    }
    for (size_t i = *pos + 1; i < n; ++i) {
        if (s[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (s[i] == '\\' && i + 1 < n && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            *escaped = true;
            ++i;
        }
    }
    return false;
}

// The text between the quotes of a string that closequote accepted.
std::string unquote(const char *s, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '\\' && i + 1 < n && (s[i + 1] == '\\' || s[i + 1] == '"')) ++i;
        out += s[i];
    }
    return out;
}

// True when s starts with the n characters of lower, A-Z taken as a-z.
bool startsnocase(const char *s, const char *lower, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if ((c >= 'A' && c <= 'Z' ? (char)(c + 32) : c) != lower[i]) return false;
    }
    return true;
}

// The length of the longest common start of a and b, both n bytes or more.
size_t common(const char *a, const char *b, size_t n) {
    size_t i = 0;
    for (; n - i >= 8; i += 8)
        if (std::memcmp(a + i, b + i, 8) != 0) break;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// The lines of a text from an offset on: each without its line feed, and
// its number from that offset.
class Lines {
public:
    Lines(const std::string &text, size_t from) : text_(text.data()), size_(text.size()), pos_(from) {}
    bool next(const char **b, const char **e) {
        if (pos_ >= size_) return false;
        const char *start = text_ + pos_;
        const char *nl = (const char *)std::memchr(start, '\n', size_ - pos_);
        *b = start;
        *e = nl ? nl : text_ + size_;
        pos_ = (size_t)(*e - text_) + 1;
        ++lineno_;
        return true;
    }
    size_t pos() const { return pos_; }
    size_t lineno() const { return lineno_; }

private:
    const char *text_;
    size_t size_, pos_, lineno_ = 0;
};

// How much of a value line to take: Check only checks it; Data takes its
// name, type and data; Whole the form too.
enum class Want { Check, Data, Whole };

struct ValueLine {
    const char *name = ""; // between the quotes, escapes as written
    size_t namelength = 0;
    bool escaped = false; // the name has escapes
    bool remove = false;  // "name"=-
    RegValue value;       // with Data: type, data; with Whole: all
};

} // namespace

// The checking parse of a whole text, and the parses of a key's value lines
// that it hands out.
class RegFileParser {
public:
    // The parse of a whole text, which learns its version from the header.
    RegFileParser(RegText *text, RegFileError *err) : text_(text), header_(text), lines_(text->text, 0), err_(err) {}
    // The parse of the lines from offset from on.
    RegFileParser(const RegText *text, size_t from, RegFileError *err)
        : text_(text), lines_(text->text, from), err_(err) {}

    // Checks a whole text and builds its keys under *top, which keeps the
    // text (the keys point into it); *v5 tells whether its header is version
    // 5's.
    static DWORD parse(const std::shared_ptr<RegText> &text, RegKey *top, RegFileError *err, bool *v5) {
        top->more().text = text;
        return RegFileParser(text.get(), err).run(top, v5);
    }

    DWORD run(RegKey *top, bool *v5) {
        const char *b, *e;
        do {
            if (!lines_.next(&b, &e)) return ERROR_SUCCESS;
            trimright(b, &e);
        } while (b == e);
        const std::string header(b, e);
        if (header != Header4 && header != Header5) return fail("not a registry file (no REGEDIT4 header)");
        *v5 = header_->v5 = header == Header5;
        while (lines_.next(&b, &e)) {
            while (b < e && isblank(*b)) ++b;
            trimright(b, &e);
            if (b == e || *b == ';') continue;
            DWORD rc;
            if (*b == '[')
                rc = section(top, b, e);
            else if (*b == '"' || *b == '@')
                rc = checkvalue(b, e);
            else
                rc = fail("unexpected text");
            if (rc) return rc;
        }
        return ERROR_SUCCESS;
    }

    // Calls each(parse) with a parse of the lines after each of the key's
    // sections, in order.
    template <class Each> static void eachsection(const RegKey &key, Each each) {
        if (key.section_ == RegKey::NoSection) return;
        RegFileError ignored;
        RegFileParser first(key.text_, key.section_, &ignored);
        each(first);
        if (!key.more_) return;
        for (uint32_t from : key.more_->sections) {
            RegFileParser parser(key.text_, from, &ignored);
            each(parser);
        }
    }

    // The next value line of a section [*b, *e), blanks trimmed; false at
    // the section's end. (The text was checked whole: in a section, lines
    // that are not blank, comments or section lines are value lines.)
    bool nextvalue(const char **b, const char **e) {
        while (lines_.next(b, e)) {
            while (*b < *e && isblank(**b)) ++*b;
            trimright(*b, e);
            if (*b == *e || **b == ';') continue;
            return **b != '[';
        }
        return false;
    }

    static void loadvalues(const RegKey &key) {
        // The key's values from here on are its list: the text is let go of
        // before the list is filled.
        RegKey scratch;
        scratch.text_ = key.text_;
        scratch.section_ = key.section_;
        if (key.more_) scratch.more().sections.swap(key.more_->sections);
        key.text_ = nullptr;
        key.section_ = RegKey::NoSection;
        RegKey &target = const_cast<RegKey &>(key);
        eachsection(scratch, [&](RegFileParser &parser) {
            const char *b, *e;
            while (parser.nextvalue(&b, &e)) {
                ValueLine line;
                if (parser.valueline(b, e, Want::Whole, &line)) return;
                std::string name =
                    line.escaped ? unquote(line.name, line.namelength) : std::string(line.name, line.namelength);
                if (line.remove) {
                    target.removeparsed(name);
                } else {
                    line.value.name = std::move(name);
                    target.setparsed(std::move(line.value));
                }
            }
        });
    }

    // A value of the key, read from its lines: a line of another name is
    // passed over without being parsed (the text was checked: only a line of
    // hex data goes on, and it then ends in a backslash), the last line of
    // the name gives the value.
    static bool readvalue(const RegKey &key, const char *name, size_t length, DWORD *type, std::string *data) {
        const bool ascii = isascii(name, length);
        bool found = false;
        eachsection(key, [&](RegFileParser &parser) {
            const char *b, *e;
            while (parser.nextvalue(&b, &e)) {
                if (!named(b, e, name, length, ascii)) {
                    for (bool more = e[-1] == '\\'; more && parser.lines_.next(&b, &e);) {
                        trimright(b, &e);
                        more = e > b && e[-1] == '\\';
                    }
                    continue;
                }
                ValueLine line;
                if (parser.valueline(b, e, Want::Data, &line)) return;
                found = !line.remove;
                if (found) {
                    *type = line.value.type;
                    *data = std::move(line.value.data);
                }
            }
        });
        return found;
    }

    // True when the checked value line [b, e) is of the value name. An
    // ASCII name is compared in place: the line's name, up to its closing
    // quote, has to be that long and hold no escape.
    static bool named(const char *b, const char *e, const char *name, size_t length, bool ascii) {
        if (*b == '@') return length == 0;
        if (ascii) {
            const char *p = b + 1, *end = std::min(e, b + length + 2);
            while (p < end && *p != '"' && *p != '\\') ++p;
            if (p == end) return false;
            if (*p == '"') return (size_t)(p - b - 1) == length && foldeq(b + 1, length, name, length);
        }
        size_t pos = 0;
        bool escaped;
        if (!closequote(b, (size_t)(e - b), &pos, &escaped)) return false;
        if (!escaped) return foldeq(b + 1, pos - 2, name, length);
        const std::string unquoted = unquote(b + 1, pos - 2);
        return foldeq(unquoted.data(), unquoted.size(), name, length);
    }

private:
    // A part of a section's path: its name in the text (in this section's
    // line or an earlier one's), where it ends in the path, the key it names.
    struct Part {
        const char *name;
        size_t length;
        size_t end;
        RegKey *key;
    };

    const RegText *text_;
    RegText *header_ = nullptr;
    Lines lines_;
    RegFileError *err_;
    RegKey *current_ = nullptr;
    size_t sectionstart_ = 0; // offset of the line after current_'s section line
    bool listed_ = false;     // current_ has that offset among its sections
    std::vector<Part> parts_, previous_;
    const char *prevpath_ = nullptr; // the previous section's path, whose parts previous_ holds
    size_t prevlength_ = 0;

    DWORD fail(const char *what) {
        err_->line = lines_.lineno();
        err_->what = what;
        return ERROR_REGISTRY_CORRUPT;
    }

    DWORD section(RegKey *top, const char *b, const char *e) {
        if (e[-1] != ']') return fail("section without closing ']'");
        const bool remove = e - b > 1 && b[1] == '-';
        const char *from = b + (remove ? 2 : 1), *end = e - 1;
        const size_t length = (size_t)(end - from);
        // An export lists its keys in tree order: the parts of the path that
        // the previous section's path has too, spelled the same, name the
        // same keys (only a removal changes the tree's keys, and it forgets
        // them). The paths' first difference tells which parts those are.
        size_t shared = 0;
        const char *p = from;
        if (!remove && !previous_.empty()) {
            const size_t same = common(from, prevpath_, std::min(length, prevlength_));
            for (; shared < previous_.size(); ++shared) {
                const size_t partend = previous_[shared].end;
                if (partend > same || (partend == same && same < length && from[same] != '\\')) break;
                p = from + partend;
            }
        }
        parts_.assign(previous_.begin(), previous_.begin() + (std::ptrdiff_t)shared);
        // A path deeper than any key stops here: its parts are not needed.
        while (parts_.size() <= MaxKeyDepth + 1) {
            const char *slash = (const char *)std::memchr(p, '\\', (size_t)(end - p));
            if (!slash) slash = end;
            if (slash > p) parts_.push_back(Part{p, (size_t)(slash - p), (size_t)(slash - from), nullptr});
            if (slash == end) break;
            p = slash + 1;
        }
        if (parts_.empty()) return fail("section without a key path");
        if (parts_.size() > MaxKeyDepth + 1) return fail("key path too deep");
        current_ = nullptr;
        if (remove) {
            previous_.clear();
            RegKey *parent = top;
            for (size_t i = 0; parent && i + 1 < parts_.size(); ++i)
                parent = parent->subkey(parts_[i].name, parts_[i].length);
            if (parent) parent->removesubkey(std::string(parts_.back().name, parts_.back().length));
            return ERROR_SUCCESS;
        }
        RegKey *key = shared ? parts_[shared - 1].key : top;
        for (size_t i = shared; i < parts_.size(); ++i)
            key = parts_[i].key = key->addsubkey(parts_[i].name, parts_[i].length);
        parts_.swap(previous_);
        prevpath_ = from;
        prevlength_ = length;
        current_ = key;
        sectionstart_ = lines_.pos();
        listed_ = false;
        return ERROR_SUCCESS;
    }

    DWORD checkvalue(const char *b, const char *e) {
        if (!current_) return fail("value outside a key section");
        if (!listed_) {
            if (current_->section_ == RegKey::NoSection)
                current_->section_ = (uint32_t)sectionstart_;
            else
                current_->more().sections.push_back((uint32_t)sectionstart_);
            current_->text_ = text_;
            listed_ = true;
        }
        ValueLine line;
        return valueline(b, e, Want::Check, &line);
    }

    // A value line [b, e), blanks trimmed, starting with '"' or '@', and the
    // lines that continue it.
    DWORD valueline(const char *b, const char *e, Want want, ValueLine *out) {
        const size_t n = (size_t)(e - b);
        size_t pos = 0;
        if (b[0] == '@') {
            pos = 1;
        } else {
            if (!closequote(b, n, &pos, &out->escaped)) return fail("unterminated value name");
            out->name = b + 1;
            out->namelength = pos - 2;
        }
        while (pos < n && isblank(b[pos])) ++pos;
        if (pos >= n || b[pos] != '=') return fail("value without '='");
        ++pos;
        while (pos < n && isblank(b[pos])) ++pos;
        RegValue &v = out->value;
        if (want == Want::Whole) v.form.assign(b + pos, n - pos);
        if (pos < n && b[pos] == '"') {
            const size_t open = pos;
            bool escaped;
            if (!closequote(b, n, &pos, &escaped)) return fail("unterminated string data");
            if (!onlyblanks(b, n, pos)) return fail("text after string data");
            if (want >= Want::Data) {
                const size_t length = pos - open - 2;
                v.type = REG_SZ;
                v.data = utf8toansi(escaped ? unquote(b + open + 1, length) : std::string(b + open + 1, length));
                v.data += '\0';
            }
            return ERROR_SUCCESS;
        }
        if (pos < n && b[pos] == '-' && onlyblanks(b, n, pos + 1)) {
            out->remove = true;
            return ERROR_SUCCESS;
        }
        if (n - pos >= 6 && startsnocase(b + pos, "dword:", 6)) {
            pos += 6;
            uint32_t number;
            if (!hexnumber(b, n, &pos, &number) || !onlyblanks(b, n, pos)) return fail("bad dword data");
            if (want >= Want::Data) {
                v.type = REG_DWORD;
                v.data.assign(4, '\0');
                put32((uint8_t *)&v.data[0], number);
            }
            return ERROR_SUCCESS;
        }
        if (n - pos < 3 || !startsnocase(b + pos, "hex", 3)) return fail("unknown value type");
        pos += 3;
        uint32_t type = REG_BINARY;
        if (pos < n && b[pos] == '(') {
            ++pos;
            if (!hexnumber(b, n, &pos, &type) || pos >= n || b[pos] != ')') return fail("bad hex(N) type");
            ++pos;
        }
        if (pos >= n || b[pos] != ':') return fail("hex type without ':'");
        if (DWORD rc = hexbytes(b + pos + 1, e, want >= Want::Data ? &v.data : nullptr,
                                want == Want::Whole ? &v.form : nullptr))
            return rc;
        if (want >= Want::Data) {
            v.type = type;
            if (text_->v5 && isstringtype(type))
                v.data = utf16toansi((const uint8_t *)v.data.data(), v.data.size() / 2);
        }
        return ERROR_SUCCESS;
    }

    // Comma-separated bytes [b, e), continued on the next line after a final
    // '\'; the lines that continue them are added to *form. With data null
    // they are only checked.
    DWORD hexbytes(const char *b, const char *e, std::string *data, std::string *form) {
        for (;;) {
            trimright(b, &e);
            const bool more = e > b && e[-1] == '\\';
            if (more) --e;
            // k bytes take at least 2k - 1 characters.
            char *out = nullptr;
            if (data) {
                const size_t at = data->size();
                data->resize(at + (size_t)(e - b) / 2 + 1);
                out = &(*data)[at];
            }
            const DWORD rc = hexline(b, e, &out);
            if (data) data->resize((size_t)(out - data->data()));
            if (rc) return rc;
            if (!more) return ERROR_SUCCESS;
            if (!lines_.next(&b, &e)) return fail("file ends inside a continued value");
            if (form) {
                const char *end = e;
                trimright(b, &end);
                *form += '\n';
                form->append(b, end);
            }
        }
    }

    // The bytes of one line [b, e) of hex data, stored at *out and on when
    // *out is not null.
    DWORD hexline(const char *b, const char *e, char **out) {
        char *o = *out; // a local: stores through it cannot change it
        const DWORD rc = hexline(b, e, &o, o != nullptr);
        *out = o;
        return rc;
    }
    DWORD hexline(const char *b, const char *e, char **end, bool store) {
        const char *p = b;
        char *o = *end;
        for (;;) {
            // The usual "hh," goes in one step.
            if (store) {
                for (int hi, lo; e - p >= 3 && ((hi = hexdigit(p[0])) | (lo = hexdigit(p[1]))) >= 0 && p[2] == ',';
                     p += 3)
                    *o++ = (char)(hi << 4 | lo);
            } else {
                while (e - p >= 3 && (hexdigit(p[0]) | hexdigit(p[1])) >= 0 && p[2] == ',') p += 3;
            }
            while (p < e && isblank(*p)) ++p;
            if (p >= e) break;
            int v = hexdigit(*p);
            if (v < 0) return fail("bad hex byte");
            ++p;
            if (p < e && hexdigit(*p) >= 0) v = (v << 4) | hexdigit(*p++);
            if (store) *o++ = (char)v;
            while (p < e && isblank(*p)) ++p;
            if (p >= e) break;
            if (*p != ',') return fail("bad hex byte separator");
            ++p;
        }
        *end = o;
        return ERROR_SUCCESS;
    }
};

void RegKey::loadvalues() const {
    if (text_) RegFileParser::loadvalues(*this);
}

bool RegKey::readvalue(const char *name, size_t length, DWORD *type, std::string *data) const {
    if (text_) return RegFileParser::readvalue(*this, name, length, type, data);
    uint32_t hash = 0;
    const size_t i = findvalue(name, length, &hash);
    if (i == NotFound) return false;
    *type = values_[i].type;
    *data = values_[i].data;
    return true;
}

void RegKey::eachvalue(const std::function<void(const RegValue &)> &each) const {
    if (!text_) {
        for (const RegValue &v : values()) each(v);
        return;
    }
    RegKey scratch;
    scratch.text_ = text_;
    scratch.section_ = section_;
    if (more_) scratch.more().sections = more_->sections;
    for (const RegValue &v : scratch.values()) each(v);
}

namespace {

// ---------------------------------------------------------------- writing

// The file's bytes, encoded as they are appended; column() counts the
// characters of the current line.
class Writer {
public:
    explicit Writer(const RegFormat &format) : format_(format) {
        if (format_.encoding == RegEncoding::Utf16)
            out_ = "\xFF\xFE";
        else if (format_.encoding == RegEncoding::Utf8Bom)
            out_ = "\xEF\xBB\xBF";
        ascii(format_.version5 ? Header5 : Header4);
        eol();
        eol();
    }

    void ascii(char c) {
        out_ += c;
        if (format_.encoding == RegEncoding::Utf16) out_ += '\0';
        ++column_;
    }
    void ascii(const char *s) {
        while (*s) ascii(*s++);
    }
    // UTF-8 text without line ends.
    void text(const std::string &utf8) {
        for (size_t i = 0; i < utf8.size();) {
            if ((unsigned char)utf8[i] < 0x80) {
                ascii(utf8[i++]);
                continue;
            }
            uint32_t cp = getutf8(utf8, &i);
            ++column_;
            if (format_.encoding == RegEncoding::Ansi) {
                out_ += widetoansi(cp);
            } else if (format_.encoding != RegEncoding::Utf16) {
                pututf8(&out_, cp);
            } else if (cp < 0x10000) {
                unit(cp);
            } else {
                unit(0xD800 + ((cp - 0x10000) >> 10));
                unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
        }
    }
    void eol() {
        if (format_.crlf) ascii('\r');
        ascii('\n');
        column_ = 0;
    }
    size_t column() const { return column_; }
    bool version5() const { return format_.version5; }
    std::string &out() { return out_; }

private:
    void unit(uint32_t u) {
        out_ += (char)(u & 0xFF);
        out_ += (char)(u >> 8);
    }

    RegFormat format_;
    std::string out_;
    size_t column_ = 0;
};

void writehex(Writer *w, const std::string &data) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (w->column() > 76) {
            w->ascii('\\');
            w->eol();
            w->ascii("  ");
        }
        w->ascii(digits[(unsigned char)data[i] >> 4]);
        w->ascii(digits[(unsigned char)data[i] & 15]);
        if (i + 1 < data.size()) w->ascii(',');
    }
}

void writequoted(Writer *w, const std::string &utf8) {
    std::string escaped = "\"";
    for (char c : utf8) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    w->text(escaped + '"');
}

// REG_SZ data that the quoted form gives back unchanged: one line of text,
// terminated, with no other NUL.
bool plaintext(const RegValue &v) {
    return v.type == REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
           v.data.find_first_of(std::string("\0\r\n", 3)) == v.data.size() - 1;
}

void writevalue(Writer *w, const RegValue &v) {
    if (v.name.empty())
        w->ascii('@');
    else
        writequoted(w, v.name);
    w->ascii('=');
    if (!v.form.empty()) {
        size_t from = 0;
        for (size_t nl; (nl = v.form.find('\n', from)) != std::string::npos; from = nl + 1) {
            w->text(v.form.substr(from, nl - from));
            w->eol();
        }
        w->text(v.form.substr(from));
    } else if (plaintext(v)) {
        writequoted(w, ansitoutf8(v.data.substr(0, v.data.size() - 1)));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t number = 0;
        Bytes{(const uint8_t *)v.data.data(), v.data.size()}.u32(0, &number);
        char text[24];
        std::snprintf(text, sizeof text, "dword:%08x", (unsigned)number);
        w->ascii(text);
    } else {
        char prefix[20];
        if (v.type == REG_BINARY)
            std::snprintf(prefix, sizeof prefix, "hex:");
        else
            std::snprintf(prefix, sizeof prefix, "hex(%x):", (unsigned)v.type);
        w->ascii(prefix);
        if (w->version5() && isstringtype(v.type)) {
            std::string wide;
            wide.reserve(2 * v.data.size());
            for (char c : v.data) {
                uint16_t u = ansitowide((unsigned char)c);
                wide += (char)(u & 0xFF);
                wide += (char)(u >> 8);
            }
            writehex(w, wide);
        } else {
            writehex(w, v.data);
        }
    }
    w->eol();
}

// Writes key's section when it needs one, then its subkeys'. *path is the
// key's path; it is extended for each subkey and put back, so that the paths
// cost no more than the lines written.
void writekey(Writer *w, const RegKey &key, std::string *path) {
    bool section = false;
    auto sectionline = [&] {
        w->ascii('[');
        // "[-" starts a deletion: a root whose name starts with '-' is
        // written after a backslash, which the parser skips.
        if ((*path)[0] == '-') w->ascii('\\');
        w->text(*path);
        w->ascii(']');
        w->eol();
        section = true;
    };
    key.eachvalue([&](const RegValue &v) {
        if (!section) sectionline();
        writevalue(w, v);
    });
    if (!section && key.subkeys().empty()) sectionline();
    if (section) w->eol();
    for (const auto &sub : key.subkeys()) {
        size_t len = path->size();
        *path += '\\';
        *path += sub->name();
        writekey(w, *sub, path);
        path->resize(len);
    }
}

} // namespace

DWORD parseregfile(std::string bytes, RegKey *top, RegFileError *err, RegFormat *format) {
    RegFileError ignored;
    if (!err) err = &ignored;
    *err = RegFileError();
    RegFormat found;
    if (bytes.size() > MaxRegFile) {
        err->what = "file too large";
        return ERROR_REGISTRY_CORRUPT;
    }
    auto text = std::make_shared<RegText>();
    if (DWORD rc = decodefile(std::move(bytes), &text->text, &found, err)) return rc;
    if (!text->text.empty()) {
        if (DWORD rc = RegFileParser::parse(text, top, err, &found.version5)) return rc;
    }
    if (format) *format = found;
    return ERROR_SUCCESS;
}

std::string writeregfile(const RegKey &top, const RegFormat &format) {
    Writer w(format);
    std::string path;
    for (const auto &root : top.subkeys()) {
        path = root->name();
        writekey(&w, *root, &path);
    }
    return std::move(w.out());
}

} // namespace nt
