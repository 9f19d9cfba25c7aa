// The Windows Sockets surface, kept apart from the rest of the Win32 surface as Windows keeps
// <winsock2.h> apart from <windows.h>: its names (socket, sockaddr, AF_INET ...) are also the
// host's own, and a source that reaches the host's socket headers through a library must not
// see both.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <mstcpip.h>
#include <winsock2.h>
#else
#include "platform/posix/sockets.h"
#endif
