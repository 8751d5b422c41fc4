// options_test.cpp: the command line parser.
#include "config/options.h"

#include "support/support.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Argument vectors that parseargs may change in place.
class Args {
public:
    explicit Args(const std::vector<std::string> &args) {
        store_.push_back("quillog");
        store_.insert(store_.end(), args.begin(), args.end());
        for (auto &s : store_) ptrs_.push_back(&s[0]);
        ptrs_.push_back(nullptr);
    }
    int argc() const { return (int)ptrs_.size() - 1; }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

struct ParseResult {
    bool ok;
    std::string out;
};

// The options point into the argument texts, so the last vector is kept.
ParseResult parse(const std::vector<std::string> &args) {
    static std::unique_ptr<Args> held;
    held = std::make_unique<Args>(args);
    qt::capturestdout();
    bool ok = parseargs(held->argc(), held->argv());
    return {ok, qt::capturedstdout()};
}

class ParseArgs : public qt::TempNetwork {};

TEST_F(ParseArgs, EachFailureHasItsLine) {
    qt::makedirs(dir() + "/out");
    struct Row {
        std::vector<std::string> args;
        std::string line;
    } rows[] = {
        {{}, "==>Missing /logfile parameter\n"},
        {{"/logfile=system"}, "==>Invalid value of /logfile parameter, use app, sec or sys\n"},
        {{"/logfile=ap"}, "==>Invalid value of /logfile parameter, use app, sec or sys\n"},
        {{"/logfile=sys"}, "==>Missing /outfile or /outdir parameter\n"},
        // "/all" comes before "/outfile" in the table, so this sets All only.
        {{"/logfile=sys", "/outfile=c:/all.txt"}, "==>Missing /outfile or /outdir parameter\n"},
        {{"/reg=current_user"}, "==>unknown parameters: /reg=current_user\n"},
        {{""}, "==>unknown parameters: \n"},
        {{"/U"}, "==>unknown parameters: /u\n"},
        {{"/Outfile"}, "==>unknown parameters: /outfile\n"},
        {{"/computer"}, "==>unknown parameters: /computer\n"},
        {{"/?"}, ""},
        {{"/logfile=sys", "x/?y", "/nonsense"}, ""},
        {{"/outdir=" + dir() + "/missing"}, "==>GetTempFileName rc=267 dir=" + dir() + "/missing\n"},
        {{"/logfile=sys", "/outfile=x", "/computer=nosuch"}, "==>RegConnectKeyEx rc=53\n"},
        // Parsing stops at the first failure: the later bad argument is not reported.
        {{"/bad", "/logfile=system"}, "==>unknown parameters: /bad\n"},
    };
    for (const Row &row : rows) {
        std::string joined;
        for (auto &a : row.args) joined += a + " ";
        SCOPED_TRACE(joined);
        ParseResult r = parse(row.args);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.out, row.line);
    }
}

TEST_F(ParseArgs, OptionsAreFoundAnywhereAndValuesTakenAtFixedOffsets) {
    computer("SERVER7");
    qt::makedirs(network() + "/SERVER7/registry");
    qt::writefile(network() + "/SERVER7/registry/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"SystemRoot\"=\"D:\\\\WINNT\"\r\n");
    ParseResult r = parse({"/LOGFILE=APP=C:\\Backup\\Old.EVT", "/OutFile=Out.TXT", "/computer:Server7", "/all",
                           "/clear", "/backup", "/reg=local_machine"});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_STREQ(Options.LogTypeCode, "APP");
    EXPECT_STREQ(Options.LogName, "Application");
    EXPECT_STREQ(Options.LogFile, "c:\\backup\\old.evt");
    EXPECT_STREQ(Options.Outfile, "out.txt");
    EXPECT_STREQ(Options.Computer, "server7");
    EXPECT_EQ(Options.BookmarkHive, HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(Options.All);
    EXPECT_TRUE(Options.Clear);
    EXPECT_TRUE(Options.Backup);
    // The system root comes from the target computer, not the local one.
    EXPECT_STREQ(Options.SystemRoot, "D:\\WINNT");
}

TEST_F(ParseArgs, DefaultsAndLaterArgumentsWin) {
    ParseResult r = parse({"/logfile=sys=c:\\first.evt", "/logfile=sec", "/outfile=a.txt", "/outfile=b.txt"});
    ASSERT_TRUE(r.ok) << r.out;
    // A later type without a path keeps the earlier path.
    EXPECT_STREQ(Options.LogTypeCode, "SEC");
    EXPECT_STREQ(Options.LogName, "Security");
    EXPECT_STREQ(Options.LogFile, "c:\\first.evt");
    EXPECT_STREQ(Options.Outfile, "b.txt");
    EXPECT_EQ(Options.Computer, nullptr);
    EXPECT_EQ(Options.BookmarkHive, HKEY_CURRENT_USER);
    EXPECT_FALSE(Options.All);
    EXPECT_FALSE(Options.Clear);
    EXPECT_FALSE(Options.Backup);
    EXPECT_STREQ(Options.SystemRoot, "C:\\WINDOWS");

    r = parse({"/logfile=app=", "/outfile=x"});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_STREQ(Options.LogFile, "");
    EXPECT_STREQ(Options.LogTypeCode, "APP");
}

TEST_F(ParseArgs, OutdirCreatesATempFileEachTime) {
    qt::makedirs(dir() + "/Out");
    ParseResult r = parse({"/logfile=sys", "/outdir=" + dir() + "/out", "/outdir=" + dir() + "/out"});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(Options.Outfile, Options.TempFileName);
    std::string name = Options.Outfile;
    std::string::size_type sep = name.find_last_of("\\/");
    std::string base = name.substr(sep + 1);
    EXPECT_EQ(base.substr(0, 3), "QLG");
    EXPECT_EQ(base.substr(base.size() - 4), ".tmp");
    EXPECT_EQ(base.find_first_not_of("0123456789ABCDEF", 3), base.size() - 4) << base;
    int files = 0;
    for (auto &line : qt::splitlines(qt::runprogram("/bin/ls", {dir() + "/Out"}).out))
        if (line.rfind("QLG", 0) == 0) ++files;
    EXPECT_EQ(files, 2);
}

TEST_F(ParseArgs, SystemRootFailuresAreReported) {
    computer("BARE");
    ParseResult r = parse({"/logfile=sys", "/outfile=x", "/computer=bare"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "==>RegOpenKeyEx rc=2\n");

    std::string reg = network() + "/HOST12/registry";
    qt::makedirs(reg);
    qt::writefile(reg + "/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"SystemRoot\"=\"" +
                      std::string(300, 'x') + "\"\r\n");
    r = parse({"/logfile=sys", "/outfile=x"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "==>RegQueryValueEx rc=234\n");

    qt::writefile(reg + "/HKEY_LOCAL_MACHINE.reg",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                  "\"ProductName\"=\"x\"\r\n");
    r = parse({"/logfile=sys", "/outfile=x"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "==>RegQueryValueEx rc=2\n");
}

} // namespace
