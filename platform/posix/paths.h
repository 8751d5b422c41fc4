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

// Maps a Windows path to a host path. Returns 0, or the Win32 code that a file
// call gives for the path: ERROR_PATH_NOT_FOUND (3) for an empty path,
// ERROR_INVALID_NAME (123) for < > " | ? * or a control character,
// ERROR_FILENAME_EXCED_RANGE (206) for 260 characters or more,
// ERROR_BAD_NETPATH (53) for a UNC path to a computer that does not exist and
// ERROR_BAD_NET_NAME (67) for a share that is not a drive (X$).
DWORD hostpath(const char *path, std::string *out);

// Resolves an existing-or-new host path component by component without regard
// to case (see above). Used by hostpath and by services that build host paths
// themselves (the registry files, the live logs).
std::string resolvecase(const std::string &path);

// Host path of a Windows path on a given computer's folder: a drive path
// (C:\x) maps into that computer's drive folders, a UNC path to its computer,
// anything else is returned by hostpath. Used where the path is meant on
// the computer that owns a resource (a remote log's File value).
DWORD hostpathon(const std::string &computerfolder, const char *path, std::string *out);

} // namespace nt

#endif // QUILLOG_POSIX_PATHS_H
