// files.cpp: CreateFileA and the file calls, temporary names, the
// executable's module name, local memory.
//
// Sections: share-mode locks; file objects; opening; reading, writing and
// seeking; deleting and renaming; temporary file names; the module; memory.
//
// Where Windows and Linux differ the Windows result is produced: OPEN_ALWAYS
// reports whether the file existed through the last error (0 or 183);
// ENOENT becomes 2 or 3 depending on the parent folder; a write that runs out
// of space is undone so that the file never holds half a line (Windows
// allocates the whole extension before writing), and reports ERROR_DISK_FULL.
#include "platform/posix/files.h"

#include "platform/posix/common.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nt {

namespace {

// ---------------------------------------------------------------- share locks

// The lock ranges start here: far past any data, so they never meet the
// byte-range locks a program might take on the contents.
const off_t ShareBase = INT64_MAX - 8;
const int AccessRange = 0; // + 0 read, 1 write, 2 delete: access held
const int DenyRange = 3;   // + 0 read, 1 write, 2 delete: access not shared

// How long an opener waits for another opener's check to end. A check takes
// microseconds; the wait only runs out when some other program holds the
// file's flock.
const long GateWaitNanoseconds = 1000000000;

struct flock rangelock(short type, int range) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = ShareBase + range;
    fl.l_len = 1;
    return fl;
}

bool rangeheld(int fd, int range) {
    struct flock fl = rangelock(F_WRLCK, range);
    return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

void takerange(int fd, int range) {
    struct flock fl = rangelock(F_RDLCK, range);
    fcntl(fd, F_OFD_SETLK, &fl);
}

// True when an open of fd with this access and sharing conflicts with the
// handles open on the file: the access it asks for (bit 0 read, 1 write,
// 2 delete) is not shared by one of them, or the access it does not share is
// held by one. A program's own record lock over the whole file (lockf, as a
// job wrapper may hold) covers every range, which is a conflict too.
bool conflicts(int fd, unsigned access, DWORD share) {
    for (int bit = 0; bit < 3; ++bit) {
        bool holds = access & (1u << bit);
        bool denies = !(share & (1u << bit));
        if ((holds && rangeheld(fd, DenyRange + bit)) || (denies && rangeheld(fd, AccessRange + bit))) return true;
    }
    return false;
}

// Takes the file's flock, which openers hold for the moment of their check,
// without ever blocking: it is tried again for at most GateWaitNanoseconds.
// False when some other program held it all that time.
bool takegate(int fd) {
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) >= GateWaitNanoseconds)
            return false;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

// Applies the sharing rule to a new open of fd and, when it passes, takes
// the ranges of the open's access and of what it does not share. A conflict
// found at first sight is answered at once; otherwise the check is made
// again and the ranges taken under the file's flock, so that two openers
// never check at the same moment. A flock some other program holds is waited
// for a second at most, then the check goes on without it: whatever other
// programs hold, the answer comes within about a second. An open without
// read, write or delete access neither conflicts nor blocks anyone, as on
// Windows.
bool sharelocks(int fd, unsigned access, DWORD share) {
    if (access == 0) return true;
    if (conflicts(fd, access, share)) return false;
    const bool gated = takegate(fd);
    const bool ok = !conflicts(fd, access, share);
    if (ok) {
        for (int bit = 0; bit < 3; ++bit) {
            if (access & (1u << bit)) takerange(fd, AccessRange + bit);
            if (!(share & (1u << bit))) takerange(fd, DenyRange + bit);
        }
    }
    if (gated) flock(fd, LOCK_UN);
    return ok;
}

// ---------------------------------------------------------------- file objects

class FileObject : public KernelObject {
public:
    static const ObjectType Type = ObjectType::File;
    FileObject(int fd, bool canread, bool canwrite, int64_t size)
        : KernelObject(Type), fd(fd), canread(canread), canwrite(canwrite), size(size) {}
    ~FileObject() override { close(fd); }
    FileObject(const FileObject &) = delete;
    FileObject &operator=(const FileObject &) = delete;

    const int fd;
    const bool canread;
    const bool canwrite;
    // The file position (always the descriptor's offset) and the file's size
    // as this handle last saw it, kept here so that a write costs one system
    // call; the size is taken again whenever the position is set.
    int64_t pos = 0;
    int64_t size;
};

