// writerec.cpp: one event record into one output line.
//
// The columns of a line, FieldSeparator between each two: log type, date and
// time, source, event id, type, category, user, computer, the description in
// exactly FragmentCount fields, then the optional data and record-number
// columns. For one set of settings every line has the same number of fields:
// separators and line breaks inside the text columns are replaced, and the
// description is always padded to FragmentCount pieces, so the file loads into
// one database table. The text columns (source, category, user, computer,
// description) come from the log, its message files and the account lookup,
// all of which another machine may have written; they are all cleaned of
// control characters the same way, so no byte of theirs can act as a
// separator, line end, quote or null marker of a loader.
//
// Each line is written with one WriteFile, so it is complete in the file as
// soon as writerec returns. The working areas are fixed-size and static: no
// heap memory is taken per record. The record is used in place in the read
// buffer, and its source and computer names are cut by writing terminators
// into it; the cut source name is also the name its message files are looked
// up under.
#include "output/writerec.h"

#include "config/options.h"
#include "config/settings.h"
#include "console/console.h"
#include "lookup/accounts.h"
#include "output/expand.h"
#include "platform/localtime.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

const size_t SourceMax = 100;            // longest source name written
const size_t ComputerMax = 64;           // longest computer name written
const size_t UserMax = 64;               // longest user text written
const size_t LineSize = LongestLine + 1; // the line area: at most 128,999 characters with CR LF
// Room after the line and description areas: the cleaning of a short text
// (cleancopy) may store a whole block of 16 bytes, of which only the text's
// own count.
const size_t BlockSlack = 16;

const char FallbackPrefix[] = "Unable to format message. Insertion strings: ";

char typetext[32];                              // EventType in decimal
char datetext[32];                              // the formatted date, at most 31 characters
size_t datelen;                                 // its length
char categorytext[CategoryTextSize];            // "None", EventCategory in decimal, or the category text
char description[DescriptionSize + BlockSlack]; // at most 64,019 characters
char line[LineSize + BlockSlack];

// The names of the event types; any other type keeps its number. Each name
// lies in 16 bytes, so that it is copied as one block (putshort).
const struct {
    WORD type;
    char name[16];
} TypeNames[] = {
    {EVENTLOG_ERROR_TYPE, "Error"},
    {EVENTLOG_WARNING_TYPE, "Warning"},
    {EVENTLOG_INFORMATION_TYPE, "Information"},
    {EVENTLOG_AUDIT_SUCCESS, "Success"},
    {EVENTLOG_AUDIT_FAILURE, "Failure"},
};

// The line is built forwards from its start, each piece written at the
// position the one before it ended (put... functions take that position and
// return the next one). Before a line is built, the sum of its pieces at
// their longest is checked against the area: a line that could reach the
// area's size is an internal error and nothing of it is written.

char *put(char *at, const char *text, size_t n) {
    memcpy(at, text, n);
    return at + n;
}

// The same for a text that is mostly short: one of at most 16 characters,
// with 16 bytes to read from its start before readable, is copied as a
// block of 16 (the line area has BlockSlack bytes of room for it, and the
// type and category areas, which take numbers, have 32 and 100 bytes).
char *putshort(char *at, const char *text, size_t n, const char *readable) {
    if (n <= 16 && readable - text >= 16) {
        memcpy(at, text, 16);
        return at + n;
    }
    return put(at, text, n);
}

// strnlen(text, most), for a text that is mostly short: one whose NUL lies
// in the 16 bytes from its start, with those bytes before readable, takes
// one compare.
size_t textlength(const char *text, size_t most, const char *readable) {
#ifdef __SSE2__
    if (readable - text >= 16) {
        const __m128i block = _mm_loadu_si128((const __m128i *)text);
        const unsigned nuls = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128()));
        if (nuls) {
            const size_t n = (size_t)__builtin_ctz(nuls);
            return n < most ? n : most;
        }
    }
#else
    (void)readable;
#endif
    return strnlen(text, most);
}

// The two digits of every number below 100.
const struct TwoDigits {
    char pairs[200];
    TwoDigits() {
        for (int i = 0; i < 100; ++i) {
            pairs[2 * i] = (char)('0' + i / 10);
            pairs[2 * i + 1] = (char)('0' + i % 10);
        }
    }
} Digits;

