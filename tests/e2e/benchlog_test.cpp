// benchlog_test.cpp: the dump of a generated benchmark log stays byte for
// byte what it was.
//
// A log of 20,000 records from the benchmark's generator (fixed seed, the
// dozen sources with their message DLLs, users in accounts.txt) is dumped
// with three sets of settings that between them use every column and every
// cleaning rule: the defaults (messages formatted, users resolved); Format=no
// with a char data dump, record numbers, a date picture and the description
// cut and split into five fragments; and a hex data dump with other
// separators. The output files' sizes and FNV-1a checksums were taken from
// the line writer as it was before its speed-ups, so any change of a byte
// that a faster writer, cache or file emulation brings shows up here.
#include "bench/biglog.h"
#include "support/support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

uint64_t fnv1a(const std::string &text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// Lines of a dump (each ending in CR LF) and the field count of each.
std::vector<size_t> fieldcounts(const std::string &text, char separator) {
    std::vector<size_t> counts;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        size_t fields = 1;
        for (size_t i = start; i < end; ++i) fields += text[i] == separator;
        counts.push_back(fields);
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return counts;
}

class BenchLog : public qt::TempNetwork {};

TEST_F(BenchLog, DumpsAreUnchangedByteForByte) {
    ASSERT_TRUE(bench::writenetwork(computer(), QUILLOG_BENCHDLLS, bench::catalogsources()));
    const std::string log = dir() + "/bench.evt";
    ASSERT_TRUE(bench::writelog(log, 20000, 20260, bench::catalogsources()));

    const struct {
        const char *name;
        const char *ini;
        char separator;
        size_t fields;
        size_t bytes;
        uint64_t checksum;
    } runs[] = {
        {"defaults", "", ',', 9, 4149975, 0x55cc9b376eee62e9ull},
        {"raw",
         "Format=no\r\nDumpData=char\r\nDumpRecnum=yes\r\nMaxMessageLen=250\r\nMaxFragmentLen=60\r\n"
         "DateFormat=yyyy-MM-dd\r\n",
         ',', 15, 2340489, 0x8709bed4afdeda61ull},
        {"hex", "DumpData=hex\r\nStringSeparator=|\r\nFieldSeparator=;\r\nReplaceFieldSeparator=_\r\n", ';', 10,
         4659385, 0x958be344fff37c0eull},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.name);
        const std::string bin = dir() + "/" + run.name;
        qt::makedirs(bin);
        const std::string exe = qt::copyquillog(bin);
        if (*run.ini) qt::writefile(bin + "/QUILLOG.INI", run.ini);
        const std::string out = dir() + "/" + run.name + ".txt";
        qt::RunResult r = qt::runprogram(exe, {"/logfile=sys=" + log, "/outfile=" + out});
        ASSERT_EQ(r.exitcode, 0) << r.out;
        EXPECT_NE(r.out.find("NumRecs=20000"), std::string::npos) << r.out;

        const std::string text = qt::readfile(out);
        std::vector<size_t> counts = fieldcounts(text, run.separator);
        ASSERT_EQ(counts.size(), 20000u);
        for (size_t i = 0; i < counts.size(); ++i)
            if (counts[i] != run.fields) ADD_FAILURE() << "line " << i + 1 << " has " << counts[i] << " fields";
        if (run.name == std::string("defaults")) {
            // Every source's messages are found and every user has a name.
            EXPECT_EQ(r.out.find("==>"), std::string::npos) << r.out;
            EXPECT_EQ(text.find("Unable to format message"), std::string::npos);
            EXPECT_EQ(text.find(",S-1-"), std::string::npos);
        }
        EXPECT_EQ(text.size(), run.bytes);
        EXPECT_EQ(fnv1a(text), run.checksum);
    }
}

} // namespace
