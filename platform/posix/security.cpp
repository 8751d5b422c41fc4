// security.cpp: the process token and its privileges.
//
// The token is process-wide: every handle that OpenProcessToken returns refers
// to the same set of enabled privileges, as on Windows. Which privileges the
// token holds comes from QUILLOG_PRIVILEGES (read at each call, so a test can
// change it): unset means all, otherwise a comma-separated list of names.
// Held privileges start disabled, except SeChangeNotifyPrivilege, which
// Windows enables in every token. AdjustTokenPrivileges succeeds even when a
// privilege is not held and reports that only through the last error
// (ERROR_NOT_ALL_ASSIGNED), which is what callers must check.
#include "platform/posix/security.h"

#include "platform/posix/common.h"
#include "platform/posix/handles.h"
#include "platform/posix/network.h"

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace nt {

namespace {

struct Privilege {
    const char *name;
    DWORD luid;
};

// The privilege names and their locally unique identifiers, which are fixed
// numbers on every Windows system.
const Privilege PrivilegeTable[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},
    {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},
    {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},
    {"SeEnableDelegationPrivilege", 27},
    {"SeManageVolumePrivilege", 28},
    {"SeImpersonatePrivilege", 29},
    {"SeCreateGlobalPrivilege", 30},
};
const DWORD ChangeNotify = 23;

// The identifier of a privilege name (compared without case), or 0.
DWORD luidof(const std::string &name) {
    for (const Privilege &p : PrivilegeTable)
        if (nameeq(p.name, name.c_str())) return p.luid;
    return 0;
}

bool held(DWORD luid) {
    const char *env = getenv("QUILLOG_PRIVILEGES");
    if (!env) return luid != 0; // every known privilege
    std::string list = env;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string name = list.substr(start, comma - start);
        size_t first = name.find_first_not_of(" \t");
        size_t last = name.find_last_not_of(" \t");
        if (first != std::string::npos && luidof(name.substr(first, last - first + 1)) == luid) return true;
        start = comma + 1;
    }
    return false;
}

// The enabled privileges of the process token.
struct TokenState {
    std::mutex lock;
    std::set<DWORD> enabled{ChangeNotify};
};

TokenState &token() {
    static TokenState *t = new TokenState;
    return *t;
}

class TokenObject : public KernelObject {
public:
    static const ObjectType Type = ObjectType::Token;
    explicit TokenObject(DWORD access) : KernelObject(Type), access(access) {}
    const DWORD access;
};

} // namespace

bool privilegeenabled(const char *name) {
    DWORD luid = name ? luidof(name) : 0;
    if (luid == 0 || !held(luid)) return false;
    TokenState &t = token();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.enabled.count(luid) != 0;
}

} // namespace nt

/***********************************************************************
 * GetCurrentProcess
 *
 * RETURNS the pseudo handle (HANDLE)-1 of the current process.
 */
HANDLE GetCurrentProcess(void) { return nt::currentprocess(); }

/***********************************************************************
 * OpenProcessToken
 *
 * Opens the token of the current process.
 *   ProcessHandle [I] GetCurrentProcess()
 *   DesiredAccess [I] TOKEN_QUERY, TOKEN_ADJUST_PRIVILEGES, ...
 *   TokenHandle   [O] the token handle, for CloseHandle
 * RETURNS TRUE; FALSE with ERROR_INVALID_HANDLE for any other process handle
 * or ERROR_INVALID_PARAMETER for a null TokenHandle.
 */
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (ProcessHandle != nt::currentprocess()) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (!TokenHandle) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    *TokenHandle = nt::addhandle(std::make_shared<nt::TokenObject>(DesiredAccess));
    return TRUE;
}

/***********************************************************************
 * LookupPrivilegeValueA
 *
 * Finds the identifier of a privilege name, compared without case.
 *   lpSystemName [I] NULL or a computer of the network
 *   lpName       [I] e.g. "SeSecurityPrivilege"
 *   lpLuid       [O] the identifier (SeSecurityPrivilege = 8)
 * RETURNS TRUE; FALSE with ERROR_NO_SUCH_PRIVILEGE (1313) for an unknown name,
 * RPC_S_SERVER_UNAVAILABLE for an unknown computer, ERROR_INVALID_PARAMETER
 * for null arguments. lpLuid is untouched on failure.
 */
BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    std::string folder;
    if (!nt::islocal(lpSystemName) && !nt::computerfolder(lpSystemName, &folder))
        return nt::failwith(RPC_S_SERVER_UNAVAILABLE, FALSE);
    if (!lpName || !lpLuid) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    DWORD luid = nt::luidof(lpName);
    if (luid == 0) return nt::failwith(ERROR_NO_SUCH_PRIVILEGE, FALSE);
    lpLuid->LowPart = luid;
    lpLuid->HighPart = 0;
    return TRUE;
}

/***********************************************************************
 * AdjustTokenPrivileges
 *
 * Enables or disables privileges of the process token.
 *   TokenHandle          [I] opened with TOKEN_ADJUST_PRIVILEGES
 *   DisableAllPrivileges [I] TRUE disables every privilege; NewState is ignored
 *   NewState             [I] privileges with SE_PRIVILEGE_ENABLED or 0
 *   BufferLength         [I] size of PreviousState in bytes
 *   PreviousState        [O] optional: the earlier state of the privileges changed
 *   ReturnLength         [O] size PreviousState needs (required with PreviousState)
 * RETURNS TRUE with last error 0 when every privilege was held, TRUE with
 * ERROR_NOT_ALL_ASSIGNED (1300) when some were not (those are left alone).
 * FALSE with ERROR_INVALID_HANDLE for a handle that is not a token,
 * ERROR_ACCESS_DENIED without the access needed (TOKEN_QUERY as well when
 * PreviousState is asked for), ERROR_INVALID_PARAMETER for a missing NewState
 * or ReturnLength, ERROR_INSUFFICIENT_BUFFER (nothing changed, ReturnLength
 * set) when PreviousState is too small.
 */
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    std::shared_ptr<nt::TokenObject> tok = nt::findhandle<nt::TokenObject>(TokenHandle);
    if (!tok) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (!(tok->access & TOKEN_ADJUST_PRIVILEGES)) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (PreviousState && !(tok->access & TOKEN_QUERY)) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (!DisableAllPrivileges && !NewState) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    if (PreviousState && !ReturnLength) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);

    nt::TokenState &t = nt::token();
    std::lock_guard<std::mutex> guard(t.lock);
    // The changes, worked out before anything is applied so that a short
    // PreviousState buffer leaves the token as it was.
    std::vector<LUID_AND_ATTRIBUTES> before;
    std::set<DWORD> enabled = t.enabled;
    bool notall = false;
    if (DisableAllPrivileges) {
        for (DWORD luid : t.enabled) before.push_back({{luid, 0}, SE_PRIVILEGE_ENABLED});
        enabled.clear();
    } else {
        const LUID_AND_ATTRIBUTES *in = NewState->Privileges;
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES &p = in[i];
            DWORD luid = p.Luid.HighPart == 0 ? p.Luid.LowPart : 0;
            if (luid == 0 || !nt::held(luid)) {
                notall = true;
                continue;
            }
            bool was = enabled.count(luid) != 0;
            bool now = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            if (was == now) continue;
            before.push_back({{luid, 0}, was ? (DWORD)SE_PRIVILEGE_ENABLED : 0});
            if (now)
                enabled.insert(luid);
            else
                enabled.erase(luid);
        }
    }
    if (PreviousState) {
        DWORD need = (DWORD)(sizeof(DWORD) + before.size() * sizeof(LUID_AND_ATTRIBUTES));
        if (need < sizeof(TOKEN_PRIVILEGES)) need = sizeof(TOKEN_PRIVILEGES);
        *ReturnLength = need;
        if (BufferLength < need) return nt::failwith(ERROR_INSUFFICIENT_BUFFER, FALSE);
        PreviousState->PrivilegeCount = (DWORD)before.size();
        LUID_AND_ATTRIBUTES *out = PreviousState->Privileges;
        for (size_t i = 0; i < before.size(); ++i) out[i] = before[i];
    }
    t.enabled.swap(enabled);
    SetLastError(notall ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
