// registry.cpp: RegConnectRegistryA ... RegCloseKey over .reg hive files.
//
// Reproduces Windows' results for the calls the program makes: 161 for a
// leading backslash, 2 for any missing path component, 5 for a value call
// that the handle's access does not allow and for deleting a key that has
// subkeys, 234 with the needed size and the buffer untouched, a NUL added
// after string data only when there is room, NT's one-byte extension of a
// string count in RegSetValueExA, 259 at the end of an enumeration, 1018 for
// a handle whose key was deleted, 6 for a bad handle.
//
// Every change is a read-modify-write of the hive file under the file's lock
// (reread, apply, write a temporary file, rename over), so processes that
// change the same hive never lose each other's changes and a crash leaves
// the old file or the new one. The hive is written back in the format it was
// read in, every name and value as it was, and only when the new text reads
// back: a change that would make the file unreadable is refused. Reads use
// the parsed hive of the last read while the file's identity (device, inode,
// size, times) is unchanged, and a handle keeps the key it found in that
// parse, so its calls do not look its path up again.
//
// Names cross the boundary here: the calls take and give code page 1252,
// the model holds UTF-8. A name with characters that 1252 lacks reads as '?'
// in those places, as the "A" functions give it on Windows, and does not
// match a name spelled with '?'.
//
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet is, when the hive has no such
// key, the control set that SYSTEM\Select's "Current" value names, as
// Windows decides at boot; so an offline export of a SYSTEM hive (which has
// only ControlSet001, ...) reads like a live registry.
#include "platform/posix/registry.h"

#include "platform/posix/atomicfile.h"
#include "platform/posix/common.h"
#include "platform/posix/handles.h"
#include "platform/posix/network.h"
#include "platform/posix/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <sys/stat.h>

namespace nt {

std::string hivefile(const std::string &computerfolder, const char *hive) {
    // Found once per process when it exists: every registry call names its
    // hive, and matching the path's components without regard to case costs
    // a status call each.
    static std::mutex lock;
    static std::map<std::string, std::string> *found = new std::map<std::string, std::string>;
    const std::string wanted = computerfolder + "/registry/" + hive + ".reg";
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = found->find(wanted);
        if (it != found->end()) return it->second;
    }
    std::string path = resolvecase(wanted);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        std::lock_guard<std::mutex> guard(lock);
        (*found)[wanted] = path;
    }
    return path;
}

} // namespace nt

namespace {

using nt::RegKey;
using nt::RegValue;

const char MachineRoot[] = "HKEY_LOCAL_MACHINE";
const char UserRoot[] = "HKEY_CURRENT_USER";

// Longest key name component and value name Windows accepts.
const size_t MaxKeyName = 255;
const size_t MaxValueName = 16383;

// What a handle refers to: a key of one hive file, by its path below the root.
struct KeyHandle {
    std::string file;     // host path of the hive file
    bool machine = false; // HKEY_LOCAL_MACHINE (else HKEY_CURRENT_USER)
    std::string path;     // below the root, as spelled in the hive (see partsof)
    REGSAM access = 0;
    bool deleted = false; // deleted through this process
    // The key at path in the parse numbered serial (0: none yet), null when
    // that parse had none.
    uint64_t serial = 0;
    const RegKey *found = nullptr;
    // The key that the last walk from this handle found at the parent of the
    // path it was given (the text before its last backslash), in the parse
    // numbered serial, with its path: the program opens the keys of many
    // sources below one parent, one after the other.
    struct Parent {
        uint64_t serial = 0;
        std::string sub;
        const RegKey *key = nullptr;
        std::string path;
    };
    Parent parent = {};
};

// An open key in the process's handle table.
struct KeyObject : nt::KernelObject {
    static const nt::ObjectType Type = nt::ObjectType::RegistryKey;
    explicit KeyObject(KeyHandle key) : KernelObject(Type), key(std::move(key)) {}
    KeyHandle key;
};

bool ispredefined(HKEY hKey) {
    uintptr_t v = (uintptr_t)hKey;
    return v >= 0x80000000u && v <= 0x80000006u;
}

// The local computer's hive behind a predefined root. The handle is kept
// while the local computer's folder stays the same, with the key it found.
KeyHandle &rootof(bool machine) {
    struct Root {
        std::string folder;
        KeyHandle h;
    };
    static Root *roots = new Root[2]; // outlives every static destructor
    static std::string &folder = *new std::string;
    nt::computerfolder(nullptr, &folder);
    Root &root = roots[machine];
    if (root.h.file.empty() || folder != root.folder) {
        root.h = KeyHandle();
        root.h.file = nt::hivefile(folder, machine ? MachineRoot : UserRoot);
        root.h.machine = machine;
        root.h.access = KEY_ALL_ACCESS;
        root.folder = folder;
    }
    return root.h;
}

// The handle behind hKey: a predefined root we keep (HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER) or an open handle, whose object *held keeps for the
// call. ERROR_INVALID_HANDLE otherwise.
LONG gethandle(HKEY hKey, std::shared_ptr<KeyObject> *held, KeyHandle **out) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) {
        *out = &rootof(hKey == HKEY_LOCAL_MACHINE);
        return ERROR_SUCCESS;
    }
    *held = nt::findhandle<KeyObject>(hKey);
    if (!*held) return ERROR_INVALID_HANDLE;
    *out = &(*held)->key;
    return ERROR_SUCCESS;
}

