// sidnames.cpp: well-known SIDs and the accounts.txt file of a computer.
//
// The well-known names are those of an English Windows XP/2003, spelled as
// the system spells them ("Replicator", not "Replicators"). Two of them,
// "Pre-Windows 2000 Compatible Access" and "Windows Authorization Access
// Group", are longer than the 31 characters a caller's buffer of 32 holds;
// the lookup call reports that, not this table.
//
// accounts.txt is text written by hand, so every line is checked: a line
// without "=", without a backslash on its right side, with an empty name, a
// control character or a SID text that does not parse is skipped. A file
// larger than MaxAccountsFile (16 MiB, some hundred thousand accounts), or
// one that is not a regular file, holds no accounts.
#include "platform/posix/sidnames.h"

#include "platform/posix/common.h"
#include "platform/posix/paths.h"

#include <map>
#include <sys/stat.h>

namespace nt {

namespace {

const size_t MaxAccountsFile = 16u << 20;

const struct {
    const char *sid;
    const char *domain;
    const char *name;
    SID_NAME_USE use;
} WellKnown[] = {
    {"S-1-0-0", "", "NULL SID", SidTypeWellKnownGroup},
    {"S-1-1-0", "", "Everyone", SidTypeWellKnownGroup},
    {"S-1-2-0", "", "LOCAL", SidTypeWellKnownGroup},
    {"S-1-3-0", "", "CREATOR OWNER", SidTypeWellKnownGroup},
    {"S-1-3-1", "", "CREATOR GROUP", SidTypeWellKnownGroup},
    {"S-1-3-2", "", "CREATOR OWNER SERVER", SidTypeWellKnownGroup},
    {"S-1-3-3", "", "CREATOR GROUP SERVER", SidTypeWellKnownGroup},
    {"S-1-5", "NT Pseudo Domain", "NT Pseudo Domain", SidTypeDomain},
    {"S-1-5-1", "NT AUTHORITY", "DIALUP", SidTypeWellKnownGroup},
    {"S-1-5-2", "NT AUTHORITY", "NETWORK", SidTypeWellKnownGroup},
    {"S-1-5-3", "NT AUTHORITY", "BATCH", SidTypeWellKnownGroup},
    {"S-1-5-4", "NT AUTHORITY", "INTERACTIVE", SidTypeWellKnownGroup},
    {"S-1-5-6", "NT AUTHORITY", "SERVICE", SidTypeWellKnownGroup},
    {"S-1-5-7", "NT AUTHORITY", "ANONYMOUS LOGON", SidTypeWellKnownGroup},
    {"S-1-5-8", "NT AUTHORITY", "PROXY", SidTypeWellKnownGroup},
    {"S-1-5-9", "NT AUTHORITY", "ENTERPRISE DOMAIN CONTROLLERS", SidTypeWellKnownGroup},
    {"S-1-5-10", "NT AUTHORITY", "SELF", SidTypeWellKnownGroup},
    {"S-1-5-11", "NT AUTHORITY", "Authenticated Users", SidTypeWellKnownGroup},
    {"S-1-5-12", "NT AUTHORITY", "RESTRICTED", SidTypeWellKnownGroup},
    {"S-1-5-13", "NT AUTHORITY", "TERMINAL SERVER USER", SidTypeWellKnownGroup},
    {"S-1-5-14", "NT AUTHORITY", "REMOTE INTERACTIVE LOGON", SidTypeWellKnownGroup},
    {"S-1-5-15", "NT AUTHORITY", "This Organization", SidTypeWellKnownGroup},
    {"S-1-5-18", "NT AUTHORITY", "SYSTEM", SidTypeWellKnownGroup},
    {"S-1-5-19", "NT AUTHORITY", "LOCAL SERVICE", SidTypeWellKnownGroup},
    {"S-1-5-20", "NT AUTHORITY", "NETWORK SERVICE", SidTypeWellKnownGroup},
    {"S-1-5-64-10", "NT AUTHORITY", "NTLM Authentication", SidTypeWellKnownGroup},
    {"S-1-5-64-14", "NT AUTHORITY", "SChannel Authentication", SidTypeWellKnownGroup},
    {"S-1-5-64-21", "NT AUTHORITY", "Digest Authentication", SidTypeWellKnownGroup},
    {"S-1-5-1000", "NT AUTHORITY", "Other Organization", SidTypeWellKnownGroup},
    {"S-1-5-32", "BUILTIN", "BUILTIN", SidTypeDomain},
    {"S-1-5-32-544", "BUILTIN", "Administrators", SidTypeAlias},
    {"S-1-5-32-545", "BUILTIN", "Users", SidTypeAlias},
    {"S-1-5-32-546", "BUILTIN", "Guests", SidTypeAlias},
    {"S-1-5-32-547", "BUILTIN", "Power Users", SidTypeAlias},
    {"S-1-5-32-548", "BUILTIN", "Account Operators", SidTypeAlias},
    {"S-1-5-32-549", "BUILTIN", "Server Operators", SidTypeAlias},
    {"S-1-5-32-550", "BUILTIN", "Print Operators", SidTypeAlias},
    {"S-1-5-32-551", "BUILTIN", "Backup Operators", SidTypeAlias},
    {"S-1-5-32-552", "BUILTIN", "Replicator", SidTypeAlias},
    {"S-1-5-32-554", "BUILTIN", "Pre-Windows 2000 Compatible Access", SidTypeAlias},
    {"S-1-5-32-555", "BUILTIN", "Remote Desktop Users", SidTypeAlias},
    {"S-1-5-32-556", "BUILTIN", "Network Configuration Operators", SidTypeAlias},
    {"S-1-5-32-558", "BUILTIN", "Performance Monitor Users", SidTypeAlias},
    {"S-1-5-32-559", "BUILTIN", "Performance Log Users", SidTypeAlias},
    {"S-1-5-32-560", "BUILTIN", "Windows Authorization Access Group", SidTypeAlias},
    {"S-1-5-32-561", "BUILTIN", "Terminal Server License Servers", SidTypeAlias},
    {"S-1-5-32-562", "BUILTIN", "Distributed COM Users", SidTypeAlias},
};

typedef std::vector<std::pair<SidBytes, Account>> AccountList;

// Reads a decimal number of at most max; false on no digits, other
// characters or overflow.
bool decimal(const std::string &text, uint64_t max, uint64_t *out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
        if (v > max) return false;
    }
    *out = v;
    return true;
}

// Reads the 0x form of an identifier authority: 1 to 12 hex digits.
bool hexadecimal(const std::string &text, uint64_t *out) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * 16 + (uint64_t)d;
    }
    *out = v;
    return true;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool hascontrol(const std::string &s) {
    for (char c : s)
        if ((unsigned char)c < 32 || c == 127) return true;
    return false;
}

