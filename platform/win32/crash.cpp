// Crashes on Windows: the system hands faults to the unhandled-exception filter itself; an abort
// of the C runtime is turned into an exception so that it reaches the filter too.
#include "platform/host.h"

#include <csignal>

namespace {

constexpr DWORD fatal_app_exit = 0x40000015; // STATUS_FATAL_APP_EXIT

// The C runtime calls this on the aborting thread before it ends the process with status 3;
// the exception never returns here when the filter ends the process, and when no filter
// handles it the system's own handling of unhandled exceptions follows.
void abort_as_exception(int) {
    RaiseException(fatal_app_exit, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

} // namespace

LPTOP_LEVEL_EXCEPTION_FILTER kova_host_crash_filter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    std::signal(SIGABRT, filter ? abort_as_exception : SIG_DFL);
    return SetUnhandledExceptionFilter(filter);
}
