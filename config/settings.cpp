// settings.cpp: the formatting settings file QUILLOG.INI and the settings echo.
//
// QUILLOG.INI lives in the executable's own folder, whatever the executable is
// called. It holds key=value lines; a line whose first character is ";" is a
// comment. Keys match without regard to case, over their full length with the
// equals sign; nothing around the key or the value is trimmed, so a stray
// blank makes a line unknown, and an unknown line stops the run rather than
// being silently ignored.
//
// The file is read through the platform's file calls, the way the C library
// reads a file opened in text mode: a CR LF pair arrives as one line feed,
// and a Ctrl-Z (0x1A) ends the text.
// Lines are taken in pieces of at most 100 characters, each piece handled as a
// line of its own.
#include "config/settings.h"

#include "config/ascii.h"
#include "config/options.h"
#include "console/console.h"
#include "platform/win32.h"

#include <climits>
#include <cstdlib>
#include <cstring>

FormatSettings Settings;

namespace {

const char IniName[] = "QUILLOG.INI";
const char UnknownLine[] = "==>unknown .INI parameter (be sure to avoid extra spaces): %s\n";

// Longest piece of a line handled at once, and the size of its buffer.
const int LinePiece = 100;
// The character that ends a text file read in text mode.
const int CtrlZ = 0x1A;

// Reads the settings file byte by byte over a fixed buffer, joining CR LF
// pairs into one line feed. A failed read ends the file, as it ends fgets.
class IniReader {
public:
    explicit IniReader(HANDLE file) : file_(file) {}

    // Reads up to LinePiece characters, up to and including a line feed,
    // into line (LinePiece + 1 bytes) and terminates it. False at the end of
    // the file when nothing was read.
    bool readline(char *line) {
        int n = 0;
        while (n < LinePiece) {
            int c = next();
            if (c < 0) break;
            line[n++] = (char)c;
            if (c == '\n') break;
        }
        line[n] = '\0';
        return n > 0;
    }

private:
    int raw() {
        if (pos_ == len_ && !fill()) return -1;
        return (unsigned char)buf_[pos_++];
    }

    // A Ctrl-Z ends the text, as it does for a file read in text mode.
    int next() {
        int c = raw();
        if (c == CtrlZ) {
            pos_ = len_;
            ended_ = true;
            return -1;
        }
        if (c == '\r') {
            if (pos_ == len_ && !fill()) return c;
            if (buf_[pos_] == '\n') {
                ++pos_;
                return '\n';
            }
        }
        return c;
    }

    bool fill() {
        if (ended_) return false;
        DWORD got = 0;
        if (!ReadFile(file_, buf_, sizeof buf_, &got, nullptr) || got == 0) return false;
        pos_ = 0;
        len_ = got;
        return true;
    }

