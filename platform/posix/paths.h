// paths.h: Windows paths to host paths.
//
// A path with a drive letter (c:\x, C:/x) is on the local computer and maps to
// <network>/<local>/c/x. A UNC path \\computer\X$\rest maps to
// <network>/<computer>/x/rest. Any other path is a host path, relative to the
// working directory. Backslash and slash both separate. Windows paths are
// case-insensitive and the command line arrives lower-cased, so each component
// is resolved on its own: an exact match first, else the first entry that
// matches without regard to case; a component that does not exist yet keeps
// its spelling (a new output file is created as spelled).
#ifndef QUILLOG_POSIX_PATHS_H
#define QUILLOG_POSIX_PATHS_H

#include "platform/win32.h"

#include <string>

namespace nt {

// Maps a Windows path to a host path, for reading. Drive and UNC paths are
// normalised as Windows normalises them: "." and ".." never lead above the
// drive or share root. Returns 0, or the Win32 code that a file call gives
// for the path: ERROR_PATH_NOT_FOUND (3) for an empty path,
// ERROR_INVALID_NAME (123) for < > " | ? * or a control character,
// ERROR_FILENAME_EXCED_RANGE (206) for 260 characters or more,
// ERROR_BAD_NETPATH (53) for a UNC path to a computer that does not exist
// (or a computer "name" that is a path: ".", "..", anything with a
// separator) and ERROR_BAD_NET_NAME (67) for a share that is not a drive (X$).
DWORD hostpath(const char *path, std::string *out);

// As hostpath, for a path that is to be created, written, renamed, cleared
// or deleted: below a computer's drive folder (which may itself be a link,
// as when a disk image is mounted for a drive) no existing component may be
// a symbolic link, or the call gives ERROR_ACCESS_DENIED (5). A copied
// computer folder cannot lead a write elsewhere. Host paths (no drive, no
// computer) are the operator's and stay as they are.
DWORD writepath(const char *path, std::string *out);

// Host path of a path that a computer's own data names (its registry's File
// and SystemRoot values): only a drive path of that computer ("X:\...") is
// one; a host path, a relative or drive-relative path (C:x) or another
// computer's share gives ERROR_BAD_PATHNAME (161) and maps to nothing.
// *confined receives the length of the drive folder's host path, for
// nolinks.
DWORD drivepathon(const std::string &computerfolder, const char *path, std::string *out, size_t *confined);

// ERROR_ACCESS_DENIED when an existing component of host after its first
// `confined` characters (a drive folder) is a symbolic link; 0 otherwise
// (also when confined is 0).
DWORD nolinks(const std::string &host, size_t confined);

} // namespace nt

#endif // QUILLOG_POSIX_PATHS_H
