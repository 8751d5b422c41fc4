// console.cpp: the console routine, the run's exit code, fatal stops: the
// routines a program that embeds the logic (the fuzz targets) replaces.
#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

int ExitCode = ExitClean;

void msgout(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
}

void fatalexit() {
    fflush(stdout);
    exit(ExitError);
}

void internalerror(const char *routine, int n) {
    msgout("==>internal error, %s, #%d\n", routine, n);
    fatalexit();
}
