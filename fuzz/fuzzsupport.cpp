// fuzzsupport.cpp: what the libFuzzer targets share, and the console routines
// they use instead of console/console.cpp.
#include "fuzzsupport.h"

#include "console/console.h"
#include "platform/posix/handles.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

int ExitCode = ExitClean;

void msgout(const char *fmt, ...) {
    // Formatting every message still checks its arguments; the text is dropped.
    static char scratch[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
}

void fatalexit() { throw fz::FatalStop(); }

void internalerror(const char *routine, int n) {
    fprintf(stderr, "==>internal error, %s, #%d\n", routine, n);
    abort();
}

namespace fz {

const std::string &workdir() {
    static const std::string dir = [] {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillog-fuzz-XXXXXX";
        if (!mkdtemp(&tmpl[0])) {
            perror("mkdtemp");
            abort();
        }
        return tmpl;
    }();
    return dir;
}

void writebytes(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    check(fd >= 0, "cannot create a work file");
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        check(n > 0, "cannot write a work file");
        done += (size_t)n;
    }
    close(fd);
}

void check(bool cond, const char *what) {
    if (cond) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

HANDLE nexthandle() {
    HANDLE h = nt::addhandle(std::make_shared<nt::KernelObject>(nt::ObjectType::File));
    CloseHandle(h);
    return (HANDLE)((uintptr_t)h + 4);
}

void closehandlesfrom(HANDLE first) {
    HANDLE end = nexthandle();
    for (uintptr_t h = (uintptr_t)first; h < (uintptr_t)end; h += 4) CloseHandle((HANDLE)h);
}

} // namespace fz
