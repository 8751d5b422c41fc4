// handles.cpp: the handle table and CloseHandle.
#include "platform/posix/handles.h"

#include "platform/posix/common.h"

#include <atomic>
#include <map>
#include <mutex>

namespace nt {

namespace {

struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
    // How many handles have been closed: changed under the lock, before the
    // closed handle's object is released.
    std::atomic<uint64_t> closes{0};
};

HandleTable &table() {
    static HandleTable *t = new HandleTable; // outlives every static destructor
    return *t;
}

// The handle of each type this thread last found, so that a call repeated
// on one handle (a WriteFile per output line) finds it without the table's
// lock. The entry holds no reference: the object goes when its last handle
// does, whoever found it. Handle values are never reused, so the entry is
// right as long as no handle was closed since it was made; after any close
// the table is asked again.
struct Recent {
    uintptr_t value = 0;
    uint64_t closes = 0;
    std::weak_ptr<KernelObject> object;
};
const size_t ObjectTypeCount = (size_t)ObjectType::RegistryKey + 1;
thread_local Recent recent[ObjectTypeCount];

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
    Recent &r = recent[(size_t)type];
    // Unchanged closes mean the handle was still open when they were read;
    // the object may be released by a close since, which lock() then tells.
    if (r.value == (uintptr_t)h && r.value != 0 && r.closes == t.closes.load(std::memory_order_acquire)) {
        if (std::shared_ptr<KernelObject> obj = r.object.lock()) return obj;
    }
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)h);
    if (it == t.objects.end() || it->second->type != type) return nullptr;
    r.value = (uintptr_t)h;
    r.closes = t.closes.load(std::memory_order_relaxed);
    r.object = it->second;
    return it->second;
}

bool removehandle(HANDLE h, ObjectType type) {
    std::shared_ptr<KernelObject> gone; // released after the table's lock
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find((uintptr_t)h);
    if (it == t.objects.end() || it->second->type != type) return false;
    gone = std::move(it->second);
    t.objects.erase(it);
    t.closes.fetch_add(1, std::memory_order_release);
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