// v in decimal, as "%lu" would (at most 20 digits, built to end at 20 of
// the 40 bytes of text, so that putshort may take 16 from where they start).
char *putdecimal(char *at, unsigned long v) {
    char text[40];
    char *end = text + 20, *from = end;
    for (; v >= 100; v /= 100) from = (char *)memcpy(from - 2, Digits.pairs + 2 * (v % 100), 2);
    if (v >= 10)
        from = (char *)memcpy(from - 2, Digits.pairs + 2 * v, 2);
    else
        *--from = (char)('0' + v);
    return putshort(at, from, (size_t)(end - from), text + sizeof text);
}

// v as "%.2d" would: at least two digits.
char *puttwodigits(char *at, int v) {
    if (v >= 0 && v < 100) return put(at, Digits.pairs + 2 * v, 2);
    char text[16];
    int n = snprintf(text, sizeof text, "%.2d", v);
    return put(at, text, (size_t)n);
}

// " hh:mm:ss", each field as puttwodigits writes it.
char *puttime(char *at, int hour, int minute, int second) {
    *at++ = ' ';
    at = puttwodigits(at, hour);
    *at++ = ':';
    at = puttwodigits(at, minute);
    *at++ = ':';
    return puttwodigits(at, second);
}
// The longest puttime writes: three numbers of at most 11 characters.
const size_t TimeMax = 3 + 3 * 11;

// What each byte becomes: a table of 256 bytes, and for cleaning many bytes
// at a time the bytes from 32 up that it changes (below 32 every byte is
// looked at). With more than four such bytes (which the rules never make)
// every byte goes through the table one by one.
struct Cleaner {
    char table[256];
    unsigned char others[4]; // repeated to fill; 0, a byte below 32, when there are none
    bool blocks;             // others holds every byte from 32 up that the table changes
#ifdef __SSE2__
    __m128i low, other[4]; // 31 and the others, in every byte
#endif
};

// The cleaning rules (first matching rule wins) for the separators in force,
// rebuilt when those change: text for the text columns; strings for the
// fallback description, built straight into its cleaned form from the
// record's strings, where a StringSeparator inside a string becomes a blank
// before it is cleaned and the NUL after a string becomes the (cleaned)
// separator; data for the char data dump; and the prefix, kept cleaned.
struct CleanTables {
    char key[5] = {0, 0, 0, 0, 0}; // FieldSeparator, ReplaceFieldSeparator, ReplaceCR, ReplaceLF, StringSeparator
    bool built = false;
    Cleaner text;
    Cleaner strings;
    char data[256];
    char prefix[sizeof FallbackPrefix];
};
CleanTables clean;

// Fills c's others, and their constants, from its table.
void findothers(Cleaner *c) {
    size_t n = 0;
    c->blocks = true;
    for (int i = 32; i < 256; ++i) {
        if (c->table[i] == (char)i) continue;
        if (n == sizeof c->others) c->blocks = false;
        if (n < sizeof c->others) c->others[n++] = (unsigned char)i;
    }
    for (size_t k = n; k < sizeof c->others; ++k) c->others[k] = n ? c->others[0] : 0;
#ifdef __SSE2__
    c->low = _mm_set1_epi8(31);
    for (size_t k = 0; k < sizeof c->others; ++k) c->other[k] = _mm_set1_epi8((char)c->others[k]);
#endif
}

const CleanTables &cleantables() {
    const FormatSettings &s = Settings;
    const char key[5] = {s.FieldSeparator, s.ReplaceFieldSeparator, s.ReplaceCR, s.ReplaceLF, s.StringSeparator};
    if (clean.built && memcmp(clean.key, key, sizeof key) == 0) return clean;
    memcpy(clean.key, key, sizeof key);
    const unsigned char fieldsep = (unsigned char)s.FieldSeparator, cr = (unsigned char)s.ReplaceCR,
                        lf = (unsigned char)s.ReplaceLF;
    char *text = clean.text.table;
    for (int i = 0; i < 256; ++i) {
        const unsigned char c = (unsigned char)i;
        char t = (char)c, data = (char)c;
        if (c == fieldsep)
            t = s.ReplaceFieldSeparator;
        else if (c == '\r')
            t = s.ReplaceCR;
        else if (c == '\n')
            t = s.ReplaceLF;
        else if (c == cr || c == lf || (c < 32 && c != '\t'))
            t = ' ';
        if (c < 32 || c >= 128)
            data = '.';
        else if (c == fieldsep)
            data = s.ReplaceFieldSeparator;
        else if (c == cr || c == lf)
            data = ' ';
        text[i] = t;
        clean.data[i] = data;
    }
    char *strings = clean.strings.table;
    memcpy(strings, text, 256);
    strings[(unsigned char)s.StringSeparator] = text[(unsigned char)' '];
    strings[0] = text[(unsigned char)s.StringSeparator];
    findothers(&clean.text);
    findothers(&clean.strings);
    for (size_t i = 0; i < sizeof FallbackPrefix; ++i) clean.prefix[i] = text[(unsigned char)FallbackPrefix[i]];
    clean.built = true;
    return clean;
}

