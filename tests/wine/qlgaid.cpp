// qlgaid.cpp: a small Windows helper for the Wine smoke tests.
//
// Things the tests need done by a second Windows process:
//   qlgaid hold <file> <ready> <release>
//       opens <file> for writing with share mode 0, as quillog opens its
//       output file, creates the file <ready> once it holds it, and keeps it
//       until the file <release> exists (at most a minute). Exit code 0, or 1
//       when <file> could not be opened (the error is printed).
//   qlgaid report <source> <text>
//       writes one information event with one insertion string to the
//       Application log under event source <source>. Exit code 0, or 1 when
//       the event could not be reported.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const DWORD PollMillis = 50;
const DWORD HoldLimitMillis = 60000;

bool exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

int hold(const char *file, const char *ready, const char *release) {
    HANDLE h = CreateFileA(file, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        printf("CreateFile(%s) rc=%lu\n", file, (unsigned long)GetLastError());
        return 1;
    }
    HANDLE flag = CreateFileA(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
    for (DWORD waited = 0; waited < HoldLimitMillis && !exists(release); waited += PollMillis) Sleep(PollMillis);
    CloseHandle(h);
    return 0;
}

int report(const char *source, const char *text) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (!h) {
        printf("RegisterEventSource(%s) rc=%lu\n", source, (unsigned long)GetLastError());
        return 1;
    }
    const char *strings[1] = {text};
    BOOL ok = ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
    if (!ok) printf("ReportEvent rc=%lu\n", (unsigned long)GetLastError());
    DeregisterEventSource(h);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "report") == 0) return report(argv[2], argv[3]);
    printf("usage: qlgaid hold <file> <ready> <release> | qlgaid report <source> <text>\n");
    return 2;
}
