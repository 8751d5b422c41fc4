// eventlog_test.cpp: the event log calls over live logs, backup files and the
// real sample logs: argument checks and error codes, reads in every mode,
// backup, clear, writers and readers at once.
#include "platform/posix/eventlog.h"

#include "platform/posix/evtfile.h"
#include "platform/posix/evtxfile.h"
#include "support/support.h"

#include <cstring>
#include <ctime>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const DWORD BigBuffer = 0x7FFFF; // the largest read the service takes
const DWORD SeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
const DWORD SeqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
const DWORD SeekFwd = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
const DWORD SeekBack = EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ;

uint32_t get32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

// Checks the frame and the offsets of one ANSI record of a read block.
void checkrecord(const uint8_t *rec, DWORD avail) {
    const EVENTLOGRECORD *r = (const EVENTLOGRECORD *)rec;
    ASSERT_GE(avail, sizeof(EVENTLOGRECORD));
    ASSERT_LE(r->Length, avail);
    ASSERT_EQ(r->Length % 4, 0u);
    EXPECT_EQ(r->Reserved, 0x654C664Cu);
    EXPECT_EQ(get32(rec + r->Length - 4), r->Length);
    EXPECT_LE(r->StringOffset, r->Length - 4);
    if (r->UserSidLength) {
        EXPECT_LE(r->UserSidOffset + r->UserSidLength, r->Length - 4);
    }
    if (r->DataLength) {
        EXPECT_LE(r->DataOffset + r->DataLength, r->Length - 4);
    }
    EXPECT_EQ(r->UserSidOffset % 4, 0u);
}

struct Dump {
    std::vector<std::vector<uint8_t>> records;
    DWORD error = 0; // the error that ended the reading
    int calls = 0;
};

// Reads until a read fails, the first read with flags and start, the others
// sequentially in the same direction.
Dump readall(HANDLE h, DWORD flags, DWORD start, DWORD bufsize = BigBuffer) {
    Dump d;
    std::vector<uint8_t> buf(bufsize);
    const DWORD next = EVENTLOG_SEQUENTIAL_READ | (flags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ));
    for (;;) {
        DWORD read = 0xdeadbeef, needed = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        ++d.calls;
        if (!ReadEventLogA(h, flags, start, buf.data(), bufsize, &read, &needed)) {
            d.error = GetLastError();
            break;
        }
        EXPECT_EQ(needed, 0u);
        EXPECT_GT(read, 0u);
        for (DWORD off = 0; off < read;) {
            checkrecord(&buf[off], read - off);
            DWORD len = get32(&buf[off]);
            if (!len || ::testing::Test::HasFatalFailure()) return d;
            d.records.emplace_back(buf.begin() + off, buf.begin() + off + len);
            off += len;
        }
        flags = next;
    }
    return d;
}

DWORD number(const std::vector<uint8_t> &rec) { return get32(&rec[8]); }

std::string field(const std::vector<uint8_t> &rec, DWORD off) { return std::string((const char *)&rec[off]); }

// The insertion strings of an ANSI record.
std::vector<std::string> strings(const std::vector<uint8_t> &rec) {
    const EVENTLOGRECORD *r = (const EVENTLOGRECORD *)rec.data();
    std::vector<std::string> out;
    DWORD off = r->StringOffset;
    for (int i = 0; i < r->NumStrings; ++i) {
        out.push_back(field(rec, off));
        off += (DWORD)out.back().size() + 1;
    }
    return out;
}

nt::LogEvent numberedevent(DWORD n, const std::string &source = "Writer") {
    nt::LogEvent e;
    e.source = source;
    e.timegenerated = e.timewritten = 1300000000 + n;
    e.eventid = 1000 + n;
    e.strings = {"event " + std::to_string(n)};
    return e;
}

std::vector<nt::LogEvent> specs(DWORD from, DWORD to) {
    std::vector<nt::LogEvent> v;
    for (DWORD n = from; n <= to; ++n) v.push_back(numberedevent(n));
    return v;
}

class EventLog : public qt::TempNetwork {
protected:
    // Writes the computer's HKEY_LOCAL_MACHINE hive (REGEDIT4 text).
    void hklm(const std::string &body, const std::string &computer = "HOST12") {
        std::string dir = this->computer(computer) + "/registry";
        qt::makedirs(dir);
        qt::writefile(dir + "/HKEY_LOCAL_MACHINE.reg", "REGEDIT4\r\n\r\n" + body);
    }
    std::string config(const std::string &computer = "HOST12") const {
        return network() + "/" + computer + "/c/WINDOWS/System32/config";
    }
    std::string sample(const char *name) {
        std::string path = dir() + "/" + name;
        qt::writefile(path, qt::readfile(qt::samplelog(name)));
        return path;
    }
    // A computer of Vista or later: Application and System in winevt\Logs,
    // the source MyDriver in System; extra goes into Application's key.
    void vista(const std::string &extra = "") {
        const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
        hklm(key + "Application]\r\n" +
             qt::reghex("File", REG_EXPAND_SZ, "%SystemRoot%\\System32\\winevt\\Logs\\Application.evtx") + extra +
             "\r\n" + key + "System]\r\n" +
             qt::reghex("File", REG_SZ, "C:\\WINDOWS\\System32\\winevt\\Logs\\System.evtx") + "\r\n" + key +
             "System\\MyDriver]\r\n\"EventMessageFile\"=\"x.dll\"\r\n");
    }
    std::string winevt(const std::string &log) const {
        return network() + "/HOST12/c/WINDOWS/System32/winevt/Logs/" + log + ".evtx";
    }
    // An .evtx file's size in chunks, then its header: first and last chunk,
    // next identifier, chunks in use, flags; 0xdeadbeef for a bad checksum.
    static std::vector<DWORD> evtxhead(const std::string &path) {
        std::string f = qt::readfile(path);
        const uint8_t *h = (const uint8_t *)f.data();
        if (f.size() < 0x1000 || std::memcmp(h, "ElfFile", 8) || get32(h + 0x7C) != nt::evtx::crc32(h, 0x78))
            return {0xdeadbeef};
        return {(DWORD)(f.size() - 0x1000) / 0x10000, get32(h + 8),   get32(h + 0x10), get32(h + 0x18),
                (DWORD)(h[0x2A] | h[0x2B] << 8),      get32(h + 0x78)};
    }
    // Runs the two independent readers (and evtxinfo) on an .evtx file
    // through evtxoracle.py; false when they are not installed.
    static bool readalike(const std::string &path) {
        qt::RunResult r = qt::runprogram("/usr/bin/env", {"python3", QUILLOG_SOURCE_DIR "/tests/posix/evtxoracle.py",
                                                          "--clean", QUILLOG_BINARY_DIR "/tests/evtxdump", path});
        EXPECT_TRUE(r.exitcode == 0 || r.exitcode == 77) << r.out;
        return r.exitcode != 77;
    }
};

} // namespace

