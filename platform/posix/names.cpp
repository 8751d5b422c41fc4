// names.cpp: GetComputerNameA and lstrcmpiA.
#include "platform/posix/names.h"

#include "platform/posix/common.h"
#include "platform/posix/network.h"

#include <string>
#include <utility>

namespace nt {

namespace {

// Every byte of code page 1252 from the lowest to the highest in the sort
// order; bytes in one string compare equal. Letters start with their plain
// upper- and lower-case form; the entries that follow until the next plain
// letter are its accented forms.
const char *const SymbolOrder[] = {
    "\x20", "\xA0", "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "!",    "\"",   "#",    "$",    "%",    "&",     "(",
    ")",    "*",    ",",    ".",    "/",    ":",    ";",    "?",    "@",    "[",    "\\",   "]",    "^\x88", "_",
    "`",    "{",    "|",    "}",    "~",    "\xA1", "\xA6", "\xA8", "\xAF", "\xB4", "\xB8", "\xBF", "\x98",  "\x91",
    "\x92", "\x82", "\x93", "\x94", "\x84", "\x8B", "\x9B", "\xA2", "\xA3", "\xA4", "\xA5", "\x80", "+",     "<",
    "=",    ">",    "\xB1", "\xAB", "\xBB", "\xD7", "\xF7", "\xA7", "\xA9", "\xAC", "\xAE", "\xB0", "\xB5",  "\xB6",
    "\xB7", "\x85", "\x86", "\x87", "\x95", "\x89", "\x81", "\x8D", "\x8F", "\x90", "\x9D", "0",    "\xBC",  "\xBD",
    "\xBE", "1",    "\xB9", "2",    "\xB2", "3",    "\xB3", "4",    "5",    "6",    "7",    "8",    "9",
};
const char *const LetterOrder[] = {
    "Aa",       "\xAA",     "\xC1\xE1", "\xC0\xE0", "\xC2\xE2", "\xC4\xE4", "\xC3\xE3", "\xC5\xE5", "Bb",
    "Cc",       "\xC7\xE7", "Dd",       "\xD0\xF0", "Ee",       "\xC9\xE9", "\xC8\xE8", "\xCA\xEA", "\xCB\xEB",
    "Ff",       "\x83",     "Gg",       "Hh",       "Ii",       "\xCD\xED", "\xCC\xEC", "\xCE\xEE", "\xCF\xEF",
    "Jj",       "Kk",       "Ll",       "Mm",       "Nn",       "\xD1\xF1", "Oo",       "\xBA",     "\xD3\xF3",
    "\xD2\xF2", "\xD4\xF4", "\xD6\xF6", "\xD5\xF5", "\xD8\xF8", "\x8C\x9C", "Pp",       "Qq",       "Rr",
    "Ss",       "\x8A\x9A", "Tt",       "\xDE\xFE", "\x99",     "Uu",       "\xDA\xFA", "\xD9\xF9", "\xDB\xFB",
    "\xDC\xFC", "Vv",       "Ww",       "Xx",       "Yy",       "\xDD\xFD", "\x9F\xFF", "Zz",       "\x8E\x9E",
};
// Weighed only when the rest is equal, in this order.
const char SpecialOrder[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x0E\x0F\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19"
                            "\x1A\x1B\x1C\x1D\x1E\x1F\x7F'-\x96\x97";
const unsigned char SoftHyphen = 0xAD;

struct Weights {
    std::pair<int, int> letter[256]; // primary, accent
    int special[256] = {};
};

const Weights &weights() {
    static const Weights w = [] {
        Weights t;
        int primary = 0;
        for (const char *entry : SymbolOrder) {
            ++primary;
            for (const char *p = entry; *p; ++p) t.letter[(unsigned char)*p] = {primary, 0};
        }
        int accent = 0;
        for (const char *entry : LetterOrder) {
            bool plain = (entry[0] >= 'A' && entry[0] <= 'Z');
            if (plain) ++primary;
            accent = plain ? 0 : accent + 1;
            for (const char *p = entry; *p; ++p) t.letter[(unsigned char)*p] = {primary, accent};
        }
        int rank = 0;
        for (const char *p = SpecialOrder; *p; ++p) t.special[(unsigned char)*p] = ++rank;
        return t;
    }();
    return w;
}

// Walks a string's letters in sort order: the sharp s and the ae ligature
// give two letters, the soft hyphen and the special characters none. Walking
// instead of building keys keeps comparisons free of heap memory (caches
// compare names for every record).
class LetterWalk {
public:
    explicit LetterWalk(const char *s) : s_((const unsigned char *)s) {}
    bool next(std::pair<int, int> *out) {
        const Weights &w = w_;
        if (pending_) {
            *out = w.letter[pending_];
            pending_ = 0;
            return true;
        }
        for (; *s_; ++s_) {
            unsigned char c = *s_;
            if (c == SoftHyphen || w.special[c]) continue;
            ++s_;
            if (c == 0xDF) { // sharp s: "ss"
                pending_ = 's';
                *out = w.letter[(unsigned char)'s'];
            } else if (c == 0xC6 || c == 0xE6) { // ae ligature: "ae"
                pending_ = 'e';
                *out = w.letter[(unsigned char)'a'];
            } else {
                *out = w.letter[c];
            }
            return true;
        }
        return false;
    }

private:
    const Weights &w_ = weights(); // taken once: a walk's steps are a few instructions each
    const unsigned char *s_;
    unsigned char pending_ = 0;
};

// Walks a string's special characters: where each stands among the letters,
// and which it is.
class SpecialWalk {
public:
    explicit SpecialWalk(const char *s) : s_((const unsigned char *)s) {}
    bool next(std::pair<size_t, int> *out) {
        const Weights &w = w_;
        for (; *s_; ++s_) {
            unsigned char c = *s_;
            if (c == SoftHyphen) continue;
            if (w.special[c]) {
                *out = {letters_, w.special[c]};
                ++s_;
                return true;
            }
            letters_ += (c == 0xDF || c == 0xC6 || c == 0xE6) ? 2 : 1;
        }
        return false;
    }

private:
    const Weights &w_ = weights();
    const unsigned char *s_;
    size_t letters_ = 0;
};

// Compares two strings at one level: the first difference decides, and a
// string that ends first sorts first.
template <class Walk, class Value, class Get> int comparelevel(const char *a, const char *b, Get get) {
    Walk x(a), y(b);
    Value vx, vy;
    for (;;) {
        bool hx = x.next(&vx), hy = y.next(&vy);
        if (!hx || !hy) return hx == hy ? 0 : hx ? 1 : -1;
        auto gx = get(vx), gy = get(vy);
        if (gx != gy) return gx < gy ? -1 : 1;
    }
}

} // namespace

} // namespace nt

/***********************************************************************
 * GetComputerNameA
 *
 *   lpBuffer [O] the local computer's name, upper case, with its NUL
 *   nSize    [IO] in: size of lpBuffer; out: the length without the NUL, or
 *                 on ERROR_BUFFER_OVERFLOW the size needed with the NUL
 * RETURNS TRUE. FALSE with ERROR_BUFFER_OVERFLOW (111) when the name and its
 * NUL do not fit (lpBuffer untouched), ERROR_INVALID_PARAMETER for null
 * arguments.
 */
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (!nSize) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::string name = nt::localname();
    if (*nSize <= name.size()) {
        *nSize = (DWORD)name.size() + 1;
        return nt::failwith(ERROR_BUFFER_OVERFLOW, FALSE);
    }
    if (!lpBuffer) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *nSize = (DWORD)name.size();
    return TRUE;
}

