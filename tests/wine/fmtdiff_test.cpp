// fmtdiff_test.cpp: the message emulation against Wine's FormatMessageA.
//
// The same message DLLs go through the same FormatMessageA calls twice: under
// Wine, made by fmtprobe.exe in a throwaway Wine prefix, and in this process
// through the emulation (LoadLibraryExA over an NT network folder, then
// FormatMessageA). Every message of every fixture DLL and every message of
// Wine's own kernelbase.dll is formatted with the program's three call shapes
// (inserts ignored with buffers of 100 and 30,000 bytes; a 99-entry char*
// argument array with 30,000 bytes) and once more with an array of null
// entries only, plus the id just past each run of ids, which no table holds.
// Return value, last error, the output bytes and whether a failed call left
// the buffer alone must agree.
//
// Buffers stay below 32,768 bytes: Wine refuses any larger nSize, while
// Windows and the emulation take the program's 64,000 and 64,020 (the
// formatting does not depend on the size). The differences that come from
// Wine and not from the emulation are listed in KnownDeviations with their
// reasons; each entry must still differ, so a stale entry shows up.
#include "platform/posix/msgtable.h"
#include "platform/posix/ntapi.h"

#include "support/support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qt::readfile;
using qt::shellquote;
using qt::writefile;

namespace fs = std::filesystem;

const DWORD IGNORE = 0x0AFF;  // category and parameter texts
const DWORD INSERTS = 0x28FF; // event descriptions

struct Shape {
    DWORD flags, size;
    bool nullargs; // every entry of the argument array null
};
const Shape Shapes[] = {{IGNORE, 100, false}, {IGNORE, 30000, false}, {INSERTS, 30000, false}, {INSERTS, 30000, true}};

// What one FormatMessageA call gave.
struct Outcome {
    DWORD ret = 0;
    DWORD error = 0;        // the last error; 0xdeadbeef when the call set none
    bool untouched = false; // every byte of the buffer still as preset
    std::string bytes;      // the output without its terminator

    bool operator==(const Outcome &o) const {
        return ret == o.ret && bytes == o.bytes && (ret != 0 || (error == o.error && untouched == o.untouched));
    }
};

// A difference between Wine and the emulation that is no fault of the
// emulation: the output depends on where Wine's process keeps its strings.
struct Deviation {
    const char *module;
    DWORD id;
    Shape shape;
    const char *reason;
};

const char NumericInsert[] = "a numeric insert format (!d!, !u!, !x!) prints the char* entry's address under Wine; "
                             "the emulation prints the insertion string, as no address is reproducible";
const char StarWidth[] = "a * width takes the char* entry's address as the width: Wine fails with "
                         "ERROR_INSUFFICIENT_BUFFER against the 30,000-byte buffer, the emulation with "
                         "ERROR_INVALID_PARAMETER as Windows fails outputs of 32,767 characters or more";

const Deviation KnownDeviations[] = {
    {"probe_ansi.dll", 12, {INSERTS, 30000, false}, NumericInsert},
    {"probe_unicode.dll", 12, {INSERTS, 30000, false}, NumericInsert},
    {"probe_ansi.dll", 14, {INSERTS, 30000, false}, StarWidth},
    {"probe_unicode.dll", 14, {INSERTS, 30000, false}, StarWidth},
};

// The argument array: distinct strings, entry 2 and every seventh entry
// null, and a few entries with line breaks, percent signs and bytes above
// 0x7F, which pass through unchanged.
std::vector<std::string> argumentstrings() {
    std::vector<std::string> args(99);
    for (size_t i = 0; i < args.size(); ++i) args[i] = "ins" + std::to_string(i + 1);
    args[2] = "C:\\x\r\nsecond line";
    args[3] = "100%% %1 %n";
    args[4] = "caf\xE9 \x80\x81\x9D\xFF";
    args[5] = "";
    return args;
}

bool isnull(size_t i) { return i == 1 || (i + 1) % 7 == 0; }

std::string Root;

