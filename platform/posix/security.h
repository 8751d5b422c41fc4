// security.h: the emulated process token and its privileges.
//
// The emulated user holds every privilege unless QUILLOG_PRIVILEGES is set, in
// which case it holds exactly the privileges named there (a comma-separated
// list of names such as "SeSecurityPrivilege,SeBackupPrivilege"; empty means
// none). A held privilege starts disabled and is enabled through
// AdjustTokenPrivileges on the process token.
#ifndef QUILLOG_POSIX_SECURITY_H
#define QUILLOG_POSIX_SECURITY_H

#include "platform/win32.h"

namespace nt {

// True when the privilege of that name (e.g. "SeSecurityPrivilege") is held
// and has been enabled in this process. Services that need a privilege (the
// Security log) refuse with ERROR_PRIVILEGE_NOT_HELD (1314) when it is false.
bool privilegeenabled(const char *name);

} // namespace nt

#endif // QUILLOG_POSIX_SECURITY_H
