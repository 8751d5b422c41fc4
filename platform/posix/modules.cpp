// modules.cpp: LoadLibraryExA with LOAD_LIBRARY_AS_DATAFILE, and FreeLibrary.
//
// Only data-file loads exist here: no code of a module ever runs. The name is
// treated as Windows treats it (trailing blanks dropped, ".dll" appended when
// the last component has no extension, a trailing dot meaning "no
// extension"), then mapped to a host file through the NT network. A missing
// file or folder gives ERROR_FILE_NOT_FOUND, as data-file loads report on
// Windows; a folder, a FIFO or a device gives ERROR_ACCESS_DENIED; a file
// larger than MaxModuleFile ERROR_FILE_TOO_LARGE; an empty file
// ERROR_FILE_INVALID; a file without a PE header ERROR_BAD_EXE_FORMAT.
#include "platform/posix/modules.h"

#include "platform/posix/common.h"
#include "platform/posix/msgtable.h"
#include "platform/posix/paths.h"

#include <map>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

namespace {

// How many messages a module keeps decoded; enough for any real module, and
// a bound on the memory a hostile one can take.
const size_t MaxKeptMessages = 4096;

// The largest module file read: a module is held whole in memory, and message
// DLLs are a few hundred kilobytes (the largest system ones a few megabytes).
const size_t MaxModuleFile = 64u << 20;

struct Module {
    std::string image;
    // The file the image was read from, and how many loads share it.
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
    unsigned long refs = 1;
    // The message tables found so far, per language request.
    std::vector<std::pair<WORD, nt::TableRef>> tables;
    // Messages found so far, decoded, by language request and id: a log
    // asks for the same few hundred again and again.
    std::unordered_map<uint64_t, nt::MessageText> messages;
};

std::set<const Module *> &livemodules() {
    static std::set<const Module *> live;
    return live;
}

// The loaded modules by the device and inode of their file.
std::map<std::pair<dev_t, ino_t>, Module *> &modulesbyfile() {
    static std::map<std::pair<dev_t, ino_t>, Module *> byfile;
    return byfile;
}

unsigned long loads = 0;

// The file name as the loader looks it up.
std::string loadername(const char *name) {
    std::string path(name);
    while (!path.empty() && path.back() == ' ') path.pop_back();
    if (path.empty()) return path;
    size_t last = path.find_last_of("\\/");
    std::string base = last == std::string::npos ? path : path.substr(last + 1);
    if (!base.empty() && base.back() == '.')
        path.pop_back();
    else if (!base.empty() && base.find('.') == std::string::npos)
        path += ".dll";
    return path;
}

} // namespace

namespace nt {

const std::string *moduleimage(HMODULE module) {
    const Module *m = reinterpret_cast<const Module *>(module);
    return livemodules().count(m) ? &m->image : nullptr;
}

unsigned long moduleloads() { return loads; }

DWORD modulemessage(HMODULE module, DWORD id, WORD lang, MessageText *scratch, const MessageText **text) {
    Module *m = reinterpret_cast<Module *>(module);
    if (!livemodules().count(m)) return ERROR_INVALID_HANDLE;
    const uint64_t key = ((uint64_t)lang << 32) | id;
    auto kept = m->messages.find(key);
    if (kept != m->messages.end()) {
        *text = &kept->second;
        return ERROR_SUCCESS;
    }
    const TableRef *table = nullptr;
    for (const auto &t : m->tables)
        if (t.first == lang) table = &t.second;
    if (!table) {
        m->tables.emplace_back(lang, locatetable(m->image, lang));
        table = &m->tables.back().second;
    }
    DWORD rc = readmessagein(m->image, *table, id, scratch);
    *text = scratch;
    if (rc == ERROR_SUCCESS && m->messages.size() < MaxKeptMessages)
        *text = &m->messages.emplace(key, *scratch).first->second;
    return rc;
}

} // namespace nt

/***********************************************************************
 * LoadLibraryExA
 *
 * Loads a module file as data, for its resources.
 *   lpLibFileName [I] path of the module file
 *   hFile         [I] reserved, must be NULL
 *   dwFlags       [I] must contain LOAD_LIBRARY_AS_DATAFILE
 * RETURNS the module handle (the same one for every load of the same file
 * while it is loaded and unchanged), or NULL with the last error:
 * ERROR_INVALID_PARAMETER (87) for a null or empty name, a file handle or a
 * load without LOAD_LIBRARY_AS_DATAFILE; ERROR_FILE_NOT_FOUND (2) for a
 * missing file or folder; ERROR_ACCESS_DENIED (5) for a folder, an unreadable
 * file or one that is not a regular file; ERROR_FILE_TOO_LARGE (223) for a
 * file over 64 MiB; ERROR_FILE_INVALID (1006) for an empty file;
 * ERROR_BAD_EXE_FORMAT (193) for a file that is not a PE module; the path
 * errors of the network (53, 67, 123, 206).
 */
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (!lpLibFileName || !*lpLibFileName || hFile || !(dwFlags & LOAD_LIBRARY_AS_DATAFILE))
        return nt::failwith(ERROR_INVALID_PARAMETER, (HMODULE) nullptr);
    ++loads;
    std::string name = loadername(lpLibFileName);
    if (name.empty()) return nt::failwith(ERROR_FILE_NOT_FOUND, (HMODULE) nullptr);
    std::string host;
    DWORD rc = nt::hostpath(name.c_str(), &host);
    if (rc) return nt::failwith(rc == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : rc, (HMODULE) nullptr);
    // A file named several ways (letter case, links, other paths) is one
    // module: it is read once, whatever the number of spellings.
    struct stat st;
    const bool known = stat(host.c_str(), &st) == 0;
    if (known) {
        auto it = modulesbyfile().find({st.st_dev, st.st_ino});
        Module *live = it == modulesbyfile().end() ? nullptr : it->second;
        if (live && live->size == st.st_size && live->mtime.tv_sec == st.st_mtim.tv_sec &&
            live->mtime.tv_nsec == st.st_mtim.tv_nsec) {
            ++live->refs;
            return reinterpret_cast<HMODULE>(live);
        }
    }
    Module *m = new Module;
    rc = nt::readwhole(host, &m->image, MaxModuleFile);
    if (rc == ERROR_SUCCESS) rc = nt::checkimage(m->image);
    if (rc) {
        delete m;
        return nt::failwith(rc == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : rc, (HMODULE) nullptr);
    }
    if (known) {
        m->dev = st.st_dev;
        m->ino = st.st_ino;
        m->size = st.st_size;
        m->mtime = st.st_mtim;
        modulesbyfile()[{m->dev, m->ino}] = m;
    }
    livemodules().insert(m);
    return reinterpret_cast<HMODULE>(m);
}

/***********************************************************************
 * FreeLibrary
 *
 * Releases a module that LoadLibraryExA loaded; a module loaded several times
 * goes with its last release.
 * RETURNS TRUE, or FALSE with ERROR_INVALID_HANDLE (6) for a handle that is
 * not a loaded module.
 */
BOOL FreeLibrary(HMODULE hLibModule) {
    Module *m = reinterpret_cast<Module *>(hLibModule);
    if (!livemodules().count(m)) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (--m->refs == 0) {
        livemodules().erase(m);
        auto it = modulesbyfile().find({m->dev, m->ino});
        if (it != modulesbyfile().end() && it->second == m) modulesbyfile().erase(it);
        delete m;
    }
    return TRUE;
}
