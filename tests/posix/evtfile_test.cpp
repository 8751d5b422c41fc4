// evtfile_test.cpp: the .evt reader and writer against the format's rules and
// the real logs in the samples folder.
#include "platform/posix/evtfile.h"

#include "support/support.h"

#include <algorithm>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nt::evt;
using nt::Bytes;

namespace {

std::vector<uint8_t> load(const std::string &path) {
    std::string s = qt::readfile(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

uint32_t get32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

DWORD parseimage(const std::vector<uint8_t> &image, Chain *chain) {
    ImageSource src(Bytes{image.data(), image.size()});
    return parse(src, chain);
}

// The native bytes of every record of the chain, oldest first; stops at the
// first record that cannot be read.
std::vector<std::vector<uint8_t>> nativerecords(const std::vector<uint8_t> &image, const Chain &chain) {
    ImageSource src(Bytes{image.data(), image.size()});
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> scratch;
    for (size_t pos = 0; pos < chain.count(); ++pos) {
        Bytes rec;
        if (!recordat(src, chain, pos, false, &scratch, &rec)) break;
        out.emplace_back(rec.data, rec.data + rec.size);
    }
    return out;
}

std::vector<uint8_t> ansi(const std::vector<uint8_t> &native) {
    uint32_t size = 0;
    EXPECT_EQ(ansiform(Bytes{native.data(), native.size()}, nullptr, 0, &size), ERROR_SUCCESS);
    std::vector<uint8_t> out(size, 0xCC);
    EXPECT_EQ(ansiform(Bytes{native.data(), native.size()}, out.data(), size, &size), ERROR_SUCCESS);
    return out;
}

// The first insertion string of an ANSI record.
std::string firststring(const std::vector<uint8_t> &rec) {
    uint32_t off = get32(&rec[0x24]);
    return std::string((const char *)&rec[off]);
}

std::u16string w(const std::string &s) { return std::u16string(s.begin(), s.end()); }

NewRecord event(uint32_t n, size_t extra) {
    NewRecord r;
    r.timegenerated = r.timewritten = 1000000 + n;
    r.eventid = 0x40000000 | n;
    r.eventtype = 4;
    r.source = w("Writer");
    r.computer = w("HOST12");
    r.strings = {w("event " + std::to_string(n)), w(std::string(extra, 'x'))};
    return r;
}

struct SampleFacts {
    const char *name;
    size_t count;
    uint32_t oldest, newest;
    size_t withsid, withdata;
    uint32_t headercurrent; // the stale header's CurrentRecordNumber
};

class EvtFile : public qt::TempNetwork {};

} // namespace

TEST(EvtFileParse, RealLogsGiveTheirRecordsFromTheEndRecord) {
    const SampleFacts facts[] = {
        {"plaso-SysEvent.Evt", 6063, 1392, 7454, 1723, 811, 7430},
        {"evtparser-Application.evt", 67, 1, 67, 5, 29, 64},
        {"evtparser-System.evt", 95, 1, 95, 19, 25, 87},
        {"evtparser-Security.evt", 49, 1, 49, 47, 0, 44},
    };
    for (const SampleFacts &f : facts) {
        SCOPED_TRACE(f.name);
        std::vector<uint8_t> image = load(qt::samplelog(f.name));
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(get32(&image[0x18]), f.headercurrent); // the header lags: these are dirty copies
        EXPECT_EQ(get32(&image[0x24]) & FlagDirty, FlagDirty);
        Chain chain;
        ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
        EXPECT_EQ(chain.count(), f.count);
        EXPECT_EQ(chain.oldest(), f.oldest);
        EXPECT_EQ(chain.newest(), f.newest);
        EXPECT_EQ(chain.current, f.newest + 1);
        std::vector<std::vector<uint8_t>> recs = nativerecords(image, chain);
        ASSERT_EQ(recs.size(), f.count);
        size_t withsid = 0, withdata = 0;
        for (size_t i = 0; i < recs.size(); ++i) {
            EXPECT_EQ(get32(&recs[i][8]), f.oldest + i);
            withsid += get32(&recs[i][0x28]) != 0;
            withdata += get32(&recs[i][0x30]) != 0;
            uint32_t size = 0;
            EXPECT_EQ(ansiform(Bytes{recs[i].data(), recs[i].size()}, nullptr, 0, &size), ERROR_SUCCESS)
                << "record " << f.oldest + i;
        }
        EXPECT_EQ(withsid, f.withsid);
        if (f.withdata) {
            EXPECT_EQ(withdata, f.withdata);
        }
    }
}

TEST(EvtFileParse, PlasoSplitRecordIsReadWholeAndStaleRecordsAreLeftOut) {
    std::vector<uint8_t> image = load(qt::samplelog("plaso-SysEvent.Evt"));
    Chain chain;
    ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.start, 0x1e0130u);
    EXPECT_EQ(chain.end, 0x1b9674u);

    size_t split = chain.count();
    for (size_t pos = 0; pos < chain.count(); ++pos)
        if (chain.offset(pos) == 0x1eff10) split = pos;
    ASSERT_LT(split, chain.count());
    ImageSource src(Bytes{image.data(), image.size()});
    std::vector<uint8_t> scratch;
    Bytes rec;
    ASSERT_TRUE(recordat(src, chain, split, false, &scratch, &rec));
    ASSERT_EQ(rec.size, 0x158u);
    EXPECT_EQ(std::vector<uint8_t>(rec.data, rec.data + 240),
              std::vector<uint8_t>(image.begin() + 0x1eff10, image.end()));
    EXPECT_EQ(std::vector<uint8_t>(rec.data + 240, rec.data + 0x158),
              std::vector<uint8_t>(image.begin() + 0x30, image.begin() + 0x30 + 104));

    // The free space between the end record and the oldest record still holds
    // whole old records numbered 1135-1572; none of them is part of the log.
    uint32_t lowest = 0xFFFFFFFF, highest = 0;
    size_t stale = 0;
    for (uint32_t off = chain.end + EofSize; off + 12 <= chain.start; off += 4) {
        if (get32(&image[off + 4]) != Signature) continue;
        uint32_t number = get32(&image[off + 8]);
        ++stale;
        lowest = std::min(lowest, number);
        highest = std::max(highest, number);
    }
    EXPECT_EQ(stale, 438u);
    EXPECT_EQ(lowest, 1135u);
    EXPECT_EQ(highest, 1572u);
    size_t at;
    EXPECT_FALSE(chain.find(1135, &at));
    EXPECT_FALSE(chain.find(1391, &at));
    ASSERT_TRUE(chain.find(1392, &at));
    EXPECT_EQ(at, 0u);
    ASSERT_TRUE(chain.find(7454, &at));
    EXPECT_EQ(at, 6062u);
}

TEST(EvtFileAnsi, NamesStringsSidAndDataAreLaidOutAndConverted) {
    NewRecord r;
    r.timegenerated = 11;
    r.timewritten = 22;
    r.eventid = 0xC0001234;
    r.eventtype = 1;
    r.category = 7;
    r.source = w("Src");
    r.computer = w("PC");
    r.sid = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0}; // S-1-5-32-544
    r.strings = {u"a\u20ACb", u"\u0100\u4E2D\U0001F600", u""};
    r.data = {9, 8, 7, 6, 5};
    std::vector<uint8_t> native;
    buildrecord(r, 42, &native);
    ASSERT_EQ(native.size() % 4, 0u);
    // Native layout: SID right after the computer name (offset 0x38 + 8 + 6 = 0x46).
    EXPECT_EQ(get32(&native[0x2C]), 0x46u);

