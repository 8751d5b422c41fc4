// msgtable_test.cpp: loading modules as data files and finding messages in
// their tables: the load errors, the resource walk of PE32 and PE32+ files,
// the language chosen for a request, hostile and truncated files, and the
// best-fit conversion of Unicode texts.
#include "platform/posix/common.h"
#include "platform/posix/modules.h"
#include "platform/posix/msgtable.h"
#include "platform/win32.h"
#include "support/support.h"

#include <cstring>
#include <functional>
#include <random>
#include <unistd.h>

namespace {

std::string fixture(const std::string &name) { return std::string(QUILLOG_MSGDLLS) + "/" + name; }

std::string fixturebytes(const std::string &name) { return qt::readfile(fixture(name)); }

uint32_t get32(const std::string &b, size_t off) {
    uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}
uint16_t get16(const std::string &b, size_t off) {
    uint16_t v;
    std::memcpy(&v, b.data() + off, 2);
    return v;
}
void set32(std::string &b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }
void set16(std::string &b, size_t off, uint16_t v) { std::memcpy(&b[off], &v, 2); }

// The places in a PE32+ file built by the MinGW linker that the hand-made
// variants below change.
struct Layout {
    size_t opt = 0;     // optional header
    size_t rsrcsec = 0; // section header of .rsrc
    size_t root = 0;    // file offset of the resource directory
};

Layout layout(const std::string &b) {
    Layout l;
    uint32_t lfanew = get32(b, 0x3C);
    l.opt = lfanew + 24;
    size_t sections = l.opt + get16(b, lfanew + 20);
    for (size_t i = 0; i < get16(b, lfanew + 6); ++i) {
        size_t sec = sections + 40 * i;
        if (b.compare(sec, 5, ".rsrc") == 0) {
            l.rsrcsec = sec;
            l.root = get32(b, sec + 20) + (get32(b, l.opt + 112 + 16) - get32(b, sec + 12));
        }
    }
    return l;
}

// The file offset of the directory entry with integer id in the directory at
// dir (relative to root).
size_t entryof(const std::string &b, size_t root, size_t dir, uint16_t id) {
    size_t named = get16(b, root + dir + 12), ids = get16(b, root + dir + 14);
    for (size_t i = named; i < named + ids; ++i) {
        size_t at = root + dir + 16 + 8 * i;
        if (get32(b, at) == id) return at;
    }
    ADD_FAILURE() << "no entry " << id;
    return 0;
}

// Finds id in image and returns its text as 1252 bytes, or "rc=N".
std::string lookup(const std::string &image, DWORD id, WORD lang = LANG_USER_DEFAULT) {
    nt::MessageText text;
    DWORD rc = nt::findmessage(image, id, lang, &text);
    if (rc) return "rc=" + std::to_string(rc);
    std::string s;
    for (uint16_t u : text.units) s += (char)(text.unicode ? nt::tocp1252(u) : u);
    return s;
}

class LoadLibraryExA : public qt::TempNetwork {};

TEST_F(LoadLibraryExA, MapsNetworkPathsAndReportsWindowsErrors) {
    std::string dll = qt::readfile(fixture("events.dll"));
    std::string sys = computer() + "/c/Windows/System32";
    qt::makedirs(sys);
    qt::writefile(sys + "/EvMsg.dll", dll);
    qt::writefile(sys + "/noext", dll);
    qt::writefile(sys + "/two.dots", dll);
    qt::writefile(sys + "/empty.dll", "");
    qt::writefile(sys + "/text.dll", "this is not an executable\r\n");
    std::string mzonly(128, '\0');
    mzonly[0] = 'M', mzonly[1] = 'Z';
    qt::writefile(sys + "/mzonly.dll", mzonly);
    std::string ne = mzonly + std::string(256, '\0');
    ne[0x3C] = 0x40;
    ne[0x40] = 'N', ne[0x41] = 'E';
    qt::writefile(sys + "/ne.dll", ne);
    std::string farlfanew = mzonly;
    set32(farlfanew, 0x3C, 0xFFFFFFF0u);
    qt::writefile(sys + "/farlfanew.dll", farlfanew);
    qt::makedirs(sys + "/folder.dll");
    qt::writefile(sys + "/huge.dll", dll);
    ASSERT_EQ(truncate((sys + "/huge.dll").c_str(), (64 << 20) + 1), 0); // sparse: no disk taken
    qt::makedirs(network() + "/ACCT7/d/Win");
    qt::writefile(network() + "/ACCT7/d/Win/remote.dll", dll);

    struct Row {
        const char *path;
        DWORD error; // 0: loads
    } rows[] = {
        {"C:\\WINDOWS\\system32\\evmsg.dll", 0},
        {"c:/windows/system32/EVMSG.DLL", 0},
        {"C:\\Windows\\System32\\evmsg", 0},        // ".dll" appended
        {"C:\\Windows\\System32\\evmsg.dll   ", 0}, // trailing blanks dropped
        {"C:\\Windows\\System32\\noext.", 0},       // trailing dot: no extension
        {"C:\\Windows\\System32\\two.dots", 0},     // has an extension already
        {"C:\\Windows\\System32\\..\\System32\\evmsg.dll", 0},
        {"\\\\HOST12\\C$\\Windows\\System32\\evmsg.dll", 0},
        {"\\\\acct7\\D$\\win\\remote.dll", 0},
        {"C:\\Windows\\System32\\noext", ERROR_FILE_NOT_FOUND}, // looks for noext.dll
        {"C:\\Windows\\System32\\missing.dll", ERROR_FILE_NOT_FOUND},
        {"C:\\NoFolder\\evmsg.dll", ERROR_FILE_NOT_FOUND},
        {"%SystemRoot%\\System32\\evmsg.dll", ERROR_FILE_NOT_FOUND},
        {"C:\\Windows\\System32\\evmsg.dll;C:\\x.dll", ERROR_FILE_NOT_FOUND},
        {"   ", ERROR_FILE_NOT_FOUND},
        {"C:\\Windows\\System32\\folder.dll", ERROR_ACCESS_DENIED},
        {"C:\\Windows\\System32\\huge.dll", ERROR_FILE_TOO_LARGE},
        {"C:\\Windows\\System32\\empty.dll", ERROR_FILE_INVALID},
        {"C:\\Windows\\System32\\text.dll", ERROR_BAD_EXE_FORMAT},
        {"C:\\Windows\\System32\\mzonly.dll", ERROR_BAD_EXE_FORMAT},
        {"C:\\Windows\\System32\\ne.dll", ERROR_BAD_EXE_FORMAT},
        {"C:\\Windows\\System32\\farlfanew.dll", ERROR_BAD_EXE_FORMAT},
        {"\\\\nosuchhost\\C$\\evmsg.dll", ERROR_BAD_NETPATH},
        {"", ERROR_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        SetLastError(0xdeadbeef);
        HMODULE m = ::LoadLibraryExA(row.path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (row.error == 0) {
            ASSERT_NE(m, nullptr) << GetLastError();
            ASSERT_NE(nt::moduleimage(m), nullptr);
            EXPECT_EQ(*nt::moduleimage(m), dll);
            EXPECT_TRUE(FreeLibrary(m));
            EXPECT_EQ(nt::moduleimage(m), nullptr);
        } else {
            EXPECT_EQ(m, nullptr);
            EXPECT_EQ(GetLastError(), row.error);
        }
    }

    SetLastError(0xdeadbeef);
    EXPECT_EQ(::LoadLibraryExA(nullptr, nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(::LoadLibraryExA("C:\\Windows\\System32\\evmsg.dll", nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&rows[0])));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(FindMessage, WalksBlocksWithFullThirtyTwoBitIds) {
    std::string probe = fixturebytes("probe_ansi.dll");
    EXPECT_EQ(lookup(probe, 1), "Simple text\r\n");
    EXPECT_EQ(lookup(probe, 0x101), "Second block entry B\r\n");
    EXPECT_EQ(lookup(probe, 0xC0000200), "High id with severity bits\r\n");
    EXPECT_EQ(lookup(probe, 0x200), "rc=317");
    EXPECT_EQ(lookup(probe, 0x80000200), "rc=317");
    EXPECT_EQ(lookup(probe, 0x14), "rc=317");
    EXPECT_EQ(lookup(probe, 0), "rc=317");
    // windmc cuts an ANSI text at the first character 1252 cannot hold.
    EXPECT_EQ(lookup(probe, 0x13), "cjk[");

    std::string events = fixturebytes("events.dll");
    EXPECT_EQ(lookup(events, 0xC0000005), "Access to %1 was denied (100%% sure).\r\n");
    EXPECT_EQ(lookup(events, 5), "Plain five without severity\r\n");
    EXPECT_EQ(lookup(events, 0x40000005), "rc=317");
}

TEST(FindMessage, ReadsUnicodeEntriesWithBestFit) {
    std::string probe = fixturebytes("probe_unicode.dll");
    nt::MessageText text;
    ASSERT_EQ(nt::findmessage(probe, 1, LANG_USER_DEFAULT, &text), 0u);
    EXPECT_TRUE(text.unicode);
    EXPECT_EQ(lookup(probe, 0x10), "caf\xE9 \x80 \xFC end\r\n");
    EXPECT_EQ(lookup(probe, 0x12), "fit[Aa l o \x93q\x94 \x96 \x97 \x85 \x99 ? 8]\r\n");
    EXPECT_EQ(lookup(probe, 0x13), "cjk[??] end\r\n");
}

TEST(ToCp1252, BestFitTable) {
    struct Row {
        uint16_t unit;
        unsigned char byte;
    } rows[] = {
        {'A', 'A'},    {0x00E9, 0xE9}, {0x00A0, 0xA0}, {0x0080, '?'},  {0x0081, 0x81}, {0x009D, 0x9D},
        {0x009F, '?'}, {0x20AC, 0x80}, {0x2122, 0x99}, {0x0178, 0x9F}, {0x0100, 'A'},  {0x0142, 'l'},
        {0x221E, '8'}, {0x0394, '?'},  {0x65E5, '?'},  {0xFF05, '%'},  {0xD800, '?'},  {0xFFFF, '?'},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.unit);
        EXPECT_EQ(nt::tocp1252(row.unit), row.byte);
    }
}

TEST(FindMessage, ChoosesTheLanguageTable) {
    struct Row {
        const char *dll;
        WORD lang;
        const char *chosen; // the table's language, or "rc=1815"
    } rows[] = {
        {"lang_de_en.dll", 1024, "0x409"},       {"lang_de_en.dll", 0x407, "0x407"},
        {"lang_de_en.dll", 0, "0x409"},          {"lang_de_en.dll", 0x0c07, "rc=1815"},
        {"lang_ja_fr.dll", 1024, "0x40c"},       {"lang_ja_fr.dll", 0x409, "rc=1815"},
        {"lang_ja_fr.dll", 0x800, "0x40c"},      {"lang_400_en.dll", 1024, "0x400"},
        {"lang_400_en.dll", 0, "0x409"},         {"lang_de_neutral.dll", 1024, "0x000"},
        {"lang_de_neutral.dll", 0x409, "0x000"}, {"lang_de_neutral.dll", 0x407, "0x407"},
        {"lang_800_de.dll", 1024, "0x407"},      {"lang_800_de.dll", 0x800, "0x800"},
        {"lang_en09_de.dll", 1024, "0x009"},     {"lang_en09_de.dll", 0x407, "0x407"},
        {"lang_engb.dll", 1024, "0x809"},        {"lang_engb.dll", 0x409, "rc=1815"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.dll) + " " + std::to_string(row.lang));
        std::string want = row.chosen;
        if (want.compare(0, 3, "rc=") != 0) want = "text for " + want + "\r\n";
        EXPECT_EQ(lookup(fixturebytes(row.dll), 1, (WORD)row.lang), want);
    }
}

TEST(FindMessage, PE32HeadersPutTheDirectoriesSixteenBytesEarlier) {
    // A PE32 file made from the PE32+ one: the same sections and resources,
    // the directory count and the directories moved to their PE32 places.
    std::string b = fixturebytes("probe_ansi.dll");
    Layout l = layout(b);
    std::string pe32 = b;
    set16(pe32, l.opt, 0x10B);
    pe32.replace(l.opt + 92, 4 + 16 * 8, b, l.opt + 108, 4 + 16 * 8);
    EXPECT_EQ(lookup(pe32, 0x100), "Second block entry\r\n");
    EXPECT_EQ(lookup(pe32, 0xC0000200), "High id with severity bits\r\n");
    // Read with the PE32+ offsets the directories are elsewhere.
    std::string wrong = b;
    set16(wrong, l.opt, 0x10B);
    EXPECT_NE(lookup(wrong, 0x100), "Second block entry\r\n");
}

TEST(FindMessage, HandMadeFilesGiveTheLookupErrors) {
    std::string good = fixturebytes("probe_ansi.dll");
    Layout l = layout(good);
    ASSERT_NE(l.rsrcsec, 0u);
    size_t type = entryof(good, l.root, 0, 11);
    size_t name = entryof(good, l.root, get32(good, type + 4) & 0x7FFFFFFF, 1);

    struct Row {
        const char *what;
        std::function<void(std::string &)> change;
        std::string want;
    } rows[] = {
        {"unchanged", [](std::string &) {}, "Simple text\r\n"},
        {"optional-header magic 0x30B", [&](std::string &b) { set16(b, l.opt, 0x30B); }, "rc=1812"},
        {"no resource directory", [&](std::string &b) { set32(b, l.opt + 112 + 16, 0); }, "rc=1812"},
        {"two directories only", [&](std::string &b) { set32(b, l.opt + 108, 2); }, "rc=1812"},
        {"resource address in no section", [&](std::string &b) { set32(b, l.opt + 128, 0x7FFF0000); }, "rc=1812"},
        {"resource section without raw data", [&](std::string &b) { set32(b, l.rsrcsec + 16, 0); }, "rc=1812"},
        {"virtual size smaller than raw size", [&](std::string &b) { set32(b, l.rsrcsec + 8, 1); }, "Simple text\r\n"},
        {"resources but no message table", [&](std::string &b) { set32(b, type, 10); }, "rc=1813"},
        {"message table a data entry", [&](std::string &b) { b[type + 7] &= 0x7F; }, "rc=1813"},
        {"message table under name 2", [&](std::string &b) { set32(b, name, 2); }, "rc=1814"},
        {"huge entry counts", [&](std::string &b) { set32(b, l.root + 12, 0xFFFFFFFF); }, "rc=1813"},
        {"directory offset past the file", [&](std::string &b) { set32(b, type + 4, 0xFFFFFFF0u); }, "rc=1814"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string b = good;
        row.change(b);
        EXPECT_EQ(lookup(b, 1), row.want);
    }
}

// The message table of a good file: its file offset and the file offset of
// its data entry (address, size).
void tableof(const std::string &b, size_t *table, size_t *dataentry) {
    Layout l = layout(b);
    size_t type = entryof(b, l.root, 0, 11);
    size_t name = entryof(b, l.root, get32(b, type + 4) & 0x7FFFFFFF, 1);
    size_t langdir = get32(b, name + 4) & 0x7FFFFFFF;
    size_t data = l.root + (get32(b, l.root + langdir + 16 + 4) & 0x7FFFFFFF);
    *table = get32(b, data) - get32(b, l.rsrcsec + 12) + get32(b, l.rsrcsec + 20);
    *dataentry = data;
}

TEST(FindMessage, CorruptTablesAreErrorsNotOverruns) {
    std::string good = fixturebytes("probe_ansi.dll");
    size_t table, dataentry;
    tableof(good, &table, &dataentry);
    ASSERT_EQ(get32(good, table), 3u);                 // three blocks
    size_t first = table + get32(good, table + 4 + 8); // entries of the first block

    struct Row {
        const char *what;
        std::function<void(std::string &)> change;
        DWORD id;
        std::string want;
    } rows[] = {
        {"huge block count", [&](std::string &b) { set32(b, table, 0xFFFFFFFF); }, 0x77, "rc=317"},
        {"entries far away", [&](std::string &b) { set32(b, table + 4 + 8, 0xFFFFFF00u); }, 2, "rc=317"},
        {"zero entry length while skipping", [&](std::string &b) { set16(b, first, 0); }, 2, "rc=317"},
        {"short entry length at the target", [&](std::string &b) { set16(b, first, 3); }, 1, ""},
        {"entry longer than the table", [&](std::string &b) { set16(b, first, 0xFFFF); }, 1, "Simple text\r\n"},
        {"missing terminator stops at the entry's end",
         [&](std::string &b) {
             size_t len = get16(b, first);
             for (size_t k = first + 4; k < first + len; ++k) b[k] = 'x';
         },
         1, std::string(get16(good, first) - 4, 'x')},
        {"declared size too small", [&](std::string &b) { set32(b, dataentry + 4, 3); }, 1, "rc=317"},
        {"text cut at the declared size",
         [&](std::string &b) { set32(b, dataentry + 4, (uint32_t)(first - table + 4 + 6)); }, 1, "Simple"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string b = good;
        row.change(b);
        EXPECT_EQ(lookup(b, row.id), row.want);
    }
}

// The message of id in the table at table (size bytes) of b as the blocks
// define it: the first block in file order whose ids hold it, its entries
// skipped by their lengths while they lie inside the table.
std::string bywalk(const std::string &b, size_t table, size_t size, DWORD id) {
    const size_t end = table + size;
    for (uint32_t i = 0; i < get32(b, table); ++i) {
        const size_t block = table + 4 + 12 * i;
        const uint32_t low = get32(b, block), high = get32(b, block + 4);
        if (id < low || id > high) continue;
        size_t entry = table + get32(b, block + 8);
        for (uint32_t k = low; k < id; ++k) {
            if (entry + 4 > end || get16(b, entry) < 4) return "rc=317";
            entry += get16(b, entry);
        }
        if (entry + 4 > end) return "rc=317";
        const size_t length = std::min<size_t>(get16(b, entry) < 4 ? 0 : get16(b, entry) - 4, end - (entry + 4));
        return std::string(b.c_str() + entry + 4, strnlen(b.c_str() + entry + 4, length));
    }
    return "rc=317";
}

TEST(FindMessage, BlocksInOrderOrNotGiveTheFirstBlockHoldingTheId) {
    // The three blocks of probe_ansi.dll (1-0x13, 0x100-0x101, 0xC0000200)
    // are in order and found by a binary search; moved about, overlapping or
    // empty they are walked. Either way the first block holding an id decides.
    const std::string good = fixturebytes("probe_ansi.dll");
    size_t table, dataentry;
    tableof(good, &table, &dataentry);
    const size_t blocks = table + 4;
    auto swap = [&](std::string &b, int i, int k) {
        for (int f = 0; f < 12; f += 4) {
            const uint32_t a = get32(b, blocks + 12 * i + f), c = get32(b, blocks + 12 * k + f);
            set32(b, blocks + 12 * i + f, c);
            set32(b, blocks + 12 * k + f, a);
        }
    };
    struct Row {
        const char *what;
        std::function<void(std::string &)> change;
    } rows[] = {
        {"in order", [](std::string &) {}},
        {"last first", [&](std::string &b) { swap(b, 0, 2); }},
        {"second first", [&](std::string &b) { swap(b, 0, 1); }},
        // The second block from 0x10 on: ids 0x10-0x13 lie in two blocks.
        {"overlapping", [&](std::string &b) { set32(b, blocks + 12, 0x10); }},
        {"overlapping, the wider one first",
         [&](std::string &b) {
             set32(b, blocks + 12, 0x10);
             swap(b, 0, 1);
         }},
        {"an empty block", [&](std::string &b) { set32(b, blocks + 12, 0x102); }},
        {"one block", [&](std::string &b) { set32(b, table, 1); }},
    };
    const DWORD ids[] = {0,     1,     2,     0xF,    0x10,       0x13,       0x14,      0xFF,
                         0x100, 0x101, 0x102, 0x1000, 0xC0000200, 0xC0000201, 0xFFFFFFFF};
    size_t found = 0;
    for (const Row &row : rows) {
        std::string b = good;
        row.change(b);
        for (DWORD id : ids) {
            SCOPED_TRACE(std::string(row.what) + ", id " + std::to_string(id));
            const std::string want = bywalk(b, table, get32(b, dataentry + 4), id);
            found += want != "rc=317";
            EXPECT_EQ(lookup(b, id), want);
        }
    }
    EXPECT_GT(found, 40u);
}

TEST(MessageIds, ListsTheChosenTableBlockByBlock) {
    std::string good = fixturebytes("probe_ansi.dll");
    std::vector<DWORD> ids, want;
    for (DWORD id = 1; id <= 0x13; ++id) want.push_back(id);
    want.insert(want.end(), {0x100, 0x101, 0xC0000200});
    EXPECT_EQ(nt::messageids(good, LANG_USER_DEFAULT, &ids), 0u);
    EXPECT_EQ(ids, want);
    EXPECT_EQ(nt::messageids(good, 0x407, &ids), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_TRUE(ids.empty());

    // A last block claiming every id, its entries starting at the table's
    // first entry, lists one id per entry up to the table's end: 22.
    size_t table, dataentry;
    tableof(good, &table, &dataentry);
    std::string b = good;
    size_t last = table + 4 + 12 * 2;
    set32(b, last, 0);
    set32(b, last + 4, 0xFFFFFFFF);
    set32(b, last + 8, get32(good, table + 4 + 8));
    ASSERT_EQ(nt::messageids(b, LANG_USER_DEFAULT, &ids), 0u);
    ASSERT_EQ(ids.size(), 2 * want.size() - 1);
    EXPECT_EQ(ids[want.size() - 1], 0u);
    EXPECT_EQ(ids.back(), (DWORD)want.size() - 1);
}

TEST(FindMessage, TruncatedFileReadsAsZeroPastItsEnd) {
    std::string good = fixturebytes("probe_ansi.dll");
    size_t at = good.find("Second block entry B");
    ASSERT_NE(at, std::string::npos);
    std::string cut = good.substr(0, at + 9);
    EXPECT_EQ(lookup(cut, 1), "Simple text\r\n");
    EXPECT_EQ(lookup(cut, 0x101), "Second bl");
    EXPECT_EQ(lookup(cut, 0xC0000200), "");

    // Every prefix of the file: an error or a text, never a read outside it
    // (the sanitizer build checks the reads).
    for (size_t n = 0; n <= good.size(); n += 7) {
        std::string prefix = good.substr(0, n);
        for (DWORD id : {1u, 0x101u, 0xC0000200u}) {
            nt::MessageText text;
            DWORD rc = nt::findmessage(prefix, id, LANG_USER_DEFAULT, &text);
            EXPECT_TRUE(rc == 0 || rc == ERROR_BAD_EXE_FORMAT || (rc >= 1812 && rc <= 1815) ||
                        rc == ERROR_MR_MID_NOT_FOUND)
                << n << " " << rc;
        }
    }
}

TEST(FindMessage, RandomDamageToTheResourcesNeverOverruns) {
    std::string good = fixturebytes("probe_unicode.dll");
    Layout l = layout(good);
    size_t from = l.root, to = std::min(good.size(), l.root + get32(good, l.rsrcsec + 16));
    std::mt19937 rng(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::string b = good;
        int changes = 1 + (int)(rng() % 4);
        for (int k = 0; k < changes; ++k) {
            size_t at = from + rng() % (to - from);
            b[at] = (char)(rng() % 2 ? 0xFF : rng());
        }
        for (DWORD id : {1u, 0x12u, 0x101u, 0xC0000200u}) {
            nt::MessageText text;
            DWORD rc = nt::findmessage(b, id, LANG_USER_DEFAULT, &text);
            ASSERT_TRUE(rc == 0 || (rc >= 1812 && rc <= 1815) || rc == ERROR_MR_MID_NOT_FOUND) << round << " " << rc;
            if (rc == 0) {
                ASSERT_LT(text.units.size(), 65536u);
            }
        }
    }
}

} // namespace
