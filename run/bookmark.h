// bookmark.h: the bookmark store that makes runs incremental, and the
// program's registry housekeeping (legacy-key migration, uninstall).
#ifndef QUILLOG_RUN_BOOKMARK_H
#define QUILLOG_RUN_BOOKMARK_H

#include "platform/win32.h"

// The version text printed in the banner and stored as "Version".
extern const char VersionText[];

// Removes the program's keys from both hives and prints the uninstall message.
void uninstall();

// Moves the values of the legacy key into the program's key under hive.
void migratekey(HKEY hive);

// Builds the bookmark value name "<LogName>-<computer>" into name (100
// characters); ends the process when the computer name cannot be had or the
// name would not fit.
void bookmarkname(const char *logname, const char *computer, char name[100]);

// Decides where an incremental run starts. Returns false when there is nothing
// to process; otherwise stores the first record number in *start. May set the
// exit code to ExitWarning; ends the process when the log cannot be measured.
bool getstartrec(HANDLE log, HKEY hive, const char *name, DWORD *start);

// Stores the last processed record number and "Version". May set the exit code
// to ExitWarning.
void savebookmark(HKEY hive, const char *name, DWORD last);

#endif // QUILLOG_RUN_BOOKMARK_H
