// Basic Win32 types, constants, handles and the last-error slot of the POSIX platform.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using INT = int;
using UINT = unsigned int;
using BOOL = int;
using CHAR = char;
using WCHAR = char16_t; // UTF-16 code units, as on Windows
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
// Window-message parameters and results.
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
inline constexpr UINT WM_LBUTTONDOWN = 0x0201;
using SIZE_T = size_t;
using LPSTR = char *;
using LPCSTR = const char *;
using LPWSTR = WCHAR *;
using LPCWSTR = const WCHAR *;
using LPVOID = void *;
using LPCVOID = const void *;
using LPDWORD = DWORD *;
using LPBYTE = BYTE *;
using PBYTE = BYTE *;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define WINAPI

// Every kernel object of the platform (file, find, key, event, process, service ...) is a
// kova_object; a HANDLE points at one and CloseHandle destroys it.
struct kova_object {
    virtual ~kova_object() = default;
};
using HANDLE = kova_object *;
using HWND = struct kova_hwnd *;
using HINSTANCE = struct kova_hinstance *;
using HMODULE = HINSTANCE;
using LPHANDLE = HANDLE *;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    ULONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER *;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;

// Access rights every kind of object shares (files, keys, events, processes, services).
using ACCESS_MASK = DWORD;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD READ_CONTROL = 0x00020000;
inline constexpr DWORD WRITE_DAC = 0x00040000;
inline constexpr DWORD WRITE_OWNER = 0x00080000;
inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr DWORD STANDARD_RIGHTS_READ = READ_CONTROL;
inline constexpr DWORD STANDARD_RIGHTS_WRITE = READ_CONTROL;
inline constexpr DWORD STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
inline constexpr DWORD STANDARD_RIGHTS_ALL = 0x001F0000;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME *;

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME *;

// Windows error numbers the platform reports through GetLastError.
enum : DWORD {
    ERROR_SUCCESS = 0,
    NO_ERROR = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_OUTOFMEMORY = 14,
    ERROR_INVALID_DRIVE = 15,
    ERROR_CURRENT_DIRECTORY = 16,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_WRITE_PROTECT = 19,
    ERROR_NOT_READY = 21,
    ERROR_SEEK = 25,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_HANDLE_EOF = 38,
    ERROR_HANDLE_DISK_FULL = 39,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_BAD_NETPATH = 53,
    ERROR_NETWORK_BUSY = 54,
    ERROR_DEV_NOT_EXIST = 55,
    ERROR_UNEXP_NET_ERR = 59,
    ERROR_BAD_NET_NAME = 67,
    ERROR_FILE_EXISTS = 80,
    ERROR_CANNOT_MAKE = 82,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_OPEN_FAILED = 110,
    ERROR_BUFFER_OVERFLOW = 111,
    ERROR_DISK_FULL = 112,
    ERROR_CALL_NOT_IMPLEMENTED = 120,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_NEGATIVE_SEEK = 131,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_BUSY = 170,
    ERROR_BAD_PATHNAME = 161,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_ENVVAR_NOT_FOUND = 203,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_PIPE_BUSY = 231,
    ERROR_NO_DATA = 232,
    ERROR_MORE_DATA = 234,
    ERROR_WAIT_NO_CHILDREN = 128,
    ERROR_DIRECTORY = 267,
    ERROR_DELETE_PENDING = 303,
    ERROR_INVALID_ADDRESS = 487,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_NOACCESS = 998,
    ERROR_CANTOPEN = 1011,
    ERROR_CANTREAD = 1012,
    ERROR_CANTWRITE = 1013,
    ERROR_REGISTRY_CORRUPT = 1015,
    ERROR_KEY_DELETED = 1018,
    ERROR_BADKEY = 1010,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_NOT_OWNER = 288,
    ERROR_INVALID_SERVICE_CONTROL = 1052,
    ERROR_SERVICE_REQUEST_TIMEOUT = 1053,
    ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061,
    ERROR_SERVICE_MARKED_FOR_DELETE = 1072,
    ERROR_SERVICE_EXISTS = 1073,
    ERROR_DATABASE_DOES_NOT_EXIST = 1065,
    ERROR_PROCESS_ABORTED = 1067,
    ERROR_NO_ASSOCIATION = 1155,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    ERROR_SERVICE_DOES_NOT_EXIST = 1060,
    ERROR_SERVICE_ALREADY_RUNNING = 1056,
    ERROR_SERVICE_DISABLED = 1058,
    ERROR_SERVICE_NOT_ACTIVE = 1062,
    ERROR_NO_UNICODE_TRANSLATION = 1113,
    ERROR_TIMEOUT = 1460,
    ERROR_FILE_INVALID = 1006,
    ERROR_USER_MAPPED_FILE = 1224,
    ERROR_NOT_FOUND = 1168,
    ERROR_CANT_RESOLVE_FILENAME = 1921,
    ERROR_BAD_DEVICE = 1200,
    ERROR_NOT_CONNECTED = 2250,
};

DWORD GetLastError();
void SetLastError(DWORD code);

// Closes any handle of the platform; FALSE with ERROR_INVALID_HANDLE for a null or invalid one.
BOOL CloseHandle(HANDLE handle);

void Sleep(DWORD milliseconds);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// The process's heap. HeapCompact hands the heap's free memory back to the system, so that a
// long-running process that freed much no longer holds it; it answers 0.
HANDLE GetProcessHeap();
SIZE_T HeapCompact(HANDLE heap, DWORD flags);

// The Windows error number for a host errno value; `missing_dir` picks 3 over 2 for ENOENT
// when the containing directory is what is missing.
DWORD kova_error_from_errno(int err, bool missing_dir = false);