    HANDLE file_;
    char buf_[4096];
    DWORD pos_ = 0;
    DWORD len_ = 0;
    bool ended_ = false;
};

// The keys of the settings file, in the order they are tried.
enum IniKey {
    IniFormat,
    IniDateFormat,
    IniMaxMessageLen,
    IniMaxFragmentLen,
    IniFieldSeparator,
    IniReplaceFieldSeparator,
    IniReplaceCRLF,
    IniReplaceCR,
    IniReplaceLF,
    IniStringSeparator,
    IniDumpData,
    IniDumpRecnum,
    IniKeyCount
};

const char *const IniKeys[IniKeyCount] = {
    "Format=",      "DateFormat=", "MaxMessageLen=", "MaxFragmentLen=",  "FieldSeparator=", "ReplaceFieldSeparator=",
    "ReplaceCRLF=", "ReplaceCR=",  "ReplaceLF=",     "StringSeparator=", "DumpData=",       "DumpRecnum=",
};

// True when the line holds only blanks and tabs (or nothing).
bool isblankline(const char *line) {
    for (; *line; ++line)
        if (*line != ' ' && *line != '\t') return false;
    return true;
}

// A decimal value: leading white space, an optional sign, then digits up to the
// first other character; no digits reads as 0. Values beyond the 32-bit range
// are held at its ends (they are out of the valid range either way).
int readint(const char *value) {
    long v = strtol(value, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

[[noreturn]] void unknownline(const char *line) {
    msgout(UnknownLine, line);
    fatalexit();
}

// Applies one line of the file (its line feed removed). replacelfset records
// whether a "ReplaceLF=" line with a value was read.
void applyline(const char *line, bool *replacelfset) {
    int key = 0;
    while (key < IniKeyCount && !startsnocase(line, IniKeys[key])) ++key;
    if (key == IniKeyCount) {
        if (isblankline(line)) return;
        unknownline(line);
    }
    const char *value = line + strlen(IniKeys[key]);
    FormatSettings &s = Settings;
    switch (key) {
    case IniFormat:
        if (value[0] == 'n' || value[0] == 'N') s.Format = false;
        break;
    case IniDateFormat:
        strncpy(s.DateFormat, value, sizeof s.DateFormat - 1);
        s.DateFormat[sizeof s.DateFormat - 1] = '\0';
        s.DateFormatSet = true;
        break;
    case IniMaxMessageLen: s.MaxMessageLen = readint(value); break;
    case IniMaxFragmentLen: s.MaxFragmentLen = readint(value); break;
    case IniFieldSeparator:
        if (value[0]) s.FieldSeparator = value[0];
        break;
    case IniReplaceFieldSeparator:
        if (value[0]) s.ReplaceFieldSeparator = value[0];
        break;
    case IniReplaceCRLF:
    case IniReplaceCR:
        if (value[0]) s.ReplaceCR = value[0];
        break;
    case IniReplaceLF:
        if (value[0]) {
            s.ReplaceLF = value[0];
            *replacelfset = true;
        }
        break;
    case IniStringSeparator:
        if (value[0]) s.StringSeparator = value[0];
        break;
    case IniDumpData:
        if (startsnocase(value, "none"))
            s.DumpData = DumpNone;
        else if (startsnocase(value, "hex"))
            s.DumpData = DumpHex;
        else if (startsnocase(value, "char"))
            s.DumpData = DumpChar;
        else
            unknownline(line);
        break;
    case IniDumpRecnum:
        if (value[0] == 'y' || value[0] == 'Y') s.DumpRecnum = true;
        break;
    }
}

// Reads every line of an open settings file into Settings.
void readfile(HANDLE file, bool *replacelfset) {
    IniReader reader(file);
    char line[LinePiece + 1];
    while (reader.readline(line)) {
        if (line[0] == ';') continue;
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
        applyline(line, replacelfset);
    }
}

// Corrects the limits and derives FragmentCount; too many fragments end the run.
void validate(bool replacelfset) {
    FormatSettings &s = Settings;
    if (!replacelfset) s.ReplaceLF = s.ReplaceCR;
    if (s.MaxMessageLen <= 0 || s.MaxMessageLen > LongestMessage) s.MaxMessageLen = LongestMessage;
    if (s.MaxFragmentLen <= 0 || s.MaxFragmentLen > s.MaxMessageLen) s.MaxFragmentLen = s.MaxMessageLen;
    s.FragmentCount = (s.MaxMessageLen + s.MaxFragmentLen - 1) / s.MaxFragmentLen;
    if (s.FragmentCount > MostFragments) {
        msgout("==>more than %d fragments, check MaxMessageLen and MaxFragmentLen\n", MostFragments);
        fatalexit();
    }
}

// The settings file's path: the executable's path with its file name (the
// part after the last separator) replaced by QUILLOG.INI. False when the
// executable's path cannot be had whole.
bool inipath(char *path, size_t size) {
    HMODULE self = GetModuleHandleA(nullptr);
    if (!self) return false;
    char exe[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(self, exe, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return false;
    exe[n] = '\0';
    size_t dir = n;
    while (dir > 0 && exe[dir - 1] != '\\' && exe[dir - 1] != '/') --dir;
    if (dir + sizeof IniName > size) return false;
    memcpy(path, exe, dir);
    memcpy(path + dir, IniName, sizeof IniName);
    return true;
}

} // namespace

void readsettings(const char *path) {
    Settings = FormatSettings();
    bool replacelfset = false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        readfile(file, &replacelfset);
        CloseHandle(file);
    }
    validate(replacelfset);
}

void readini() {
    char path[MAX_PATH + sizeof IniName];
    if (inipath(path, sizeof path)) {
        readsettings(path);
    } else {
        Settings = FormatSettings();
        validate(false);
    }
}

const char *sepname(char c) {
    switch (c) {
    case '\t': return "(tab)";
    case '\n': return "(LF)";
    case '\r': return "(CR)";
    case ' ': return "(blank)";
    default: return " ";
    }
}

void printsettings() {
    const RunOptions &o = Options;
    const FormatSettings &s = Settings;
    msgout("LogType=%s\n", o.LogName);
    if (o.LogFile) msgout("LogFile=%s\n", o.LogFile);
    if (o.Computer)
        msgout("Computer=%s\n", o.Computer);
    else
        msgout("Computer=(local)\n");
    msgout("SystemRoot=%s\n", printable(o.SystemRoot));
    msgout("Outfile=%s\n", o.Outfile);
    if (!o.LogFile) {
        if (o.BookmarkHive == HKEY_CURRENT_USER)
            msgout("Use HKEY_CURRENT_USER for saving record number\n");
        else
            msgout("Use HKEY_LOCAL_MACHINE for saving record number\n");
        if (o.Clear) msgout("Clear event log after dumping\n");
    }
    if (o.Backup) msgout("Perform backup of event log\n");
    msgout("Format=%s\n", s.Format ? "yes" : "no");
    if (s.DateFormatSet)
        msgout("DateFormat=%s\n", s.DateFormat);
    else
        msgout("DateFormat=(locale dependent)\n");
    msgout("FieldSeparator=%c %s\n", s.FieldSeparator, sepname(s.FieldSeparator));
    msgout("ReplaceFieldSeparator=%c %s\n", s.ReplaceFieldSeparator, sepname(s.ReplaceFieldSeparator));
    msgout("ReplaceCR=%c %s\n", s.ReplaceCR, sepname(s.ReplaceCR));
    msgout("ReplaceLF=%c %s\n", s.ReplaceLF, sepname(s.ReplaceLF));
    msgout("StringSeparator=%c %s\n", s.StringSeparator, sepname(s.StringSeparator));
    msgout("MaxMessageLen=%d\n", s.MaxMessageLen);
    msgout("MaxFragmentLen=%d\n", s.MaxFragmentLen);
    static const char *const dumpnames[] = {"none", "hex", "char"};
    msgout("DumpData=%s\n", dumpnames[s.DumpData]);
    msgout("DumpRecnum=%s\n", s.DumpRecnum ? "yes" : "no");
}
