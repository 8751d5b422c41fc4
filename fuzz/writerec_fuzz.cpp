// writerec_fuzz.cpp: the line writer on generated records with random settings.
//
// The input chooses the formatting settings (any values the settings file
// reader can produce) and a few records: built field by field and given the
// ANSI form the read call hands over, or taken as raw native bytes in a
// valid frame. Each record is written into its own exactly-sized allocation,
// so a read past its end is caught. Sources "Sampler" and "Others" are
// registered in a temporary network with the message files of the tests, so
// categories, descriptions and parameter references are expanded from the
// records' strings. Every call must write exactly one line ending in CR LF;
// with plain separators the line has the same number of fields whatever the
// record holds.
#include "fuzzsupport.h"

#include "config/options.h"
#include "config/settings.h"
#include "output/writerec.h"
#include "platform/posix/evtfile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string readall(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
}

// A message module from the seed corpus of the message-table target (each
// seed is a module followed by an 8-byte request).
void installmodule(const std::string &seed, const std::string &to) {
    std::string bytes = readall(std::string(QUILLOG_FUZZ_CORPUS) + "/msgtable/" + seed);
    fz::check(bytes.size() > 8, "message module seed present");
    fz::writebytes(to, (const uint8_t *)bytes.data(), bytes.size() - 8);
}

std::u16string widen(const std::string &s) {
    std::u16string w;
    for (unsigned char c : s) w += (char16_t)c;
    return w;
}

// A text with units beyond code page 1252 now and then.
std::u16string text(FuzzedDataProvider &in, size_t most) {
    std::u16string w = widen(in.ConsumeRandomLengthString(most));
    if (!w.empty() && in.ConsumeBool()) w[w.size() / 2] = (char16_t)in.ConsumeIntegralInRange<uint16_t>(0x100, 0xFFFF);
    return w;
}

char separator(FuzzedDataProvider &in, const char *usual) {
    size_t n = strlen(usual);
    size_t pick = in.ConsumeIntegralInRange<size_t>(0, n);
    return pick < n ? usual[pick] : (char)in.ConsumeIntegral<uint8_t>();
}

// Settings as the settings file reader leaves them after its corrections.
void randomsettings(FuzzedDataProvider &in) {
    FormatSettings s;
    s.Format = in.ConsumeBool();
    s.DateFormatSet = in.ConsumeBool();
    if (s.DateFormatSet) {
        static const char *const pictures[] = {"M/d/yyyy",         "dd.MM.yyyy", "yyyy-MM-dd", "dddd, MMMM dd, yyyy",
                                               "'day' d 'of' MMM", "gg yy"};
        size_t pick = in.ConsumeIntegralInRange<size_t>(0, 6);
        std::string picture = pick < 6 ? pictures[pick] : in.ConsumeRandomLengthString(99);
        // The reader splits lines at line feeds: a picture never holds one.
        picture.erase(std::remove(picture.begin(), picture.end(), '\n'), picture.end());
        strncpy(s.DateFormat, picture.c_str(), sizeof s.DateFormat - 1);
    }
    s.FieldSeparator = separator(in, ",;\t|");
    s.ReplaceFieldSeparator = separator(in, " _");
    s.ReplaceCR = separator(in, "^ ");
    s.ReplaceLF = in.ConsumeBool() ? s.ReplaceCR : separator(in, "^ ~");
    s.StringSeparator = separator(in, ";|");
    s.MaxMessageLen = in.ConsumeIntegralInRange<int>(1, LongestMessage);
    s.MaxFragmentLen = in.ConsumeIntegralInRange<int>(1, s.MaxMessageLen);
    if ((s.MaxMessageLen + s.MaxFragmentLen - 1) / s.MaxFragmentLen > MostFragments)
        s.MaxFragmentLen = (s.MaxMessageLen + MostFragments - 1) / MostFragments;
    s.FragmentCount = (s.MaxMessageLen + s.MaxFragmentLen - 1) / s.MaxFragmentLen;
    s.DumpData = (DumpMode)in.ConsumeIntegralInRange<int>(DumpNone, DumpChar);
    s.DumpRecnum = in.ConsumeBool();
    Settings = s;
}

