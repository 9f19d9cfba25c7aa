// The prefix and its drive links, and the way between DOS paths and host paths: drive letters,
// UNC shares, relative and drive-relative forms, and case-insensitive lookup.
#include "files_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

namespace kova_posix {

namespace {

std::string home_directory() {
    if (const char *home = getenv("HOME"); home && *home) return home;
    if (passwd *pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

bool lexists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Splits on '/' and '\', dropping empty pieces.
std::vector<std::string> split_components(std::string_view text) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : text) {
        if (c == '/' || c == '\\') {
            if (!cur.empty()) parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(std::move(cur));
    return parts;
}

// Lexical normalization of a host path: absolute, no '.', no '..', no double slashes.
std::string normalize_host(std::string_view path) {
    std::vector<std::string> out;
    for (auto &part : split_components(path)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(part);
    }
    std::string result;
    for (auto &part : out) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::string host_cwd() {
    std::string buf(4096, '\0');
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return "/";
        buf.resize(buf.size() * 2);
    }
    buf.resize(strlen(buf.c_str()));
    return buf;
}

// The absolute target of a link in dosdevices (relative targets are relative to the folder
// holding the link); a plain folder standing in for a link is its own target.
std::string link_target(const std::string &link) {
    struct stat st;
    if (lstat(link.c_str(), &st) != 0) return {};
    if (!S_ISLNK(st.st_mode)) return link;
    std::string buf(4096, '\0');
    ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
    if (n <= 0) return {};
    buf.resize(static_cast<size_t>(n));
    if (buf[0] != '/') buf = link.substr(0, link.rfind('/') + 1) + buf;
    return normalize_host(buf);
}

// Finds the entry of folder `dir` named `name`: exactly, else without regard to ASCII case.
// Answers the entry's name on the host, or empty when there is none.
std::string find_entry(const std::string &dir, const std::string &name) {
    if (lexists(dir + "/" + name)) return name;
    DIR *d = opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent *e = readdir(d)) {
        if (same_name(e->d_name, name) && strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

bool invalid_char(unsigned char c, bool wildcards) {
    if (c < 32) return true;
    switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
        return true;
    case '*':
    case '?':
        return !wildcards;
    default:
        return false;
    }
}

// Where a DOS path starts: a drive letter or a share, and the components below it.
struct DosRoot {
    char drive = 0; // lower-case letter, or 0 for a share
    std::string server, share;
    std::vector<std::string> components;
    bool trailing_sep = false;
};

// Parses and normalizes a DOS path lexically: '.' and '..' are applied to the text and never
// climb above the drive or share, so a path cannot leave a drive's target by '..'.
bool parse_dos(std::string_view input, DosRoot &root) {
    std::string path(input);
    for (char &c : path)
        if (c == '/') c = '\\';
    if (path.empty()) return fail(false, ERROR_PATH_NOT_FOUND);
    root.trailing_sep = path.back() == '\\';

    // Long-path prefixes: \\?\X:\... and \\?\UNC\server\share\... name the same files.
    if (path.rfind("\\\\?\\", 0) == 0) {
        path.erase(0, 4);
        if (path.size() >= 4 && same_name(path.substr(0, 4), "UNC\\"))
            path = "\\\\" + path.substr(4);
        else if (path.size() < 3 || path[1] != ':' || path[2] != '\\')
            return fail(false, ERROR_PATH_NOT_FOUND); // only absolute forms follow the prefix
    } else if (path.rfind("\\\\.\\", 0) == 0) {
        return fail(false, ERROR_PATH_NOT_FOUND); // devices and pipes are not files
    }

    std::string rest;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        auto parts = split_components(path);
        if (parts.size() < 2) return fail(false, ERROR_BAD_NETPATH);
        root.server = parts[0];
        root.share = parts[1];
        for (size_t i = 2; i < parts.size(); ++i) rest += parts[i] + "\\";
        rest.insert(0, "\\");
    } else if (path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0]))) {
        root.drive = static_cast<char>(tolower(static_cast<unsigned char>(path[0])));
        rest = path.substr(2);
        if (rest.empty() || rest[0] != '\\') {
            // Drive-relative: the drive's own current directory.
            std::string cur = current_dos_directory();
            std::string base;
            if (cur.size() >= 2 && tolower(static_cast<unsigned char>(cur[0])) == root.drive)
                base = cur;
            else {
                char name[4] = {'=', static_cast<char>(toupper(root.drive)), ':', 0};
                char value[1024];
                DWORD saved = GetLastError();
                DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
                SetLastError(saved);
                std::string env = n > 0 && n < sizeof value ? utf8_from_ansi(value) : "";
                base = env.size() >= 2 && tolower(static_cast<unsigned char>(env[0])) == root.drive
                           ? env
                           : std::string(1, root.drive) + ":\\";
            }
            rest = base.substr(2) + "\\" + rest;
        }
    } else {
        std::string cur = current_dos_directory();
        DosRoot base;
        if (!parse_dos(cur, base)) return false;
        root.drive = base.drive;
        root.server = base.server;
        root.share = base.share;
        if (path[0] == '\\') {
            rest = path;
        } else {
            for (auto &c : base.components) rest += "\\" + c;
            rest += "\\" + path;
        }
    }