// True for a regular file whose write permission bits are all clear: the
// emulation's read-only attribute.
bool readonlyfile(const struct stat &st) { return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0; }

// Opens host with the access asked for. Writing uses a read-write descriptor
// when the permissions allow, so that the share locks (read locks) can be
// taken on it.
int openfor(const std::string &host, bool read, bool write, int extra) {
    int base = O_CLOEXEC | O_NOCTTY | extra;
    if (!write) return open(host.c_str(), base | O_RDONLY, 0666);
    int fd = open(host.c_str(), base | O_RDWR, 0666);
    if (fd < 0 && errno == EACCES && !read) fd = open(host.c_str(), base | O_WRONLY, 0666);
    return fd;
}

} // namespace

bool deleteblocked(const std::string &hostpath) {
    int fd = open(hostpath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool blocked = rangeheld(fd, DenyRange + 2);
    close(fd);
    return blocked;
}

} // namespace nt

// ---------------------------------------------------------------- opening

/***********************************************************************
 * CreateFileA
 *
 * Opens or creates a file.
 *   lpFileName            [I] drive, UNC or host path
 *   dwDesiredAccess       [I] GENERIC_READ and/or GENERIC_WRITE (or 0)
 *   dwShareMode           [I] FILE_SHARE_* bits; 0 admits no other opener
 *   lpSecurityAttributes  [I] ignored
 *   dwCreationDisposition [I] CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING,
 *                             OPEN_ALWAYS or TRUNCATE_EXISTING
 *   dwFlagsAndAttributes  [I] ignored
 *   hTemplateFile         [I] ignored
 * RETURNS the handle, positioned at the start of the file; the last error is
 * ERROR_ALREADY_EXISTS when OPEN_ALWAYS or CREATE_ALWAYS found the file, else
 * 0. INVALID_HANDLE_VALUE on failure: 2 or 3 for a missing file or folder,
 * 5 for a folder or read-only file (and for a file to be created or written
 * whose path passes through a link below a computer's drive folder), 32 for
 * a sharing conflict, 80 for CREATE_NEW on an existing file, 87 for a bad
 * disposition, and the path errors 123, 206, 53, 67.
 */
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    bool read = (dwDesiredAccess & GENERIC_READ) != 0;
    bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
    // A file that may be created or written is never reached through a link
    // below a computer's drive folder.
    std::string host;
    DWORD maprc = write || dwCreationDisposition != OPEN_EXISTING ? nt::writepath(lpFileName, &host)
                                                                  : nt::hostpath(lpFileName, &host);
    if (maprc) return nt::failwith(maprc, INVALID_HANDLE_VALUE);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwCreationDisposition == TRUNCATE_EXISTING && !write))
        return nt::failwith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

    struct stat st;
    if (write && stat(host.c_str(), &st) == 0 && nt::readonlyfile(st))
        return nt::failwith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    int fd = -1;
    bool existed = true;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = nt::openfor(host, read, write, O_CREAT | O_EXCL);
        existed = false;
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Open first, create only when missing, so the caller learns which
        // happened; a file created by someone else in between is opened.
        for (int tries = 0; tries < 100 && fd < 0; ++tries) {
            fd = nt::openfor(host, read, write, 0);
            if (fd >= 0 || errno != ENOENT) break;
            fd = nt::openfor(host, read, write, O_CREAT | O_EXCL);
            if (fd >= 0) existed = false;
            if (fd >= 0 || errno != EEXIST) break;
        }
        break;
    default: fd = nt::openfor(host, read, write, 0); break;
    }
    if (fd < 0) return nt::failwith(nt::errnotowin(errno, host), INVALID_HANDLE_VALUE);
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return nt::failwith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    unsigned access = (read ? 1u : 0u) | (write ? 2u : 0u);
    if (!nt::sharelocks(fd, access, dwShareMode)) {
        close(fd);
        return nt::failwith(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    bool truncate = dwCreationDisposition == TRUNCATE_EXISTING || (dwCreationDisposition == CREATE_ALWAYS && existed);
    if (truncate && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        return nt::failwith(nt::errnotowin(err, host), INVALID_HANDLE_VALUE);
    }
    HANDLE h = nt::addhandle(std::make_shared<nt::FileObject>(fd, read, write, truncate ? 0 : (int64_t)st.st_size));
    bool found = existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
    SetLastError(found ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// ---------------------------------------------------------------- reading, writing, seeking

/***********************************************************************
 * SetFilePointer
 *
 * Moves the file position of a handle.
 *   hFile                [I] file handle
 *   lDistanceToMove      [I] low 32 bits of the distance (signed when there is
 *                            no high part)
 *   lpDistanceToMoveHigh [IO] optional high 32 bits; receives the new
 *                            position's high part
 *   dwMoveMethod         [I] FILE_BEGIN, FILE_CURRENT or FILE_END
 * RETURNS the low 32 bits of the new position (last error 0 when that is
 * 0xFFFFFFFF). INVALID_SET_FILE_POINTER and the position unmoved on failure:
 * ERROR_INVALID_HANDLE, ERROR_NEGATIVE_SEEK (131) for a position before the
 * start, ERROR_INVALID_PARAMETER for a bad method or, without a high part, a
 * position of 4 GiB or more (so an append to such a file would start at 0).
 */
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    std::shared_ptr<nt::FileObject> f = nt::findhandle<nt::FileObject>(hFile);
    if (!f) return nt::failwith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    int64_t distance = lpDistanceToMoveHigh
                           ? (int64_t)(((uint64_t)(uint32_t)*lpDistanceToMoveHigh << 32) | (uint32_t)lDistanceToMove)
                           : (int64_t)lDistanceToMove;
    int64_t base;
    struct stat st;
    switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = lseek(f->fd, 0, SEEK_CUR); break;
    case FILE_END: base = fstat(f->fd, &st) == 0 ? (int64_t)st.st_size : -1; break;
    default: return nt::failwith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    if (base < 0) return nt::failwith(nt::errnotowin(errno, ""), INVALID_SET_FILE_POINTER);
    if (distance > 0 && base > INT64_MAX - distance)
        return nt::failwith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    int64_t pos = base + distance;
    if (pos < 0) return nt::failwith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    if (!lpDistanceToMoveHigh && pos > (int64_t)0xFFFFFFFF)
        return nt::failwith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (lseek(f->fd, (off_t)pos, SEEK_SET) < 0)
        return nt::failwith(nt::errnotowin(errno, ""), INVALID_SET_FILE_POINTER);
    f->pos = pos;
    if (dwMoveMethod == FILE_END)
        f->size = base;
    else if (fstat(f->fd, &st) == 0)
        f->size = (int64_t)st.st_size;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = (LONG)(pos >> 32);
    DWORD low = (DWORD)pos;
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

/***********************************************************************
 * SetEndOfFile
 *
 * Makes the file end at the handle's position: a longer file is cut there,
 * a shorter one grows with zeros.
 *   hFile [I] file handle opened with GENERIC_WRITE
 * RETURNS TRUE. FALSE with ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED for a
 * handle not open for writing, or the error of the file system
 * (ERROR_DISK_FULL when it cannot grow).
 */
BOOL SetEndOfFile(HANDLE hFile) {
    std::shared_ptr<nt::FileObject> f = nt::findhandle<nt::FileObject>(hFile);
    if (!f) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (!f->canwrite) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (ftruncate(f->fd, (off_t)f->pos) != 0) return nt::failwith(nt::errnotowin(errno, ""), FALSE);
    f->size = f->pos;
    return TRUE;
}

/***********************************************************************
 * WriteFile
 *
 * Writes at the file position of a handle and advances it. A write is all
 * or nothing: when the disk fills (or the file size limit is reached) part
 * way, the file is cut back to its old size and the position restored.
 *   hFile                  [I] file handle opened with GENERIC_WRITE
 *   lpBuffer               [I] the bytes
 *   nNumberOfBytesToWrite  [I] their count
 *   lpNumberOfBytesWritten [O] the count written; 0 before any work
 *   lpOverlapped           [I] must be NULL
 * RETURNS TRUE with every byte written. FALSE with ERROR_INVALID_HANDLE,
 * ERROR_ACCESS_DENIED for a handle not open for writing, ERROR_DISK_FULL (112)
 * or ERROR_DISK_QUOTA_EXCEEDED (1295) with nothing written,
 * ERROR_INVALID_PARAMETER for an overlapped write.
 */
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    std::shared_ptr<nt::FileObject> f = nt::findhandle<nt::FileObject>(hFile);
    if (!f) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (lpOverlapped) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    if (!f->canwrite) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (nNumberOfBytesToWrite == 0) return TRUE;
    if (!lpBuffer) return nt::failwith(ERROR_NOACCESS, FALSE);
    const int64_t start = f->pos;
    const char *p = (const char *)lpBuffer;
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = write(f->fd, p + done, nNumberOfBytesToWrite - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Undo the part written: the file goes back to the size it had
            // (unless the write stayed inside it) and the position to start.
            int err = n < 0 ? errno : ENOSPC;
            if (done > 0) {
                struct stat st;
                bool grown = fstat(f->fd, &st) == 0 && st.st_size <= start + (int64_t)done && st.st_size > f->size;
                if ((!grown || ftruncate(f->fd, (off_t)f->size) == 0) && lseek(f->fd, (off_t)start, SEEK_SET) >= 0)
                    done = 0;
            }
            f->pos = start + (int64_t)done;
            return nt::failwith(nt::errnotowin(err, ""), FALSE);
        }
        done += (DWORD)n;
    }
    f->pos = start + (int64_t)done;
    if (f->pos > f->size) f->size = f->pos;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}

/***********************************************************************
 * ReadFile
 *
 * Reads from the file position of a handle and advances it.
 *   hFile                [I] file handle opened with GENERIC_READ
 *   lpBuffer             [O] the bytes
 *   nNumberOfBytesToRead [I] the most to read
 *   lpNumberOfBytesRead  [O] the count read: less at the end of the file, 0
 *                            there (which is still success)
 *   lpOverlapped         [I] must be NULL
 * RETURNS TRUE. FALSE with ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED for a
 * handle not open for reading, ERROR_INVALID_PARAMETER for an overlapped read.
 */
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    std::shared_ptr<nt::FileObject> f = nt::findhandle<nt::FileObject>(hFile);
    if (!f) return nt::failwith(ERROR_INVALID_HANDLE, FALSE);
    if (lpOverlapped) return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    if (!f->canread) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (nNumberOfBytesToRead == 0) return TRUE;
    if (!lpBuffer) return nt::failwith(ERROR_NOACCESS, FALSE);
    char *p = (char *)lpBuffer;
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        ssize_t n = read(f->fd, p + done, nNumberOfBytesToRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            f->pos += done;
            return nt::failwith(nt::errnotowin(errno, ""), FALSE);
        }
        if (n == 0) break;
        done += (DWORD)n;
    }
    f->pos += done;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return TRUE;
}

