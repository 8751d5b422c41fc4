// options.h: the command line, parsed into the process-wide RunOptions.
#ifndef QUILLOG_CONFIG_OPTIONS_H
#define QUILLOG_CONFIG_OPTIONS_H

#include "platform/win32.h"

// The settings of the command line. Texts that come from the command line are
// the lower-cased argument texts (they point into the argument vector).
struct RunOptions {
    const char *LogTypeCode;         // "APP", "SEC" or "SYS"; null until set
    const char *LogName;             // "Application", "Security" or "System"
    const char *LogFile;             // a backed-up log file to dump, or null
    const char *Computer;            // the computer whose log is dumped; null for the local one
    const char *Outfile;             // the output file
    char TempFileName[MAX_PATH + 1]; // the file that /outdir= obtained; Outfile then points here
    HKEY BookmarkHive;               // HKEY_CURRENT_USER, or HKEY_LOCAL_MACHINE with /reg=local_machine
    bool All;                        // dump all records instead of those added since the last run
    bool Clear;                      // clear the log after a successful dump
    bool Backup;                     // write a backup copy of the log to Outfile instead of dumping it
    char SystemRoot[MAX_PATH + 1];   // the target computer's system root folder
};

extern RunOptions Options;

// Fills Options from the argument vector (argument 0 is skipped), lower-casing
// each argument in place, and reads the target computer's system root. Returns
// false for "/?" and after printing the reason of any other failure.
bool parseargs(int argc, char **argv);

// Prints the usage text.
void printusage();

#endif // QUILLOG_CONFIG_OPTIONS_H
