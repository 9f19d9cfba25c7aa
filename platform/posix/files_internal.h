// Declarations shared by the POSIX file, directory and volume sources: resolving DOS paths
// through the prefix, attributes and time conversions. Host types may appear here; nothing
// outside platform/posix includes this file.
#pragma once

#include "platform/host.h"
#include "platform/win32.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace kova_posix {

// Where a DOS path leads on the host. Components are matched exactly first, then without
// regard to ASCII case; a component that does not exist is kept as written.
struct ResolvedPath {
    std::string host;          // the host path (UTF-8)
    std::string parent;        // host path of the containing folder
    std::string leaf;          // the last component as found (or as written when missing)
    std::string root;          // host path of the drive's or share's target
    std::string dos;           // the normalized DOS form (UTF-8)
    bool exists = false;       // the last component exists (a dangling link counts)
    bool is_root = false;      // the path names the drive or share itself
    bool trailing_sep = false; // the text ended in a separator
};

// Resolves `dos` (UTF-8, either separator). With `wildcards`, '*' and '?' are accepted in the
// last component. On failure answers false with the Windows error set (3 for a missing drive
// or folder on the way, 123 for an invalid name, 53 for an unknown share).
bool resolve(std::string_view dos, ResolvedPath &out, bool wildcards = false);

// The normalized, absolute DOS form (UTF-8) of a path, without touching the host; false with
// the error set when it has no valid form.
bool full_dos_path(std::string_view dos, std::string &out);

// Text conversions at the API boundary.
std::string utf8_from_ansi(LPCSTR text);
std::string utf8_from_wide(LPCWSTR text);
std::u16string wide_from_utf8(std::string_view text);

// Sets the Windows error for the current errno and answers `result`.
template <typename T> T fail_errno(T result, bool missing_dir = false);

// Sets `error` and answers `result`.
template <typename T> T fail(T result, DWORD error) {
    SetLastError(error);
    return result;
}

// The prefix's dosdevices folder, the prefix created first.
std::string dosdevices();
// Host target of drive `letter` (a-z, either case); empty when the drive has no link.
std::string drive_target(char letter);
// The current directory in DOS form (UTF-8, no trailing separator except at a root).
std::string current_dos_directory();

// A realpath that also works for paths whose tail does not exist yet.
std::string real_path(const std::string &host);
// True when host path `path` equals `base` or lies below it (whole components).
bool path_within(const std::string &path, const std::string &base);

// Attributes of a host file from its status and extended attribute.
DWORD attributes_of(const std::string &host, const struct stat &st);
// True when the mode leaves nobody write permission (the Windows read-only attribute).
inline bool read_only_mode(mode_t mode) {
    return (mode & 0222) == 0;
}

FILETIME filetime_from_timespec(const timespec &ts);
timespec timespec_from_filetime(const FILETIME &ft);
// Creation time (birth time where the filesystem keeps it, else the change time).
FILETIME creation_time_of(const std::string &host, const struct stat &st);

// ASCII case-insensitive comparison of UTF-8 names.
bool same_name(std::string_view a, std::string_view b);

// Sharing between open handles: slots held with open-file-description locks.
enum ShareBits : unsigned { SHARE_R = 1, SHARE_W = 2, SHARE_D = 4 };
// Takes the share locks of a handle with access `access` and share mode `share` (both
// ShareBits) on `fd`. Answers 0, ERROR_SHARING_VIOLATION or another Windows error. A host
// filesystem without such locks imposes nothing.
DWORD take_share_locks(int fd, unsigned access, unsigned share);

} // namespace kova_posix
