// Test support on POSIX hosts: the platform prefix and its drives, the environment, program
// runs through fork and exec, and pseudo-terminals.
#include "tests/support/testing.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kova_test {

namespace {

std::vector<char *> c_argv(const std::vector<std::string> &argv) {
    std::vector<char *> out;
    for (const auto &a : argv) out.push_back(const_cast<char *>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// In a child after fork: apply the environment and folder, then exec; never returns.
[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::map<std::string, std::string> &env,
                             const std::string &cwd) {
    for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    auto args = c_argv(argv);
    execvp(args[0], args.data());
    _exit(127);
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

const char *const program_suffix = "";

std::string self_program() {
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

void set_env(const std::string &name, const std::string &value) {
    setenv(name.c_str(), value.c_str(), 1);
}

void unset_env(const std::string &name) {
    unsetenv(name.c_str());
}

TempPrefix::TempPrefix() {
    env_.push_back(std::make_unique<ScopedEnv>("KOVA_PREFIX", dir_.path()));
    env_.push_back(std::make_unique<ScopedEnv>("KOVA_UNATTENDED", "1"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_.path() + "/xdg-data"));
    fs::create_directories(dir_.path() + "/dosdevices");
}

bool under_wine() {
    return false;
}

std::string temp_base() {
    return fs::temp_directory_path().string();
}

TempPrefix::~TempPrefix() = default;

std::string registry_stamp(const TempPrefix &prefix, const std::vector<std::string> &) {
    struct stat st {};
    return stat((prefix.path() + "/system.reg").c_str(), &st) == 0 ? std::to_string(st.st_ino) : "";
}

std::string TempPrefix::drive_cwd(char, const std::string &host_dir) {
    return host_dir;
}

std::string TempPrefix::map_drive(char letter, const std::string &target) {
    std::string dir = target.empty() ? dir_ / (std::string("drive_") + letter) : target;
    fs::create_directories(dir);
    std::string link = dir_.path() + "/dosdevices/" + static_cast<char>(std::tolower(letter)) + ":";
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_directory_symlink(dir, link);
    return dir;
}

TimeZone::TimeZone(const char *zone) {
    zone_.emplace("TZ", zone);
    tzset();
}

TimeZone::~TimeZone() {
    zone_.reset();
    tzset();
}

RunResult run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
              const std::string &input, const std::string &cwd) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        exec_child(argv, env, cwd);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) close(in[1]), in[1] = -1;
    RunResult result;
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    int open_outputs = 2;
    while (open_outputs > 0) {
        fds[2].fd = in[1];
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_outputs;
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) close(in[1]), in[1] = -1;
        }
    }
    if (in[1] >= 0) close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = decode_status(status);
    return result;
}

Child::Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
             const std::string &cwd) {
    std::string log = dir_ / "output";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        close(in);
        close(out);
        exec_child(argv, env, cwd);
    }
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void Child::signal(int sig) {
    if (status_ < 0) kill(pid_, sig);
}

bool Child::running() {
    if (status_ >= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = decode_status(status);
    return false;
}

int Child::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::string Child::output() const {
    return read_file(dir_ / "output");
}

Pty::Pty(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
         const std::string &cwd) {
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        // An operator's console: never unattended, whatever the test process has set.
        unsetenv("KOVA_UNATTENDED");
        setenv("TERM", "xterm", 1);
        exec_child(argv, env, cwd);
    }
}

Pty::~Pty() {
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
}

bool Pty::pump(std::chrono::milliseconds timeout) {
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
}

bool Pty::expect(const std::string &text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t at = output_.find(text, seen_);
        if (at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left)) return false;
    }
}

void Pty::send(const std::string &keys) {
    size_t done = 0;
    while (done < keys.size()) {
        ssize_t n = write(master_, keys.data() + done, keys.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

int Pty::wait(std::chrono::milliseconds timeout) {
    if (status_ >= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            while (pump(std::chrono::milliseconds(20))) {
            }
            return status_ = decode_status(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        pump(std::chrono::milliseconds(20));
    }
}

} // namespace kova_test