// ---------------------------------------------------------------- deleting and renaming

/***********************************************************************
 * DeleteFileA
 *
 * Deletes a file.
 *   lpFileName [I] drive, UNC or host path
 * RETURNS TRUE. FALSE with 2 or 3 when the file or a folder is missing,
 * ERROR_ACCESS_DENIED for a folder or a read-only file,
 * ERROR_SHARING_VIOLATION while a handle that does not share delete access is
 * open on it, and the path errors.
 */
BOOL DeleteFileA(LPCSTR lpFileName) {
    std::string host;
    if (DWORD rc = nt::writepath(lpFileName, &host)) return nt::failwith(rc, FALSE);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return nt::failwith(nt::errnotowin(errno, host), FALSE);
    if (S_ISDIR(st.st_mode) || nt::readonlyfile(st)) return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
    if (nt::deleteblocked(host)) return nt::failwith(ERROR_SHARING_VIOLATION, FALSE);
    if (unlink(host.c_str()) != 0) return nt::failwith(nt::errnotowin(errno, host), FALSE);
    return TRUE;
}

/***********************************************************************
 * MoveFileExA
 *
 * Renames a file, atomically: a reader of the new name sees the old file or
 * the new one, never neither.
 *   lpExistingFileName [I] the file
 *   lpNewFileName      [I] its new name, on the same computer and drive
 *   dwFlags            [I] 0 or MOVEFILE_REPLACE_EXISTING, optionally with
 *                          MOVEFILE_WRITE_THROUGH (8)
 * RETURNS TRUE. FALSE with ERROR_ALREADY_EXISTS (183) when the new name exists
 * and may not be replaced, ERROR_ACCESS_DENIED when it is a folder, read-only
 * or open without delete sharing, ERROR_SHARING_VIOLATION when the file itself
 * is open without delete sharing, ERROR_NOT_SAME_DEVICE (17) across file
 * systems (copying is not offered), ERROR_INVALID_PARAMETER for other flags or
 * a null new name, 2 or 3 for a missing file or folder, and the path errors.
 */
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    const DWORD writethrough = 0x8;
    if (!lpNewFileName || (dwFlags & ~(DWORD)(MOVEFILE_REPLACE_EXISTING | writethrough)))
        return nt::failwith(ERROR_INVALID_PARAMETER, FALSE);
    std::string from, to;
    if (DWORD rc = nt::writepath(lpExistingFileName, &from)) return nt::failwith(rc, FALSE);
    if (DWORD rc = nt::writepath(lpNewFileName, &to)) return nt::failwith(rc, FALSE);
    struct stat src, dst;
    if (lstat(from.c_str(), &src) != 0) return nt::failwith(nt::errnotowin(errno, from), FALSE);
    if (S_ISREG(src.st_mode) && nt::deleteblocked(from)) return nt::failwith(ERROR_SHARING_VIOLATION, FALSE);
    bool replacing = false;
    if (lstat(to.c_str(), &dst) == 0) {
        if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
            // The same file under another spelling: only the case changes.
            std::string name = lpNewFileName;
            std::string::size_type sep = name.find_last_of("\\/");
            if (sep != std::string::npos) name = name.substr(sep + 1);
            to = nt::parentfolder(to) + "/" + name;
        } else {
            if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return nt::failwith(ERROR_ALREADY_EXISTS, FALSE);
            if (S_ISDIR(dst.st_mode) || nt::readonlyfile(dst) || nt::deleteblocked(to))
                return nt::failwith(ERROR_ACCESS_DENIED, FALSE);
            replacing = true;
        }
    }
    int rc = replacing ? rename(from.c_str(), to.c_str())
                       : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !replacing && (errno == EINVAL || errno == ENOSYS)) rc = rename(from.c_str(), to.c_str());
    if (rc != 0) {
        if (errno == EXDEV) return nt::failwith(ERROR_NOT_SAME_DEVICE, FALSE);
        if (errno == EEXIST) return nt::failwith(ERROR_ALREADY_EXISTS, FALSE);
        return nt::failwith(nt::errnotowin(errno, to), FALSE);
    }
    if (dwFlags & writethrough) {
        int dir = open(nt::parentfolder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
    return TRUE;
}

// ---------------------------------------------------------------- temporary file names

/***********************************************************************
 * GetTempFileNameA
 *
 * Makes a name for a temporary file: the folder as given, a backslash unless
 * it ends in one, the first three characters of the prefix, the number in
 * upper-case hexadecimal without leading zeros, and ".tmp"
 * ("C:\out\QLG1F.tmp"). The name works as a path for the other file calls.
 *   lpPathName     [I] the folder
 *   lpPrefixString [I] the prefix (may be NULL)
 *   uUnique        [I] 0: choose a free number and create the file, empty;
 *                      otherwise use its low 16 bits and create nothing
 *   lpTempFileName [O] the name; needs MAX_PATH characters
 * RETURNS the number used. 0 on failure: ERROR_BUFFER_OVERFLOW (111) for a
 * folder path longer than MAX_PATH - 14, ERROR_DIRECTORY (267) when the folder
 * does not exist or is a file, ERROR_FILE_EXISTS (80) when all 65,535 names
 * are taken, or the error that stopped the creation (5, 112, ...).
 */
UINT GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    if (!lpPathName || !lpTempFileName) return nt::failwith(ERROR_INVALID_PARAMETER, 0u);
    size_t pathlen = strlen(lpPathName);
    if (pathlen > MAX_PATH - 14) return nt::failwith(ERROR_BUFFER_OVERFLOW, 0u);
    std::string folder;
    if (nt::hostpath(lpPathName, &folder) != ERROR_SUCCESS || !nt::isfolder(folder))
        return nt::failwith(ERROR_DIRECTORY, 0u);
    if (DWORD rc = nt::writepath(lpPathName, &folder)) return nt::failwith(rc, 0u);

    std::string stem = lpPathName;
    if (stem.empty() || stem.back() != '\\') stem += '\\';
    std::string prefix = lpPrefixString ? std::string(lpPrefixString).substr(0, 3) : "";
    auto filename = [&](UINT number) {
        char digits[16];
        snprintf(digits, sizeof digits, "%X", number);
        return prefix + digits + ".tmp";
    };
    auto result = [&](UINT number) {
        std::string full = stem + filename(number);
        memcpy(lpTempFileName, full.c_str(), full.size() + 1);
        return number;
    };
    if (uUnique != 0) return result(uUnique & 0xFFFF);

    // Names already in the folder, folded: Windows names are case-blind, so
    // "qlg1f.tmp" takes the number 0x1F too.
    std::set<std::string> taken;
    if (DIR *d = opendir(folder.c_str())) {
        while (struct dirent *e = readdir(d)) {
            taken.insert(nt::foldtext(e->d_name));
        }
        closedir(d);
    }
    UINT number = GetTickCount() & 0xFFFF;
    for (UINT tries = 0; tries < 0xFFFF; ++tries, number = number >= 0xFFFF ? 1 : number + 1) {
        if (number == 0) number = 1;
        std::string name = filename(number);
        if (taken.count(nt::foldtext(name))) continue;
        std::string host = folder + "/" + name;
        int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            close(fd);
            return result(number);
        }
        if (errno != EEXIST) return nt::failwith(nt::errnotowin(errno, host), 0u);
    }
    return nt::failwith(ERROR_FILE_EXISTS, 0u);
}

