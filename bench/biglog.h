// biglog.h: large, realistic event logs for the dump benchmark, made
// reproducibly from a seed, with the network they are formatted in.
//
// The catalogue is a dozen System-log sources (service control, network,
// disk, time, logon, installer ...) with 25 event ids each, spread over seven
// message DLLs, one of them shared by four sources, with category and
// parameter message files for some. The same catalogue writes the DLLs'
// message sources (.mc), the registry that names the DLLs, accounts.txt for
// the users of the records, and the records themselves; so every record of a
// generated log is formatted, and every user resolved, in that network.
//
// Beyond the dozen, further sources ("BenchSource00013" ...) reuse the
// messages and DLLs of the dozen under their own names, for measuring how
// the source caches grow.
//
// The short log (shortlog.cpp) has a dozen sources of its own, with 300 ids
// each, whose messages are in one more DLL; they are registered only on
// request, so that its dumps can run either through the message files or
// through the caches of failed lookups.
#ifndef QUILLOG_BENCH_BIGLOG_H
#define QUILLOG_BENCH_BIGLOG_H

#include "platform/posix/evtfile.h"

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

// Writes one .mc message source per DLL of the catalogue, and shortmsg.mc of
// the short log's sources, into folder dir (which exists): <dll name without
// .dll>.mc. False when a file cannot be written.
bool writemessages(const std::string &dir);

// Makes computerfolder an NT computer of the benchmark: its registry
// (SystemRoot C:\WINDOWS; the System log's sources, the first `sources` of
// them, with their message files, and the short log's sources when
// shortregistered), its accounts.txt, and the message DLLs, copied from
// dlldir into c/WINDOWS/System32. False on a failure, with a message on
// standard error.
bool writenetwork(const std::string &computerfolder, const std::string &dlldir, unsigned sources, bool shortregistered);

// Writes a new log file of `records` records from `sources` sources, made
// from seed: the same arguments always give the same bytes. False on a
// failure, with a message on standard error.
bool writelog(const std::string &path, unsigned long records, uint64_t seed, unsigned sources);

// Writes a new log file at path of `records` records, each made by next, in
// batches. False on a failure, with a message on standard error.
bool writerecords(const std::string &path, unsigned long records, const std::function<nt::evt::NewRecord()> &next);

// Writes a new log file of `records` short records (shortlog.cpp), made from
// seed: the same arguments always give the same bytes. False on a failure,
// with a message on standard error.
bool writeshortlog(const std::string &path, unsigned long records, uint64_t seed);

// The .mc text of the short log's messages (without the header), and the
// registry sections that register its sources.
std::string shortmessages();
std::string shortregistry();

// Writes a new .evtx log of `chunks` chunks (at most 65,535), the chunks of
// the .evtx file `sample` over and over, records renumbered from 1 and
// checksums computed afresh; *records receives the number of records. False
// on a failure, with a message on standard error.
bool writeevtx(const std::string &sample, const std::string &path, unsigned chunks, unsigned long *records);

// The number of sources in the catalogue.
unsigned catalogsources();

} // namespace bench

#endif // QUILLOG_BENCH_BIGLOG_H
