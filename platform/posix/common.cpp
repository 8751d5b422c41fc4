// common.cpp: the last error, the registry's name fold, the errno table,
// whole reads and writes.
#include "platform/posix/common.h"

#include <cerrno>
#include <ctime>
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
const uint16_t cp1252high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
} // namespace

uint16_t ansitowide(unsigned char c) { return c >= 0x80 && c < 0xA0 ? cp1252high[c - 0x80] : c; }

char widetoansi(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return (char)cp;
    for (int i = 0; i < 32; ++i)
        if (cp1252high[i] == cp) return (char)(0x80 + i);
    return '?';
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

DWORD errnotowin(int err, const std::string &hostpath) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: {
        std::string::size_type slash = hostpath.find_last_of('/');
        std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : hostpath.substr(0, slash);
        return err == ENOENT && isfolder(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
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

DWORD readwhole(const std::string &hostpath, std::string *out) {
    int fd = open(hostpath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errnotowin(errno, hostpath);
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            return errnotowin(e, hostpath);
        }
        if (n == 0) break;
        data.append(chunk, (size_t)n);
    }
    close(fd);
    out->swap(data);
    return ERROR_SUCCESS;
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
