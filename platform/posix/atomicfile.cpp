// atomicfile.cpp: locked write-to-temp-then-rename.
#include "platform/posix/atomicfile.h"

#include "platform/posix/common.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nt {

namespace {

std::string folderof(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of data to fd, retrying short writes and interruptions.
// Returns 0 or an errno value.
int writeall(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += (size_t)n;
    }
    return 0;
}

mode_t currentumask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

} // namespace

DWORD FileLock::acquire() {
    if (fd_ >= 0) return ERROR_SUCCESS;
    std::string lockpath = target_ + ".lock";
    int fd = open(lockpath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errnotowin(errno, lockpath);
    if (DWORD rc = lockfd(fd, true)) {
        close(fd);
        return rc;
    }
    fd_ = fd;
    return ERROR_SUCCESS;
}

void FileLock::release() {
    if (fd_ < 0) return;
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}

namespace {

// Writes content to a new temporary file beside target and flushes it;
// *temp receives its name. Returns 0 or an errno value.
int writetemp(const std::string &target, const std::string &content, std::string *temp) {
    std::vector<char> name(target.begin(), target.end());
    static const char suffix[] = ".tmp.XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    *temp = name.data();
    struct stat st;
    mode_t mode = stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : (0666 & ~currentumask());
    int err = fchmod(fd, mode) == 0 ? 0 : errno;
    if (!err) err = writeall(fd, content);
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (err) unlink(temp->c_str());
    return err;
}

// A new name in a folder is durable only once the folder itself is flushed.
void syncfolder(const std::string &target) {
    int dirfd = open(folderof(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        fsync(dirfd);
        close(dirfd);
    }
}

} // namespace

DWORD replacefile(const std::string &target, const std::string &content) {
    std::string temp;
    int err = writetemp(target, content, &temp);
    if (!err && rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        unlink(temp.c_str());
    }
    if (err) return errnotowin(err, target);
    syncfolder(target);
    return ERROR_SUCCESS;
}

DWORD createatomic(const std::string &target, const std::string &content) {
    std::string temp;
    int err = writetemp(target, content, &temp);
    if (err) return errnotowin(err, target);
    err = link(temp.c_str(), target.c_str()) == 0 ? 0 : errno;
    unlink(temp.c_str());
    if (err) return errnotowin(err, target);
    syncfolder(target);
    return ERROR_SUCCESS;
}

DWORD writeatomic(const std::string &target, const std::string &content) {
    FileLock lock(target);
    if (DWORD rc = lock.acquire()) return rc;
    return replacefile(target, content);
}

} // namespace nt
