// formatmsg.cpp: FormatMessageA over the message tables of data-file modules.
//
// The emulation serves what the program asks for: messages of a module
// (FORMAT_MESSAGE_FROM_HMODULE), either with inserts ignored or with an
// argument array of char* entries, and a width field of 0 (line breaks kept)
// or 0xFF (line breaks become blanks, nothing is wrapped). Unicode texts are
// formatted as UTF-16 and each of their characters is written in code page
// 1252 with Windows' best fit; ANSI texts and insertion strings are 1252
// bytes already and are copied as they are.
//
// Under width 0xFF a CR LF, a lone CR and a lone LF each become one blank, so
// every message that ends in the usual CR LF comes back with a trailing
// blank. %0 ends the text, %n gives CR LF, %r CR, %t a tab (CR LF under a
// width). With inserts ignored every other "%X" is copied as it stands, "%%"
// included; with inserts, %1 to %99 take an argument entry (a null entry
// prints "(null)") and any other "%X" gives X. Inserted text is copied raw:
// it is never rescanned and its line breaks stay.
//
// An insert's "!format!" follows printf for strings (flags, width,
// precision). A numeric format (d, u, x, c, p, ...) prints the insertion
// string as text, with its width: a char* entry has no number to print, and
// Windows would print the pointer's address. A null entry's address is 0,
// though, so d, i, o, u, x and X print the number 0 as printf would (the
// program's unused entries are null). Floating formats print their
// letter, as Windows does.
//
// A "*" width or precision takes an entry as its number: the first entry an
// insert takes is its own, every further one (a second "*", or the value
// after a "*") is the entry after the highest one the message has used so
// far. A null entry is the number 0; any other is an address, which as a
// width makes the output too long and as a precision cuts nothing.
#include "platform/posix/formatmsg.h"

#include "platform/posix/common.h"
#include "platform/posix/modules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace nt {

