// floor.cpp: the least a dump of a log can cost with one write per line.
//
// Usage: floor <file.evt> <output> <bytes> <writes>
// Reads the log file with plain read() in blocks of 1,048,500 bytes (the
// dump's read size) and writes <bytes> bytes to a new output file in <writes>
// write() calls of nearly equal size, spread over the blocks as the lines of
// a dump are, each write taking its bytes from the block just read. Give it
// the size and line count of a dump of the same log: what is left of the
// dump's time beyond this program's is the work done per record.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const size_t BLOCK = 1048500;

bool writeall(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: floor <file.evt> <output> <bytes> <writes>\n");
        return 2;
    }
    const unsigned long long bytes = strtoull(argv[3], nullptr, 10), writes = strtoull(argv[4], nullptr, 10);
    int in = open(argv[1], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || st.st_size <= 0 || writes == 0) {
        fprintf(stderr, "floor: cannot read %s\n", argv[1]);
        return 1;
    }
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        fprintf(stderr, "floor: cannot create %s\n", argv[2]);
        return 1;
    }
    const unsigned long long total = (unsigned long long)st.st_size;
    const size_t longest = (size_t)(bytes / writes + 1);
    std::vector<char> block(BLOCK > longest ? BLOCK : longest);
    unsigned long long readsofar = 0, done = 0;
    for (;;) {
        ssize_t n = read(in, block.data(), BLOCK);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fprintf(stderr, "floor: read failed\n");
            return 1;
        }
        readsofar += (unsigned long long)n;
        // The writes due once this much of the log has been read.
        unsigned long long due = n == 0 ? writes : (unsigned long long)((long double)writes * readsofar / total);
        for (; done < due && done < writes; ++done) {
            size_t size = (size_t)(bytes / writes + (done < bytes % writes ? 1 : 0));
            if (!writeall(out, block.data(), size)) {
                fprintf(stderr, "floor: write failed\n");
                return 1;
            }
        }
        if (n == 0) break;
    }
    close(out);
    close(in);
    return 0;
}
