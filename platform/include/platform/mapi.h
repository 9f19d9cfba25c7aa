// The Simple MAPI surface the mail layer calls: the system's own on Windows, the platform's
// built-in stand-in elsewhere.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <mapi.h>
// mingw-w64's <mapi.h> declares the other entry points' function types but only a pointer
// type for MAPIFreeBuffer.
using MAPIFREEBUFFER = ULONG WINAPI(LPVOID buffer);
#else
#include "platform/posix/mapi.h"
#endif
