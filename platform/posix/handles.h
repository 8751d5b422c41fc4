// handles.h: the process's one table of handles.
//
// Every object a caller holds by an opaque handle lives here: files and
// access tokens (kernel objects, closed by CloseHandle), open event logs,
// registered event sources and open registry keys (closed by CloseEventLog,
// DeregisterEventSource and RegCloseKey). Each service derives its object from KernelObject
// with its own type, and a call finds a handle only among objects of the
// type it takes, as on Windows, where a log handle is no file handle. The
// object's destructor releases what it holds (a file descriptor and its
// locks, ...) when the last reference goes. Handle values are small
// multiples of four, as on Windows, and are never reused within a process,
// so a stale handle gives ERROR_INVALID_HANDLE instead of reaching a newer
// object. The current process is the pseudo handle (HANDLE)-1, which needs no
// entry and cannot be closed.
#ifndef QUILLOG_POSIX_HANDLES_H
#define QUILLOG_POSIX_HANDLES_H

#include "platform/win32.h"

#include <functional>
#include <memory>

namespace nt {

// The kinds of kernel object; each derived class names its own, so that a
// handle's type is checked without a dynamic cast on every call. RegistryKey
// stays last: the table keeps an entry per type up to it.
enum class ObjectType { File, Token, EventLog, EventSource, RegistryKey };

class KernelObject {
public:
    explicit KernelObject(ObjectType type) : type(type) {}
    virtual ~KernelObject() = default;
    const ObjectType type;
};

// The pseudo handle of the current process (what GetCurrentProcess returns).
inline HANDLE currentprocess() { return (HANDLE)(intptr_t)-1; }

// Registers obj and returns its new handle.
HANDLE addhandle(std::shared_ptr<KernelObject> obj);

// The object behind an open handle when it is of the given type, else null.
std::shared_ptr<KernelObject> findobject(HANDLE h, ObjectType type);

// Closes a handle of the given type; false when h is not an open handle of
// that type.
bool removehandle(HANDLE h, ObjectType type);

// Calls fn for every open object of the given type (under the table's lock:
// fn must not touch the table).
void eachobject(ObjectType type, const std::function<void(KernelObject &)> &fn);

// The object behind h when it is open and of type T (a class whose Type is
// its ObjectType), else null.
template <class T> std::shared_ptr<T> findhandle(HANDLE h) {
    std::shared_ptr<KernelObject> obj = findobject(h, T::Type);
    T *object = static_cast<T *>(obj.get());
    return std::shared_ptr<T>(std::move(obj), object);
}

} // namespace nt

#endif // QUILLOG_POSIX_HANDLES_H
