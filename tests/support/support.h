// support.h: fixtures and helpers shared by the test programs.
#ifndef QUILLOG_TESTS_SUPPORT_H
#define QUILLOG_TESTS_SUPPORT_H

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace qt {

// A unique temporary folder holding an NT network. SetUp points
// QUILLOG_NETWORK at <dir>/network, sets COMPUTERNAME to HOST12 and TZ to UTC;
// TearDown restores all three and removes the folder (kept, and its path
// printed, when the test failed).
class TempNetwork : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string &dir() const { return dir_; }
    std::string network() const { return dir_ + "/network"; }
    // The folder of a computer of the network, created on demand.
    std::string computer(const std::string &name = "HOST12") const;

private:
    std::string dir_;
    std::vector<std::pair<std::string, std::string>> saved_;
    std::vector<std::string> unset_;
};

struct RunResult {
    int exitcode = -1;     // exit status, or 128 + signal
    std::string out;       // standard output (and standard error)
    long maxrsskb = 0;     // the child's peak resident size, KiB
    double cpuseconds = 0; // the child's processor time, user and system
};

// Runs a program with arguments, in folder cwd when given; captures its output.
// inchild, when given, runs in the child process just before the program
// starts (resource limits, signal dispositions, a mount namespace); when it
// returns false the child exits with code 125 instead.
RunResult runprogram(const std::string &exe, const std::vector<std::string> &args, const std::string &cwd = "",
                     const std::function<bool()> &inchild = nullptr);

// Runs body in a child process and captures what it prints to standard output
// and its exit code (0 when body returns), for code that may end the process.
RunResult runinchild(const std::function<void()> &body);

// Runs the built quillog.
RunResult runquillog(const std::vector<std::string> &args, const std::string &cwd = "");

// Runs the built quillog with inchild called in the child first (see runprogram).
RunResult runquillogwith(const std::function<bool()> &inchild, const std::vector<std::string> &args,
                         const std::string &cwd = "");

// Starts collecting what this process prints to standard output;
// capturedstdout ends it and returns the text (standard output flushed
// first, so that nothing printed before is lost or misplaced).
void capturestdout();
std::string capturedstdout();

// Copies the built quillog into folder dir (for a QUILLOG.INI beside it);
// returns the copy's path.
std::string copyquillog(const std::string &dir);

// A text quoted for the POSIX shell: in single quotes, any single quote in it
// written as '\\''.
std::string shellquote(const std::string &s);

std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &content);
bool fileexists(const std::string &path);
void makedirs(const std::string &path);
void removetree(const std::string &path);

// The path of a real sample log bundled in samples/. A missing one throws,
// which ends the test with a failure naming the file.
std::string samplelog(const std::string &name);

// The numbers N of the texts "evt<N>" in a file (the events the end-to-end
// tests write are named so), each counted; and the numbers first..last
// added to into, for comparing with it.
std::multiset<int> dumped(const std::string &path);
std::multiset<int> range(int first, int last, std::multiset<int> into = {});

// Lines of text split at "\n" (a trailing "\r" is kept).
std::vector<std::string> splitlines(const std::string &text);

// A string value line of a .reg file: "name"="text" with backslashes and
// quotes escaped, ending in CR LF.
std::string regstring(const std::string &name, const std::string &text);

// A string value line of a .reg file in hex(type): form, the text's bytes
// and a terminator, ending in CR LF: REG_EXPAND_SZ (2), or a REG_SZ (1)
// holding characters the quoted form cannot (line feeds).
std::string reghex(const std::string &name, DWORD type, const std::string &text);

// A SID in the system's binary layout (revision 1), built by hand: the
// 48-bit authority big-endian, the sub-authorities little-endian.
std::vector<uint8_t> makesid(uint64_t authority, std::initializer_list<uint32_t> subs);

// Sets QUILLOG_TICK_OFFSET to value (a decimal number of milliseconds), or
// removes it for null, and has GetTickCount take the change.
void settickoffset(const char *value);

} // namespace qt

#endif // QUILLOG_TESTS_SUPPORT_H
