// logstore.cpp: opening a live log of either format, or creating it when it
// does not exist yet, as the event log service does on first use.
#include "platform/posix/logstore.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nt {

DWORD openlogfile(const std::string &hostpath, bool writable, int *fd, struct stat *st) {
    int f = ::open(hostpath.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (f < 0) return errnotowin(errno, hostpath);
    if (fstat(f, st) != 0 || !S_ISREG(st->st_mode)) {
        close(f);
        return ERROR_ACCESS_DENIED;
    }
    *fd = f;
    return ERROR_SUCCESS;
}

LogStore::~LogStore() {
    if (fd_ >= 0) close(fd_);
}

DWORD LogStore::adopt(const std::string &hostpath, bool writable, struct stat *st) {
    int fd = -1;
    if (DWORD rc = openlogfile(hostpath, writable, &fd, st)) return rc;
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
    writable_ = writable;
    denied_ = writable ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

DWORD openlive(const std::string &hostpath, bool maywrite, const std::function<DWORD(bool writable)> &open,
               const std::function<std::vector<uint8_t>()> &image, DWORD *denied) {
    if (!maywrite) {
        DWORD rc = open(false);
        return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND ? ERROR_ACCESS_DENIED : rc;
    }
    DWORD rc = open(true);
    // A log that may be read but not written (another account's file, a
    // read-only file system) is opened for reading; writing and clearing
    // then fail with the reason.
    if (rc == ERROR_ACCESS_DENIED || rc == ERROR_WRITE_PROTECT) {
        DWORD readrc = open(false);
        if (readrc == ERROR_SUCCESS) *denied = rc;
        return readrc;
    }
    if (rc != ERROR_FILE_NOT_FOUND && rc != ERROR_PATH_NOT_FOUND) return rc;
    // Written whole under a temporary name and linked into place, so another
    // process never sees a half-made log and two creators cannot collide.
    makefolders(parentfolder(hostpath));
    const std::vector<uint8_t> bytes = image();
    std::string temp = hostpath + ".new" + std::to_string((long)getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errnotowin(errno, temp);
    rc = pwriteall(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    if (rc == ERROR_SUCCESS && link(temp.c_str(), hostpath.c_str()) != 0 && errno != EEXIST)
        rc = errnotowin(errno, hostpath);
    unlink(temp.c_str());
    if (rc != ERROR_SUCCESS) return rc;
    return open(true);
}

} // namespace nt