/***********************************************************************
 * lstrcmpiA
 *
 * Compares two strings without regard to case, in the locale's sort order.
 *   lpString1, lpString2 [I] the strings; NULL sorts before everything
 * RETURNS -1, 0 or 1.
 */
int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return lpString1 ? 1 : lpString2 ? -1 : 0;
    // Equal bytes are equal at every level; the caches' hits are mostly such.
    if (strcmp(lpString1, lpString2) == 0) return 0;
    using Letter = std::pair<int, int>;
    using Special = std::pair<size_t, int>;
    if (int r = nt::comparelevel<nt::LetterWalk, Letter>(lpString1, lpString2, [](const Letter &w) { return w.first; }))
        return r;
    if (int r =
            nt::comparelevel<nt::LetterWalk, Letter>(lpString1, lpString2, [](const Letter &w) { return w.second; }))
        return r;
    return nt::comparelevel<nt::SpecialWalk, Special>(lpString1, lpString2, [](const Special &v) { return v; });
}

/***********************************************************************
 * LCMapStringA
 *
 * Makes the sort key of a string for the comparison lstrcmpiA makes: the
 * keys of two strings, compared byte for byte (memcmp, up to the shorter
 * one's terminator), order them as lstrcmpiA does, and are equal exactly
 * when lstrcmpiA finds the strings equal. The key is the letters' primary
 * weights, their accent weights and the special characters with their
 * places, each level ended by the byte 1, the whole by a NUL.
 *   Locale     [I] LOCALE_USER_DEFAULT or LOCALE_SYSTEM_DEFAULT
 *   dwMapFlags [I] LCMAP_SORTKEY | NORM_IGNORECASE: the only mapping offered
 *   lpSrcStr   [I] the string
 *   cchSrc     [I] its length, or -1 when it ends with a NUL
 *   lpDestStr  [O] the key (bytes); may be NULL when cchDest is 0
 *   cchDest    [I] size of lpDestStr in bytes; 0 asks for the size needed
 * RETURNS the bytes of the key with its NUL (written, or needed for
 * cchDest 0). 0 on failure: ERROR_INSUFFICIENT_BUFFER (122) when the key
 * does not fit (lpDestStr untouched), ERROR_INVALID_FLAGS (1004) for other
 * flags, ERROR_INVALID_PARAMETER for a NULL or empty source or a negative
 * length other than -1.
 */
