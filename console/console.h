// console.h: console messages, the run's exit code, fatal stops.
//
// The leaf every part of the program reports through; it uses nothing of
// theirs. Every console line goes to standard output through msgout. A
// failing platform call is reported on the next line, before another call
// can change the last error. Fatal errors end the process at once with
// ExitError: nothing is closed, freed or saved on that path.
#ifndef QUILLOG_CONSOLE_CONSOLE_H
#define QUILLOG_CONSOLE_CONSOLE_H

#if defined(__GNUC__) || defined(__clang__)
#define QUILLOG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUILLOG_PRINTF(fmt, args)
#endif

// Exit codes of the process.
enum ExitCodes {
    ExitClean = 0,   // the run completed
    ExitWarning = 1, // completed, but something the operator should know happened
    ExitError = 2    // a rejected command line, or an error that stopped the run
};

// The run's exit code: ExitClean at the start, ExitWarning after a warning.
extern int ExitCode;

// Raises the run's exit code to code (ExitWarning or ExitError); it is
// never lowered.
inline void raiseexit(int code) {
    if (code > ExitCode) ExitCode = code;
}

// Prints a printf-style message to standard output.
void msgout(const char *fmt, ...) QUILLOG_PRINTF(1, 2);

// A text that came from a log, a registry or another outside source (a
// source name, a registry value, a library path), as the console may show
// it: every control character (below 32, and 127) as a caret and a
// character (a line feed as ^J, an escape as ^[, 127 as ^?), so that each
// console line is one line the program meant to print and no terminal
// control sequence passes. Returns one of four static areas, which stays
// valid until the fourth call after this one; a text longer than 4,095
// characters once escaped is cut.
const char *printable(const char *text);

// Ends the process at once with ExitError.
[[noreturn]] void fatalexit();

// Prints "==>internal error, <routine>, #<n>" and ends the process with ExitError.
[[noreturn]] void internalerror(const char *routine, int n);

#endif // QUILLOG_CONSOLE_CONSOLE_H
