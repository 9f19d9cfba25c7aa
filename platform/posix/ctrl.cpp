// Console control handlers over POSIX signals: a signal handler hands the signal to a thread
// through a pipe, and that thread calls the registered handlers as Windows would.
#include "platform/win32.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex lock;
std::vector<PHANDLER_ROUTINE> handlers;
bool ignore_ctrl_c = false;
bool installed = false;
int wake[2] = {-1, -1};

constexpr int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

void on_signal(int sig) {
    unsigned char byte = static_cast<unsigned char>(sig);
    int saved = errno;
    ssize_t ignored = write(wake[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

DWORD ctrl_type_of(int sig) {
    switch (sig) {
    case SIGINT:
        return CTRL_C_EVENT;
    case SIGQUIT:
        return CTRL_BREAK_EVENT;
    default:
        return CTRL_CLOSE_EVENT;
    }
}

void dispatch() {
    for (;;) {
        unsigned char byte;
        ssize_t n = read(wake[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        int sig = byte;
        DWORD type = ctrl_type_of(sig);
        std::vector<PHANDLER_ROUTINE> now;
        bool ignored;
        {
            std::lock_guard<std::mutex> guard(lock);
            now = handlers;
            ignored = ignore_ctrl_c && type == CTRL_C_EVENT;
        }
        if (ignored) continue;
        bool handled = false;
        for (auto it = now.rbegin(); it != now.rend() && !handled; ++it) handled = (*it)(type);
        if (!handled) {
            // The default handler: end the process the way the signal itself would.
            std::signal(sig, SIG_DFL);
            std::raise(sig);
            _exit(128 + sig);
        }
    }
}

void install() {
    if (installed) return;
    if (pipe2(wake, O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : signals) sigaction(sig, &action, nullptr);
    std::thread(dispatch).detach();
    installed = true;
}

} // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    std::lock_guard<std::mutex> guard(lock);
    if (!routine) {
        ignore_ctrl_c = add != FALSE;
        install();
        return installed ? TRUE : FALSE;
    }
    if (add) {
        install();
        if (!installed) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        handlers.push_back(routine);
        return TRUE;
    }
    auto it = std::find(handlers.rbegin(), handlers.rend(), routine);
    if (it == handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    handlers.erase(std::next(it).base());
    return TRUE;
}
