// The unhandled-exception filter on POSIX: SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT become
// Windows exceptions handed to the program's filter on the faulting thread, after which the
// process ends by the signal.
#include "platform/host.h"
#include "platform/win32.h"

#include "crash_internal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <mutex>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int fatal_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> current_filter{nullptr};
std::atomic<bool> handling{false};
std::once_flag installed;

// A stack of its own for the installing thread: a stack overflow leaves no room on the
// thread's own stack for the filter.
alignas(16) char alternate_stack[256 * 1024];

DWORD exception_code(int signal_number, int code) {
    switch (signal_number) {
    case SIGSEGV:
        return EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
        return EXCEPTION_IN_PAGE_ERROR;
    case SIGILL:
        return EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
        if (code == FPE_INTDIV) return EXCEPTION_INT_DIVIDE_BY_ZERO;
        if (code == FPE_INTOVF) return EXCEPTION_INT_OVERFLOW;
        if (code == FPE_FLTDIV) return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        return EXCEPTION_FLT_INVALID_OPERATION;
    default:
        return STATUS_FATAL_APP_EXIT;
    }
}

void on_fatal_signal(int signal_number, siginfo_t *info, void *machine) {
    // Another thread's fault while the filter runs waits for the process to end; a fault of
    // the filter's own thread cannot come here again (the handler was reset on entry).
    if (handling.exchange(true)) {
        for (;;) pause();
    }
    CONTEXT context{signal_number, info, machine};
    EXCEPTION_RECORD record{};
    record.ExceptionCode = exception_code(signal_number, info ? info->si_code : 0);
    record.ExceptionAddress = kova_crash_instruction(&context);
    if (signal_number == SIGSEGV || signal_number == SIGBUS) {
        record.NumberParameters = 2;
        record.ExceptionInformation[1] =
            reinterpret_cast<ULONG_PTR>(info ? info->si_addr : nullptr);
    }
    EXCEPTION_POINTERS pointers{&record, &context};
    if (LPTOP_LEVEL_EXCEPTION_FILTER filter = current_filter.load()) filter(&pointers);
    // Either answer ends the process, by the signal itself, as the host reports a crash: the
    // signal is blocked while the handler runs, and is delivered with its default action as
    // soon as it returns.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void install_handlers() {
    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    sigaltstack(&stack, nullptr);
    // The unwinder is loaded now, while loading it is still safe.
    void *frame[1];
    backtrace(frame, 1);
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal_number : fatal_signals) sigaction(signal_number, &action, nullptr);
}

} // namespace

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    std::call_once(installed, install_handlers);
    return current_filter.exchange(filter);
}

// The signals the filter is installed for include SIGABRT already.
LPTOP_LEVEL_EXCEPTION_FILTER kova_host_crash_filter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    return SetUnhandledExceptionFilter(filter);
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

void *kova_crash_instruction(const CONTEXT *context) {
    if (!context || !context->machine) return nullptr;
    const auto *machine = static_cast<const ucontext_t *>(context->machine);
#if defined(__x86_64__)
    return reinterpret_cast<void *>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<void *>(machine->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void *>(machine->uc_mcontext.pc);
#else
    (void)machine;
    return nullptr;
#endif
}
