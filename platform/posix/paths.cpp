// paths.cpp: Windows paths to host paths, case-insensitive lookup.
#include "platform/posix/paths.h"

#include "platform/posix/common.h"
#include "platform/posix/network.h"

#include <cctype>
#include <sys/stat.h>
#include <vector>

namespace nt {

namespace {

DWORD checkname(const char *path) {
    size_t n = 0;
    for (const char *p = path; *p; ++p, ++n) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || std::strchr("<>\"|?*", c)) return ERROR_INVALID_NAME;
    }
    if (n == 0) return ERROR_PATH_NOT_FOUND;
    if (n >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

std::string joinparts(std::string base, const std::vector<std::string> &parts, size_t from) {
    for (size_t i = from; i < parts.size(); ++i) base += "/" + parts[i];
    return base;
}

// Windows' normalisation of the components below a drive or share root:
// "." goes, and ".." takes away the component before it but never the root
// (C:\..\x is C:\x), so no such path leads out of its drive.
std::vector<std::string> normalise(const std::vector<std::string> &parts, size_t from) {
    std::vector<std::string> out;
    for (size_t i = from; i < parts.size(); ++i) {
        if (parts[i] == ".") continue;
        if (parts[i] == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(parts[i]);
    }
    return out;
}

// The host path of a drive of a computer folder, and the components below
// it; *confined receives the length of the drive folder's path.
std::string ondrive(const std::string &folder, char letter, const std::vector<std::string> &below, size_t *confined) {
    std::string drive = folder + "/" + std::string(1, (char)std::tolower((unsigned char)letter));
    if (confined) *confined = drive.size();
    return resolvecase(joinparts(drive, below, 0));
}

// Splits "\\computer\X$\rest" into computer, drive letter and rest.
DWORD uncpath(const char *path, std::string *out, size_t *confined) {
    std::vector<std::string> parts = splitpath(path);
    if (parts.empty()) return ERROR_BAD_NETPATH;
    std::string folder;
    if (!computerfolder(parts[0].c_str(), &folder)) return ERROR_BAD_NETPATH;
    if (parts.size() < 2) return ERROR_BAD_NET_NAME;
    const std::string &share = parts[1];
    if (share.size() != 2 || !std::isalpha((unsigned char)share[0]) || share[1] != '$') return ERROR_BAD_NET_NAME;
    *out = ondrive(folder, share[0], normalise(parts, 2), confined);
    return ERROR_SUCCESS;
}

bool isdrivepath(const char *path) {
    return std::isalpha((unsigned char)path[0]) && path[1] == ':' && (path[2] == 0 || ispathsep(path[2]));
}

std::string drivepath(const std::string &folder, const char *path, size_t *confined) {
    return ondrive(folder, path[0], normalise(splitpath(path + 2), 0), confined);
}

// Maps a Windows path; *confined receives the length of the drive folder's
// host path for a path on a computer's drive, 0 for a host path.
DWORD mappath(const char *path, std::string *out, size_t *confined) {
    *confined = 0;
    if (!path) return ERROR_INVALID_PARAMETER;
    DWORD rc = checkname(path);
    if (rc) return rc;
    if (ispathsep(path[0]) && ispathsep(path[1])) return uncpath(path + 2, out, confined);
    if (isdrivepath(path)) {
        std::string folder;
        computerfolder(nullptr, &folder);
        *out = drivepath(folder, path, confined);
        return ERROR_SUCCESS;
    }
    *out = resolvecase(path);
    return ERROR_SUCCESS;
}

} // namespace

DWORD hostpath(const char *path, std::string *out) {
    size_t confined;
    return mappath(path, out, &confined);
}

DWORD writepath(const char *path, std::string *out) {
    size_t confined;
    if (DWORD rc = mappath(path, out, &confined)) return rc;
    return nolinks(*out, confined);
}

DWORD drivepathon(const std::string &folder, const char *path, std::string *out, size_t *confined) {
    if (!path) return ERROR_INVALID_PARAMETER;
    DWORD rc = checkname(path);
    if (rc) return rc;
    if (!isdrivepath(path) || !path[2]) return ERROR_BAD_PATHNAME;
    *out = drivepath(folder, path, confined);
    return ERROR_SUCCESS;
}

DWORD nolinks(const std::string &host, size_t confined) {
    if (!confined) return ERROR_SUCCESS;
    for (size_t i = confined + 1; i <= host.size(); ++i) {
        if (i < host.size() && host[i] != '/') continue;
        struct stat st;
        if (lstat(host.substr(0, i).c_str(), &st) != 0) return ERROR_SUCCESS; // the rest is to be created
        if (S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

} // namespace nt
