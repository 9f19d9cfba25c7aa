// Interruptions noted for the run's loops to act on at the next step boundary.
#include "patch/interrupt.h"

#include "platform/win32.h"

#include <atomic>

namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI note_interruption(DWORD) {
    interrupted = true;
    return TRUE; // handled: the run finishes its step, rolls back and ends by itself
}

} // namespace

void patch_catch_interruptions() {
    static bool installed = false;
    if (installed) return;
    installed = SetConsoleCtrlHandler(note_interruption, TRUE);
}

bool patch_interrupted() {
    return interrupted;
}
