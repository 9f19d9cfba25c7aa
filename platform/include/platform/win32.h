// The Win32 surface the kernel calls. On Windows it is the system's own; elsewhere the POSIX
// platform implements the subset the kernel uses, with Windows semantics and error numbers.
#pragma once

#ifdef _WIN32
// <winsock2.h> must come before <windows.h>, which would otherwise bring the old <winsock.h>
// whose declarations clash with it. The kernel uses std::min and std::max, never the macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include <windows.h>

// What the kernel calls beyond <windows.h>: the shell (ShellExecuteExA, CommandLineToArgvW,
// SHGetFolderPathA, SHChangeNotify), the postmortem records of dbghelp and the common controls
// of the progress and wait windows.
#include <commctrl.h>
#include <dbghelp.h>
#include <shellapi.h>
#include <shlobj.h>
#else
#include "platform/posix/base.h"
#include "platform/posix/codepage.h"
#include "platform/posix/clock.h"
#include "platform/posix/registry.h"
#include "platform/posix/system.h"
#include "platform/posix/ctrl.h"
#include "platform/posix/cmdline.h"
#include "platform/posix/files.h"
#include "platform/posix/console.h"
#include "platform/posix/module.h"
#include "platform/posix/crash.h"
#include "platform/posix/xdg.h"
#endif
