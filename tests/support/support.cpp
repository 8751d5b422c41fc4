// support.cpp: fixtures and helpers shared by the test programs.
#include "support.h"

#include "platform/posix/datetime.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qt {

namespace {

int removeentry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

// Reads a child's output from fd until it ends, then waits for the child.
RunResult collect(pid_t pid, int fd) {
    RunResult result;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.out.append(buf, (size_t)n);
    close(fd);
    int status = 0;
    struct rusage usage = {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.exitcode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.maxrsskb = (long)usage.ru_maxrss;
    result.cpuseconds = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec * 1e-6 +
                        (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec * 1e-6;
    return result;
}

} // namespace

void TempNetwork::SetUp() {
    char tmpl[] = "/tmp/quillog-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
    dir_ = tmpl;
    // The command line arrives lower-cased, so messages show paths in lower
    // case: a lower-case folder lets tests compare them as they are.
    std::string lower = dir_;
    for (char &c : lower) c = (char)tolower((unsigned char)c);
    if (lower != dir_ && rename(dir_.c_str(), lower.c_str()) == 0) dir_ = lower;
    for (const char *name : {"QUILLOG_NETWORK", "COMPUTERNAME", "TZ"}) {
        if (const char *v = getenv(name))
            saved_.emplace_back(name, v);
        else
            unset_.push_back(name);
    }
    setenv("QUILLOG_NETWORK", network().c_str(), 1);
    setenv("COMPUTERNAME", "HOST12", 1);
    setenv("TZ", "UTC", 1);
    tzset();
}

void TempNetwork::TearDown() {
    for (auto &kv : saved_) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (auto &name : unset_) unsetenv(name.c_str());
    tzset();
    if (HasFailure())
        std::cerr << "test folder kept: " << dir_ << "\n";
    else
        removetree(dir_);
}

std::string TempNetwork::computer(const std::string &name) const {
    std::string path = network() + "/" + name;
    makedirs(path);
    return path;
}

RunResult runprogram(const std::string &exe, const std::vector<std::string> &args, const std::string &cwd,
                     const std::function<bool()> &inchild) {
    RunResult result;
    int pipefd[2];
    if (pipe(pipefd) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        close(pipefd[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (inchild && !inchild()) _exit(125);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(exe.c_str()));
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    return collect(pid, pipefd[0]);
}

RunResult runinchild(const std::function<void()> &body) {
    RunResult result;
    int pipefd[2];
    if (pipe(pipefd) != 0) return result;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        body();
        fflush(stdout);
        _exit(0);
    }
    close(pipefd[1]);
    return collect(pid, pipefd[0]);
}

RunResult runquillog(const std::vector<std::string> &args, const std::string &cwd) {
    return runprogram(QUILLOG_EXE, args, cwd);
}

RunResult runquillogwith(const std::function<bool()> &inchild, const std::vector<std::string> &args,
                         const std::string &cwd) {
    return runprogram(QUILLOG_EXE, args, cwd, inchild);
}

void capturestdout() {
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string capturedstdout() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string copyquillog(const std::string &dir) {
    makedirs(dir);
    std::string dest = dir + "/quillog";
    writefile(dest, readfile(QUILLOG_EXE));
    chmod(dest.c_str(), 0755);
    return dest;
}

std::string shellquote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string readfile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writefile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileexists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void makedirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
}

void removetree(const std::string &path) { nftw(path.c_str(), removeentry, 16, FTW_DEPTH | FTW_PHYS); }

std::string samplelog(const std::string &name) {
    std::string path = std::string(QUILLOG_SOURCE_DIR) + "/samples/" + name;
    // A missing sample ends the test with a failure that names it; reading on
    // would only test an empty file.
    if (!fileexists(path)) throw std::runtime_error("sample log missing: " + path);
    return path;
}

std::multiset<int> dumped(const std::string &path) {
    std::multiset<int> found;
    std::string text = readfile(path);
    for (size_t pos = 0; (pos = text.find("evt", pos)) != std::string::npos; pos += 3)
        found.insert(atoi(text.c_str() + pos + 3));
    return found;
}

std::multiset<int> range(int first, int last, std::multiset<int> into) {
    for (int i = first; i <= last; ++i) into.insert(i);
    return into;
}

std::vector<std::string> splitlines(const std::string &text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string regstring(const std::string &name, const std::string &text) {
    std::string out = "\"" + name + "\"=\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"\r\n";
}

std::string reghex(const std::string &name, DWORD type, const std::string &text) {
    std::string out = "\"" + name + "\"=hex(" + std::to_string(type) + "):";
    char byte[4];
    for (unsigned char c : text + std::string(1, '\0')) {
        snprintf(byte, sizeof byte, "%02x,", c);
        out += byte;
    }
    out.pop_back();
    return out + "\r\n";
}

std::vector<uint8_t> makesid(uint64_t authority, std::initializer_list<uint32_t> subs) {
    std::vector<uint8_t> sid(8 + 4 * subs.size());
    sid[0] = 1;
    sid[1] = (uint8_t)subs.size();
    for (int i = 0; i < 6; ++i) sid[2 + i] = (uint8_t)(authority >> (8 * (5 - i)));
    size_t at = 8;
    for (uint32_t s : subs) {
        for (int i = 0; i < 4; ++i) sid[at + i] = (uint8_t)(s >> (8 * i));
        at += 4;
    }
    return sid;
}

void settickoffset(const char *value) {
    if (value)
        setenv("QUILLOG_TICK_OFFSET", value, 1);
    else
        unsetenv("QUILLOG_TICK_OFFSET");
    nt::readtickoffset();
}

} // namespace qt
