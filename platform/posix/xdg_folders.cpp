// The shell's special folders on POSIX: the programs' folder lives on the prefix's c: drive,
// as Wine keeps it.
#include "platform/win32.h"

#include <cstring>

HRESULT SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
    if (!path) return E_INVALIDARG;
    path[0] = '\0';
    if ((folder & ~CSIDL_FLAG_CREATE) != CSIDL_PROGRAM_FILES) return E_INVALIDARG;
    static const char program_files[] = "C:\\Program Files";
    DWORD attributes = GetFileAttributesA(program_files);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!(folder & CSIDL_FLAG_CREATE)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        if (!CreateDirectoryA(program_files, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return HRESULT_FROM_WIN32(GetLastError());
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    }
    memcpy(path, program_files, sizeof program_files);
    return S_OK;
}
