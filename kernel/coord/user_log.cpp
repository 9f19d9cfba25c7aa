// The user log lxkuser.log: what the user layer does with the user table and the system
// semaphore, written by the processes of the suite's own domain into a log that exists.
#include "kernel/coord/user_local.h"

#include "kernel/coord/conn_local.h"
#include "kernel/text/format.h"
#include "platform/win32.h"

#include <cctype>
#include <cstdarg>
#include <mutex>
#include <string>

namespace {

std::string environment(const char *name) {
    char value[1024] = {};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool suite_domain() {
    std::string domain = environment("USERDOMAIN");
    bool syskova = domain.size() == 7;
    for (size_t i = 0; syskova && i < 7; ++i)
        syskova = std::toupper(static_cast<unsigned char>(domain[i])) == "SYSKOVA"[i];
    std::string kova = environment("KOVADOMAIN");
    return syskova || (!kova.empty() && (kova[0] == 'Y' || kova[0] == 'y'));
}

std::mutex log_lock;
HANDLE log_file = INVALID_HANDLE_VALUE;
std::string log_path;

// The log is opened once it exists and then stays open while the process is attached; it is
// never created here. A program that moves to another installation writes to that
// installation's log.
HANDLE open_log() {
    std::string path = fxi_conn_log_dir() + "lxkuser.log";
    if (log_file != INVALID_HANDLE_VALUE && path == log_path) return log_file;
    if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
    log_path = path;
    log_file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    return log_file;
}

} // namespace

void fxk_user_log(const char *format, ...) {
    if (!suite_domain()) return;
    std::lock_guard<std::mutex> guard(log_lock);
    HANDLE file = open_log();
    if (file == INVALID_HANDLE_VALUE) return;
    TXD_CLOCK now;
    fxd_clock_now(&now);
    // The patch tool signs on as nobody: its user identifier is all blanks.
    static const char no_user[] = "        ";
    const char *command_line = GetCommandLineA();
    std::string line;
    fxd_fmt_assign(line,
                   "%date%,2 %time%,2 login '%str%' computer '%str%' userid '%txt%' command line "
                   "'%str%' Thread %dword%,5 ",
                   &now.date, &now.time, environment("USERNAME").c_str(),
                   environment("COMPUTERNAME").c_str(), no_user, 8,
                   command_line ? command_line : "", static_cast<uint32_t>(GetCurrentThreadId()));
    std::string message;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(message, format, args);
    va_end(args);
    line += message;
    line += "\r\n";
    // Other processes append to the same log: the lock on its first byte orders the lines.
    OVERLAPPED first_byte{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first_byte)) return;
    LARGE_INTEGER zero{};
    DWORD written = 0;
    if (SetFilePointerEx(file, zero, nullptr, FILE_END))
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    UnlockFileEx(file, 0, 1, 0, &first_byte);
}

void fxk_user_log_close() {
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
    log_file = INVALID_HANDLE_VALUE;
    log_path.clear();
}