// ---------------------------------------------------------------- the module

namespace {
// The executable's module handle points here.
char exemodule;
} // namespace

/***********************************************************************
 * GetModuleHandleA
 *
 *   lpModuleName [I] NULL for the executable
 * RETURNS the executable's module handle for NULL; NULL with
 * ERROR_MOD_NOT_FOUND for a name (only the executable is a loaded module).
 */
HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName) return nt::failwith(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
    return (HMODULE)&exemodule;
}

/***********************************************************************
 * GetModuleFileNameA
 *
 * The path of the running executable, as a host path.
 *   hModule    [I] NULL or GetModuleHandleA(NULL)
 *   lpFilename [O] the path
 *   nSize      [I] size of lpFilename in characters
 * RETURNS the length without the NUL. When the path does not fit: nSize,
 * with nSize - 1 characters and a NUL stored, and ERROR_INSUFFICIENT_BUFFER.
 * 0 with ERROR_MOD_NOT_FOUND for another module.
 */
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule && hModule != (HMODULE)&exemodule) return nt::failwith(ERROR_MOD_NOT_FOUND, (DWORD)0);
    std::string path;
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return nt::failwith(nt::errnotowin(errno, ""), (DWORD)0);
        if ((size_t)n < buf.size()) {
            path.assign(buf.data(), (size_t)n);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    if (nSize == 0) return nt::failwith(ERROR_INSUFFICIENT_BUFFER, (DWORD)0);
    if (!lpFilename) return nt::failwith(ERROR_NOACCESS, (DWORD)0);
    if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = 0;
        return nt::failwith(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return (DWORD)path.size();
}

// ---------------------------------------------------------------- memory

/***********************************************************************
 * LocalAlloc
 *
 *   uFlags [I] LMEM_FIXED, optionally with LMEM_ZEROINIT (0x40)
 *   uBytes [I] size; 0 gives a valid empty block
 * RETURNS the block (a plain pointer, freed with LocalFree). NULL with
 * ERROR_NOT_ENOUGH_MEMORY, or ERROR_INVALID_PARAMETER for movable memory and
 * other flags, which are not offered.
 */
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    const UINT zeroinit = 0x40;
    if (uFlags & ~zeroinit) return nt::failwith(ERROR_INVALID_PARAMETER, (HLOCAL) nullptr);
    size_t size = uBytes ? uBytes : 1;
    void *p = (uFlags & zeroinit) ? calloc(1, size) : malloc(size);
    if (!p) return nt::failwith(ERROR_NOT_ENOUGH_MEMORY, (HLOCAL) nullptr);
    return p;
}

/***********************************************************************
 * LocalFree
 *
 *   hMem [I] a block from LocalAlloc, or NULL
 * RETURNS NULL.
 */
HLOCAL LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}
