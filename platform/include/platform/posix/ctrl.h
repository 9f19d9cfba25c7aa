// Console control handlers of the POSIX platform: the interrupt, quit, hang-up and termination
// signals reach a program as Windows console control events.
#pragma once

#include "platform/posix/base.h"

enum : DWORD {
    CTRL_C_EVENT = 0,     // SIGINT
    CTRL_BREAK_EVENT = 1, // SIGQUIT
    CTRL_CLOSE_EVENT = 2, // SIGHUP, and SIGTERM (a stopping service, the end of a session)
    CTRL_LOGOFF_EVENT = 5,
    CTRL_SHUTDOWN_EVENT = 6,
};

using PHANDLER_ROUTINE = BOOL(WINAPI *)(DWORD ctrl_type);

// As on Windows: handlers run on a thread of their own, the most recently added first, until
// one answers TRUE; when none does the process ends as the signal would end it. A null routine
// with `add` TRUE makes the process ignore CTRL_C_EVENT.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);