HKEY newhandle(KeyHandle h) { return (HKEY)nt::addhandle(std::make_shared<KeyObject>(std::move(h))); }

bool samename(const std::string &a, const std::string &b) { return nt::foldname(a) == nt::foldname(b); }

// A handle's path holds the names of its components one after the other,
// each but the first after a backslash: no name holds one (every path the
// calls and the files give is split at them).
void addpart(std::string *path, const std::string &name) {
    if (!path->empty()) *path += '\\';
    *path += name;
}

std::vector<std::string> partsof(const std::string &path) {
    std::vector<std::string> parts;
    for (size_t from = 0; from < path.size();) {
        size_t end = path.find('\\', from);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(from, end - from));
        from = end + 1;
    }
    return parts;
}

std::string joined(const std::vector<std::string> &parts) {
    std::string path;
    for (const std::string &part : parts) addpart(&path, part);
    return path;
}

bool samepath(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!samename(a[i], b[i])) return false;
    return true;
}

// ---------------------------------------------------------------- hive files

unsigned long reads = 0;

// A hive's content for reading, and the number of the parse it came from
// (0 for the empty hive of a missing file), which no other parse has.
struct Hive {
    std::shared_ptr<const RegKey> top;
    uint64_t serial = 0;
};
uint64_t parses = 0;

// Reads and parses a hive file; a missing file is an empty hive in the
// default format. *format (when given) receives the file's format.
LONG readhive(const std::string &file, RegKey *top, nt::RegFormat *format = nullptr) {
    std::string bytes;
    ++reads;
    DWORD rc = nt::readwhole(file, &bytes, nt::MaxRegFile);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc) return (LONG)rc;
    return (LONG)nt::parseregfile(std::move(bytes), top, nullptr, format);
}

struct CachedHive {
    struct stat id;
    Hive hive;
};

// File times have a coarse clock (a scheduler tick, or two seconds on FAT):
// a file rewritten in place within the tick of its last change keeps its
// identity. A hive changed less than this long before it was read is
// therefore parsed again at every read until it has settled. Only the change
// time counts: the kernel sets it to the time of every change, whereas a
// modification time is whatever a copy or a tool set it to (one in the future
// would keep the hive from ever settling).
const time_t SettleSeconds = 2;

bool settled(const struct stat &id) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - id.st_ctim.tv_sec > SettleSeconds;
}
// Kept until the process ends, so that its end does not take a large
// hive's tree apart.
std::map<std::string, CachedHive> &hivecache = *new std::map<std::string, CachedHive>;

