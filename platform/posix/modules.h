// modules.h: modules loaded as data files (LoadLibraryExA, FreeLibrary).
//
// A module is the whole file read into memory; its handle is what
// FormatMessageA takes as its message source. The file's path is a Windows
// path resolved through the NT network (C:\... on the local computer,
// \\computer\C$\... on that computer). A module file must be a regular file
// of at most 64 MiB (ERROR_ACCESS_DENIED, ERROR_FILE_TOO_LARGE otherwise).
#ifndef QUILLOG_POSIX_MODULES_H
#define QUILLOG_POSIX_MODULES_H

#include "platform/posix/msgtable.h"
#include "platform/win32.h"

#include <string>

namespace nt {

// The file image of a module that LoadLibraryExA returned and that has not
// been freed, or null for any other handle.
const std::string *moduleimage(HMODULE module);

// The number of LoadLibraryExA calls in this process that tried to load a
// file (calls refused for their parameters do not count), so tests can show
// that a cache asks for each file once.
unsigned long moduleloads();

// findmessage in a loaded module (ERROR_INVALID_HANDLE for one that is not),
// with the module's message table located once per language request. *text
// points at the message the module keeps, or at scratch, which receives one
// it does not keep; either stays valid until the next call.
DWORD modulemessage(HMODULE module, DWORD id, WORD lang, MessageText *scratch, const MessageText **text);

} // namespace nt

#endif // QUILLOG_POSIX_MODULES_H
