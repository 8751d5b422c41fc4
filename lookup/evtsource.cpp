// evtsource.cpp: PtrList, MessageModule, CEvtSource and their caches.
//
// The registry value of a source names its message files separated by ";".
// The only variable expanded is "%SYSTEMROOT%" (any letter case), replaced by
// the target computer's system root; any other "%" stops the parsing with a
// message, keeping the files named before it. For a remote computer each
// path "X:\rest" is reached through the computer's administrative share,
// "\\computer\X$\rest". Every handle opened for a lookup is closed before
// CEvtSource::Find returns, before any file is loaded.
#include "lookup/evtsource.h"

#include "config/ascii.h"
#include "config/machinekey.h"
#include "config/options.h"
#include "console/console.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

namespace {

const size_t PathSize = 1040; // key path, value data, a component, a network path
const char SystemRootVariable[] = "%SYSTEMROOT%";
const size_t SystemRootLength = sizeof SystemRootVariable - 1;

PtrList SourceCache; // CEvtSource*, newest first
PtrList ModuleCache; // MessageModule*, newest first

// The names a cache was asked for, by their exact spelling and a kind: a
// lookup of a name seen before costs a hash and a comparison, however many
// entries the cache holds, and takes no memory.
class SpellingIndex {
public:
    void *find(int kind, const char *name) const {
        auto range = map_.equal_range(hash(kind, name));
        for (auto it = range.first; it != range.second; ++it)
            if (it->second.kind == kind && strcmp(it->second.name.c_str(), name) == 0) return it->second.value;
        return nullptr;
    }
    void add(int kind, const char *name, void *value) { map_.emplace(hash(kind, name), Entry{kind, name, value}); }

private:
    struct Entry {
        int kind;
        std::string name;
        void *value;
    };
    // FNV-1a over the kind and the bytes of the name.
    static uint64_t hash(int kind, const char *name) {
        uint64_t h = 14695981039346656037ull ^ (uint64_t)(uint32_t)kind;
        for (const unsigned char *p = (const unsigned char *)name; *p; ++p) h = (h ^ *p) * 1099511628211ull;
        return h;
    }
    std::unordered_multimap<uint64_t, Entry> map_;
};

// The entries of a cache by the locale's sort key of their name and their
// kind: names that the comparison of the caches (lstrcmpiA) takes as equal
// have one key, so a name never seen in this spelling is found among
// thousands of entries without a walk over them.
class SortKeyIndex {
public:
    void *find(int kind, const char *name, std::string *key) const {
        *key = sortkey(kind, name);
        auto it = map_.find(*key);
        return it == map_.end() ? nullptr : it->second;
    }
    void add(const std::string &key, void *value) { map_.emplace(key, value); }

private:
    // The kind, then the key LCMapStringA makes; should that fail, the name
    // itself under another first byte (a name is then found by its exact
    // spelling only). A key takes at most five bytes a character and four
    // more: the key of a name of up to KeyedName characters is made in one
    // call, of a longer one after a call for its size.
    static std::string sortkey(int kind, const char *name) {
        const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
        std::string key(1, (char)kind);
        const size_t KeyedName = 200;
        char made[5 * KeyedName + 4];
        if (*name && strlen(name) <= KeyedName) {
            int size = LCMapStringA(LOCALE_USER_DEFAULT, flags, name, -1, made, (int)sizeof made);
            if (size > 0) return key.append(made, (size_t)size);
        }
        int size = *name ? LCMapStringA(LOCALE_USER_DEFAULT, flags, name, -1, nullptr, 0) : 0;
        if (size > 0) {
            key.resize(1 + (size_t)size);
            if (LCMapStringA(LOCALE_USER_DEFAULT, flags, name, -1, &key[1], size) == size) return key;
        }
        return std::string(1, (char)(kind + 16)) + name;
    }
    std::unordered_map<std::string, void *> map_;
};

// Kept until the process ends, as the entries they index are: taking
// thousands of them apart at the exit is time for nothing.
SpellingIndex &SourceSpellings = *new SpellingIndex, &ModuleSpellings = *new SpellingIndex;
SortKeyIndex &SourceKeys = *new SortKeyIndex, &ModuleKeys = *new SortKeyIndex;

// Allocation failures end the run: a cache that cannot grow cannot keep its
// promise of reporting each failure once.
template <class T> T *allocate(size_t count = 1) {
    T *p = new (std::nothrow) T[count]();
    if (!p) {
        msgout("==>out of memory\n");
        fatalexit();
    }
    return p;
}

char *copytext(const char *text) {
    size_t n = strlen(text);
    char *copy = allocate<char>(n + 1);
    memcpy(copy, text, n + 1);
    return copy;
}

const char *valuename(MessageKind kind) {
    switch (kind) {
    case MessageKind::Message: return "EventMessageFile";
    case MessageKind::Category: return "CategoryMessageFile";
    case MessageKind::Parameter: return "ParameterMessageFile";
    }
    return nullptr;
}

const char *kindname(MessageKind kind) {
    switch (kind) {
    case MessageKind::Message: return "Message";
    case MessageKind::Category: return "Category";
    case MessageKind::Parameter: return "Parameter";
    }
    return "?";
}

// Adds the module of one complete component to the entry: the component
// itself on the local computer, its administrative-share path on a remote
// one. A path that does not fit the working area (a registry value can make
// one, through %SYSTEMROOT% or a long remote name) is a module that cannot be
// loaded: reported, once for the source and kind, and left out.
void addmodule(CEvtSource *entry, const char *component, size_t length) {
    const char *path = component;
    char network[PathSize];
    int n = 0;
    if (length < PathSize && Options.Computer) {
        const char *rest = length >= 3 ? component + 2 : "";
        n = length == 0 ? snprintf(network, sizeof network, "\\\\%s\\", Options.Computer)
                        : snprintf(network, sizeof network, "\\\\%s\\%c$%s", Options.Computer, component[0], rest);
        path = network;
    }
    if (length >= PathSize || n < 0 || (size_t)n >= PathSize) {
        msgout("==>LoadLibrary rc=%lu library=%s\n", (unsigned long)ERROR_FILENAME_EXCED_RANGE, printable(path));
        return;
    }
    entry->Modules.Push(MessageModule::Find(path));
}

// Splits the registry value into module paths and adds a module for each,
// in order, so the one named last ends up first in the entry's list.
void parsevalue(CEvtSource *entry, const char *value) {
    char component[PathSize];
    size_t length = 0; // may exceed the buffer; only what fits is stored
    auto append = [&](const char *text, size_t n) {
        for (size_t k = 0; k < n; ++k, ++length)
            if (length < PathSize - 1) component[length] = text[k];
    };
    size_t total = strlen(value);
    for (size_t i = 0;; ++i) {
        char c = value[i];
        if (c == '%') {
            if (total - i < SystemRootLength + 1 || !startsnocase(value + i, SystemRootVariable)) {
                msgout("==>unable to resolve environment variable, sz=%s\n", printable(value));
                return;
            }
            append(Options.SystemRoot, strlen(Options.SystemRoot));
            i += SystemRootLength - 1;
        } else if (c == ';' || c == '\0') {
            component[length < PathSize - 1 ? length : PathSize - 1] = '\0';
            addmodule(entry, component, length);
            if (c == '\0') return;
            length = 0;
        } else {
            append(&c, 1);
        }
    }
}

// Reads the registry value that names the entry's message files into value
// (PathSize bytes). Reports what fails; every handle is closed on return.
bool readvalue(const CEvtSource *entry, char *value) {
    // Put together in place: a formatted print costs more than the lookup.
    char keypath[PathSize];
    const char *parts[] = {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\", Options.LogName, "\\", entry->Name};
    size_t n = 0;
    for (const char *part : parts) {
        size_t length = strlen(part);
        if (length >= PathSize - n) internalerror("CEvtSource::Find", 1);
        memcpy(keypath + n, part, length);
        n += length;
    }
    keypath[n] = '\0';
    const char *name = valuename(entry->Kind);
    DWORD size = PathSize - 1;
    MachineKeyStep failed;
    LONG rc = readmachinevalue(Options.Computer, keypath, name, (LPBYTE)value, &size, &failed);
    switch (rc == ERROR_SUCCESS ? -1 : (int)failed) {
    case StepConnect:
        msgout("==>RegConnectKeyEx rc=%ld source=%s key=%s\n", (long)rc, printable(entry->Name), printable(keypath));
        return false;
    case StepOpen:
        msgout("==>RegOpenKeyEx rc=%ld source=%s key=%s\n", (long)rc, printable(entry->Name), printable(keypath));
        return false;
    case StepName: msgout("==>invalid module type\n"); return false;
    case StepQuery:
        msgout("==>RegQueryValueEx rc=%ld source=%s type=%s\n", (long)rc, printable(entry->Name), name);
        return false;
    }
    // Data stored without a terminator is text of the returned length.
    value[size < PathSize ? size : PathSize - 1] = '\0';
    return true;
}

} // namespace

void PtrList::Push(void *value) {
    PtrNode *node = allocate<PtrNode>();
    node->value = value;
    node->next = head;
    head = node;
}

void *PtrList::Next(ListCursor &cursor) const {
    cursor = cursor ? cursor->next : head;
    return cursor ? cursor->value : nullptr;
}

// Both caches find an entry through their indexes, which hold what a walk
// of the list from its newest entry with lstrcmpiA would find: a path or
// name that the comparison takes as equal to an entry's. A name seen before
// in the same spelling is found by that spelling; another spelling, by the
// sort key, and is remembered.
MessageModule *MessageModule::Find(const char *path) {
    if (MessageModule *m = (MessageModule *)ModuleSpellings.find(0, path)) return m;
    std::string key;
    MessageModule *m = (MessageModule *)ModuleKeys.find(0, path, &key);
    if (!m) {
        m = allocate<MessageModule>();
        ModuleCache.Push(m);
        ModuleKeys.add(key, m);
        m->Path = copytext(path);
        m->Handle = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!m->Handle) msgout("==>LoadLibrary rc=%lu library=%s\n", (unsigned long)GetLastError(), printable(path));
    }
    ModuleSpellings.add(0, path, m);
    return m;
}