TEST_F(EventLog, RealLogsReadWholeWithTheirCountsAndRanges) {
    // These are dirty copies of live files: Windows refuses to open them as
    // backups; the range is taken from their end-of-file records.
    struct {
        const char *name;
        DWORD count, oldest;
    } logs[] = {{"plaso-SysEvent.Evt", 6063, 1392},
                {"evtparser-Application.evt", 67, 1},
                {"evtparser-System.evt", 95, 1},
                {"evtparser-Security.evt", 49, 1},
                // Vista and later: dirty copies too (stale file headers).
                {"system.evtx", 1881, 1},
                {"security.evtx", 2261, 1},
                {"Application_no_crc32.evtx", 17, 426},
                {"new-user-security.evtx", 4, 1}};
    for (auto &l : logs) {
        SCOPED_TRACE(l.name);
        HANDLE h = OpenBackupEventLogA(nullptr, qt::samplelog(l.name).c_str());
        ASSERT_NE(h, nullptr) << GetLastError();
        DWORD oldest = 0xdeadbeef, count = 0xdeadbeef;
        ASSERT_TRUE(GetOldestEventLogRecord(h, &oldest));
        ASSERT_TRUE(GetNumberOfEventLogRecords(h, &count));
        EXPECT_EQ(oldest, l.oldest);
        EXPECT_EQ(count, l.count);
        Dump d = readall(h, SeqFwd, 0);
        EXPECT_EQ(d.error, (DWORD)ERROR_HANDLE_EOF);
        ASSERT_EQ(d.records.size(), l.count);
        for (DWORD i = 0; i < l.count; ++i) ASSERT_EQ(number(d.records[i]), l.oldest + i);
        EXPECT_TRUE(CloseEventLog(h));
    }
}

TEST_F(EventLog, EvtxBackupsSeekAndReadBothWaysAsEvtBackupsDo) {
    HANDLE h = OpenBackupEventLogA(nullptr, qt::samplelog("Application_no_crc32.evtx").c_str());
    ASSERT_NE(h, nullptr) << GetLastError();
    std::vector<uint8_t> buf(BigBuffer);
    const struct {
        const char *what;
        DWORD flags, offset;
        DWORD first;  // number of the first record read, or 0
        size_t count; // records the whole read gives
        DWORD error;  // the error that ends it
    } rows[] = {
        {"seek to the oldest", SeekFwd, 426, 426, 17, ERROR_HANDLE_EOF},
        {"seek to the newest", SeekFwd, 442, 442, 1, ERROR_HANDLE_EOF},
        {"seek in the middle, backwards", SeekBack, 430, 430, 5, ERROR_HANDLE_EOF},
        {"seek past the newest", SeekFwd, 443, 0, 0, ERROR_HANDLE_EOF},
        {"seek before the oldest", SeekFwd, 425, 0, 0, ERROR_INVALID_PARAMETER},
        {"sequential backwards", SeqBack, 0, 442, 17, ERROR_HANDLE_EOF},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        CloseEventLog(h);
        h = OpenBackupEventLogA(nullptr, qt::samplelog("Application_no_crc32.evtx").c_str());
        Dump d = readall(h, row.flags, row.offset);
        EXPECT_EQ(d.error, row.error);
        ASSERT_EQ(d.records.size(), row.count);
        for (size_t i = 0; i < d.records.size(); ++i) {
            const DWORD want = row.flags & EVENTLOG_BACKWARDS_READ ? row.first - (DWORD)i : row.first + (DWORD)i;
            EXPECT_EQ(number(d.records[i]), want);
        }
    }
    // The classic EventLog 6005 of Vista and later: the event id with its
    // qualifiers (0x80001775), no strings, its 24 bytes of data.
    CloseEventLog(h);
    h = OpenBackupEventLogA(nullptr, qt::samplelog("system.evtx").c_str());
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogA(h, SeekFwd, 2, buf.data(), 4096, &read, &needed));
    const EVENTLOGRECORD *rec = (const EVENTLOGRECORD *)buf.data();
    EXPECT_EQ(rec->RecordNumber, 2u);
    EXPECT_EQ(rec->EventID, 0x80001775u);
    EXPECT_EQ(rec->NumStrings, 0u);
    EXPECT_EQ(rec->DataLength, 24u);
    EXPECT_EQ(field(std::vector<uint8_t>(buf.begin(), buf.begin() + rec->Length), sizeof(EVENTLOGRECORD)), "EventLog");
    CloseEventLog(h);
}

TEST_F(EventLog, DirtyCopyIsReadThoughWindowsRefusesIt) {
    HANDLE h = OpenBackupEventLogA("", qt::samplelog("evtparser-Application.evt").c_str());
    ASSERT_NE(h, nullptr) << GetLastError();
    Dump d = readall(h, SeqFwd, 0);
    ASSERT_EQ(d.records.size(), 67u);
    // The file's header says 63 records; the end-of-file record says 67.
    EXPECT_EQ(get32((const uint8_t *)qt::readfile(qt::samplelog("evtparser-Application.evt")).data() + 0x18), 64u);
    // The host was renamed while the log was kept: two computer names.
    std::set<std::string> computers;
    for (const std::vector<uint8_t> &r : d.records) {
        std::string source = field(r, sizeof(EVENTLOGRECORD));
        computers.insert(field(r, sizeof(EVENTLOGRECORD) + (DWORD)source.size() + 1));
    }
    EXPECT_EQ(computers.size(), 2u);
    CloseEventLog(h);
}

