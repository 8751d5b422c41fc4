// expand.cpp: category and description texts from the message files.
//
// Each lookup follows one pattern: take the source's cache entry for the
// kind of message file; if the id already failed there, do nothing; else
// offer the id to each loaded module in turn (the file named last in the
// registry first) and stop at the first text; when none gives it, the entry
// remembers the id and reports it with the error of the last attempt. A
// source without a loaded module reports ERROR_MOD_NOT_FOUND, having made no
// attempt.
//
// Insertion strings with a "%" may hold parameter references ("%%1234"),
// which convert replaces by parameter message texts before the event
// message is formatted. Its results live in 99 process-wide slots, one per
// insertion-string index, so no heap memory is taken per record.
#include "output/expand.h"

#include "console/console.h"
#include "lookup/evtsource.h"

#include <cstring>

namespace {

const DWORD TextFlags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const DWORD InsertFlags = FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const size_t ParameterTextSize = 64000;
const size_t ConvertMax = ConvertSlotSize - 1;

char ConvertSlots[ArgumentCount][ConvertSlotSize];

// Formats id of the entry's modules into buffer; reports and remembers the
// id when no module gives it. False when there is no text.
bool formatfrom(CEvtSource *entry, DWORD id, DWORD flags, char *buffer, DWORD size, char **args) {
    if (entry->IsFailed(id)) return false;
    DWORD rc = ERROR_MOD_NOT_FOUND;
    ListCursor cursor = nullptr;
    while (HMODULE module = entry->NextModule(cursor)) {
        if (FormatMessageA(flags, module, id, LANG_USER_DEFAULT, buffer, size, (va_list *)args)) return true;
        rc = GetLastError();
    }
    entry->AddFailed(id, rc);
    return false;
}

} // namespace

void expandcategory(const char *source, WORD category, char *categorytext) {
    CEvtSource *entry = CEvtSource::Find(source, MessageKind::Category);
    formatfrom(entry, category, TextFlags, categorytext, CategoryTextSize, nullptr);
}

bool expanddescription(const char *source, const EVENTLOGRECORD *rec, DWORD ordinal, char **args, char *description) {
    if (rec->NumStrings > ArgumentCount) {
        msgout("==>too many parameter strings, num=%hu, rec=%lu\n", (unsigned short)rec->NumStrings,
               (unsigned long)ordinal);
        return false;
    }
    // The strings are used in place; one that does not end inside the record
    // would lead the formatter out of it, so such a record keeps its fallback.
    const char *base = (const char *)rec;
    size_t offset = rec->StringOffset;
    for (size_t i = 0; i < rec->NumStrings; ++i) {
        if (offset >= rec->Length) return false;
        const char *string = base + offset;
        size_t room = rec->Length - offset, n = strnlen(string, room);
        if (n == room) return false;
        args[i] = memchr(string, '%', n) ? convert(source, (int)i, string) : (char *)string;
        offset += n + 1;
    }
    memset(args + rec->NumStrings, 0, (ArgumentCount - rec->NumStrings) * sizeof *args);
    CEvtSource *entry = CEvtSource::Find(source, MessageKind::Message);
    return formatfrom(entry, rec->EventID, InsertFlags, description, DescriptionSize, args);
}

char *convert(const char *source, int index, const char *string) {
    if (index < 0 || index >= (int)ArgumentCount) internalerror("convert", 1);
    char *slot = ConvertSlots[index];
    size_t n = 0;
    auto take = [&](const char *from, const char *to) {
        for (; from < to && *from && n < ConvertMax; ++from) slot[n++] = *from;
    };
    const char *p = string;
    while (*p && n < ConvertMax) {
        if (p[0] != '%' || p[1] != '%') {
            take(p, p + 1);
            ++p;
            continue;
        }
        const char *reference = p;
        DWORD id = 0;
        for (p += 2; *p >= '0' && *p <= '9'; ++p) id = id * 10 + (DWORD)(*p - '0');
        char text[ParameterTextSize];
        CEvtSource *entry = CEvtSource::Find(source, MessageKind::Parameter);
        if (formatfrom(entry, id, TextFlags, text, sizeof text, nullptr))
            take(text, text + sizeof text);
        else
            take(reference, p);
    }
    if (n > ConvertMax) internalerror("convert", 2);
    slot[n] = '\0';
    return slot;
}
