// fmtprobe.cpp: makes FormatMessageA calls under Wine for the differential
// test of the message emulation, and writes down what each call gave.
//
//   fmtprobe <requests> <results>
//
// <requests> is a text file of lines:
//   arg <n> <hex>              entry n (1-99) of the argument array is the
//                              string of these hex-coded bytes; entries not
//                              listed are null
//   module <path>              loads <path> with LoadLibraryExA as a data file
//   call <flags> <size> <id> <array>
//                              FormatMessageA over the last module, language
//                              1024, a buffer of <size> bytes and the argument
//                              array (<array> 0), or an array of 99 null
//                              entries (<array> 1); flags and id in hex
// <results> receives a first line with the code page and languages that
// the results depend on, then one line per module and per call:
//   info <ANSI code page> <user language> <system language> <thread locale>
//   module <handle 0|1> <last error>
//   call <return> <last error> <untouched 0|1> <hex bytes>
// Every call starts with SetLastError(0xdeadbeef) and a buffer filled with
// 'x'; on success the hex bytes are the output up to its terminator, and
// "untouched" says whether every byte of the buffer is still 'x'.
// Exit code 0, or 1 when a file could not be read or written, 2 for usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const DWORD MaxSize = 32767;
const int Entries = 99;

char Buffer[MaxSize + 1];
std::string Strings[Entries];
const char *Args[Entries];
const char *NullArgs[Entries];

int hexdigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unhex(const char *hex) {
    std::string bytes;
    while (hexdigit(hex[0]) >= 0 && hexdigit(hex[1]) >= 0) {
        bytes += (char)(hexdigit(hex[0]) * 16 + hexdigit(hex[1]));
        hex += 2;
    }
    return bytes;
}

void puthex(FILE *out, const char *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) fprintf(out, "%02x", (unsigned char)bytes[i]);
}

void call(FILE *out, HMODULE module, DWORD flags, DWORD size, DWORD id, const char **args) {
    if (size > MaxSize) size = MaxSize;
    memset(Buffer, 'x', sizeof Buffer);
    SetLastError(0xdeadbeef);
    DWORD ret = FormatMessageA(flags, module, id, 1024, Buffer, size, (va_list *)args);
    DWORD error = GetLastError();
    bool untouched = true;
    for (DWORD i = 0; i < size; ++i) untouched = untouched && Buffer[i] == 'x';
    fprintf(out, "call %lu %lu %d ", (unsigned long)ret, (unsigned long)error, untouched ? 1 : 0);
    if (ret) puthex(out, Buffer, strnlen(Buffer, size));
    fputc('\n', out);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        printf("usage: fmtprobe <requests> <results>\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    FILE *out = fopen(argv[2], "wb");
    if (!in || !out) {
        printf("cannot open %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    fprintf(out, "info %u %u %u %lu\n", GetACP(), GetUserDefaultLangID(), GetSystemDefaultLangID(),
            (unsigned long)GetThreadLocale());
    HMODULE module = nullptr;
    static char line[70000];
    while (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\r\n")] = 0;
        if (strncmp(line, "arg ", 4) == 0) {
            char *rest;
            long n = strtol(line + 4, &rest, 10);
            if (n < 1 || n > Entries) continue;
            Strings[n - 1] = unhex(rest + (*rest == ' '));
            Args[n - 1] = Strings[n - 1].c_str();
        } else if (strncmp(line, "module ", 7) == 0) {
            if (module) FreeLibrary(module);
            SetLastError(0xdeadbeef);
            module = LoadLibraryExA(line + 7, nullptr, LOAD_LIBRARY_AS_DATAFILE);
            fprintf(out, "module %d %lu\n", module ? 1 : 0, (unsigned long)GetLastError());
        } else if (strncmp(line, "call ", 5) == 0) {
            unsigned long flags = 0, size = 0, id = 0;
            int array = 0;
            if (sscanf(line + 5, "%lx %lu %lx %d", &flags, &size, &id, &array) == 4)
                call(out, module, flags, size, id, array ? NullArgs : Args);
        }
    }
    if (module) FreeLibrary(module);
    fclose(in);
    return fclose(out) == 0 ? 0 : 1;
}