namespace {

bool isdigitunit(uint16_t u) { return u >= '0' && u <= '9'; }

// Appends count copies of c; false when the output would reach the limit.
bool pad(std::string *out, size_t count, char c) {
    if (count >= FormatOutputLimit || out->size() + count >= FormatOutputLimit) return false;
    out->append(count, c);
    return true;
}

// Reads a decimal number at fmt[*i], capped just above the output limit.
size_t number(const std::string &fmt, size_t *i) {
    size_t n = 0;
    while (*i < fmt.size() && fmt[*i] >= '0' && fmt[*i] <= '9') {
        n = n * 10 + (size_t)(fmt[*i] - '0');
        if (n > FormatOutputLimit) n = FormatOutputLimit;
        ++*i;
    }
    return n;
}

// The argument array of the program has this many entries.
const size_t Entries = 99;

// Writes the insert numbered which (1-99) with its printf-style format (the
// text between the two "!"), taking its entries from args; *highest is the
// highest entry number the message has used. Returns 0 or ERROR_INVALID_PARAMETER.
DWORD putinsert(const std::string &fmt, const char *const *args, size_t which, size_t *highest, std::string *out) {
    bool own = true;
    auto take = [&](const char **entry) {
        size_t index = which - 1;
        if (own) {
            own = false;
            *highest = std::max(*highest, which);
        } else {
            index = (*highest)++;
        }
        if (index >= Entries) return false;
        *entry = args[index];
        return true;
    };
    // A "*" number: 0 for a null entry, else an address, beyond any limit.
    auto star = [](const char *entry) { return entry ? FormatOutputLimit : 0; };
    const char *arg;
    size_t i = 0;
    bool left = false;
    while (i < fmt.size() && fmt[i] && std::strchr("-+ #0", fmt[i])) {
        if (fmt[i] == '-') left = true;
        ++i;
    }
    std::string flags = fmt.substr(0, i);
    size_t width;
    if (i < fmt.size() && fmt[i] == '*') {
        if (!take(&arg)) return ERROR_INVALID_PARAMETER;
        width = star(arg);
        ++i;
    } else {
        width = number(fmt, &i);
    }
    bool hasprecision = false;
    size_t precision = 0;
    if (i < fmt.size() && fmt[i] == '.') {
        ++i;
        hasprecision = true;
        if (i < fmt.size() && fmt[i] == '*') {
            if (!take(&arg)) return ERROR_INVALID_PARAMETER;
            precision = star(arg);
            ++i;
        } else {
            precision = number(fmt, &i);
        }
    }
    if (!take(&arg)) return ERROR_INVALID_PARAMETER;
    // Only these letters begin a size prefix; the plain "s" of most inserts
    // skips the search.
    bool sized = i < fmt.size() && std::strchr("IhlwLqjzt", fmt[i]);
    for (const char *size : {"I64", "I32", "hh", "ll", "h", "l", "w", "I", "L", "q", "j", "z", "t"}) {
        if (!sized) break;
        size_t n = std::strlen(size);
        if (fmt.compare(i, n, size) == 0) {
            i += n;
            break;
        }
    }
    if (i >= fmt.size()) return ERROR_SUCCESS;
    char conversion = fmt[i++];
    std::string text;
    switch (conversion) {
    case 's':
    case 'S':
        text = arg ? arg : "(null)";
        if (hasprecision && precision < text.size()) text.resize(precision);
        break;
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        if (!arg) {
            std::string zero = "%" + flags;
            if (width) zero += std::to_string(width);
            if (hasprecision) zero += "." + std::to_string(precision);
            zero += conversion;
            std::vector<char> digits((size_t)std::snprintf(nullptr, 0, zero.c_str(), 0u) + 1);
            std::snprintf(digits.data(), digits.size(), zero.c_str(), 0u);
            text = digits.data();
            width = 0;
            break;
        }
        text = arg;
        break;
    case 'c':
    case 'C':
    case 'p': text = arg ? arg : "(null)"; break;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        width = 0;
        text = std::string(1, conversion);
        break;
    case '%':
        width = 0;
        text = "%";
        break;
    default: width = 0; break;
    }
    size_t fill = width > text.size() ? width - text.size() : 0;
    if (!left && !pad(out, fill, ' ')) return ERROR_INVALID_PARAMETER;
    out->append(text);
    if (left && !pad(out, fill, ' ')) return ERROR_INVALID_PARAMETER;
    out->append(fmt, i, std::string::npos);
    return out->size() >= FormatOutputLimit ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

} // namespace

namespace {

// Appends the run of plain units from units[i] on (up to the first "%", CR
// or LF, or the end) in code page 1252, converted through a block on the
// stack; returns the index after the run. With SSE2, eight units at a time
// while none of them ends the run or (in a Unicode text) lies above 0x7F.
size_t putrun(const uint16_t *units, size_t size, bool unicode, size_t i, std::string *out) {
    char block[256];
    size_t n = 0;
#ifdef __SSE2__
    const __m128i percent = _mm_set1_epi16('%'), cr = _mm_set1_epi16('\r'), lf = _mm_set1_epi16('\n'),
                  high = _mm_set1_epi16(unicode ? (short)0xFF80 : 0), zero = _mm_setzero_si128();
#endif
    for (;;) {
#ifdef __SSE2__
        while (size - i >= 8 && n <= sizeof block - 8) {
            const __m128i w = _mm_loadu_si128((const __m128i *)(units + i));
            const __m128i stops =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(w, percent), _mm_cmpeq_epi16(w, cr)), _mm_cmpeq_epi16(w, lf));
            const __m128i narrow = _mm_cmpeq_epi16(_mm_and_si128(w, high), zero);
            const unsigned special = (unsigned)_mm_movemask_epi8(_mm_andnot_si128(stops, narrow)) ^ 0xFFFFu;
            _mm_storel_epi64((__m128i *)(block + n), _mm_packus_epi16(w, w));
            const unsigned plain = special ? (unsigned)__builtin_ctz(special) / 2 : 8;
            n += plain;
            i += plain;
            if (plain < 8) break;
        }
#endif
        if (i == size) break;
        const uint16_t unit = units[i];
        if (unit == '%' || unit == '\r' || unit == '\n') break;
        if (n == sizeof block) {
            out->append(block, n);
            n = 0;
        }
        block[n++] = (char)(unit < 0x80 || !unicode ? (unsigned char)unit : tocp1252(unit));
        ++i;
    }
    out->append(block, n);
    return i;
}

} // namespace

