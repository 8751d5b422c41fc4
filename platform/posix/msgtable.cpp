// msgtable.cpp: message tables inside PE32 and PE32+ files.
//
// A module loaded as a data file is the file mapped flat, so an address (RVA)
// is found in the file the way the loader finds it for such a mapping: below
// SizeOfHeaders it is the file offset itself, else it lies in the first
// section whose [VirtualAddress, VirtualAddress + SizeOfRawData) holds it.
//
// Divisions: the image headers; the resource tree (type, name, language);
// the message blocks and entries; the best-fit table of code page 1252.
//
// The resource tree is read strictly: a directory or entry that does not lie
// inside the file counts as absent at its level. The message table itself is
// read as the mapping would show it: bytes past the end of the file read as
// zero (a truncated file gives shortened or empty texts, as on Windows), and
// nothing is read past the size that the table's data entry declares.
#include "platform/posix/msgtable.h"

#include "platform/posix/common.h"

#include <algorithm>

namespace nt {

namespace {

// ---- Image headers ----

const uint16_t Pe32Magic = 0x10B;
const uint16_t Pe32PlusMagic = 0x20B;
const size_t ResourceDirectory = 2;

struct Image {
    Bytes file;
    uint32_t headersize = 0; // SizeOfHeaders
    size_t sections = 0;     // file offset of the section table
    uint16_t nsections = 0;

