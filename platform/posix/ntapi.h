// ntapi.h: the Windows names that the emulation gives or takes and the
// program itself never uses.
//
// platform/win32.h declares what the program calls and the codes it tests
// for, and nothing else. The emulation answers more than that: the error
// codes each call can fail with, flags a caller may pass, and calls such as
// FreeLibrary that only the emulation's own tests make. They are declared
// here, once, with Windows' values, for the emulation and its tests; a
// program that used one would be reaching past the door it builds through.
#ifndef QUILLOG_POSIX_NTAPI_H
#define QUILLOG_POSIX_NTAPI_H

#include "platform/win32.h"

// Error codes, in Windows' order
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_BAD_NETPATH 53L
#define ERROR_BAD_NET_NAME 67L
#define ERROR_FILE_EXISTS 80L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_DISK_FULL 112L
#define ERROR_INVALID_NAME 123L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_WORK_DONE 235L
#define ERROR_DIRECTORY 267L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_FILE_INVALID 1006L
#define ERROR_BADKEY 1010L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_SID 1337L
#define ERROR_EVENTLOG_FILE_CORRUPT 1500L
#define ERROR_LOG_FILE_FULL 1502L
#define ERROR_EVENTLOG_FILE_CHANGED 1503L
#define RPC_S_SERVER_UNAVAILABLE 1722L
// An event too large for the log's format: on Vista and later, ReportEvent
// refuses raw data over 61,440 bytes with this code, and an event must fit
// one 64 KiB chunk of the file.
#define RPC_S_INVALID_BOUND 1734L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L

// Event log service
#define EVENTLOG_BACKWARDS_READ 0x0008
#define EVENTLOG_SUCCESS 0x0000

// Registry
#define DELETE 0x00010000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

// Security
BOOL IsValidSid(PSID pSid);

// Message resources
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
BOOL FreeLibrary(HMODULE hLibModule);

// Files and names
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define TRUNCATE_EXISTING 5
#define FILE_CURRENT 1
#define MAX_COMPUTERNAME_LENGTH 15

#endif // QUILLOG_POSIX_NTAPI_H
