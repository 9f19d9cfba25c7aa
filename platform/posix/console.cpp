// The terminal on POSIX: the visible desktop, the bell, terminal output with the code-page
// conversion, and key-at-a-time input that always gives the terminal back as it was.
#include "platform/host.h"
#include "platform/win32.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The desktop is the one window of this platform; its handle only needs to be unique.
char desktop_window_tag;
HWND desktop_window() {
    return reinterpret_cast<HWND>(&desktop_window_tag);
}

// ---- Key mode -------------------------------------------------------------------------------
// The saved line mode lives in plain globals so that a signal handler can put it back.

std::mutex keys_lock;
int keys_depth = 0;
bool saved_valid = false;
termios saved_mode;
constexpr int restored_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved_actions[std::size(restored_signals)];

void restore_line_mode() {
    if (saved_valid) tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
}

void on_terminating_signal(int sig) {
    restore_line_mode();
    signal(sig, SIG_DFL);
    raise(sig);
}

void restore_at_exit() {
    if (saved_valid) restore_line_mode();
}

} // namespace

HWND GetDesktopWindow() {
    return desktop_window();
}

BOOL IsWindowVisible(HWND window) {
    if (window != desktop_window()) return FALSE;
    const char *unattended = std::getenv("KOVA_UNATTENDED");
    if (unattended && std::strcmp(unattended, "1") == 0) return FALSE;
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

BOOL MessageBeep(UINT) {
    if (IsWindowVisible(desktop_window())) kova_console_write(KOVA_STDERR, "\a");
    return TRUE;
}

void kova_console_attach_parent() {}

bool kova_console_borrowed() {
    return false;
}

bool kova_console_has_stream(kova_stream stream) {
    return fcntl(stream, F_GETFD) != -1;
}

bool kova_console_is_terminal(kova_stream stream) {
    return isatty(stream) == 1;
}

void kova_console_write(kova_stream stream, std::string_view ansi) {
    if (stream != KOVA_STDOUT && stream != KOVA_STDERR) return;
    std::string utf8 = kova_utf8_from_ansi(ansi);
    size_t done = 0;
    while (done < utf8.size()) {
        ssize_t n = write(stream, utf8.data() + done, utf8.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int kova_console_rows(kova_stream stream) {
    winsize size{};
    if (ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_row;
}

int kova_console_columns(kova_stream stream) {
    winsize size{};
    if (ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void kova_console_keys(bool on) {
    std::lock_guard<std::mutex> lock(keys_lock);
    if (on) {
        if (keys_depth++ > 0 || !isatty(STDIN_FILENO)) return;
        if (tcgetattr(STDIN_FILENO, &saved_mode) != 0) return;
        static bool exit_hook = false;
        if (!exit_hook) exit_hook = std::atexit(restore_at_exit) == 0;
        struct sigaction action {};
        action.sa_handler = on_terminating_signal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(restored_signals); ++i)
            sigaction(restored_signals[i], &action, &saved_actions[i]);
        saved_valid = true;
        termios keys = saved_mode;
        // Keys arrive one by one and unechoed; signals (Ctrl-C) and output stay as they were.
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &keys);
    } else {
        if (keys_depth == 0 || --keys_depth > 0 || !saved_valid) return;
        restore_line_mode();
        saved_valid = false;
        for (size_t i = 0; i < std::size(restored_signals); ++i)
            sigaction(restored_signals[i], &saved_actions[i], nullptr);
    }
}

int kova_console_read_byte(int timeout_ms) {
    for (;;) {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&fd, 1, timeout_ms < 0 ? -1 : timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return -2;
        unsigned char byte = 0;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        return byte;
    }
}
