// shortlog.cpp: the benchmark's log of short records.
//
// A log of another shape than the catalogue's: records of about 240 bytes
// from a dozen sources of their own, each with 300 event ids, 0 to 4
// insertion strings of one to seven short words (the count fixed by the id),
// a SID on two records in three (one of four: two that the benchmark's
// computer resolves, two that it does not), and 0, 4, 16 or 40 bytes of
// data. On the benchmark's computer these sources are registered only when
// asked for; otherwise every lookup of their message files fails, and the
// caches of failures carry the load.
#include "bench/biglog.h"

#include "platform/posix/evtfile.h"

#include <cstdio>

namespace bench {

namespace {

const unsigned ShortSources = 12;
const unsigned ShortIds = 300;
const unsigned ShortCategories = 4; // of catmsg.dll, for every third source

const char *const ShortNames[ShortSources] = {"AppUpdate", "BackupAgent", "CacheSvc", "DataSync",
                                              "EdgeProxy", "FaxRelay",    "GridNode", "HealthMon",
                                              "IndexSvc",  "JobRunner",   "KeyVault", "LinkWatch"};

const char *const Words[] = {"disk",  "queue", "job",   "retry", "host",  "user",  "file", "lock",  "page",
                             "cache", "token", "port",  "agent", "batch", "alpha", "node", "timer", "link",
                             "sync",  "delta", "index", "limit", "error", "ready", "slow", "done",  "fast",
                             "stale", "moved", "kept",  "sent",  "read",  "wrote", "lost", "found", "open"};

// The records' users: SYSTEM and a user of the benchmark's domain, which the
// computer resolves, and two accounts of a domain it does not know.
const char *const ShortSids[] = {"S-1-5-18", "S-1-5-21-1004336348-1177238915-682003330-1103",
                                 "S-1-5-21-3623811015-3361044348-30300820-1013",
                                 "S-1-5-21-3623811015-3361044348-30300820-1029"};

// splitmix64, as the catalogue's logs use.
uint64_t nextrandom(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

unsigned below(uint64_t &state, unsigned n) { return (unsigned)(nextrandom(state) % n); }

// The event id of index k of source s without severity bits; the sources'
// ids do not overlap, so one DLL holds them all.
unsigned shortid(unsigned s, unsigned k) { return 1000 * (s + 1) + k; }

unsigned shortstrings(unsigned k) { return k % 5; }

// Severity bits and event type of index k: mostly informational.
unsigned shortseverity(unsigned k) { return k % 7 == 3 ? 3u : k % 5 == 2 ? 2u : 1u; }

WORD shorttype(unsigned k) {
    unsigned severity = shortseverity(k);
    return severity == 3 ? EVENTLOG_ERROR_TYPE : severity == 2 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
}

std::u16string widetext(const std::string &text) {
    std::u16string out;
    for (unsigned char c : text) out += (char16_t)c;
    return out;
}

std::vector<uint8_t> sidbytes(const std::string &text) {
    std::vector<unsigned long> parts;
    for (size_t at = 4; at <= text.size();) {
        size_t dash = text.find('-', at);
        if (dash == std::string::npos) dash = text.size();
        parts.push_back(std::stoul(text.substr(at, dash - at)));
        at = dash + 1;
    }
    std::vector<uint8_t> sid = {1, (uint8_t)(parts.size() - 1), 0, 0, 0, 0, 0, (uint8_t)parts[0]};
    for (size_t i = 1; i < parts.size(); ++i)
        for (int b = 0; b < 4; ++b) sid.push_back((uint8_t)(parts[i] >> (8 * b)));
    return sid;
}

} // namespace

std::string shortmessages() {
    std::string mc;
    for (unsigned s = 0; s < ShortSources; ++s) {
        for (unsigned k = 0; k < ShortIds; ++k) {
            unsigned severity = shortseverity(k);
            mc += "MessageId=" + std::to_string(shortid(s, k)) + "\nSeverity=" +
                  (severity == 3   ? "Error"
                   : severity == 2 ? "Warning"
                                   : "Informational") +
                  "\nLanguage=English\n" + ShortNames[s] + " event " + std::to_string(k);
            for (unsigned i = 1; i <= shortstrings(k); ++i) mc += (i == 1 ? ": %" : ", %") + std::to_string(i);
            mc += ".\n.\n\n";
        }
    }
    return mc;
}

std::string shortregistry() {
    std::string reg;
    for (unsigned s = 0; s < ShortSources; ++s) {
        reg += std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\") +
               ShortNames[s] + "]\r\n\"EventMessageFile\"=\"%SystemRoot%\\\\System32\\\\shortmsg.dll\"\r\n";
        if (s % 3 == 0)
            reg += "\"CategoryMessageFile\"=\"%SystemRoot%\\\\System32\\\\catmsg.dll\"\r\n\"CategoryCount\"=dword:" +
                   std::string("00000004\r\n");
        reg += "\"TypesSupported\"=dword:00000007\r\n\r\n";
    }
    return reg;
}

bool writeshortlog(const std::string &path, unsigned long records, uint64_t seed) {
    std::vector<std::vector<uint8_t>> sids;
    for (const char *sid : ShortSids) sids.push_back(sidbytes(sid));
    std::vector<std::u16string> names;
    for (const char *name : ShortNames) names.push_back(widetext(name));
    const std::u16string computer = widetext("SHORTSRV01");

    uint64_t state = seed;
    uint32_t now = 1300000000u;
    static const unsigned DataSizes[] = {0, 4, 16, 40};
    return writerecords(path, records, [&] {
        const unsigned s = below(state, ShortSources);
        // A few ids of each source make up most of its records.
        const double u = (double)(nextrandom(state) >> 11) / 9007199254740992.0;
        const unsigned k = (unsigned)(ShortIds * u * u);
        nt::evt::NewRecord rec;
        now += below(state, 3);
        rec.timegenerated = now;
        rec.timewritten = now;
        rec.eventid = (shortseverity(k) << 30) | shortid(s, k);
        rec.eventtype = shorttype(k);
        rec.category = s % 3 == 0 ? (uint16_t)(1 + below(state, ShortCategories)) : 0;
        rec.source = names[s];
        rec.computer = computer;
        for (unsigned n = 0; n < shortstrings(k); ++n) {
            std::string text;
            for (unsigned w = 0, words = 1 + below(state, 7); w < words; ++w)
                text += std::string(w ? " " : "") + Words[below(state, (unsigned)(sizeof Words / sizeof *Words))];
            rec.strings.push_back(widetext(text));
        }
        if (below(state, 3) < 2) rec.sid = sids[below(state, (unsigned)sids.size())];
        for (unsigned b = 0, n = DataSizes[below(state, 4)]; b < n; ++b) rec.data.push_back((uint8_t)nextrandom(state));
        return rec;
    });
}

} // namespace bench