DWORD formattext(const MessageText &text, DWORD dwFlags, const char *const *args, std::string *out) {
    const std::vector<uint16_t> &u = text.units;
    bool ignore = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    bool width = (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
    const char *linebreak = width ? " " : "\r\n";
    auto put = [&](uint16_t unit) {
        *out += (char)(unit < 0x80 || !text.unicode ? (unsigned char)unit : tocp1252(unit));
    };
    out->clear();
    size_t highest = 0;
    size_t i = 0;
    while (i < u.size()) {
        if (out->size() >= FormatOutputLimit) return ERROR_INVALID_PARAMETER;
        uint16_t c = u[i++];
        if (c == '\r') {
            if (i < u.size() && u[i] == '\n') ++i;
            *out += linebreak;
            continue;
        }
        if (c == '\n') {
            *out += linebreak;
            continue;
        }
        if (c != '%') {
            i = putrun(u.data(), u.size(), text.unicode, i - 1, out);
            continue;
        }
        if (i == u.size()) return ERROR_INVALID_PARAMETER;
        uint16_t x = u[i++];
        if (x == '0') break;
        if (x == 'n') {
            *out += "\r\n";
        } else if (x == 'r') {
            *out += "\r";
        } else if (x == 't') {
            *out += width ? "\r\n" : "\t";
        } else if (ignore) {
            *out += '%';
            put(x);
        } else if (x >= '1' && x <= '9') {
            size_t n = x - '0';
            if (i < u.size() && isdigitunit(u[i])) n = n * 10 + (u[i++] - '0');
            if (i >= u.size() || u[i] != '!') {
                // The plain insert, by far the most common: its own entry as
                // a string ("%1" is "%1!s!"; n is at most 99, the entries'
                // count).
                if (!args) return ERROR_INVALID_PARAMETER;
                highest = std::max(highest, n);
                out->append(args[n - 1] ? args[n - 1] : "(null)");
                continue;
            }
            std::string fmt = "s";
            if (i < u.size() && u[i] == '!') {
                size_t close = i + 1;
                while (close < u.size() && u[close] != '!') ++close;
                if (close == u.size()) return ERROR_INVALID_PARAMETER;
                fmt.clear();
                for (size_t k = i + 1; k < close; ++k) fmt += (char)(u[k] < 0x100 ? u[k] : '?');
                i = close + 1;
            }
            if (!args) return ERROR_INVALID_PARAMETER;
            DWORD rc = putinsert(fmt, args, n, &highest, out);
            if (rc) return rc;
        } else {
            put(x);
        }
    }
    return out->size() >= FormatOutputLimit ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

} // namespace nt

/***********************************************************************
 * FormatMessageA
 *
 * Formats a message of a module's message table. A null module would mean
 * the calling executable, which has no message table here:
 * ERROR_RESOURCE_DATA_NOT_FOUND.
 *   dwFlags      [I] FORMAT_MESSAGE_FROM_HMODULE, with FORMAT_MESSAGE_IGNORE_INSERTS
 *                    or FORMAT_MESSAGE_ARGUMENT_ARRAY, and a width of 0 or 0xFF
 *   lpSource     [I] the module (LoadLibraryExA)
 *   dwMessageId  [I] message id, all 32 bits
 *   dwLanguageId [I] language request, low 16 bits (1024: the user's default)
 *   lpBuffer     [O] receives the text and a terminator
 *   nSize        [I] size of lpBuffer in bytes, at most 65,535
 *   Arguments    [I] with FORMAT_MESSAGE_ARGUMENT_ARRAY: an array of char*
 * RETURNS the number of characters written without the terminator, or 0 with
 * the last error; lpBuffer is then untouched. Errors: the message-table errors
 * (1812, 1813, 1814, 1815, 317); ERROR_NO_WORK_DONE (235) for an empty result;
 * ERROR_INVALID_PARAMETER (87) for flags the emulation does not serve, a null
 * buffer, an nSize above 65,535, a malformed text or an output of 32,767
 * characters or more; ERROR_INSUFFICIENT_BUFFER (122) when the text and its
 * terminator do not fit nSize; ERROR_INVALID_HANDLE (6) for a handle that is
 * not a loaded module.
 */
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list *Arguments) {
    const DWORD served = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                         FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    bool inserts = !(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS);
    if ((dwFlags & ~served) || !(dwFlags & FORMAT_MESSAGE_FROM_HMODULE) || (width != 0 && width != 0xFF) ||
        (inserts && !(dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) || !lpBuffer || nSize > 0xFFFF)
        return nt::failwith(ERROR_INVALID_PARAMETER, (DWORD)0);
    if (!lpSource) return nt::failwith(ERROR_RESOURCE_DATA_NOT_FOUND, (DWORD)0);
    // Kept from call to call, so that a message costs no heap memory once
    // they have grown.
    static thread_local nt::MessageText scratch;
    static thread_local std::string out;
    const nt::MessageText *text = nullptr;
    DWORD rc = nt::modulemessage((HMODULE)lpSource, dwMessageId, (WORD)dwLanguageId, &scratch, &text);
    if (rc) return nt::failwith(rc, (DWORD)0);
    const char *const *args = inserts ? reinterpret_cast<const char *const *>(Arguments) : nullptr;
    rc = nt::formattext(*text, dwFlags, args, &out);
    if (rc) return nt::failwith(rc, (DWORD)0);
    if (out.empty()) return nt::failwith(ERROR_NO_WORK_DONE, (DWORD)0);
    if (out.size() + 1 > nSize) return nt::failwith(ERROR_INSUFFICIENT_BUFFER, (DWORD)0);
    std::memcpy(lpBuffer, out.c_str(), out.size() + 1);
    return (DWORD)out.size();
}
