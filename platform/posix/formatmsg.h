// formatmsg.h: the formatting pass of FormatMessageA over one message text.
//
// Exposed so that the escapes, inserts and line breaks can be tested on texts
// of their own, without a module file.
#ifndef QUILLOG_POSIX_FORMATMSG_H
#define QUILLOG_POSIX_FORMATMSG_H

#include "platform/posix/msgtable.h"

#include <string>

namespace nt {

// The longest output FormatMessageA gives: an output of this many characters
// or more fails with ERROR_INVALID_PARAMETER.
const size_t FormatOutputLimit = 32767;

// Formats text as FormatMessageA does for dwFlags (width 0 or 0xFF; with
// FORMAT_MESSAGE_IGNORE_INSERTS, or with FORMAT_MESSAGE_ARGUMENT_ARRAY and
// args an array of char* entries, null entries allowed). *out receives the
// code page 1252 bytes. Returns 0, or ERROR_INVALID_PARAMETER (87) for a "%"
// at the end of the text, an insert whose "!" format is not closed, an insert
// without an argument array, a "*" that would take an entry past the 99th,
// or an output of FormatOutputLimit characters or more.
DWORD formattext(const MessageText &text, DWORD dwFlags, const char *const *args, std::string *out);

} // namespace nt

#endif // QUILLOG_POSIX_FORMATMSG_H
