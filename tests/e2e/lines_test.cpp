// lines_test.cpp: the output lines and the settings file, through the built quillog.
//
// The bundled System log of a Windows XP machine holds 6,063 records, 811 of
// them with data, numbered 1392 to 7454. Every line of its dump must have the
// same number of fields, whatever the settings, so the file loads as one table.
#include "support/support.h"

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

const size_t PLASO_RECORDS = 6063;
const size_t PLASO_WITH_DATA = 811;

class Lines : public qt::TempNetwork {
protected:
    // Dumps the bundled log with a copy of quillog in folder bin (holding
    // the settings file ini unless it is empty, under the name ininame).
    qt::RunResult dump(const std::string &ini, const std::string &ininame = "QUILLOG.INI",
                       const std::string &bin = "bin") {
        std::string exe = qt::copyquillog(dir() + "/" + bin);
        if (!ini.empty()) qt::writefile(dir() + "/" + bin + "/" + ininame, ini);
        return qt::runprogram(exe, {"/logfile=sys=" + qt::samplelog("plaso-SysEvent.Evt"), "/outfile=" + outpath()});
    }

    std::string outpath() const { return dir() + "/plaso.txt"; }

    // The lines of the output file, each checked to end in CR LF with no other
    // CR or LF inside it.
    std::vector<std::string> outlines() {
        std::string text = qt::readfile(outpath());
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "last line without CR LF";
            if (end == std::string::npos) break;
            std::string line = text.substr(start, end - start);
            EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "line " << lines.size() + 1;
            lines.push_back(line);
            start = end + 2;
        }
        return lines;
    }
};

std::vector<std::string> fields(const std::string &line, char sep = ',') {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

TEST_F(Lines, DefaultSettingsGiveNineFieldsPerLine) {
    qt::RunResult r = dump("");
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("\nFormat=yes\n"
                         "DateFormat=(locale dependent)\n"
                         "FieldSeparator=,  \n"
                         "ReplaceFieldSeparator=  (blank)\n"
                         "ReplaceCR=^  \n"
                         "ReplaceLF=^  \n"
                         "StringSeparator=;  \n"
                         "MaxMessageLen=64000\n"
                         "MaxFragmentLen=64000\n"
                         "DumpData=none\n"
                         "DumpRecnum=no\n"),
              std::string::npos)
        << r.out;

    std::vector<std::string> lines = outlines();
    ASSERT_EQ(lines.size(), PLASO_RECORDS);
    const std::regex datetime("[0-9]{1,2}/[0-9]{1,2}/20(11|12) [0-9]{2}:[0-9]{2}:[0-9]{2}");
    const std::regex eventid("[0-9]{1,5}");
    const std::regex type("Error|Warning|Information|Success|Failure|[0-9]+");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f = fields(lines[i]);
        ASSERT_EQ(f.size(), 9u) << "line " << i + 1 << ": " << lines[i];
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(f[0], "SYS");
        EXPECT_TRUE(std::regex_match(f[1], datetime));
        EXPECT_TRUE(std::regex_match(f[3], eventid));
        EXPECT_TRUE(std::regex_match(f[4], type));
        EXPECT_EQ(f[7], "WKS-WINXP32BIT");
        if (::testing::Test::HasFailure()) break;
    }
}

TEST_F(Lines, TenFragmentsDataAndRecordNumbers) {
    qt::RunResult r = dump("; ten fragments of 100, data in hex, record numbers\r\n"
                           "MaxMessageLen=1000\r\n"
                           "MaxFragmentLen=100\r\n"
                           "DumpData=hex\r\n"
                           "DumpRecnum=yes\r\n");
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("\nMaxMessageLen=1000\nMaxFragmentLen=100\nDumpData=hex\nDumpRecnum=yes\n"), std::string::npos)
        << r.out;

    std::vector<std::string> lines = outlines();
    ASSERT_EQ(lines.size(), PLASO_RECORDS);
    const std::regex hex("([0-9A-F]{2}){0,49}");
    size_t withdata = 0;
    unsigned long previous = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f = fields(lines[i]);
        ASSERT_EQ(f.size(), 8u + 10u + 2u) << "line " << i + 1 << ": " << lines[i];
        SCOPED_TRACE(lines[i]);
        size_t description = 0;
        for (size_t k = 8; k < 18; ++k) {
            EXPECT_LE(f[k].size(), 100u);
            description += f[k].size();
        }
        EXPECT_LE(description, 1000u);
        EXPECT_TRUE(std::regex_match(f[18], hex));
        withdata += !f[18].empty();
        unsigned long number = std::stoul(f[19]);
        EXPECT_GT(number, previous);
        previous = number;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(fields(lines.front()).back(), "1392");
    EXPECT_EQ(fields(lines.back()).back(), "7454");
    EXPECT_EQ(withdata, PLASO_WITH_DATA);
}

TEST_F(Lines, SettingsFileBesideTheExecutableInAnyCase) {
    // The file in the parent folder is not the one beside the executable,
    // whatever the executable's name is.
    qt::makedirs(dir() + "/tools");
    qt::writefile(dir() + "/tools/QUILLOG.INI", "this line is not a setting\n");
    qt::RunResult r = dump("Format=no\nFieldSeparator=|\n", "quillog.ini", "tools/bin");
    ASSERT_EQ(r.exitcode, 0) << r.out;
    EXPECT_NE(r.out.find("\nFormat=no\n"), std::string::npos) << r.out;
    std::vector<std::string> lines = outlines();
    ASSERT_EQ(lines.size(), PLASO_RECORDS);
    for (const std::string &line : lines) {
        ASSERT_EQ(fields(line, '|').size(), 9u) << line;
        ASSERT_EQ(line.find("Unable to format message"), std::string::npos) << line;
    }
}

TEST_F(Lines, BadSettingsFileStopsBeforeTheEcho) {
    qt::RunResult r = dump("DumpData=yes\n");
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("==>unknown .INI parameter (be sure to avoid extra spaces): DumpData=yes\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("LogType="), std::string::npos) << r.out;
    EXPECT_FALSE(qt::fileexists(outpath()));

    r = dump("MaxMessageLen=1000\nMaxFragmentLen=99\n");
    EXPECT_EQ(r.exitcode, 2);
    EXPECT_NE(r.out.find("==>more than 10 fragments, check MaxMessageLen and MaxFragmentLen\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("LogType="), std::string::npos) << r.out;
    EXPECT_FALSE(qt::fileexists(outpath()));
}

} // namespace
