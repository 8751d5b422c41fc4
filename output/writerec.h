// writerec.h: one event record into one output line.
#ifndef QUILLOG_OUTPUT_WRITEREC_H
#define QUILLOG_OUTPUT_WRITEREC_H

#include "platform/win32.h"

// The longest line writerec writes, CR LF included.
const DWORD LongestLine = 128999;

// Writes exactly one line for the record to the output file, or ends the
// process. ordinal is the record's 1-based number within this run.
void writerec(HANDLE outfile, DWORD ordinal, EVENTLOGRECORD *rec);

#endif // QUILLOG_OUTPUT_WRITEREC_H
