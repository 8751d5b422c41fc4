// sidnames.h: the names an emulated computer gives its SIDs.
//
// A computer knows the well-known SIDs of an English Windows XP/2003 (NT
// AUTHORITY\SYSTEM, BUILTIN\Administrators, \Everyone with its empty domain,
// ...) and the accounts listed in its accounts.txt: one "SID=DOMAIN\name" per
// line, "#" starts a comment, "S-1-1-0=\Everyone" gives an empty domain. Lines
// that do not have this shape are skipped; the first line for a SID wins.
//
// SIDs are handled here as bytes in the system's layout: revision (1),
// sub-authority count (0 to 15), the 48-bit identifier authority big-endian,
// then the sub-authorities as 32-bit little-endian numbers.
#ifndef QUILLOG_POSIX_SIDNAMES_H
#define QUILLOG_POSIX_SIDNAMES_H

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nt {

typedef std::vector<uint8_t> SidBytes;

// The most sub-authorities a SID holds.
const unsigned SidMaxSubs = 15;

struct Account {
    std::string domain; // may be empty
    std::string name;
    SID_NAME_USE use = SidTypeUser;
};

// Reads the text form "S-1-<authority>-<sub>-<sub>..." (the authority in
// decimal below 2^48 or as 0x and up to 12 hex digits, each sub-authority in
// decimal below 2^32, at most 15 of them, revision 1). Returns false and
// leaves sid alone for anything else.
bool parsesid(const std::string &text, SidBytes *sid);

// Finds a well-known SID. Returns false when sid is not one of them.
bool wellknownaccount(const SidBytes &sid, Account *account);

// Finds sid in the accounts file at hostpath (a missing or unreadable file,
// one that is not a regular file and one larger than 16 MiB hold no
// accounts). The parsed file is kept while its size and time of
// change stay the same.
bool fileaccount(const std::string &hostpath, const SidBytes &sid, Account *account);

// Finds sid on the computer whose folder is given: the well-known SIDs first,
// then <folder>/accounts.txt (the file name matched without regard to case).
bool findaccount(const std::string &folder, const SidBytes &sid, Account *account);

} // namespace nt

#endif // QUILLOG_POSIX_SIDNAMES_H
