// evtx_fuzz.cpp: the .evtx reader and the legacy view on any file image,
// and the writer on any file image that opens.
//
// The bytes are indexed as an .evtx file. When they open, the target walks
// every record forwards and backwards, converts each one, builds its native
// record and the ANSI form of that, and finds the oldest, the newest, one in
// the middle and the numbers around them. Whatever the file holds: opening
// gives 0 or 1500; the walks visit as many records as counted, in number
// order, the same ones both ways; a record converts or gives 1500; a found
// record has the number asked for.
//
// Then the bytes are a live log that the writer appends to (continuing the
// newest chunk through its tables, or beginning the next one) and clears.
// The append succeeds on any log that opens; the log opens again; the last
// event reads back as written whenever it lies in the range the reader
// keeps in order; the clear leaves no records and the numbering going on.
#include "fuzzsupport.h"

#include "platform/posix/evtxlog.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace nt::evtx;

namespace {

// Converts the record at pos and checks its native and ANSI forms.
void convert(Reader &reader, const Position &pos, nt::evt::NewRecord *rec, std::vector<uint8_t> *native) {
    uint32_t number = 0;
    const DWORD rc = reader.read(pos, rec, &number);
    fz::check(rc == ERROR_SUCCESS || rc == ERROR_EVENTLOG_FILE_CORRUPT, "a record converts or gives 1500");
    if (rc != ERROR_SUCCESS) return;
    fz::check(number == (uint32_t)pos.id, "a record has the number of its position");
    fz::check(rec->strings.size() <= 0xFFFF, "no more strings than a record can count");
    nt::evt::buildrecord(*rec, number, native);
    uint32_t size = 0;
    const nt::Bytes bytes{native->data(), native->size()};
    fz::check(nt::evt::ansiform(bytes, nullptr, 0, &size) == ERROR_SUCCESS, "a built record has an ANSI form");
    std::vector<uint8_t> ansi(size);
    fz::check(nt::evt::ansiform(bytes, ansi.data(), size, &size) == ERROR_SUCCESS && size == ansi.size(),
              "the ANSI form fits the size it gave");
    EVENTLOGRECORD e;
    std::memcpy(&e, ansi.data(), sizeof e);
    fz::check(e.RecordNumber == number && e.NumStrings == rec->strings.size() && e.DataLength == rec->data.size(),
              "the ANSI record keeps number, strings and data");
}

void write(const uint8_t *data, size_t size) {
    const std::string path = fz::workdir() + "/live.evtx";
    fz::writebytes(path, data, size);
    LogFile log;
    if (log.openorcreate(path, u"Application", 0x31000) != ERROR_SUCCESS) return;
    std::vector<nt::NewRecord> recs(3);
    for (size_t i = 0; i < recs.size(); ++i) {
        recs[i].source = u"Fuzz";
        recs[i].computer = u"HOST";
        recs[i].eventid = 0xC0000000u + (uint32_t)i;
        recs[i].eventtype = EVENTLOG_WARNING_TYPE;
        recs[i].category = 7;
        recs[i].strings = {u"s", u""};
        recs[i].data = {(uint8_t)i};
    }
    uint32_t last = 0;
    fz::check(log.append(recs, 0, 0, &last) == ERROR_SUCCESS, "events are appended to any log that opens");
    {
        int fd = open(path.c_str(), O_RDONLY);
        nt::evt::FileSource src(fd);
        Reader reader;
        fz::check(src.reset() == ERROR_SUCCESS && reader.open(src) == ERROR_SUCCESS, "a log written to opens");
        Position pos;
        nt::NewRecord back;
        uint32_t number = 0;
        if (last - reader.oldest() < 0x40000000u) {
            fz::check(reader.newest() == last && reader.find(last, &pos) && reader.read(pos, &back, &number) == 0,
                      "the last event is the newest record and reads");
            fz::check(back.source == u"Fuzz" && back.computer == u"HOST" && back.eventid == recs[2].eventid &&
                          back.eventtype == EVENTLOG_WARNING_TYPE && back.category == 7 &&
                          back.strings == recs[2].strings && back.data == recs[2].data,
                      "the last event reads back as written");
        }
        close(fd);
    }
    fz::check(log.clear() == ERROR_SUCCESS && log.refresh() == ERROR_SUCCESS && log.count() == 0 &&
                  log.current() == last + 1,
              "a cleared log is empty and goes on counting");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    nt::evt::ImageSource src(nt::Bytes{data, size});
    Reader reader;
    const DWORD rc = reader.open(src);
    fz::check(rc == ERROR_SUCCESS || rc == ERROR_EVENTLOG_FILE_CORRUPT, "opening gives 0 or 1500");
    if (rc != ERROR_SUCCESS) {
        fz::check(reader.count() == 0, "a file that does not open has no records");
        return 0;
    }
    write(data, size);
    const size_t count = reader.count();
    fz::check(count != 0 || (reader.oldest() == 0 && reader.newest() == 0), "an empty log has no oldest record");

    nt::evt::NewRecord rec;
    std::vector<uint8_t> native;
    std::vector<uint64_t> ids;
    Position pos;
    for (bool more = reader.first(&pos); more; more = reader.next(&pos)) {
        fz::check(ids.empty() || pos.id > ids.back(), "records come in number order");
        fz::check(ids.size() < count, "no more records than counted");
        ids.push_back(pos.id);
        convert(reader, pos, &rec, &native);
    }
    fz::check(ids.size() == count, "the forward walk visits every record");
    size_t back = ids.size();
    for (bool more = reader.last(&pos); more; more = reader.prev(&pos)) {
        fz::check(back > 0 && ids[back - 1] == pos.id, "the backward walk visits the same records");
        --back;
        convert(reader, pos, &rec, &native);
    }
    fz::check(back == 0, "the backward walk visits every record");
    if (!count) return 0;

    const uint32_t numbers[] = {reader.oldest(),     reader.newest(),     (uint32_t)ids[count / 2],
                                reader.oldest() - 1, reader.newest() + 1, (uint32_t)ids[count / 2] + 1};
    for (uint32_t n : numbers) {
        Position after{~(size_t)0, 0, 0};
        if (reader.find(n, &pos, &after)) {
            fz::check((uint32_t)pos.id == n, "a found record has the number asked for");
            convert(reader, pos, &rec, &native);
        } else if (after.chunk != ~(size_t)0) {
            fz::check((uint32_t)(after.id - n) < 0x80000000u && after.id != n, "the next record comes after");
        }
    }
    return 0;
}
