// The process's command line on POSIX: the host argument vector, handed over once by the
// program's entry, seen by the kernel as a Windows command line of DOS paths.
#pragma once

#include "platform/posix/base.h"

using HLOCAL = void *;

// The command line as one text, every argument quoted by the Windows rules where it needs it.
// The text lives until the process ends.
LPWSTR GetCommandLineW();
LPSTR GetCommandLineA();

// Splits a command line by the Windows rules into an array of arguments, allocated as one
// block that LocalFree releases. An empty command line gives the program's path alone.
LPWSTR *CommandLineToArgvW(LPCWSTR command_line, int *count);
// Releases a block that the platform handed out (CommandLineToArgvW); answers null.
HLOCAL LocalFree(HLOCAL memory);

// The running program's full path in DOS form (a null module means the program itself). A
// short buffer receives as much as fits, NUL-terminated, the answer is `size` and the last
// error ERROR_INSUFFICIENT_BUFFER; otherwise the answer is the length without the NUL.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