    std::vector<uint8_t> a = ansi(native);
    const uint32_t len = get32(&a[0]);
    ASSERT_EQ(len, a.size());
    EXPECT_EQ(len % 4, 0u);
    EXPECT_EQ(get32(&a[len - 4]), len);
    EXPECT_EQ(get32(&a[4]), Signature);
    EXPECT_EQ(get32(&a[8]), 42u);
    EXPECT_EQ(get32(&a[0x14]), 0xC0001234u);
    EXPECT_EQ(a[0x1A], 3);
    EXPECT_EQ(std::string((const char *)&a[0x38]), "Src");
    EXPECT_EQ(std::string((const char *)&a[0x3C]), "PC");
    // 0x3F is the first free byte: 1 zero byte reaches the DWORD boundary.
    const uint32_t sidoff = get32(&a[0x2C]);
    EXPECT_EQ(sidoff, 0x40u);
    EXPECT_EQ(get32(&a[0x28]), 16u);
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + sidoff, a.begin() + sidoff + 16), r.sid);
    const uint32_t stroff = get32(&a[0x24]);
    EXPECT_EQ(stroff, sidoff + 16);
    // One byte per UTF-16 unit: the euro sign is 0x80, the others have no
    // code page 1252 byte, and each half of a surrogate pair is a '?'.
    const char expect[] = "a\x80"
                          "b\0????\0";
    EXPECT_EQ(std::string((const char *)&a[stroff], sizeof expect), std::string(expect, sizeof expect));
    const uint32_t dataoff = get32(&a[0x34]);
    EXPECT_EQ(dataoff, stroff + sizeof expect);
    EXPECT_EQ(get32(&a[0x30]), 5u);
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + dataoff, a.begin() + dataoff + 5), r.data);
    for (uint32_t i = dataoff + 5; i < len - 4; ++i) EXPECT_EQ(a[i], 0) << i;

    // Too small a buffer is left alone but the size is reported.
    std::vector<uint8_t> small(len - 1, 0xAB);
    uint32_t size = 0;
    EXPECT_EQ(ansiform(Bytes{native.data(), native.size()}, small.data(), len - 1, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, len);
    EXPECT_EQ(small, std::vector<uint8_t>(len - 1, 0xAB));

    // Already aligned after the names: a whole zero DWORD still comes before
    // the (empty) SID, and with no SID its offset is where the strings start.
    NewRecord plain;
    plain.source = w("Ab");
    plain.computer = w("C");
    std::vector<uint8_t> pn;
    buildrecord(plain, 1, &pn);
    std::vector<uint8_t> pa = ansi(pn);
    EXPECT_EQ(get32(&pa[0x2C]), 0x40u);
    EXPECT_EQ(get32(&pa[0x24]), 0x40u);
    EXPECT_EQ(get32(&pa[0x34]), 0x40u);
    EXPECT_EQ(pa.size(), 0x48u);
}

