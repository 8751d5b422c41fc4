// evtxfile_test.cpp: the .evtx reader on the real logs in the samples folder
// and on files made here byte by byte: every binary XML token and value
// type, the legacy view's fields, chunk order and gaps, and hostile input.
#include "platform/posix/evtxfile.h"
#include "platform/posix/evtxlog.h"

#include "support/support.h"

#include <functional>
#include <map>
#include <sys/resource.h>

using namespace nt::evtx;
using nt::Bytes;
using nt::put64;
using nt::evt::ImageSource;
using nt::evt::NewRecord;

namespace {

std::vector<uint8_t> load(const std::string &name) {
    std::string s = qt::readfile(qt::samplelog(name));
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::u16string w(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// Writes one chunk's records as the service does: names and templates
// inline at their first use in the chunk, referred to by offset after.
class ChunkWriter {
public:
    std::vector<uint8_t> b = std::vector<uint8_t>(ChunkSize, 0);
    size_t pos = ChunkHeaderSize;
    uint64_t firstid = 0, lastid = 0;
    uint32_t lastrec = 0;

    void u8(uint8_t v) { b.at(pos++) = v; }
    void u16(uint16_t v) { u8((uint8_t)v), u8((uint8_t)(v >> 8)); }
    void u32(uint32_t v) { u16((uint16_t)v), u16((uint16_t)(v >> 16)); }
    void text(const std::u16string &s) {
        for (char16_t c : s) u16(c);
    }
    void name(const std::string &s) {
        auto hit = names_.find(s);
        if (hit != names_.end()) return u32(hit->second);
        names_[s] = (uint32_t)pos + 4;
        u32((uint32_t)pos + 4);
        u32(0);
        uint32_t hash = 0;
        for (char c : s) hash = hash * 65599 + (uint8_t)c;
        u16((uint16_t)hash);
        u16((uint16_t)s.size());
        text(w(s));
        u16(0);
    }
    // An element; attrs writes the attributes, body the content (none: />).
    void element(const std::string &n, bool intemplate, const std::function<void()> &attrs,
                 const std::function<void()> &body, uint16_t dep = 0xFFFF) {
        u8(attrs ? 0x41 : 0x01);
        if (intemplate) u16(dep);
        u32(0);
        name(n);
        if (attrs) {
            u32(0);
            attrs();
        }
        if (!body) return u8(0x03);
        u8(0x02);
        body();
        u8(0x04);
    }
    void attr(const std::string &n, const std::function<void()> &value, bool more) {
        u8(more ? 0x46 : 0x06);
        name(n);
        value();
    }
    void literal(const std::string &s) {
        u8(0x05);
        u8(0x01);
        u16((uint16_t)s.size());
        text(w(s));
    }
    void subst(uint16_t index, uint8_t type, bool optional) {
        u8(optional ? 0x0E : 0x0D);
        u16(index);
        u8(type);
    }
    // A template instance; the body is written inline at the first use of
    // key in the chunk.
    // Values in nested are written by their function (a nested stream).
    void instance(const std::string &key, const std::function<void()> &body,
                  const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> &values,
                  const std::map<size_t, std::function<void()>> &nested = {}) {
        u8(0x0C);
        u8(0x01);
        u32(0x12345678);
        auto hit = templates_.find(key);
        if (hit != templates_.end()) {
            u32(hit->second);
        } else {
            templates_[key] = (uint32_t)pos + 4;
            u32((uint32_t)pos + 4);
            u32(0);
            for (int i = 0; i < 16; ++i) u8((uint8_t)(key.size() + i));
            const size_t sizeat = pos;
            u32(0);
            const size_t start = pos;
            fragment();
            body();
            u8(0x00);
            nt::put32(&b[sizeat], (uint32_t)(pos - start));
        }
        u32((uint32_t)values.size());
        const size_t descr = pos;
        for (const auto &v : values) {
            u16((uint16_t)v.second.size());
            u8(v.first);
            u8(0);
        }
        for (size_t i = 0; i < values.size(); ++i) {
            const size_t start = pos;
            auto hit = nested.find(i);
            if (hit == nested.end()) {
                for (uint8_t x : values[i].second) u8(x);
                continue;
            }
            hit->second();
            nt::put16(&b[descr + 4 * i], (uint16_t)(pos - start));
        }
    }
    void fragment() { u8(0x0F), u8(1), u8(1), u8(0); }
    // A record: header, the stream written by body, end of stream, padding
    // to a multiple of 8, the size copy.
    void record(uint64_t id, uint64_t filetime, const std::function<void()> &body) {
        const size_t start = pos;
        u32(0x00002A2A);
        u32(0);
        put64(&b[pos], id), pos += 8;
        put64(&b[pos], filetime), pos += 8;
        body();
        u8(0x00);
        while ((pos - start + 4) % 8) u8(0);
        u32((uint32_t)(pos - start + 4));
        nt::put32(&b[start + 4], (uint32_t)(pos - start));
        if (!firstid) firstid = id;
        lastid = id;
        lastrec = (uint32_t)start;
    }
    // The chunk header with both checksums.
    std::vector<uint8_t> finish() {
        std::memcpy(b.data(), "ElfChnk", 8);
        put64(&b[0x08], 1);
        put64(&b[0x10], lastid - firstid + 1);
        put64(&b[0x18], firstid);
        put64(&b[0x20], lastid);
        nt::put32(&b[0x28], 128);
        nt::put32(&b[0x2C], lastrec);
        nt::put32(&b[0x30], (uint32_t)pos);
        nt::put32(&b[0x34], crc32(&b[ChunkHeaderSize], pos - ChunkHeaderSize));
        nt::put32(&b[0x78], 1);
        nt::put32(&b[0x7C], crc32(&b[0x80], ChunkHeaderSize - 0x80, crc32(b.data(), 0x78)));
        return b;
    }

private:
    std::map<std::string, uint32_t> names_, templates_;
};

std::vector<uint8_t> fileof(const std::vector<std::vector<uint8_t>> &chunks, uint32_t flags = 0) {
    std::vector<uint8_t> f(FileHeaderSize, 0);
    std::memcpy(f.data(), "ElfFile", 8);
    nt::put32(&f[0x20], 128);
    nt::put16(&f[0x24], 1);
    nt::put16(&f[0x26], 3);
    nt::put16(&f[0x28], FileHeaderSize);
    nt::put16(&f[0x2A], (uint16_t)chunks.size());
    nt::put32(&f[0x78], flags);
    nt::put32(&f[0x7C], crc32(f.data(), 0x78));
    for (const auto &c : chunks) f.insert(f.end(), c.begin(), c.end());
    return f;
}

typedef std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Values;

// The Provider element of both test templates: Name from value 0 and an
// optional EventSourceName from value 1.
void provider(ChunkWriter &c) {
    c.element(
        "Provider", true,
        [&] {
            c.attr(
                "Name", [&] { c.subst(0, 0x01, false); }, true);
            c.attr(
                "EventSourceName", [&] { c.subst(1, 0x01, true); }, false);
        },
        nullptr);
}

// A manifest-style event: System with the fields the legacy view reads,
// EventData with one Data element per value from index 6 on.
void event(ChunkWriter &c, const Values &v, const std::string &key = "event") {
    c.instance(
        key,
        [&] {
            c.element("Event", true, nullptr, [&] {
                c.element(
                    "System", true, nullptr,
                    [&] {
                        provider(c);
                        c.element(
                            "EventID", true,
                            [&] {
                                c.attr(
                                    "Qualifiers", [&] { c.subst(2, 0x06, true); }, false);
                            },
                            [&] { c.subst(3, 0x06, false); });
                        c.element("Level", true, nullptr, [&] { c.subst(4, 0x04, true); });
                        c.element("Keywords", true, nullptr, [&] { c.subst(5, 0x15, true); });
                        c.element("Computer", true, nullptr, [&] { c.literal("HOST12"); });
                    },
                    0xFFFF);
                c.element("EventData", true, nullptr, [&] {
                    for (uint16_t i = 6; i < v.size(); ++i)
                        c.element("Data", true, nullptr, [&] { c.subst(i, 0, false); });
                });
            });
        },
        v);
}

std::vector<uint8_t> str(const std::string &s) {
    std::vector<uint8_t> out;
    for (char ch : s) out.push_back((uint8_t)ch), out.push_back(0);
    return out;
}
std::vector<uint8_t> le(uint64_t v, int n) {
    std::vector<uint8_t> out;
    for (int i = 0; i < n; ++i) out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

Values header(uint16_t id = 7036, uint8_t level = 4, uint64_t keywords = 0x8000000000000000ull) {
    return {{0x01, str("Prov")}, {0x00, {}},           {0x00, {}},
            {0x06, le(id, 2)},   {0x04, le(level, 1)}, {0x15, le(keywords, 8)}};
}

// Indexes image and converts every record forwards.
struct Read {
    DWORD rc = 0;
    std::vector<NewRecord> recs;
    std::vector<uint32_t> numbers;
    size_t failed = 0;
};
Read readall(const std::vector<uint8_t> &image) {
    Read r;
    ImageSource src(Bytes{image.data(), image.size()});
    Reader reader;
    r.rc = reader.open(src);
    Position pos;
    for (bool more = reader.first(&pos); more; more = reader.next(&pos)) {
        NewRecord rec;
        uint32_t n;
        if (reader.read(pos, &rec, &n) != ERROR_SUCCESS) {
            ++r.failed;
            continue;
        }
        r.recs.push_back(rec);
        r.numbers.push_back(n);
    }
    return r;
}

// One record made by body in a fresh chunk, read back.
Read one(const std::function<void(ChunkWriter &)> &body) {
    ChunkWriter c;
    c.record(1, 0, [&] {
        c.fragment();
        body(c);
    });
    return readall(fileof({c.finish()}));
}

} // namespace

TEST(EvtxCrc, ZlibCheckValue) {
    const char *s = "123456789";
    EXPECT_EQ(crc32((const uint8_t *)s, 9), 0xCBF43926u);
    EXPECT_EQ(crc32((const uint8_t *)s + 4, 5, crc32((const uint8_t *)s, 4)), 0xCBF43926u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(EvtxSignature, OnlyElfFileWithItsNul) {
    const struct {
        const char *name;
        std::string bytes;
        bool want;
    } rows[] = {{"evtx", std::string("ElfFile\0\1", 9), true},
                {"no NUL", "ElfFileX", false},
                {"short", "ElfFile", false},
                {"evt", std::string("\x30\0\0\0LfLe", 8), false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(hassignature(Bytes{(const uint8_t *)r.bytes.data(), r.bytes.size()}), r.want);
    }
}

TEST(EvtxSamples, CountsRangesAndOrderBothWays) {
    // Numbers are the record headers' identifiers: the exported file's
    // headers say 1-4 where its events say 111-116.
    const struct {
        const char *name;
        size_t count;
        uint32_t oldest, newest;
    } rows[] = {{"system.evtx", 1881, 1, 1881},
                {"security.evtx", 2261, 1, 2261},
                {"Application_no_crc32.evtx", 17, 426, 442},
                {"new-user-security.evtx", 4, 1, 4}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> image = load(r.name);
        ImageSource src(Bytes{image.data(), image.size()});
        Reader reader;
        ASSERT_EQ(reader.open(src), ERROR_SUCCESS);
        EXPECT_EQ(reader.count(), r.count);
        EXPECT_EQ(reader.oldest(), r.oldest);
        EXPECT_EQ(reader.newest(), r.newest);
        Position pos;
        uint32_t expect = r.oldest, n = 0;
        size_t got = 0;
        NewRecord rec;
        for (bool more = reader.first(&pos); more; more = reader.next(&pos), ++got, ++expect) {
            ASSERT_EQ(reader.read(pos, &rec, &n), ERROR_SUCCESS);
            ASSERT_EQ(n, expect);
        }
        EXPECT_EQ(got, r.count);
        for (bool more = reader.last(&pos); more; more = reader.prev(&pos), --got)
            ASSERT_EQ((uint32_t)pos.id, --expect);
        EXPECT_EQ(got, 0u);
        ASSERT_TRUE(reader.find(r.oldest + (uint32_t)r.count / 2, &pos));
        EXPECT_EQ(reader.read(pos, &rec, &n), ERROR_SUCCESS);
        EXPECT_EQ(n, r.oldest + r.count / 2);
        Position after{99, 0, 0};
        EXPECT_FALSE(reader.find(r.newest + 1, &pos, &after));
        EXPECT_EQ(after.chunk, 99u);
    }
}

TEST(EvtxSamples, RecordsOfTheWorkedExamples) {
    const struct {
        const char *file;
        uint32_t number, eventid;
        uint16_t type;
        const char *source, *computer;
        size_t sidsize, nstrings;
        int index; // one string to check
        const char *string;
        size_t datasize;
    } rows[] = {
        {"system.evtx", 1, 0x80001779, 4, "EventLog", "WIN-P4SIAA0SQCO", 0, 5, 2, "", 0},
        {"system.evtx", 2, 0x80001775, 4, "EventLog", "WIN-P4SIAA0SQCO", 0, 0, -1, "", 24},
        {"system.evtx", 3, 12, 4, "Microsoft-Windows-Kernel-General", "WIN-P4SIAA0SQCO", 12, 7, 6,
         "2017-07-12T17:16:05.499259900Z", 0},
        {"system.evtx", 45, 0x40001B85, 4, "Service Control Manager", "WIN-P4SIAA0SQCO", 12, 5, 4, "", 0},
        {"system.evtx", 70, 0x60040020, 4, "e1iexpress", "WIN-P4SIAA0SQCO", 0, 2, 1,
         "Intel(R) 82574L Gigabit Network Connection", 44},
        {"system.evtx", 229, 0x2720, 1, "DCOM", "DESKTOP-2KGM189", 12, 11, -1, "", 0},
        {"Application_no_crc32.evtx", 436, 0x40000386, 0, "Software Protection Platform Service", "DESKTOP-0HIJB49", 0,
         1, 0, "10.0.21286.1000", 0},
        {"security.evtx", 2, 4624, 8, "Microsoft-Windows-Security-Auditing", "37L4247F27-25", 0, 20, -1, "", 0},
        {"new-user-security.evtx", 1, 4728, 8, "Microsoft-Windows-Security-Auditing", "IE8Win7", 0, 10, 8, "0x3e7", 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.file) + " record " + std::to_string(r.number));
        std::vector<uint8_t> image = load(r.file);
        ImageSource src(Bytes{image.data(), image.size()});
        Reader reader;
        Position pos;
        NewRecord rec;
        uint32_t n;
        ASSERT_EQ(reader.open(src), ERROR_SUCCESS);
        ASSERT_TRUE(reader.find(r.number, &pos));
        ASSERT_EQ(reader.read(pos, &rec, &n), ERROR_SUCCESS);
        EXPECT_EQ(rec.eventid, r.eventid);
        EXPECT_EQ(rec.eventtype, r.type);
        EXPECT_EQ(rec.source, w(r.source));
        EXPECT_EQ(rec.computer, w(r.computer));
        EXPECT_EQ(rec.sid.size(), r.sidsize);
        ASSERT_EQ(rec.strings.size(), r.nstrings);
        if (r.index >= 0) {
            EXPECT_EQ(rec.strings[r.index], w(r.string));
        }
        EXPECT_EQ(rec.data.size(), r.datasize);
    }
}

TEST(EvtxSamples, EventLogStartThroughTheAnsiRecord) {
    // system.evtx record 2, EventLog 6005: written 2017-07-12 17:16:28 UTC,
    // no strings, 24 bytes of data starting E1 07 07 00.
    std::vector<uint8_t> image = load("system.evtx");
    ImageSource src(Bytes{image.data(), image.size()});
    Reader reader;
    Position pos;
    NewRecord rec;
    uint32_t n;
    ASSERT_EQ(reader.open(src), ERROR_SUCCESS);
    ASSERT_TRUE(reader.find(2, &pos));
    ASSERT_EQ(reader.read(pos, &rec, &n), ERROR_SUCCESS);
    std::vector<uint8_t> native;
    nt::evt::buildrecord(rec, n, &native);
    uint32_t size = 0;
    ASSERT_EQ(nt::evt::ansiform(Bytes{native.data(), native.size()}, nullptr, 0, &size), ERROR_SUCCESS);
    std::vector<uint8_t> a(size);
    ASSERT_EQ(nt::evt::ansiform(Bytes{native.data(), native.size()}, a.data(), size, &size), ERROR_SUCCESS);
    EVENTLOGRECORD e;
    std::memcpy(&e, a.data(), sizeof e);
    EXPECT_EQ(e.RecordNumber, 2u);
    EXPECT_EQ(e.EventID, 0x80001775u);
    EXPECT_EQ(e.TimeGenerated, 1499879788u);
    EXPECT_EQ(e.TimeWritten, 1499879788u);
    EXPECT_EQ(e.NumStrings, 0);
    EXPECT_EQ(e.UserSidLength, 0u);
    EXPECT_STREQ((const char *)&a[sizeof e], "EventLog");
    ASSERT_EQ(e.DataLength, 24u);
    EXPECT_EQ(a[e.DataOffset], 0xE1);
    EXPECT_EQ(a[e.DataOffset + 1], 0x07);
}

TEST(EvtxValues, EachTypeAsTheEventXmlShowsIt) {
    const uint8_t sid[] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0xE9, 3, 0, 0};
    const uint8_t guid[] = {0x25, 0x96, 0x84, 0x54, 0x78, 0x54, 0x94, 0x49,
                            0xA5, 0xBA, 0x3E, 0x3B, 0x03, 0x28, 0xC3, 0x0D};
    const uint8_t systime[] = {0xE1, 0x07, 7, 0, 3, 0, 12, 0, 17, 0, 16, 0, 28, 0, 0xD6, 0};
    const struct {
        const char *name;
        uint8_t type;
        std::vector<uint8_t> bytes;
        std::vector<std::string> want;
    } rows[] = {
        {"String", 0x01, str("a<b&c"), {"a<b&c"}},
        {"AnsiString in code page 1252", 0x02, {'c', 'a', 'f', 0xE9}, {"caf\xC3\xA9"}},
        {"Int8", 0x03, {0xFB}, {"-5"}},
        {"UInt8", 0x04, {200}, {"200"}},
        {"Int16", 0x05, le(0xFED4, 2), {"-300"}},
        {"UInt16", 0x06, le(65535, 2), {"65535"}},
        {"Int32", 0x07, le(0xFFFEEE90, 4), {"-70000"}},
        {"UInt32", 0x08, le(4000000000u, 4), {"4000000000"}},
        {"Int64", 0x09, le((uint64_t)-5000000000ll, 8), {"-5000000000"}},
        {"UInt64", 0x0A, le(~0ull, 8), {"18446744073709551615"}},
        {"Real32", 0x0B, le(0x3FC00000, 4), {"1.5"}},
        {"Real64", 0x0C, le(0x3FB999999999999Aull, 8), {"0.1"}},
        {"Bool of 4 bytes", 0x0D, le(1, 4), {"true"}},
        {"Bool false", 0x0D, le(0, 4), {"false"}},
        {"Bool not 0 or 1", 0x0D, le(320060673, 4), {"true"}},
        {"Binary", 0x0E, {0xDE, 0xAD, 0x0B}, {"DEAD0B"}},
        {"Guid", 0x0F, std::vector<uint8_t>(guid, guid + 16), {"{54849625-5478-4994-A5BA-3E3B0328C30D}"}},
        {"SizeT of 8 bytes", 0x10, le(0x1bc, 8), {"0x1bc"}},
        {"FileTime", 0x11, le(0x01D2FB329911 * 0x10000ull + 0x2BB0, 8), {"2017-07-12T17:16:28.214161600Z"}},
        {"SysTime", 0x12, std::vector<uint8_t>(systime, systime + 16), {"2017-07-12T17:16:28.214000000Z"}},
        {"Sid", 0x13, std::vector<uint8_t>(sid, sid + sizeof sid), {"S-1-5-21-1-2-1001"}},
        {"HexInt32", 0x14, le(0xc0000234, 4), {"0xc0000234"}},
        {"HexInt64", 0x15, le(0x3e7, 8), {"0x3e7"}},
        {"HexInt64 zero", 0x15, le(0, 8), {"0x0"}},
        {"Null", 0x00, {0xAA, 0xBB}, {""}},
        {"UInt16 of the wrong size", 0x06, {1, 2, 3}, {"010203"}},
        {"String[] with an empty item", 0x81, str(std::string("x\0\0yz\0", 6)), {"x", "", "yz"}},
        {"AnsiString[]", 0x82, {'p', 0, 'q', 0}, {"p", "q"}},
        {"UInt16[]", 0x86, le(0x00020001, 4), {"1", "2"}},
        {"HexInt32[]", 0x94, le(0x000000FF0000000Aull, 8), {"0xa", "0xff"}},
        {"empty String[]", 0x81, {}, {""}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Values v = header();
        v.push_back({r.type, r.bytes});
        Read got = one([&](ChunkWriter &c) { event(c, v); });
        ASSERT_EQ(got.recs.size(), 1u);
        std::vector<std::string> strings;
        for (const auto &s : got.recs[0].strings) {
            std::string u8;
            for (char16_t ch : s)
                if (ch < 0x80)
                    u8 += (char)ch;
                else
                    u8 += (char)(0xC0 | ch >> 6), u8 += (char)(0x80 | (ch & 0x3F));
            strings.push_back(u8);
        }
        EXPECT_EQ(strings, r.want);
    }
}

TEST(EvtxView, SystemFieldsGiveIdTypeSourceAndTimes) {
    const uint8_t sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const struct {
        const char *name;
        Values v;
        uint32_t eventid;
        uint16_t type;
        const char *source;
    } rows[] = {
        {"qualifiers join the id",
         {{0x01, str("Service Control Manager")},
          {0, {}},
          {0x06, le(16384, 2)},
          {0x06, le(7036, 2)},
          {0x04, {4}},
          {0x15, le(0x8080000000000000ull, 8)}},
         0x40001B7C,
         4,
         "Service Control Manager"},
        {"EventSourceName wins",
         {{0x01, str("Microsoft-Windows-Prov")},
          {0x01, str("OldSource")},
          {0, {}},
          {0x06, le(5, 2)},
          {0x04, {2}},
          {0x15, le(0, 8)}},
         5,
         1,
         "OldSource"},
        {"level 1 is an error", header(1, 1), 1, 1, "Prov"},
        {"level 3 is a warning", header(1, 3), 1, 2, "Prov"},
        {"level 0 is success", header(1, 0, 0), 1, 0, "Prov"},
        {"level 5 is information", header(1, 5), 1, 4, "Prov"},
        {"level 200 is information", header(1, 200), 1, 4, "Prov"},
        {"audit success keyword", header(1, 0, 0x8020000000000000ull), 1, 8, "Prov"},
        {"audit failure keyword", header(1, 0, 0x8010000000000000ull), 1, 16, "Prov"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Read got = one([&](ChunkWriter &c) { event(c, r.v); });
        ASSERT_EQ(got.recs.size(), 1u);
        EXPECT_EQ(got.recs[0].eventid, r.eventid);
        EXPECT_EQ(got.recs[0].eventtype, r.type);
        EXPECT_EQ(got.recs[0].source, w(r.source));
        EXPECT_EQ(got.recs[0].computer, w("HOST12"));
    }
    // Task, TimeCreated and UserID from a second template; the header's
    // time is the written time.
    Read got = one([&](ChunkWriter &c) {
        c.instance("sys",
                   [&] {
                       c.element("Event", true, nullptr, [&] {
                           c.element("System", true, nullptr, [&] {
                               c.element("Task", true, nullptr, [&] { c.subst(0, 0x06, true); });
                               c.element(
                                   "TimeCreated", true,
                                   [&] {
                                       c.attr(
                                           "SystemTime", [&] { c.subst(1, 0x11, true); }, false);
                                   },
                                   nullptr);
                               c.element(
                                   "Security", true,
                                   [&] {
                                       c.attr(
                                           "UserID", [&] { c.subst(2, 0x13, true); }, false);
                                   },
                                   nullptr);
                           });
                       });
                   },
                   {{0x06, le(13826, 2)},
                    {0x11, le(116444736000000000ull + 1500000000ull * 10000000ull, 8)},
                    {0x13, std::vector<uint8_t>(sid, sid + sizeof sid)}});
    });
    ASSERT_EQ(got.recs.size(), 1u);
    EXPECT_EQ(got.recs[0].category, 13826);
    EXPECT_EQ(got.recs[0].timegenerated, 1500000000u);
    EXPECT_EQ(got.recs[0].timewritten, 0u); // FILETIME 0 of the record header, clamped to 1970
    EXPECT_EQ(got.recs[0].sid, std::vector<uint8_t>(sid, sid + sizeof sid));
}

TEST(EvtxTokens, ContentItemsOptionalElementsAndNesting) {
    const struct {
        const char *name;
        std::function<void(ChunkWriter &)> body;
        std::vector<std::u16string> want;
        size_t datasize;
    } rows[] = {
        {"text, character and entity references, CDATA",
         [](ChunkWriter &c) {
             c.element("Event", false, nullptr, [&] {
                 c.element("EventData", false, nullptr, [&] {
                     c.element("Data", false, nullptr, [&] {
                         c.literal("a");
                         c.u8(0x48), c.u16(0x263A);           // &#9786;
                         c.u8(0x09), c.name("amp");           // &amp;
                         c.u8(0x49), c.name("nbsp");          // kept as written
                         c.u8(0x07), c.u16(2), c.text(u"<>"); // CDATA
                         c.u8(0x0A), c.name("pi"), c.u8(0x0B), c.u16(1), c.text(u"x");
                     });
                 });
             });
         },
         {u"a\u263A&&nbsp;<>"},
         0},
        {"optional Null leaves out its element, a normal one keeps it empty",
         [](ChunkWriter &c) {
             c.instance("opt",
                        [&] {
                            c.element("Event", true, nullptr, [&] {
                                c.element("EventData", true, nullptr, [&] {
                                    c.element("Data", true, nullptr, [&] { c.subst(0, 1, true); });
                                    c.element("Data", true, nullptr, [&] { c.subst(0, 1, false); });
                                    c.element(
                                        "Data", true, nullptr, [&] { c.literal("dep"); }, 0);
                                    c.element("Data", true, nullptr, [&] {
                                        c.literal("<");
                                        c.subst(1, 1, false);
                                        c.literal(">");
                                    });
                                });
                            });
                        },
                        {{0x00, {}}, {0x01, str("v")}});
         },
         {u"", u"<v>"},
         0},
        {"classic EventData as a nested value, strings and binary",
         [](ChunkWriter &c) {
             auto classic = [&] {
                 c.fragment();
                 c.instance("classic",
                            [&] {
                                c.element("EventData", true, nullptr, [&] {
                                    c.element(
                                        "Data", true, nullptr, [&] { c.subst(0, 0x81, true); }, 0);
                                    c.element(
                                        "Binary", true, nullptr, [&] { c.subst(2, 0x0E, true); }, 2);
                                });
                            },
                            {{0x81, str(std::string("s1\0\0s3\0", 7))}, {0x08, le(3, 4)}, {0x0E, {1, 2, 3}}});
                 c.u8(0);
             };
             c.instance("outer", [&] { c.element("Event", true, nullptr, [&] { c.subst(0, 0x21, true); }); },
                        {{0x21, {}}}, {{0, classic}});
         },
         {u"s1", u"", u"s3"},
         3},
        {"UserData leaves in document order",
         [](ChunkWriter &c) {
             c.element("Event", false, nullptr, [&] {
                 c.element("UserData", false, nullptr, [&] {
                     c.element("EventXML", false, nullptr, [&] {
                         c.element("A", false, nullptr, [&] { c.literal("1"); });
                         c.element("B", false, nullptr, [&] { c.element("C", false, nullptr, nullptr); });
                     });
                 });
             });
         },
         {u"1", u""},
         0},
        {"a template instance without values, the first record a reader sees",
         [](ChunkWriter &c) {
             c.instance("none",
                        [&] {
                            c.element("Event", true, nullptr, [&] {
                                c.element("EventData", true, nullptr,
                                          [&] { c.element("Data", true, nullptr, [&] { c.literal("fixed"); }); });
                            });
                        },
                        {});
         },
         {u"fixed"},
         0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Read got = one(r.body);
        ASSERT_EQ(got.recs.size(), 1u);
        EXPECT_EQ(got.recs[0].strings, r.want);
        EXPECT_EQ(got.recs[0].data.size(), r.datasize);
    }
}

TEST(EvtxIndex, WrappedChunksGapsAndDamageInRecordNumberOrder) {
    // Slots hold records 201-300, 1-100 and 151-200 (a wrapped log that
    // lost 101-150), then one damaged chunk each way.
    auto chunk = [](uint64_t first, uint64_t last) {
        ChunkWriter c;
        for (uint64_t id = first; id <= last; ++id) c.record(id, 0, [&] { event(c, header((uint16_t)id)); });
        return c.finish();
    };
    std::vector<uint8_t> badsig = chunk(301, 310), badfree = chunk(311, 320), badcount = chunk(321, 330);
    badsig[0] = 'X';
    nt::put32(&badfree[0x30], ChunkSize + 8);
    put64(&badcount[0x20], 331);
    std::vector<uint8_t> image = fileof({chunk(201, 300), chunk(1, 100), badsig, chunk(151, 200), badfree, badcount,
                                         std::vector<uint8_t>(ChunkSize, 0)});
    Read got = readall(image);
    ASSERT_EQ(got.rc, ERROR_SUCCESS);
    ASSERT_EQ(got.numbers.size(), 250u);
    for (size_t i = 1; i < got.numbers.size(); ++i) ASSERT_LT(got.numbers[i - 1], got.numbers[i]);
    EXPECT_EQ(got.recs[100].eventid, 151u);

    ImageSource src(Bytes{image.data(), image.size()});
    Reader reader;
    ASSERT_EQ(reader.open(src), ERROR_SUCCESS);
    EXPECT_EQ(reader.oldest(), 1u);
    EXPECT_EQ(reader.newest(), 300u);
    Position pos, after;
    EXPECT_FALSE(reader.find(120, &pos, &after));
    EXPECT_EQ(after.id, 151u);
    ASSERT_TRUE(reader.find(250, &pos));
    ASSERT_TRUE(reader.prev(&pos) && reader.prev(&pos));
    EXPECT_EQ(pos.id, 248u);
    ASSERT_TRUE(reader.find(151, &pos) && reader.prev(&pos));
    EXPECT_EQ(pos.id, 100u);
    EXPECT_FALSE(reader.find(0xFFFFFFF0u, &pos, &after)); // before the oldest
    EXPECT_EQ(after.id, 1u);
}

TEST(EvtxIndex, ChecksumsDirtyEmptyAndHostileFiles) {
    auto chunk = [](uint64_t first) {
        ChunkWriter c;
        c.record(first, 0, [&] { event(c, header()); });
        c.record(first + 1, 0, [&] { event(c, header()); });
        return c.finish();
    };
    const std::vector<uint8_t> good = chunk(7), later = chunk(9);
    ChunkWriter empty;
    std::vector<uint8_t> emptychunk = empty.finish(); // free space right after the header
    put64(&emptychunk[0x18], ~0ull);
    put64(&emptychunk[0x20], ~0ull);

    std::vector<uint8_t> stale = good, stalebad = good, databad = good, nocrc = good, cut = fileof({good});
    cut.resize(5000);
    nt::put32(&stale[0x34], 0x12345678); // a dirty file's current chunk
    nt::put32(&nocrc[0x34], 0);
    nt::put32(&nocrc[0x7C], 0);
    nt::put32(&nocrc[0x78], 0x5);
    // The first record's template instance token (0C), made a PI data token.
    const size_t inst = ChunkHeaderSize + RecordHeaderSize;
    stalebad[inst] = 0x0B;
    nt::put32(&stalebad[0x34], 0x12345678);
    databad[inst] = 0x0B; // the header and its checksum as they were
    const struct {
        const char *name;
        std::vector<uint8_t> image;
        DWORD rc;
        size_t count, failed;
    } rows[] = {
        {"good", fileof({good}), 0, 2, 0},
        {"StaleChecksumIsAcceptedWhenRecordsHold", fileof({stale}), 0, 2, 0},
        {"stale checksum and a broken record: chunk skipped", fileof({stalebad, later}), 0, 2, 0},
        {"header checksum right, records' checksum not: the broken record fails alone", fileof({databad}), 0, 1, 1},
        {"no-CRC flag and zero checksums", fileof({nocrc}, FlagNoCrc), 0, 2, 0},
        {"empty log: one chunk without records", fileof({emptychunk}), 0, 0, 0},
        {"header alone", fileof({}), ERROR_EVENTLOG_FILE_CORRUPT, 0, 0},
        {"only zero slots", fileof({std::vector<uint8_t>(ChunkSize, 0)}), ERROR_EVENTLOG_FILE_CORRUPT, 0, 0},
        {"cut short", cut, ERROR_EVENTLOG_FILE_CORRUPT, 0, 0},
        {"garbage", std::vector<uint8_t>(70000, 0x41), ERROR_EVENTLOG_FILE_CORRUPT, 0, 0},
        {"nothing", {}, ERROR_EVENTLOG_FILE_CORRUPT, 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Read got = readall(r.image);
        EXPECT_EQ(got.rc, r.rc);
        EXPECT_EQ(got.recs.size(), r.count);
        EXPECT_EQ(got.failed, r.failed);
    }
    std::vector<uint8_t> badmajor = fileof({good});
    badmajor[0x26] = 2;
    EXPECT_EQ(readall(badmajor).rc, ERROR_EVENTLOG_FILE_CORRUPT);
}

TEST(EvtxHostile, BadRecordsFailAloneWithoutCrashing) {
    const struct {
        const char *name;
        std::function<void(ChunkWriter &)> body;
    } rows[] = {
        {"template instance in a template body",
         [](ChunkWriter &c) { c.instance("self", [&] { c.u8(0x0C), c.u8(1), c.u32(0), c.u32(0x300); }, {}); }},
        {"definition offset outside the chunk",
         [](ChunkWriter &c) { c.u8(0x0C), c.u8(1), c.u32(0), c.u32(0xFFFFFFF0); }},
        {"value count beyond the record",
         [](ChunkWriter &c) {
             event(c, header());
             c.pos -= 19 + 24 + 4; // back over 19 bytes of values and 6 descriptors
             c.u32(0xFFFFFFFF);
             c.pos += 19 + 24;
         }},
        {"name offset outside the chunk", [](ChunkWriter &c) { c.u8(0x01), c.u32(0), c.u32(0x7FFFFFFF), c.u8(0x03); }},
        {"elements nested past the limit",
         [](ChunkWriter &c) {
             for (int i = 0; i < 40; ++i) c.u8(0x01), c.u32(0), c.name("E"), c.u8(0x02);
             for (int i = 0; i < 40; ++i) c.u8(0x04);
         }},
        {"nested values past the limit",
         [](ChunkWriter &c) {
             // Each level: Event/UserData holding {0:BinXml}, whose value is the next
             // level; every level's value runs to the end of the innermost.
             const int depth = 12;
             uint32_t defoff = 0;
             std::vector<size_t> sizes;
             for (int i = 0; i < depth; ++i) {
                 c.u8(0x0C), c.u8(1), c.u32(0);
                 if (i == 0) {
                     defoff = (uint32_t)c.pos + 4;
                     c.u32(defoff);
                     c.u32(0);
                     for (int k = 0; k < 16; ++k) c.u8(0);
                     const size_t at = c.pos;
                     c.u32(0);
                     const size_t s = c.pos;
                     c.fragment();
                     c.element("Event", true, nullptr,
                               [&] { c.element("UserData", true, nullptr, [&] { c.subst(0, 0x21, false); }); });
                     c.u8(0);
                     nt::put32(&c.b[at], (uint32_t)(c.pos - s));
                 } else {
                     c.u32(defoff);
                 }
                 c.u32(1);
                 sizes.push_back(c.pos);
                 c.u16(0), c.u8(0x21), c.u8(0);
             }
             c.u8(0);
             for (int i = depth - 1; i >= 0; --i) nt::put16(&c.b[sizes[i]], (uint16_t)(c.pos - sizes[i] - 4));
         }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ChunkWriter c;
        c.record(1, 0, [&] { event(c, header(1)); });
        c.record(2, 0, [&] {
            c.fragment();
            r.body(c);
        });
        c.record(3, 0, [&] { event(c, header(3)); });
        Read got = readall(fileof({c.finish()}));
        ASSERT_EQ(got.rc, ERROR_SUCCESS);
        EXPECT_EQ(got.failed, 1u);
        ASSERT_EQ(got.recs.size(), 2u);
        EXPECT_EQ(got.recs[1].eventid, 3u);
    }
}

TEST(EvtxHostile, TruncatedAndFlippedSamplesNeverCrash) {
    // Every cut and a byte flipped at every 97th offset of a real chunk:
    // each is an error, or a log in number order whose records convert or
    // fail alone.
    std::vector<uint8_t> image = load("Application_no_crc32.evtx");
    for (size_t cut = 0; cut <= image.size(); cut += 4099) {
        Read got = readall(std::vector<uint8_t>(image.begin(), image.begin() + cut));
        EXPECT_EQ(got.rc, ERROR_EVENTLOG_FILE_CORRUPT) << cut;
    }
    for (size_t at = FileHeaderSize; at < image.size(); at += 97) {
        std::vector<uint8_t> bad = image;
        bad[at] ^= 0x5A;
        Read got = readall(bad);
        if (got.rc != ERROR_SUCCESS) continue;
        for (size_t i = 1; i < got.numbers.size(); ++i) ASSERT_LT(got.numbers[i - 1], got.numbers[i]) << at;
        EXPECT_LE(got.recs.size() + got.failed, 17u) << at;
    }
}

TEST(EvtxHostile, ManyReferencesToOneLongNameTakeLittleMemory) {
    // A template that refers 8,000 times to an entity whose name is 7,000
    // units long: the text of its identity, which copies a reference's name
    // each time, would be 112 MB. Such a template is never shared with
    // other chunks; the record itself is over the limit on a record's work.
    ChunkWriter c;
    const std::string longname(7000, 'e');
    c.record(1, 0, [&] {
        c.fragment();
        c.instance("entities",
                   [&] {
                       c.element("Event", true, nullptr, [&] {
                           c.element("EventData", true, nullptr, [&] {
                               c.element("Data", true, nullptr, [&] {
                                   for (int k = 0; k < 8000; ++k) c.u8(0x09), c.name(longname);
                               });
                           });
                       });
                   },
                   {});
    });
    const std::vector<uint8_t> image = fileof({c.finish()});
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const Read got = readall(image);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(got.rc, ERROR_SUCCESS);
    EXPECT_EQ(got.failed, 1u);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "kB more at the peak";
}

namespace {

// Every record of image read with recipes (plans) or with each record's
// template run: the code and the view of each.
std::vector<std::pair<DWORD, NewRecord>> views(const std::vector<uint8_t> &image, bool plans) {
    std::vector<std::pair<DWORD, NewRecord>> out;
    ImageSource src(Bytes{image.data(), image.size()});
    Reader reader(plans);
    if (reader.open(src) != ERROR_SUCCESS) return out;
    Position pos;
    for (bool more = reader.first(&pos); more; more = reader.next(&pos)) {
        NewRecord rec;
        uint32_t n;
        const DWORD rc = reader.read(pos, &rec, &n);
        out.emplace_back(rc, rc == ERROR_SUCCESS ? rec : NewRecord());
    }
    return out;
}

// Every record of image in the ANSI form the log hands on, read with
// recipes: the code, the number and the bytes of each.
struct AnsiForm {
    DWORD rc;
    uint32_t number;
    std::vector<uint8_t> bytes;
};
std::vector<AnsiForm> ansiforms(const std::vector<uint8_t> &image) {
    std::vector<AnsiForm> out;
    ImageSource src(Bytes{image.data(), image.size()});
    Reader reader;
    if (reader.open(src) != ERROR_SUCCESS) return out;
    Position pos;
    NewRecord scratch;
    std::vector<uint8_t> bytes;
    for (bool more = reader.first(&pos); more; more = reader.next(&pos)) {
        Bytes rec;
        const DWORD rc = reader.readansi(pos, &scratch, &bytes, &rec);
        out.push_back(AnsiForm{rc, (uint32_t)pos.id,
                               rc == ERROR_SUCCESS ? std::vector<uint8_t>(rec.data, rec.data + rec.size)
                                                   : std::vector<uint8_t>()});
    }
    return out;
}

// A record of a template whose Computer mixes text, an entity and a value,
// whose Data elements take value 2 three times and end with text, and
// whose EventData is the nested instance held in value 3.
void mixed(ChunkWriter &c, uint64_t id, const Values &v, const std::vector<uint8_t> &data) {
    c.record(id, 0, [&] {
        c.fragment();
        c.instance("mixed",
                   [&] {
                       c.element("Event", true, nullptr, [&] {
                           c.element("System", true, nullptr, [&] {
                               provider(c);
                               c.element("Computer", true, nullptr, [&] {
                                   c.literal("pc-");
                                   c.u8(0x08), c.u16(u'#');
                                   c.subst(0, 0x01, false);
                               });
                           });
                           c.element("EventData", true, nullptr, [&] {
                               for (int k = 0; k < 3; ++k)
                                   c.element("Data", true, nullptr, [&] { c.subst(2, 0, false); });
                               c.element("Data", true, nullptr, [&] { c.literal("end"); });
                           });
                           c.element("UserData", true, nullptr, [&] { c.subst(3, 0x21, false); });
                       });
                   },
                   v, {{3, [&] {
                            c.fragment();
                            c.instance("inner",
                                       [&] {
                                           c.element("Info", true, nullptr, [&] {
                                               c.element("A", true, nullptr, [&] { c.subst(0, 0x01, false); });
                                               c.element("B", true, nullptr, [&] { c.subst(1, 0x0E, true); });
                                           });
                                       },
                                       {{0x01, str("in" + std::to_string(id))}, {data.empty() ? 0x00 : 0x0E, data}});
                            c.u8(0x00);
                        }}});
    });
}

} // namespace

TEST(EvtxRecipes, RecordsOfOneShapeReadAsTheirTemplatesRunGiveThem) {
    // A record whose template and value types were seen earlier in its chunk
    // is read from the recipe noted then; it must read as running its
    // template gives it, whatever its values: longer or shorter, null where
    // an element is optional (another shape), nested, or so large that the
    // record's work limit decides.
    ChunkWriter a;
    mixed(a, 1, {{0x01, str("Alpha")}, {0x00, {}}, {0x01, str("x")}, {0x21, {}}}, {1, 2});
    mixed(a, 2, {{0x01, str("Be")}, {0x00, {}}, {0x01, str("a longer text")}, {0x21, {}}}, {});
    mixed(a, 3, {{0x01, str("Gamma")}, {0x01, str("Src")}, {0x01, str("")}, {0x21, {}}}, {3});
    mixed(a, 4, {{0x01, str("D")}, {0x01, str("S2")}, {0x01, str("yy")}, {0x21, {}}}, {4, 5, 6});
    mixed(a, 5, {{0x01, str("E")}, {0x00, {}}, {0x0E, {1, 2}}, {0x21, {}}}, {7});
    mixed(a, 6, {{0x01, str("E2")}, {0x00, {}}, {0x0E, std::vector<uint8_t>(45000, 0xAB)}, {0x21, {}}}, {7});
    ChunkWriter b;
    mixed(b, 7, {{0x01, str("F")}, {0x00, {}}, {0x0E, {9}}, {0x21, {}}}, {8});
    mixed(b, 8, {{0x01, str("G")}, {0x00, {}}, {0x0E, std::vector<uint8_t>(40000, 0xCD)}, {0x21, {}}}, {1});
    // Texts of every length around the blocks of eight and four units that
    // the ANSI form converts at once, with NUL units, characters of code
    // page 1252 outside ASCII (e-acute, the euro sign) and one it lacks; an
    // empty source name (the provider's is taken).
    const std::vector<uint8_t> euro = {0xAC, 0x20}, han = {0x2D, 0x4E}, nul = {0, 0};
    auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    ChunkWriter c;
    mixed(c, 9, {{0x01, str("H")}, {0x01, str("")}, {0x01, str("1234567")}, {0x21, {}}}, {});
    mixed(c, 10, {{0x01, str("I")}, {0x00, {}}, {0x01, str("12345678")}, {0x21, {}}}, {});
    mixed(c, 11, {{0x01, str("J")}, {0x00, {}}, {0x01, join({str("123"), euro, str("45678")})}, {0x21, {}}}, {});
    mixed(c, 12, {{0x01, str("K\xE9")}, {0x00, {}}, {0x01, join({str("12345678"), nul, str("9abc")})}, {0x21, {}}}, {});
    mixed(c, 13, {{0x01, join({str("L"), han})}, {0x00, {}}, {0x01, join({str("abcdefghijk"), nul})}, {0x21, {}}}, {});
    mixed(c, 14, {{0x01, str("M")}, {0x00, {}}, {0x01, join({nul, str("twelve units")})}, {0x21, {}}}, {});
    const struct {
        const char *name;
        std::vector<uint8_t> image;
    } rows[] = {{"made", fileof({a.finish(), b.finish(), c.finish()})},
                {"system.evtx", load("system.evtx")},
                {"security.evtx", load("security.evtx")},
                {"Application_no_crc32.evtx", load("Application_no_crc32.evtx")},
                {"new-user-security.evtx", load("new-user-security.evtx")}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const auto ran = views(r.image, false), planned = views(r.image, true);
        const auto ansi = ansiforms(r.image);
        ASSERT_FALSE(ran.empty());
        ASSERT_EQ(planned.size(), ran.size());
        ASSERT_EQ(ansi.size(), ran.size());
        for (size_t i = 0; i < ran.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(planned[i].first, ran[i].first);
            EXPECT_TRUE(planned[i].second == ran[i].second);
            // The ANSI form made straight from a recipe is the one made
            // from the record's view.
            EXPECT_EQ(ansi[i].rc, ran[i].first);
            std::vector<uint8_t> want;
            if (ran[i].first == ERROR_SUCCESS) nt::evt::ansirecord(ran[i].second, ansi[i].number, &want);
            EXPECT_EQ(ansi[i].bytes, want);
        }
    }
    // The made file's records as the view has them: the 45,000-byte value
    // taken three times is over the limit, the 40,000-byte one is not.
    const auto made = views(rows[0].image, true);
    ASSERT_EQ(made.size(), 14u);
    EXPECT_EQ(made[5].first, (DWORD)ERROR_EVENTLOG_FILE_CORRUPT);
    EXPECT_EQ(made[7].first, (DWORD)ERROR_SUCCESS);
    const NewRecord &second = made[1].second, &fourth = made[3].second;
    EXPECT_EQ(second.source, u"Be");
    EXPECT_EQ(second.computer, u"pc-#Be");
    EXPECT_EQ(second.strings,
              (std::vector<std::u16string>{u"a longer text", u"a longer text", u"a longer text", u"end", u"in2"}));
    EXPECT_EQ(fourth.source, u"S2");
    EXPECT_EQ(fourth.computer, u"pc-#D");
    EXPECT_EQ(fourth.strings.back(), u"040506");
}

TEST(EvtxRecipes, ArraysRepeatTheirElementWhateverTheirItemCount) {
    // Records of one shape whose array value holds more, fewer or no items:
    // read with recipes, each must read as running its template gives it,
    // whether the element repeated for the items gives one string per item
    // (the recipe covers them) or mixes the item with more (the shape is run).
    typedef std::function<void()> Body;
    struct Row {
        const char *name;
        uint8_t type;
        std::function<void(ChunkWriter &)> content; // EventData's elements; value 0 is the array
        std::vector<std::vector<uint8_t>> arrays;
        std::vector<std::vector<std::u16string>> want;
    };
    auto dataof = [](ChunkWriter &c, const Body &body) { c.element("Data", true, nullptr, body); };
    const std::vector<uint8_t> none, one = str(std::string("a\0", 2)), three = str(std::string("bc\0\0d\0", 6));
    const Row rows[] = {
        {"a Data element per string",
         0x81,
         [&](ChunkWriter &c) { dataof(c, [&] { c.subst(0, 0x81, false); }); },
         {three, one, none, three},
         {{u"bc", u"", u"d"}, {u"a"}, {u""}, {u"bc", u"", u"d"}}},
        {"a Data element per number, then a string",
         0x88,
         [&](ChunkWriter &c) {
             dataof(c, [&] { c.subst(0, 0x88, false); });
             dataof(c, [&] { c.subst(1, 0x01, false); });
         },
         {le(7, 4), {}, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}},
         {{u"7", u"s"}, {u"", u"s"}, {u"1", u"2", u"3", u"s"}}},
        {"the item after text",
         0x81,
         [&](ChunkWriter &c) {
             dataof(c, [&] {
                 c.literal("x");
                 c.subst(0, 0x81, false);
             });
         },
         {one, three, none},
         {{u"xa"}, {u"xbc", u"x", u"xd"}, {u"x"}}},
        {"under UserData, a leaf per item",
         0x81,
         [&](ChunkWriter &c) {
             c.element("More", true, nullptr,
                       [&] { c.element("Item", true, nullptr, [&] { c.subst(0, 0x81, false); }); });
         },
         {three, none, one},
         {{u"bc", u"", u"d"}, {u""}, {u"a"}}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ChunkWriter c;
        uint64_t id = 1;
        for (const auto &a : r.arrays)
            c.record(id++, 0, [&] {
                c.fragment();
                c.instance("arrays",
                           [&] {
                               c.element("Event", true, nullptr, [&] {
                                   const bool user = std::string(r.name).find("UserData") != std::string::npos;
                                   c.element(user ? "UserData" : "EventData", true, nullptr, [&] { r.content(c); });
                               });
                           },
                           {{r.type, a}, {0x01, str("s")}});
            });
        const auto image = fileof({c.finish()});
        const auto ran = views(image, false), planned = views(image, true);
        ASSERT_EQ(ran.size(), r.want.size());
        ASSERT_EQ(planned.size(), r.want.size());
        for (size_t i = 0; i < r.want.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(ran[i].first, (DWORD)ERROR_SUCCESS);
            EXPECT_EQ(planned[i].first, (DWORD)ERROR_SUCCESS);
            EXPECT_EQ(planned[i].second.strings, r.want[i]);
            EXPECT_TRUE(planned[i].second == ran[i].second);
        }
    }
}

TEST(EvtxRecipes, TemplatesOfOtherChunksShareRecipesOnlyWhenTheyCompileAlike) {
    // A recipe noted in one chunk serves the records of a later chunk whose
    // template compiles alike, wherever it lies; a template at the same
    // place whose text, names or substitutions differ gets its own, also
    // when only the text of a name it refers to (defined by another
    // template before it) differs.
    auto templ = [](ChunkWriter &c, const std::string &text, const std::string &data, uint8_t type,
                    const std::string &tail) {
        c.element("Event", true, nullptr, [&] {
            c.element("System", true, nullptr, [&] {
                c.element("Computer", true, nullptr, [&] {
                    c.literal(text);
                    c.subst(0, 0x01, false);
                });
            });
            c.element("EventData", true, nullptr, [&] {
                c.element(data, true, nullptr, [&] {
                    c.subst(1, type, false);
                    if (!tail.empty()) c.literal(tail);
                });
            });
        });
    };
    struct Row {
        const char *text, *data;
        uint8_t type;
        int shifted;       // records of another template first, so that this one lies further on
        const char *other; // the element that template names (its Event too)
        std::u16string computer;
        std::vector<std::u16string> strings;
        const char *tail = ""; // text after the Data value
    };
    const Row rows[] = {
        {"pc-", "Data", 0x01, 0, "", u"pc-A", {u"s"}},         {"pc-", "Data", 0x01, 1, "Other", u"pc-A", {u"s"}},
        {"xy-", "Data", 0x01, 0, "", u"xy-A", {u"s"}},         {"pc-", "Binary", 0x01, 0, "", u"pc-A", {}},
        {"pc-", "Data", 0x08, 0, "", u"pc-A", {u"115"}},       {"pc-", "Data", 0x01, 1, "Other", u"pc-A", {u"s"}},
        {"pc-", "Data", 0x01, 1, "Data", u"pc-A", {u"s"}},     {"pc-", "Xata", 0x01, 1, "Xata", u"pc-A", {}},
        {"pc-", "Data", 0x01, 2, "Data", u"pc-A", {u"s"}},     {"pc-", "Data", 0x01, 0, "", u"pc-A", {u"s-1"}, "-1"},
        {"pc-", "Data", 0x01, 0, "", u"pc-A", {u"s-2"}, "-2"},
    };
    std::vector<std::vector<uint8_t>> chunks;
    uint64_t id = 1;
    for (const auto &r : rows) {
        ChunkWriter c;
        for (int k = 0; k < r.shifted; ++k)
            c.record(id++, 0, [&] {
                c.fragment();
                c.instance("other",
                           [&] {
                               c.element("Event", true, nullptr,
                                         [&] { c.element(r.other, true, nullptr, [&] { c.subst(0, 0x01, false); }); });
                           },
                           {{0x01, str("o")}});
            });
        for (int k = 0; k < 2; ++k)
            c.record(id++, 0, [&] {
                c.fragment();
                c.instance("t", [&] { templ(c, r.text, r.data, r.type, r.tail); },
                           {{0x01, str("A")}, {r.type, r.type == 0x08 ? le(115, 4) : str("s")}});
            });
        chunks.push_back(c.finish());
    }
    const auto image = fileof(chunks);
    const auto ran = views(image, false), planned = views(image, true);
    ASSERT_EQ(ran.size(), 28u);
    ASSERT_EQ(planned.size(), ran.size());
    size_t i = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text + std::string(" ") + r.data);
        i += (size_t)r.shifted;
        for (int k = 0; k < 2; ++k, ++i) {
            EXPECT_EQ(planned[i].first, (DWORD)ERROR_SUCCESS);
            EXPECT_EQ(planned[i].second.computer, r.computer);
            EXPECT_EQ(planned[i].second.strings, r.strings);
            EXPECT_TRUE(planned[i].second == ran[i].second);
        }
    }
}

TEST(EvtxRecipes, TemplatesOfOtherChunksAreKnownAgainOnlyWhereTheirNamesLieAlike) {
    // Bodies that are the same bytes but for one name reference: the
    // Computer element's name is defined before the template, or inline,
    // where the link to the next name holds the bytes that close the
    // elements when it is not; or it lies past the chunk's end. Each must
    // read as its own compile gives it, whichever came in the chunk before.
    enum Where { Outside, Inline, Far };
    auto body = [](ChunkWriter &c, Where where) {
        c.element("Event", true, nullptr, [&] {
            c.element("System", true, nullptr, [&] {
                c.u8(0x01), c.u16(0xFFFF), c.u32(0);
                if (where == Outside) c.name("Computer");
                if (where == Inline) c.u32((uint32_t)c.pos + 4);
                if (where == Far) c.u32(ChunkSize - 8);
                // Outside: an empty element, System and Event closed, the
                // stream's end; the rest is not read.
                c.u8(0x03), c.u8(0x04), c.u8(0x04), c.u8(0x00);
                c.u16(0x1234), c.u16(8), c.text(u"Computer"), c.u16(0);
                c.u8(0x02), c.literal("lit"), c.u8(0x04);
            });
        });
    };
    const struct Row {
        Where where;
        DWORD rc;
        std::u16string computer;
    } rows[] = {{Outside, ERROR_SUCCESS, u""},   {Inline, ERROR_SUCCESS, u"lit"},
                {Outside, ERROR_SUCCESS, u""},   {Far, ERROR_EVENTLOG_FILE_CORRUPT, u""},
                {Inline, ERROR_SUCCESS, u"lit"}, {Outside, ERROR_SUCCESS, u""}};
    std::vector<std::vector<uint8_t>> chunks;
    uint64_t id = 1;
    for (const auto &r : rows) {
        // Another template first defines Event, and Computer unless the
        // template names it inline.
        ChunkWriter c;
        c.record(id++, 0, [&] {
            c.fragment();
            c.instance("other",
                       [&] {
                           c.element("Event", true, nullptr, [&] {
                               c.element(r.where == Inline ? "Other" : "Computer", true, nullptr,
                                         [&] { c.subst(0, 0x01, false); });
                           });
                       },
                       {{0x01, str("o")}});
        });
        for (int k = 0; k < 2; ++k)
            c.record(id++, 0, [&] {
                c.fragment();
                c.instance("t", [&] { body(c, r.where); }, {});
            });
        chunks.push_back(c.finish());
    }
    const auto image = fileof(chunks);
    const auto ran = views(image, false), planned = views(image, true);
    ASSERT_EQ(ran.size(), 3 * std::size(rows));
    ASSERT_EQ(planned.size(), ran.size());
    size_t i = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(i);
        ++i;
        for (int k = 0; k < 2; ++k, ++i) {
            EXPECT_EQ(planned[i].first, r.rc);
            EXPECT_EQ(planned[i].second.computer, r.computer);
            EXPECT_EQ(ran[i].first, r.rc);
            EXPECT_TRUE(planned[i].second == ran[i].second);
        }
    }
}

class EvtxLogRead : public qt::TempNetwork {};

TEST_F(EvtxLogRead, OneRecordAfterAnotherCrossesChunksAndGapsBothWays) {
    // The service reads on from the record it served last, asking for the
    // nearest record to the next number: from chunk to chunk, over the gap
    // of a wrapped log (records 101-150 lost) and back, every record comes
    // once, in order, with its own fields.
    auto chunk = [](uint64_t first, uint64_t last) {
        ChunkWriter c;
        for (uint64_t id = first; id <= last; ++id) c.record(id, 0, [&] { event(c, header((uint16_t)id)); });
        return c.finish();
    };
    const std::vector<uint8_t> image = fileof({chunk(201, 300), chunk(1, 100), chunk(151, 200)});
    const std::string path = dir() + "/gaps.evtx";
    qt::writefile(path, std::string(image.begin(), image.end()));
    std::vector<uint32_t> numbers;
    for (uint32_t n = 1; n <= 300; ++n)
        if (n <= 100 || n > 150) numbers.push_back(n);
    const struct {
        const char *name;
        bool forwards;
        uint32_t from; // the first number asked for
    } rows[] = {{"forwards", true, 1}, {"backwards", false, 300}, {"forwards from the gap", true, 120}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        LogFile log;
        ASSERT_EQ(log.open(path), (DWORD)ERROR_SUCCESS);
        std::vector<uint32_t> want(
            std::find_if(numbers.begin(), numbers.end(), [&](uint32_t n) { return n >= r.from; }), numbers.end());
        if (!r.forwards) want.assign(numbers.rbegin(), numbers.rend());
        std::vector<uint32_t> seen;
        std::vector<uint8_t> scratch;
        uint32_t number;
        for (bool more = log.nearest(r.from, r.forwards, &number); more;
             more = log.nearest(r.forwards ? number + 1 : number - 1, r.forwards, &number)) {
            nt::Bytes rec;
            ASSERT_TRUE(log.record(number, !r.forwards, &scratch, &rec));
            EXPECT_EQ(nt::le32(rec.data + 8), number);  // RecordNumber
            EXPECT_EQ(nt::le32(rec.data + 20), number); // EventID
            seen.push_back(number);
            if (number == (r.forwards ? log.newest() : log.oldest())) break;
        }
        EXPECT_EQ(seen, want);
    }
}
