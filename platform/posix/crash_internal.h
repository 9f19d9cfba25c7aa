// What the crash handler hands the built-in dbghelp: the host's account of the fault behind
// the CONTEXT of an exception. Internal to platform/posix.
#pragma once

#include "platform/win32.h"

#include <csignal>

struct CONTEXT {
    int signal_number;
    siginfo_t *info; // may be null
    void *machine;   // the handler's ucontext_t, may be null
};

// The faulting instruction of the context, or null when the host does not say.
void *kova_crash_instruction(const CONTEXT *context);