TEST(EvtFileAnsi, RoomyAndExactBuffersGiveTheSameBytes) {
    // ASCII runs go eight (or four) units at a time; a non-ASCII unit or the
    // NUL at any place of a run, in the first block or a later one, must
    // still come out right. With room to spare the texts are converted while
    // measured, into an exact buffer afterwards: both give the same record,
    // and nothing is written after it.
    for (size_t n = 0; n <= 27; ++n) {
        for (size_t k = 0; k <= n; ++k) { // k == n: all ASCII
            // U+0080, next to ASCII, has no byte of code page 1252 either.
            for (char16_t odd : {u'\u20AC', u'\u4E2D', u'\u00E9', u'\u0080'}) {
                SCOPED_TRACE("length " + std::to_string(n) + ", odd unit at " + std::to_string(k));
                std::u16string text;
                std::string expect;
                for (size_t i = 0; i < n; ++i) {
                    text += i == k ? odd : (char16_t)('a' + i);
                    expect += i == k ? (odd == u'\u20AC' ? '\x80' : odd == u'\u00E9' ? '\xE9' : '?') : (char)('a' + i);
                }
                NewRecord r;
                r.source = text;
                r.computer = text + u"Z";
                r.strings = {text, u"x" + text, text};
                r.data = {1, 2, 3};
                // Each text at the start of a block of its own on the heap,
                // where reading a byte before it is an overrun (the
                // sanitizer build reports it).
                for (std::u16string *t : {&r.source, &r.computer, &r.strings[0], &r.strings[1], &r.strings[2]})
                    t->reserve(64);
                std::vector<uint8_t> native;
                buildrecord(r, 7, &native);
                std::vector<uint8_t> exact = ansi(native);
                std::vector<uint8_t> roomy(exact.size() + 4096, 0xCC);
                uint32_t size = 0;
                ASSERT_EQ(ansiform(Bytes{native.data(), native.size()}, roomy.data(), (uint32_t)roomy.size(), &size),
                          ERROR_SUCCESS);
                ASSERT_EQ(size, exact.size());
                EXPECT_EQ(std::vector<uint8_t>(roomy.begin(), roomy.begin() + size), exact);
                EXPECT_EQ(std::count(roomy.begin() + size, roomy.end(), 0xCC), (long)(roomy.size() - size));
                EXPECT_EQ(std::string((const char *)&exact[0x38]), expect);
                EXPECT_EQ(std::string((const char *)&exact[0x38 + n + 1]), expect + "Z");
                const uint32_t stroff = get32(&exact[0x24]);
                const std::string strings((const char *)&exact[stroff], 3 * (n + 1) + 1);
                EXPECT_EQ(strings, expect + '\0' + "x" + expect + '\0' + expect + '\0');
                std::vector<uint8_t> straight;
                ansirecord(r, 7, &straight);
                EXPECT_EQ(straight, exact);
                // Both paddings are zeros, in a buffer that held none.
                const uint32_t namesend = 0x38 + 2 * (uint32_t)n + 3, dataend = get32(&exact[0x34]) + 3;
                EXPECT_EQ(std::count(exact.begin() + namesend, exact.begin() + stroff, 0), (long)(stroff - namesend));
                EXPECT_EQ(std::count(exact.begin() + dataend, exact.end() - 4, 0), (long)(exact.size() - 4 - dataend));
            }
        }
    }
    // Built straight from the fields, the ANSI form has every SID and data
    // size's paddings, and a text holding a NUL of its own ends there as
    // the built record's string does.
    for (size_t sid : {0, 8, 12, 16})
        for (size_t data : {0, 1, 2, 3, 4})
            for (bool nul : {false, true}) {
                SCOPED_TRACE(std::to_string(sid) + " " + std::to_string(data) + " " + std::to_string(nul));
                NewRecord r;
                r.source = u"Src";
                r.computer = nul ? std::u16string(u"PC\0X", 4) : u"PC";
                r.sid.assign(sid, 5);
                if (sid) r.sid[0] = 1, r.sid[1] = (uint8_t)((sid - 8) / 4);
                r.data.assign(data, 9);
                r.strings = {u"one", nul ? std::u16string(u"t\0wo", 4) : u"two", u""};
                std::vector<uint8_t> native, straight;
                buildrecord(r, 3, &native);
                ansirecord(r, 3, &straight);
                EXPECT_EQ(straight, ansi(native));
            }
}

