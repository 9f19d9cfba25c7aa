// Processes, waits, named events, mutexes and file mappings, the service control manager and
// the version of the POSIX platform.
#pragma once

#include "platform/posix/base.h"
#include "platform/posix/registry.h"

// ---- Waits ----

#define INFINITE 0xFFFFFFFFu
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// A handle that WaitForSingleObject can wait on. Other parts of the platform derive their
// waitable objects from it.
struct kova_waitable : kova_object {
    // Waits up to `timeout` milliseconds (INFINITE: without limit) for the object to be
    // signalled and answers a WAIT_ code, as WaitForSingleObject does.
    virtual DWORD wait_for(DWORD timeout) = 0;
};

// WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that cannot be waited on.
DWORD WaitForSingleObject(HANDLE handle, DWORD timeout);

// ---- Processes ----

#define STILL_ACTIVE 259u

inline constexpr DWORD DEBUG_PROCESS = 0x00000001;
inline constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
inline constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
inline constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
inline constexpr DWORD DETACHED_PROCESS = 0x00000008;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;

inline constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

// Show modes, as for ShowWindow.
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_NORMAL = 1;
inline constexpr int SW_SHOWMINIMIZED = 2;
inline constexpr int SW_SHOWMAXIMIZED = 3;
inline constexpr int SW_MAXIMIZE = 3;
inline constexpr int SW_SHOWNOACTIVATE = 4;
inline constexpr int SW_SHOW = 5;
inline constexpr int SW_MINIMIZE = 6;
inline constexpr int SW_SHOWMINNOACTIVE = 7;
inline constexpr int SW_SHOWNA = 8;
inline constexpr int SW_RESTORE = 9;
inline constexpr int SW_SHOWDEFAULT = 10;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
using LPSTARTUPINFOA = STARTUPINFOA *;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION *;

// The command line is split by the Windows rules; without an application name its first
// element is the program, a DOS path (completed with ".exe" when that names a file, searched
// in the current directory and then on the host's PATH when it has no folder). The program
// runs with posix_spawn; one the host cannot execute fails with ERROR_BAD_EXE_FORMAT, a
// missing one with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND. Standard handles of the
// start-up information are not supported (ERROR_INVALID_PARAMETER).
BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process_sa,
                    LPSECURITY_ATTRIBUTES thread_sa, BOOL inherit_handles, DWORD creation_flags,
                    LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION info);
// STILL_ACTIVE while the process runs; a process ended by a signal reports 128 + the signal,
// one ended by TerminateProcess the code given there.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
// A host program has no message queue: it counts as idle at once.
DWORD WaitForInputIdle(HANDLE process, DWORD timeout);
DWORD GetProcessId(HANDLE process);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
// The host's session of a process: the process id of its session leader.
BOOL ProcessIdToSessionId(DWORD process_id, DWORD *session);
// Only the running process (GetCurrentProcess()): the processors its threads may run on, from
// the host's affinity mask (the first 64). The system mask is the processors the host has.
BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR *process_mask, DWORD_PTR *system_mask);

inline constexpr ULONG SEE_MASK_DEFAULT = 0x00000000;
inline constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
inline constexpr ULONG SEE_MASK_NOASYNC = 0x00000100;
inline constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;

// ShellExecute's own results in hInstApp; above 32 means success.
inline constexpr UINT_PTR SE_ERR_FNF = 2;
inline constexpr UINT_PTR SE_ERR_PNF = 3;
inline constexpr UINT_PTR SE_ERR_ACCESSDENIED = 5;
inline constexpr UINT_PTR SE_ERR_OOM = 8;
inline constexpr UINT_PTR SE_ERR_NOASSOC = 31;

struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void *lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
};
using LPSHELLEXECUTEINFOA = SHELLEXECUTEINFOA *;

// Runs lpFile (a DOS path, found as for CreateProcessA) with lpParameters split by the Windows
// rules, in lpDirectory when given. The verbs are none, "open" and "runas"; a file the host
// cannot execute has no association here (ERROR_NO_ASSOCIATION). SW_HIDE runs the program
// with its standard streams on /dev/null, other show modes on the caller's.
BOOL ShellExecuteExA(SHELLEXECUTEINFOA *info);

// ---- Named events and mutexes ----

inline constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
inline constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;

