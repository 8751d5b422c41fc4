// mkbiglog.cpp: writes the benchmark's logs, message sources and network.
//
// Usage:
//   mkbiglog mc <folder>
//       the .mc message sources of the benchmark's DLLs
//   mkbiglog network <computer folder> <DLL folder> [sources [short]]
//       the computer's registry, accounts.txt and message DLLs; with "short"
//       the registry also names the short log's sources
//   mkbiglog log <file.evt> <records> [seed] [sources]
//       a new log of generated records; the same arguments give the same file
//   mkbiglog short <file.evt> <records> [seed]
//       a new log of short records (shortlog.cpp), likewise
//   mkbiglog evtx <sample.evtx> <file.evtx> <chunks>
//       a new .evtx log of the sample's chunks repeated; prints its records
// sources defaults to the dozen of the catalogue, seed to 1. A log with more
// sources than its network has formats the rest without message texts.
#include "bench/biglog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
    fprintf(stderr, "usage: mkbiglog mc <folder>\n"
                    "       mkbiglog network <computer folder> <DLL folder> [sources [short]]\n"
                    "       mkbiglog log <file.evt> <records> [seed] [sources]\n"
                    "       mkbiglog short <file.evt> <records> [seed]\n"
                    "       mkbiglog evtx <sample.evtx> <file.evtx> <chunks>\n");
    return 2;
}

bool number(const char *text, unsigned long long *out) {
    char *end = nullptr;
    *out = strtoull(text, &end, 10);
    return *text && !*end;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    unsigned long long sources = bench::catalogsources(), seed = 1, records = 0;
    if (mode == "mc" && argc == 3) return bench::writemessages(argv[2]) ? 0 : 1;
    if (mode == "network" && argc >= 4 && argc <= 6) {
        if (argc >= 5 && (!number(argv[4], &sources) || sources == 0 || sources > 1000000)) return usage();
        if (argc == 6 && strcmp(argv[5], "short") != 0) return usage();
        return bench::writenetwork(argv[2], argv[3], (unsigned)sources, argc == 6) ? 0 : 1;
    }
    if (mode == "short" && (argc == 4 || argc == 5)) {
        if (!number(argv[3], &records) || (argc == 5 && !number(argv[4], &seed))) return usage();
        return bench::writeshortlog(argv[2], (unsigned long)records, seed) ? 0 : 1;
    }
    if (mode == "log" && argc >= 4 && argc <= 6) {
        if (!number(argv[3], &records) || (argc >= 5 && !number(argv[4], &seed))) return usage();
        if (argc == 6 && (!number(argv[5], &sources) || sources == 0 || sources > 1000000)) return usage();
        return bench::writelog(argv[2], (unsigned long)records, seed, (unsigned)sources) ? 0 : 1;
    }
    if (mode == "evtx" && argc == 5) {
        unsigned long long chunks;
        unsigned long records;
        if (!number(argv[4], &chunks) || chunks == 0 || chunks > 0xFFFF) return usage();
        if (!bench::writeevtx(argv[2], argv[3], (unsigned)chunks, &records)) return 1;
        printf("%lu\n", records);
        return 0;
    }
    return usage();
}
