// Code-page conversions: the kernel's 8-bit texts are Windows-1252 (CP_ACP), wide texts are
// UTF-16, and the host side (names, environment, arguments, terminal) is UTF-8.
#pragma once

#include "platform/posix/base.h"

#include <string>
#include <string_view>

enum : UINT { CP_ACP = 0, CP_OEMCP = 1, CP_1252 = 1252, CP_UTF8 = 65001 };
#define MB_ERR_INVALID_CHARS 0x8

// The ANSI code page: Windows-1252 on this platform.
UINT GetACP();
#define WC_NO_BEST_FIT_CHARS 0x400

// Windows semantics: a length of -1 includes the terminating null; a size of 0 asks for the
// length needed. Answers the number of units written (or needed), 0 on failure.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int wide_size);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int length, LPSTR text, int size,
                        LPCSTR default_char, BOOL *used_default);