    for (auto &part : split_components(rest)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!root.components.empty()) root.components.pop_back();
            continue;
        }
        // Windows drops trailing dots and blanks of a name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        if (part.empty()) continue;
        root.components.push_back(part);
    }
    return true;
}

} // namespace

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

template <typename T> T fail_errno(T result, bool missing_dir) {
    SetLastError(kova_error_from_errno(errno, missing_dir));
    return result;
}
template bool fail_errno<bool>(bool, bool);
template int fail_errno<int>(int, bool);
template DWORD fail_errno<DWORD>(DWORD, bool);
template HANDLE fail_errno<HANDLE>(HANDLE, bool);

std::string utf8_from_ansi(LPCSTR text) {
    return text ? kova_utf8_from_ansi(text) : std::string();
}

std::string utf8_from_wide(LPCWSTR text) {
    if (!text) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::u16string wide_from_utf8(std::string_view text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string dosdevices() {
    return kova_prefix() + "/dosdevices";
}

std::string drive_target(char letter) {
    char lower = static_cast<char>(tolower(static_cast<unsigned char>(letter)));
    if (lower < 'a' || lower > 'z') return {};
    return link_target(dosdevices() + "/" + lower + ":");
}

std::string real_path(const std::string &host) {
    std::string path = normalize_host(host);
    std::string tail;
    for (;;) {
        if (char *real = realpath(path.c_str(), nullptr)) {
            std::string out = real;
            free(real);
            if (out == "/" && !tail.empty()) return tail;
            return out + tail;
        }
        if (path == "/") return tail.empty() ? "/" : tail;
        size_t slash = path.rfind('/');
        tail.insert(0, path.substr(slash));
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

bool path_within(const std::string &path, const std::string &base) {
    if (base == "/") return !path.empty() && path[0] == '/';
    return path.rfind(base, 0) == 0 && (path.size() == base.size() || path[base.size()] == '/');
}

std::string current_dos_directory() {
    return kova_utf8_from_ansi(kova_dos_from_host(host_cwd()));
}

bool full_dos_path(std::string_view dos, std::string &out) {
    DosRoot root;
    if (!parse_dos(dos, root)) return false;
    out = root.drive ? std::string(1, static_cast<char>(toupper(root.drive))) + ":"
                     : "\\\\" + root.server + "\\" + root.share;
    for (auto &c : root.components) out += "\\" + c;
    if (root.components.empty() || root.trailing_sep) out += "\\";
    return true;
}

bool resolve(std::string_view dos, ResolvedPath &out, bool wildcards) {
    DosRoot root;
    if (!parse_dos(dos, root)) return false;
    for (size_t i = 0; i < root.components.size(); ++i)
        for (unsigned char c : root.components[i])
            if (invalid_char(c, wildcards && i + 1 == root.components.size()))
                return fail(false, ERROR_INVALID_NAME);

    if (root.drive) {
        out.root = drive_target(root.drive);
        if (out.root.empty()) return fail(false, ERROR_PATH_NOT_FOUND);
        out.dos = std::string(1, static_cast<char>(toupper(root.drive))) + ":";
    } else {
        std::string unc = dosdevices() + "/unc";
        std::string server = find_entry(unc, root.server);
        std::string share = server.empty() ? "" : find_entry(unc + "/" + server, root.share);
        if (share.empty()) return fail(false, ERROR_BAD_NETPATH);
        out.root = link_target(unc + "/" + server + "/" + share);
        out.dos = "\\\\" + root.server + "\\" + root.share;
    }
    if (!is_dir(out.root)) return fail(false, ERROR_PATH_NOT_FOUND);

    std::string cur = out.root == "/" ? "" : out.root;
    const auto &parts = root.components;
    out.is_root = parts.empty();
    out.exists = true;
    out.parent = out.root;
    out.leaf.clear();
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::string dir = cur.empty() ? "/" : cur;
        std::string found = find_entry(dir, parts[i]);
        if (!last) {
            if (found.empty() || !is_dir(cur + "/" + found))
                return fail(false, ERROR_PATH_NOT_FOUND);
            cur += "/" + found;
        } else {
            out.parent = dir;
            out.exists = !found.empty();
            out.leaf = out.exists ? found : parts[i];
            cur += "/" + out.leaf;
        }
        out.dos += "\\" + parts[i];
    }
    if (parts.empty()) out.dos += "\\";
    out.host = cur.empty() ? "/" : cur;
    out.trailing_sep = root.trailing_sep;
    return true;
}

} // namespace kova_posix

using namespace kova_posix;

std::string kova_prefix() {
    std::string prefix;
    if (const char *env = getenv("KOVA_PREFIX"); env && *env)
        prefix = env;
    else
        prefix = home_directory() + "/.kova";
    if (prefix[0] != '/') prefix = host_cwd() + "/" + prefix;
    prefix = normalize_host(prefix);
    std::string devices = prefix + "/dosdevices";
    if (lexists(devices + "/z:")) return prefix;

    // First use: the folders, z: for the whole host and c: for the programs' own drive.
    std::string partial;
    for (auto &part : split_components(prefix)) {
        partial += "/" + part;
        mkdir(partial.c_str(), 0777);
    }
    mkdir(devices.c_str(), 0777);
    if (symlink("/", (devices + "/z:").c_str()) != 0 && errno != EEXIST) return prefix;
    if (!lexists(devices + "/c:")) {
        mkdir((prefix + "/drive_c").c_str(), 0777);
        if (symlink("../drive_c", (devices + "/c:").c_str()) != 0 && errno != EEXIST) return prefix;
    }
    return prefix;
}

std::string kova_dos_from_host(std::string_view host_path) {
    if (host_path.empty()) return {};
    if (host_path[0] != '/') {
        std::string rel(host_path);
        for (char &c : rel)
            if (c == '/') c = '\\';
        return kova_ansi_from_utf8(rel);
    }
    std::string real = real_path(std::string(host_path));

    // The drive whose target is the longest prefix of the path; letters in order break ties.
    std::string best_target;
    char best = 0;
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        std::string target = drive_target(letter);
        if (target.empty()) continue;
        std::string real_target = real_path(target);
        if (path_within(real, real_target) && (!best || real_target.size() > best_target.size())) {
            best = letter;
            best_target = real_target;
        }
    }
    std::string rest;
    if (best) {
        rest = best_target == "/" ? real : real.substr(best_target.size());
    } else {
        best = 'z';
        rest = real;
    }
    std::string dos = std::string(1, static_cast<char>(toupper(best))) + ":";
    for (char c : rest) dos += c == '/' ? '\\' : c;
    if (dos.size() == 2) dos += "\\";
    return kova_ansi_from_utf8(dos);
}

std::string kova_drive_target(char letter) {
    return drive_target(letter);
}

DWORD kova_link_drive(char letter, std::string_view host_target) {
    char lower = static_cast<char>(tolower(static_cast<unsigned char>(letter)));
    if (lower < 'a' || lower > 'z') return ERROR_INVALID_DRIVE;
    std::string link = dosdevices() + "/" + lower + ":";
    if (host_target.empty()) {
        if (unlink(link.c_str()) != 0 && errno != ENOENT) return kova_error_from_errno(errno);
        return ERROR_SUCCESS;
    }
    std::string target(host_target);
    if (target[0] != '/') target = host_cwd() + "/" + target;
    target = normalize_host(target);
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return kova_error_from_errno(errno, true);
    if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    // A new link renamed over the old one: a reader never finds the drive missing.
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) return kova_error_from_errno(errno);
    if (rename(fresh.c_str(), link.c_str()) != 0) {
        DWORD error = kova_error_from_errno(errno);
        unlink(fresh.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

std::string kova_host_from_dos(std::string_view dos_path) {
    ResolvedPath resolved;
    if (!resolve(kova_utf8_from_ansi(dos_path), resolved)) return {};
    return resolved.host;
}
