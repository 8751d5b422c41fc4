// regfile_fuzz.cpp: the registry file parser and writer on any bytes.
//
// Bytes that parse are written out in the format they were read in and parsed
// again: the second tree must equal the first (names in their spelling,
// values, types, data, forms, order) and have the same format, writing it
// again must give the same text, and the text must stay within a small
// multiple of the input (no section per level of a deep key).
#include "fuzzsupport.h"

#include "platform/posix/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string bytes((const char *)data, size);
    nt::RegKey top;
    nt::RegFileError err;
    nt::RegFormat format;
    if (nt::parseregfile(bytes, &top, &err, &format) != ERROR_SUCCESS) {
        fz::check(err.what.size() > 0, "a refused file has a reason");
        return 0;
    }
    std::string text = nt::writeregfile(top, format);
    fz::check(text.size() <= 4 * bytes.size() + 128, "the written text grows linearly with the file");
    nt::RegKey again;
    nt::RegFormat formatagain;
    fz::check(nt::parseregfile(text, &again, &err, &formatagain) == ERROR_SUCCESS, "written text parses");
    fz::check(again == top, "written and parsed again gives the same keys and values");
    fz::check(formatagain == format, "written and parsed again gives the same format");
    fz::check(nt::writeregfile(again, format) == text, "writing is stable");
    return 0;
}
