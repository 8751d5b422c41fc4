// mkbiglog.cpp: writes a large event log for the dump benchmark.
//
// Usage: mkbiglog <file.evt> <records>
// The records look like a busy System log: service state changes with two
// insertion strings, every fifth with a SID, every tenth with 40 bytes of
// data, one second apart. The file is written by the emulation's own .evt
// writer, so it is a log exactly as the event log service would keep it.
#include "platform/posix/evtfile.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::u16string widen(const std::string &text) { return std::u16string(text.begin(), text.end()); }

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: mkbiglog <file.evt> <records>\n");
        return 2;
    }
    const long count = atol(argv[2]);
    const uint32_t maxsize = 0xFFFF0000u;
    nt::evt::LogFile log;
    DWORD rc = log.openorcreate(argv[1], maxsize, 0);
    if (rc != 0) {
        fprintf(stderr, "mkbiglog: cannot create %s, rc=%lu\n", argv[1], (unsigned long)rc);
        return 1;
    }
    static const char *const services[] = {"Print Spooler", "Windows Update", "DHCP Client", "Telephony"};
    static const char *const states[] = {"running", "stopped"};
    const std::vector<uint8_t> sid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0x11, 0x22, 0x33, 0x44,
                                      0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xE9, 0x03, 0, 0};
    const long batch = 10000;
    std::vector<nt::evt::NewRecord> recs;
    for (long done = 0; done < count;) {
        recs.clear();
        for (long i = done; i < count && i < done + batch; ++i) {
            nt::evt::NewRecord r;
            r.timegenerated = r.timewritten = 1300000000u + (uint32_t)i;
            r.eventid = 0x40001B7Cu; // 7036 with the informational severity
            r.eventtype = 4;
            r.source = widen("Service Control Manager");
            r.computer = widen("BENCHHOST");
            r.strings = {widen(services[i % 4]), widen(states[i % 2])};
            if (i % 5 == 0) r.sid = sid;
            if (i % 10 == 0) r.data.assign(40, (uint8_t)i);
            recs.push_back(r);
        }
        uint32_t last = 0;
        rc = log.append(recs, maxsize, 0, &last);
        if (rc != 0) {
            fprintf(stderr, "mkbiglog: append failed, rc=%lu\n", (unsigned long)rc);
            return 1;
        }
        done += (long)recs.size();
    }
    return 0;
}
