// Processes of the POSIX platform: CreateProcessA and ShellExecuteExA over posix_spawn, with
// Windows command lines, DOS program paths and Windows error numbers; process handles that
// can be waited on. A child whose handles are all closed before it ends is reaped in the
// background, so no process is left a zombie.
#include "system_support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

struct Child {
    explicit Child(pid_t p) : pid(p) {}
    ~Child() {
        if (!ended) {
            pid_t orphan = pid;
            std::thread([orphan] {
                while (waitpid(orphan, nullptr, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        }
    }

    // Collects the exit status without blocking; true once the process has ended.
    bool poll() {
        std::lock_guard lock(mutex);
        if (ended) return true;
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            ended = true;
            status = r == pid ? st : 0;
        }
        return ended;
    }

    DWORD exit_code() {
        std::lock_guard lock(mutex);
        if (!ended) return STILL_ACTIVE;
        if (terminated && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return terminate_code;
        if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
        return 0;
    }

    DWORD wait(DWORD timeout) {
        // A pidfd wakes the wait the moment the process ends; without one, poll.
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        DWORD started = GetTickCount();
        DWORD pause = 1;
        DWORD result = WAIT_TIMEOUT;
        for (;;) {
            if (poll()) {
                result = WAIT_OBJECT_0;
                break;
            }
            DWORD spent = GetTickCount() - started;
            if (timeout != INFINITE && spent >= timeout) break;
            DWORD slice = timeout == INFINITE ? 1000 : timeout - spent;
            if (fd >= 0) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, static_cast<int>(std::min<DWORD>(slice, 1000)));
            } else {
                Sleep(std::min(slice, pause));
                pause = std::min<DWORD>(pause * 2, 10);
            }
        }
        if (fd >= 0) close(fd);
        return result;
    }

    pid_t pid;
    std::mutex mutex;
    bool ended = false;
    int status = 0;
    bool terminated = false;
    DWORD terminate_code = 0;
};

class ProcessHandle : public kova_waitable {
public:
    ProcessHandle(std::shared_ptr<Child> child, bool thread)
        : child_(std::move(child)), thread_(thread) {}
    DWORD wait_for(DWORD timeout) override { return child_->wait(timeout); }
    Child &child() { return *child_; }
    bool is_thread() const { return thread_; }

private:
    std::shared_ptr<Child> child_;
    bool thread_;
};

ProcessHandle *as_process(HANDLE handle) {
    auto *p =
        handle && handle != INVALID_HANDLE_VALUE ? dynamic_cast<ProcessHandle *>(handle) : nullptr;
    if (!p || p->is_thread()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return p;
}

bool regular_file(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool has_extension(std::string_view name) {
    size_t dot = name.rfind('.');
    return dot != std::string_view::npos &&
           name.find_first_of("\\/", dot) == std::string_view::npos;
}

bool ends_with_exe(std::string_view name) {
    return name.size() > 4 && kova_sys::iequal(name.substr(name.size() - 4), ".exe");
}

std::vector<char *> c_strings(std::vector<std::string> &texts) {
    std::vector<char *> out;
    for (auto &t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// The environment block of CreateProcessA ("A=1\0B=2\0\0", ANSI) for the host.
std::vector<std::string> environment_block(const char *block) {
    std::vector<std::string> env;
    while (block && *block) {
        env.push_back(kova_utf8_from_ansi(block));
        block += strlen(block) + 1;
    }
    return env;
}

} // namespace

namespace kova_sys {

DWORD find_program(std::string_view dos_program, std::string &host) {
    host.clear();
    if (dos_program.empty()) return ERROR_FILE_NOT_FOUND;
    std::string name(dos_program);
    bool has_folder = name.find_first_of("\\/:") != std::string::npos;

    // A path, or a name in the current directory; ".exe" completes a name without extension.
    std::vector<std::string> tries{name};
    if (!has_extension(name)) tries.push_back(name + ".exe");
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const auto &candidate : tries) {
        std::string path = kova_host_from_dos(candidate);
        if (path.empty()) {
            if (has_folder)
                error = GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND
                                                               : ERROR_PATH_NOT_FOUND;
            continue;
        }
        if (regular_file(path)) {
            host = path;
            return ERROR_SUCCESS;
        }
    }
    if (has_folder) return error;

    // The host's own programs: on its PATH, without the ".exe" Windows would add.
    std::vector<std::string> names{kova_utf8_from_ansi(name)};
    if (ends_with_exe(name)) names.push_back(names[0].substr(0, names[0].size() - 4));
    const char *path_var = getenv("PATH");
    std::string_view dirs = path_var ? path_var : "/usr/bin:/bin";
    while (true) {
        size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        if (dir.empty()) dir = ".";
        for (const auto &n : names) {
            std::string path = dir + "/" + n;
            if (regular_file(path) && access(path.c_str(), X_OK) == 0) {
                host = path;
                return ERROR_SUCCESS;
            }
        }
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD spawn_program(const std::string &host_program, std::vector<std::string> args,
                    const SpawnOptions &options, pid_t &pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    if (options.new_session)
        flags |= POSIX_SPAWN_SETSID;
    else if (options.new_group)
        flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setflags(&attr, flags);

    if (!options.directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
    if (options.quiet) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // Duplicating a descriptor onto itself clears close-on-exec in the child only.
    if (options.keep_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.keep_fd, options.keep_fd);

    std::vector<std::string> env =
        options.environment ? *options.environment : std::vector<std::string>{};
    auto argv = c_strings(args);
    auto envp = c_strings(env);
    int err = posix_spawn(&pid, host_program.c_str(), &actions, &attr, argv.data(),
                          options.environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err == 0) return ERROR_SUCCESS;
    if (!options.directory.empty()) {
        struct stat st {};
        if (stat(options.directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return ERROR_DIRECTORY;
    }
    return exec_error(err, host_program);
}

void reap_in_background(pid_t pid) {
    Child child(pid);
}

} // namespace kova_sys

namespace {

// Starts a program for CreateProcessA and ShellExecuteExA; args[0] is the program as named.
DWORD start(std::string_view dos_program, std::vector<std::string> args, LPCSTR directory,
            const std::vector<std::string> *environment, bool quiet, bool new_group,
            bool need_executable, std::shared_ptr<Child> &child) {
    std::string host;
    if (DWORD error = kova_sys::find_program(dos_program, host)) return error;
    // A document is opened by its association, and none is registered here.
    if (need_executable && access(host.c_str(), X_OK) != 0 && !ends_with_exe(host))
        return ERROR_NO_ASSOCIATION;
    kova_sys::SpawnOptions options;
    if (directory && *directory) {
        options.directory = kova_host_from_dos(directory);
        struct stat st {};
        if (options.directory.empty() || stat(options.directory.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode))
            return ERROR_DIRECTORY;
    }
    options.quiet = quiet;
    options.new_group = new_group;
    options.environment = environment;
    for (auto &a : args) a = kova_utf8_from_ansi(a);
    pid_t pid = 0;
    if (DWORD error = kova_sys::spawn_program(host, std::move(args), options, pid)) return error;
    child = std::make_shared<Child>(pid);
    return ERROR_SUCCESS;
}

} // namespace

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD creation_flags, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    if ((!application && !command_line) || !info ||
        (startup && (startup->dwFlags & STARTF_USESTDHANDLES))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> args = kova_sys::split_command_line(command_line ? command_line : "");
    std::string program = application ? application : args.empty() ? "" : args[0];
    if (args.empty()) args.push_back(program);
    bool quiet =
        (creation_flags & (CREATE_NO_WINDOW | DETACHED_PROCESS)) ||
        (startup && (startup->dwFlags & STARTF_USESHOWWINDOW) && startup->wShowWindow == SW_HIDE);
    std::vector<std::string> env;
    if (environment) env = environment_block(static_cast<const char *>(environment));
    std::shared_ptr<Child> child;
    DWORD error = start(program, args, current_directory, environment ? &env : nullptr, quiet,
                        creation_flags & CREATE_NEW_PROCESS_GROUP, false, child);
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    info->hProcess = new ProcessHandle(child, false);
    info->hThread = new ProcessHandle(child, true);
    info->dwProcessId = info->dwThreadId = static_cast<DWORD>(child->pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA *info) {
    if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hProcess = nullptr;
    auto fail = [&](DWORD error) {
        UINT_PTR code = error == ERROR_FILE_NOT_FOUND      ? SE_ERR_FNF
                        : error == ERROR_PATH_NOT_FOUND    ? SE_ERR_PNF
                        : error == ERROR_ACCESS_DENIED     ? SE_ERR_ACCESSDENIED
                        : error == ERROR_NOT_ENOUGH_MEMORY ? SE_ERR_OOM
                                                           : SE_ERR_NOASSOC;
        info->hInstApp = reinterpret_cast<HINSTANCE>(code);
        SetLastError(error);
        return FALSE;
    };
    std::string_view verb = info->lpVerb ? info->lpVerb : "";
    if (!verb.empty() && !kova_sys::iequal(verb, "open") && !kova_sys::iequal(verb, "runas"))
        return fail(ERROR_NO_ASSOCIATION);
    if (!info->lpFile || !*info->lpFile) return fail(ERROR_FILE_NOT_FOUND);

    // The parameters are split as a command line's arguments are.
    std::vector<std::string> args = kova_sys::split_command_line(
        std::string("\"\" ") + (info->lpParameters ? info->lpParameters : ""));
    args[0] = info->lpFile;
    std::shared_ptr<Child> child;
    DWORD error = start(info->lpFile, args, info->lpDirectory, nullptr, info->nShow == SW_HIDE,
                        false, true, child);
    if (error) return fail(error);
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(42));
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) info->hProcess = new ProcessHandle(child, false);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
    ProcessHandle *p = as_process(process);
    if (!p) return FALSE;
    if (!exit_code) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p->child().poll();
    *exit_code = p->child().exit_code();
    return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
    ProcessHandle *p = as_process(process);
    if (!p) return FALSE;
    Child &c = p->child();
    if (c.poll()) {
        SetLastError(ERROR_ACCESS_DENIED); // as Windows answers for a process that has ended
        return FALSE;
    }
    {
        std::lock_guard lock(c.mutex);
        c.terminated = true;
        c.terminate_code = exit_code;
    }
    if (kill(c.pid, SIGKILL) != 0) {
        SetLastError(kova_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForInputIdle(HANDLE process, DWORD) {
    if (!as_process(process)) return WAIT_FAILED;
    return 0;
}

DWORD GetProcessId(HANDLE process) {
    ProcessHandle *p = as_process(process);
    return p ? static_cast<DWORD>(p->child().pid) : 0;
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
BOOL ProcessIdToSessionId(DWORD process_id, DWORD *session) {
    // The host's session of a process is its session leader's process id.
    pid_t sid = getsid(static_cast<pid_t>(process_id));
    if (sid < 0 || !session) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *session = static_cast<DWORD>(sid);
    return TRUE;
}
DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(gettid());
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR *process_mask, DWORD_PTR *system_mask) {
    if (process != GetCurrentProcess() || !process_mask || !system_mask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        SetLastError(kova_error_from_errno(errno));
        return FALSE;
    }
    constexpr int width = static_cast<int>(sizeof(DWORD_PTR) * CHAR_BIT);
    DWORD_PTR mask = 0;
    for (int cpu = 0; cpu < width; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) mask |= DWORD_PTR{1} << cpu;
    long online = sysconf(_SC_NPROCESSORS_CONF);
    DWORD_PTR all = online <= 0 || online >= width ? ~DWORD_PTR{0} : (DWORD_PTR{1} << online) - 1;
    *process_mask = mask;
    *system_mask = all | mask;
    return TRUE;
}