// One line of accounts.txt; false when it holds no account.
bool parseline(std::string line, SidBytes *sid, Account *account) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string right = trim(line.substr(eq + 1));
    size_t slash = right.find('\\');
    if (slash == std::string::npos) return false;
    Account a;
    a.domain = trim(right.substr(0, slash));
    a.name = trim(right.substr(slash + 1));
    if (a.name.empty() || hascontrol(a.domain) || hascontrol(a.name)) return false;
    SidBytes s;
    if (!parsesid(trim(line.substr(0, eq)), &s)) return false;
    *sid = s;
    *account = a;
    return true;
}

AccountList parsefile(const std::string &text) {
    AccountList list;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        SidBytes sid;
        Account account;
        if (parseline(line, &sid, &account)) list.emplace_back(sid, account);
        at = end + 1;
    }
    return list;
}

// A parsed accounts file and what identifies the version it was read from.
struct CachedFile {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime = {};
    struct timespec ctime = {};
    AccountList accounts;
    // The accounts by SID, the first line of a SID kept: a lookup costs the
    // same however long the file is.
    std::map<SidBytes, const Account *> index;
};

bool sametime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The accounts of the file at hostpath, read again only when it changed.
const CachedFile &accountsof(const std::string &hostpath) {
    static std::map<std::string, CachedFile> cache;
    static const CachedFile none;
    struct stat st;
    if (stat(hostpath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        cache.erase(hostpath);
        return none;
    }
    CachedFile &c = cache[hostpath];
    if (c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size && sametime(c.mtime, st.st_mtim) &&
        sametime(c.ctime, st.st_ctim))
        return c;
    std::string text;
    if (readwhole(hostpath, &text, MaxAccountsFile) != 0) {
        cache.erase(hostpath);
        return none;
    }
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.size = st.st_size;
    c.mtime = st.st_mtim;
    c.ctime = st.st_ctim;
    c.accounts = parsefile(text);
    c.index.clear();
    for (const auto &entry : c.accounts) c.index.emplace(entry.first, &entry.second);
    return c;
}

} // namespace

bool parsesid(const std::string &text, SidBytes *sid) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.compare(1, 3, "-1-") != 0) return false;
    std::vector<std::string> parts;
    size_t at = 4;
    for (;;) {
        size_t dash = text.find('-', at);
        parts.push_back(text.substr(at, dash == std::string::npos ? std::string::npos : dash - at));
        if (dash == std::string::npos) break;
        at = dash + 1;
    }
    if (parts.size() - 1 > SidMaxSubs) return false;
    uint64_t authority;
    const std::string &a = parts[0];
    if (a.size() > 2 && a[0] == '0' && (a[1] == 'x' || a[1] == 'X')) {
        if (!hexadecimal(a.substr(2), &authority)) return false;
    } else if (!decimal(a, 0xFFFFFFFFFFFFull, &authority)) {
        return false;
    }
    SidBytes s(8 + 4 * (parts.size() - 1));
    s[0] = 1;
    s[1] = (uint8_t)(parts.size() - 1);
    for (int i = 0; i < 6; ++i) s[2 + i] = (uint8_t)(authority >> (8 * (5 - i)));
    for (size_t i = 1; i < parts.size(); ++i) {
        uint64_t sub;
        if (!decimal(parts[i], 0xFFFFFFFFu, &sub)) return false;
        put32(&s[8 + 4 * (i - 1)], (uint32_t)sub);
    }
    *sid = s;
    return true;
}

bool wellknownaccount(const SidBytes &sid, Account *account) {
    static const AccountList table = [] {
        AccountList list;
        for (const auto &w : WellKnown) {
            SidBytes known;
            if (parsesid(w.sid, &known)) list.emplace_back(known, Account{w.domain, w.name, w.use});
        }
        return list;
    }();
    for (const auto &entry : table) {
        if (entry.first == sid) {
            *account = entry.second;
            return true;
        }
    }
    return false;
}

bool fileaccount(const std::string &hostpath, const SidBytes &sid, Account *account) {
    const CachedFile &file = accountsof(hostpath);
    auto it = file.index.find(sid);
    if (it == file.index.end()) return false;
    *account = *it->second;
    return true;
}

bool findaccount(const std::string &folder, const SidBytes &sid, Account *account) {
    return wellknownaccount(sid, account) || fileaccount(resolvecase(folder + "/accounts.txt"), sid, account);
}

} // namespace nt
