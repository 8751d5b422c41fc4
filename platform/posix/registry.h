// registry.h: the registry calls over per-computer .reg files.
//
// The Reg...A functions themselves are declared in platform/win32.h. Each
// computer of the network keeps two hives as regedit text files:
// <computer>/registry/HKEY_LOCAL_MACHINE.reg and HKEY_CURRENT_USER.reg
// (format in regfile.h). This header adds what only the emulation needs.
//
// Behaviour that the files force and Windows does not have:
// - A hive file that cannot be parsed makes every call on that hive fail with
//   ERROR_REGISTRY_CORRUPT (1015), writes included: the damaged file is never
//   overwritten, so a user can repair it by hand. A hive file that cannot be
//   read gives the file error: ERROR_ACCESS_DENIED (5) also for one that is
//   not a regular file (a FIFO, a device, a link to one), and
//   ERROR_FILE_TOO_LARGE (223) at once for one over MaxRegFile (256 MiB). A
//   missing file is an empty hive.
// - A hive is rewritten in the version, encoding and line ends it was read
//   in, with every key, value name and value as it was, also those with
//   characters that code page 1252 lacks (comments are not kept). A change
//   whose new file would not read back (over MaxRegFile) is refused with
//   ERROR_FILE_TOO_LARGE (223) and the file is left as it was.
// - The registry folder of a computer may come from another machine: nothing
//   is written through a symbolic link there. A registry folder, hive file or
//   lock file that is a link, or a hive or lock file that is not a regular
//   file, makes every change fail with ERROR_ACCESS_DENIED (5), and nothing
//   is written anywhere (see atomicfile.h); reading through the links still
//   works.
// - Key and value names containing a line feed are refused with
//   ERROR_INVALID_PARAMETER (87): the text format cannot hold them.
// - A handle to a key deleted by another process gives ERROR_KEY_DELETED
//   (1018) only while no key of the same path exists again; deletions made by
//   this process mark its own handles for good, as Windows does.
// - Every caller is an administrator: writes under HKEY_LOCAL_MACHINE are
//   allowed.
#ifndef QUILLOG_POSIX_REGISTRY_H
#define QUILLOG_POSIX_REGISTRY_H

#include "platform/posix/regfile.h"

namespace nt {

// The host path of a hive file of a computer folder; hive is
// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER". Folder and file names are
// matched without regard to case when they exist.
std::string hivefile(const std::string &computerfolder, const char *hive);

// The number of times this process read a hive file and parsed it, so tests
// can show that an unchanged hive is parsed once.
unsigned long hivereads();

} // namespace nt

#endif // QUILLOG_POSIX_REGISTRY_H
