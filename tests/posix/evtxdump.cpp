// evtxdump.cpp: prints the legacy view of every record of an .evtx file in a
// plain text form, for evtxoracle.py to compare with other readers.
//
//   evtxdump FILE
//
// One block per record, oldest first, fields one a line:
//   record N / eventid 0xXXXXXXXX / type T / category C / generated S /
//   written S / source TEXT / computer TEXT / sid S-1-... (or empty) /
//   strings N, then N lines "string TEXT" / data HEX
// then an empty line; the last line is "count N". Text is UTF-8 with
// backslash, CR, LF and TAB written as \\, \r, \n and \t. Exit code 0, or 1
// with a message when the file does not open or a record does not convert.
#include "platform/posix/evtxfile.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string utf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp == '\\') {
            out += "\\\\";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | cp >> 6);
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | cp >> 12);
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | cp >> 18);
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string sidtext(const std::vector<uint8_t> &sid) {
    if (sid.size() < 8) return "";
    uint64_t auth = 0;
    for (int k = 2; k < 8; ++k) auth = auth << 8 | sid[k];
    std::string out = "S-" + std::to_string(sid[0]) + "-" + std::to_string(auth);
    for (size_t k = 8; k + 4 <= sid.size(); k += 4)
        out += "-" + std::to_string(sid[k] | sid[k + 1] << 8 | sid[k + 2] << 16 | (uint32_t)sid[k + 3] << 24);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: evtxdump FILE\n");
        return 1;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    nt::evt::FileSource src(fd);
    nt::evtx::Reader reader;
    if (src.reset() != 0 || reader.open(src) != 0) {
        std::fprintf(stderr, "%s: not an .evtx log\n", argv[1]);
        return 1;
    }
    nt::evtx::Position pos;
    nt::evt::NewRecord rec;
    size_t count = 0;
    for (bool more = reader.first(&pos); more; more = reader.next(&pos)) {
        uint32_t number;
        if (reader.read(pos, &rec, &number) != 0) {
            std::fprintf(stderr, "%s: record %llu does not convert\n", argv[1], (unsigned long long)pos.id);
            return 1;
        }
        std::printf("record %u\neventid 0x%08X\ntype %u\ncategory %u\ngenerated %u\nwritten %u\n", number, rec.eventid,
                    rec.eventtype, rec.category, rec.timegenerated, rec.timewritten);
        std::printf("source %s\ncomputer %s\nsid %s\nstrings %zu\n", utf8(rec.source).c_str(),
                    utf8(rec.computer).c_str(), sidtext(rec.sid).c_str(), rec.strings.size());
        for (const std::u16string &s : rec.strings) std::printf("string %s\n", utf8(s).c_str());
        std::printf("data ");
        for (uint8_t b : rec.data) std::printf("%02X", b);
        std::printf("\n\n");
        ++count;
    }
    std::printf("count %zu\n", count);
    close(fd);
    return count == reader.count() ? 0 : 1;
}
