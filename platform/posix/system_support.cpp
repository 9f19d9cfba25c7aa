// Helpers shared by the registry, profile files, named objects, services and processes.
#include "system_support.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kova_sys {

char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
    // Windows-1252: the Latin-1 letters, then the few letters of the 0x80 row.
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
    switch (u) {
    case 0x9A:
        return static_cast<char>(0x8A); // s caron
    case 0x9C:
        return static_cast<char>(0x8C); // oe
    case 0x9E:
        return static_cast<char>(0x8E); // z caron
    case 0xFF:
        return static_cast<char>(0x9F); // y diaeresis
    default:
        return c;
    }
}

std::string folded(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = fold(c);
    return out;
}

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::string_view trim(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

FileLock::FileLock(const std::string &path) {
    struct stat st {};
    int flags = O_RDONLY | O_CLOEXEC;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) flags = O_RDWR | O_CREAT | O_CLOEXEC;
    fd_ = open(path.c_str(), flags, 0666);
    if (fd_ < 0 && flags != (O_RDONLY | O_CLOEXEC)) fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = kova_error_from_errno(errno, errno == ENOENT);
        return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        // Filesystems without locks (some network mounts) still get the atomic rename.
        if (errno == ENOLCK || errno == EOPNOTSUPP) break;
        error_ = kova_error_from_errno(errno);
        close(fd_);
        fd_ = -1;
        return;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) close(fd_); // closing the last descriptor releases the lock
}

DWORD read_whole(const std::string &path, std::string &contents) {
    contents.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        size_t slash = path.rfind('/');
        bool missing_dir = err == ENOENT && slash != std::string::npos && slash > 0 &&
                           access(path.substr(0, slash).c_str(), F_OK) != 0;
        return kova_error_from_errno(err, missing_dir);
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return err == EISDIR ? ERROR_ACCESS_DENIED : kova_error_from_errno(err);
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ERROR_SUCCESS;
}

namespace {

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

DWORD replace_file(const std::string &path, std::string_view contents, unsigned mode) {
    // Replace what a symbolic link points at, not the link.
    std::string target = path;
    if (char *real = realpath(path.c_str(), nullptr)) {
        target = real;
        free(real);
    }
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // One name per file: callers hold the file's lock, and a copy left by a writer that ended
    // midway is simply written over.
    std::string temp = dir + "." + base + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return kova_error_from_errno(errno, errno == ENOENT);

    struct stat old {};
    bool existed = stat(target.c_str(), &old) == 0;
    fchmod(fd, existed ? (old.st_mode & 07777) : static_cast<mode_t>(mode));
    if (existed && geteuid() == 0 && fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Ownership is kept where the host allows it; the contents matter more.
    }
    if (!write_all(fd, contents) || fsync(fd) != 0) {
        int err = errno;
        close(fd);
        unlink(temp.c_str());
        return kova_error_from_errno(err ? err : EIO);
    }
    close(fd);
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        return kova_error_from_errno(err);
    }
    // The rename itself reaches the disk with the folder.
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return ERROR_SUCCESS;
}

std::string prefix_folder(const char *name) {
    std::string prefix = kova_prefix();
    if (prefix.empty()) return {};
    std::string folder = prefix + "/" + name;
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return {};
    return folder;
}

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0, n = line.size();
    auto blank = [&](size_t k) { return line[k] == ' ' || line[k] == '\t'; };
    while (i < n && blank(i)) ++i;
    if (i >= n) return args;

    // The program: no escapes, as Windows finds the executable.
    std::string program;
    if (line[i] == '"') {
        size_t close = line.find('"', i + 1);
        size_t end = close == std::string_view::npos ? n : close;
        program.assign(line.substr(i + 1, end - i - 1));
        i = close == std::string_view::npos ? n : close + 1;
    } else {
        size_t start = i;
        while (i < n && !blank(i)) ++i;
        program.assign(line.substr(start, i - start));
    }
    args.push_back(program);

    for (;;) {
        while (i < n && blank(i)) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !blank(i))) {
            size_t slashes = 0;
            while (i < n && line[i] == '\\') ++slashes, ++i;
            if (i < n && line[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2) {
                    arg.push_back('"');
                    ++i;
                } else if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg.push_back('"'); // "" inside quotes is one quote
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg.append(slashes, '\\');
                if (i < n && (quoted || !blank(i))) arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
    return args;
}

DWORD exec_error(int err, const std::string &host_program) {
    struct stat st {};
    switch (err) {
    case ENOEXEC:
    case E2BIG:
    case ELIBBAD:
        return ERROR_BAD_EXE_FORMAT;
    case EACCES:
        // A regular file without execute permission is a program the host cannot run, as a
        // Windows file that is no executable image.
        if (stat(host_program.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return ERROR_BAD_EXE_FORMAT;
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return stat(host_program.c_str(), &st) == 0 ? ERROR_BAD_EXE_FORMAT // missing interpreter
                                                    : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    default:
        return kova_error_from_errno(err);
    }
}

} // namespace kova_sys
