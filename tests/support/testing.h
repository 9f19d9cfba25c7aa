// Test support: temporary prefixes and drives, running the built programs, and driving a
// program through a pseudo-terminal.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova_test {

// A fresh host directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // The host path of a file or folder below this directory.
    std::string operator/(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// The process environment, on every host.
std::optional<std::string> get_env(const std::string &name);
void set_env(const std::string &name, const std::string &value);
void unset_env(const std::string &name);

// Sets an environment variable while the object lives, then puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const std::string &name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// A private platform prefix for one test, with KOVA_UNATTENDED=1 so no box ever waits for an
// answer. On POSIX hosts KOVA_PREFIX points at it while the object lives, and XDG_DATA_HOME
// points into it so that registering file types for the desktop stays inside. On Windows the
// drives it maps are real ones, removed again when the object goes, and the suite's file types
// and program folder are set aside while it lives and put back after.
class TempPrefix {
public:
    TempPrefix();
    ~TempPrefix();
    const std::string &path() const { return dir_.path(); }
    // Maps drive `letter` to a host directory (created when missing) and answers that
    // directory; without a target the drive gets its own folder inside the prefix.
    std::string map_drive(char letter, const std::string &target = {});
    // The folder a program is started in to have drive `letter`, mapped to `host_dir`, as its
    // current drive: that folder on POSIX, the drive's root on Windows.
    static std::string drive_cwd(char letter, const std::string &host_dir);

private:
    TempDir dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::string drives_; // letters mapped on a host whose drives outlive the process
    // The suite's registry key and value as they were, put back on a host whose registry
    // outlives the process (no value: there was none).
    bool had_suite_key_ = false;
    std::string saved_cwd_; // a test that changes drive does not leave later tests on it
    std::optional<std::string> saved_data_home_;
    // Where the suite's class keys and program folder were put while the object lives, on a
    // host whose registry and Program Files outlive the process.
    std::string saved_name_;
    bool moved_program_folder_ = false;
};

// A token that changes whenever the registry is written below the HKEY_CLASSES_ROOT keys
// `class_keys`: on POSIX the hive file, which every change replaces by a new file; on Windows
// the keys' last-write times.
std::string registry_stamp(const TempPrefix &prefix, const std::vector<std::string> &class_keys);

// Puts the process into the time zone `zone` (a TZ value) while the object lives.
class TimeZone {
public:
    explicit TimeZone(const char *zone);
    ~TimeZone();
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

private:
    std::optional<ScopedEnv> zone_;
};

// A UTF-16 literal as the platform's wide text (WCHAR is char16_t on POSIX hosts, wchar_t on
// Windows), embedded NULs kept.
template <size_t N> std::basic_string<WCHAR> wide(const char16_t (&text)[N]) {
    return {text, text + N - 1};
}

// Writes `contents` to a host file, creating its folders.
void write_file(const std::string &path, const std::string &contents);
// Reads a whole host file; empty when it cannot be read.
std::string read_file(const std::string &path);

// The host path of a fixture below tests/fixtures, and of a program built by this project
// (kvpatch, kvqm, kvfm, kvbrun ..., with the host's suffix for programs).
extern const char *const program_suffix;
// The folder temporary folders are made in.
std::string temp_base();
// True when the tests run as Windows programs, where the host is the system itself.
inline bool on_windows() {
    return program_suffix[0] != '\0';
}
// True when those programs run under Wine, which reports no volume for a drive linked while
// it runs: tests that install through a drive of their own are left to the end-to-end run.
bool under_wine();
std::string fixture(const std::string &relative);
// The host path of the running test program, for tests that run it again as a child.
std::string self_program();
std::string program(const std::string &name);
// A host path as a program of this host is given it: with backslashes on Windows, as the
// system's own paths are (a program names itself by the path it was started with).
std::string native_path(std::string path);

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs a program to completion with `input` on standard input (not a terminal) and extra
// environment entries; standard output and error are captured.
RunResult run(const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env = {}, const std::string &input = {},
              const std::string &cwd = {});

// A program started in the background with standard input from /dev/null and its output
// kept in a file, for tests that signal or kill it midway; killed and reaped when the object
// goes if still running.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
          const std::string &cwd = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    void signal(int sig);
    // Waits for the end and answers the exit status (128 + signal when killed), or -1 when the
    // program is still running after `timeout`.
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
    bool running();
    int pid() const { return pid_; }
    // Standard output and error so far.
    std::string output() const;

private:
    TempDir dir_;
    int pid_ = -1;
    void *process_ = nullptr; // the process handle where the host has one
    int status_ = -1;
};

// A program running on a pseudo-terminal, as an operator at a console would see it.
class Pty {
public:
    Pty(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
        const std::string &cwd = {});
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    // Waits until `text` has appeared in the output since the last expect; false on timeout
    // or end of output.
    bool expect(const std::string &text,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void send(const std::string &keys);
    // Waits for the program to end and answers its exit status (128 + signal when killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Everything the program wrote so far.
    const std::string &output() const { return output_; }

private:
    bool pump(std::chrono::milliseconds timeout);
    int master_ = -1;
    int pid_ = -1;
    int status_ = -1;
    std::string output_;
    size_t seen_ = 0;
};

} // namespace kova_test
