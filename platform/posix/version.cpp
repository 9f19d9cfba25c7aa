// The version of Windows the POSIX platform answers as: the NT family, 10.0, a workstation.
#include "platform/win32.h"

#include <cstring>

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                  info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 10;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 19045;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
        auto *ex = reinterpret_cast<OSVERSIONINFOEXA *>(info);
        ex->wServicePackMajor = ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x0100; // VER_SUITE_SINGLEUSERTS, as a workstation reports
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}
