// msgout.cpp: console messages, the run's exit code, fatal stops.
#include "run/msgout.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

int ExitCode = EXIT_CLEAN;

void msgout(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
}

void fatalexit() {
    fflush(stdout);
    exit(EXIT_ERROR);
}

void internalerror(const char *routine, int n) {
    msgout("==>internal error, %s, #%d\n", routine, n);
    fatalexit();
}

const char *printable(const char *text) {
    static char areas[4][4096];
    static unsigned next;
    char *area = areas[next++ % 4];
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p && n < sizeof areas[0] - 1; ++p) {
        if (*p < 32 || *p == 127) {
            if (n + 2 > sizeof areas[0] - 1) break;
            area[n++] = '^';
            area[n++] = (char)(*p ^ 0x40);
        } else {
            area[n++] = (char)*p;
        }
    }
    area[n] = '\0';
    return area;
}
