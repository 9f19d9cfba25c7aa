// The Win32 surface the kernel calls. On Windows it is the system's own; elsewhere the POSIX
// platform implements the subset the kernel uses, with Windows semantics and error numbers.
#pragma once

#ifdef _WIN32
#include <windows.h>
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
