// The shell of the POSIX platform: the special folders and the notice that file associations
// changed. The freedesktop side of a file type is a host helper (platform/host.h).
#pragma once

#include "platform/posix/base.h"

// ---- Results --------------------------------------------------------------------------------

using HRESULT = LONG;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr bool SUCCEEDED(HRESULT result) {
    return result >= 0;
}
inline constexpr bool FAILED(HRESULT result) {
    return result < 0;
}
inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u);
}

// ---- Folders --------------------------------------------------------------------------------

inline constexpr int CSIDL_PROGRAM_FILES = 0x0026;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;
inline constexpr DWORD SHGFP_TYPE_CURRENT = 0;

// CSIDL_PROGRAM_FILES is "C:\Program Files" (on the prefix's c: drive), made when
// CSIDL_FLAG_CREATE asks for it. `path` receives MAX_PATH bytes. Other folders: E_INVALIDARG;
// a folder that is missing (and not to be made) or cannot be made: the Windows error as an
// HRESULT.
HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

// ---- Change notices -------------------------------------------------------------------------

inline constexpr LONG SHCNE_ASSOCCHANGED = 0x08000000;
inline constexpr UINT SHCNF_IDLIST = 0x0000;

// SHCNE_ASSOCCHANGED refreshes the MIME and desktop-entry databases of the user's data folder
// with update-mime-database and update-desktop-database, each where the host has it; other
// events have no listener here.
void SHChangeNotify(LONG event, UINT flags, LPCVOID item1, LPCVOID item2);
