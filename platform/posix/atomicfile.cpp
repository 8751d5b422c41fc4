// atomicfile.cpp: locked write-to-temp-then-rename inside one real folder.
//
// Every file operation goes through a descriptor of the target's folder
// (openat, fstatat, renameat, linkat), so a folder swapped for a link between
// two steps cannot redirect a later one.
#include "platform/posix/atomicfile.h"

#include "platform/posix/common.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nt {

namespace {

std::string nameof(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A descriptor of a folder, closed when it goes out of scope.
class Folder {
public:
    Folder() = default;
    ~Folder() {
        if (fd >= 0) close(fd);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // Opens the folder of target; a symbolic link in its place is refused
    // with ERROR_ACCESS_DENIED. Other failures are reported as for opening
    // target itself (a missing folder gives 3).
    DWORD open(const std::string &target) {
        std::string folder = parentfolder(target);
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return ERROR_SUCCESS;
        int err = errno;
        struct stat st;
        if ((err == ENOTDIR || err == ELOOP) && lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return ERROR_ACCESS_DENIED;
        return errnotowin(err, target);
    }

    int fd = -1;
};

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

// Creates a new file "<name>.tmp.XXXXXX" in the folder: O_EXCL and
// O_NOFOLLOW, so an existing file or link of that name is never opened (the
// next name is tried). Returns the descriptor, or -1 with errno set.
int maketemp(int dirfd, const std::string &name, std::string *temp) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        // splitmix64 of the time, the process and a counter.
        uint64_t x = ((uint64_t)now.tv_nsec << 20) ^ (uint64_t)now.tv_sec ^ ((uint64_t)getpid() << 40) ^
                     (++counter * 0x9E3779B97F4A7C15ull);
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        x ^= x >> 31;
        std::string candidate = name + ".tmp.";
        for (int i = 0; i < 6; ++i, x /= 36) candidate += letters[x % 36];
        int fd = openat(dirfd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *temp = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Writes content to a new temporary file beside name with permission bits
// mode and flushes it; *temp receives its name. Returns 0 or an errno value.
int writetemp(int dirfd, const std::string &name, const std::string &content, mode_t mode, std::string *temp) {
    int fd = maketemp(dirfd, name, temp);
    if (fd < 0) return errno;
    int err = fchmod(fd, mode & 0777) == 0 ? 0 : errno;
    if (!err) err = writeall(fd, content);
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (err) unlinkat(dirfd, temp->c_str(), 0);
    return err;
}

} // namespace

DWORD FileLock::acquire() {
    if (fd_ >= 0) return ERROR_SUCCESS;
    std::string lockpath = target_ + ".lock";
    Folder folder;
    if (DWORD rc = folder.open(lockpath)) return rc;
    // O_NONBLOCK: a FIFO in the lock file's place must not stop the open.
    int fd = openat(folder.fd, nameof(lockpath).c_str(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : errnotowin(errno, lockpath);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
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

DWORD replacefile(const std::string &target, const std::string &content) {
    Folder folder;
    if (DWORD rc = folder.open(target)) return rc;
    std::string name = nameof(target);
    struct stat st;
    mode_t mode = 0666 & ~currentumask();
    if (fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
        mode = st.st_mode & 0777;
    }
    std::string temp;
    int err = writetemp(folder.fd, name, content, mode, &temp);
    if (!err && renameat(folder.fd, temp.c_str(), folder.fd, name.c_str()) != 0) {
        err = errno;
        unlinkat(folder.fd, temp.c_str(), 0);
    }
    if (err) return errnotowin(err, target);
    // A new name in a folder is durable only once the folder itself is flushed.
    fsync(folder.fd);
    return ERROR_SUCCESS;
}

DWORD createatomic(const std::string &target, const std::string &content) {
    Folder folder;
    if (DWORD rc = folder.open(target)) return rc;
    std::string name = nameof(target);
    std::string temp;
    int err = writetemp(folder.fd, name, content, 0666 & ~currentumask(), &temp);
    if (err) return errnotowin(err, target);
    // linkat does not follow a link of target's name: it fails with EEXIST.
    err = linkat(folder.fd, temp.c_str(), folder.fd, name.c_str(), 0) == 0 ? 0 : errno;
    unlinkat(folder.fd, temp.c_str(), 0);
    if (err) return errnotowin(err, target);
    fsync(folder.fd);
    return ERROR_SUCCESS;
}

DWORD writeatomic(const std::string &target, const std::string &content) {
    FileLock lock(target);
    if (DWORD rc = lock.acquire()) return rc;
    return replacefile(target, content);
}

} // namespace nt
