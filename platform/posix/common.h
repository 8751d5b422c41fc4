// common.h: helpers every emulated service shares.
//
// - the last-error value and the one way a failing call leaves (failwith);
// - bounds-checked little-endian reads over untrusted bytes;
// - the registry's case rule (a one-to-one upper-case fold of code page 1252);
// - code page 1252, Unicode and UTF-8;
// - host paths: parent folders, caseless lookup, making folders;
// - the errno-to-Win32 table for file calls, and whole reads and writes.
#ifndef QUILLOG_POSIX_COMMON_H
#define QUILLOG_POSIX_COMMON_H

#include "platform/posix/ntapi.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace nt {

// Sets the last error to code and returns result: the one exit of every failing
// non-registry call, as in `return failwith(ERROR_HANDLE_EOF, FALSE);`.
template <class T> T failwith(DWORD code, T result) {
    SetLastError(code);
    return result;
}

// Little-endian values at p, for bytes already known to be there.
inline uint16_t le16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t *p) { return (uint32_t)le16(p) | (uint32_t)le16(p + 2) << 16; }

// A read-only view of untrusted bytes. Every read is checked against the size;
// a read that does not fit returns false and leaves the output alone.
struct Bytes {
    const uint8_t *data = nullptr;
    size_t size = 0;

    bool has(size_t off, size_t len) const { return off <= size && len <= size - off; }
    bool u8(size_t off, uint8_t *out) const {
        if (!has(off, 1)) return false;
        *out = data[off];
        return true;
    }
    bool u16(size_t off, uint16_t *out) const {
        if (!has(off, 2)) return false;
        *out = le16(data + off);
        return true;
    }
    bool u32(size_t off, uint32_t *out) const {
        if (!has(off, 4)) return false;
        *out = le32(data + off);
        return true;
    }
};

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline void put64(uint8_t *p, uint64_t v) {
    put32(p, (uint32_t)v);
    put32(p + 4, (uint32_t)(v >> 32));
}

// Upper-case fold of one code page 1252 byte, one to one: a-z, the accented
// letters 0xE0-0xFE except 0xF7, and the pairs s/S, oe/OE, z/Z, y/Y with caron,
// ligature or diaeresis. This is how the registry compares key and value names.
unsigned char fold1252(unsigned char c);

// The text with fold1252 applied to every byte.
std::string foldtext(std::string text);

// Code page 1252 and Unicode. ansitowide gives the UTF-16 unit of one byte
// (the five unassigned bytes 0x81 0x8D 0x8F 0x90 0x9D map to U+0081 ...);
// widetoansi gives the byte of a code point, or '?' when 1252 has none, as
// the system's default conversion does.
uint16_t ansitowide(unsigned char c);
char widetoansi(uint32_t cp);
// A UTF-16 unit in code page 1252; ASCII, the common case, inline.
inline uint8_t ansiunit(uint32_t unit) { return unit < 0x80 ? (uint8_t)unit : (uint8_t)widetoansi(unit); }

// UTF-8 text, as the registry model holds names and as a registry file is
// parsed. getutf8 gives the code point at s[*pos] and moves *pos past it; a
// byte that does not start a well-formed sequence (cut short, overlong, past
// U+10FFFF) is one code page 1252 character, so 8-bit text that is not UTF-8
// still reads as written. Surrogates (U+D800-U+DFFF) have the three-byte
// form of any other code point, so that a lone UTF-16 unit survives the trip
// through UTF-8 and back. ansitoutf8 and utf8toansi convert whole strings; a
// character that 1252 lacks becomes '?'.
uint32_t getutf8(const std::string &s, size_t *pos);
void pututf8(std::string *out, uint32_t cp);
std::string ansitoutf8(const std::string &ansi);
std::string utf8toansi(const std::string &utf8);

// True when a and b are equal under fold1252.
bool nameeq(const char *a, const char *b);
inline bool nameeq(const std::string &a, const std::string &b) { return nameeq(a.c_str(), b.c_str()); }

// The Win32 code for an errno from a file call on hostpath: ENOENT gives 2 when
// the parent folder exists and 3 when it does not (Linux reports both as
// ENOENT). Other values follow the usual table (EACCES 5, ENOSPC 112, ...).
DWORD errnotowin(int err, const std::string &hostpath);

// True when hostpath names an existing folder.
bool isfolder(const std::string &hostpath);

// Host paths. Backslash and slash both separate components.
bool ispathsep(char c);

// The components of a path, empty ones dropped.
std::vector<std::string> splitpath(const std::string &path);

// The folder a host path is in: "." for a bare name, "/" for a name at the
// root.
std::string parentfolder(const std::string &hostpath);

// Creates every missing folder of a host path, the path itself included.
void makefolders(const std::string &hostpath);

// The name of the entry of folder dir that matches name: the exact spelling
// when it exists, else the first entry in byte order that is equal under
// fold1252 (so the choice is stable), else name itself.
std::string matchentry(const std::string &dir, const std::string &name);

// Resolves a host path component by component with matchentry; the
// components from the first missing one on keep their spelling, so a file
// that does not exist yet is created as spelled.
std::string resolvecase(const std::string &path);

// Reads a whole file of at most limit bytes into out, for a service that
// keeps files whole in memory. Each caller states its limit: MaxRegFile for a
// registry hive, 16 MiB for accounts.txt, 64 MiB for a message module. The
// file must be a regular file (a folder, a FIFO, a device or a socket gives
// ERROR_ACCESS_DENIED); it is opened without blocking, so a FIFO with no
// writer never stops the call, and its size is checked before anything is
// read: a larger file (a sparse file of gigabytes included) gives
// ERROR_FILE_TOO_LARGE at once, as does one that grows past the limit while
// it is read. Returns 0 or the Win32 code of the failure; *out is changed
// only on success.
DWORD readwhole(const std::string &hostpath, std::string *out, size_t limit);

// Reads or writes exactly len bytes at off of an open file, going on after
// short transfers and interruptions: 0, ERROR_HANDLE_EOF when the file ends
// first (reading), or the Win32 code of the failure.
DWORD preadall(int fd, uint8_t *p, size_t len, uint64_t off);
DWORD pwriteall(int fd, const uint8_t *p, size_t len, uint64_t off);

// The longest a call waits for a lock that another process holds on a
// registry hive or an event log file (a writer in the middle of its change
// holds it for milliseconds); after that the call fails with
// ERROR_SHARING_VIOLATION, as if the file were in use, and changes nothing.
const int LockWaitSeconds = 5;

// Takes a shared or exclusive flock on fd, waiting at most LockWaitSeconds.
// Returns 0, ERROR_SHARING_VIOLATION when the wait ran out, or the code of
// the failure.
DWORD lockfd(int fd, bool exclusive);

} // namespace nt

#endif // QUILLOG_POSIX_COMMON_H