int LCMapStringA(LCID Locale, DWORD dwMapFlags, LPCSTR lpSrcStr, int cchSrc, LPSTR lpDestStr, int cchDest) {
    (void)Locale;
    if (!lpSrcStr || cchSrc == 0 || cchSrc < -1 || cchDest < 0 || (cchDest && !lpDestStr))
        return nt::failwith(ERROR_INVALID_PARAMETER, 0);
    if (dwMapFlags != (LCMAP_SORTKEY | NORM_IGNORECASE)) return nt::failwith(ERROR_INVALID_FLAGS, 0);
    // The walks read NUL-terminated text; a counted string stops at its count.
    std::string counted;
    const char *text = lpSrcStr;
    if (cchSrc >= 0) {
        counted.assign(lpSrcStr, (size_t)cchSrc);
        text = counted.c_str();
    }
    // A character gives at most two letters at each of two levels, or a
    // special character's five bytes.
    std::string key(5 * strlen(text) + 4, '\0');
    char *out = &key[0];
    std::pair<int, int> letter;
    for (nt::LetterWalk walk(text); walk.next(&letter);) *out++ = (char)(letter.first + 2);
    *out++ = '\x01';
    for (nt::LetterWalk walk(text); walk.next(&letter);) *out++ = (char)(letter.second + 2);
    *out++ = '\x01';
    std::pair<size_t, int> special;
    for (nt::SpecialWalk walk(text); walk.next(&special);) {
        // The place in four digits of base 254, each above 1, then the rank.
        size_t place = special.first;
        for (int i = 3; i >= 0; --i, place /= 254) out[i] = (char)(place % 254 + 2);
        out[4] = (char)(special.second + 2);
        out += 5;
    }
    *out++ = '\x01';
    key.resize((size_t)(out - key.data()));
    const int size = (int)key.size() + 1;
    if (cchDest == 0) return size;
    if (cchDest < size) return nt::failwith(ERROR_INSUFFICIENT_BUFFER, 0);
    memcpy(lpDestStr, key.c_str(), (size_t)size);
    return size;
}
