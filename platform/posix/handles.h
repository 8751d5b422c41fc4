// handles.h: the process's table of kernel-object handles.
//
// Files and access tokens are kernel objects: the caller holds an opaque
// HANDLE, and CloseHandle closes any of them. Each service derives its object
// from KernelObject and registers it here; the object's destructor releases
// what it holds (a file descriptor and its locks, ...) when the last handle
// goes. Handle values are small multiples of four, as on Windows, and are
// never reused within a process, so a stale handle gives ERROR_INVALID_HANDLE
// instead of reaching a newer object. The current process is the pseudo handle
// (HANDLE)-1, which needs no entry and cannot be closed.
#ifndef QUILLOG_POSIX_HANDLES_H
#define QUILLOG_POSIX_HANDLES_H

#include "platform/win32.h"

#include <memory>

namespace nt {

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

// The pseudo handle of the current process (what GetCurrentProcess returns).
inline HANDLE currentprocess() { return (HANDLE)(intptr_t)-1; }

// Registers obj and returns its new handle.
HANDLE addhandle(std::shared_ptr<KernelObject> obj);

// The object behind an open handle, else null.
std::shared_ptr<KernelObject> findobject(HANDLE h);

// The object behind h when it is open and of type T, else null.
template <class T> std::shared_ptr<T> findhandle(HANDLE h) {
    return std::dynamic_pointer_cast<T>(findobject(h));
}

} // namespace nt

#endif // QUILLOG_POSIX_HANDLES_H
