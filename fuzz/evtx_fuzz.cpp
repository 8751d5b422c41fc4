// evtx_fuzz.cpp: the .evtx reader and the legacy view on any file image,
// and the writer on any file image that opens.
//
// The bytes are indexed as an .evtx file. When they open, the target walks
// every record forwards and backwards, converts each one, builds its native
// record and the ANSI form of that (which the log's own ANSI read must
// give too), and finds the oldest, the newest, one in
// the middle and the numbers around them. Whatever the file holds: opening
// gives 0 or 1500; the walks visit as many records as counted, in number
// order, the same ones both ways; a record converts or gives 1500, and the
// same as with every template run; a found record has the number asked for.
// Then the bytes are a live log that three events are appended to (its
// newest chunk continued through its tables) and that is then cleared: the
// last event reads back as written, the cleared log goes on counting.
#include "fuzzsupport.h"

#include "platform/posix/evtxlog.h"

#include <vector>

using namespace nt::evtx;

namespace {

// Converts the record at pos and checks its native and ANSI forms. run is
// the same file read with every record's template run: it must give the
// same view as the recipes of the first.
void convert(Reader &reader, Reader &run, const Position &pos, nt::evt::NewRecord *rec, std::vector<uint8_t> *native) {
    uint32_t number = 0;
    const DWORD rc = reader.read(pos, rec, &number);
    fz::check(rc == ERROR_SUCCESS || rc == ERROR_EVENTLOG_FILE_CORRUPT, "a record converts or gives 1500");
    nt::evt::NewRecord ran;
    uint32_t rannumber = 0;
    fz::check(run.read(pos, &ran, &rannumber) == rc && (rc != ERROR_SUCCESS || (ran == *rec && rannumber == number)),
              "a record read by its shape's recipe reads as its template run gives it");
    nt::evt::NewRecord view;
    std::vector<uint8_t> made;
    nt::Bytes form;
    fz::check(reader.readansi(pos, &view, &made, &form) == rc, "a record's ANSI form is read when its view is");
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
    std::vector<uint8_t> straight;
    nt::evt::ansirecord(*rec, number, &straight);
    fz::check(straight == ansi, "the ANSI form built from the fields is the converted native record");
    fz::check(std::vector<uint8_t>(form.data, form.data + form.size) == ansi,
              "the ANSI form the log reads, from a recipe or not, is the converted native record");
}

void write(const uint8_t *data, size_t size) {
    const std::string path = fz::workdir() + "/live.evtx";
    fz::writebytes(path, data, size);
    LogFile log;
    if (log.openorcreate(path, u"Application", 0x31000) != ERROR_SUCCESS) return;
    nt::NewRecord rec;
    rec.source = u"Fuzz";
    rec.computer = u"HOST";
    rec.eventid = 0xC0000007;
    rec.eventtype = EVENTLOG_WARNING_TYPE;
    rec.strings = {u"s", u""};
    rec.data = {7};
    rec.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    uint32_t last = 0;
    fz::check(log.append({rec, rec, rec}, 0, 0, &last) == ERROR_SUCCESS, "events are appended to any log that opens");
    fz::check(log.refresh() == ERROR_SUCCESS, "a log written to opens again");
    std::vector<uint8_t> scratch, expected;
    nt::Bytes got;
    nt::evt::buildrecord(rec, last, &expected);
    uint32_t need = 0;
    nt::evt::ansiform(nt::Bytes{expected.data(), expected.size()}, nullptr, 0, &need);
    std::vector<uint8_t> ansi(need);
    nt::evt::ansiform(nt::Bytes{expected.data(), expected.size()}, ansi.data(), need, &need);
    expected = ansi;
    fz::check(last - log.oldest() >= 0x40000000u || (log.newest() == last && log.record(last, false, &scratch, &got) &&
                                                     std::vector<uint8_t>(got.data, got.data + got.size) == expected),
              "the last event is the newest record and reads back as written");
    fz::check(log.clear() == ERROR_SUCCESS && log.refresh() == ERROR_SUCCESS && log.count() == 0 &&
                  log.current() == last + 1,
              "a cleared log is empty and goes on counting");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    nt::evt::ImageSource src(nt::Bytes{data, size});
    Reader reader, run(false);
    const DWORD rc = reader.open(src);
    fz::check(run.open(src) == rc, "the two readers open alike");
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
        convert(reader, run, pos, &rec, &native);
    }
    fz::check(ids.size() == count, "the forward walk visits every record");
    size_t back = ids.size();
    for (bool more = reader.last(&pos); more; more = reader.prev(&pos)) {
        fz::check(back > 0 && ids[back - 1] == pos.id, "the backward walk visits the same records");
        --back;
        convert(reader, run, pos, &rec, &native);
    }
    fz::check(back == 0, "the backward walk visits every record");
    if (!count) return 0;

    const uint32_t numbers[] = {reader.oldest(),     reader.newest(),     (uint32_t)ids[count / 2],
                                reader.oldest() - 1, reader.newest() + 1, (uint32_t)ids[count / 2] + 1};
    for (uint32_t n : numbers) {
        Position after{~(size_t)0, 0, 0};
        if (reader.find(n, &pos, &after)) {
            fz::check((uint32_t)pos.id == n, "a found record has the number asked for");
            convert(reader, run, pos, &rec, &native);
        } else if (after.chunk != ~(size_t)0) {
            fz::check((uint32_t)(after.id - n) < 0x80000000u && after.id != n, "the next record comes after");
        }
    }
    return 0;
}