    // Maps an RVA to a file offset; false when the address is in no section.
    bool fileoffset(uint32_t rva, size_t *off) const {
        if (rva < headersize) {
            *off = rva;
            return true;
        }
        for (uint16_t i = 0; i < nsections; ++i) {
            size_t sec = sections + 40 * (size_t)i;
            uint32_t va, rawsize, rawptr;
            if (!file.u32(sec + 12, &va) || !file.u32(sec + 16, &rawsize) || !file.u32(sec + 20, &rawptr)) return false;
            if (va <= rva && (uint64_t)rva < (uint64_t)va + rawsize) {
                *off = (size_t)(rva - va) + rawptr;
                return true;
            }
        }
        return false;
    }
};

// The e_lfanew of a file that passed checkimage.
bool ntheaders(const Bytes &file, uint32_t *lfanew) {
    uint16_t mz;
    uint32_t sig;
    return file.u16(0, &mz) && mz == 0x5A4D && file.u32(0x3C, lfanew) && file.u32(*lfanew, &sig) && sig == 0x00004550;
}

// Finds the resource directory: its file offset in *root.
DWORD resourceroot(const Bytes &file, Image *img, size_t *root) {
    uint32_t lfanew;
    if (!ntheaders(file, &lfanew)) return ERROR_BAD_EXE_FORMAT;
    img->file = file;
    size_t opt = (size_t)lfanew + 24;
    uint16_t magic, optsize;
    if (!file.u16(opt, &magic) || !file.u16((size_t)lfanew + 6, &img->nsections) ||
        !file.u16((size_t)lfanew + 20, &optsize) || !file.u32(opt + 60, &img->headersize))
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    img->sections = opt + optsize;
    size_t countat, dirs;
    if (magic == Pe32Magic) {
        countat = opt + 92;
        dirs = opt + 96;
    } else if (magic == Pe32PlusMagic) {
        countat = opt + 108;
        dirs = opt + 112;
    } else {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    uint32_t count, rva;
    if (!file.u32(countat, &count) || count <= ResourceDirectory || !file.u32(dirs + 8 * ResourceDirectory, &rva) ||
        rva == 0 || !img->fileoffset(rva, root))
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    return ERROR_SUCCESS;
}

// ---- Resource tree ----

struct DirEntry {
    bool isdir = false;
    uint32_t offset = 0; // from the start of the resource directory
};

// Reads entry i of the directory at dir (named entries first, then ids).
// Returns false when the entry does not lie in the file.
bool direntry(const Bytes &file, size_t root, size_t dir, size_t i, uint32_t *name, DirEntry *entry) {
    uint32_t data;
    size_t at = root + dir + 16 + 8 * i;
    if (!file.u32(at, name) || !file.u32(at + 4, &data)) return false;
    entry->isdir = (data & 0x80000000u) != 0;
    entry->offset = data & 0x7FFFFFFFu;
    return true;
}

// The number of named and of id entries of the directory at dir.
bool dircounts(const Bytes &file, size_t root, size_t dir, uint16_t *named, uint16_t *ids) {
    return file.u16(root + dir + 12, named) && file.u16(root + dir + 14, ids);
}

// Finds the id entry id in the directory at dir. Only the first entry with
// that id counts; the caller checks its kind.
bool findid(const Bytes &file, size_t root, size_t dir, uint16_t id, DirEntry *found) {
    uint16_t named, ids;
    if (!dircounts(file, root, dir, &named, &ids)) return false;
    for (size_t i = named; i < (size_t)named + ids; ++i) {
        uint32_t name;
        DirEntry entry;
        if (!direntry(file, root, dir, i, &name, &entry)) return false;
        if (!(name & 0x80000000u) && (name & 0xFFFF) == id) {
            *found = entry;
            return true;
        }
    }
    return false;
}

const WORD UsEnglish = 0x0409;      // the thread, user and system language of the emulation
const WORD EnglishNeutral = 0x0009; // its primary language with the neutral sub-language
const WORD SublangSysDefault = 2;

// The languages tried for a request, in order, without repeats: the request,
// its primary language with the neutral sub-language, the neutral language;
// for a request of the neutral primary language (0, 0x400, 0x800) then the
// thread and user languages (not for the system-default sub-language), the
// system language, and US English.
std::vector<WORD> languages(WORD lang) {
    WORD primary = lang & 0x3FF;
    std::vector<WORD> list = {lang, primary, 0};
    if (primary == 0) {
        if ((lang >> 10) != SublangSysDefault) list.insert(list.end(), {UsEnglish, UsEnglish, EnglishNeutral});
        list.insert(list.end(), {UsEnglish, EnglishNeutral, UsEnglish});
    }
    std::vector<WORD> unique;
    for (WORD l : list)
        if (std::find(unique.begin(), unique.end(), l) == unique.end()) unique.push_back(l);
    return unique;
}

// Chooses the language entry (a data entry) of the directory at dir. A
// neutral request that matches none takes the first data entry, which is
// the lowest language present.
bool chooselanguage(const Bytes &file, size_t root, size_t dir, WORD lang, DirEntry *chosen) {
    for (WORD l : languages(lang)) {
        if (findid(file, root, dir, l, chosen) && !chosen->isdir) return true;
    }
    if ((lang & 0x3FF) != 0) return false;
    uint16_t named, ids;
    if (!dircounts(file, root, dir, &named, &ids)) return false;
    for (size_t i = 0; i < (size_t)named + ids; ++i) {
        uint32_t name;
        if (!direntry(file, root, dir, i, &name, chosen)) return false;
        if (!chosen->isdir) return true;
    }
    return false;
}

// ---- Message blocks and entries ----

// The message table as mapped: size bytes from file offset base, bytes past
// the end of the file reading as zero.
struct Table {
    const Bytes *file;
    size_t base;
    uint32_t size;

    // True when [off, off + len) lies inside the declared size.
    bool inside(uint64_t off, uint64_t len) const { return off + len <= size; }
    // True when the byte at off lies in the file.
    bool infile(uint64_t off) const { return base + off < file->size; }
    uint8_t byte(uint64_t off) const {
        uint64_t at = base + off;
        return at < file->size ? file->data[at] : 0;
    }
    uint16_t u16(uint64_t off) const { return (uint16_t)(byte(off) | byte(off + 1) << 8); }
    uint32_t u32(uint64_t off) const { return (uint32_t)u16(off) | (uint32_t)u16(off + 2) << 16; }
};

const uint16_t MessageResourceUnicode = 0x0001;

// Block i of the table's index: ids low to high, the first one's entry at
// *entry. False past the last block, and for a block outside the table or
// the file: one past the end of the file would read as zeros, and a walk
// stops there rather than go through a hostile count of them.
bool blockat(const Table &table, uint64_t i, uint32_t *low, uint32_t *high, uint64_t *entry) {
    uint64_t block = 4 + 12 * i;
    if (!table.inside(0, 4) || i >= table.u32(0) || !table.inside(block, 12) || !table.infile(block)) return false;
    *low = table.u32(block);
    *high = table.u32(block + 4);
    *entry = table.u32(block + 8);
    return true;
}

// Message id of the block whose ids start at low and whose first entry is
// at entry: the entries before it are skipped by their lengths.
DWORD readentry(const Table &table, uint32_t low, uint64_t entry, DWORD id, MessageText *text) {
    for (uint32_t skip = id - low; skip > 0; --skip) {
        if (!table.inside(entry, 4)) return ERROR_MR_MID_NOT_FOUND;
        uint16_t length = table.u16(entry);
        if (length < 4) return ERROR_MR_MID_NOT_FOUND;
        entry += length;
    }
    if (!table.inside(entry, 4)) return ERROR_MR_MID_NOT_FOUND;
    uint16_t length = table.u16(entry), flags = table.u16(entry + 2);
    uint64_t textbytes = length < 4 ? 0 : length - 4u;
    textbytes = std::min<uint64_t>(textbytes, table.size - (entry + 4));
    text->unicode = (flags & MessageResourceUnicode) != 0;
    text->units.clear();
    uint64_t at = entry + 4;
    // A text that lies wholly in the file is read straight from it.
    const bool infile = table.base + at + textbytes <= table.file->size;
    const uint8_t *direct = infile ? table.file->data + table.base + at : nullptr;
    if (text->unicode) {
        for (uint64_t k = 0; k + 2 <= textbytes; k += 2) {
            uint16_t unit = direct ? le16(direct + k) : table.u16(at + k);
            if (unit == 0) break;
            text->units.push_back(unit);
        }
    } else {
        for (uint64_t k = 0; k < textbytes; ++k) {
            uint8_t b = direct ? direct[k] : table.byte(at + k);
            if (b == 0) break;
            text->units.push_back(b);
        }
    }
    return ERROR_SUCCESS;
}

// The first block, in file order, whose ids hold id decides: its entry, or
// not found.
DWORD readmessage(const Table &table, DWORD id, MessageText *text) {
    uint32_t low, high;
    uint64_t entry;
    for (uint64_t i = 0; blockat(table, i, &low, &high, &entry); ++i)
        if (id >= low && id <= high) return readentry(table, low, entry, id, text);
    return ERROR_MR_MID_NOT_FOUND;
}

// The same where the table's blocks are in order (TableRef::ordered): the
// one block that may hold id is found by a binary search.
DWORD readordered(const Table &table, uint32_t blocks, DWORD id, MessageText *text) {
    uint32_t first = 0, count = blocks, low, high;
    uint64_t entry;
    while (count > 0) { // the first block whose last id is at least id
        const uint32_t half = count / 2;
        blockat(table, first + half, &low, &high, &entry);
        if (high < id) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    if (first == blocks || !blockat(table, first, &low, &high, &entry) || id < low) return ERROR_MR_MID_NOT_FOUND;
    return readentry(table, low, entry, id, text);
}

const uint16_t RtMessageTable = 11;
const uint16_t MessageTableName = 1;

// ---- Best fit of code page 1252 ----

// Characters above U+00FF that code page 1252 shows as one of its bytes:
// the exact mappings of 0x80-0x9F and Windows' best-fit choices. Sorted.
const struct {
    uint16_t unit;
    uint8_t byte;
} BestFit1252[] = {
    {0x0100, 0x41}, {0x0101, 0x61}, {0x0102, 0x41}, {0x0103, 0x61}, {0x0104, 0x41}, {0x0105, 0x61}, {0x0106, 0x43},
    {0x0107, 0x63}, {0x0108, 0x43}, {0x0109, 0x63}, {0x010A, 0x43}, {0x010B, 0x63}, {0x010C, 0x43}, {0x010D, 0x63},
    {0x010E, 0x44}, {0x010F, 0x64}, {0x0110, 0xD0}, {0x0111, 0x64}, {0x0112, 0x45}, {0x0113, 0x65}, {0x0114, 0x45},
    {0x0115, 0x65}, {0x0116, 0x45}, {0x0117, 0x65}, {0x0118, 0x45}, {0x0119, 0x65}, {0x011A, 0x45}, {0x011B, 0x65},
    {0x011C, 0x47}, {0x011D, 0x67}, {0x011E, 0x47}, {0x011F, 0x67}, {0x0120, 0x47}, {0x0121, 0x67}, {0x0122, 0x47},
    {0x0123, 0x67}, {0x0124, 0x48}, {0x0125, 0x68}, {0x0126, 0x48}, {0x0127, 0x68}, {0x0128, 0x49}, {0x0129, 0x69},
    {0x012A, 0x49}, {0x012B, 0x69}, {0x012C, 0x49}, {0x012D, 0x69}, {0x012E, 0x49}, {0x012F, 0x69}, {0x0130, 0x49},
    {0x0131, 0x69}, {0x0134, 0x4A}, {0x0135, 0x6A}, {0x0136, 0x4B}, {0x0137, 0x6B}, {0x0139, 0x4C}, {0x013A, 0x6C},
    {0x013B, 0x4C}, {0x013C, 0x6C}, {0x013D, 0x4C}, {0x013E, 0x6C}, {0x0141, 0x4C}, {0x0142, 0x6C}, {0x0143, 0x4E},
    {0x0144, 0x6E}, {0x0145, 0x4E}, {0x0146, 0x6E}, {0x0147, 0x4E}, {0x0148, 0x6E}, {0x014C, 0x4F}, {0x014D, 0x6F},
    {0x014E, 0x4F}, {0x014F, 0x6F}, {0x0150, 0x4F}, {0x0151, 0x6F}, {0x0152, 0x8C}, {0x0153, 0x9C}, {0x0154, 0x52},
    {0x0155, 0x72}, {0x0156, 0x52}, {0x0157, 0x72}, {0x0158, 0x52}, {0x0159, 0x72}, {0x015A, 0x53}, {0x015B, 0x73},
    {0x015C, 0x53}, {0x015D, 0x73}, {0x015E, 0x53}, {0x015F, 0x73}, {0x0160, 0x8A}, {0x0161, 0x9A}, {0x0162, 0x54},
    {0x0163, 0x74}, {0x0164, 0x54}, {0x0165, 0x74}, {0x0166, 0x54}, {0x0167, 0x74}, {0x0168, 0x55}, {0x0169, 0x75},
    {0x016A, 0x55}, {0x016B, 0x75}, {0x016C, 0x55}, {0x016D, 0x75}, {0x016E, 0x55}, {0x016F, 0x75}, {0x0170, 0x55},
    {0x0171, 0x75}, {0x0172, 0x55}, {0x0173, 0x75}, {0x0174, 0x57}, {0x0175, 0x77}, {0x0176, 0x59}, {0x0177, 0x79},
    {0x0178, 0x9F}, {0x0179, 0x5A}, {0x017A, 0x7A}, {0x017B, 0x5A}, {0x017C, 0x7A}, {0x017D, 0x8E}, {0x017E, 0x9E},
    {0x0180, 0x62}, {0x0189, 0xD0}, {0x0191, 0x83}, {0x0192, 0x83}, {0x0197, 0x49}, {0x019A, 0x6C}, {0x019F, 0x4F},
    {0x01A0, 0x4F}, {0x01A1, 0x6F}, {0x01AB, 0x74}, {0x01AE, 0x54}, {0x01AF, 0x55}, {0x01B0, 0x75}, {0x01B6, 0x7A},
    {0x01C0, 0x7C}, {0x01C3, 0x21}, {0x01CD, 0x41}, {0x01CE, 0x61}, {0x01CF, 0x49}, {0x01D0, 0x69}, {0x01D1, 0x4F},
    {0x01D2, 0x6F}, {0x01D3, 0x55}, {0x01D4, 0x75}, {0x01D5, 0x55}, {0x01D6, 0x75}, {0x01D7, 0x55}, {0x01D8, 0x75},
    {0x01D9, 0x55}, {0x01DA, 0x75}, {0x01DB, 0x55}, {0x01DC, 0x75}, {0x01DE, 0x41}, {0x01DF, 0x61}, {0x01E4, 0x47},
    {0x01E5, 0x67}, {0x01E6, 0x47}, {0x01E7, 0x67}, {0x01E8, 0x4B}, {0x01E9, 0x6B}, {0x01EA, 0x4F}, {0x01EB, 0x6F},
    {0x01EC, 0x4F}, {0x01ED, 0x6F}, {0x01F0, 0x6A}, {0x0261, 0x67}, {0x02B9, 0x27}, {0x02BA, 0x22}, {0x02BC, 0x27},
    {0x02C4, 0x5E}, {0x02C6, 0x88}, {0x02C8, 0x27}, {0x02C9, 0xAF}, {0x02CA, 0xB4}, {0x02CB, 0x60}, {0x02CD, 0x5F},
    {0x02DA, 0xB0}, {0x02DC, 0x98}, {0x0300, 0x60}, {0x0301, 0xB4}, {0x0302, 0x5E}, {0x0303, 0x7E}, {0x0304, 0xAF},
    {0x0305, 0xAF}, {0x0308, 0xA8}, {0x030A, 0xB0}, {0x030E, 0x22}, {0x0327, 0xB8}, {0x0331, 0x5F}, {0x0332, 0x5F},
    {0x037E, 0x3B}, {0x0393, 0x47}, {0x0398, 0x54}, {0x03A3, 0x53}, {0x03A6, 0x46}, {0x03A9, 0x4F}, {0x03B1, 0x61},
    {0x03B2, 0xDF}, {0x03B4, 0x64}, {0x03B5, 0x65}, {0x03BC, 0xB5}, {0x03C0, 0x70}, {0x03C3, 0x73}, {0x03C4, 0x74},
    {0x03C6, 0x66}, {0x04BB, 0x68}, {0x0589, 0x3A}, {0x066A, 0x25}, {0x2000, 0x20}, {0x2001, 0x20}, {0x2002, 0x20},
    {0x2003, 0x20}, {0x2004, 0x20}, {0x2005, 0x20}, {0x2006, 0x20}, {0x2010, 0x2D}, {0x2011, 0x2D}, {0x2013, 0x96},
    {0x2014, 0x97}, {0x2017, 0x3D}, {0x2018, 0x91}, {0x2019, 0x92}, {0x201A, 0x82}, {0x201C, 0x93}, {0x201D, 0x94},
    {0x201E, 0x84}, {0x2020, 0x86}, {0x2021, 0x87}, {0x2022, 0x95}, {0x2024, 0xB7}, {0x2026, 0x85}, {0x2030, 0x89},
    {0x2032, 0x27}, {0x2035, 0x60}, {0x2039, 0x8B}, {0x203A, 0x9B}, {0x2044, 0x2F}, {0x2070, 0xB0}, {0x2074, 0x34},
    {0x2075, 0x35}, {0x2076, 0x36}, {0x2077, 0x37}, {0x2078, 0x38}, {0x207F, 0x6E}, {0x2080, 0x30}, {0x2081, 0x31},
    {0x2082, 0x32}, {0x2083, 0x33}, {0x2084, 0x34}, {0x2085, 0x35}, {0x2086, 0x36}, {0x2087, 0x37}, {0x2088, 0x38},
    {0x2089, 0x39}, {0x20A1, 0xA2}, {0x20A4, 0xA3}, {0x20A7, 0x50}, {0x20AC, 0x80}, {0x2102, 0x43}, {0x2107, 0x45},
    {0x210A, 0x67}, {0x210B, 0x48}, {0x210C, 0x48}, {0x210D, 0x48}, {0x210E, 0x68}, {0x2110, 0x49}, {0x2111, 0x49},
    {0x2112, 0x4C}, {0x2113, 0x6C}, {0x2115, 0x4E}, {0x2118, 0x50}, {0x2119, 0x50}, {0x211A, 0x51}, {0x211B, 0x52},
    {0x211C, 0x52}, {0x211D, 0x52}, {0x2122, 0x99}, {0x2124, 0x5A}, {0x2128, 0x5A}, {0x212A, 0x4B}, {0x212B, 0xC5},
    {0x212C, 0x42}, {0x212D, 0x43}, {0x212E, 0x65}, {0x212F, 0x65}, {0x2130, 0x45}, {0x2131, 0x46}, {0x2133, 0x4D},
    {0x2134, 0x6F}, {0x2205, 0xD8}, {0x2212, 0x2D}, {0x2213, 0xB1}, {0x2215, 0x2F}, {0x2216, 0x5C}, {0x2217, 0x2A},
    {0x2218, 0xB0}, {0x2219, 0xB7}, {0x221A, 0x76}, {0x221E, 0x38}, {0x2223, 0x7C}, {0x2229, 0x6E}, {0x2236, 0x3A},
    {0x223C, 0x7E}, {0x2248, 0x98}, {0x2261, 0x3D}, {0x2264, 0x3D}, {0x2265, 0x3D}, {0x226A, 0xAB}, {0x226B, 0xBB},
    {0x22C5, 0xB7}, {0x2302, 0xA6}, {0x2303, 0x5E}, {0x2310, 0xAC}, {0x2320, 0x28}, {0x2321, 0x29}, {0x2329, 0x3C},
    {0x232A, 0x3E}, {0x2500, 0x2D}, {0x2502, 0xA6}, {0x250C, 0x2B}, {0x2510, 0x2B}, {0x2514, 0x2B}, {0x2518, 0x2B},
    {0x251C, 0x2B}, {0x2524, 0xA6}, {0x252C, 0x2D}, {0x2534, 0x2D}, {0x253C, 0x2B}, {0x2550, 0x2D}, {0x2551, 0xA6},
    {0x2552, 0x2B}, {0x2553, 0x2B}, {0x2554, 0x2B}, {0x2555, 0x2B}, {0x2556, 0x2B}, {0x2557, 0x2B}, {0x2558, 0x2B},
    {0x2559, 0x2B}, {0x255A, 0x2B}, {0x255B, 0x2B}, {0x255C, 0x2B}, {0x255D, 0x2B}, {0x255E, 0xA6}, {0x255F, 0xA6},
    {0x2560, 0xA6}, {0x2561, 0xA6}, {0x2562, 0xA6}, {0x2563, 0xA6}, {0x2564, 0x2D}, {0x2565, 0x2D}, {0x2566, 0x2D},
    {0x2567, 0x2D}, {0x2568, 0x2D}, {0x2569, 0x2D}, {0x256A, 0x2B}, {0x256B, 0x2B}, {0x256C, 0x2B}, {0x2580, 0xAF},
    {0x2584, 0x5F}, {0x2588, 0xA6}, {0x258C, 0xA6}, {0x2590, 0xA6}, {0x2591, 0xA6}, {0x2592, 0xA6}, {0x2593, 0xA6},
    {0x25A0, 0xA6}, {0x263C, 0xA4}, {0x2758, 0x7C}, {0x3000, 0x20}, {0x3008, 0x3C}, {0x3009, 0x3E}, {0x300A, 0xAB},
    {0x300B, 0xBB}, {0x301A, 0x5B}, {0x301B, 0x5D}, {0x30FB, 0xB7}, {0xFF01, 0x21}, {0xFF02, 0x22}, {0xFF03, 0x23},
    {0xFF04, 0x24}, {0xFF05, 0x25}, {0xFF06, 0x26}, {0xFF07, 0x27}, {0xFF08, 0x28}, {0xFF09, 0x29}, {0xFF0A, 0x2A},
    {0xFF0B, 0x2B}, {0xFF0C, 0x2C}, {0xFF0D, 0x2D}, {0xFF0E, 0x2E}, {0xFF0F, 0x2F}, {0xFF10, 0x30}, {0xFF11, 0x31},
    {0xFF12, 0x32}, {0xFF13, 0x33}, {0xFF14, 0x34}, {0xFF15, 0x35}, {0xFF16, 0x36}, {0xFF17, 0x37}, {0xFF18, 0x38},
    {0xFF19, 0x39}, {0xFF1A, 0x3A}, {0xFF1B, 0x3B}, {0xFF1C, 0x3C}, {0xFF1D, 0x3D}, {0xFF1E, 0x3E}, {0xFF20, 0x40},
    {0xFF21, 0x41}, {0xFF22, 0x42}, {0xFF23, 0x43}, {0xFF24, 0x44}, {0xFF25, 0x45}, {0xFF26, 0x46}, {0xFF27, 0x47},
    {0xFF28, 0x48}, {0xFF29, 0x49}, {0xFF2A, 0x4A}, {0xFF2B, 0x4B}, {0xFF2C, 0x4C}, {0xFF2D, 0x4D}, {0xFF2E, 0x4E},
    {0xFF2F, 0x4F}, {0xFF30, 0x50}, {0xFF31, 0x51}, {0xFF32, 0x52}, {0xFF33, 0x53}, {0xFF34, 0x54}, {0xFF35, 0x55},
    {0xFF36, 0x56}, {0xFF37, 0x57}, {0xFF38, 0x58}, {0xFF39, 0x59}, {0xFF3A, 0x5A}, {0xFF3B, 0x5B}, {0xFF3C, 0x5C},
    {0xFF3D, 0x5D}, {0xFF3E, 0x5E}, {0xFF3F, 0x5F}, {0xFF40, 0x60}, {0xFF41, 0x61}, {0xFF42, 0x62}, {0xFF43, 0x63},
    {0xFF44, 0x64}, {0xFF45, 0x65}, {0xFF46, 0x66}, {0xFF47, 0x67}, {0xFF48, 0x68}, {0xFF49, 0x69}, {0xFF4A, 0x6A},
    {0xFF4B, 0x6B}, {0xFF4C, 0x6C}, {0xFF4D, 0x6D}, {0xFF4E, 0x6E}, {0xFF4F, 0x6F}, {0xFF50, 0x70}, {0xFF51, 0x71},
    {0xFF52, 0x72}, {0xFF53, 0x73}, {0xFF54, 0x74}, {0xFF55, 0x75}, {0xFF56, 0x76}, {0xFF57, 0x77}, {0xFF58, 0x78},
    {0xFF59, 0x79}, {0xFF5A, 0x7A}, {0xFF5B, 0x7B}, {0xFF5C, 0x7C}, {0xFF5D, 0x7D}, {0xFF5E, 0x7E},
};

} // namespace

unsigned char tocp1252(uint16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return (unsigned char)unit;
    if (unit <= 0x9F) {
        // The five C1 controls with no character in 1252 keep their bytes.
        switch (unit) {
        case 0x81:
        case 0x8D:
        case 0x8F:
        case 0x90:
        case 0x9D: return (unsigned char)unit;
        default: return '?';
        }
    }
    size_t lo = 0, hi = sizeof BestFit1252 / sizeof BestFit1252[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (BestFit1252[mid].unit < unit)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < sizeof BestFit1252 / sizeof BestFit1252[0] && BestFit1252[lo].unit == unit) return BestFit1252[lo].byte;
    return '?';
}

DWORD checkimage(const std::string &image) {
    if (image.empty()) return ERROR_FILE_INVALID;
    Bytes file{(const uint8_t *)image.data(), image.size()};
    uint32_t lfanew;
    return ntheaders(file, &lfanew) ? ERROR_SUCCESS : ERROR_BAD_EXE_FORMAT;
}

namespace {

// Finds the message table that a request for lang uses: its file offset in
// *data and its declared size in *size. Returns 0 or a lookup error.
DWORD findtable(const Bytes &file, WORD lang, size_t *data, uint32_t *size) {
    Image img;
    size_t root;
    DWORD rc = resourceroot(file, &img, &root);
    if (rc) return rc;
    DirEntry type, name, language;
    if (!findid(file, root, 0, RtMessageTable, &type) || !type.isdir) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    if (!findid(file, root, type.offset, MessageTableName, &name) || !name.isdir) return ERROR_RESOURCE_NAME_NOT_FOUND;
    if (!chooselanguage(file, root, name.offset, lang, &language)) return ERROR_RESOURCE_LANG_NOT_FOUND;
    uint32_t rva;
    if (!file.u32(root + language.offset, &rva) || !file.u32(root + language.offset + 4, size) ||
        !img.fileoffset(rva, data))
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    return ERROR_SUCCESS;
}

} // namespace

DWORD findmessage(const std::string &image, DWORD id, WORD lang, MessageText *text) {
    return readmessagein(image, locatetable(image, lang), id, text);
}

TableRef locatetable(const std::string &image, WORD lang) {
    Bytes file{(const uint8_t *)image.data(), image.size()};
    TableRef table;
    table.rc = findtable(file, lang, &table.data, &table.size);
    if (table.rc) return table;
    // The blocks are in order when each holds ids (low <= high) and starts
    // after the one before it ends.
    const Table t{&file, table.data, table.size};
    uint32_t low, high, last = 0;
    uint64_t entry;
    table.ordered = true;
    for (; blockat(t, table.blocks, &low, &high, &entry); ++table.blocks) {
        if (low > high || (table.blocks > 0 && low <= last)) table.ordered = false;
        last = high;
    }
    return table;
}

DWORD readmessagein(const std::string &image, const TableRef &table, DWORD id, MessageText *text) {
    if (table.rc) return table.rc;
    Bytes file{(const uint8_t *)image.data(), image.size()};
    const Table t{&file, table.data, table.size};
    return table.ordered ? readordered(t, table.blocks, id, text) : readmessage(t, id, text);
}

DWORD messageids(const std::string &image, WORD lang, std::vector<DWORD> *ids) {
    Bytes file{(const uint8_t *)image.data(), image.size()};
    size_t data;
    uint32_t size;
    ids->clear();
    DWORD rc = findtable(file, lang, &data, &size);
    if (rc) return rc;
    Table table{&file, data, size};
    uint32_t low, high;
    uint64_t entry;
    for (uint64_t i = 0; blockat(table, i, &low, &high, &entry); ++i) {
        // Each id needs an entry header inside the table, which bounds the
        // list for a block whose range is hostile.
        for (uint64_t id = low; id <= high; ++id) {
            if (!table.inside(entry, 4)) break;
            uint16_t length = table.u16(entry);
            if (length < 4) break;
            ids->push_back((DWORD)id);
            entry += length;
        }
    }
    return ERROR_SUCCESS;
}

} // namespace nt
