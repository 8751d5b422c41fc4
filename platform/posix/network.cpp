// network.cpp: computers as folders of the network folder.
#include "platform/posix/network.h"

#include "platform/posix/atomicfile.h"
#include "platform/posix/common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace nt {

namespace {

std::string stripslashes(const char *name) {
    while (*name == '\\' || *name == '/') ++name;
    return name;
}

// The folder of the network whose name matches without regard to case, or "".
std::string findcomputer(const std::string &root, const std::string &name) {
    std::string found = root + "/" + matchentry(root, name);
    return isfolder(found) ? found : "";
}

// A fresh local computer gets just enough registry for a first run.
void seedregistry(const std::string &folder) {
    std::string regdir = folder + "/registry";
    // Every registry open and account lookup passes here: a computer that
    // has its registry costs one stat, not a synced temporary file.
    struct stat st;
    if (stat(resolvecase(regdir + "/HKEY_LOCAL_MACHINE.reg").c_str(), &st) == 0) return;
    makefolders(regdir);
    std::string hklm = resolvecase(regdir + "/HKEY_LOCAL_MACHINE.reg");
    // Created whole or not at all: another process that finds the file must
    // never read it half-written (and then write its change over it). Never
    // through a link either: a registry folder that is a link to somewhere
    // else, or a link in the hive's place, gets no seed (createatomic refuses).
    static const char text[] = "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                               "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n";
    createatomic(hklm, text);
}

} // namespace

namespace {

// What was found so far: the network folder known to exist, and the
// computers' folders by network and folded name (only those that exist; an
// unknown computer is looked for again). Every registry call, file path and
// account lookup asks for a computer's folder: it is looked up once per
// process, not with a scan of the network and a dozen status calls a time.
struct Known {
    std::mutex lock;
    std::string root;
    std::map<std::string, std::string> folders;
    // The local computer's folder as last found, and the variables that
    // chose it (a registry call on a predefined root asks for it each time).
    std::string local;
    std::string vars;
};

Known &known() {
    static Known *k = new Known; // outlives every static destructor
    return *k;
}

} // namespace

std::string networkroot() {
    std::string root;
    if (const char *env = getenv("QUILLOG_NETWORK"); env && *env) {
        root = env;
    } else if (const char *xdg = getenv("XDG_DATA_HOME"); xdg && *xdg) {
        root = std::string(xdg) + "/quillog/network";
    } else {
        const char *home = getenv("HOME");
        root = std::string(home && *home ? home : ".") + "/.local/share/quillog/network";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    Known &k = known();
    std::lock_guard<std::mutex> guard(k.lock);
    if (root != k.root) {
        if (!isfolder(root)) makefolders(root);
        k.root = root;
    }
    return root;
}

std::string localname() {
    std::string name;
    if (const char *env = getenv("COMPUTERNAME"); env && *env) {
        name = env;
    } else {
        // The host's name is asked for once: every computer lookup needs it.
        static const std::string hostname = [] {
            char host[256] = {0};
            if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "LOCALHOST");
            std::string h = host;
            return h.substr(0, h.find('.'));
        }();
        name = hostname;
    }
    name = foldtext(name);
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    return name;
}

bool islocal(const char *name) {
    if (!name) return true;
    std::string n = stripslashes(name);
    return n.empty() || nameeq(n, localname());
}

namespace {

// The environment variables that decide the network folder and the local
// computer's name, those that count of them (networkroot and localname read
// the same ones): each a 1 when it is unset, else a 2, its value and a NUL.
bool addvar(std::string *vars, const char *name) {
    const char *value = getenv(name);
    if (!value) {
        *vars += '\1';
        return false;
    }
    *vars += '\2';
    *vars += value;
    *vars += '\0';
    return *value != '\0';
}

std::string localvars() {
    std::string vars;
    if (!addvar(&vars, "QUILLOG_NETWORK") && !addvar(&vars, "XDG_DATA_HOME")) addvar(&vars, "HOME");
    addvar(&vars, "COMPUTERNAME");
    return vars;
}

// True when the variables are still as localvars recorded them in vars;
// compared in place, as the check runs for every registry call on a root.
bool samevars(const std::string &vars) {
    size_t at = 0;
    bool same = true;
    // Like addvar: whether the variable is set and not empty.
    auto check = [&](const char *name) {
        const char *value = getenv(name);
        if (!value) {
            same = same && at < vars.size() && vars[at] == '\1';
            ++at;
            return false;
        }
        const size_t n = strlen(value);
        same = same && vars.size() - std::min(at, vars.size()) >= n + 2 && vars[at] == '\2' &&
               vars.compare(at + 1, n, value) == 0 && vars[at + 1 + n] == '\0';
        at += n + 2;
        return *value != '\0';
    };
    if (!check("QUILLOG_NETWORK") && !check("XDG_DATA_HOME")) check("HOME");
    check("COMPUTERNAME");
    return same && at == vars.size();
}

} // namespace

bool computerfolder(const char *name, std::string *folder) {
    if (!name) {
        Known &k = known();
        std::lock_guard<std::mutex> guard(k.lock);
        if (!k.local.empty() && samevars(k.vars)) {
            *folder = k.local;
            return true;
        }
    }
    std::string vars = name ? "" : localvars();
    std::string root = networkroot();
    const bool local = islocal(name);
    std::string wanted = local ? localname() : stripslashes(name);
    // A computer's name is a name, never a path: "." and ".." and names
    // holding a separator name no computer.
    if (!local && (wanted == "." || wanted == ".." || wanted.find_first_of("/\\") != std::string::npos)) return false;
    std::string key = root + '\n' + (local ? "\x01" : "") + wanted;
    key = foldtext(key);
    Known &k = known();
    {
        std::lock_guard<std::mutex> guard(k.lock);
        auto it = k.folders.find(key);
        if (it != k.folders.end()) {
            if (!name) {
                k.local = it->second;
                k.vars = std::move(vars);
            }
            *folder = it->second;
            return true;
        }
    }
    std::string found = findcomputer(root, wanted);
    if (local) {
        if (found.empty()) {
            found = root + "/" + wanted;
            makefolders(found);
        }
        seedregistry(found);
    } else if (found.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(k.lock);
    k.folders[key] = found;
    if (!name) {
        k.local = found;
        k.vars = std::move(vars);
    }
    *folder = found;
    return true;
}

} // namespace nt
