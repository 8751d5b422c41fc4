// regfile.h: the registry's model: a key tree and its text files.
//
// A key holds its values in creation order and its subkeys in creation order.
// Names of keys and values are UTF-8 and lossless: a name read from a file
// keeps every character, also those that code page 1252 lacks. They compare
// without regard to case one code point at a time (foldname): a character of
// code page 1252 by the registry's 1252 fold, any other as it is, so two names
// that differ in characters outside 1252 are two names. A name keeps the
// spelling it was created with. Value data is held as the "A" functions see
// it: 8-bit ANSI bytes for string types. A value read from a file also keeps
// its data as the file wrote it (its form), and that is what a rewrite
// writes, so string data that 1252 cannot hold survives too; a value set
// through setvalue without a form is written from its data.
//
// Files are regedit exports. parseregfile reads "REGEDIT4" files (8-bit ANSI)
// and "Windows Registry Editor Version 5.00" files (UTF-16LE with byte-order
// mark, or UTF-8 with or without one) and reports the file's format;
// writeregfile writes a tree in a given format, so a file is rewritten in the
// version, encoding and line ends it was read in. The top level of the tree
// holds the roots named in the sections ([HKEY_LOCAL_MACHINE\...]), so a file
// mixing several roots keeps them all. Nothing here calls a Win32 function;
// registry.cpp puts the Reg...A calls on top of it.
#ifndef QUILLOG_POSIX_REGFILE_H
#define QUILLOG_POSIX_REGFILE_H

#include "platform/posix/ntapi.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nt {

// Deepest key below a root, counting the root's own subkeys as level 1. The
// parser refuses deeper sections and the registry refuses to create deeper
// keys, so every tree that is written can be read back.
constexpr size_t MaxKeyDepth = 512;

// Largest registry file read (bytes on disk).
constexpr size_t MaxRegFile = 256u << 20;

// A name's form for comparisons: the 1252 fold of every character of code
// page 1252, other characters unchanged.
std::string foldname(const std::string &name);

struct RegValue {
    std::string name; // UTF-8
    DWORD type = REG_NONE;
    std::string data; // as the "A" functions see it
    // The data as the file wrote it: the text after "name=", a continued
    // value's lines joined with '\n'. Empty for a value set through a call.
    std::string form;

    bool operator==(const RegValue &o) const {
        return name == o.name && type == o.type && data == o.data && form == o.form;
    }
};

// The text of a parsed file, which the keys read from it share.
struct RegText;

// Positions in a list of named entries by the hash of their folded names.
class NameIndex;

class RegKey {
public:
    explicit RegKey(std::string name = "");
    ~RegKey();
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;

    const std::string &name() const { return name_; }

    // The subkey of that name (compared by foldname), or null.
    RegKey *subkey(const std::string &name) const { return subkey(name.data(), name.size()); }
    RegKey *subkey(const char *name, size_t length) const;
    // The subkey of that name, created with this spelling when missing;
    // *created (when given) tells which.
    RegKey *addsubkey(const std::string &name, bool *created = nullptr) {
        return addsubkey(name.data(), name.size(), created);
    }
    RegKey *addsubkey(const char *name, size_t length, bool *created = nullptr);
    // Removes a subkey with everything below it; false when there is none.
    bool removesubkey(const std::string &name);
    const std::vector<std::unique_ptr<RegKey>> &subkeys() const;

    // The value of that name ("" is the default value), or null; the pointer
    // holds until the key changes or its values are next handed out.
    const RegValue *value(const std::string &name) const;
    // The type and data of the value of that name, as value() gives them;
    // false when there is none. A key read from a file answers from the
    // file's text, without keeping its values parsed (a hive of thousands of
    // keys is mostly asked for a value or two of a few).
    bool readvalue(const char *name, size_t length, DWORD *type, std::string *data) const;
    // Creates the value (at the end of the list) or replaces its type, data
    // and form, keeping the name's first spelling and its place.
    void setvalue(const std::string &name, DWORD type, std::string data, std::string form = "");
    bool removevalue(const std::string &name);
    const std::vector<RegValue> &values() const;
    // Calls each for every value, in order, as values() lists them; a key
    // whose values are still the file's text parses them for the call and
    // keeps nothing, so a whole tree is written in the memory of one key.
    void eachvalue(const std::function<void(const RegValue &)> &each) const;

