// network.h: the NT network as folders.
//
// The network is the folder named by QUILLOG_NETWORK (default
// $XDG_DATA_HOME/quillog/network, i.e. ~/.local/share/quillog/network), created
// on first use. Each computer is a subfolder named after it (matched without
// regard to case). The local computer's name is COMPUTERNAME when set, else the
// host name up to its first dot, upper-cased, at most 15 characters.
#ifndef QUILLOG_POSIX_NETWORK_H
#define QUILLOG_POSIX_NETWORK_H

#include "platform/win32.h"

#include <string>

namespace nt {

// The network folder, created when missing. Read from the environment at
// every call, so tests can point it elsewhere.
std::string networkroot();

// The local computer's name (what GetComputerNameA answers).
std::string localname();

// True when name (with or without leading backslashes) is empty or names the
// local computer.
bool islocal(const char *name);

// The folder of a computer. A null, empty or local name gives the local
// computer's folder, created on first use with a registry that holds
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion SystemRoot = C:\WINDOWS.
// A remote computer must exist: returns false when there is no folder for it,
// and for a name that is a path (".", "..", anything holding "/" or "\").
bool computerfolder(const char *name, std::string *folder);

} // namespace nt

#endif // QUILLOG_POSIX_NETWORK_H
