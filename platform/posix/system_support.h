// Helpers shared by the registry, profile files, named objects, services and processes of the
// POSIX platform: Windows-style name comparison, whole-file locks and atomic replacement.
#pragma once

#include "platform/host.h"
#include "platform/posix/files.h"
#include "platform/win32.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kova_sys {

// Windows-1252 letters folded to upper case, so that names compare as Windows compares them.
char fold(char c);
std::string folded(std::string_view text);
bool iequal(std::string_view a, std::string_view b);

// Trims blanks and tabs at both ends.
std::string_view trim(std::string_view text);

// An exclusive flock held on a file (created when missing) or directory while the object
// lives, so that processes sharing it take turns.
class FileLock {
public:
    explicit FileLock(const std::string &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool held() const { return fd_ >= 0; }
    // The Windows error number when the lock could not be taken.
    DWORD error() const { return error_; }

private:
    int fd_ = -1;
    DWORD error_ = ERROR_SUCCESS;
};

// Reads a whole host file. ERROR_SUCCESS with the contents, ERROR_FILE_NOT_FOUND when it does
// not exist, another Windows error number when it cannot be read.
DWORD read_whole(const std::string &path, std::string &contents);

// Replaces a host file by `contents`: written to a temporary file beside it, flushed to disk
// and renamed over it, so that readers and a crash see either the old or the new file. The
// new file keeps the old one's permissions (`mode` for a new file). The caller holds a lock
// that every writer of the file takes.
DWORD replace_file(const std::string &path, std::string_view contents, unsigned mode = 0644);

// A folder of the prefix ($KOVA_PREFIX/name), created when missing; empty when the prefix
// cannot be made.
std::string prefix_folder(const char *name);

// Splits a command line by the Windows rules (those of CommandLineToArgvW and the C run-time):
// the first element ends at a blank or, when it begins with a quote, at the closing quote;
// the others treat 2n backslashes before a quote as n backslashes and a quote, 2n+1 as n and a
// literal quote, and "" inside quotes as a literal quote.
std::vector<std::string> split_command_line(std::string_view line);

// The Windows error for a failed exec of an existing or missing host program.
DWORD exec_error(int err, const std::string &host_program);

// The host path of a program named by a DOS path or a bare name (current directory first,
// completed with ".exe", then the host's PATH, where ".exe" is dropped).
DWORD find_program(std::string_view dos_program, std::string &host);

struct SpawnOptions {
    std::string directory;                                 // host folder to start in
    bool quiet = false;                                    // standard streams on /dev/null
    bool new_group = false;                                // a process group of its own
    bool new_session = false;                              // a session of its own (detached)
    int keep_fd = -1;                                      // a descriptor the child inherits
    const std::vector<std::string> *environment = nullptr; // else this process's
};

// Starts a host program with host (UTF-8) arguments; args[0] is the name it sees.
DWORD spawn_program(const std::string &host_program, std::vector<std::string> args,
                    const SpawnOptions &options, pid_t &pid);

// Collects a child's exit status once it ends, without anyone waiting for it.
void reap_in_background(pid_t pid);

} // namespace kova_sys