TEST_F(EventLog, SmallBufferGivesNeededSizeThenExactSizeReadsOneRecord) {
    HANDLE h = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buf(BigBuffer, 0xAA);
    DWORD read = 0xdeadbeef, needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    ASSERT_FALSE(ReadEventLogA(h, SeqFwd, 0, buf.data(), sizeof(EVENTLOGRECORD), &read, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(read, 0u);
    EXPECT_GT(needed, sizeof(EVENTLOGRECORD));
    EXPECT_EQ(buf[0], 0xAA);
    // The position did not move: the exact size now gives record 1392, alone.
    const DWORD first = needed;
    read = needed = 0xdeadbeef;
    ASSERT_TRUE(ReadEventLogA(h, SeqFwd, 0, buf.data(), first, &read, &needed));
    EXPECT_EQ(read, first);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(get32(&buf[0]), first);
    EXPECT_EQ(get32(&buf[8]), 1392u);

    // Reading the whole log through a small buffer: every record still comes
    // exactly once and in order, whatever the block boundaries.
    Dump small = readall(h, SeqFwd, 0, 0x2000);
    ASSERT_EQ(small.error, (DWORD)ERROR_HANDLE_EOF);
    ASSERT_EQ(small.records.size(), 6062u);
    EXPECT_EQ(number(small.records.front()), 1393u);
    EXPECT_EQ(number(small.records.back()), 7454u);
    EXPECT_GT(small.calls, 100);

    // The split record (file offset 0x1eff10) comes whole, like the others.
    HANDLE h2 = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
    Dump all = readall(h2, SeqFwd, 0);
    ASSERT_EQ(all.records.size(), 6063u);
    for (size_t i = 1; i < all.records.size(); ++i) ASSERT_EQ(all.records[i], small.records[i - 1]);
    CloseEventLog(h2);

    // At the end: 38 and the outputs untouched.
    read = needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadEventLogA(h, SeqFwd, 0, buf.data(), BigBuffer, &read, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(read, 0xdeadbeefu);
    EXPECT_EQ(needed, 0xdeadbeefu);
    CloseEventLog(h);
}

TEST_F(EventLog, SeekReadsAndDirections) {
    HANDLE h = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
    ASSERT_NE(h, nullptr);
    struct {
        const char *what;
        DWORD flags, start;
        size_t count;
        DWORD first, last, error;
    } cases[] = {
        {"seek forwards from 7000", SeekFwd, 7000, 455, 7000, 7454, ERROR_HANDLE_EOF},
        {"seek backwards from 1400", SeekBack, 1400, 9, 1400, 1392, ERROR_HANDLE_EOF},
        {"seek to the oldest", SeekFwd, 1392, 6063, 1392, 7454, ERROR_HANDLE_EOF},
        {"seek backwards from the newest", SeekBack, 7454, 6063, 7454, 1392, ERROR_HANDLE_EOF},
        {"sequential backwards", SeqBack, 0, 6063, 7454, 1392, ERROR_HANDLE_EOF},
        {"seek before the oldest", SeekFwd, 1391, 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"seek to 0", SeekFwd, 0, 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"stale record number", SeekBack, 1200, 0, 0, 0, ERROR_INVALID_PARAMETER},
        // Windows answers 87 here too; past the newest is the end of the log.
        {"seek past the newest", SeekFwd, 7455, 0, 0, 0, ERROR_HANDLE_EOF},
        {"seek far past the newest", SeekBack, 100000, 0, 0, 0, ERROR_HANDLE_EOF},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE r = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
        Dump d = readall(r, c.flags, c.start);
        EXPECT_EQ(d.error, c.error);
        ASSERT_EQ(d.records.size(), c.count);
        if (c.count) {
            EXPECT_EQ(number(d.records.front()), c.first);
            EXPECT_EQ(number(d.records.back()), c.last);
            int step = c.first < c.last ? 1 : -1;
            for (size_t i = 0; i < d.records.size(); ++i) ASSERT_EQ(number(d.records[i]), c.first + step * (int)i);
        }
        CloseEventLog(r);
    }
    // A seek sets the position: sequential reads continue from it, either way.
    std::vector<uint8_t> buf(4096);
    DWORD read = 0, needed = 0;
    ASSERT_FALSE(ReadEventLogA(h, SeekFwd, 5000, buf.data(), sizeof(EVENTLOGRECORD), &read, &needed));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(ReadEventLogA(h, SeekFwd, 5000, buf.data(), needed, &read, &needed));
    EXPECT_EQ(get32(&buf[8]), 5000u);
    Dump back = readall(h, SeqBack, 0, 4096);
    ASSERT_EQ(back.records.size(), 5000u - 1392u);
    EXPECT_EQ(number(back.records.front()), 4999u);
    CloseEventLog(h);
}

TEST_F(EventLog, ArgumentAndHandleErrors) {
    HANDLE h = OpenBackupEventLogA(nullptr, qt::samplelog("evtparser-System.evt").c_str());
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buf(0x100000);
    struct {
        const char *what;
        HANDLE h;
        DWORD flags;
        bool nobuffer;
        DWORD error;
        DWORD size;
    } cases[] = {
        {"flags 0", h, 0, false, ERROR_INVALID_PARAMETER, 65536},
        {"sequential alone", h, EVENTLOG_SEQUENTIAL_READ, false, ERROR_INVALID_PARAMETER, 65536},
        {"seek alone", h, EVENTLOG_SEEK_READ, false, ERROR_INVALID_PARAMETER, 65536},
        {"both directions", h, SeqFwd | EVENTLOG_BACKWARDS_READ, false, ERROR_INVALID_PARAMETER, 65536},
        {"both modes", h, SeqFwd | EVENTLOG_SEEK_READ, false, ERROR_INVALID_PARAMETER, 65536},
        {"no buffer", h, SeqFwd, true, ERROR_INVALID_PARAMETER, 65536},
        {"no buffer, no handle", nullptr, SeqFwd, true, ERROR_INVALID_PARAMETER, 65536},
        {"no handle", nullptr, SeqFwd, false, ERROR_INVALID_HANDLE, 65536},
        {"bad handle", (HANDLE)(uintptr_t)0x1234, SeqFwd, false, ERROR_INVALID_HANDLE, 65536},
        {"a read of more than 0x7FFFF bytes", h, SeqFwd, false, ERROR_INVALID_PARAMETER, 0x80000},
        {"a read of 1,048,500 bytes", h, SeqFwd, false, ERROR_INVALID_PARAMETER, 1048500},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        DWORD read = 0xdeadbeef, needed = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReadEventLogA(c.h, c.flags, 0, c.nobuffer ? nullptr : buf.data(), c.size, &read, &needed));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(read, 0xdeadbeefu);
        EXPECT_EQ(needed, 0xdeadbeefu);
    }
    DWORD read;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadEventLogA(h, SeqFwd, 0, buf.data(), 65536, &read, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    DWORD value = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOldestEventLogRecord(h, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetNumberOfEventLogRecords(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOldestEventLogRecord(nullptr, &value));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetNumberOfEventLogRecords(nullptr, &value));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(value, 0xdeadbeefu);

    EXPECT_TRUE(CloseEventLog(h));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseEventLog(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseEventLog(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetNumberOfEventLogRecords(h, &value));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadEventLogA(h, SeqFwd, 0, buf.data(), 65536, &read, &value));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(EventLog, OpenBackupEventLogErrors) {
    qt::writefile(dir() + "/text.evt", "Just some text, not a log at all, but longer than a header is.");
    qt::writefile(dir() + "/empty.evt", "");
    qt::makedirs(dir() + "/folder.evt");
    struct {
        const char *what;
        const char *server;
        std::string file;
        DWORD error;
    } cases[] = {
        {"missing file", nullptr, dir() + "/missing.evt", ERROR_FILE_NOT_FOUND},
        {"missing folder", nullptr, dir() + "/nofolder/x.evt", ERROR_PATH_NOT_FOUND},
        {"not a log", nullptr, dir() + "/text.evt", ERROR_EVENTLOG_FILE_CORRUPT},
        // XP answered 8 (not enough memory) for an empty file; later systems 1500.
        {"empty file", nullptr, dir() + "/empty.evt", ERROR_EVENTLOG_FILE_CORRUPT},
        {"a folder", nullptr, dir() + "/folder.evt", ERROR_ACCESS_DENIED},
        {"unknown computer", "\\\\NOSUCH", qt::samplelog("evtparser-System.evt"), RPC_S_SERVER_UNAVAILABLE},
        {"drive letter on the local computer", nullptr, "C:\\logs\\x.evt", ERROR_PATH_NOT_FOUND},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(OpenBackupEventLogA(c.server, c.file.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenBackupEventLogA(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenBackupEventLogA("\\\\NOSUCH", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // The same file twice: two handles, each with its own position. A drive
    // letter path is the local computer's folder.
    qt::makedirs(computer() + "/c/logs");
    qt::writefile(computer() + "/c/logs/sys.evt", qt::readfile(qt::samplelog("evtparser-System.evt")));
    HANDLE a = OpenBackupEventLogA(nullptr, "c:\\LOGS\\SYS.EVT");
    HANDLE b = OpenBackupEventLogA("HOST12", "C:/logs/sys.evt");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(readall(a, SeqFwd, 0).records.size(), 95u);
    EXPECT_EQ(readall(b, SeqBack, 0).records.size(), 95u);
    CloseEventLog(a);
    CloseEventLog(b);
}

TEST_F(EventLog, LiveLogsAreFoundThroughTheRegistryAndCreatedOnFirstOpen) {
    hklm("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
         "\"SystemRoot\"=\"C:\\\\WINNT\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\r\n" +
         qt::reghex("File", REG_EXPAND_SZ, "%SystemRoot%\\system32\\config\\MyApp.evt") +
         "\"MaxSize\"=dword:00020000\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System]\r\n"
         "\"File\"=\"D:\\\\Logs\\\\sys.evt\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Directory Service]\r\n"
         "\"File\"=\"%SYSTEMROOT%\\\\ntds.evt\"\r\n\r\n");
    hklm("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
         "\"SystemRoot\"=\"E:\\\\Win\"\r\n\r\n",
         "SRV7");
    struct {
        const char *what;
        const char *server;
        const char *log;
        std::string file;
        DWORD maxsize;
    } cases[] = {
        {"expandable File value", nullptr, "application", network() + "/HOST12/c/WINNT/system32/config/MyApp.evt",
         0x20000},
        {"plain File value on another drive", "", "SYSTEM", network() + "/HOST12/d/Logs/sys.evt", 512 * 1024},
        {"a registered log of its own", nullptr, "Directory Service", network() + "/HOST12/c/WINNT/ntds.evt",
         512 * 1024},
        {"remote computer, default file", "\\\\srv7", "System", network() + "/SRV7/e/Win/System32/config/SysEvent.Evt",
         512 * 1024},
        {"remote computer without backslashes", "SRV7", "Application",
         network() + "/SRV7/e/Win/System32/config/AppEvent.Evt", 512 * 1024},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(qt::fileexists(c.file));
        HANDLE h = OpenEventLogA(c.server, c.log);
        ASSERT_NE(h, nullptr) << GetLastError();
        ASSERT_TRUE(qt::fileexists(c.file));
        std::string image = qt::readfile(c.file);
        ASSERT_EQ(image.size(), 0x10000u);
        EXPECT_EQ(get32((const uint8_t *)image.data() + 0x20), c.maxsize);
        DWORD count = 0xdeadbeef, oldest = 0xdeadbeef;
        EXPECT_TRUE(GetNumberOfEventLogRecords(h, &count));
        EXPECT_TRUE(GetOldestEventLogRecord(h, &oldest));
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(oldest, 0u);
        EXPECT_EQ(readall(h, SeqFwd, 0).error, (DWORD)ERROR_HANDLE_EOF);
        EXPECT_EQ(readall(h, SeekFwd, 1).error, (DWORD)ERROR_HANDLE_EOF);
        CloseEventLog(h);
    }

    // A name that is not a log opens Application.
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 3)), ERROR_SUCCESS);
    HANDLE h = OpenEventLogA(nullptr, "NoSuchLog");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readall(h, SeqFwd, 0).records.size(), 3u);
    CloseEventLog(h);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenEventLogA(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenEventLogA("IDontExist", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    for (const char *server : {"\\\\NOSUCH", "NOSUCH"}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(OpenEventLogA(server, "System"), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);
    }
}

TEST_F(EventLog, DefaultLiveLogsLiveUnderTheSystemFolder) {
    HANDLE h = OpenEventLogA(nullptr, "Application");
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_TRUE(qt::fileexists(config() + "/AppEvent.Evt"));
    CloseEventLog(h);
    h = OpenEventLogA("\\\\host12", "system");
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_TRUE(qt::fileexists(config() + "/SysEvent.Evt"));
    CloseEventLog(h);
}

TEST_F(EventLog, SecurityLogNeedsTheEnabledPrivilege) {
    const std::string seclog = config() + "/SecEvent.Evt";
    qt::RunResult r = qt::runinchild([&seclog] {
        SetLastError(0xdeadbeef);
        HANDLE h = OpenEventLogA(nullptr, "Security");
        printf("before %d %lu %d\n", h != nullptr, (unsigned long)GetLastError(), qt::fileexists(seclog));
        h = OpenEventLogA("", "security");
        printf("empty server %d %lu\n", h != nullptr, (unsigned long)GetLastError());
        HANDLE token;
        TOKEN_PRIVILEGES tp;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
        LookupPrivilegeValueA(nullptr, SE_SECURITY_NAME, &tp.Privileges[0].Luid);
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        h = OpenEventLogA(nullptr, "Security");
        printf("after %d\n", h != nullptr);
    });
    EXPECT_EQ(r.exitcode, 0);
    EXPECT_EQ(r.out, "before 0 1314 0\nempty server 0 1314\nafter 1\n");
    EXPECT_TRUE(qt::fileexists(seclog));
}

TEST_F(EventLog, BackupThenReopenGivesIdenticalRecords) {
    ASSERT_EQ(nt::writeevents({"", "System", "", 0}, specs(1, 40)), ERROR_SUCCESS);
    HANDLE h = OpenEventLogA(nullptr, "System");
    ASSERT_NE(h, nullptr);
    Dump original = readall(h, SeqFwd, 0);
    ASSERT_EQ(original.records.size(), 40u);

    qt::makedirs(computer() + "/c/backup");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(BackupEventLogA(h, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(BackupEventLogA(nullptr, "C:\\backup\\none.evt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(qt::fileexists(computer() + "/c/backup/none.evt"));
    EXPECT_FALSE(BackupEventLogA(h, "C:\\nofolder\\x.evt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);

    ASSERT_TRUE(BackupEventLogA(h, "C:\\Backup\\sys.evt")) << GetLastError();
    const std::string copy = computer() + "/c/backup/sys.evt";
    ASSERT_TRUE(qt::fileexists(copy));
    std::string image = qt::readfile(copy);
    EXPECT_EQ(get32((const uint8_t *)image.data() + 0x14) + 0x28, image.size());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(BackupEventLogA(h, "C:\\Backup\\sys.evt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(qt::readfile(copy), image);

    HANDLE b = OpenBackupEventLogA(nullptr, "c:\\backup\\SYS.evt");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(readall(b, SeqFwd, 0).records, original.records);
    // A backup of a backup works too, and clearing a backup does not.
    ASSERT_TRUE(BackupEventLogA(b, "C:\\backup\\sys2.evt"));
    EXPECT_EQ(qt::readfile(computer() + "/c/backup/sys2.evt"), image);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ClearEventLogA(b, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ClearEventLogA(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseEventLog(b);

    // A wrapped real log comes out unwrapped with the same records.
    HANDLE p = OpenBackupEventLogA(nullptr, qt::samplelog("plaso-SysEvent.Evt").c_str());
    ASSERT_TRUE(BackupEventLogA(p, (dir() + "/plaso-copy.evt").c_str()));
    HANDLE pc = OpenBackupEventLogA(nullptr, (dir() + "/plaso-copy.evt").c_str());
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(readall(pc, SeqFwd, 0).records, readall(p, SeqFwd, 0).records);
    CloseEventLog(p);
    CloseEventLog(pc);
    CloseEventLog(h);
}

TEST_F(EventLog, ClearKeepsNumberingAndStopsOtherHandles) {
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 5)), ERROR_SUCCESS);
    HANDLE h = OpenEventLogA(nullptr, "Application");
    HANDLE other = OpenEventLogA(nullptr, "Application");
    ASSERT_NE(h, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(readall(h, SeqFwd, 0).records.size(), 5u);

    qt::writefile(dir() + "/exists.evt", "x");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ClearEventLogA(h, (dir() + "/exists.evt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    DWORD count = 0;
    EXPECT_TRUE(GetNumberOfEventLogRecords(h, &count));
    EXPECT_EQ(count, 5u);

    ASSERT_TRUE(ClearEventLogA(h, (dir() + "/before-clear.evt").c_str()));
    HANDLE saved = OpenBackupEventLogA(nullptr, (dir() + "/before-clear.evt").c_str());
    EXPECT_EQ(readall(saved, SeqFwd, 0).records.size(), 5u);
    CloseEventLog(saved);

    DWORD oldest = 0xdeadbeef;
    EXPECT_TRUE(GetNumberOfEventLogRecords(h, &count));
    EXPECT_TRUE(GetOldestEventLogRecord(h, &oldest));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(oldest, 0u);
    std::vector<uint8_t> buf(4096);
    DWORD read, needed;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadEventLogA(other, SeqFwd, 0, buf.data(), 4096, &read, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_EVENTLOG_FILE_CHANGED);

    // Numbers go on after the clear: a bookmark at 5 still means "read up to 5".
    DWORD last = 0;
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(6, 7), &last), ERROR_SUCCESS);
    EXPECT_EQ(last, 7u);
    Dump after = readall(h, SeqFwd, 0);
    ASSERT_EQ(after.records.size(), 2u);
    EXPECT_EQ(number(after.records[0]), 6u);
    EXPECT_TRUE(GetOldestEventLogRecord(h, &oldest));
    EXPECT_EQ(oldest, 6u);
    CloseEventLog(h);
    CloseEventLog(other);
}

TEST_F(EventLog, SequentialReaderSeesRecordsAppendedAfterTheEnd) {
    hklm("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\r\n"
         "\"MaxSize\"=dword:00010000\r\n\r\n");
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 10)), ERROR_SUCCESS);
    HANDLE h = OpenEventLogA(nullptr, "Application");
    ASSERT_NE(h, nullptr);
    Dump first = readall(h, SeqFwd, 0);
    EXPECT_EQ(first.error, (DWORD)ERROR_HANDLE_EOF);
    ASSERT_EQ(first.records.size(), 10u);
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(11, 12)), ERROR_SUCCESS);
    Dump more = readall(h, SeqFwd, 0);
    ASSERT_EQ(more.records.size(), 2u);
    EXPECT_EQ(number(more.records[0]), 11u);
    EXPECT_EQ(strings(more.records[1]), std::vector<std::string>{"event 12"});

    // The log wraps at its 64 KiB maximum: the reader that fell behind is
    // told that records it had not read were overwritten.
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(13, 3000)), ERROR_SUCCESS);
    EXPECT_EQ(qt::readfile(config() + "/AppEvent.Evt").size(), 0x10000u);
    std::vector<uint8_t> buf(100);
    DWORD read, needed;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadEventLogA(h, SeqFwd, 0, buf.data(), 100, &read, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_EVENTLOG_FILE_CHANGED);
    HANDLE fresh = OpenEventLogA(nullptr, "Application");
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(fresh, &oldest);
    GetNumberOfEventLogRecords(fresh, &count);
    EXPECT_GT(oldest, 13u);
    EXPECT_EQ(oldest + count - 1, 3000u);
    Dump wrapped = readall(fresh, SeqFwd, 0);
    ASSERT_EQ(wrapped.records.size(), count);
    for (DWORD i = 0; i < count; ++i) {
        ASSERT_EQ(number(wrapped.records[i]), oldest + i);
        ASSERT_EQ(strings(wrapped.records[i])[0], "event " + std::to_string(oldest + i));
    }
    CloseEventLog(fresh);
    CloseEventLog(h);
}

TEST_F(EventLog, ReportEventWritesToTheSourcesLog) {
    hklm("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\MyDriver]\r\n"
         "\"EventMessageFile\"=\"C:\\\\x.dll\"\r\n\r\n");
    HANDLE src = RegisterEventSourceA(nullptr, "MyDriver");
    ASSERT_NE(src, nullptr);
    const char *strs[] = {"first \xE9", "second"};
    BYTE sid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    BYTE data[] = {0xde, 0xad, 0xbe};
    const DWORD before = (DWORD)time(nullptr);
    ASSERT_TRUE(ReportEventA(src, EVENTLOG_WARNING_TYPE, 3, 0x80000007, sid, 2, 3, strs, data));
    ASSERT_TRUE(ReportEventA(src, EVENTLOG_ERROR_TYPE, 0, 8, nullptr, 0, 0, nullptr, nullptr));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReportEventA(src, EVENTLOG_ERROR_TYPE, 0, 8, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeregisterEventSource(src));
    EXPECT_FALSE(DeregisterEventSource(src));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReportEventA(src, EVENTLOG_ERROR_TYPE, 0, 8, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    HANDLE other = RegisterEventSourceA(nullptr, "Unregistered");
    ASSERT_TRUE(ReportEventA(other, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    DeregisterEventSource(other);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegisterEventSourceA("\\\\NOSUCH", "x"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);

    HANDLE sys = OpenEventLogA(nullptr, "System");
    // A log handle is not an event source.
    EXPECT_FALSE(ReportEventA(sys, EVENTLOG_ERROR_TYPE, 0, 8, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    Dump d = readall(sys, SeqFwd, 0);
    ASSERT_EQ(d.records.size(), 2u);
    const std::vector<uint8_t> &r = d.records[0];
    const EVENTLOGRECORD *e = (const EVENTLOGRECORD *)r.data();
    EXPECT_EQ(e->RecordNumber, 1u);
    EXPECT_EQ(e->EventID, 0x80000007u);
    EXPECT_EQ(e->EventType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(e->EventCategory, 3);
    EXPECT_GE(e->TimeGenerated, before);
    EXPECT_EQ(e->TimeWritten, e->TimeGenerated);
    EXPECT_EQ(field(r, sizeof(EVENTLOGRECORD)), "MyDriver");
    EXPECT_EQ(field(r, sizeof(EVENTLOGRECORD) + 9), "HOST12");
    EXPECT_EQ(strings(r), (std::vector<std::string>{"first \xE9", "second"}));
    ASSERT_EQ(e->UserSidLength, sizeof sid);
    EXPECT_EQ(std::memcmp(&r[e->UserSidOffset], sid, sizeof sid), 0);
    ASSERT_EQ(e->DataLength, 3u);
    EXPECT_EQ(std::memcmp(&r[e->DataOffset], data, 3), 0);
    CloseEventLog(sys);

    HANDLE app = OpenEventLogA(nullptr, "Application");
    Dump a = readall(app, SeqFwd, 0);
    ASSERT_EQ(a.records.size(), 1u);
    EXPECT_EQ(field(a.records[0], sizeof(EVENTLOGRECORD)), "Unregistered");
    CloseEventLog(app);
}

// A writer in another process appends 3000 records to file in batches while
// this process reads them as they come: each whole, in order, none missed.
static void readwhilewritten(const std::string &file) {
    ASSERT_EQ(nt::writeevents({"", "", file, 4u << 20}, specs(1, 1)), ERROR_SUCCESS);
    const DWORD total = 3000;
    pid_t child = fork();
    if (child == 0) {
        for (DWORD n = 2; n <= total; n += 50)
            if (nt::writeevents({"", "", file, 4u << 20}, specs(n, std::min(n + 49, total))) != ERROR_SUCCESS) _exit(1);
        _exit(0);
    }
    HANDLE h = OpenBackupEventLogA(nullptr, file.c_str());
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buf(8192);
    DWORD expect = 1;
    const time_t deadline = time(nullptr) + 30;
    while (expect <= total && time(nullptr) < deadline) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogA(h, SeqFwd, 0, buf.data(), (DWORD)buf.size(), &read, &needed)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
            continue;
        }
        for (DWORD off = 0; off < read; off += get32(&buf[off])) {
            checkrecord(&buf[off], read - off);
            ASSERT_EQ(get32(&buf[off + 8]), expect);
            ++expect;
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(expect, total + 1);
    CloseEventLog(h);
}

TEST_F(EventLog, WriterInAnotherProcessNeverShowsAReaderAHalfWrittenLog) {
    readwhilewritten(dir() + "/busy.evt");
    readwhilewritten(dir() + "/busy.evtx");
}

TEST_F(EventLog, EvtxLiveLogGivesBackEveryFieldReported) {
    vista();
    const std::vector<uint8_t> sid = qt::makesid(5, {21, 7, 8, 9, 500}), none;
    const struct {
        const char *what;
        WORD type, category;
        DWORD id;
        bool withsid;
        std::vector<std::string> strings;
        std::vector<BYTE> data;
    } rows[] = {
        {"error with qualifiers, a SID and data", EVENTLOG_ERROR_TYPE, 3, 0xC0000005, true, {"a", "b \xE9"}, {0xde, 1}},
        {"warning whose empty strings are kept", EVENTLOG_WARNING_TYPE, 0, 0x80000007, false, {"", "x", ""}, {}},
        {"information without strings", EVENTLOG_INFORMATION_TYPE, 65535, 1, false, {}, {1, 2, 3, 4, 5}},
        {"success", EVENTLOG_SUCCESS, 1, 0x4000FFFF, true, {"only"}, {}},
        {"audit success", EVENTLOG_AUDIT_SUCCESS, 12544, 4624, true, {"u"}, {}},
        {"audit failure", EVENTLOG_AUDIT_FAILURE, 12544, 4625, false, {}, {7}},
        {"a type the call does not know reads back as success", 0x20, 0, 2, false, {}, {}},
    };
    HANDLE src = RegisterEventSourceA(nullptr, "MyDriver");
    const DWORD before = (DWORD)time(nullptr);
    for (const auto &row : rows) {
        std::vector<LPCSTR> strs;
        for (const std::string &s : row.strings) strs.push_back(s.c_str());
        ASSERT_TRUE(ReportEventA(src, row.type, row.category, row.id, row.withsid ? (PSID)sid.data() : nullptr,
                                 (WORD)strs.size(), (DWORD)row.data.size(), strs.data(), (LPVOID)row.data.data()));
    }
    nt::LogEvent own = numberedevent(9);
    own.timewritten = (own.timegenerated = 1000000000) + 7;
    ASSERT_EQ(nt::writeevents({"", "System", "", 0}, {own}), ERROR_SUCCESS);
    EXPECT_EQ(evtxhead(winevt("System")), (std::vector<DWORD>{1, 0, 0, 9, 1, 0}));

    HANDLE h = OpenEventLogA(nullptr, "System");
    Dump d = readall(h, SeqFwd, 0);
    ASSERT_EQ(d.records.size(), 8u);
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(rows[i].what);
        const std::vector<uint8_t> &r = d.records[i];
        const EVENTLOGRECORD *e = (const EVENTLOGRECORD *)r.data();
        EXPECT_EQ(
            std::vector<DWORD>({e->RecordNumber, e->EventID, e->EventType, e->EventCategory}),
            std::vector<DWORD>({(DWORD)i + 1, rows[i].id, rows[i].type == 0x20 ? 0u : rows[i].type, rows[i].category}));
        EXPECT_GE(e->TimeGenerated, before);
        EXPECT_EQ(e->TimeWritten, e->TimeGenerated);
        EXPECT_EQ(field(r, sizeof(EVENTLOGRECORD)) + "/" + field(r, sizeof(EVENTLOGRECORD) + 9), "MyDriver/HOST12");
        EXPECT_EQ(strings(r), rows[i].strings);
        EXPECT_EQ(std::vector<uint8_t>(&r[e->UserSidOffset], &r[e->UserSidOffset] + e->UserSidLength),
                  rows[i].withsid ? sid : none);
        EXPECT_EQ(std::vector<uint8_t>(&r[e->DataOffset], &r[e->DataOffset] + e->DataLength), rows[i].data);
    }
    const EVENTLOGRECORD *e = (const EVENTLOGRECORD *)d.records[7].data();
    EXPECT_EQ(std::vector<DWORD>({e->TimeGenerated, e->TimeWritten, e->EventID}),
              std::vector<DWORD>({1000000000, 1000000007, 1009}));
    CloseEventLog(h);
    DeregisterEventSource(src);
}

TEST_F(EventLog, EvtxLiveLogGrowsWrapsBacksUpAndClearsAsTheServiceDoes) {
    vista("\"MaxSize\"=dword:00031000\r\n"); // a header and three chunks
    const std::string live = winevt("Application"), copy = computer() + "/c/backup/app.evtx";
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 250)), ERROR_SUCCESS);
    EXPECT_EQ(evtxhead(live), (std::vector<DWORD>{1, 0, 0, 251, 1, 0}));
    // Grown to three chunks, then wrapped: the chunk after the current one
    // (the oldest) is begun again.
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(251, 2000)), ERROR_SUCCESS);
    std::vector<DWORD> head = evtxhead(live);
    ASSERT_EQ(head.size(), 6u);
    EXPECT_EQ(head[1], (head[2] + 1) % 3);
    EXPECT_EQ(std::vector<DWORD>({head[0], head[3], head[4], head[5]}), (std::vector<DWORD>{3, 2001, 3, 0}));
    HANDLE h = OpenEventLogA(nullptr, "Application");
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(h, &oldest);
    GetNumberOfEventLogRecords(h, &count);
    EXPECT_GT(oldest, 251u);
    EXPECT_EQ(oldest + count - 1, 2000u);
    Dump all = readall(h, SeqFwd, 0);
    ASSERT_EQ(all.records.size(), count);
    for (DWORD i = 0; i < count; ++i) ASSERT_EQ(strings(all.records[i])[0], "event " + std::to_string(oldest + i));

    // The backup: chunks in record order, header clean and exact.
    qt::makedirs(computer() + "/c/backup");
    ASSERT_TRUE(BackupEventLogA(h, "C:\\Backup\\app.evtx")) << GetLastError();
    EXPECT_EQ(evtxhead(copy), (std::vector<DWORD>{3, 0, 2, 2001, 3, 0}));
    HANDLE b = OpenBackupEventLogA(nullptr, copy.c_str());
    EXPECT_EQ(readall(b, SeqFwd, 0).records, all.records);
    CloseEventLog(b);
    const bool tools = readalike(live) && readalike(copy);

    // A retention period that has not passed: the log is full, nothing is
    // discarded.
    vista("\"MaxSize\"=dword:00031000\r\n\"Retention\"=dword:ffffffff\r\n");
    EXPECT_EQ(nt::writeevents({"", "Application", "", 0}, specs(2001, 2400)), (DWORD)ERROR_LOG_FILE_FULL);
    GetNumberOfEventLogRecords(h, &count);
    const DWORD newest = oldest + count - 1;
    head = evtxhead(live);
    EXPECT_EQ(std::vector<DWORD>(head.begin() + 3, head.end()), (std::vector<DWORD>{newest + 1, 3, 2}));

    // Cleared: one empty chunk, and the numbers go on.
    ASSERT_TRUE(ClearEventLogA(h, nullptr));
    EXPECT_EQ(evtxhead(live), (std::vector<DWORD>{1, 0, 0, newest + 1, 1, 0}));
    GetNumberOfEventLogRecords(h, &count);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 2)), ERROR_SUCCESS);
    GetOldestEventLogRecord(h, &oldest);
    EXPECT_EQ(oldest, newest + 1);
    CloseEventLog(h);
    if (!readalike(live) || !tools) GTEST_SKIP() << "evtxexport, evtxinfo or evtx_dump.py is not installed";
}

TEST_F(EventLog, EvtxLiveLogWhoseHeaderCountsAheadTakesNewEventsInANewChunk) {
    // A header whose next identifier lies above the records (a clear that
    // stopped half way, or a damaged copy): the numbers go on from the
    // header's, and the events go into a chunk of their own, since a chunk's
    // identifiers follow each other.
    vista();
    const std::string live = winevt("Application");
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 5)), ERROR_SUCCESS);
    std::string f = qt::readfile(live);
    ASSERT_GE(f.size(), 0x1000u);
    uint8_t *h = (uint8_t *)&f[0];
    for (int i = 0; i < 8; ++i) h[0x18 + i] = (uint8_t)(i ? 0 : 50);
    const uint32_t crc = nt::evtx::crc32(h, 0x78);
    for (int i = 0; i < 4; ++i) h[0x7C + i] = (uint8_t)(crc >> (8 * i));
    qt::writefile(live, f);
    DWORD last = 0;
    ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(6, 7), &last), ERROR_SUCCESS);
    EXPECT_EQ(last, 51u);
    EXPECT_EQ(evtxhead(live), (std::vector<DWORD>{2, 0, 1, 52, 2, 0}));
    HANDLE log = OpenEventLogA(nullptr, "Application");
    Dump all = readall(log, SeqFwd, 0);
    std::vector<std::string> got;
    for (const std::vector<uint8_t> &r : all.records)
        got.push_back(std::to_string(((const EVENTLOGRECORD *)r.data())->RecordNumber) + " " + strings(r).at(0));
    EXPECT_EQ(got, (std::vector<std::string>{"1 event 1", "2 event 2", "3 event 3", "4 event 4", "5 event 5",
                                             "50 event 6", "51 event 7"}));
    CloseEventLog(log);
    if (!readalike(live)) GTEST_SKIP() << "evtxexport, evtxinfo or evtx_dump.py is not installed";
}

