// outfile.cpp: the output file's life.
//
// A dump appends to Outfile, after cutting off the unfinished last line a
// killed run may have left; a backup replaces Outfile by a complete copy of
// the log, made under a temporary name beside it and moved over it only when
// it is whole.
#include "output/outfile.h"

#include "config/options.h"
#include "config/settings.h"
#include "console/console.h"
#include "output/writerec.h"

#include <cstring>
#include <string>

namespace {

// The folder part of a path, with its last separator ("c:\\out\\" of
// "c:\\out\\x.txt"), or "." for a bare file name.
std::string folderof(const char *path) {
    const char *sep = strrchr(path, '\\');
    const char *slash = strrchr(path, '/');
    if (!sep || (slash && slash > sep)) sep = slash;
    if (sep) return std::string(path, (size_t)(sep - path + 1));
    if (path[0] && path[1] == ':') return std::string(path, 2);
    return ".";
}

// Moves the file position of h to pos; false (with the last error) on failure.
bool seekto(HANDLE h, unsigned long long pos) {
    LONG high = (LONG)(pos >> 32);
    return SetFilePointer(h, (LONG)(DWORD)pos, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

// Reads n bytes at pos into buffer; ends the run when they cannot be read.
void readat(HANDLE out, unsigned long long pos, char *buffer, DWORD n) {
    DWORD got = 0;
    if (!seekto(out, pos) || !ReadFile(out, buffer, n, &got, nullptr) || got != n) {
        msgout("==>ReadFile(%s) rc=%lu\n", Options.Outfile, (unsigned long)GetLastError());
        fatalexit();
    }
}

// True when the piece of the output file from pos to its end starts as a
// line of this run starts: the log type code and the field separator (a
// piece shorter than that, with what it has of them).
bool ourlinestart(HANDLE out, unsigned long long pos, unsigned long long size) {
    char start[8];
    const size_t codelen = strlen(Options.LogTypeCode);
    if (codelen + 1 > sizeof start) return false;
    const DWORD n = (DWORD)(size - pos < codelen + 1 ? size - pos : codelen + 1);
    readat(out, pos, start, n);
    for (DWORD i = 0; i < n; ++i)
        if (start[i] != (i < codelen ? Options.LogTypeCode[i] : Settings.FieldSeparator)) return false;
    return true;
}

// A run killed while it writes a line can leave the start of that line at
// the end of the output file (the system may stop a write between two pages
// of the file). That run saved no bookmark, so this one writes the line again
// whole; its unfinished start is cut off first, or it would run into the next
// line. Such a start is shorter than the longest line and begins as this
// run's lines begin, so the CR LF before it lies within the last
// LongestLine + 1 bytes; a file whose end is anything else (no CR LF there,
// or a piece some other program or person wrote) is left as it is. Returns
// the new size.
unsigned long long cutunfinishedline(HANDLE out, unsigned long long size) {
    const unsigned long long lowest = size > LongestLine + 1 ? size - (LongestLine + 1) : 0;
    char chunk[4096];
    unsigned long long end = size; // [end, size) holds no CR LF
    bool lfafter = false;          // the byte at end is LF
    while (end > lowest) {
        const DWORD n = (DWORD)(end - lowest < sizeof chunk ? end - lowest : sizeof chunk);
        const unsigned long long begin = end - n;
        readat(out, begin, chunk, n);
        for (DWORD i = n; i-- > 0;) {
            if (chunk[i] == '\r' && lfafter) {
                const unsigned long long whole = begin + i + 2;
                if (whole == size || !ourlinestart(out, whole, size)) return size;
                if (!seekto(out, whole) || !SetEndOfFile(out)) {
                    msgout("==>SetEndOfFile(%s) rc=%lu\n", Options.Outfile, (unsigned long)GetLastError());
                    fatalexit();
                }
                msgout("==>cut an unfinished last line of %lu bytes from %s\n", (unsigned long)(size - whole),
                       Options.Outfile);
                raiseexit(ExitWarning);
                return whole;
            }
            lfafter = chunk[i] == '\n';
        }
        end = begin;
    }
    return size;
}

} // namespace

// Writes the backup copy under a temporary name in Outfile's folder and puts
// it in place only when it is complete, so a failed backup never destroys the
// previous one. Returns false when no new backup is in place.
bool backupoutput(HANDLE log) {
    const std::string folder = folderof(Options.Outfile);
    char temp[MAX_PATH + 1];
    if (GetTempFileNameA(folder.c_str(), "QLG", 0, temp) == 0) {
        msgout("==>GetTempFileName rc=%lu dir=%s\n", (unsigned long)GetLastError(), folder.c_str());
        return false;
    }
    // The name is taken; the backup call refuses a file that exists.
    DeleteFileA(temp);
    if (!BackupEventLogA(log, temp)) {
        msgout("==>BackupEventLog(%s) rc=%lu\n", Options.Outfile, (unsigned long)GetLastError());
        DeleteFileA(temp);
        return false;
    }
    if (!MoveFileExA(temp, Options.Outfile, MOVEFILE_REPLACE_EXISTING)) {
        msgout("==>MoveFileEx(%s) rc=%lu\n", Options.Outfile, (unsigned long)GetLastError());
        DeleteFileA(temp);
        return false;
    }
    return true;
}

// Opens Outfile for appending. It is opened for reading too, to check how it
// ends; a file that may only be written is appended to as it is.
HANDLE openoutput() {
    HANDLE out = CreateFileA(Options.Outfile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool readable = out != INVALID_HANDLE_VALUE;
    if (!readable && GetLastError() == ERROR_ACCESS_DENIED)
        out = CreateFileA(Options.Outfile, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        msgout("==>CreateFile(%s) rc=%lu\n", Options.Outfile, (unsigned long)GetLastError());
        fatalexit();
    }
    // The high part is asked for, so that a file of 4 GB or more can grow.
    LONG high = 0;
    DWORD low = SetFilePointer(out, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        msgout("==>SetFilePointer rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    const unsigned long long size = ((unsigned long long)(DWORD)high << 32) | low;
    if (readable && size > 0 && !seekto(out, cutunfinishedline(out, size))) {
        msgout("==>SetFilePointer rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    return out;
}
