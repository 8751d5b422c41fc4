// settings_test.cpp: the settings file reader and the settings echo.
#include "config/options.h"
#include "config/settings.h"

#include "support/support.h"

#include <string>

namespace {

const char COMMAND_ECHO[] = "LogType=Application\n"
                            "Computer=(local)\n"
                            "SystemRoot=C:\\WINDOWS\n"
                            "Outfile=c:\\dumps\\out.txt\n"
                            "Use HKEY_CURRENT_USER for saving record number\n";

const char DEFAULT_FORMAT_ECHO[] = "Format=yes\n"
                                   "DateFormat=(locale dependent)\n"
                                   "FieldSeparator=,  \n"
                                   "ReplaceFieldSeparator=  (blank)\n"
                                   "ReplaceCR=^  \n"
                                   "ReplaceLF=^  \n"
                                   "StringSeparator=;  \n"
                                   "MaxMessageLen=64000\n"
                                   "MaxFragmentLen=64000\n"
                                   "DumpData=none\n"
                                   "DumpRecnum=no\n";

const char UNKNOWN[] = "==>unknown .INI parameter (be sure to avoid extra spaces): ";
const char TOO_MANY[] = "==>more than 10 fragments, check MaxMessageLen and MaxFragmentLen\n";

class ReadSettings : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        Options = RunOptions();
        Options.LogTypeCode = "APP";
        Options.LogName = "Application";
        Options.Outfile = "c:\\dumps\\out.txt";
        Options.BookmarkHive = HKEY_CURRENT_USER;
        snprintf(Options.SystemRoot, sizeof Options.SystemRoot, "C:\\WINDOWS");
        path_ = dir() + "/QUILLOG.INI";
    }

    // Reads ini as the settings file in this process; returns the settings.
    const FormatSettings &load(const std::string &ini) {
        qt::writefile(path_, ini);
        readsettings(path_.c_str());
        return Settings;
    }

    // Reads ini as the settings file and prints the echo, in a child process.
    qt::RunResult echo(const std::string &ini) {
        qt::writefile(path_, ini);
        std::string path = path_;
        return qt::runinchild([path] {
            readsettings(path.c_str());
            printsettings();
        });
    }

    std::string path_;
};

TEST_F(ReadSettings, MissingFileGivesDefaults) {
    Settings.Format = false;
    Settings.FragmentCount = 7;
    readsettings((dir() + "/nothing.ini").c_str());
    EXPECT_TRUE(Settings.Format);
    EXPECT_FALSE(Settings.DateFormatSet);
    EXPECT_EQ(Settings.FragmentCount, 1);
    EXPECT_EQ(Settings.MaxFragmentLen, 64000);

    qt::RunResult r = qt::runinchild([this] {
        readsettings((dir() + "/nothing.ini").c_str());
        printsettings();
    });
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, std::string(COMMAND_ECHO) + DEFAULT_FORMAT_ECHO);
}

TEST_F(ReadSettings, EchoShowsEveryKeySet) {
    qt::RunResult r = echo("; every key\n"
                           "Format=no\n"
                           "DateFormat=dd MMM yyyy\n"
                           "MaxMessageLen=1000\n"
                           "MaxFragmentLen=100\n"
                           "FieldSeparator=\t\n"
                           "ReplaceFieldSeparator=|\n"
                           "ReplaceCRLF=~\n"
                           "ReplaceLF=#\n"
                           "StringSeparator=/\n"
                           "DumpData=char\n"
                           "DumpRecnum=yes\n");
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, std::string(COMMAND_ECHO) + "Format=no\n"
                                                 "DateFormat=dd MMM yyyy\n"
                                                 "FieldSeparator=\t (tab)\n"
                                                 "ReplaceFieldSeparator=|  \n"
                                                 "ReplaceCR=~  \n"
                                                 "ReplaceLF=#  \n"
                                                 "StringSeparator=/  \n"
                                                 "MaxMessageLen=1000\n"
                                                 "MaxFragmentLen=100\n"
                                                 "DumpData=char\n"
                                                 "DumpRecnum=yes\n");
}

TEST_F(ReadSettings, EchoOfCommandLineVariants) {
    Options.LogName = "Security";
    Options.LogFile = "c:\\saved\\sec.evt";
    Options.Computer = "\\\\server7";
    Options.Clear = true;
    Options.Backup = true;
    qt::RunResult r = echo("");
    EXPECT_EQ(r.out, std::string("LogType=Security\n"
                                 "LogFile=c:\\saved\\sec.evt\n"
                                 "Computer=\\\\server7\n"
                                 "SystemRoot=C:\\WINDOWS\n"
                                 "Outfile=c:\\dumps\\out.txt\n"
                                 "Perform backup of event log\n") +
                         DEFAULT_FORMAT_ECHO);

    Options.LogFile = nullptr;
    Options.Backup = false;
    Options.BookmarkHive = HKEY_LOCAL_MACHINE;
    r = echo("");
    EXPECT_NE(r.out.find("Outfile=c:\\dumps\\out.txt\n"
                         "Use HKEY_LOCAL_MACHINE for saving record number\n"
                         "Clear event log after dumping\n"
                         "Format=yes\n"),
              std::string::npos)
        << r.out;
}

