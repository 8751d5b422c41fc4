// sids.cpp: the SID helpers and LookupAccountSidA.
//
// A SID is revision (1), sub-authority count n (0 to 15), the 48-bit
// identifier authority big-endian, then n 32-bit little-endian
// sub-authorities: 8 + 4n bytes. The helpers that return pointers into a SID
// do no checks, as on Windows; callers validate first (IsValidSid).
//
// LookupAccountSidA answers from the computer's account database (the
// well-known SIDs, then its accounts.txt) and reproduces the system's
// failures: a name or domain that does not fit the caller's buffer with its
// terminator gives ERROR_INSUFFICIENT_BUFFER and the sizes needed including
// the terminator; an unknown SID gives ERROR_NONE_MAPPED; a computer that is
// not on the network gives RPC_S_SERVER_UNAVAILABLE. On success the sizes are
// the lengths without the terminator.
#include "platform/posix/sids.h"

#include "platform/posix/common.h"
#include "platform/posix/network.h"
#include "platform/posix/sidnames.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<unsigned long> lookups{0};

const BYTE *bytes(PSID sid) { return (const BYTE *)sid; }

} // namespace

namespace nt {

unsigned long accountlookups() { return lookups.load(); }

} // namespace nt

/***********************************************************************
 * IsValidSid
 *
 * Tells whether pSid holds a SID: revision 1 and at most 15 sub-authorities.
 * RETURNS TRUE or FALSE; the last error is untouched.
 */
BOOL IsValidSid(PSID pSid) { return pSid && bytes(pSid)[0] == 1 && bytes(pSid)[1] <= nt::SidMaxSubs; }

/***********************************************************************
 * GetLengthSid
 *
 * RETURNS the size of the SID in bytes, 8 + 4 * its sub-authority count. The
 * SID is not validated.
 */
DWORD GetLengthSid(PSID pSid) { return 8 + 4 * (DWORD)bytes(pSid)[1]; }

/***********************************************************************
 * EqualSid
 *
 * Compares two SIDs byte for byte over their length.
 * RETURNS TRUE when both are valid and equal; FALSE otherwise.
 */
BOOL EqualSid(PSID pSid1, PSID pSid2) {
    if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) return FALSE;
    DWORD len = GetLengthSid(pSid1);
    return len == GetLengthSid(pSid2) && memcmp(pSid1, pSid2, len) == 0;
}

/***********************************************************************
 * CopySid
 *
 * Copies the GetLengthSid(pSourceSid) bytes of pSourceSid into the
 * nDestinationSidLength bytes at pDestinationSid. The source is not
 * validated, as on Windows: a SID of another revision or with more than 15
 * sub-authorities is copied like any other.
 * RETURNS TRUE; FALSE with ERROR_INSUFFICIENT_BUFFER when the destination is
 * shorter than the SID, ERROR_INVALID_PARAMETER for a NULL pointer. The
 * destination is untouched on failure.
 */
BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (!pSourceSid) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    DWORD len = GetLengthSid(pSourceSid);
    if (nDestinationSidLength < len) return nt::failwith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    if (!pDestinationSid) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    memmove(pDestinationSid, pSourceSid, len);
    return TRUE;
}

/***********************************************************************
 * GetSidIdentifierAuthority
 *
 * RETURNS a pointer to the six bytes of the SID's identifier authority, the
 * most significant first (Value[5] is the low byte).
 */
PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID pSid) { return (PSID_IDENTIFIER_AUTHORITY)((BYTE *)pSid + 2); }

/***********************************************************************
 * GetSidSubAuthorityCount
 *
 * RETURNS a pointer to the SID's sub-authority count.
 */
PUCHAR GetSidSubAuthorityCount(PSID pSid) { return (PUCHAR)pSid + 1; }

/***********************************************************************
 * GetSidSubAuthority
 *
 * RETURNS a pointer to sub-authority nSubAuthority of the SID (a 32-bit
 * little-endian number, not necessarily aligned). The index is not checked
 * against the count.
 */
PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
    return (PDWORD)((BYTE *)pSid + 8 + 4 * (size_t)nSubAuthority);
}

/***********************************************************************
 * LookupAccountSidA
 *
 * Finds the account name and domain of a SID on a computer.
 *   lpSystemName            [I] NULL or "" for the local computer, or a computer
 *                               of the network
 *   Sid                     [I] the SID
 *   Name                    [O] the account name, terminated
 *   cchName                 [IO] in: Name's size; out: see below
 *   ReferencedDomainName    [O] the domain, terminated; "" for \Everyone and
 *                               the other SIDs of authorities 0 to 3
 *   cchReferencedDomainName [IO] in: the domain buffer's size; out: see below
 *   peUse                   [O] the kind of account (SidTypeUser, ...)
 * RETURNS TRUE with both sizes set to the lengths without the terminator.
 * FALSE with ERROR_INSUFFICIENT_BUFFER when a text does not fit its buffer
 * with its terminator: both sizes then hold the sizes needed, terminator
 * included, and the buffers are untouched. FALSE with ERROR_NONE_MAPPED for a
 * SID the computer does not know, RPC_S_SERVER_UNAVAILABLE for a computer
 * that is not on the network, ERROR_INVALID_SID for a malformed SID and
 * ERROR_INVALID_PARAMETER for missing sizes; the outputs are untouched then.
 */
BOOL LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName, LPSTR ReferencedDomainName,
                       LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    ++lookups;
    std::string folder;
    if (!nt::computerfolder(lpSystemName, &folder)) return nt::failwith(RPC_S_SERVER_UNAVAILABLE, FALSE);
    if (!IsValidSid(Sid)) return nt::failwith(ERROR_INVALID_SID, FALSE);
    if (!cchName || !cchReferencedDomainName) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    nt::SidBytes sid(bytes(Sid), bytes(Sid) + GetLengthSid(Sid));
    nt::Account account;
    if (!nt::findaccount(folder, sid, &account)) return nt::failwith(ERROR_NONE_MAPPED, FALSE);
    DWORD namesize = (DWORD)account.name.size() + 1, domainsize = (DWORD)account.domain.size() + 1;
    DWORD namehave = Name ? *cchName : 0, domainhave = ReferencedDomainName ? *cchReferencedDomainName : 0;
    if (namehave < namesize || domainhave < domainsize) {
        *cchName = namesize;
        *cchReferencedDomainName = domainsize;
        return nt::failwith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    memcpy(Name, account.name.c_str(), namesize);
    memcpy(ReferencedDomainName, account.domain.c_str(), domainsize);
    *cchName = namesize - 1;
    *cchReferencedDomainName = domainsize - 1;
    if (peUse) *peUse = account.use;
    return TRUE;
}
