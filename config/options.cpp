// options.cpp: the command line into RunOptions, and the usage text.
//
// Options are recognised loosely: each argument is lower-cased in place, then
// the option texts are searched for anywhere in it, in the order of the table
// below, and the first one found decides. Values are taken at fixed offsets
// from the start of the argument, not from where the option text was found,
// so "/computer:server" names server and "/outfile=c:/all.txt" is taken as
// "/all". Last, the target computer's system root is read from its registry.
#include "config/options.h"

#include "config/ascii.h"
#include "config/machinekey.h"

#include "console/console.h"

#include <cstring>

RunOptions Options;

namespace {

// The option texts, in the order they are tested.
enum OptionKind { OptHelp, OptLogfile, OptAll, OptReg, OptComputer, OptOutfile, OptOutdir, OptClear, OptBackup };

struct OptionText {
    const char *text;
    OptionKind kind;
};

const OptionText OptionTable[] = {
    {"/?", OptHelp},
    {"/logfile=", OptLogfile},
    {"/all", OptAll},
    {"/reg=local_machine", OptReg},
    {"/computer", OptComputer},
    {"/outfile", OptOutfile},
    {"/outdir=", OptOutdir},
    {"/clear", OptClear},
    {"/backup", OptBackup},
};

// Offsets of the values: "/logfile=" 9, "/computer=" 10, "/outfile=" 9, "/outdir=" 8.
const size_t LogTypeOffset = 9;
const size_t LogFileOffset = 13;
const size_t ComputerOffset = 10;
const size_t OutfileOffset = 9;
const size_t OutdirOffset = 8;

struct LogType {
    const char *type;
    const char *code;
    const char *name;
};

const LogType LogTypes[] = {
    {"app", "APP", "Application"},
    {"sec", "SEC", "Security"},
    {"sys", "SYS", "System"},
};

void lowercase(char *arg) {
    for (char *p = arg; *p; ++p) *p = asciilower(*p);
}

void resetoptions() {
    Options.LogTypeCode = nullptr;
    Options.LogName = nullptr;
    Options.LogFile = nullptr;
    Options.Computer = nullptr;
    Options.Outfile = nullptr;
    Options.TempFileName[0] = 0;
    Options.BookmarkHive = HKEY_CURRENT_USER;
    Options.All = false;
    Options.Clear = false;
    Options.Backup = false;
    Options.SystemRoot[0] = 0;
}

bool parselogfile(char *arg) {
    if (strlen(arg) >= LogFileOffset && arg[LogFileOffset - 1] == '=') {
        arg[LogFileOffset - 1] = 0;
        Options.LogFile = arg + LogFileOffset;
    }
    for (const LogType &t : LogTypes) {
        if (lstrcmpiA(arg + LogTypeOffset, t.type) == 0) {
            Options.LogTypeCode = t.code;
            Options.LogName = t.name;
            return true;
        }
    }
    msgout("==>Invalid value of /logfile parameter, use app, sec or sys\n");
    return false;
}

bool parseoutdir(char *arg) {
    const char *dir = arg + OutdirOffset;
    if (GetTempFileNameA(dir, "QLG", 0, Options.TempFileName) == 0) {
        msgout("==>GetTempFileName rc=%lu dir=%s\n", (unsigned long)GetLastError(), dir);
        return false;
    }
    Options.TempFileName[MAX_PATH] = 0;
    Options.Outfile = Options.TempFileName;
    return true;
}

// Handles one lower-cased argument; false when it ends the parse.
bool parseone(char *arg) {
    const OptionText *found = nullptr;
    for (const OptionText &opt : OptionTable) {
        if (strstr(arg, opt.text)) {
            found = &opt;
            break;
        }
    }
    size_t len = strlen(arg);
    // An option whose value would start past the end of the argument has no
    // value at all; it is refused like an unknown text.
    if (!found || (found->kind == OptComputer && len < ComputerOffset) ||
        (found->kind == OptOutfile && len < OutfileOffset)) {
        msgout("==>unknown parameters: %s\n", arg);
        return false;
    }
    switch (found->kind) {
    case OptHelp: return false;
    case OptLogfile: return parselogfile(arg);
    case OptAll: Options.All = true; return true;
    case OptReg: Options.BookmarkHive = HKEY_LOCAL_MACHINE; return true;
    case OptComputer: Options.Computer = arg + ComputerOffset; return true;
    case OptOutfile: Options.Outfile = arg + OutfileOffset; return true;
    case OptOutdir: return parseoutdir(arg);
    case OptClear: Options.Clear = true; return true;
    case OptBackup: Options.Backup = true; return true;
    }
    return false;
}

// Reads SystemRoot of the target computer's HKEY_LOCAL_MACHINE. Every key it
// opens is closed on every path.
bool readsystemroot() {
    DWORD size = MAX_PATH;
    MachineKeyStep failed;
    LONG rc = readmachinevalue(Options.Computer, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                               (LPBYTE)Options.SystemRoot, &size, &failed);
    if (rc != ERROR_SUCCESS) {
        static const char *const lines[] = {"==>RegConnectKeyEx rc=%ld\n", "==>RegOpenKeyEx rc=%ld\n", "",
                                            "==>RegQueryValueEx rc=%ld\n"};
        msgout(lines[failed], (long)rc);
        return false;
    }
    Options.SystemRoot[MAX_PATH] = 0;
    return true;
}

} // namespace

bool parseargs(int argc, char **argv) {
    resetoptions();
    for (int i = 1; i < argc; ++i) {
        lowercase(argv[i]);
        if (!parseone(argv[i])) return false;
    }
    if (!Options.LogTypeCode) {
        msgout("==>Missing /logfile parameter\n");
        return false;
    }
    if (!Options.Outfile) {
        msgout("==>Missing /outfile or /outdir parameter\n");
        return false;
    }
    return readsystemroot();
}

void printusage() {
    msgout("Dump eventlog in format suitable for importing into database\n"
           "Messages written to stdout\n"
           "Dump output written to file specified by /outfile or /outdir\n"
           "Parameters:\n"
           "  /logfile=type      eventlog to dump, type can be app, sec or sys\n"
           "  /logfile=type=path backed up eventlog file to dump\n"
           "  /outfile=path      create new file or append to end of existing file\n"
           "  /outdir=path       create new .tmp file in specified directory\n"
           "  /all               dump all recs (default is recs added since last dump\n"
           "  /computer=name     dump eventlog for specified computer (default is local)\n"
           "  /reg=local_machine use HKEY_LOCAL_MACHINE instead of HKEY_CURRENT_USER\n"
           "  /clear             clear event log after successful dump\n"
           "Specify formatting parameters in QUILLOG.INI file\n"
           "See quillog.hlp for complete documentation\n"
           "Visit https://quillog.brantwick.example/ for latest version\n"
           "Send problem reports to quillog-support@brantwick.example\n\n");
}