TEST_F(ReadSettings, BadLinesEndTheRun) {
    struct Row {
        const char *ini;
        const char *shown; // the line as the message shows it
    } rows[] = {
        {"Format=no\n Format=no\n", " Format=no"},
        {"Format =no\n", "Format =no"},
        {"  ; a comment that does not start the line\n", "  ; a comment that does not start the line"},
        {"Colour=blue\r\n", "Colour=blue"},
        {"DumpData=bytes\n", "DumpData=bytes"},
        {"DumpData=\n", "DumpData="},
        {"dumpdata= hex\n", "dumpdata= hex"},
        {"\t\n\nMaxMessageLen=100\nx", "x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ini);
        qt::RunResult r = echo(row.ini);
        EXPECT_EQ(r.exitcode, 2);
        EXPECT_EQ(r.out, std::string(UNKNOWN) + row.shown + "\n");
    }
}

TEST_F(ReadSettings, FragmentLimit) {
    struct Row {
        const char *ini;
        int fragments; // 0: the run ends with the too-many-fragments line
    } rows[] = {
        {"MaxFragmentLen=6400\n", 10},
        {"MaxFragmentLen=6399\n", 0},
        {"MaxMessageLen=1000\nMaxFragmentLen=100\n", 10},
        {"MaxMessageLen=1000\nMaxFragmentLen=99\n", 0},
        {"MaxMessageLen=20\nMaxFragmentLen=8\n", 3},
        {"MaxMessageLen=1\nMaxFragmentLen=1\n", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ini);
        if (row.fragments) {
            EXPECT_EQ(load(row.ini).FragmentCount, row.fragments);
        } else {
            qt::RunResult r = echo(row.ini);
            EXPECT_EQ(r.exitcode, 2);
            EXPECT_EQ(r.out, TOO_MANY);
        }
    }
}

TEST_F(ReadSettings, LimitsAreCorrected) {
    struct Row {
        const char *ini;
        int message, fragment;
    } rows[] = {
        {"MaxMessageLen=0\n", 64000, 64000},
        {"MaxMessageLen=-1\n", 64000, 64000},
        {"MaxMessageLen=100000\n", 64000, 64000},
        {"MaxMessageLen=many\n", 64000, 64000},
        {"MaxMessageLen=99999999999999999999\n", 64000, 64000},
        {"MaxMessageLen=  +500 chars\n", 500, 500},
        {"MaxMessageLen=500\nMaxFragmentLen=501\n", 500, 500},
        {"MaxFragmentLen=500\nMaxMessageLen=1000\n", 1000, 500},
        {"MaxMessageLen=500\nMaxFragmentLen=-3\n", 500, 500},
        {"MaxMessageLen=300\nMaxMessageLen=600\n", 600, 600},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ini);
        const FormatSettings &s = load(row.ini);
        EXPECT_EQ(s.MaxMessageLen, row.message);
        EXPECT_EQ(s.MaxFragmentLen, row.fragment);
    }
}

TEST_F(ReadSettings, KeysAndLettersMatchInAnyCase) {
    const FormatSettings &s = load("format=NO\ndumpdata=HEX\nDUMPRECNUM=Yes\ndateformat=yyyy-MM-dd\n");
    EXPECT_FALSE(s.Format);
    EXPECT_EQ(s.DumpData, DumpHex);
    EXPECT_TRUE(s.DumpRecnum);
    EXPECT_TRUE(s.DateFormatSet);
    EXPECT_STREQ(s.DateFormat, "yyyy-MM-dd");

    EXPECT_EQ(load("DumpData=hexadecimal\n").DumpData, DumpHex);
    EXPECT_EQ(load("DumpData=characters\n").DumpData, DumpChar);
    EXPECT_EQ(load("DumpData=hex\nDumpData=None\n").DumpData, DumpNone);
}

TEST_F(ReadSettings, FlagsOnlyMoveOneWay) {
    EXPECT_TRUE(load("Format= no\n").Format);
    EXPECT_FALSE(load("Format=no\nFormat=yes\n").Format);
    EXPECT_FALSE(load("DumpRecnum=no\n").DumpRecnum);
    EXPECT_TRUE(load("DumpRecnum=y\nDumpRecnum=no\n").DumpRecnum);
}

