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

bool removehandle(HANDLE h, ObjectType type) {
    std::shared_ptr<KernelObject> gone; // released after the table's lock
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)h);
    if (it == t.objects.end() || it->second->type != type) return false;
    gone = std::move(it->second);
    t.objects.erase(it);
    return true;
}

void eachobject(ObjectType type, const std::function<void(KernelObject &)> &fn) {
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto &entry : t.objects)
        if (entry.second->type == type) fn(*entry.second);
}

} // namespace nt

/***********************************************************************
 * CloseHandle
 *
 * Closes a file or token handle; the object goes when its last handle does
 * (a file's share lock is released at once). An event log or event source
 * handle is not one: ERROR_INVALID_HANDLE.
 *   hObject [I] the handle
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for a handle that is not
 * open. Closing the current-process pseudo handle does nothing and succeeds.
 */
BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nt::currentprocess()) return TRUE;
    if (!nt::removehandle(hObject, nt::ObjectType::File) && !nt::removehandle(hObject, nt::ObjectType::Token))
        return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}
