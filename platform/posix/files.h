// files.h: files, the executable's module and local memory.
//
// CreateFileA and its companions work on host files reached through the path
// mapping (paths.h). Windows' share modes have no Linux counterpart, so every
// open takes open-file-description locks (F_OFD_SETLK) on a few byte ranges far
// past any file data: one range per kind of access it holds (read, write,
// delete) and one per kind it refuses to share. A later opener, in this process
// or any other, checks the opposite ranges first and fails with
// ERROR_SHARING_VIOLATION (32) on a conflict, exactly where Windows would. The
// locks belong to the open descriptor, so closing the handle releases them at
// once and a crashed process never leaves one behind. A file whose write
// permission bits are all clear stands for Windows' read-only attribute: it
// cannot be opened for writing or deleted (ERROR_ACCESS_DENIED), even by root.
#ifndef QUILLOG_POSIX_FILES_H
#define QUILLOG_POSIX_FILES_H

#include "platform/win32.h"

#include <string>

namespace nt {

// True when a handle open on the host file, in any process, does not share
// delete access, so that deleting or replacing the file must fail.
bool deleteblocked(const std::string &hostpath);

} // namespace nt

#endif // QUILLOG_POSIX_FILES_H