TEST_F(ReadSettings, DateFormatKeepsValueAsWritten) {
    const FormatSettings &s = load("DateFormat=\n");
    EXPECT_TRUE(s.DateFormatSet);
    EXPECT_STREQ(s.DateFormat, "");
    EXPECT_STREQ(load("DateFormat= d-MMM-yy \n").DateFormat, " d-MMM-yy ");

    qt::RunResult r = echo("DateFormat=\n");
    EXPECT_NE(r.out.find("\nDateFormat=\nFieldSeparator="), std::string::npos) << r.out;
}

TEST_F(ReadSettings, SeparatorsAndReplacements) {
    struct Row {
        const char *ini;
        char field, cr, lf;
    } rows[] = {
        {"ReplaceCR=~\n", ',', '~', '~'},
        {"ReplaceCRLF=~\n", ',', '~', '~'},
        {"ReplaceLF=#\nReplaceCRLF=~\n", ',', '~', '#'},
        {"ReplaceCRLF=~\nReplaceLF=#\n", ',', '~', '#'},
        {"ReplaceLF=\nReplaceCR=~\n", ',', '~', '~'},
        {"ReplaceLF=#\n", ',', '^', '#'},
        {"FieldSeparator=\n", ',', '^', '^'},
        {"FieldSeparator=\t\n", '\t', '^', '^'},
        {"FieldSeparator=|;\n", '|', '^', '^'},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ini);
        const FormatSettings &s = load(row.ini);
        EXPECT_EQ(s.FieldSeparator, row.field);
        EXPECT_EQ(s.ReplaceCR, row.cr);
        EXPECT_EQ(s.ReplaceLF, row.lf);
    }
    const FormatSettings &s = load("StringSeparator=\nReplaceFieldSeparator=\n");
    EXPECT_EQ(s.StringSeparator, ';');
    EXPECT_EQ(s.ReplaceFieldSeparator, ' ');
}

TEST_F(ReadSettings, LongLinesAreReadInPiecesOfHundred) {
    // A comment of more than 100 characters goes on as a line of its own.
    EXPECT_FALSE(load(";" + std::string(99, 'x') + "Format=no\n").Format);

    // A line of exactly 100 characters is read whole; its line feed then
    // arrives as an empty line, which is skipped.
    std::string picture(89, 'd');
    const FormatSettings &s = load("DateFormat=" + picture + "\nDumpRecnum=yes\n");
    EXPECT_EQ(std::string(s.DateFormat), picture);
    EXPECT_TRUE(s.DumpRecnum);

    qt::RunResult r = echo("DateFormat=" + picture + "MM\n");
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_EQ(r.out, std::string(UNKNOWN) + "MM\n");
}

TEST_F(ReadSettings, CrLfLinesAndBlankLines) {
    // CR LF pairs read as line feeds, also where a pair straddles two reads
    // of the file (4,096 bytes each); lines of blanks and tabs are skipped.
    std::string ini = " \t\r\n\r\n";
    ini += std::string(4095 - ini.size(), ' ') + "\r\nFormat=no\r\n";
    ini += std::string(8191 - ini.size(), '\t') + "\r\nDumpData=char\r\n\r\n";
    ASSERT_EQ(ini[4095], '\r');
    ASSERT_EQ(ini[8191], '\r');
    qt::RunResult r = echo(ini);
    EXPECT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("\nFormat=no\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nDumpData=char\n"), std::string::npos) << r.out;

    // A carriage return on its own is a character of the line.
    r = echo("Format=no\rDumpData=hex\n\r\n\r \n");
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_EQ(r.out, std::string(UNKNOWN) + "\r \n");
}

TEST_F(ReadSettings, CtrlZEndsTheText) {
    // As in a file read in text mode, a Ctrl-Z ends the text: what follows it
    // is not read, and a line it ends is read up to it.
    const struct {
        const char *ini;
        const char *echoed;
    } rows[] = {
        {"MaxMessageLen=500\r\n\x1A", "\nMaxMessageLen=500\n"},
        {"MaxMessageLen=500\r\n\x1A"
         "Colour=blue\r\nMaxMessageLen=600\r\n",
         "\nMaxMessageLen=500\n"},
        {"MaxMessageLen=500\x1A"
         "0\r\n",
         "\nMaxMessageLen=500\n"},
        {"\x1A", "\nMaxMessageLen=64000\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ini);
        qt::RunResult r = echo(row.ini);
        EXPECT_EQ(r.exitcode, 0) << r.out;
        EXPECT_NE(r.out.find(row.echoed), std::string::npos) << r.out;
    }
}

} // namespace