TEST(EvtFileAnsi, RealUnalignedSidsComeOutAligned) {
    std::vector<uint8_t> image = load(qt::samplelog("plaso-SysEvent.Evt"));
    Chain chain;
    ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
    size_t unaligned = 0;
    for (const std::vector<uint8_t> &rec : nativerecords(image, chain)) {
        uint32_t sidlen = get32(&rec[0x28]);
        if (!sidlen) continue;
        uint32_t sidoff = get32(&rec[0x2C]);
        unaligned += sidoff % 4 != 0;
        std::vector<uint8_t> a = ansi(rec);
        uint32_t asid = get32(&a[0x2C]);
        EXPECT_EQ(asid % 4, 0u);
        ASSERT_LE(asid + sidlen, a.size());
        EXPECT_TRUE(std::equal(a.begin() + asid, a.begin() + asid + sidlen, rec.begin() + sidoff));
        uint32_t datalen = get32(&rec[0x30]);
        if (datalen) {
            uint32_t d = get32(&rec[0x34]), ad = get32(&a[0x34]);
            ASSERT_LE(ad + datalen, a.size() - 4);
            EXPECT_TRUE(std::equal(a.begin() + ad, a.begin() + ad + datalen, rec.begin() + d));
        }
    }
    EXPECT_GT(unaligned, 1000u);
}

