// Files, directories, drives, volumes and names of the POSIX platform: the Win32 file API
// over a Wine-like prefix of drive links, plus the host-edge conversions of paths.
#pragma once

#include "platform/posix/base.h"

#include <string>
#include <string_view>

// ---- Constants ------------------------------------------------------------------------------

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr DWORD FILE_READ_DATA = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;
inline constexpr DWORD FILE_APPEND_DATA = 0x0004;
inline constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
inline constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;

inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr DWORD FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
inline constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
inline constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFF))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))

inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;

inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

inline constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x1;
inline constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x2;
inline constexpr DWORD FILE_UNICODE_ON_DISK = 0x4;
inline constexpr DWORD FILE_PERSISTENT_ACLS = 0x8;

inline constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
inline constexpr UINT SEM_NOGPFAULTERRORBOX = 0x0002;
inline constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;

#define MAX_COMPUTERNAME_LENGTH 15

// ---- Records --------------------------------------------------------------------------------

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED *;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW *;

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA *;

enum FILE_INFO_BY_HANDLE_CLASS { FileIoPriorityHintInfo = 12 };
enum PRIORITY_HINT { IoPriorityHintVeryLow = 0, IoPriorityHintLow, IoPriorityHintNormal };
struct FILE_IO_PRIORITY_HINT_INFO {
    PRIORITY_HINT PriorityHint;
};

// A handle ReadFile, WriteFile and FlushFileBuffers work on. Files are one kind; other parts of
// the platform (pipes, for example) derive from it to share those three functions.
struct kova_io_object : kova_object {
    virtual BOOL read(void *buffer, DWORD count, DWORD *done) = 0;
    virtual BOOL write(const void *buffer, DWORD count, DWORD *done) = 0;
    virtual BOOL flush() { return TRUE; }
};

// ---- Files ----------------------------------------------------------------------------------
// Share modes hold between every process of one prefix: an open whose access another handle
// does not share, or whose denied sharing another handle's access breaks, fails with
// ERROR_SHARING_VIOLATION. A file without write permission is read-only, also for root.

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
// Byte-range locks at the overlapped offset; advisory among the processes of this layer (a
// locked range can still be read and written). LOCKFILE_FAIL_IMMEDIATELY: ERROR_LOCK_VIOLATION
// instead of waiting.
inline constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
inline constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD count_low, DWORD count_high,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD count_low, DWORD count_high,
                  LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
DWORD GetFileSize(HANDLE file, LPDWORD size_high);
BOOL SetEndOfFile(HANDLE file);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME access, LPFILETIME write);
BOOL SetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *access,
                 const FILETIME *write);
// Only FileIoPriorityHintInfo is known; the host has no per-file priority, so a valid hint is
// accepted and kept with the handle.
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                DWORD size);

DWORD GetFileAttributesA(LPCSTR name);
DWORD GetFileAttributesW(LPCWSTR name);
BOOL SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL DeleteFileA(LPCSTR name);
BOOL DeleteFileW(LPCWSTR name);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
// Replacing keeps the existing entry's name; write-through flushes the folders involved.
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
inline constexpr DWORD FILE_NAME_NORMALIZED = 0x0;
// The \\?\ DOS path of where the handle's file really is, after every link on the way.
DWORD GetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL fail_if_exists);
UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR out);

// ---- Directories ----------------------------------------------------------------------------

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security);
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryA(LPCSTR name);
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE find);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR *file_part);
DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR *file_part);
DWORD GetTempPathA(DWORD size, LPSTR buffer);

// ---- Drives, volumes and names --------------------------------------------------------------

UINT GetDriveTypeA(LPCSTR root);
DWORD GetLogicalDrives();
BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size, LPDWORD serial,
                           LPDWORD max_component, LPDWORD fs_flags, LPSTR fs_name,
                           DWORD fs_name_size);
DWORD WNetGetConnectionA(LPCSTR local_name, LPSTR remote_name, LPDWORD length);
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
BOOL GetUserNameA(LPSTR buffer, LPDWORD size);
UINT SetErrorMode(UINT mode);

// ---- Environment ----------------------------------------------------------------------------
// Values are ANSI texts; names beginning with '=' (the per-drive current directories) live
// in the process only, since the host environment cannot hold them.

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

// ---- Host edge ------------------------------------------------------------------------------

// The prefix folder ($KOVA_PREFIX, else ~/.kova), created on first use with dosdevices/,
// z: -> / and c: -> drive_c (unless a c: link exists).
std::string kova_prefix();
// The host path (UTF-8) of a DOS path (ANSI), through the drive links and without regard to
// case; components that do not exist are kept as written. Empty, with the Windows error in
// GetLastError, when the path has no drive or cannot be resolved.
[[nodiscard]] std::string kova_host_from_dos(std::string_view dos_path);
// The host folder (UTF-8, absolute) that drive `letter` is linked to; empty without a link.
std::string kova_drive_target(char letter);
// Links drive `letter` to an existing host folder (relative to the working folder when not
// absolute), replacing its link in one step; an empty target removes the link. ERROR_SUCCESS,
// ERROR_INVALID_DRIVE for a letter outside A-Z, ERROR_DIRECTORY when the target is no folder,
// else the Windows error of the host's failure.
DWORD kova_link_drive(char letter, std::string_view host_target);
