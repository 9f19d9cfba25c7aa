// Crashes on POSIX: the fatal signals reach the program's unhandled-exception filter as
// Windows exceptions, and a built-in dbghelp writes the postmortem file, a text report
// (signal, faulting address, backtrace, memory map) in place of the Windows minidump.
#pragma once

#include "platform/posix/base.h"

#include <string>

// ---- Exceptions -----------------------------------------------------------------------------

// The exception codes the fatal signals arrive as.
inline constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005;      // SIGSEGV
inline constexpr DWORD EXCEPTION_IN_PAGE_ERROR = 0xC0000006;         // SIGBUS
inline constexpr DWORD EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001D;   // SIGILL
inline constexpr DWORD EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008E;    // SIGFPE, FPE_FLTDIV
inline constexpr DWORD EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090; // SIGFPE, other codes
inline constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094;    // SIGFPE, FPE_INTDIV
inline constexpr DWORD EXCEPTION_INT_OVERFLOW = 0xC0000095;          // SIGFPE, FPE_INTOVF
inline constexpr DWORD STATUS_FATAL_APP_EXIT = 0x40000015;           // SIGABRT

inline constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;

struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD *ExceptionRecord;
    LPVOID ExceptionAddress; // the faulting instruction, when the host says
    DWORD NumberParameters;
    // Access violations and page errors: [0] 0 (read or write, the host does not say) and
    // [1] the address that could not be reached.
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
using PEXCEPTION_RECORD = EXCEPTION_RECORD *;

// The machine state of the faulting thread; its contents belong to the platform.
struct CONTEXT;
using PCONTEXT = CONTEXT *;

struct EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT ContextRecord;
};
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS *;

inline constexpr LONG EXCEPTION_EXECUTE_HANDLER = 1;
inline constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;

using LPTOP_LEVEL_EXCEPTION_FILTER = LONG(WINAPI *)(PEXCEPTION_POINTERS exception);

// Installs the filter called when a thread receives SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT
// (null removes it) and answers the previous one. The filter runs on the faulting thread (the
// installing thread on a stack of its own, so that a stack overflow still reaches it); whatever
// it answers, the process then ends by the signal, as the host reports a crash. A second fault
// while the filter runs ends the process at once; a fault of another thread meanwhile waits.
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// The pseudo-handle of the running process.
HANDLE GetCurrentProcess();

// ---- Postmortem files (dbghelp.dll, built in) -----------------------------------------------

using MINIDUMP_TYPE = DWORD;

struct MINIDUMP_EXCEPTION_INFORMATION {
    DWORD ThreadId;
    PEXCEPTION_POINTERS ExceptionPointers;
    BOOL ClientPointers;
};
using PMINIDUMP_EXCEPTION_INFORMATION = MINIDUMP_EXCEPTION_INFORMATION *;
struct MINIDUMP_USER_STREAM_INFORMATION;

// The callback that chooses what a minidump holds: the members the kernel sets, with the
// system's names. The built-in dbghelp writes no minidump and never calls it.
enum MINIDUMP_CALLBACK_TYPE : ULONG {
    ModuleCallback = 0,
    ThreadCallback = 1,
    ThreadExCallback = 2,
    IncludeThreadCallback = 3,
    IncludeModuleCallback = 4,
    MemoryCallback = 5,
    CancelCallback = 6,
    ReadMemoryFailureCallback = 14,
};
inline constexpr ULONG ModuleWriteDataSeg = 0x0002;

struct MINIDUMP_MODULE_CALLBACK {
    WCHAR *FullPath;
    uint64_t BaseOfImage;
    ULONG SizeOfImage;
};

struct MINIDUMP_CALLBACK_INPUT {
    ULONG ProcessId;
    HANDLE ProcessHandle;
    ULONG CallbackType;
    union {
        LONG Status;
        MINIDUMP_MODULE_CALLBACK Module;
    };
};
using PMINIDUMP_CALLBACK_INPUT = MINIDUMP_CALLBACK_INPUT *;

struct MINIDUMP_CALLBACK_OUTPUT {
    union {
        ULONG ModuleWriteFlags;
        ULONG ThreadWriteFlags;
        struct {
            BOOL CheckCancel;
            BOOL Cancel;
        };
    };
};
using PMINIDUMP_CALLBACK_OUTPUT = MINIDUMP_CALLBACK_OUTPUT *;

using MINIDUMP_CALLBACK_ROUTINE = BOOL(WINAPI *)(void *parameter, PMINIDUMP_CALLBACK_INPUT input,
                                                 PMINIDUMP_CALLBACK_OUTPUT output);
struct MINIDUMP_CALLBACK_INFORMATION {
    MINIDUMP_CALLBACK_ROUTINE CallbackRoutine;
    void *CallbackParam;
};

struct API_VERSION {
    WORD MajorVersion;
    WORD MinorVersion;
    WORD Revision;
    WORD Reserved;
};
using LPAPI_VERSION = API_VERSION *;

// The exports of the built-in "dbghelp.dll", reached through LoadLibraryA and GetProcAddress:
//
//   BOOL MiniDumpWriteDump(HANDLE process, DWORD process_id, HANDLE file, MINIDUMP_TYPE type,
//                          PMINIDUMP_EXCEPTION_INFORMATION exception,
//                          MINIDUMP_USER_STREAM_INFORMATION *user_streams,
//                          MINIDUMP_CALLBACK_INFORMATION *callback);
//   LPAPI_VERSION ImagehlpApiVersion();
//
// MiniDumpWriteDump writes the postmortem file of the running process into `file`: program,
// process and thread, time, host system, the signal and its addresses (when `exception` is
// given, else that the file was asked for), the backtrace of the calling thread (from the
// faulting frame when there is one) and the memory map. The type, user streams and callback
// shape a minidump's streams and have nothing to choose in this text. FALSE with the Windows
// error when the file cannot be written. ImagehlpApiVersion answers 10.0.
