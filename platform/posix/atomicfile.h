// atomicfile.h: whole-file replacement that concurrent writers and crashes
// cannot tear, and that never writes through a symbolic link.
//
// A writer takes an exclusive lock on a lock file beside the target
// ("<target>.lock", never removed, so every process locks the same inode),
// writes the new content to a temporary file in the same folder, flushes it to
// disk and renames it over the target. Readers never lock: they see either the
// old file or the new one, never a mix. A read-modify-write holds one FileLock
// across its read, its change and replacefile, so two processes changing the
// same file one after the other never lose each other's changes.
//
// The files written may lie in a folder that came from another machine, so
// nothing is created, written or renamed through a link: the target's folder
// must be a real folder, not a symbolic link to one; inside it the lock file,
// the temporary files (created new, O_EXCL) and the target are reached by name
// without following links. A folder, lock file or target that is a symbolic
// link, or a lock file or target that is not a regular file, is refused with
// ERROR_ACCESS_DENIED and nothing changes (replacing the link's own name
// would silently cut a link someone made on purpose; writing through it would
// change a file elsewhere). A new file gets permission bits only (0777 of
// the target it replaces, else 0666 less the umask): never set-user-ID,
// set-group-ID or sticky.
#ifndef QUILLOG_POSIX_ATOMICFILE_H
#define QUILLOG_POSIX_ATOMICFILE_H

#include "platform/win32.h"

#include <string>

namespace nt {

// An exclusive lock on "<target>.lock", held from acquire() until release() or
// destruction. Not copyable; one process may hold many locks on different
// targets; taking the same target's lock twice in one process waits out the
// bound and fails.
class FileLock {
public:
    explicit FileLock(std::string target) : target_(std::move(target)) {}
    ~FileLock() { release(); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Waits for the lock, at most LockWaitSeconds. Returns 0,
    // ERROR_SHARING_VIOLATION when another process held it all that time,
    // ERROR_ACCESS_DENIED for a folder or lock file that is a link or a lock
    // file that is not a regular file, or the Win32 code for why the lock
    // file could not be opened (ERROR_ACCESS_DENIED for a read-only
    // folder, ...).
    DWORD acquire();
    void release();

private:
    std::string target_;
    int fd_ = -1;
};

// Replaces target with content: temporary file in target's folder, fsync,
// rename over target, fsync of the folder. The caller holds target's FileLock.
// An existing target's permission bits are kept. Returns 0 or the Win32 code
// of the failure (ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ...); on failure the
// target is unchanged and no temporary file is left behind.
DWORD replacefile(const std::string &target, const std::string &content);

// Creates target with content unless it exists (ERROR_FILE_EXISTS then, also
// for a symbolic link of that name): the content goes to a temporary file
// that is linked to target's name, so no reader ever sees target empty or
// half-written. Needs no lock.
DWORD createatomic(const std::string &target, const std::string &content);

// Takes target's lock, replaces the file and releases the lock.
DWORD writeatomic(const std::string &target, const std::string &content);

} // namespace nt

#endif // QUILLOG_POSIX_ATOMICFILE_H
