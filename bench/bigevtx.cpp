// bigevtx.cpp: a large .evtx log made of a real log's chunks.
//
// Binary XML is too rich to generate convincingly: the templates, names and
// substitution values of a Windows log are what a reader spends its time on.
// So the chunks of a real log are repeated, each copy's records renumbered to
// continue the file's sequence and its checksums computed afresh, until the
// file has the chunks asked for. Every chunk stays self-contained (its
// templates and names are its own), so the copy reads like a long live log.
#include "bench/biglog.h"

#include "platform/posix/common.h"
#include "platform/posix/evtxfile.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace bench {

namespace {

const size_t FileHeaderSize = 4096;
const size_t ChunkSize = 65536;
const size_t ChunkHeaderSize = 512;
const uint32_t RecordSignature = 0x00002A2A;
const size_t RecordHeaderSize = 24; // signature, size, id, time

void put64(uint8_t *p, uint64_t v) {
    nt::put32(p, (uint32_t)v);
    nt::put32(p + 4, (uint32_t)(v >> 32));
}

// The offsets of the records of a sample chunk, or none when the chunk is
// not one to copy (bad signature, sizes that do not add up, no records).
std::vector<size_t> records(const uint8_t *chunk) {
    std::vector<size_t> at;
    if (std::string((const char *)chunk, 8) != std::string("ElfChnk\0", 8)) return at;
    const uint32_t free = nt::le32(chunk + 0x30);
    if (free < ChunkHeaderSize || free > ChunkSize) return at;
    for (size_t off = ChunkHeaderSize; off + RecordHeaderSize <= free;) {
        const uint32_t size = nt::le32(chunk + off + 4);
        if (nt::le32(chunk + off) != RecordSignature || size < RecordHeaderSize + 4 || size > free - off ||
            nt::le32(chunk + off + size - 4) != size)
            return {};
        at.push_back(off);
        off += size;
    }
    return at;
}

} // namespace

bool writeevtx(const std::string &sample, const std::string &path, unsigned chunks, unsigned long *total) {
    std::ifstream in(sample, std::ios::binary);
    std::vector<uint8_t> src((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Source {
        const uint8_t *chunk;
        std::vector<size_t> records;
    };
    std::vector<Source> sources;
    for (size_t off = FileHeaderSize; off + ChunkSize <= src.size(); off += ChunkSize) {
        std::vector<size_t> at = records(src.data() + off);
        if (!at.empty()) sources.push_back({src.data() + off, at});
    }
    if (sources.empty() || chunks == 0 || chunks > 0xFFFF) {
        fprintf(stderr, "bench: %s has no chunks to repeat, or %u chunks asked for\n", sample.c_str(), chunks);
        return false;
    }
    FILE *out = fopen(path.c_str(), "wb");
    if (!out) {
        perror(path.c_str());
        return false;
    }
    uint64_t next = 1;
    std::vector<uint8_t> chunk(ChunkSize);
    std::vector<uint8_t> header(FileHeaderSize, 0);
    fwrite(header.data(), 1, header.size(), out); // written again at the end
    for (unsigned i = 0; i < chunks; ++i) {
        const Source &from = sources[i % sources.size()];
        std::copy(from.chunk, from.chunk + ChunkSize, chunk.begin());
        const uint64_t first = next;
        for (size_t off : from.records) put64(&chunk[off + 8], next++);
        put64(&chunk[0x08], first);
        put64(&chunk[0x10], next - 1);
        put64(&chunk[0x18], first);
        put64(&chunk[0x20], next - 1);
        // What lies past the last record (the remains of older records in
        // a live log's chunk) is cleared: it is not part of the copy.
        const uint32_t free = nt::le32(&chunk[0x30]);
        std::fill(chunk.begin() + free, chunk.end(), 0);
        nt::put32(&chunk[0x34], nt::evtx::crc32(&chunk[ChunkHeaderSize], free - ChunkHeaderSize));
        nt::put32(&chunk[0x78], nt::le32(&chunk[0x78]) & ~nt::evtx::FlagNoCrc);
        nt::put32(&chunk[0x7C], nt::evtx::headercrc(chunk.data()));
        fwrite(chunk.data(), 1, chunk.size(), out);
    }
    std::copy_n("ElfFile", 8, header.begin());
    put64(&header[0x10], chunks - 1);
    put64(&header[0x18], next);
    nt::put32(&header[0x20], 128);
    nt::put16(&header[0x24], 1);
    nt::put16(&header[0x26], 3);
    nt::put16(&header[0x28], (uint16_t)FileHeaderSize);
    nt::put16(&header[0x2A], (uint16_t)chunks);
    nt::put32(&header[0x7C], nt::evtx::crc32(header.data(), 0x78));
    fseek(out, 0, SEEK_SET);
    fwrite(header.data(), 1, header.size(), out);
    if (fclose(out) != 0) {
        perror(path.c_str());
        return false;
    }
    *total = (unsigned long)(next - 1);
    return true;
}

} // namespace bench