CEvtSource *CEvtSource::Find(const char *source, MessageKind kind) {
    if (CEvtSource *e = (CEvtSource *)SourceSpellings.find((int)kind, source)) return e;
    std::string key;
    CEvtSource *entry = (CEvtSource *)SourceKeys.find((int)kind, source, &key);
    if (!entry) {
        entry = allocate<CEvtSource>();
        SourceCache.Push(entry);
        SourceKeys.add(key, entry);
        entry->Name = copytext(source);
        entry->Kind = kind;
        char value[PathSize];
        if (readvalue(entry, value)) parsevalue(entry, value);
    }
    SourceSpellings.add((int)kind, source, entry);
    return entry;
}

HMODULE CEvtSource::NextModule(ListCursor &cursor) const {
    while (const MessageModule *m = (const MessageModule *)Modules.Next(cursor))
        if (m->Handle) return m->Handle;
    return nullptr;
}

bool CEvtSource::IsFailed(DWORD id) const { return FailedIndex.count(id) != 0; }

void CEvtSource::AddFailed(DWORD id, DWORD rc) {
    DWORD *cell = allocate<DWORD>();
    *cell = id;
    FailedIds.Push(cell);
    FailedIndex.insert(id);
    msgout("==>Format message error, source=%s type=%s msg=%lu rc=%lu\n", printable(Name), kindname(Kind),
           (unsigned long)(id & 0xFFFF), (unsigned long)rc);
}
