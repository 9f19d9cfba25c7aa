// Modules of the POSIX platform: the few libraries the kernel loads by name at run time are
// built into the platform, as Wine builds its DLLs in, and are there only when what they
// stand on exists on the host. SearchPathA finds files as Windows does.
#pragma once

#include "platform/posix/base.h"

using FARPROC = intptr_t (*)();

// Looks for `file_name` (with `extension` added when the name has none) in the folders of
// `path` (separated by semicolons) or, without one, in the program's folder, the current
// directory and the folders of the host's PATH. A built-in module that can be loaded is found
// in C:\windows\system32\. Answers the length of the full path copied into `buffer`, the size
// needed (with its NUL) when the buffer is too small, or 0 with ERROR_FILE_NOT_FOUND.
DWORD SearchPathA(LPCSTR path, LPCSTR file_name, LPCSTR extension, DWORD size, LPSTR buffer,
                  LPSTR *file_part);

// Built-in modules only, by their file name (any folder, ".dll" added when the name has no
// extension, without regard to case); each load counts, each FreeLibrary releases one.
// ERROR_MOD_NOT_FOUND for a module the platform does not have or cannot offer on this host.
HMODULE LoadLibraryA(LPCSTR name);
// ERROR_PROC_NOT_FOUND for a name the module does not export.
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
