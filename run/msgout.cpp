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
