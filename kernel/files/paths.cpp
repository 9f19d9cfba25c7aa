// Paths, directories and volumes: the kernel's path model over DOS paths, directory creation,
// removal and search, the current and start-up directories, and the volume questions.
#include "kernel/files/paths.h"
#include "kernel/text/dates.h"

#include <cstring>
#include <mutex>
#include <string>

namespace {

bool starts_with_nocase(const char *text, const char *prefix) {
    for (; *prefix; ++text, ++prefix)
        if (toupper(static_cast<unsigned char>(*text)) !=
            toupper(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

bool same_nocase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (toupper(static_cast<unsigned char>(*a)) != toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

void put(char *out, const char *text, size_t length) {
    if (!out) return;
    memcpy(out, text, length);
    out[length] = 0;
}

char *copy_out(char *out, const std::string &text) {
    memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

// Where the drive part of a path ends (0 when it has none).
size_t drive_length(const char *path, size_t length) {
    if (length >= 2 && path[0] == '\\' && path[1] == '\\') {
        static const char device_root[] = "\\\\?\\GLOBALROOT\\Device\\";
        const size_t root_length = sizeof device_root - 1;
        size_t from = 2;
        if (length >= root_length && starts_with_nocase(path, device_root)) {
            from = root_length;
        } else {
            const char *server_end = strchr(path + 2, '\\');
            if (!server_end) return length;
            from = static_cast<size_t>(server_end - path) + 1;
        }
        const char *end = strchr(path + from, '\\');
        return end ? static_cast<size_t>(end - path) : length;
    }
    const char *colon = strchr(path, ':');
    return colon ? static_cast<size_t>(colon - path) + 1 : 0;
}

std::string without_trailing_backslash(const char *path) {
    std::string text = path ? path : "";
    if (text.size() > 1 && text.back() == '\\') text.pop_back();
    return text;
}

// The start-up directory, remembered at the first change of directory.
std::string startup_directory;
bool startup_known = false;

} // namespace

// ---- Path texts -----------------------------------------------------------------------------

uint16_t fxi_path_split(const char *path, char *drive, char *dir, char *name, char *ext,
                        char *version, char *name_ext) {
    for (char *out : {drive, dir, name, ext, version, name_ext})
        if (out) out[0] = 0;
    if (!path || !*path) return DXI_PATH_BAD_DRIVE;
    size_t length = strlen(path);
    size_t drive_end = drive_length(path, length);
    if (drive_end > DXI_PATH_PART_MAX) return DXI_PATH_BAD_DRIVE;

    size_t dir_end = drive_end;
    for (size_t i = drive_end; i < length; ++i)
        if (path[i] == '\\') dir_end = i + 1;
    if (dir_end - drive_end > DXI_PATH_PART_MAX) return DXI_PATH_LONG_DIR;

    const char *rest = path + dir_end;
    size_t rest_length = length - dir_end;
    const char *dot = rest[0] == '.' ? nullptr : strrchr(rest, '.');
    size_t name_length = dot ? static_cast<size_t>(dot - rest) : rest_length;
    size_t ext_length = dot ? rest_length - name_length - 1 : 0;
    if (name_length > DXI_PATH_PART_MAX) return DXI_PATH_LONG_NAME;
    if (ext_length > DXI_PATH_PART_MAX) return DXI_PATH_LONG_EXT;

    put(drive, path, drive_end);
    put(dir, path + drive_end, dir_end - drive_end);
    put(name, rest, name_length);
    put(ext, dot ? dot + 1 : "", ext_length);
    if (name_ext) {
        put(name_ext, rest, name_length);
        if (ext_length) {
            name_ext[name_length] = '.';
            put(name_ext + name_length + 1, dot + 1, ext_length);
        }
    }
    return 0;
}

std::string fxi_path_make_string(const char *drive, const char *dir, const char *name,
                                 const char *ext, const char *version) {
    std::string out;
    if (drive && *drive) {
        out = drive;
        if (drive[0] == '\\' && drive[1] == '\\' && out.back() != '\\' && !(dir && dir[0] == '\\'))
            out += '\\';
    }
    if (dir && *dir) {
        out += dir;
        if (out.back() != '\\') out += '\\';
    }
    if (name) out += name;
    if (ext && *ext) out += std::string(".") + ext;
    if (version && *version) out += std::string(";") + version;
    return out;
}

char *fxi_path_make(const char *drive, const char *dir, const char *name, const char *ext,
                    const char *version, char *out) {
    return copy_out(out, fxi_path_make_string(drive, dir, name, ext, version));
}

char *fxi_path_folder(const char *path, char *out) {
    char drive[DXI_PATH_PART_MAX + 1], dir[DXI_PATH_PART_MAX + 1];
    out[0] = 0;
    if (fxi_path_split(path, drive, dir, nullptr, nullptr, nullptr, nullptr)) return out;
    std::string folder = std::string(drive) + dir;
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return copy_out(out, folder);
}

namespace {
// The span of the last component: after the last colon or backslash, one trailing backslash
// ignored.
void leaf_span(const char *path, size_t &start, size_t &end) {
    end = strlen(path);
    if (end > 0 && path[end - 1] == '\\') --end;
    start = end;
    while (start > 0 && path[start - 1] != '\\' && path[start - 1] != ':') --start;
}
} // namespace

char *fxi_path_leaf(const char *path, char *out) {
    size_t start, end;
    leaf_span(path, start, end);
    put(out, path + start, end - start);
    return out;
}

char *fxi_path_parent(char *path) {
    size_t start, end;
    leaf_span(path, start, end);
    path[start] = 0;
    return path;
}

// ---- Directories ----------------------------------------------------------------------------

uint16_t fxi_map_dir_error(DWORD error) {
    switch (error & 0xFFFF) {
    case 1:
    case 2:
    case 3:
    case 21:
    case 22:
    case 53:
        return 2601;
    case 5:
        return 2602;
    case 18:
        return 2605;
    case 32:
    case 65535:
        return 2604;
    case 86:
        return 2606;
    case 145:
        return 2607;
    case 183:
        return 2603;
    default:
        return static_cast<uint16_t>(error & 0xFFFF);
    }
}

bool fxi_dir_exists(const char *path) {
    std::string text = path ? path : "";
    while (!text.empty() && text.back() == '\\') text.pop_back();
    if (text.empty()) return true;
    if (text.back() == ':') return fxi_vol_valid(text.c_str());
    if (text.size() > DXI_PATH_PART_MAX) return false;
    DWORD attributes = GetFileAttributesA(text.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint16_t fxi_dir_make(const char *path) {
    char dir[DXI_PATH_PART_MAX + 1], name[DXI_PATH_PART_MAX + 1], ext[DXI_PATH_PART_MAX + 1];
    if (uint16_t code = fxi_path_split(path, nullptr, dir, name, ext, nullptr, nullptr))
        return code;
    // A root exists by definition (the directory part alone is a backslash and nothing follows).
    if (strcmp(dir, "\\") == 0 && !name[0] && !ext[0]) return 2603;
    std::string target = without_trailing_backslash(path);
    if (!CreateDirectoryA(target.c_str(), nullptr)) return fxi_map_dir_error(GetLastError());
    return 0;
}

uint16_t fxi_dir_make_all(const char *path) {
    char drive[DXI_PATH_PART_MAX + 1];
    if (uint16_t code = fxi_path_split(path, drive, nullptr, nullptr, nullptr, nullptr, nullptr))
        return code;
    std::string text = path;
    for (size_t i = strlen(drive) + 1; i < text.size(); ++i) {
        if (text[i] != '\\') continue;
        uint16_t code = fxi_dir_make(text.substr(0, i).c_str());
        if (code && code != 2603) return code;
    }
    uint16_t code = fxi_dir_make(path);
    return code == 2603 ? 0 : code;
}

uint16_t fxi_dir_remove(const char *path) {
    std::string target = without_trailing_backslash(path);
    if (!RemoveDirectoryA(target.c_str())) return fxi_map_dir_error(GetLastError());
    return 0;
}

char *fxi_dir_current(char *out) {
    DWORD n = GetCurrentDirectoryA(521, out);
    if (n == 0 || n >= 521) out[0] = 0;
    size_t length = strlen(out);
    if (length > 0 && out[length - 1] != '\\') strcpy(out + length, "\\");
    return out;
}

char *fxi_dir_startup(char *out) {
    if (!startup_known) return fxi_dir_current(out);
    return copy_out(out, startup_directory);
}

uint16_t fxi_dir_set_current(const char *path) {
    std::string target = path ? path : "";
    // "X:\" keeps its backslash: without it, it would name the drive's current directory.
    bool drive_root = target.size() == 3 && target[1] == ':' && target[2] == '\\';
    if (target.size() > 1 && target.back() == '\\' && !drive_root) target.pop_back();
    if (!startup_known) {
        char current[DXI_PATH_BUFFER];
        startup_directory = fxi_dir_current(current);
        startup_known = true;
    }
    if (target.size() == 2 && target[1] == ':' && isalpha(static_cast<unsigned char>(target[0]))) {
        char variable[4] = {'=', static_cast<char>(toupper(static_cast<unsigned char>(target[0]))),
                            ':', 0};
        char value[DXI_PATH_BUFFER];
        DWORD n = GetEnvironmentVariableA(variable, value, sizeof value);
        // The drive's remembered directory, or its root when that is gone.
        if (n > 0 && n < sizeof value && fxi_dir_exists(value))
            target = value;
        else
            target += '\\';
    }
    if (!SetCurrentDirectoryA(target.c_str())) return fxi_map_dir_error(GetLastError());
    char now[DXI_PATH_BUFFER];
    DWORD n = GetCurrentDirectoryA(sizeof now, now);
    if (n > 0 && n < sizeof now && now[1] == ':') {
        char variable[4] = {'=', static_cast<char>(toupper(static_cast<unsigned char>(now[0]))),
                            ':', 0};
        SetEnvironmentVariableA(variable, now);
    }
    return 0;
}

namespace {

// Steps from the entry in `data` to the first one the filters accept.
uint16_t accept_entries(WIN32_FIND_DATAW &data, char *full_name, TXI_DIRSCAN *scan) {
    const uint16_t special = DXI_ATTR_HIDDEN | DXI_ATTR_SYSTEM | DXI_ATTR_DIRECTORY;
    for (;;) {
        uint16_t attributes = static_cast<uint16_t>(data.dwFileAttributes);
        // Hidden, system and directory entries need one of their own bits in the mask.
        bool skipped = (attributes & special) && !(attributes & scan->mask & special);
        if (!skipped) {
            scan->entry_attributes = attributes;
            scan->entry_size =
                (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            FILETIME local{};
            WORD date = 0, time = 0;
            if (!fxd_local_from_filetime(&data.ftLastWriteTime, &local) ||
                !FileTimeToDosDateTime(&local, &date, &time))
                date = time = 0;
            fxi_clock_from_dos(date, time, &scan->entry_time);
            if (WideCharToMultiByte(CP_ACP, 0, data.cFileName, -1, scan->entry_name,
                                    sizeof scan->entry_name, nullptr, nullptr) == 0)
                scan->entry_name[0] = 0;
            if (full_name)
                fxi_path_make(scan->drive, scan->directory, scan->entry_name, nullptr, nullptr,
                              full_name);
            bool passes = scan->mask == DXI_ATTR_DIRECTORY ? (attributes & DXI_ATTR_DIRECTORY) != 0
                          : scan->exact                    ? attributes == scan->mask
                                                           : true;
            if (passes) return 0;
        }
        if (!FindNextFileW(scan->handle, &data)) {
            DWORD error = GetLastError();
            fxi_dir_close(scan);
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                       ? 2605
                       : fxi_map_dir_error(error);
        }
    }
}

} // namespace

uint16_t fxi_dir_first(const char *pattern, uint16_t mask, uint16_t exact, char *full_name,
                       TXI_DIRSCAN *scan) {
    scan->handle = INVALID_HANDLE_VALUE;
    scan->pattern[0] = scan->drive[0] = scan->directory[0] = scan->entry_name[0] = 0;
    std::string text = without_trailing_backslash(pattern);
    if (uint16_t code = fxi_path_split(text.c_str(), scan->drive, scan->directory, nullptr, nullptr,
                                       nullptr, nullptr))
        return code;
    copy_out(scan->pattern, text);
    scan->mask = mask ? mask : DXI_ATTR_READONLY | DXI_ATTR_ARCHIVE;
    scan->exact = exact;
    if (scan->drive[0] && !fxi_vol_valid(scan->drive)) return 2651;

    std::basic_string<WCHAR> wide = fxi_wide_path(text.c_str());
    if (wide.empty()) return 2605;
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(wide.c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? 2605
                   : fxi_map_dir_error(error);
    }
    scan->handle = handle;
    return accept_entries(data, full_name, scan);
}

uint16_t fxi_dir_next(char *full_name, TXI_DIRSCAN *scan) {
    if (scan->handle == INVALID_HANDLE_VALUE) return 2605;
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(scan->handle, &data)) {
        DWORD error = GetLastError();
        fxi_dir_close(scan);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? 2605
                   : fxi_map_dir_error(error);
    }
    return accept_entries(data, full_name, scan);
}

void fxi_dir_close(TXI_DIRSCAN *scan) {
    if (scan->handle == INVALID_HANDLE_VALUE) return;
    FindClose(scan->handle);
    scan->handle = INVALID_HANDLE_VALUE;
}

uint16_t fxi_delete_files(const char *pattern) {
    TXI_DIRSCAN scan;
    char full[DXI_PATH_BUFFER];
    uint16_t last_failure = 0;
    for (uint16_t code = fxi_dir_first(pattern, 0, 0, full, &scan); code == 0;
         code = fxi_dir_next(full, &scan))
        if (uint16_t failed = fxi_delete_file(full)) last_failure = failed;
    fxi_dir_close(&scan);
    return last_failure;
}

// ---- Volumes and computers ------------------------------------------------------------------

bool fxi_vol_valid(const char *drive) {
    std::string root = std::string(drive ? drive : "") + "\\";
    UINT type = GetDriveTypeA(root.c_str());
    return type > DRIVE_NO_ROOT_DIR ||
           (type == DRIVE_NO_ROOT_DIR && starts_with_nocase(root.c_str(), "\\\\?\\"));
}

bool fxi_vol_removable(const char *drive) {
    std::string root = std::string(drive ? drive : "") + "\\";
    UINT type = GetDriveTypeA(root.c_str());
    return type == DRIVE_REMOVABLE || type == DRIVE_CDROM;
}

namespace {
// The server of a network path: between the leading backslashes and the next one.
std::string server_of(const char *path) {
    const char *start = path + 2;
    const char *end = strchr(start, '\\');
    return end ? std::string(start, end) : std::string(start);
}
} // namespace

bool fxi_vol_is_local(const char *drive) {
    if (!drive) return true;
    if (drive[0] == '\\' && drive[1] == '\\') {
        char computer[16];
        if (fxi_computer_name(computer)) return false;
        return same_nocase(server_of(drive).c_str(), computer);
    }
    std::string root = std::string(drive) + "\\";
    return GetDriveTypeA(root.c_str()) != DRIVE_REMOTE;
}

char *fxi_vol_current(char *out) {
    char current[DXI_PATH_BUFFER];
    fxi_dir_current(current);
    const char *colon = strchr(current, ':');
    return copy_out(out, colon ? std::string(static_cast<const char *>(current), colon + 1)
                               : std::string(current));
}

char *fxi_vol_server(const char *drive, char *out) {
    out[0] = 0;
    if (!drive) return out;
    if (drive[0] == '\\' && drive[1] == '\\') return copy_out(out, server_of(drive));
    const char *colon = strchr(drive, ':');
    std::string local = colon ? std::string(drive, colon + 1) : std::string(drive);
    char remote[500];
    DWORD length = sizeof remote;
    if (WNetGetConnectionA(local.c_str(), remote, &length) != NO_ERROR) return out;
    if (remote[0] == '\\' && remote[1] == '\\') return copy_out(out, server_of(remote));
    return out;
}

char *fxi_current_server(char *out) {
    char drive[DXI_PATH_BUFFER];
    return fxi_vol_server(fxi_vol_current(drive), out);
}

uint16_t fxi_computer_name(char *out) {
    char name[16];
    DWORD size = sizeof name;
    out[0] = 0;
    if (!GetComputerNameA(name, &size)) return 1200;
    size_t length = strlen(name);
    while (length > 0 && name[length - 1] == ' ') --length;
    put(out, name, length);
    return 0;
}

char *fxi_module_path(char *out) {
    static std::once_flag parsed;
    static std::string program;
    std::call_once(parsed, [] {
        int count = 0;
        LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &count);
        if (!args) return;
        if (count > 0) {
            int n = WideCharToMultiByte(CP_ACP, 0, args[0], -1, nullptr, 0, nullptr, nullptr);
            if (n > 0) {
                program.resize(static_cast<size_t>(n));
                WideCharToMultiByte(CP_ACP, 0, args[0], -1, program.data(), n, nullptr, nullptr);
                program.resize(static_cast<size_t>(n - 1));
            }
        }
        LocalFree(args);
    });
    char drive[DXI_PATH_PART_MAX + 1], dir[DXI_PATH_PART_MAX + 1], name[DXI_PATH_PART_MAX + 1],
        ext[DXI_PATH_PART_MAX + 1];
    if (fxi_path_split(program.c_str(), drive, dir, name, ext, nullptr, nullptr)) {
        out[0] = 0;
        return out;
    }
    std::string directory = dir, drive_text = drive;
    if (!drive[0] || dir[0] != '\\') {
        char startup[DXI_PATH_BUFFER], start_drive[DXI_PATH_PART_MAX + 1],
            start_dir[DXI_PATH_PART_MAX + 1];
        fxi_dir_startup(startup);
        // A start-up directory the split refuses gives empty parts: the path stays as found.
        (void)fxi_path_split(startup, start_drive, start_dir, nullptr, nullptr, nullptr, nullptr);
        if (dir[0] != '\\' && (!drive[0] || same_nocase(drive, start_drive)))
            directory = std::string(start_dir) + dir;
        if (!drive[0]) drive_text = start_drive;
    }
    std::string path = fxi_path_make_string(drive_text.c_str(), directory.c_str(), name,
                                            ext[0] ? ext : "exe", nullptr);
    return copy_out(out, path);
}
