// The Windows Sockets surface, kept apart from the rest of the Win32 surface as Windows keeps
// <winsock2.h> apart from <windows.h>: its names (socket, sockaddr, AF_INET ...) are also the
// host's own, and a source that reaches the host's socket headers through a library must not
// see both.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
// <winsock2.h> came with the Win32 surface, before <windows.h>; these build on both.
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <wsipx.h>
#include <wsnwlink.h>
#else
#include "platform/posix/sockets.h"
#endif
