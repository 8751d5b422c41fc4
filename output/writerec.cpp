// writerec.cpp: one event record into one output line.
// PLACEHOLDER until the record line writer lands: log type and record number only.
#include "output/writerec.h"

#include "config/options.h"
#include "run/msgout.h"

#include <cstdio>

void writerec(HANDLE outfile, DWORD ordinal, EVENTLOGRECORD *rec) {
    (void)ordinal;
    char line[64];
    int n = snprintf(line, sizeof line, "%s,%lu\r\n", Options.LogTypeCode, (unsigned long)rec->RecordNumber);
    DWORD written = 0;
    if (!WriteFile(outfile, line, (DWORD)n, &written, nullptr)) {
        msgout("==>WriteFile rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
}
