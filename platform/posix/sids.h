// sids.h: the SID calls and LookupAccountSidA of the emulation.
//
// The Win32 entry points are declared in platform/win32.h. This header adds
// what tests need to watch the emulation from outside.
#ifndef QUILLOG_POSIX_SIDS_H
#define QUILLOG_POSIX_SIDS_H

#include "platform/win32.h"

namespace nt {

// The number of LookupAccountSidA calls made by this process so far.
unsigned long accountlookups();

} // namespace nt

#endif // QUILLOG_POSIX_SIDS_H