#ifdef __SSE2__
// The bytes of b that c may change, a bit each: those below 32 and c's others.
inline unsigned specials(const Cleaner &c, __m128i b) {
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(b, c.low), b);
    const __m128i others = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, c.other[0]), _mm_cmpeq_epi8(b, c.other[1])),
                                        _mm_or_si128(_mm_cmpeq_epi8(b, c.other[2]), _mm_cmpeq_epi8(b, c.other[3])));
    return (unsigned)_mm_movemask_epi8(_mm_or_si128(low, others));
}
#endif

// Cleans the n bytes at from into to (the same place, or one that does not
// overlap them). readable is the end of the memory from lies in: a text
// shorter than 16 bytes is read as a whole block when that block lies
// before readable, and to then takes the whole block (the line and
// description areas have BlockSlack bytes of room for it). Many bytes at a
// time where the processor has SSE2: a block of 16 is copied whole and only
// the bytes the table may change go through it.
void cleancopy(const Cleaner &c, char *to, const char *from, size_t n, const char *readable) {
    size_t i = 0;
#ifdef __SSE2__
    if (c.blocks) {
        // Copies the block at k and cleans the bytes of mask in it.
        auto block = [&](size_t k, unsigned mask) {
            const __m128i b = _mm_loadu_si128((const __m128i *)(from + k));
            _mm_storeu_si128((__m128i *)(to + k), b);
            for (mask &= specials(c, b); mask; mask &= mask - 1) {
                const unsigned at = (unsigned)__builtin_ctz(mask);
                to[k + at] = c.table[(unsigned char)from[k + at]];
            }
        };
        for (; i + 16 <= n; i += 16) block(i, 0xFFFF);
        if (i == n) return;
        if (readable >= from && (size_t)(readable - from) >= i + 16) {
            block(i, (1u << (n - i)) - 1);
            return;
        }
        // The last 16 bytes, read and cleaned again from the text (never in
        // place, where the bytes already cleaned would be cleaned twice).
        if (n >= 16 && to != from) {
            block(n - 16, 0xFFFF);
            return;
        }
    }
#else
    (void)readable;
#endif
    for (; i < n; ++i) to[i] = c.table[(unsigned char)from[i]];
}

// A name column (source, category, user, computer) of n characters,
// preceded by FieldSeparator, cleaned as the description is
// (cleandescription); readable as for cleancopy.
char *putcolumn(char *at, const Cleaner &c, const char *text, size_t n, const char *readable) {
    *at++ = Settings.FieldSeparator;
    cleancopy(c, at, text, n, readable);
    return at + n;
}

// The date column's text for the calendar date of lt, formatted by the
// platform with DateFormat or the locale's default short date. A date that
// cannot be formatted is reported and leaves the date text empty.
//
// Records come in time order, so most share the date of the one before: the
// date text stays as it was for the same date and picture.
void formatdate(const struct tm *lt, DWORD ordinal) {
    static SYSTEMTIME lastdate;
    static char lastpicture[sizeof Settings.DateFormat];
    static bool lastset, lastvalid;
    if (!lt) {
        lastvalid = false;
        datetext[0] = '\0';
        datelen = 0;
        return;
    }
    SYSTEMTIME date = {};
    date.wYear = (WORD)(lt->tm_year + 1900);
    date.wMonth = (WORD)(lt->tm_mon + 1);
    date.wDay = (WORD)lt->tm_mday;
    const FormatSettings &s = Settings;
    if (lastvalid && date.wYear == lastdate.wYear && date.wMonth == lastdate.wMonth && date.wDay == lastdate.wDay &&
        s.DateFormatSet == lastset && (!lastset || strcmp(s.DateFormat, lastpicture) == 0))
        return;
    lastvalid = false;
    datelen = 0;
    const char *picture = s.DateFormatSet ? s.DateFormat : nullptr;
    if (!GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &date, picture, datetext, (int)sizeof datetext)) {
        msgout("==>GetDateFormat rc=%lu rec=%lu\n", (unsigned long)GetLastError(), (unsigned long)ordinal);
        datetext[0] = '\0';
        datetext[sizeof datetext - 1] = '\0';
        return;
    }
    datetext[sizeof datetext - 1] = '\0';
    datelen = strlen(datetext);
    lastdate = date;
    lastset = s.DateFormatSet;
    if (lastset) memcpy(lastpicture, s.DateFormat, sizeof lastpicture);
    lastvalid = true;
}

