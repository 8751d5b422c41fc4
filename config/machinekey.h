// machinekey.h: one value of a key of the target computer's
// HKEY_LOCAL_MACHINE, read with every key that is opened closed again.
#ifndef QUILLOG_CONFIG_MACHINEKEY_H
#define QUILLOG_CONFIG_MACHINEKEY_H

#include "platform/win32.h"

// The call of readmachinevalue that failed.
enum MachineKeyStep {
    StepConnect, // RegConnectRegistryA (a remote computer)
    StepOpen,    // RegOpenKeyExA of the key
    StepName,    // no value name was given: the key opened, nothing was read
    StepQuery    // RegQueryValueExA of the value
};

// Reads the value `name` of `keypath` under HKEY_LOCAL_MACHINE of computer
// (null: the local computer) into data, whose size *size gives; *size
// receives the size of the data. The value's type is not asked for. Returns
// 0, or the failing call's result with *failed naming the call (StepName:
// ERROR_INVALID_PARAMETER). Every key it opens is closed before it returns,
// on every path.
LONG readmachinevalue(const char *computer, const char *keypath, const char *name, BYTE *data, DWORD *size,
                      MachineKeyStep *failed);

#endif // QUILLOG_CONFIG_MACHINEKEY_H
