// regfile.h: the registry's model: a key tree and its text files.
//
// A key holds its values in creation order and its subkeys in creation order.
// Key and value names compare with nameeq (the registry's code page 1252
// case fold) and keep the spelling they were created with. Value data is
// held as the "A" functions see it: 8-bit ANSI bytes for string types.
//
// Files are regedit exports. parseregfile reads "REGEDIT4" files (8-bit ANSI)
// and "Windows Registry Editor Version 5.00" files (UTF-16LE with byte-order
// mark, or UTF-8); writeregfile writes "REGEDIT4" with CR LF line ends. The
// top level of the tree holds the roots named in the sections
// ([HKEY_LOCAL_MACHINE\...]), so a file mixing several roots keeps them all.
// Nothing here calls a Win32 function; registry.cpp puts the Reg...A calls on
// top of it.
#ifndef QUILLOG_POSIX_REGFILE_H
#define QUILLOG_POSIX_REGFILE_H

#include "platform/win32.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The code for a registry file that cannot be read ("The registry is
// corrupted."). Only the emulation gives it, so the logic's header lacks it.
#ifndef ERROR_REGISTRY_CORRUPT
#define ERROR_REGISTRY_CORRUPT 1015L
#endif

namespace nt {

// Deepest key below a root, counting the root's own subkeys as level 1. The
// parser refuses deeper sections and the registry refuses to create deeper
// keys, so every tree that is written can be read back.
constexpr size_t MAXKEYDEPTH = 512;

// Largest registry file read (bytes on disk).
constexpr size_t MAXREGFILE = 256u << 20;

struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;

    bool operator==(const RegValue &o) const { return name == o.name && type == o.type && data == o.data; }
};

class RegKey {
public:
    explicit RegKey(std::string name = "") : name_(std::move(name)) {}
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;

    const std::string &name() const { return name_; }

    // The subkey of that name (compared with nameeq), or null.
    RegKey *subkey(const std::string &name) const;
    // The subkey of that name, created with this spelling when missing;
    // *created (when given) tells which.
    RegKey *addsubkey(const std::string &name, bool *created = nullptr);
    // Removes a subkey with everything below it; false when there is none.
    bool removesubkey(const std::string &name);
    const std::vector<std::unique_ptr<RegKey>> &subkeys() const { return subkeys_; }

    // The value of that name ("" is the default value), or null.
    const RegValue *value(const std::string &name) const;
    // Creates the value (at the end of the list) or replaces its type and
    // data, keeping the name's first spelling and its place.
    void setvalue(const std::string &name, DWORD type, std::string data);
    bool removevalue(const std::string &name);
    const std::vector<RegValue> &values() const { return values_; }

    // Same names (exact spelling), values, subkeys, in the same order.
    bool operator==(const RegKey &o) const;
    bool operator!=(const RegKey &o) const { return !(*this == o); }

private:
    std::string name_;
    std::vector<RegValue> values_;
    std::vector<std::unique_ptr<RegKey>> subkeys_;
    // Subkeys by folded name, so that wide keys (a Services key with hundreds
    // of entries) are found without a scan.
    std::unordered_map<std::string, RegKey *> index_;
};

// Where and why a file was refused.
struct RegFileError {
    size_t line = 0; // 1-based line of the text; 0 when the file as a whole is bad
    std::string what;
};

// Parses a registry file's bytes into *top (which must be empty): its subkeys
// become the roots of the file's sections. An empty file gives an empty tree.
// Returns 0, or ERROR_REGISTRY_CORRUPT with *err (when given) filled; *top is
// then unspecified. `[-path]` sections delete that key and everything below
// it; `"name"=-` deletes a value.
DWORD parseregfile(const std::string &bytes, RegKey *top, RegFileError *err = nullptr);

// The "REGEDIT4" text of a tree whose subkeys are roots. A key gets a section
// line when it has values or no subkeys (an empty leaf), so the text grows
// with the tree and not with its depth times its size, and every key comes
// back in its place; REG_SZ data that is exactly one
// terminated line of text is written as "text", a 4-byte REG_DWORD as dword:,
// everything else as hex: (REG_BINARY) or hex(N): with the bytes as stored,
// so parseregfile(writeregfile(t)) equals t for every type and content.
std::string writeregfile(const RegKey &top);

} // namespace nt

#endif // QUILLOG_POSIX_REGFILE_H
