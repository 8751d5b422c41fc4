// fuzzsupport.h: what the libFuzzer targets share.
//
// The targets link this file's console routines in place of the program's
// own (run/msgout.cpp): messages are formatted into a scratch buffer and
// dropped, and a fatal stop throws FatalStop back to the target instead of
// ending the process, because a settings file with an unknown line ends a run
// on purpose. An internal error is a fault and aborts, which the fuzzer
// reports as a crash.
#ifndef QUILLOG_FUZZ_FUZZSUPPORT_H
#define QUILLOG_FUZZ_FUZZSUPPORT_H

#include "platform/posix/ntapi.h" // the targets call the emulation, and check its own codes
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fz {

// Thrown by fatalexit.
struct FatalStop {};

// A folder of this process's own under $TMPDIR (or /tmp), created on first
// use; the same path for the whole process.
const std::string &workdir();

// Writes bytes to path, replacing the file.
void writebytes(const std::string &path, const uint8_t *data, size_t size);

// Aborts with the message when cond is false: an invariant of the code under
// test does not hold, which the fuzzer reports as a crash.
void check(bool cond, const char *what);

// The number of the next handle the process table hands out: every handle
// opened after this call is at least this value (handle values only grow).
HANDLE nexthandle();

// Closes every handle from first on, for code that a fatal stop left with
// open handles.
void closehandlesfrom(HANDLE first);

} // namespace fz

#endif // QUILLOG_FUZZ_FUZZSUPPORT_H