TEST(EvtFileAnsi, MalformedContentsAreCorruptNotOverruns) {
    NewRecord r = event(5, 3);
    r.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    r.data = {1, 2, 3};
    std::vector<uint8_t> good;
    buildrecord(r, 5, &good);
    struct Case {
        const char *what;
        uint32_t field, value;
        DWORD rc;
    } cases[] = {
        {"string offset past the end", 0x24, 0xFFFFFFF0, ERROR_EVENTLOG_FILE_CORRUPT},
        {"string offset inside the fixed part", 0x24, 0x10, ERROR_EVENTLOG_FILE_CORRUPT},
        {"sid length past the end", 0x28, 0x7FFFFFFF, ERROR_EVENTLOG_FILE_CORRUPT},
        {"sid offset wraps", 0x2C, 0xFFFFFFFC, ERROR_EVENTLOG_FILE_CORRUPT},
        {"data length huge", 0x30, 0xFFFFFFFF, ERROR_EVENTLOG_FILE_CORRUPT},
        {"data offset past the end", 0x34, 0x10000, ERROR_EVENTLOG_FILE_CORRUPT},
        {"more strings than there are", 0x1A, 0x0100, ERROR_EVENTLOG_FILE_CORRUPT},
        {"length disagrees", 0x00, 0x1000, ERROR_EVENTLOG_FILE_CORRUPT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bad = good;
        if (c.field == 0x1A)
            nt::put16(&bad[c.field], (uint16_t)c.value);
        else
            nt::put32(&bad[c.field], c.value);
        uint32_t size = 0;
        EXPECT_EQ(ansiform(Bytes{bad.data(), bad.size()}, nullptr, 0, &size), c.rc);
    }
    // DataOffset past the record with DataLength 0 is seen in real logs and ignored.
    std::vector<uint8_t> odd = good;
    nt::put32(&odd[0x30], 0);
    nt::put32(&odd[0x34], 0x7FFFFFF0);
    uint32_t size = 0;
    EXPECT_EQ(ansiform(Bytes{odd.data(), odd.size()}, nullptr, 0, &size), ERROR_SUCCESS);
    // A source name without its NUL.
    std::vector<uint8_t> nonul = good;
    for (size_t i = 0x38; i < nonul.size() - 4; ++i) nonul[i] = 'A';
    EXPECT_EQ(ansiform(Bytes{nonul.data(), nonul.size()}, nullptr, 0, &size), ERROR_EVENTLOG_FILE_CORRUPT);
}

TEST_F(EvtFile, WrappingKeepsAConsistentChainWithSplitsAndFiller) {
    const std::string path = dir() + "/wrap.evt";
    const uint32_t maxsize = 8192;
    LogFile log;
    ASSERT_EQ(log.openorcreate(path, maxsize, 0), ERROR_SUCCESS);
    EXPECT_EQ(qt::readfile(path).size(), maxsize);
    bool splitrecord = false, filler = false, spliteof = false, endsatend = false;
    for (uint32_t n = 1; n <= 1500; ++n) {
        SCOPED_TRACE("after record " + std::to_string(n));
        uint32_t last = 0;
        ASSERT_EQ(log.append({event(n, (n * 37) % 200)}, 0, 0, &last), ERROR_SUCCESS);
        ASSERT_EQ(last, n);
        std::vector<uint8_t> image = load(path);
        ASSERT_EQ(image.size(), maxsize);
        Chain chain;
        ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
        ASSERT_EQ(chain.newest(), n);
        // Clean header equal to the end record.
        EXPECT_EQ(get32(&image[0x24]) & FlagDirty, 0u);
        EXPECT_EQ(get32(&image[0x10]), chain.start);
        EXPECT_EQ(get32(&image[0x14]), chain.end);
        EXPECT_EQ(get32(&image[0x18]), n + 1);
        EXPECT_EQ(get32(&image[0x1C]), chain.oldest());
        std::vector<std::vector<uint8_t>> recs = nativerecords(image, chain);
        ASSERT_EQ(recs.size(), chain.count());
        uint64_t used = EofSize;
        for (size_t i = 0; i < recs.size(); ++i) {
            used += recs[i].size();
            EXPECT_EQ(firststring(ansi(recs[i])), "event " + std::to_string(chain.oldest() + i));
            uint32_t off = chain.offset(i), len = (uint32_t)recs[i].size();
            if (off + len > maxsize) splitrecord = true;
            if (off + len == maxsize) endsatend = true;
            if (i && off == HeaderSize) {
                uint32_t prevend = chain.offset(i - 1) + (uint32_t)recs[i - 1].size();
                if (prevend < maxsize) {
                    ASSERT_LT(maxsize - prevend, FixedSize);
                    filler = true;
                    for (uint32_t p = prevend; p < maxsize; p += 4) EXPECT_EQ(get32(&image[p]), Filler);
                }
            }
        }
        EXPECT_LE(used, maxsize - HeaderSize);
        // Only whole oldest records go: one more record would not have fit.
        if (n > 100) {
            EXPECT_GT(used + 600, maxsize - HeaderSize);
        }
        if (chain.end + EofSize > maxsize) spliteof = true;
        if (n > 100) {
            EXPECT_NE(get32(&image[0x24]) & FlagWrap, 0u);
        }
    }
    EXPECT_TRUE(splitrecord);
    EXPECT_TRUE(filler);
    EXPECT_TRUE(spliteof);
    EXPECT_TRUE(endsatend);
}

TEST_F(EvtFile, FileGrowsBy64KiBUpToMaxSizeBeforeWrapping) {
    const std::string path = dir() + "/grow.evt";
    const uint32_t maxsize = 3 * GrowStep;
    LogFile log;
    ASSERT_EQ(log.openorcreate(path, maxsize, 0), ERROR_SUCCESS);
    std::vector<uint64_t> sizes{qt::readfile(path).size()};
    uint32_t n = 0;
    std::vector<NewRecord> batch;
    for (int i = 0; i < 50; ++i) batch.push_back(event(0, 300));
    while (log.chain().oldest() <= 1) {
        ASSERT_EQ(log.append(batch, 0, 0, &n), ERROR_SUCCESS);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if ((uint64_t)st.st_size != sizes.back()) sizes.push_back((uint64_t)st.st_size);
        ASSERT_LT(n, 10000u);
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{GrowStep, 2 * GrowStep, 3 * GrowStep}));
    Chain chain;
    ASSERT_EQ(parseimage(load(path), &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.newest(), n);
    EXPECT_GT(chain.oldest(), 1u);
}

TEST_F(EvtFile, RetentionRefusesToOverwriteYoungRecords) {
    const std::string path = dir() + "/full.evt";
    LogFile log;
    ASSERT_EQ(log.openorcreate(path, 4096, 0), ERROR_SUCCESS);
    uint32_t n = 0;
    DWORD rc = ERROR_SUCCESS;
    uint32_t written = 0;
    for (uint32_t i = 1; i <= 100 && rc == ERROR_SUCCESS; ++i) {
        rc = log.append({event(i, 20)}, 0, 3600, &n);
        if (rc == ERROR_SUCCESS) written = i;
    }
    EXPECT_EQ(rc, ERROR_LOG_FILE_FULL);
    ASSERT_GT(written, 5u);
    std::vector<uint8_t> image = load(path);
    EXPECT_NE(get32(&image[0x24]) & FlagLogFull, 0u);
    Chain chain;
    ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.oldest(), 1u);
    EXPECT_EQ(chain.newest(), written);
    // An hour later the oldest records may go.
    NewRecord later = event(written + 1, 20);
    later.timewritten += 7200;
    EXPECT_EQ(log.append({later}, 0, 3600, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, written + 1);
    EXPECT_GT(log.chain().oldest(), 1u);
    // A record larger than the whole log never fits.
    NewRecord huge = event(0, 10000);
    const size_t before = log.chain().count();
    EXPECT_EQ(log.append({huge}, 0, 0, &n), ERROR_LOG_FILE_FULL);
    EXPECT_EQ(log.chain().newest(), written + 1);
    EXPECT_EQ(log.chain().count(), before);
}

TEST_F(EvtFile, BackupIsUnwrappedCleanAndExact) {
    const std::string path = dir() + "/live.evt", copy = dir() + "/copy.evt";
    LogFile log;
    ASSERT_EQ(log.openorcreate(path, 8192, 0), ERROR_SUCCESS);
    std::vector<NewRecord> recs;
    for (uint32_t i = 1; i <= 150; ++i) recs.push_back(event(i, i % 50));
    ASSERT_EQ(log.append(recs, 0, 0, nullptr), ERROR_SUCCESS);
    std::vector<uint8_t> image = load(path);
    Chain live;
    ASSERT_EQ(parseimage(image, &live), ERROR_SUCCESS);
    ASSERT_GT(live.start, live.end) << "the log should have wrapped";

    ASSERT_EQ(log.backup(copy), ERROR_SUCCESS);
    std::vector<uint8_t> b = load(copy);
    Chain chain;
    ASSERT_EQ(parseimage(b, &chain), ERROR_SUCCESS);
    EXPECT_EQ(get32(&b[0x24]), 0u);
    EXPECT_EQ(get32(&b[0x10]), HeaderSize);
    EXPECT_EQ(get32(&b[0x14]) + EofSize, b.size());
    EXPECT_EQ(get32(&b[0x20]), b.size());
    EXPECT_EQ(get32(&b[0x18]), 151u);
    EXPECT_EQ(get32(&b[0x1C]), live.oldest());
    EXPECT_EQ(nativerecords(b, chain), nativerecords(image, live));
    uint32_t off = HeaderSize;
    for (size_t i = 0; i < chain.count(); ++i) {
        EXPECT_EQ(chain.offset(i), off);
        off += get32(&b[off]);
    }
    EXPECT_EQ(log.backup(copy), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(log.backup(dir() + "/no/such/folder/x.evt"), ERROR_PATH_NOT_FOUND);
}

TEST_F(EvtFile, ClearKeepsNumberingAndShrinksTheFile) {
    const std::string path = dir() + "/clear.evt";
    LogFile log;
    ASSERT_EQ(log.openorcreate(path, 4 * GrowStep, 0), ERROR_SUCCESS);
    std::vector<NewRecord> recs(700, event(1, 100));
    ASSERT_EQ(log.append(recs, 0, 0, nullptr), ERROR_SUCCESS);
    ASSERT_GT(qt::readfile(path).size(), GrowStep);
    ASSERT_EQ(log.clear(), ERROR_SUCCESS);
    std::vector<uint8_t> image = load(path);
    EXPECT_EQ(image.size(), GrowStep);
    Chain chain;
    ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.count(), 0u);
    EXPECT_EQ(chain.oldest(), 0u);
    EXPECT_EQ(chain.current, 701u);
    EXPECT_EQ(get32(&image[0x18]), 701u);
    EXPECT_EQ(get32(&image[0x1C]), 0u);
    EXPECT_EQ(get32(&image[0x10]), HeaderSize);
    EXPECT_EQ(get32(&image[0x14]), HeaderSize);
    EXPECT_EQ(get32(&image[0x24]), 0u);
    uint32_t n = 0;
    ASSERT_EQ(log.append({event(701, 1)}, 0, 0, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, 701u);
    ASSERT_EQ(parseimage(load(path), &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.oldest(), 701u);
    EXPECT_EQ(chain.count(), 1u);
}

TEST_F(EvtFile, OtherWritersChangesAreSeenOnRefresh) {
    const std::string path = dir() + "/shared.evt";
    LogFile writer, reader;
    ASSERT_EQ(writer.openorcreate(path, GrowStep, 0), ERROR_SUCCESS);
    ASSERT_EQ(reader.open(path, false), ERROR_SUCCESS);
    EXPECT_EQ(reader.chain().count(), 0u);
    ASSERT_EQ(writer.append({event(1, 1), event(2, 2)}, 0, 0, nullptr), ERROR_SUCCESS);
    reader.lock(false);
    ASSERT_EQ(reader.refresh(), ERROR_SUCCESS);
    reader.unlock();
    EXPECT_EQ(reader.chain().count(), 2u);
    ASSERT_EQ(writer.clear(), ERROR_SUCCESS);
    reader.lock(false);
    ASSERT_EQ(reader.refresh(), ERROR_SUCCESS);
    reader.unlock();
    EXPECT_EQ(reader.chain().count(), 0u);
    EXPECT_EQ(reader.chain().current, 3u);
    EXPECT_EQ(reader.append({event(3, 1)}, 0, 0, nullptr), ERROR_ACCESS_DENIED);
}

TEST(EvtFileParse, ScanSkipsAnEndRecordWhoseChainIsBroken) {
    // What a crash in the middle of a clear leaves: the new end record at 0x30
    // over the first record, the old one still in place, the header dirty.
    std::vector<uint8_t> image = load(qt::samplelog("evtparser-System.evt"));
    std::vector<uint8_t> fresh = emptyimage(HeaderSize + EofSize, 0, 0, 96);
    std::copy(fresh.begin() + HeaderSize, fresh.end(), image.begin() + HeaderSize);
    nt::put32(&image[0x14], 0x5bd0); // header points at the old end record
    Chain chain;
    ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
    EXPECT_EQ(chain.count(), 0u);
    EXPECT_EQ(chain.current, 96u);
}

TEST(EvtFileParse, HostileFilesGiveCorruptOrCleanReads) {
    std::vector<std::vector<uint8_t>> bases = {load(qt::samplelog("evtparser-Application.evt")),
                                               load(qt::samplelog("evtparser-Security.evt"))};
    auto readall = [](const std::vector<uint8_t> &image) {
        Chain chain;
        if (parseimage(image, &chain) != ERROR_SUCCESS) return -1;
        int ok = 0;
        for (const std::vector<uint8_t> &rec : nativerecords(image, chain)) {
            uint32_t size = 0;
            if (ansiform(Bytes{rec.data(), rec.size()}, nullptr, 0, &size) != ERROR_SUCCESS) continue;
            std::vector<uint8_t> out(size);
            EXPECT_EQ(ansiform(Bytes{rec.data(), rec.size()}, out.data(), size, &size), ERROR_SUCCESS);
            ++ok;
        }
        return ok;
    };

    // Cut anywhere: a file cut inside the live range is corrupt; the header
    // alone and short files are corrupt too.
    const std::vector<uint8_t> &app = bases[0];
    int readable = 0;
    for (size_t cut = 0; cut < app.size(); cut += (cut < 0x100 ? 1 : 61)) {
        std::vector<uint8_t> part(app.begin(), app.begin() + cut);
        int n = readall(part);
        if (cut < 0x2e50 + EofSize) {
            EXPECT_EQ(n, -1) << cut;
        }
        readable += n >= 0;
    }
    EXPECT_GT(readable, 0); // cuts in the free space after the log keep it whole

    // Huge lengths and offsets in the places that matter.
    struct Patch {
        const char *what;
        size_t at;
        uint32_t value;
    } patches[] = {
        {"record length huge", 0x30, 0xFFFFFFF0},
        {"record length zero", 0x30, 0},
        {"record length unaligned", 0x30, 0x1F1},
        {"end record begin past the end", 0x2e50 + 0x14, 0xFFFFFFF0},
        {"end record begin unaligned", 0x2e50 + 0x14, 0x32},
        {"header end past the end", 0x14, 0x7FFFFFFC},
        {"header size", 0x00, 0x31},
        {"header signature", 0x04, 0x454C664C},
        {"end header size", 0x2C, 0},
    };
    for (const Patch &p : patches) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = app;
        nt::put32(&bad[p.at], p.value);
        int n = readall(bad);
        if (std::string(p.what).find("header end") == 0)
            EXPECT_EQ(n, 67); // the scan still finds the end record
        else
            EXPECT_EQ(n, -1);
    }

    // Random damage from a fixed seed: flipped bytes in real files and pure
    // garbage behind a valid header.
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> bad = bases[round % 2];
        int flips = 1 + (int)(rng() % 16);
        for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] = (uint8_t)rng();
        readall(bad);
    }
    for (int round = 0; round < 100; ++round) {
        std::vector<uint8_t> junk(0x30 + 4 * (rng() % 4096));
        for (uint8_t &b : junk) b = (uint8_t)rng();
        std::copy(app.begin(), app.begin() + 0x30, junk.begin());
        // A plausible end record somewhere, so the chain walk gets exercised.
        uint32_t at = 0x30 + 4 * (uint32_t)(rng() % ((junk.size() - 0x30) / 4));
        std::vector<uint8_t> eof = emptyimage(HeaderSize + EofSize, 0, 0, 5);
        nt::put32(&eof[HeaderSize + 0x14], 0x30 + 4 * (uint32_t)(rng() % ((junk.size() - 0x30) / 4)));
        nt::put32(&eof[HeaderSize + 0x18], at);
        for (uint32_t i = 0; i < EofSize && at + i < junk.size(); ++i) junk[at + i] = eof[HeaderSize + i];
        readall(junk);
    }
}

