// msgtable_fuzz.cpp: message modules and FormatMessageA on any file.
//
// Input: the bytes of a module file followed by an 8-byte request: message
// id (4 bytes, little-endian), language (2 bytes), how many of the 99
// insertion strings are given (1 byte) and the length of a long one among
// them (1 byte, times 256). The file is loaded as a data file; when it loads,
// the message is formatted with the program's three calls (inserts ignored
// into 100 and 64,000 bytes, an array of 99 strings into 64,020 bytes) and,
// through the formatting pass alone, with the maximum width 0 as well.
// Every call must end with one of its documented codes and leave the buffer
// untouched when it fails, and a text it returns is as long as it says.
#include "fuzzsupport.h"

#include "platform/posix/formatmsg.h"

#include <cstring>
#include <vector>

namespace {

const DWORD IGNORE = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const DWORD INSERTS = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const size_t ARGUMENTS = 99;

bool knownerror(DWORD rc) {
    switch (rc) {
    case ERROR_RESOURCE_DATA_NOT_FOUND:
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
    case ERROR_RESOURCE_NAME_NOT_FOUND:
    case ERROR_RESOURCE_LANG_NOT_FOUND:
    case ERROR_MR_MID_NOT_FOUND:
    case ERROR_NO_WORK_DONE:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INSUFFICIENT_BUFFER: return true;
    default: return false;
    }
}

void format(HMODULE module, DWORD flags, DWORD id, WORD lang, DWORD size, const char *const *args) {
    std::vector<char> buf(size + 1, '\x5a');
    SetLastError(0xdeadbeef);
    DWORD n = FormatMessageA(flags, module, id, lang, buf.data(), size, (va_list *)args);
    if (n == 0) {
        fz::check(knownerror(GetLastError()), "FormatMessageA fails with a documented code");
        for (char c : buf) fz::check(c == '\x5a', "a failed FormatMessageA leaves the buffer alone");
        return;
    }
    fz::check(n < size && n < nt::FormatOutputLimit, "the text and its terminator fit");
    fz::check(buf[n] == '\0' && strlen(buf.data()) == n, "the count is the text's length");
    fz::check(buf[size] == '\x5a', "nothing is written past the buffer");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    const uint8_t *req = data + size - 8;
    const DWORD id = (DWORD)req[0] | (DWORD)req[1] << 8 | (DWORD)req[2] << 16 | (DWORD)req[3] << 24;
    const WORD lang = (WORD)(req[4] | req[5] << 8);
    const size_t given = req[6] % (ARGUMENTS + 1);
    const size_t longlen = (size_t)req[7] * 256;

    static const std::string path = fz::workdir() + "/fuzz.dll";
    fz::writebytes(path, data, size - 8);
    SetLastError(0xdeadbeef);
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        DWORD rc = GetLastError();
        fz::check(rc == ERROR_FILE_INVALID || rc == ERROR_BAD_EXE_FORMAT, "a module that does not load is invalid");
        return 0;
    }

    // Insertion strings: numbered texts, one with a percent sign and one long,
    // the rest of the 99 entries null.
    std::vector<std::string> texts(given);
    const char *args[ARGUMENTS] = {};
    for (size_t i = 0; i < given; ++i) {
        texts[i] = "arg" + std::to_string(i + 1);
        if (i == 1) texts[i] = "100% %1 %n";
        if (i == 2) texts[i] = std::string(longlen, 'L');
        args[i] = texts[i].c_str();
    }

    format(module, IGNORE, id, lang, 100, nullptr);
    format(module, IGNORE, id, lang, 64000, nullptr);
    format(module, INSERTS, id, lang, 64020, args);

    nt::MessageText text;
    if (nt::findmessage(std::string((const char *)data, size - 8), id, lang, &text) == ERROR_SUCCESS) {
        for (DWORD flags : {IGNORE & ~FORMAT_MESSAGE_MAX_WIDTH_MASK, INSERTS & ~FORMAT_MESSAGE_MAX_WIDTH_MASK}) {
            std::string out;
            DWORD rc = nt::formattext(text, flags, flags & FORMAT_MESSAGE_ARGUMENT_ARRAY ? args : nullptr, &out);
            fz::check(rc == ERROR_SUCCESS || rc == ERROR_INVALID_PARAMETER, "formatting gives 0 or 87");
            fz::check(rc != ERROR_SUCCESS || out.size() < nt::FormatOutputLimit, "the output is below the limit");
        }
    }
    fz::check(FreeLibrary(module), "FreeLibrary");
    return 0;
}