// The strings walk of the fallback description: the n bytes at from
// (avail bytes lie there before the record's end) into to through c, which
// turns a NUL into the separator, up to the NUL that ends the last of
// strings (> 0) strings. A NUL that is the record's last byte ends a string
// and adds no separator. Returns the count of bytes written.
size_t cleanstrings(const Cleaner &c, char *to, const char *from, size_t n, size_t avail, unsigned strings) {
    size_t i = 0;
#ifdef __SSE2__
    if (c.blocks) {
        // Copies the block at k and cleans the bytes the table may change,
        // counting the NULs from fresh on (those before were counted). The
        // position of the NUL that ends the last string, or n.
        auto block = [&](size_t k, size_t fresh) {
            const __m128i b = _mm_loadu_si128((const __m128i *)(from + k));
            _mm_storeu_si128((__m128i *)(to + k), b);
            for (unsigned mask = specials(c, b); mask; mask &= mask - 1) {
                const size_t at = k + (unsigned)__builtin_ctz(mask);
                const unsigned char u = (unsigned char)from[at];
                if (u == 0 && at >= fresh && --strings == 0) return at;
                to[at] = c.table[u];
            }
            return n;
        };
        for (; i + 16 <= n; i += 16)
            if (size_t end = block(i, i); end != n) return end;
        // The last 16 bytes: those before i again from the text.
        if (i < n && n >= 16) {
            if (size_t end = block(n - 16, i); end != n) return end;
            i = n;
        }
    }
#endif
    for (; i < n; ++i) {
        const unsigned char u = (unsigned char)from[i];
        if (u == 0 && --strings == 0) return i;
        to[i] = c.table[u];
    }
    return n == avail && n > 0 && from[n - 1] == 0 ? n - 1 : n;
}

// The fallback description at to, cleaned (cleandescription) as it is
// built: the insertion strings joined by StringSeparator (a StringSeparator
// inside a string becomes a blank), after the prefix when formatting is on.
// Strings are read only within the record. Building stops at limit
// characters (at most 64,019): what lies beyond is cut off by MaxMessageLen
// anyway. Returns the length. The strings follow each other, each ended by
// its NUL, so the joined strings are the record's bytes from the first
// string up to the NUL that ends the last one, each through the strings
// table.
size_t fallbackdescription(char *to, const EVENTLOGRECORD *rec, const CleanTables &tables, size_t limit) {
    const FormatSettings &s = Settings;
    if (limit > DescriptionSize - 1) internalerror("writerec", 2);
    size_t len = 0;
    if (s.Format) {
        len = sizeof FallbackPrefix - 1 < limit ? sizeof FallbackPrefix - 1 : limit;
        memcpy(to, tables.prefix, len);
    }
    if (rec->NumStrings && rec->StringOffset < rec->Length) {
        const size_t avail = rec->Length - rec->StringOffset, room = limit - len;
        len += cleanstrings(tables.strings, to + len, (const char *)rec + rec->StringOffset,
                            avail < room ? avail : room, avail, rec->NumStrings);
    }
    return len;
}

// Cleans the description in place: FieldSeparator, CR and LF become their
// replacements, and a ReplaceCR or ReplaceLF already in the text becomes a
// blank, so a reader can tell former line breaks from ordinary text. Other
// control characters except the tab become blanks: loaders give some of them
// a meaning (the bytes 1 and 2 are the quote and null marker of the
// PostgreSQL recipe), and in a text they are never more than noise.
void cleandescription(const Cleaner &c, size_t len) {
    cleancopy(c, description, description, len, description + sizeof description);
}

