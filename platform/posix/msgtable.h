// msgtable.h: message tables inside PE32 and PE32+ files.
//
// The model side of the message modules: given the bytes of a module file, it
// says whether the file loads as a data file and finds one message of its
// message table the way FormatMessageA does (resource type 11, name 1, then
// the language chosen for the request, then the message blocks). Every offset
// and size read from the file is checked; a hostile or truncated file gives an
// error code, never a read outside the bytes.
#ifndef QUILLOG_POSIX_MSGTABLE_H
#define QUILLOG_POSIX_MSGTABLE_H

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nt {

// Checks that a whole file can be mapped as a data-file module: 0, or
// ERROR_FILE_INVALID (1006) for an empty file, or ERROR_BAD_EXE_FORMAT (193)
// when it has no "MZ" header whose e_lfanew leads to a "PE\0\0" signature
// (text files, MZ stubs, 16-bit NE files). The optional header's magic and the
// machine type are not checked, as Windows does not check them for data files.
DWORD checkimage(const std::string &image);

// One message text as stored: ANSI entries hold code page 1252 bytes, Unicode
// entries UTF-16 units. The text ends before its terminator (or at the end of
// its entry when the terminator is missing).
struct MessageText {
    std::vector<uint16_t> units;
    bool unicode = false;
};

// Finds message id (all 32 bits) in the message table of image for the
// language request lang (see chooselanguage). Returns 0 and fills *text, or:
// ERROR_RESOURCE_DATA_NOT_FOUND (1812): no resource directory, an unknown
//   optional-header magic, or a resource or data address outside the file;
// ERROR_RESOURCE_TYPE_NOT_FOUND (1813): no message-table type (11);
// ERROR_RESOURCE_NAME_NOT_FOUND (1814): no message table under name 1;
// ERROR_RESOURCE_LANG_NOT_FOUND (1815): no table in an acceptable language;
// ERROR_MR_MID_NOT_FOUND (317): the chosen table has no such id (or its
//   entries are corrupt).
DWORD findmessage(const std::string &image, DWORD id, WORD lang, MessageText *text);

// The message table that a request for lang uses, found once per module and
// language (the resource walk costs far more than reading one message): rc
// is 0 or a lookup error of findmessage other than 317; data and size place
// the table in the image; blocks counts its blocks as far as they lie in the
// table and the file. When they are ordered (each holds ids and starts
// after the one before it ends, as a message compiler writes them), the
// block of an id is found by a binary search instead of a walk.
struct TableRef {
    DWORD rc = 0;
    size_t data = 0;
    uint32_t size = 0;
    uint32_t blocks = 0;
    bool ordered = false;
};
TableRef locatetable(const std::string &image, WORD lang);

// findmessage in the table that locatetable found in the same image.
DWORD readmessagein(const std::string &image, const TableRef &table, DWORD id, MessageText *text);

// Lists the ids of the message table that a request for lang uses, block by
// block in file order, as far as their entries lie inside the table (an id
// listed twice by overlapping blocks is found in the first). Returns 0, or
// the lookup errors of findmessage other than 317.
DWORD messageids(const std::string &image, WORD lang, std::vector<DWORD> *ids);

// The code page 1252 byte for one UTF-16 unit: Windows' best-fit mapping
// (A with macron gives A, the infinity sign 8, the trade mark sign 0x99), "?"
// where there is none.
unsigned char tocp1252(uint16_t unit);

} // namespace nt

#endif // QUILLOG_POSIX_MSGTABLE_H
