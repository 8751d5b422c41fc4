// handles.cpp: the handle table and CloseHandle.
#include "platform/posix/handles.h"

#include "platform/posix/common.h"

#include <map>
#include <mutex>

namespace nt {

namespace {

struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

HandleTable &table() {
    static HandleTable *t = new HandleTable; // outlives every static destructor
    return *t;
}

} // namespace

HANDLE addhandle(std::shared_ptr<KernelObject> obj) {
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects[value] = std::move(obj);
    return (HANDLE)value;
}

std::shared_ptr<KernelObject> findobject(HANDLE h, ObjectType type) {
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)h);
    return it == t.objects.end() || it->second->type != type ? nullptr : it->second;
}

} // namespace nt

/***********************************************************************
 * CloseHandle
 *
 * Closes a file or token handle; the object goes when its last handle does
 * (a file's share lock is released at once).
 *   hObject [I] the handle
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for a handle that is not
 * open. Closing the current-process pseudo handle does nothing and succeeds.
 */
BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nt::currentprocess()) return TRUE;
    std::shared_ptr<nt::KernelObject> gone;
    {
        nt::HandleTable &t = nt::table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find((uintptr_t)hObject);
        if (it == t.objects.end()) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
        gone = std::move(it->second);
        t.objects.erase(it);
    }
    return TRUE;
}