// Splits the description of length len in place into pieces of MaxFragmentLen
// characters with FieldSeparator between them, then pads it with separators
// to exactly FragmentCount fields. Working from the end lets the text grow
// inside its own area. Returns the new length.
size_t splitfragments(size_t len) {
    const FormatSettings &s = Settings;
    const size_t frag = (size_t)s.MaxFragmentLen;
    const size_t seps = (size_t)(s.FragmentCount - 1);
    if (len + seps >= DescriptionSize) internalerror("writerec", 3);
    size_t inserted = 0;
    if (len > frag) {
        for (size_t i = len - 1; i >= frag; --i) {
            size_t to = i + i / frag;
            description[to] = description[i];
            if (i % frag == 0) description[to - 1] = s.FieldSeparator;
        }
        inserted = (len - 1) / frag;
    }
    len += inserted;
    for (size_t k = inserted; k < seps; ++k) description[len++] = s.FieldSeparator;
    description[len] = '\0';
    return len;
}

// Appends the data column: the record's data bytes as hexadecimal digits or
// as characters, cut to fit MaxFragmentLen - 1 characters. Data is read only
// within the record.
char *putdata(char *at, const EVENTLOGRECORD *rec, DWORD ordinal, const CleanTables &tables) {
    const FormatSettings &s = Settings;
    unsigned long long bytes = rec->DataLength;
    if (rec->DataOffset >= rec->Length)
        bytes = 0;
    else if (bytes > rec->Length - rec->DataOffset)
        bytes = rec->Length - rec->DataOffset;
    unsigned long long wanted =
        (s.DumpData == DumpHex ? 2 * (unsigned long long)rec->DataLength : (unsigned long long)rec->DataLength) + 1;
    if (wanted > (unsigned long long)s.MaxFragmentLen) {
        msgout("==>truncating data, rec=%lu\n", (unsigned long)ordinal);
        wanted = (unsigned long long)s.MaxFragmentLen;
    }
    *at++ = s.FieldSeparator;
    const unsigned char *data = (const unsigned char *)rec + (bytes ? rec->DataOffset : 0);
    if (s.DumpData == DumpHex) {
        static const char digits[] = "0123456789ABCDEF";
        size_t n = (size_t)((wanted - 1) / 2);
        if (n > bytes) n = (size_t)bytes;
        for (size_t i = 0; i < n; ++i) {
            at[2 * i] = digits[data[i] >> 4];
            at[2 * i + 1] = digits[data[i] & 15];
        }
        return at + 2 * n;
    }
    size_t n = (size_t)(wanted - 1);
    if (n > bytes) n = (size_t)bytes;
    const char *table = tables.data;
    for (size_t i = 0; i < n; ++i) at[i] = table[data[i]];
    return at + n;
}

} // namespace