// The native bytes of one record: built from fields, or raw bytes put in a
// valid frame (length at both ends, signature) so that only its inside is
// hostile.
std::vector<uint8_t> nativerecord(FuzzedDataProvider &in) {
    std::vector<uint8_t> bytes;
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        std::string raw = in.ConsumeRandomLengthString(4096);
        bytes.assign(raw.begin(), raw.end());
        bytes.resize(std::max<size_t>(bytes.size() & ~(size_t)3, nt::evt::MinRecordSize));
        nt::put32(&bytes[0], (uint32_t)bytes.size());
        nt::put32(&bytes[4], nt::evt::Signature);
        nt::put32(&bytes[bytes.size() - 4], (uint32_t)bytes.size());
        return bytes;
    }
    static const uint32_t ids[] = {0x40000064, 0xC0000005, 5, 0x80000007, 0x40000063, 0xC00000C8, 1234, 1};
    static const uint16_t types[] = {EVENTLOG_ERROR_TYPE,    EVENTLOG_WARNING_TYPE,  EVENTLOG_INFORMATION_TYPE,
                                     EVENTLOG_AUDIT_SUCCESS, EVENTLOG_AUDIT_FAILURE, 0};
    static const char *const sources[] = {"Sampler", "Others", "Nosuch", ""};
    // S-1-5-18, and S-1-5-21-1-2-3-1001 which accounts.txt names.
    static const uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    static const uint8_t user[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                   0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0};
    nt::evt::NewRecord rec;
    rec.timegenerated = in.ConsumeIntegral<uint32_t>();
    rec.timewritten = in.ConsumeIntegral<uint32_t>();
    size_t pick = in.ConsumeIntegralInRange<size_t>(0, 8);
    // Few distinct ids: each id a source cannot format is remembered for the run.
    rec.eventid = pick < 8 ? ids[pick] : 0x40000000 | in.ConsumeIntegral<uint8_t>();
    pick = in.ConsumeIntegralInRange<size_t>(0, 6);
    rec.eventtype = pick < 6 ? types[pick] : in.ConsumeIntegral<uint16_t>();
    rec.category = in.ConsumeIntegralInRange<uint16_t>(0, 6);
    pick = in.ConsumeIntegralInRange<size_t>(0, 4);
    rec.source = pick < 4 ? widen(sources[pick]) : std::u16string(150, u'S');
    rec.computer = text(in, 80);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1: rec.sid.assign(system, system + sizeof system); break;
    case 2: rec.sid.assign(user, user + sizeof user); break;
    case 3: {
        std::string raw = in.ConsumeRandomLengthString(80);
        rec.sid.assign(raw.begin(), raw.end());
        break;
    }
    default: break;
    }
    size_t nstrings = in.ConsumeIntegralInRange<size_t>(0, 120);
    for (size_t i = 0; i < nstrings && in.remaining_bytes() > 0; ++i) rec.strings.push_back(text(in, 400));
    if (in.ConsumeBool()) rec.strings.push_back(std::u16string(in.ConsumeIntegralInRange<size_t>(0, 70000), u'w'));
    std::string data = in.ConsumeRandomLengthString(3000);
    rec.data.assign(data.begin(), data.end());
    nt::evt::buildrecord(rec, in.ConsumeIntegral<uint32_t>(), &bytes);
    return bytes;
}

