// Last error, handles, sleeping and tick counts of the POSIX platform.
#include "platform/win32.h"

#include <cerrno>
#include <ctime>
#include <malloc.h>

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

BOOL CloseHandle(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete handle;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

ULONGLONG GetTickCount64() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

HANDLE GetProcessHeap() {
    // It only names the one heap there is; as on Windows, it is never closed.
    static kova_object heap;
    return &heap;
}

SIZE_T HeapCompact(HANDLE, DWORD) {
    // Free pages inside the heap are returned too, not only those at its end.
    malloc_trim(0);
    return 0;
}

DWORD kova_error_from_errno(int err, bool missing_dir) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return missing_dir ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_BUSY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case EIO: return ERROR_GEN_FAILURE;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_GEN_FAILURE;
    }
}