TEST_F(EvtFile, WriterKilledAtAnyMomentLeavesAReadableLog) {
    // The writer is killed at random moments while it appends, wraps and
    // flushes; whatever it managed to write, the file reads as a log whose
    // records are the ones appended, in order, none half-written.
    const std::string path = dir() + "/killed.evt";
    {
        LogFile log;
        ASSERT_EQ(log.openorcreate(path, 2 * GrowStep, 0), ERROR_SUCCESS);
    }
    std::mt19937 rng(77);
    uint32_t newest = 0;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            LogFile log;
            if (log.open(path, true) != ERROR_SUCCESS) _exit(1);
            for (uint32_t n = log.chain().current;; n += 100) {
                std::vector<NewRecord> batch;
                for (uint32_t i = 0; i < 100; ++i) batch.push_back(event(n + i, (n + i) % 300));
                if (log.append(batch, 0, 0, nullptr) != ERROR_SUCCESS) _exit(2);
                if (ready[1] >= 0 && write(ready[1], "x", 1) == 1) {
                    close(ready[1]);
                    ready[1] = -1;
                }
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1); // one batch is in
        close(ready[0]);
        usleep(rng() % 20000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        std::vector<uint8_t> image = load(path);
        Chain chain;
        ASSERT_EQ(parseimage(image, &chain), ERROR_SUCCESS);
        if (!chain.count()) continue;
        EXPECT_GE(chain.newest(), newest);
        newest = chain.newest();
        std::vector<std::vector<uint8_t>> recs = nativerecords(image, chain);
        ASSERT_EQ(recs.size(), chain.count());
        for (size_t i = 0; i < recs.size(); ++i)
            ASSERT_EQ(firststring(ansi(recs[i])), "event " + std::to_string(chain.oldest() + i));
    }
    EXPECT_GT(newest, 1000u);
}
