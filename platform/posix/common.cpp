// common.cpp: the last error, the registry's name fold, code page 1252 and
// UTF-8, host paths, the errno table, whole reads and writes.
#include "platform/posix/common.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// One thread per process in the program; tests that use threads only call
// services that do not depend on the value across threads.
thread_local DWORD lasterror = 0;
} // namespace

DWORD GetLastError(void) { return lasterror; }

void SetLastError(DWORD dwErrCode) { lasterror = dwErrCode; }

namespace nt {

unsigned char fold1252(unsigned char c) {
    if (c >= 'a' && c <= 'z') return (unsigned char)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (unsigned char)(c - 32);
    switch (c) {
    case 0x9A: return 0x8A; // s caron
    case 0x9C: return 0x8C; // oe
    case 0x9E: return 0x8E; // z caron
    case 0xFF: return 0x9F; // y diaeresis
    default: return c;
    }
}

namespace {
// Unicode of the bytes 0x80-0x9F; the rest of the page is Latin-1.
const uint16_t Cp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
} // namespace

uint16_t ansitowide(unsigned char c) { return c >= 0x80 && c < 0xA0 ? Cp1252High[c - 0x80] : c; }

char widetoansi(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return (char)cp;
    for (int i = 0; i < 32; ++i)
        if (Cp1252High[i] == cp) return (char)(0x80 + i);
    return '?';
}

uint32_t getutf8(const std::string &s, size_t *pos) {
    unsigned char c = (unsigned char)s[*pos];
    size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
    if (len > 1 && s.size() - *pos >= len) {
        uint32_t cp = c & (0xFF >> (len + 1));
        bool ok = true;
        for (size_t k = 1; k < len && ok; ++k) {
            unsigned char t = (unsigned char)s[*pos + k];
            ok = (t & 0xC0) == 0x80;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms and numbers past Unicode are not characters.
        if (ok && !((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))) {
            *pos += len;
            return cp;
        }
    }
    ++*pos;
    return ansitowide(c);
}

void pututf8(std::string *out, uint32_t cp) {
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

std::string ansitoutf8(const std::string &ansi) {
    // ASCII text is its own UTF-8.
    size_t ascii = 0;
    while (ascii < ansi.size() && (unsigned char)ansi[ascii] < 0x80) ++ascii;
    if (ascii == ansi.size()) return ansi;
    std::string out(ansi, 0, ascii);
    out.reserve(ansi.size() + 8);
    for (size_t i = ascii; i < ansi.size(); ++i) pututf8(&out, ansitowide((unsigned char)ansi[i]));
    return out;
}

std::string utf8toansi(const std::string &utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) out += widetoansi(getutf8(utf8, &i));
    return out;
}

std::string foldtext(std::string text) {
    for (char &c : text) c = (char)fold1252((unsigned char)c);
    return text;
}

bool nameeq(const char *a, const char *b) {
    for (;; ++a, ++b) {
        if (fold1252((unsigned char)*a) != fold1252((unsigned char)*b)) return false;
        if (*a == 0) return true;
    }
}

bool isfolder(const std::string &hostpath) {
    struct stat st;
    return stat(hostpath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ispathsep(char c) { return c == '\\' || c == '/'; }

std::vector<std::string> splitpath(const std::string &path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (ispathsep(c)) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string parentfolder(const std::string &hostpath) {
    std::string::size_type slash = hostpath.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : hostpath.substr(0, slash);
}

void makefolders(const std::string &hostpath) {
    for (size_t i = 1; i <= hostpath.size(); ++i)
        if (i == hostpath.size() || hostpath[i] == '/') mkdir(hostpath.substr(0, i).c_str(), 0777);
}

namespace {

bool exists(const std::string &hostpath) {
    struct stat st;
    return lstat(hostpath.c_str(), &st) == 0;
}

} // namespace

std::string matchentry(const std::string &dir, const std::string &name) {
    std::string exact = (dir == "/" ? "" : dir) + "/" + name;
    if (name == "." || name == ".." || exists(exact)) return name;
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return name;
    std::string best;
    while (struct dirent *e = readdir(d)) {
        if (nameeq(e->d_name, name.c_str()) && (best.empty() || std::string(e->d_name) < best)) best = e->d_name;
    }
    closedir(d);
    return best.empty() ? name : best;
}

std::string resolvecase(const std::string &path) {
    bool absolute = !path.empty() && ispathsep(path[0]);
    std::vector<std::string> parts = splitpath(path);
    std::string cur = absolute ? "" : ".";
    std::string result;
    bool missing = false;
    for (const std::string &part : parts) {
        std::string dir = cur.empty() ? "/" : cur;
        std::string name = missing ? part : matchentry(dir, part);
        cur = (cur == "/" ? "" : cur) + "/" + name;
        result += (result.empty() && !absolute ? "" : "/") + name;
        if (!missing && !exists(cur)) missing = true;
    }
    if (result.empty()) return absolute ? "/" : ".";
    return result;
}

DWORD errnotowin(int err, const std::string &hostpath) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return err == ENOENT && isfolder(parentfolder(hostpath)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EFBIG: return ERROR_DISK_FULL;
    case EDQUOT: return ERROR_DISK_QUOTA_EXCEEDED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
    }
}

DWORD readwhole(const std::string &hostpath, std::string *out, size_t limit) {
    // O_NONBLOCK: opening a FIFO that has no writer, or a device, must not
    // wait; O_NOCTTY: a terminal never becomes ours by being opened.
    int fd = open(hostpath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A socket, or a device without a driver, cannot be opened at all.
        if (errno == ENXIO || errno == ENODEV) return ERROR_ACCESS_DENIED;
        return errnotowin(errno, hostpath);
    }
    struct stat st;
    DWORD rc = ERROR_SUCCESS;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        rc = ERROR_ACCESS_DENIED;
    else if ((uint64_t)st.st_size > limit)
        rc = ERROR_FILE_TOO_LARGE;
    std::string data;
    if (rc == ERROR_SUCCESS) data.reserve((size_t)st.st_size);
    char chunk[65536];
    while (rc == ERROR_SUCCESS) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno != EINTR) rc = errnotowin(errno, hostpath);
            continue;
        }
        if (n == 0) break;
        if ((size_t)n > limit - data.size())
            rc = ERROR_FILE_TOO_LARGE;
        else
            data.append(chunk, (size_t)n);
    }
    close(fd);
    if (rc == ERROR_SUCCESS) out->swap(data);
    return rc;
}

DWORD preadall(int fd, uint8_t *p, size_t len, uint64_t off) {
    while (len) {
        ssize_t n = pread(fd, p, len, (off_t)off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errnotowin(errno, "");
        if (n == 0) return ERROR_HANDLE_EOF;
        p += n;
        len -= (size_t)n;
        off += (uint64_t)n;
    }
    return ERROR_SUCCESS;
}

DWORD pwriteall(int fd, const uint8_t *p, size_t len, uint64_t off) {
    while (len) {
        ssize_t n = pwrite(fd, p, len, (off_t)off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errnotowin(errno, "");
        p += n;
        len -= (size_t)n;
        off += (uint64_t)n;
    }
    return ERROR_SUCCESS;
}

DWORD lockfd(int fd, bool exclusive) {
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pause = 1000000; // 1 ms, doubled up to 64 ms between tries
    for (;;) {
        if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return ERROR_SUCCESS;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return errnotowin(errno, "");
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= LockWaitSeconds) return ERROR_SHARING_VIOLATION;
        struct timespec wait = {0, pause};
        nanosleep(&wait, nullptr);
        if (pause < 64000000) pause *= 2;
    }
}

} // namespace nt