// The number of fields the line must have, or 0 when the settings let the
// fixed texts hold separators or line breaks: the date is written as the
// picture makes it, so a picture with the separator or a carriage return in
// its literal text puts them into the line, as the user asked.
size_t expectedfields() {
    const FormatSettings &s = Settings;
    const char plain[] = ",;\t|";
    if (!memchr(plain, s.FieldSeparator, 4)) return 0;
    if (s.DateFormatSet && (strchr(s.DateFormat, s.FieldSeparator) || strchr(s.DateFormat, '\r'))) return 0;
    for (char c : {s.ReplaceFieldSeparator, s.ReplaceCR, s.ReplaceLF})
        if (c == s.FieldSeparator || c == '\r' || c == '\n' || c == '\0') return 0;
    return 8 + (size_t)s.FragmentCount + (s.DumpData != DumpNone) + s.DumpRecnum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string network = fz::workdir() + "/network";
    const std::string host = network + "/HOST12";
    setenv("QUILLOG_NETWORK", network.c_str(), 1);
    setenv("COMPUTERNAME", "HOST12", 1);
    setenv("TZ", "UTC", 1);
    tzset();
    mkdirs(host + "/c/WINDOWS/System32");
    mkdirs(host + "/registry");
    installmodule("events-40000064", host + "/c/WINDOWS/System32/events.dll");
    installmodule("categories-1", host + "/c/WINDOWS/System32/categories.dll");
    installmodule("params-4d2", host + "/c/WINDOWS/System32/params.dll");
    std::string reg = "REGEDIT4\r\n\r\n";
    for (const char *source : {"Sampler", "Others"}) {
        reg += std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
               source +
               "]\r\n"
               "\"EventMessageFile\"=\"%SystemRoot%\\\\System32\\\\events.dll\"\r\n"
               "\"CategoryMessageFile\"=\"%SystemRoot%\\\\System32\\\\categories.dll\"\r\n"
               "\"ParameterMessageFile\"=\"%SystemRoot%\\\\System32\\\\params.dll\"\r\n\r\n";
    }
    fz::writebytes(host + "/registry/HKEY_LOCAL_MACHINE.reg", (const uint8_t *)reg.data(), reg.size());
    const std::string accounts = "S-1-5-21-1-2-3-1001=EXAMPLE\\jdoe\r\n";
    fz::writebytes(host + "/accounts.txt", (const uint8_t *)accounts.data(), accounts.size());
    Options.LogTypeCode = "APP";
    Options.LogName = "Application";
    Options.Computer = nullptr;
    strcpy(Options.SystemRoot, "C:\\WINDOWS");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    randomsettings(in);
    const std::string outpath = fz::workdir() + "/out.txt";
    HANDLE out = CreateFileA(outpath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    fz::check(out != INVALID_HANDLE_VALUE, "output file opens");
    size_t lines = 0;
    for (DWORD ordinal = 1; ordinal <= 4 && in.remaining_bytes() > 0; ++ordinal) {
        std::vector<uint8_t> native = nativerecord(in);
        nt::Bytes bytes{native.data(), native.size()};
        uint32_t need = 0;
        if (nt::evt::ansiform(bytes, nullptr, 0, &need) != ERROR_SUCCESS) continue;
        std::unique_ptr<uint8_t[]> rec(new uint8_t[need]);
        fz::check(nt::evt::ansiform(bytes, rec.get(), need, &need) == ERROR_SUCCESS, "the ANSI form is built");
        try {
            writerec(out, ordinal, (EVENTLOGRECORD *)rec.get());
        } catch (const fz::FatalStop &) {
            fz::check(false, "writerec stopped the run");
        }
        ++lines;
    }
    CloseHandle(out);

    std::string text = readall(outpath);
    const size_t fields = expectedfields();
    size_t start = 0, found = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        fz::check(end != std::string::npos, "every line ends in CR LF");
        std::string line = text.substr(start, end - start);
        if (fields) {
            size_t n = 1 + (size_t)std::count(line.begin(), line.end(), Settings.FieldSeparator);
            if (line.find_first_of("\r\n") != std::string::npos || n != fields) {
                fprintf(stderr, "line %zu with %zu fields, %zu expected:\n", found + 1, n, fields);
                for (unsigned char c : line) fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
                fprintf(stderr, "\n");
            }
            fz::check(line.find_first_of("\r\n") == std::string::npos, "no line break inside a line");
            fz::check(n == fields, "every line has the same number of fields");
        }
        ++found;
        start = end + 2;
    }
    fz::check(found == lines || !fields, "one line per record");
    return 0;
}
