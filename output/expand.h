// expand.h: the message texts of the category and description columns.
//
// With Format on, the line writer lets these replace the numeric category
// and the fallback description by texts from the event source's message
// files. When no text is found the areas keep what the line writer put
// there; each failing id is reported once per source and kind.
#ifndef QUILLOG_OUTPUT_EXPAND_H
#define QUILLOG_OUTPUT_EXPAND_H

#include "platform/win32.h"

const size_t CategoryTextSize = 100;  // the category area: at most 99 characters
const size_t DescriptionSize = 64020; // the description area: at most 64,019 characters
const size_t ArgumentCount = 99;      // inserts %1 to %99
const size_t ConvertSlotSize = 1001;  // a converted string: at most 1,000 characters

// Replaces categorytext (CategoryTextSize bytes) by the text of category
// message category (not 0) of source, when one of its category files has it.
void expandcategory(const char *source, WORD category, char *categorytext);

// Replaces description (DescriptionSize bytes) by the record's event message
// formatted with its insertion strings, when one of the source's message
// files has it. args (ArgumentCount entries) receives the strings, or their
// converted copies for strings with a "%". A record with more than 99
// strings is reported ("==>too many parameter strings, ...") and keeps its
// fallback description, as does one whose strings do not end inside it.
// True when description was replaced; otherwise it is untouched.
bool expanddescription(const char *source, const EVENTLOGRECORD *rec, DWORD ordinal, char **args, char *description);

// Expands the parameter references (two percent signs and a message number)
// of insertion string index (0 to 98) from the source's parameter files.
// Returns the process-wide slot of that index, which holds the result (cut
// to 1,000 characters) until convert is next called for the same index.
char *convert(const char *source, int index, const char *string);

#endif // QUILLOG_OUTPUT_EXPAND_H