    // Same names (exact spelling), values (forms included), subkeys, in the
    // same order.
    bool operator==(const RegKey &o) const;
    bool operator!=(const RegKey &o) const { return !(*this == o); }

private:
    friend class RegFileParser;
    struct More;

    // Small lists are searched one entry after the other; a large one has an
    // index (a Services key with hundreds of entries, a key of 80,000 values
    // cost no scan). A removal from an indexed list only empties its slot and
    // drops it from the index, and the list is compacted when next handed
    // out, so that removing many entries one after the other is not
    // quadratic. (Handing a list out may therefore change the key, and so
    // may reading a key's values the first time: a tree shared between
    // threads must be read by one at a time.)
    // The entry's position or -1; *hash receives the name's hash when the
    // list is indexed, for an insertion or removal to use.
    size_t findsubkey(const char *name, size_t length, uint32_t *hash) const;
    size_t findvalue(const char *name, size_t length, uint32_t *hash) const;
    NameIndex *keyindex() const;
    NameIndex *valueindex() const;
    More &more() const;
    void compact() const;
    // A key read from a file holds its values as the text's value lines
    // until they are asked for: loadvalues parses them into values_.
    void loadvalues() const;
    void setparsed(RegValue v);
    bool removeparsed(const std::string &name);

    static constexpr uint32_t NoSection = 0xFFFFFFFFu;

    std::string name_;
    mutable std::vector<RegValue> values_;
    mutable std::vector<std::unique_ptr<RegKey>> subkeys_;
    mutable std::unique_ptr<More> more_; // made when needed
    // While the values are not parsed: the text (which the top of the tree
    // keeps) and the offset of the line after the key's first section.
    mutable const RegText *text_ = nullptr;
    mutable uint32_t section_ = NoSection;
    mutable bool removals_ = false;
};

// How a registry file is written: header, character encoding, line ends.
enum class RegEncoding { Ansi, Utf8, Utf8Bom, Utf16 };

struct RegFormat {
    bool version5 = false; // "Windows Registry Editor Version 5.00", else "REGEDIT4"
    RegEncoding encoding = RegEncoding::Ansi;
    bool crlf = true; // CR LF line ends, else LF

    bool operator==(const RegFormat &o) const {
        return version5 == o.version5 && encoding == o.encoding && crlf == o.crlf;
    }
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
// it; `"name"=-` deletes a value. *format (when given) receives the file's
// format: version and encoding as read (a file without a byte-order mark is
// ANSI unless its header is version 5's, then UTF-8; a blank file is
// REGEDIT4 unless it has a byte-order mark, then version 5), line ends as
// its first line's.
// Every line is checked; the keys are built, their values kept as the text
// they were read from until asked for (the text is kept for that: an ANSI
// or UTF-8 file of ASCII text is the bytes themselves, moved in).
DWORD parseregfile(std::string bytes, RegKey *top, RegFileError *err = nullptr, RegFormat *format = nullptr);

// The text of a tree whose subkeys are roots, in the given format. A key gets
// a section line when it has values or no subkeys (an empty leaf), so the
// text grows with the tree and not with its depth times its size, and every
// key comes back in its place. A value with a form is written with that form;
// one without is written from its data: REG_SZ data that is exactly one
// terminated line of text as "text", a 4-byte REG_DWORD as dword:, everything
// else as hex: (REG_BINARY) or hex(N): with the bytes as stored (in a version
// 5 file the bytes of string types as UTF-16LE). parseregfile(writeregfile(t,
// f)) gives t back, its values then with forms, and the same format f when f
// is one that parseregfile reports and f's encoding holds every character of
// the tree (in an ANSI file a character that 1252 lacks is written as '?':
// a tree is meant to be written in the format it was read in).
std::string writeregfile(const RegKey &top, const RegFormat &format = RegFormat());

} // namespace nt

#endif // QUILLOG_POSIX_REGFILE_H