void writerec(HANDLE outfile, DWORD ordinal, EVENTLOGRECORD *rec) {
    const FormatSettings &s = Settings;

    // The time the record was written, in the local time of this computer.
    // A time the conversion cannot represent gives an empty date and 00:00:00.
    struct tm local;
    const struct tm *lt = localtimeof((time_t)rec->TimeWritten, &local);
    formatdate(lt, ordinal);
    int hour = lt ? lt->tm_hour : 0, minute = lt ? lt->tm_min : 0, second = lt ? lt->tm_sec : 0;

    // The computer name follows the source name; both are cut in place.
    char *source = (char *)rec + sizeof(EVENTLOGRECORD);
    const char *recend = (const char *)rec + rec->Length;
    size_t sourcelen = textlength(source, (size_t)-1, recend);
    char *computer = source + sourcelen + 1;
    if (sourcelen > SourceMax) source[sourcelen = SourceMax] = '\0';
    size_t computerlen = textlength(computer, ComputerMax + 1, recend);
    if (computerlen > ComputerMax) computer[computerlen = ComputerMax] = '\0';

    // The user column: empty for a record without a SID, and for one whose
    // SID does not lie wholly inside the record or is malformed.
    const char *user = recorduser(rec);
    const size_t userlen = strlen(user);
    if (userlen > UserMax) internalerror("writerec", 1);

    const char *type = typetext, *typeend = typetext + sizeof typetext;
    size_t typelen = (size_t)(putdecimal(typetext, rec->EventType) - typetext), categorylen = 4;
    if (rec->EventCategory == 0)
        memcpy(categorytext, "None", 5);
    else
        categorylen = (size_t)(putdecimal(categorytext, rec->EventCategory) - categorytext);
    categorytext[categorylen] = '\0';

    // The description: the formatted message, cleaned, or else the fallback,
    // built cleaned; either cut to MaxMessageLen.
    const CleanTables &tables = cleantables();
    const size_t maxlen = (size_t)s.MaxMessageLen;
    bool formatted = false;
    if (s.Format) {
        const char *name = nullptr;
        for (const auto &t : TypeNames)
            if (t.type == rec->EventType) name = t.name;
        if (name) {
            type = name;
            typelen = strlen(name);
            typeend = name + sizeof TypeNames[0].name;
        } else {
            msgout("==>invalid type, rec=%lu\n", (unsigned long)ordinal);
        }
        char *arguments[ArgumentCount];
        if (rec->EventCategory != 0) {
            expandcategory(source, rec->EventCategory, categorytext);
            categorylen = strlen(categorytext);
        }
        formatted = expanddescription(source, rec, ordinal, arguments, description);
    }
    // With one description field (FragmentCount 1, so MaxFragmentLen is at
    // least MaxMessageLen) the description is cleaned or built straight into
    // the line; otherwise in its own area, where it is split into fields.
    const size_t limit = maxlen < DescriptionSize - 1 ? maxlen : DescriptionSize - 1;
    const bool onefield = s.FragmentCount == 1;
    size_t desclen = 0;
    if (formatted) {
        desclen = strlen(description);
        if (desclen > maxlen) desclen = maxlen;
        if (!onefield) cleandescription(tables.text, desclen);
    } else if (!onefield) {
        desclen = fallbackdescription(description, rec, tables, limit);
    }
    if (!onefield) desclen = splitfragments(desclen);

    // The line: after the log type code, the pieces at their longest are
    // checked first (numbers of 20 digits, the data column of MaxFragmentLen
    // - 1 characters).
    char *at = line;
    // The log type codes are three letters: one copy of four bytes takes one
    // with its NUL, which the separator then covers.
    const char *code = Options.LogTypeCode;
    if (code[0] && code[1] && code[2] && !code[3]) {
        memcpy(at, code, 4);
        at += 3;
    } else {
        for (; *code; ++code) *at++ = *code;
    }
    const size_t longest = (size_t)(at - line) + 1 + datelen + TimeMax + 1 + sourcelen + 1 + 20 + 1 + typelen + 1 +
                           categorylen + 1 + userlen + 1 + computerlen + 1 +
                           (onefield && !formatted ? limit : desclen) +
                           (s.DumpData != DumpNone ? (size_t)s.MaxFragmentLen : 0) + (s.DumpRecnum ? 1 + 20 : 0) + 2;
    if (longest >= LineSize) internalerror("writerec", 4);
    *at++ = s.FieldSeparator;
    at = putshort(at, datetext, datelen, datetext + sizeof datetext);
    at = puttime(at, hour, minute, second);
    at = putcolumn(at, tables.text, source, sourcelen, recend);
    *at++ = s.FieldSeparator;
    at = putdecimal(at, (unsigned long)(rec->EventID & 0xFFFF));
    *at++ = s.FieldSeparator;
    at = putshort(at, type, typelen, typeend);
    at = putcolumn(at, tables.text, categorytext, categorylen, categorytext + sizeof categorytext);
    at = putcolumn(at, tables.text, user, userlen, user + userlen + 1);
    at = putcolumn(at, tables.text, computer, computerlen, recend);
    *at++ = s.FieldSeparator;
    if (!onefield) {
        at = put(at, description, desclen);
    } else if (formatted) {
        cleancopy(tables.text, at, description, desclen, description + sizeof description);
        at += desclen;
    } else {
        at += fallbackdescription(at, rec, tables, limit);
    }
    if (s.DumpData != DumpNone) at = putdata(at, rec, ordinal, tables);
    if (s.DumpRecnum) {
        *at++ = s.FieldSeparator;
        at = putdecimal(at, (unsigned long)rec->RecordNumber);
    }
    *at++ = '\r';
    *at++ = '\n';
    const size_t linelen = (size_t)(at - line);

    DWORD done = 0;
    if (!WriteFile(outfile, line, (DWORD)linelen, &done, nullptr)) {
        msgout("==>WriteFile rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
}