// Named objects ("Global\name", "Local\name" or "name", compared with case as on Windows) are
// files in $KOVA_PREFIX/objects/ shared by every process of the prefix. Every open handle
// holds a lock on its object's file, so an object exists exactly while some process holds a
// handle to it: OpenEventA fails with ERROR_FILE_NOT_FOUND once the last holder closed it (or
// ended). Creating an existing object opens it and sets ERROR_ALREADY_EXISTS; a name used by
// the other kind of object fails with ERROR_INVALID_HANDLE. A change wakes the waiters of
// every process at once (a futex in the object's file).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// A mutex whose owner ended without releasing it is abandoned: the next wait takes it and
// answers WAIT_ABANDONED.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
// ERROR_NOT_OWNER unless the calling thread owns the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// Host edge: waits up to `timeout` milliseconds until no process holds a handle to the named
// event or mutex (the calling process must have closed its own). WAIT_OBJECT_0 once nobody
// holds it, else WAIT_TIMEOUT.
[[nodiscard]] DWORD kova_wait_until_unheld(LPCSTR name, DWORD timeout);

// ---- File mappings ----

inline constexpr DWORD PAGE_READONLY = 0x02;
inline constexpr DWORD PAGE_READWRITE = 0x04;
inline constexpr DWORD FILE_MAP_WRITE = 0x0002;
inline constexpr DWORD FILE_MAP_READ = 0x0004;
inline constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;

// Mappings backed by the paging file only (`file` must be INVALID_HANDLE_VALUE; another
// handle fails with ERROR_NOT_SUPPORTED). A named mapping shares the named objects' namespace
// and lifetime: it exists while some process holds a handle to it or a view of it, its
// content starts zeroed, and a stale one of ended processes counts as absent. Creating an
// existing mapping opens it as it stands (ERROR_ALREADY_EXISTS); opening a missing one fails
// with ERROR_FILE_NOT_FOUND. Views of one mapping in any process see the same bytes.
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                          DWORD size_high, DWORD size_low, LPCSTR name);
HANDLE OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
// A view keeps its mapping alive after the mapping's handle is closed, as on Windows.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low,
                     SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID address);

// ---- Service control manager ----

// Services are the keys HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\<name>, with
// ImagePath a host command line. StartServiceA runs it as a detached process (its own
// session, standard streams on /dev/null) that holds a lock in $KOVA_PREFIX/services/ for as
// long as it (or a child that inherited the lock) lives: the service runs exactly that long.
using SC_HANDLE = struct kova_sc_object *;
using LPSC_HANDLE = SC_HANDLE *;

inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_LOCK = 0x0008;
inline constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
inline constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0x000F003F;

inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0x000F01FF;

inline constexpr DWORD SERVICE_KERNEL_DRIVER = 0x01;
inline constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x02;
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;

inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;

inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

#define SERVICE_NO_CHANGE 0xFFFFFFFFu

inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;

inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 1;

struct QUERY_SERVICE_CONFIGA {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPSTR lpBinaryPathName;
    LPSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPSTR lpDependencies;
    LPSTR lpServiceStartName;
    LPSTR lpDisplayName;
};
using LPQUERY_SERVICE_CONFIGA = QUERY_SERVICE_CONFIGA *;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS *;

// Only this machine has a service control manager here: a null or empty machine name, or
// this computer's name (with or without leading backslashes). Another machine fails with
// RPC_S_SERVER_UNAVAILABLE, another database than "ServicesActive" with
// ERROR_DATABASE_DOES_NOT_EXIST.
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR service_name, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR service_name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCSTR binary_path, LPCSTR load_order_group, LPDWORD tag_id,
                         LPCSTR dependencies, LPCSTR service_start_name, LPCSTR password);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD service_type, DWORD start_type,
                          DWORD error_control, LPCSTR binary_path, LPCSTR load_order_group,
                          LPDWORD tag_id, LPCSTR dependencies, LPCSTR service_start_name,
                          LPCSTR password, LPCSTR display_name);
// Windows semantics: with a buffer too small (or none) fails with ERROR_INSUFFICIENT_BUFFER
// and sets *bytes_needed; the texts follow the record in the same buffer.
BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD buffer_size,
                         LPDWORD bytes_needed);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
// The arguments follow the program's own from ImagePath. ERROR_SERVICE_ALREADY_RUNNING,
// ERROR_SERVICE_DISABLED, or the error of starting the program.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv);
// SERVICE_CONTROL_STOP sends SIGTERM to the service's process group and answers the status
// (stop pending until the process has gone); ERROR_SERVICE_NOT_ACTIVE when it is not running.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// ---- Version ----

inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
inline constexpr BYTE VER_NT_WORKSTATION = 1;
inline constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;
inline constexpr BYTE VER_NT_SERVER = 3;

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA *;

struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};

// The NT family, version 10.0 (build 19045), a workstation without a service pack. The size
// field chooses between the two records; any other size fails with ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExA(LPOSVERSIONINFOA info);
