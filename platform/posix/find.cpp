// Directories on POSIX: creating and removing them, searching them with DOS wildcards, the
// current directory, full path names and the temporary folder.
#include "files_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace kova_posix {

namespace {

std::u32string code_points(std::string_view utf8) {
    std::u16string wide = wide_from_utf8(utf8);
    std::u32string out;
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        out += c;
    }
    return out;
}

char32_t fold(char32_t c) {
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

bool wild_match(const char32_t *p, const char32_t *pe, const char32_t *n, const char32_t *ne) {
    while (p < pe) {
        if (*p == '*') {
            while (p < pe && *p == '*') ++p;
            if (p == pe) return true;
            for (const char32_t *s = n; s <= ne; ++s)
                if (wild_match(p, pe, s, ne)) return true;
            return false;
        }
        if (n == ne) return false;
        if (*p != '?' && fold(*p) != fold(*n)) return false;
        ++p, ++n;
    }
    return n == ne;
}

// DOS wildcards: '*' any run, '?' one character, case ignored; a name without a dot also
// matches as if it ended in one, so "*.*" takes every name and "*." the names without one.
bool dos_match(const std::u32string &pattern, const std::string &name) {
    std::u32string n = code_points(name);
    const char32_t *p = pattern.data();
    if (wild_match(p, p + pattern.size(), n.data(), n.data() + n.size())) return true;
    if (n.find(U'.') != std::u32string::npos) return false;
    n += U'.';
    return wild_match(p, p + pattern.size(), n.data(), n.data() + n.size());
}

struct FindObject : kova_object {
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

FindObject *as_find(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<FindObject *>(handle);
}

bool fill_entry(const std::string &dir, const std::string &name, WIN32_FIND_DATAW &data) {
    std::u16string wide = wide_from_utf8(name);
    if (wide.size() >= MAX_PATH) return false; // no Windows name can hold it
    std::string host = (dir == "/" ? "" : dir) + "/" + name;
    struct stat st;
    if (stat(host.c_str(), &st) != 0 && lstat(host.c_str(), &st) != 0) return false;
    data = WIN32_FIND_DATAW{};
    data.dwFileAttributes = attributes_of(host, st);
    data.ftCreationTime = creation_time_of(host, st);
    data.ftLastAccessTime = filetime_from_timespec(st.st_atim);
    data.ftLastWriteTime = filetime_from_timespec(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::copy(wide.begin(), wide.end(), data.cFileName);
    return true;
}

HANDLE find_first(const std::string &pattern_text, WIN32_FIND_DATAW *data) {
    if (!data) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    std::string text = pattern_text;
    size_t cut = text.find_last_of("\\/");
    std::string dir_part, leaf;
    if (cut != std::string::npos) {
        dir_part = text.substr(0, cut + 1);
        leaf = text.substr(cut + 1);
    } else if (text.size() >= 2 && text[1] == ':') {
        dir_part = text.substr(0, 2);
        leaf = text.substr(2);
    } else {
        dir_part = ".";
        leaf = text;
    }
    if (leaf.empty()) return fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    ResolvedPath dir;
    if (!resolve(dir_part, dir)) return INVALID_HANDLE_VALUE;
    struct stat st;
    if (stat(dir.host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    for (unsigned char c : leaf)
        if (c < 32 || strchr("<>:\"|", c)) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_NAME);

    DIR *d = opendir(dir.host.c_str());
    if (!d) return fail_errno(INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) names.emplace_back(e->d_name);
    closedir(d);
    // Windows lists "." and ".." first, and not at all in the root of a drive.
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        auto rank = [](const std::string &n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
        return rank(a) < rank(b);
    });
    auto find = std::make_unique<FindObject>();
    std::u32string pattern = code_points(leaf);
    for (const auto &name : names) {
        if ((name == "." || name == "..") && dir.is_root) continue;
        if (!dos_match(pattern, name)) continue;
        WIN32_FIND_DATAW entry;
        if (fill_entry(dir.host, name, entry)) find->entries.push_back(entry);
    }
    if (find->entries.empty()) return fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    *data = find->entries[0];
    find->next = 1;
    SetLastError(ERROR_SUCCESS);
    return find.release();
}

void narrow_entry(const WIN32_FIND_DATAW &wide, WIN32_FIND_DATAA &narrow) {
    narrow = WIN32_FIND_DATAA{};
    narrow.dwFileAttributes = wide.dwFileAttributes;
    narrow.ftCreationTime = wide.ftCreationTime;
    narrow.ftLastAccessTime = wide.ftLastAccessTime;
    narrow.ftLastWriteTime = wide.ftLastWriteTime;
    narrow.nFileSizeHigh = wide.nFileSizeHigh;
    narrow.nFileSizeLow = wide.nFileSizeLow;
    WideCharToMultiByte(CP_ACP, 0, wide.cFileName, -1, narrow.cFileName, MAX_PATH, nullptr,
                        nullptr);
}

// Copies `text` into a caller's buffer with Windows' convention: the length without the NUL
// on success, the size needed with it when the buffer is too small.
DWORD answer_text(const std::string &text, LPSTR buffer, DWORD size) {
    if (!buffer || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(text.size());
}

bool create_directory(const std::string &name) {
    ResolvedPath r;
    if (!resolve(name, r)) return false;
    if (r.exists || r.is_root) return fail(false, ERROR_ALREADY_EXISTS);
    if (mkdir(r.host.c_str(), 0777) != 0)
        return errno == EEXIST ? fail(false, ERROR_ALREADY_EXISTS) : fail_errno(false, true);
    SetLastError(ERROR_SUCCESS);
    return true;
}

} // namespace

} // namespace kova_posix

using namespace kova_posix;

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(FALSE, ERROR_FILENAME_EXCED_RANGE);
    return create_directory(utf8_from_ansi(name));
}

BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    return create_directory(utf8_from_wide(name));
}