// Runs a shell command with its output in files: the wineserver inherits the
// descriptors of the first Wine program, so a pipe would stay open.
int runshell(const std::string &command) {
    std::string full =
        command + " </dev/null >" + shellquote(Root + "/stdout.txt") + " 2>" + shellquote(Root + "/stderr.txt");
    int status = std::system(full.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A host path as Wine's drive Z: shows it.
std::string zdrive(const std::string &host) {
    std::string path = "Z:";
    for (char c : host) path += c == '/' ? '\\' : c;
    return path;
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out += (char)std::stoi(text.substr(i, 2), nullptr, 16);
    return out;
}

std::string show(const Outcome &o) {
    std::ostringstream s;
    s << "ret=" << o.ret;
    if (o.ret == 0) s << " error=" << o.error << (o.untouched ? " (buffer untouched)" : " (buffer written)");
    s << " \"";
    for (unsigned char c : o.bytes) {
        if (c == '\r')
            s << "\\r";
        else if (c == '\n')
            s << "\\n";
        else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            s << esc;
        } else
            s << c;
    }
    return s.str() + "\"";
}

// One module of the comparison: its name, its bytes and the ids asked for.
struct Module {
    std::string name;
    std::string image;
    std::vector<DWORD> ids;
    size_t held = 0; // how many of the ids the table holds
};

// The ids of the table for language 1024, then the id after each run of
// them that no table entry holds (the not-found path).
std::vector<DWORD> idsof(const std::string &image, size_t *held) {
    std::vector<DWORD> ids;
    EXPECT_EQ(nt::messageids(image, 1024, &ids), 0u);
    *held = ids.size();
    std::vector<DWORD> all = ids;
    for (DWORD id : ids)
        if (id != 0xFFFFFFFF && std::find(ids.begin(), ids.end(), id + 1) == ids.end()) all.push_back(id + 1);
    return all;
}

Outcome emulate(HMODULE module, const Shape &shape, DWORD id, const char *const *args) {
    std::vector<char> buf(shape.size + 1, 'x');
    SetLastError(0xdeadbeef);
    Outcome o;
    o.ret = FormatMessageA(shape.flags, module, id, 1024, buf.data(), shape.size, (va_list *)args);
    o.error = GetLastError();
    o.untouched = std::all_of(buf.begin(), buf.begin() + shape.size, [](char c) { return c == 'x'; });
    if (o.ret) o.bytes = std::string(buf.data(), strnlen(buf.data(), shape.size));
    return o;
}

class WineRun : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/quillog-fmtdiff-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
        Root = tmpl;
        setenv("WINEPREFIX", (Root + "/prefix").c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // The C locale gives Wine's en-US user and system locale and code
        // page 1252, the emulation's fixed settings.
        setenv("LC_ALL", "C", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("QUILLOG_NETWORK", (Root + "/network").c_str(), 1);
        setenv("COMPUTERNAME", "HOST12", 1);
    }

    void TearDown() override {
        if (Root.empty()) return;
        runshell(shellquote(QUILLOG_WINESERVER) + " -k");
        runshell(shellquote(QUILLOG_WINESERVER) + " -w");
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
};

const ::testing::Environment *const Registered = ::testing::AddGlobalTestEnvironment(new WineRun);

TEST(FormatMessageUnderWine, SameBytesAsTheEmulation) {
    // The modules: every fixture DLL, and Wine's kernelbase.dll under a name
    // of its own (by its own name Wine would hand back the loaded system
    // module rather than map the file).
    std::vector<Module> modules;
    for (const auto &entry : fs::directory_iterator(QUILLOG_MSGDLLS)) {
        if (entry.path().extension() != ".dll") continue;
        modules.push_back({entry.path().filename().string(), readfile(entry.path().string()), {}});
    }
    std::sort(modules.begin(), modules.end(), [](const Module &a, const Module &b) { return a.name < b.name; });
    ASSERT_GE(modules.size(), 5u) << "the fixture DLLs are missing from " << QUILLOG_MSGDLLS;
    ASSERT_TRUE(fs::exists(QUILLOG_WINE_KERNELBASE)) << QUILLOG_WINE_KERNELBASE;
    modules.push_back({"qlgkbase.dll", readfile(QUILLOG_WINE_KERNELBASE), {}});

    std::string dlls = Root + "/dlls", msg = Root + "/network/HOST12/c/msg";
    fs::create_directories(dlls);
    fs::create_directories(msg);
    std::vector<std::string> args = argumentstrings();
    std::string requests;
    for (size_t i = 0; i < args.size(); ++i)
        if (!isnull(i)) requests += "arg " + std::to_string(i + 1) + " " + hex(args[i]) + "\n";
    size_t calls = 0, held = 0;
    for (Module &m : modules) {
        m.ids = idsof(m.image, &m.held);
        held += m.held;
        writefile(dlls + "/" + m.name, m.image);
        writefile(msg + "/" + m.name, m.image);
        requests += "module " + zdrive(dlls + "/" + m.name) + "\n";
        char line[64];
        for (DWORD id : m.ids)
            for (const Shape &shape : Shapes) {
                snprintf(line, sizeof line, "call %lx %lu %lx %d\n", (unsigned long)shape.flags,
                         (unsigned long)shape.size, (unsigned long)id, shape.nullargs ? 1 : 0);
                requests += line;
                ++calls;
            }
    }
    writefile(Root + "/requests.txt", requests);

    auto start = std::chrono::steady_clock::now();
    int rc = runshell(shellquote(QUILLOG_WINE) + " " + shellquote(QUILLOG_PROBE_EXE) + " " +
                      shellquote(zdrive(Root + "/requests.txt")) + " " + shellquote(zdrive(Root + "/results.txt")));
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << "fmtprobe.exe under Wine took " << took.count() << " s" << std::endl;
    ASSERT_EQ(rc, 0) << readfile(Root + "/stdout.txt") << readfile(Root + "/stderr.txt");

    std::istringstream results(readfile(Root + "/results.txt"));
    std::string word;
    unsigned acp = 0, userlang = 0, systemlang = 0;
    unsigned long threadlocale = 0;
    results >> word >> acp >> userlang >> systemlang >> threadlocale;
    ASSERT_EQ(word, "info");
    ASSERT_TRUE(acp == 1252 && userlang == 0x409 && systemlang == 0x409 && threadlocale == 0x409)
        << "Wine's settings differ from the emulation's (code page 1252, en-US): code page " << acp << ", languages "
        << userlang << " " << systemlang << " " << threadlocale;

    std::vector<const char *> argv(99, nullptr), nullargv(99, nullptr);
    for (size_t i = 0; i < args.size(); ++i)
        if (!isnull(i)) argv[i] = args[i].c_str();
    std::vector<bool> deviationseen(std::size(KnownDeviations), false);
    size_t compared = 0, same = 0, known = 0, differences = 0;
    for (const Module &m : modules) {
        SCOPED_TRACE(m.name);
        int loaded = 0;
        unsigned long loaderror = 0;
        results >> word >> loaded >> loaderror;
        ASSERT_EQ(word, "module");
        ASSERT_EQ(loaded, 1) << "Wine could not load it: " << loaderror;
        HMODULE h = LoadLibraryExA(("C:\\msg\\" + m.name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(h, nullptr) << GetLastError();
        for (DWORD id : m.ids) {
            for (const Shape &shape : Shapes) {
                Outcome wine;
                int untouched = 0;
                results >> word >> wine.ret >> wine.error >> untouched;
                ASSERT_EQ(word, "call");
                wine.untouched = untouched != 0;
                if (wine.ret) {
                    std::string bytes;
                    results >> bytes;
                    wine.bytes = unhex(bytes);
                }
                Outcome ours = emulate(h, shape, id, shape.nullargs ? nullargv.data() : argv.data());
                ++compared;
                if (ours == wine) {
                    ++same;
                    continue;
                }
                auto dev =
                    std::find_if(std::begin(KnownDeviations), std::end(KnownDeviations), [&](const Deviation &d) {
                        return m.name == d.module && id == d.id && shape.flags == d.shape.flags &&
                               shape.size == d.shape.size && shape.nullargs == d.shape.nullargs;
                    });
                if (dev != std::end(KnownDeviations)) {
                    deviationseen[dev - std::begin(KnownDeviations)] = true;
                    ++known;
                    std::cout << "known deviation: " << m.name << " id " << id << ": " << dev->reason
                              << "\n  Wine:      " << show(wine) << "\n  emulation: " << show(ours) << std::endl;
                    continue;
                }
                if (++differences <= 40) {
                    char what[128];
                    snprintf(what, sizeof what, "id 0x%lX, flags 0x%lX, nSize %lu%s", (unsigned long)id,
                             (unsigned long)shape.flags, (unsigned long)shape.size,
                             shape.nullargs ? ", null entries only" : "");
                    ADD_FAILURE() << m.name << " " << what << "\n  Wine:      " << show(wine)
                                  << "\n  emulation: " << show(ours);
                }
            }
        }
        FreeLibrary(h);
    }
    std::cout << modules.size() << " modules, " << held << " messages (and " << calls / std::size(Shapes) - held
              << " ids no table holds), " << compared << " calls compared: " << same << " the same, " << known
              << " known Wine deviations, " << differences << " differences" << std::endl;
    EXPECT_EQ(compared, calls);
    EXPECT_EQ(differences, 0u);
    for (size_t i = 0; i < std::size(KnownDeviations); ++i) {
        const Deviation &d = KnownDeviations[i];
        EXPECT_TRUE(deviationseen[i]) << "no longer differs, remove it from KnownDeviations: " << d.module << " id "
                                      << d.id << " flags " << d.shape.flags;
    }
}

} // namespace
