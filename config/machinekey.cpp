// machinekey.cpp: a value of the target computer's HKEY_LOCAL_MACHINE.
#include "config/machinekey.h"

LONG readmachinevalue(const char *computer, const char *keypath, const char *name, BYTE *data, DWORD *size,
                      MachineKeyStep *failed) {
    HKEY root = HKEY_LOCAL_MACHINE, remote = nullptr, key = nullptr;
    if (computer) {
        LONG rc = RegConnectRegistryA(computer, HKEY_LOCAL_MACHINE, &remote);
        if (rc != ERROR_SUCCESS) {
            *failed = StepConnect;
            return rc;
        }
        root = remote;
    }
    LONG rc = RegOpenKeyExA(root, keypath, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        *failed = StepOpen;
    } else {
        if (!name) {
            *failed = StepName;
            rc = ERROR_INVALID_PARAMETER;
        } else {
            rc = RegQueryValueExA(key, name, nullptr, nullptr, data, size);
            *failed = StepQuery;
        }
        RegCloseKey(key);
    }
    if (remote) RegCloseKey(remote);
    return rc;
}