BOOL RemoveDirectoryA(LPCSTR name) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(FALSE, ERROR_FILENAME_EXCED_RANGE);
    ResolvedPath r;
    if (!resolve(utf8_from_ansi(name), r)) return FALSE;
    if (r.is_root) return fail(FALSE, ERROR_ACCESS_DENIED);
    struct stat lst, st, cwd;
    if (lstat(r.host.c_str(), &lst) != 0) return fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (!S_ISDIR(lst.st_mode)) return fail(FALSE, ERROR_DIRECTORY);
    // A folder that is some process's current directory is in use on Windows; this process is
    // the one we can see.
    if (stat(r.host.c_str(), &st) == 0 && stat(".", &cwd) == 0 && st.st_dev == cwd.st_dev &&
        st.st_ino == cwd.st_ino)
        return fail(FALSE, ERROR_SHARING_VIOLATION);
    if (rmdir(r.host.c_str()) != 0)
        return fail(FALSE, errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                                 : kova_error_from_errno(errno));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!pattern) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    return find_first(utf8_from_wide(pattern), data);
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
    FindObject *find = as_find(handle);
    if (!find || !data) return fail(FALSE, find ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    if (find->next >= find->entries.size()) return fail(FALSE, ERROR_NO_MORE_FILES);
    *data = find->entries[find->next++];
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    if (!pattern || !data) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    WIN32_FIND_DATAW wide;
    HANDLE h = find_first(utf8_from_ansi(pattern), &wide);
    if (h != INVALID_HANDLE_VALUE) narrow_entry(wide, *data);
    return h;
}

BOOL FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
    if (!data) return fail(FALSE, ERROR_INVALID_PARAMETER);
    WIN32_FIND_DATAW wide;
    if (!FindNextFileW(handle, &wide)) return FALSE;
    narrow_entry(wide, *data);
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    FindObject *find = as_find(handle);
    if (!find) return fail(FALSE, ERROR_INVALID_HANDLE);
    delete find;
    return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    return answer_text(kova_ansi_from_utf8(current_dos_directory()), buffer, size);
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (!path) return fail(FALSE, ERROR_INVALID_PARAMETER);
    ResolvedPath r;
    if (!resolve(utf8_from_ansi(path), r)) return FALSE;
    struct stat st;
    if (stat(r.host.c_str(), &st) != 0) return fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (!S_ISDIR(st.st_mode)) return fail(FALSE, ERROR_DIRECTORY);
    if (chdir(r.host.c_str()) != 0) return fail_errno(FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR *file_part) {
    if (!name || !*name) return fail(0u, ERROR_INVALID_NAME);
    std::string full;
    if (!full_dos_path(utf8_from_ansi(name), full)) return 0;
    std::string ansi = kova_ansi_from_utf8(full);
    DWORD n = answer_text(ansi, buffer, size);
    if (file_part && n == ansi.size()) {
        size_t cut = ansi.rfind('\\');
        *file_part = cut + 1 < ansi.size() ? buffer + cut + 1 : nullptr;
    }
    return n;
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR *file_part) {
    if (!name || !*name) return fail(0u, ERROR_INVALID_NAME);
    std::string full;
    if (!full_dos_path(utf8_from_wide(name), full)) return 0;
    std::u16string wide = wide_from_utf8(full);
    if (!buffer || size <= wide.size()) return static_cast<DWORD>(wide.size() + 1);
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = u'\0';
    if (file_part) {
        size_t cut = wide.rfind(u'\\');
        *file_part = cut + 1 < wide.size() ? buffer + cut + 1 : nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    std::string dos;
    for (const char *name : {"TMP", "TEMP"}) {
        const char *value = getenv(name);
        if (!value || !*value) continue;
        std::string v = value;
        // A Windows-style value is taken as it stands, a host folder through the drives.
        if ((v.size() >= 2 && v[1] == ':') || v.rfind("\\\\", 0) == 0)
            dos = kova_ansi_from_utf8(v);
        else if (v[0] == '/')
            dos = kova_dos_from_host(v);
        if (!dos.empty()) break;
    }
    if (dos.empty()) {
        const char *tmpdir = getenv("TMPDIR");
        dos = kova_dos_from_host(tmpdir && *tmpdir == '/' ? tmpdir : "/tmp");
    }
    if (dos.back() != '\\') dos += '\\';
    return answer_text(dos, buffer, size);
}
