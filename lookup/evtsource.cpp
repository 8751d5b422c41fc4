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

#include "config/options.h"
#include "run/msgout.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

const size_t PATH_SIZE = 1040; // key path, value data, a component, a network path
const char SYSTEMROOT_VARIABLE[] = "%SYSTEMROOT%";
const size_t SYSTEMROOT_LENGTH = sizeof SYSTEMROOT_VARIABLE - 1;

PtrList SourceCache; // CEvtSource*, newest first
PtrList ModuleCache; // MessageModule*, newest first

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

// True when text starts with "%SYSTEMROOT%" in any ASCII letter case.
bool startssystemroot(const char *text) {
    for (size_t i = 0; i < SYSTEMROOT_LENGTH; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        if (c != SYSTEMROOT_VARIABLE[i]) return false;
    }
    return true;
}

// Adds the module of one complete component to the entry: the component
// itself on the local computer, its administrative-share path on a remote
// one.
void addmodule(CEvtSource *entry, const char *component, size_t length) {
    if (length >= PATH_SIZE) internalerror("CEvtSource::Find", 2);
    const char *path = component;
    char network[PATH_SIZE];
    if (Options.Computer) {
        const char *rest = length >= 3 ? component + 2 : "";
        int n = length == 0 ? snprintf(network, sizeof network, "\\\\%s\\", Options.Computer)
                            : snprintf(network, sizeof network, "\\\\%s\\%c$%s", Options.Computer, component[0], rest);
        if (n < 0 || (size_t)n >= PATH_SIZE) internalerror("CEvtSource::Find", 3);
        path = network;
    }
    entry->Modules.Push(MessageModule::Find(path));
}

// Splits the registry value into module paths and adds a module for each,
// in order, so the one named last ends up first in the entry's list.
void parsevalue(CEvtSource *entry, const char *value) {
    char component[PATH_SIZE];
    size_t length = 0; // may exceed the buffer; only what fits is stored
    auto append = [&](const char *text, size_t n) {
        for (size_t k = 0; k < n; ++k, ++length)
            if (length < PATH_SIZE - 1) component[length] = text[k];
    };
    size_t total = strlen(value);
    for (size_t i = 0;; ++i) {
        char c = value[i];
        if (c == '%') {
            if (total - i < SYSTEMROOT_LENGTH + 1 || !startssystemroot(value + i)) {
                msgout("==>unable to resolve environment variable, sz=%s\n", value);
                return;
            }
            append(Options.SystemRoot, strlen(Options.SystemRoot));
            i += SYSTEMROOT_LENGTH - 1;
        } else if (c == ';' || c == '\0') {
            component[length < PATH_SIZE - 1 ? length : PATH_SIZE - 1] = '\0';
            addmodule(entry, component, length);
            if (c == '\0') return;
            length = 0;
        } else {
            append(&c, 1);
        }
    }
}

// Reads the registry value that names the entry's message files into value
// (PATH_SIZE bytes). Reports what fails; every handle is closed on return.
bool readvalue(const CEvtSource *entry, char *value) {
    char keypath[PATH_SIZE];
    int n = snprintf(keypath, sizeof keypath, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s", Options.LogName,
                     entry->Name);
    if (n < 0 || (size_t)n >= PATH_SIZE) internalerror("CEvtSource::Find", 1);
    HKEY root = HKEY_LOCAL_MACHINE, remote = nullptr, key = nullptr;
    if (Options.Computer) {
        LONG rc = RegConnectRegistryA(Options.Computer, HKEY_LOCAL_MACHINE, &remote);
        if (rc != ERROR_SUCCESS) {
            msgout("==>RegConnectKeyEx rc=%ld source=%s key=%s\n", (long)rc, entry->Name, keypath);
            return false;
        }
        root = remote;
    }
    LONG rc = RegOpenKeyExA(root, keypath, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        msgout("==>RegOpenKeyEx rc=%ld source=%s key=%s\n", (long)rc, entry->Name, keypath);
        if (remote) RegCloseKey(remote);
        return false;
    }
    const char *name = valuename(entry->Kind);
    bool ok = false;
    if (!name) {
        msgout("==>invalid module type\n");
    } else {
        DWORD size = PATH_SIZE - 1;
        rc = RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)value, &size);
        if (rc != ERROR_SUCCESS) {
            msgout("==>RegQueryValueEx rc=%ld source=%s type=%s\n", (long)rc, entry->Name, name);
        } else {
            // Data stored without a terminator is text of the returned length.
            value[size < PATH_SIZE ? size : PATH_SIZE - 1] = '\0';
            ok = true;
        }
    }
    RegCloseKey(key);
    if (remote) RegCloseKey(remote);
    return ok;
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

MessageModule *MessageModule::Find(const char *path) {
    ListCursor cursor = nullptr;
    while (MessageModule *m = (MessageModule *)ModuleCache.Next(cursor))
        if (lstrcmpiA(m->Path, path) == 0) return m;
    MessageModule *m = allocate<MessageModule>();
    ModuleCache.Push(m);
    m->Path = copytext(path);
    m->Handle = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m->Handle) msgout("==>LoadLibrary rc=%lu library=%s\n", (unsigned long)GetLastError(), path);
    return m;
}

CEvtSource *CEvtSource::Find(const char *source, MessageKind kind) {
    ListCursor cursor = nullptr;
    while (CEvtSource *e = (CEvtSource *)SourceCache.Next(cursor))
        if (e->Kind == kind && lstrcmpiA(e->Name, source) == 0) return e;
    CEvtSource *entry = allocate<CEvtSource>();
    SourceCache.Push(entry);
    entry->Name = copytext(source);
    entry->Kind = kind;
    char value[PATH_SIZE];
    if (readvalue(entry, value)) parsevalue(entry, value);
    return entry;
}

HMODULE CEvtSource::NextModule(ListCursor &cursor) const {
    while (const MessageModule *m = (const MessageModule *)Modules.Next(cursor))
        if (m->Handle) return m->Handle;
    return nullptr;
}

bool CEvtSource::IsFailed(DWORD id) const {
    ListCursor cursor = nullptr;
    while (const DWORD *failed = (const DWORD *)FailedIds.Next(cursor))
        if (*failed == id) return true;
    return false;
}

void CEvtSource::AddFailed(DWORD id, DWORD rc) {
    DWORD *cell = allocate<DWORD>();
    *cell = id;
    FailedIds.Push(cell);
    msgout("==>Format message error, source=%s type=%s msg=%lu rc=%lu\n", Name, kindname(Kind),
           (unsigned long)(id & 0xFFFF), (unsigned long)rc);
}
