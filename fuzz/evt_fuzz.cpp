// evt_fuzz.cpp: the event log reader on any file.
//
// The bytes are written to a file and opened as a backup log. When it opens,
// the target counts its records, reads all of them sequentially forwards and
// backwards with buffers of several sizes, and seeks to the oldest, the
// newest, one in the middle and the numbers just outside the log. Whatever
// the file holds, every call must end with a defined code, and what it
// returns must be whole records: each record's length fits what was copied,
// ends with the same length, and the numbers follow each other.
#include "fuzzsupport.h"

#include <cstring>
#include <vector>

namespace {

// What one read call gave.
struct ReadResult {
    bool ok = false;
    DWORD rc = 0, bytes = 0, needed = 0;
};

ReadResult readlog(HANDLE log, DWORD flags, DWORD number, std::vector<uint8_t> &buf) {
    ReadResult r;
    DWORD bytes = 0xdeadbeef, needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    r.ok = ReadEventLogA(log, flags, number, buf.data(), (DWORD)buf.size(), &bytes, &needed) != FALSE;
    r.rc = r.ok ? 0 : GetLastError();
    r.bytes = bytes;
    r.needed = needed;
    return r;
}

// Checks the records in the first r.bytes of buf and returns their numbers.
std::vector<DWORD> records(const ReadResult &r, const std::vector<uint8_t> &buf) {
    std::vector<DWORD> numbers;
    fz::check(r.bytes > 0 && r.bytes <= buf.size(), "a read copies something that fits");
    fz::check(r.needed == 0, "a read that succeeds needs nothing more");
    size_t off = 0;
    while (off < r.bytes) {
        EVENTLOGRECORD rec;
        fz::check(r.bytes - off >= sizeof rec, "a record's fixed part is whole");
        memcpy(&rec, &buf[off], sizeof rec);
        fz::check(rec.Length >= sizeof rec + 4 && rec.Length <= r.bytes - off, "a record lies inside the copy");
        fz::check(rec.Length % 4 == 0, "a record's length is a multiple of 4");
        DWORD trail;
        memcpy(&trail, &buf[off + rec.Length - 4], 4);
        fz::check(trail == rec.Length, "a record ends with its length");
        fz::check(memchr(&buf[off + sizeof rec], '\0', rec.Length - sizeof rec) != nullptr,
                  "the source name is terminated inside the record");
        numbers.push_back(rec.RecordNumber);
        off += rec.Length;
    }
    return numbers;
}

// Reads the whole log sequentially in one direction with a buffer of size
// bytes (grown when a record needs more) and checks the numbers run from one
// end of the log to the other. Returns how many records were read.
size_t readall(const char *path, bool forwards, size_t size, DWORD count, DWORD oldest) {
    HANDLE log = OpenBackupEventLogA(nullptr, path);
    fz::check(log != nullptr, "a log that opened once opens again");
    std::vector<uint8_t> buf(size);
    const DWORD flags = EVENTLOG_SEQUENTIAL_READ | (forwards ? EVENTLOG_FORWARDS_READ : EVENTLOG_BACKWARDS_READ);
    DWORD expect = forwards ? oldest : oldest + count - 1;
    size_t got = 0;
    for (;;) {
        ReadResult r = readlog(log, flags, 0, buf);
        if (!r.ok && r.rc == ERROR_INSUFFICIENT_BUFFER) {
            fz::check(r.bytes == 0 && r.needed > buf.size(), "a record that does not fit gives the size it needs");
            buf.resize(r.needed);
            continue;
        }
        if (!r.ok) {
            fz::check(r.rc == ERROR_HANDLE_EOF || r.rc == ERROR_EVENTLOG_FILE_CORRUPT, "a read ends with 38 or 1500");
            fz::check(r.rc != ERROR_HANDLE_EOF || got == count, "the end comes after every record");
            break;
        }
        for (DWORD n : records(r, buf)) {
            fz::check(n == expect, "records come in number order");
            expect = forwards ? expect + 1 : expect - 1;
            ++got;
        }
        fz::check(got <= count, "no more records than counted");
    }
    CloseEventLog(log);
    return got;
}

// Seeks to record number and checks what comes back.
void seek(HANDLE log, DWORD number, bool forwards, DWORD count, DWORD oldest) {
    std::vector<uint8_t> buf(0x10000);
    const DWORD flags = EVENTLOG_SEEK_READ | (forwards ? EVENTLOG_FORWARDS_READ : EVENTLOG_BACKWARDS_READ);
    ReadResult r = readlog(log, flags, number, buf);
    if (r.ok) {
        fz::check(count > 0 && number - oldest < count, "a seek succeeds only inside the log");
        std::vector<DWORD> numbers = records(r, buf);
        fz::check(numbers.front() == number, "a seek starts at the record asked for");
        return;
    }
    if (r.rc == ERROR_INSUFFICIENT_BUFFER || r.rc == ERROR_EVENTLOG_FILE_CORRUPT) {
        fz::check(count > 0 && number - oldest < count, "only a record of the log can be too big or damaged");
        return;
    }
    fz::check(r.rc == ERROR_HANDLE_EOF || r.rc == ERROR_INVALID_PARAMETER, "a seek outside gives 38 or 87");
    fz::check(count == 0 || number - oldest >= count, "a seek inside the log finds its record");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fz::workdir() + "/fuzz.evt";
    fz::writebytes(path, data, size);
    SetLastError(0xdeadbeef);
    HANDLE log = OpenBackupEventLogA(nullptr, path.c_str());
    if (!log) {
        fz::check(GetLastError() == ERROR_EVENTLOG_FILE_CORRUPT, "a file that does not open is corrupt");
        return 0;
    }
    DWORD count = 0xdeadbeef, oldest = 0xdeadbeef;
    fz::check(GetNumberOfEventLogRecords(log, &count) && GetOldestEventLogRecord(log, &oldest), "count and oldest");
    fz::check(count != 0 || oldest == 0, "an empty log has no oldest record");

    // Several buffer sizes: smaller than any record, a few records, and large.
    static const size_t sizes[] = {0x40, 0x400, 0x10000};
    for (size_t s : sizes) {
        size_t fwd = readall(path.c_str(), true, s, count, oldest);
        size_t back = readall(path.c_str(), false, s, count, oldest);
        // A damaged record stops both directions, each from its own side.
        fz::check(fwd == count ? back == count : back < count, "both directions agree about damage");
    }

    const DWORD newest = oldest + count - 1;
    const DWORD numbers[] = {oldest, newest, oldest + count / 2, oldest - 1, newest + 1, 0, 0xFFFFFFFF};
    for (DWORD n : numbers) {
        seek(log, n, true, count, oldest);
        seek(log, n, false, count, oldest);
    }
    fz::check(CloseEventLog(log), "close");
    return 0;
}
