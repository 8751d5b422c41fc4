// regfile_fuzz.cpp: the registry file parser and writer on any bytes.
//
// Bytes that parse are written out and parsed again: the second tree must
// equal the first (names in their spelling, values, types, data, order), and
// writing it again must give the same text.
#include "fuzzsupport.h"

#include "platform/posix/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string bytes((const char *)data, size);
    nt::RegKey top;
    nt::RegFileError err;
    if (nt::parseregfile(bytes, &top, &err) != ERROR_SUCCESS) {
        fz::check(err.what.size() > 0, "a refused file has a reason");
        return 0;
    }
    std::string text = nt::writeregfile(top);
    nt::RegKey again;
    fz::check(nt::parseregfile(text, &again, &err) == ERROR_SUCCESS, "written text parses");
    fz::check(again == top, "written and parsed again gives the same keys and values");
    fz::check(nt::writeregfile(again) == text, "writing is stable");
    return 0;
}
