// outfile.h: the output file's life: opened for appending, or replaced by a
// backup copy of the log.
#ifndef QUILLOG_OUTPUT_OUTFILE_H
#define QUILLOG_OUTPUT_OUTFILE_H

#include "platform/win32.h"

// Opens Outfile for appending, without sharing, after cutting off an
// unfinished last line that a killed run left (a warning). Ends the run when
// the file cannot be opened or positioned.
HANDLE openoutput();

// Writes a backup copy of the log to Outfile, replacing it only when the copy
// is complete. Returns false, after reporting why, when no new backup is in
// place (the previous Outfile is then untouched).
bool backupoutput(HANDLE log);

#endif // QUILLOG_OUTPUT_OUTFILE_H
