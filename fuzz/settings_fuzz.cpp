// settings_fuzz.cpp: the settings file reader on any bytes.
//
// The bytes are written to a file and read with readsettings. A file with an
// unknown line or too many fragments stops the run (a FatalStop here); any
// file that is accepted leaves settings the line writer can work with, and
// is echoed.
#include "fuzzsupport.h"

#include "config/options.h"
#include "config/settings.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fz::workdir() + "/QUILLOG.INI";
    fz::writebytes(path, data, size);
    HANDLE first = fz::nexthandle();
    try {
        readsettings(path.c_str());
    } catch (const fz::FatalStop &) {
        // The reader stopped at a bad line with the file still open.
        fz::closehandlesfrom(first);
        return 0;
    }
    const FormatSettings &s = Settings;
    fz::check(s.MaxMessageLen >= 1 && s.MaxMessageLen <= LongestMessage, "MaxMessageLen in range");
    fz::check(s.MaxFragmentLen >= 1 && s.MaxFragmentLen <= s.MaxMessageLen, "MaxFragmentLen in range");
    fz::check(s.FragmentCount >= 1 && s.FragmentCount <= MostFragments, "FragmentCount in range");
    fz::check((long)s.FragmentCount * s.MaxFragmentLen >= s.MaxMessageLen, "fragments hold the description");
    fz::check(memchr(s.DateFormat, '\0', sizeof s.DateFormat) != nullptr, "DateFormat terminated");
    fz::check(s.DumpData == DumpNone || s.DumpData == DumpHex || s.DumpData == DumpChar, "DumpData known");
    Options.LogTypeCode = "APP";
    Options.LogName = "Application";
    Options.Outfile = "out.txt";
    printsettings();
    return 0;
}