TEST_F(EventLog, LiveLogFormatComesFromItsFileElseFromItsName) {
    qt::makedirs(computer() + "/c/Logs");
    ASSERT_EQ(symlink(dir().c_str(), (computer() + "/c/Linked").c_str()), 0);
    const struct {
        const char *what;
        std::string file, path; // the File value; the file below the computer's folder
        const char *sample;     // the file there before, if any
        const char *signature;  // of the log written to; none when it does not open (5)
    } rows[] = {
        {"a new log named .evtx", "%SystemRoot%\\System32\\winevt\\Logs\\App1.evtx",
         "/c/WINDOWS/System32/winevt/Logs/App1.evtx", nullptr, "ElfFile"},
        {"the name in any case", "C:\\Logs\\App2.EvTx", "/c/Logs/App2.EvTx", nullptr, "ElfFile"},
        {"a new log of another name", "C:\\Logs\\App3.evt", "/c/Logs/App3.evt", nullptr, "\x30\0\0\0LfLe"},
        {"an .evt file named .evtx", "C:\\Logs\\App4.evtx", "/c/Logs/App4.evtx", "evtparser-Application.evt",
         "\x30\0\0\0LfLe"},
        {"an .evtx file of Windows named .evt", "C:\\Logs\\App5.evt", "/c/Logs/App5.evt", "Application_no_crc32.evtx",
         "ElfFile"},
        {"no log made through a link", "C:\\Linked\\App6.evtx", "/c/Linked/App6.evtx", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        hklm("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\r\n" +
             qt::reghex("File", REG_EXPAND_SZ, row.file));
        if (row.sample) qt::writefile(computer() + row.path, qt::readfile(qt::samplelog(row.sample)));
        SetLastError(0xdeadbeef);
        HANDLE h = OpenEventLogA(nullptr, "Application");
        EXPECT_EQ(h != nullptr ? 0 : GetLastError(), row.signature ? 0u : (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_EQ(qt::fileexists(computer() + row.path), row.signature != nullptr);
        if (!h) continue;
        DWORD last = 0;
        ASSERT_EQ(nt::writeevents({"", "Application", "", 0}, specs(1, 1), &last), ERROR_SUCCESS);
        EXPECT_EQ(strings(readall(h, SeekBack, last).records.at(0)), std::vector<std::string>{"event 1"});
        EXPECT_EQ(qt::readfile(computer() + row.path).substr(0, 8), std::string(row.signature, 8));
        CloseEventLog(h);
    }
    ASSERT_EQ(nt::writeevents({"", "Application", dir() + "/target.EVTX", 0}, specs(1, 1)), ERROR_SUCCESS);
    EXPECT_EQ(qt::readfile(dir() + "/target.EVTX").substr(0, 8), std::string("ElfFile", 8));
}