bool sameidentity(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The current content of a hive for reading.
LONG loadhive(const std::string &file, Hive *out) {
    struct stat id;
    if (stat(file.c_str(), &id) != 0) {
        hivecache.erase(file);
        if (errno != ENOENT) return (LONG)nt::errnotowin(errno, file);
        *out = Hive{std::make_shared<const RegKey>(), 0};
        return ERROR_SUCCESS;
    }
    auto it = hivecache.find(file);
    if (it != hivecache.end() && sameidentity(it->second.id, id)) {
        *out = it->second.hive;
        return ERROR_SUCCESS;
    }
    // Identity first, content second: the content is never older than the
    // identity it is filed under, so the cache can only be overcautious.
    auto top = std::make_shared<RegKey>();
    if (LONG rc = readhive(file, top.get())) {
        hivecache.erase(file);
        return rc;
    }
    *out = Hive{top, ++parses};
    if (settled(id))
        hivecache[file] = CachedHive{id, *out};
    else
        hivecache.erase(file);
    return ERROR_SUCCESS;
}

// True when a hive's new text reads back. The writer keeps within the
// parser's rules but for the size: a change that adds more than the room left
// below MaxRegFile (a large binary value: three characters and more a byte)
// makes a file that no later call could read.
bool readsback(const std::string &text) {
    RegKey check;
    return nt::parseregfile(text, &check) == ERROR_SUCCESS;
}

// Runs change(top, &changed) on the hive's current content under the hive's
// lock and writes the hive back, in the format it was read in, when it
// reports a change. A hive that cannot be read or parsed is left as it is
// and its error returned. So is one whose new text would not read back: the
// change fails with ERROR_FILE_TOO_LARGE ("The file size exceeds the limit
// allowed and cannot be saved."), the code a read of a hive over the limit
// gives too, and the file keeps its last readable content.
template <class Change> LONG modifyhive(const std::string &file, Change change) {
    mkdir(nt::parentfolder(file).c_str(), 0777);
    nt::FileLock lock(file);
    if (DWORD rc = lock.acquire()) return (LONG)rc;
    RegKey top;
    nt::RegFormat format;
    if (LONG rc = readhive(file, &top, &format)) return rc;
    bool changed = false;
    LONG result = change(&top, &changed);
    if (result == ERROR_SUCCESS && changed) {
        std::string text = nt::writeregfile(top, format);
        if (!readsback(text)) return ERROR_FILE_TOO_LARGE;
        if (DWORD rc = nt::replacefile(file, text)) return (LONG)rc;
    }
    return result;
}

// ---------------------------------------------------------------- paths

// Splits a sub-path at backslashes; empty components (trailing backslashes)
// are dropped. A null path is the key itself. The components are code page
// 1252, as the caller gave them.
std::vector<std::string> splitsub(const char *sub) {
    std::vector<std::string> parts;
    std::string cur;
    for (const char *p = sub ? sub : ""; *p; ++p) {
        if (*p == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

const RegKey EmptyKey;

// The hive's root key of a handle's root, or null when the hive has none yet.
RegKey *rootkey(const RegKey &top, bool machine) { return top.subkey(machine ? MachineRoot : UserRoot); }

// The full path of a handle's key plus a sub-path, with CurrentControlSet
// resolved through SYSTEM\Select when the hive has no key of that name.
std::vector<std::string> fullpath(const RegKey *root, const KeyHandle &h, const std::vector<std::string> &sub) {
    std::vector<std::string> path = partsof(h.path);
    path.insert(path.end(), sub.begin(), sub.end());
    if (!h.machine || !root || path.size() < 2 || !samename(path[0], "SYSTEM") ||
        !samename(path[1], "CurrentControlSet"))
        return path;
    const RegKey *system = root->subkey(path[0]);
    if (!system || system->subkey(path[1])) return path;
    const RegKey *select = system->subkey("Select");
    const RegValue *current = select ? select->value("Current") : nullptr;
    uint32_t n = 0;
    if (!current || current->type != REG_DWORD ||
        !nt::Bytes{(const uint8_t *)current->data.data(), current->data.size()}.u32(0, &n))
        return path;
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", (unsigned)n);
    path[1] = name;
    return path;
}

// The key at path below root (null root: an empty hive), or null.
RegKey *findkey(RegKey *root, const std::vector<std::string> &path) {
    RegKey *key = root;
    for (size_t i = 0; key && i < path.size(); ++i) key = key->subkey(path[i]);
    return key;
}

// The key at a handle's path below root (null root: an empty hive), or null.
RegKey *findkey(RegKey *root, const std::string &path) {
    RegKey *key = root;
    for (size_t from = 0; key && from < path.size();) {
        size_t end = path.find('\\', from);
        if (end == std::string::npos) end = path.size();
        key = key->subkey(path.data() + from, end - from);
        from = end + 1;
    }
    return key;
}

const RegKey *findkey(const RegKey &top, const KeyHandle &h) {
    RegKey *root = rootkey(top, h.machine);
    if (!root) return h.path.empty() ? &EmptyKey : nullptr;
    return findkey(root, h.path);
}

// The handle's own key in the hive, or null with ERROR_KEY_DELETED. The
// key found in a parse is kept in the handle for the calls that read the
// same parse.
LONG handlekey(const Hive &hive, KeyHandle *h, const RegKey **key) {
    if (h->deleted) {
        *key = nullptr;
        return ERROR_KEY_DELETED;
    }
    if (!hive.serial || h->serial != hive.serial) {
        h->found = findkey(*hive.top, *h);
        h->serial = hive.serial;
    }
    *key = h->found;
    return *key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

bool isascii(const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if ((unsigned char)s[i] >= 0x80) return false;
    return true;
}

// Finds the key at sub (the caller's path, code page 1252) below the
// handle's own key own: false when a component is missing, else *out names
// it (the handle's file and root, the path in the hive's spelling, so that a
// handle names its key however the caller spelled it) and holds it as found
// in this parse. Each component is looked up once, in place when it is
// ASCII, and a path whose parent the last walk from the handle found in this
// parse starts there. HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet, when
// SYSTEM has no such key, is the control set that SYSTEM\Select's "Current"
// names.
bool walk(const Hive &hive, KeyHandle *h, const RegKey *own, const char *sub, KeyHandle *out) {
    out->file = h->file;
    out->machine = h->machine;
    const char *text = sub ? sub : "";
    const char *last = std::strrchr(text, '\\');
    const size_t split = last ? (size_t)(last - text) : 0; // the parent's text is text[0, split)
    KeyHandle::Parent &parent = h->parent;
    const char *p = text;
    const RegKey *key = own;
    bool remember = split && hive.serial;
    if (remember && parent.serial == hive.serial && parent.sub.size() == split &&
        parent.sub.compare(0, split, text, split) == 0) {
        out->path.reserve(parent.path.size() + std::strlen(last) + 16);
        out->path = parent.path;
        key = parent.key;
        p = text + split;
        remember = false;
    } else {
        out->path.reserve(h->path.size() + std::strlen(text) + 16);
        out->path = h->path;
    }
    // The components of out->path (one more than its backslashes).
    size_t depth = out->path.empty() ? 0 : (size_t)std::count(out->path.begin(), out->path.end(), '\\') + 1;
    std::string model;
    for (;;) {
        if (remember && p >= text + split) {
            parent.serial = hive.serial;
            parent.sub.assign(text, split);
            parent.key = key;
            parent.path = out->path;
            remember = false;
        }
        if (!*p) break;
        if (*p == '\\') {
            ++p;
            continue;
        }
        const char *end = std::strchr(p, '\\');
        if (!end) end = p + std::strlen(p);
        const char *name = p;
        size_t length = (size_t)(end - p);
        p = end;
        if (!isascii(name, length)) {
            model = nt::ansitoutf8(std::string(name, length));
            name = model.data();
            length = model.size();
        }
        const RegKey *next = key->subkey(name, length);
        if (!next && h->machine && depth == 1 && samename(out->path, "SYSTEM") &&
            samename(std::string(name, length), "CurrentControlSet")) {
            const RegKey *select = key->subkey("Select");
            const RegValue *current = select ? select->value("Current") : nullptr;
            uint32_t n = 0;
            if (current && current->type == REG_DWORD &&
                nt::Bytes{(const uint8_t *)current->data.data(), current->data.size()}.u32(0, &n)) {
                char set[32];
                std::snprintf(set, sizeof set, "ControlSet%03u", (unsigned)n);
                next = key->subkey(set);
            }
        }
        if (!next) return false;
        addpart(&out->path, next->name());
        ++depth;
        key = next;
    }
    out->serial = hive.serial;
    out->found = key;
    return true;
}

// The handle's own key in a hive being changed (a root missing from the
// hive is added), or null when the key no longer exists.
RegKey *ownkey(RegKey *top, const KeyHandle &h) {
    if (h.deleted) return nullptr;
    if (h.path.empty()) return top->addsubkey(h.machine ? MachineRoot : UserRoot);
    return findkey(rootkey(*top, h.machine), h.path);
}

// Names that the text format cannot hold.
bool storablename(const std::string &name) { return name.find('\n') == std::string::npos; }

// A caller's path components or value name, in the model's UTF-8.
std::vector<std::string> modelpath(const std::vector<std::string> &ansi) {
    std::vector<std::string> path;
    for (const std::string &part : ansi) path.push_back(nt::ansitoutf8(part));
    return path;
}

// The type and data of a value of the key, by the caller's name (code page
// 1252), false when there is none.
bool readvalue(const RegKey &key, LPCSTR name, DWORD *type, std::string *data) {
    if (!name) name = "";
    const size_t length = std::strlen(name);
    if (isascii(name, length)) return key.readvalue(name, length, type, data);
    const std::string model = nt::ansitoutf8(name);
    return key.readvalue(model.data(), model.size(), type, data);
}

// The NUL that string reads add after data stored without one, when the
// buffer has room; it is not counted in the size.
bool isstringtype(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void copydata(DWORD type, const std::string &data, LPBYTE lpData, DWORD cbData) {
    size_t size = data.size();
    std::memcpy(lpData, data.data(), size);
    if (isstringtype(type) && size > 0 && size < cbData && data[size - 1] != '\0') lpData[size] = 0;
}

// The hive and the key behind a handle whose access allows reading values;
// *held keeps an open handle's object for the call.
LONG querykey(HKEY hKey, std::shared_ptr<KeyObject> *held, Hive *hive, const RegKey **key) {
    KeyHandle *h;
    if (LONG rc = gethandle(hKey, held, &h)) return rc;
    if (!(h->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (LONG rc = loadhive(h->file, hive)) return rc;
    return handlekey(*hive, h, key);
}

} // namespace

unsigned long nt::hivereads() { return reads; }

/***********************************************************************
 * RegConnectRegistryA
 *
 * Opens HKEY_LOCAL_MACHINE of a computer of the network.
 *   lpMachineName [I] computer, with or without leading "\\"; NULL, "" or the
 *                     local name give the local computer
 *   hKey          [I] HKEY_LOCAL_MACHINE (or HKEY_CURRENT_USER, local only)
 *   phkResult     [O] handle to close with RegCloseKey
 * RETURNS 0; ERROR_BAD_NETPATH (53) for a computer the network does not have;
 * ERROR_INVALID_HANDLE for another root; ERROR_INVALID_PARAMETER for a null
 * phkResult. *phkResult is untouched on failure.
 */
LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
    std::string folder;
    bool local = nt::islocal(lpMachineName);
    if (!local && !nt::computerfolder(lpMachineName, &folder)) return ERROR_BAD_NETPATH;
    if (hKey != HKEY_LOCAL_MACHINE && !(local && hKey == HKEY_CURRENT_USER)) return ERROR_INVALID_HANDLE;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    KeyHandle h;
    if (local) {
        h = rootof(hKey == HKEY_LOCAL_MACHINE);
    } else {
        h.file = nt::hivefile(folder, MachineRoot);
        h.machine = true;
        h.access = KEY_ALL_ACCESS;
    }
    *phkResult = newhandle(std::move(h));
    return ERROR_SUCCESS;
}

/***********************************************************************
 * RegOpenKeyExA
 *
 * Opens an existing key.
 *   hKey       [I] open key or predefined root
 *   lpSubKey   [I] path below hKey; NULL or "" opens hKey's key again
 *   ulOptions  [I] ignored
 *   samDesired [I] access of the new handle, checked by the value calls
 *   phkResult  [O] new handle, set to NULL on every failure
 * RETURNS 0; ERROR_FILE_NOT_FOUND (2) when any component is missing;
 * ERROR_BAD_PATHNAME (161) for a leading backslash; ERROR_INVALID_HANDLE;
 * ERROR_KEY_DELETED; ERROR_INVALID_PARAMETER for a null phkResult.
 */
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<KeyObject> held;
    KeyHandle *h;
    if (LONG rc = gethandle(hKey, &held, &h)) return rc;
    if (lpSubKey && lpSubKey[0] == '\\') return ERROR_BAD_PATHNAME;
    Hive hive;
    if (LONG rc = loadhive(h->file, &hive)) return rc;
    const RegKey *own;
    if (LONG rc = handlekey(hive, h, &own)) return rc;
    KeyHandle opened;
    if (!walk(hive, h, own, lpSubKey, &opened)) return ERROR_FILE_NOT_FOUND;
    opened.access = samDesired;
    *phkResult = newhandle(std::move(opened));
    return ERROR_SUCCESS;
}

/***********************************************************************
 * RegCreateKeyExA
 *
 * Opens a key, creating it and every missing parent first. The access asked
 * for describes only the returned handle: a key opened with KEY_READ is still
 * created.
 *   hKey            [I] open key or predefined root
 *   lpSubKey        [I] path below hKey
 *   Reserved        [I] must be 0
 *   lpClass, dwOptions, lpSecurityAttributes [I] ignored
 *   samDesired      [I] access of the new handle
 *   phkResult       [O] new handle; untouched on failure
 *   lpdwDisposition [O] REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY
 * RETURNS 0; ERROR_BADKEY for a null phkResult; ERROR_INVALID_PARAMETER for a
 * nonzero Reserved, a name component over 255 characters or deeper than 512
 * levels; ERROR_BAD_PATHNAME (161); ERROR_INVALID_HANDLE; ERROR_KEY_DELETED;
 * the hive file's errors.
 */
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (!phkResult) return ERROR_BADKEY;
    if (Reserved) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> held;
    KeyHandle *handle;
    if (LONG rc = gethandle(hKey, &held, &handle)) return rc;
    KeyHandle &h = *handle;
    if (lpSubKey && lpSubKey[0] == '\\') return ERROR_BAD_PATHNAME;
    std::vector<std::string> ansisub = splitsub(lpSubKey);
    for (const std::string &part : ansisub)
        if (part.size() > MaxKeyName || !storablename(part)) return ERROR_INVALID_PARAMETER;
    if (partsof(h.path).size() + ansisub.size() > nt::MaxKeyDepth) return ERROR_INVALID_PARAMETER;
    std::vector<std::string> sub = modelpath(ansisub);

    std::vector<std::string> path;
    bool created = false;
    // An existing key is opened without taking the hive's lock.
    Hive current;
    const RegKey *own;
    LONG rc = loadhive(h.file, &current);
    if (rc) return rc;
    KeyHandle opened;
    if (handlekey(current, &h, &own) == ERROR_SUCCESS && walk(current, &h, own, lpSubKey, &opened)) {
        opened.access = samDesired;
        *phkResult = newhandle(std::move(opened));
        if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    rc = modifyhive(h.file, [&](RegKey *top, bool *changed) -> LONG {
        if (!ownkey(top, h)) return ERROR_KEY_DELETED;
        RegKey *key = rootkey(*top, h.machine);
        path = fullpath(key, h, sub);
        for (std::string &part : path) {
            bool made = false;
            key = key->addsubkey(part, &made);
            created = created || made;
            part = key->name();
        }
        *changed = created;
        return ERROR_SUCCESS;
    });
    if (rc) return rc;
    opened = KeyHandle{h.file, h.machine, joined(path), samDesired, false};
    *phkResult = newhandle(std::move(opened));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

/***********************************************************************
 * RegQueryValueExA
 *
 * Reads a value's type and data, byte for byte as stored.
 *   hKey        [I] key opened with KEY_QUERY_VALUE
 *   lpValueName [I] value name; NULL or "" is the default value
 *   lpReserved  [I] must be NULL
 *   lpType      [O] type (optional); set on success and with ERROR_MORE_DATA
 *   lpData      [O] data (optional); a string value stored without a NUL
 *                   gets one after the data when the buffer has room
 *   lpcbData    [IO] buffer size in, data size out (the added NUL not counted)
 * RETURNS 0; ERROR_MORE_DATA (234) with the needed size and lpData untouched;
 * ERROR_FILE_NOT_FOUND (2) for a missing value, *lpcbData then untouched
 * unless lpData is NULL (set to 0); ERROR_ACCESS_DENIED (5) without
 * KEY_QUERY_VALUE; ERROR_INVALID_PARAMETER for lpData without lpcbData or a
 * non-NULL lpReserved; ERROR_INVALID_HANDLE; ERROR_KEY_DELETED.
 */
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> held;
    Hive hive;
    const RegKey *key;
    if (LONG rc = querykey(hKey, &held, &hive, &key)) return rc;
    DWORD type;
    std::string data;
    if (!readvalue(*key, lpValueName, &type, &data)) {
        if (!lpData && lpcbData) *lpcbData = 0;
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType) *lpType = type;
    DWORD size = (DWORD)data.size();
    LONG rc = ERROR_SUCCESS;
    if (lpData) {
        if (size > *lpcbData)
            rc = ERROR_MORE_DATA;
        else
            copydata(type, data, lpData, *lpcbData);
    }
    if (lpcbData) *lpcbData = size;
    return rc;
}

/***********************************************************************
 * RegSetValueExA
 *
 * Creates or replaces a value; a name matching an existing one without regard
 * to case keeps the existing spelling.
 *   hKey        [I] key opened with KEY_SET_VALUE
 *   lpValueName [I] value name; NULL or "" is the default value
 *   Reserved    [I] ignored
 *   dwType      [I] any type; the data is not checked against it
 *   lpData      [I] data
 *   cbData      [I] data size. For a string type whose last counted byte is
 *                   not NUL while the byte after it is, the NUL is stored too
 *                   (one byte past cbData is read), as NT does.
 * RETURNS 0; ERROR_ACCESS_DENIED (5) without KEY_SET_VALUE; ERROR_NOACCESS for
 * NULL data with a nonzero size; ERROR_INVALID_PARAMETER for a name over
 * 16,383 characters or with a line feed; ERROR_INVALID_HANDLE;
 * ERROR_KEY_DELETED; ERROR_FILE_TOO_LARGE (223) when the hive would grow past
 * what can be read back; the hive file's errors (ERROR_ACCESS_DENIED also for
 * a hive or registry folder that is a link).
 */
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData) {
    (void)Reserved;
    if (!lpData && cbData) return ERROR_NOACCESS;
    if (cbData && isstringtype(dwType) && lpData[cbData - 1] && !lpData[cbData]) ++cbData;
    std::shared_ptr<KeyObject> held;
    KeyHandle *handle;
    if (LONG rc = gethandle(hKey, &held, &handle)) return rc;
    const KeyHandle &h = *handle;
    if (!(h.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::string name = lpValueName ? lpValueName : "";
    if (name.size() > MaxValueName || !storablename(name)) return ERROR_INVALID_PARAMETER;
    name = nt::ansitoutf8(name);
    std::string data(lpData ? (const char *)lpData : "", cbData);
    return modifyhive(h.file, [&](RegKey *top, bool *changed) -> LONG {
        RegKey *own = ownkey(top, h);
        if (!own) return ERROR_KEY_DELETED;
        own->setvalue(name, dwType, std::move(data));
        *changed = true;
        return ERROR_SUCCESS;
    });
}

/***********************************************************************
 * RegEnumValueA
 *
 * Reads the value at a position of the key's list (creation order).
 *   hKey           [I] key opened with KEY_QUERY_VALUE
 *   dwIndex        [I] position, from 0
 *   lpValueName    [O] name with its NUL
 *   lpcchValueName [IO] name buffer size in characters; name length out
 *   lpReserved     [I] must be NULL
 *   lpType         [O] type (optional)
 *   lpData         [O] data (optional), as RegQueryValueExA gives it
 *   lpcbData       [IO] data buffer size in, data size out (optional)
 * RETURNS 0; ERROR_NO_MORE_ITEMS (259) past the last value, every output
 * untouched; ERROR_MORE_DATA (234) when the name does not fit (name and
 * *lpcchValueName untouched, type and data size still reported) or the data
 * does not fit (the name then untouched too); ERROR_ACCESS_DENIED (5);
 * ERROR_INVALID_PARAMETER; ERROR_INVALID_HANDLE; ERROR_KEY_DELETED.
 */
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> held;
    Hive hive;
    const RegKey *key;
    if (LONG rc = querykey(hKey, &held, &hive, &key)) return rc;
    if (dwIndex >= key->values().size()) return ERROR_NO_MORE_ITEMS;
    const RegValue &v = key->values()[dwIndex];
    std::string name = nt::utf8toansi(v.name);
    DWORD size = (DWORD)v.data.size();
    LONG rc = ERROR_SUCCESS;
    if (lpData && size > *lpcbData)
        rc = ERROR_MORE_DATA;
    else if (name.size() >= *lpcchValueName)
        rc = ERROR_MORE_DATA;
    else {
        if (lpData) copydata(v.type, v.data, lpData, *lpcbData);
        std::memcpy(lpValueName, name.c_str(), name.size() + 1);
        *lpcchValueName = (DWORD)name.size();
    }
    if (lpType) *lpType = v.type;
    if (lpcbData) *lpcbData = size;
    return rc;
}

/***********************************************************************
 * RegDeleteKeyA
 *
 * Deletes a key that has no subkeys, with its values.
 *   hKey     [I] open key or predefined root
 *   lpSubKey [I] path below hKey; "" deletes hKey's own key (the handle then
 *                needs DELETE access)
 * RETURNS 0; ERROR_ACCESS_DENIED (5) when the key has subkeys, is a root, or
 * the handle lacks DELETE for ""; ERROR_FILE_NOT_FOUND (2) when any component
 * is missing; ERROR_BAD_PATHNAME (161); ERROR_INVALID_PARAMETER for a NULL
 * path; ERROR_INVALID_HANDLE; ERROR_KEY_DELETED; the hive file's errors.
 * Handles of this process on the deleted key give ERROR_KEY_DELETED after.
 */
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> held;
    KeyHandle *handle;
    if (LONG rc = gethandle(hKey, &held, &handle)) return rc;
    const KeyHandle h = *handle;
    if (lpSubKey[0] == '\\') return ERROR_BAD_PATHNAME;
    std::vector<std::string> sub = modelpath(splitsub(lpSubKey));
    if (sub.empty() && !(h.access & DELETE)) return ERROR_ACCESS_DENIED;
    std::vector<std::string> path;
    LONG rc = modifyhive(h.file, [&](RegKey *top, bool *changed) -> LONG {
        if (!ownkey(top, h)) return ERROR_KEY_DELETED;
        RegKey *root = rootkey(*top, h.machine);
        path = fullpath(root, h, sub);
        if (path.empty()) return ERROR_ACCESS_DENIED;
        RegKey *parent = findkey(root, std::vector<std::string>(path.begin(), path.end() - 1));
        RegKey *key = parent ? parent->subkey(path.back()) : nullptr;
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (!key->subkeys().empty()) return ERROR_ACCESS_DENIED;
        parent->removesubkey(path.back());
        *changed = true;
        return ERROR_SUCCESS;
    });
    if (rc) return rc;
    nt::eachobject(nt::ObjectType::RegistryKey, [&](nt::KernelObject &obj) {
        KeyHandle &open = static_cast<KeyObject &>(obj).key;
        if (open.file == h.file && open.machine == h.machine && samepath(partsof(open.path), path)) open.deleted = true;
    });
    return ERROR_SUCCESS;
}

/***********************************************************************
 * RegCloseKey
 *
 * Closes a handle.
 * RETURNS 0, also for a predefined root; ERROR_INVALID_HANDLE (6) for
 * anything else.
 */
LONG RegCloseKey(HKEY hKey) {
    if (ispredefined(hKey)) return ERROR_SUCCESS;
    return nt::removehandle((HANDLE)hKey, nt::ObjectType::RegistryKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
