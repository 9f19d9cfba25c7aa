// Profile files (.ini) of the POSIX platform with the Windows rules for sections, keys, values,
// enumerations and truncation. A change re-reads the file under a lock on its folder and
// renames a complete new file into place; the lines it does not touch keep their bytes.
#include "system_support.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using kova_sys::iequal;

namespace {

struct Line {
    std::string text;
    std::string end; // "\r\n", "\n" or "" on the last line
};

enum class Kind { other, section, key };

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view strip(std::string_view s) {
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

struct Parsed {
    Kind kind = Kind::other;
    std::string_view name;  // section or key name
    std::string_view value; // the key's value, stripped of blanks and one pair of quotes
};

Parsed classify(std::string_view text, bool first_line) {
    if (first_line && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::string_view line = strip(text);
    Parsed p;
    if (line.empty() || line[0] == ';') return p;
    if (line[0] == '[') {
        size_t close = line.find(']');
        p.kind = Kind::section;
        p.name = strip(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
        return p;
    }
    p.kind = Kind::key;
    size_t eq = line.find('=');
    p.name = strip(line.substr(0, eq));
    if (eq != std::string_view::npos) {
        std::string_view v = strip(line.substr(eq + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        p.value = v;
    }
    return p;
}

std::vector<Line> split_lines(const std::string &text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        Line line;
        if (nl == std::string::npos) {
            line.text = text.substr(start);
            start = text.size();
        } else {
            size_t end = nl > start && text[nl - 1] == '\r' ? nl - 1 : nl;
            line.text = text.substr(start, end - start);
            line.end = text.substr(end, nl + 1 - end);
            start = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The host path of a profile file; a bare name lives in the Windows directory.
std::string host_path(LPCSTR file_name) {
    std::string dos = file_name;
    if (dos.find_first_of("\\/:") == std::string::npos) dos = "C:\\Windows\\" + dos;
    return kova_host_from_dos(dos);
}

// Copies a double-NUL list (names each followed by NUL) by the enumeration rules: a list that
// does not fit is cut, ends in two NULs and answers size - 2.
DWORD give_list(const std::string &list, LPSTR buffer, DWORD size) {
    if (list.size() + 1 <= size) {
        memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        if (list.empty() && size > 1) buffer[1] = '\0';
        return static_cast<DWORD>(list.size());
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

DWORD give_text(std::string_view text, LPSTR buffer, DWORD size) {
    DWORD n = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
    if (n) memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}

bool has_any(LPCSTR text, const char *chars) {
    return text && std::string_view(text).find_first_of(chars) != std::string_view::npos;
}

} // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                               DWORD size, LPCSTR file_name) {
    if (!buffer || size == 0) return 0;
    buffer[0] = '\0';
    std::string contents;
    if (file_name) {
        std::string path = host_path(file_name);
        if (!path.empty()) kova_sys::read_whole(path, contents); // a missing file reads empty
    }
    std::vector<Line> lines = split_lines(contents);

    if (!section) {
        std::string list;
        std::vector<std::string_view> seen;
        for (size_t i = 0; i < lines.size(); ++i) {
            Parsed p = classify(lines[i].text, i == 0);
            if (p.kind != Kind::section) continue;
            bool dup = false;
            for (auto s : seen) dup = dup || iequal(s, p.name);
            if (dup) continue;
            seen.push_back(p.name);
            list.append(p.name).push_back('\0');
        }
        return give_list(list, buffer, size);
    }

    // Only the first section of a name is read, as writes change only that one.
    bool inside = false, seen = false;
    std::string list;
    for (size_t i = 0; i < lines.size(); ++i) {
        Parsed p = classify(lines[i].text, i == 0);
        if (p.kind == Kind::section) {
            if (seen) break;
            inside = seen = iequal(p.name, section);
        } else if (p.kind == Kind::key && inside) {
            if (!key)
                list.append(p.name).push_back('\0');
            else if (iequal(p.name, key))
                return give_text(p.value, buffer, size);
        }
    }
    if (!key) return give_list(list, buffer, size);

    // Not found: the default, without its trailing blanks.
    std::string_view fallback = default_value ? default_value : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
    return give_text(fallback, buffer, size);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT default_value, LPCSTR file_name) {
    char text[64];
    if (!GetPrivateProfileStringA(section, key, "", text, sizeof text, file_name))
        return static_cast<UINT>(default_value);
    // Leading digits count, as StrToInt reads them; anything else gives 0.
    const char *p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long long value = 0;
    while (*p >= '0' && *p <= '9' && value < 0x100000000ll) value = value * 10 + (*p++ - '0');
    return static_cast<UINT>(negative ? -value : value);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file_name) {
    if (!section) {
        // Windows flushes its cache with all three absent; there is no cache here.
        if (!key && !value) return TRUE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!file_name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A line break in any part, '=' in a key or ']' in a section would write other lines than
    // the caller meant (and let a value plant keys of its own): refused.
    if (has_any(section, "\r\n]") || has_any(key, "\r\n=") || has_any(value, "\r\n") ||
        (key && kova_sys::trim(key).empty())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = host_path(file_name);
    if (path.empty()) return FALSE; // the path's error is already set

    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    kova_sys::FileLock lock(folder);
    if (!lock.held()) {
        SetLastError(lock.error());
        return FALSE;
    }

    std::string contents;
    DWORD error = kova_sys::read_whole(path, contents);
    bool exists = error == ERROR_SUCCESS;
    if (!exists && error != ERROR_FILE_NOT_FOUND) {
        SetLastError(error);
        return FALSE;
    }
    if (exists && stat(path.c_str(), &st) == 0 &&
        ((st.st_mode & S_IWUSR) == 0 || access(path.c_str(), W_OK) != 0)) {
        SetLastError(ERROR_ACCESS_DENIED); // a read-only file stays as it is
        return FALSE;
    }

    std::vector<Line> lines = split_lines(contents);
    // Where the first section of that name starts and ends, and where its key is.
    size_t header = lines.size(), body_end = lines.size(), last_key = lines.size();
    size_t key_line = lines.size();
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        Parsed p = classify(lines[i].text, i == 0);
        if (p.kind == Kind::section) {
            if (inside) {
                body_end = i;
                break;
            }
            if (header == lines.size() && iequal(p.name, section)) {
                header = i;
                inside = true;
            }
        } else if (inside && p.kind == Kind::key) {
            last_key = i;
            if (key && key_line == lines.size() && iequal(p.name, key)) key_line = i;
        }
    }

    bool changed = false;
    if (!key) {
        if (header != lines.size()) {
            lines.erase(lines.begin() + static_cast<long>(header),
                        lines.begin() + static_cast<long>(body_end));
            changed = true;
        }
    } else if (!value) {
        if (key_line != lines.size()) {
            lines.erase(lines.begin() + static_cast<long>(key_line));
            changed = true;
        }
    } else if (key_line != lines.size()) {
        // The key keeps the spelling the file gives it.
        std::string_view name = classify(lines[key_line].text, key_line == 0).name;
        std::string text = std::string(name) + "=" + value;
        if (text != lines[key_line].text) {
            lines[key_line].text = text;
            if (lines[key_line].end.empty()) lines[key_line].end = "\r\n";
            changed = true;
        }
    } else {
        Line fresh{std::string(key) + "=" + value, "\r\n"};
        if (header == lines.size()) {
            if (!lines.empty()) {
                if (lines.back().end.empty()) lines.back().end = "\r\n";
                if (!strip(lines.back().text).empty()) lines.push_back(Line{"", "\r\n"});
            }
            lines.push_back(Line{std::string("[") + section + "]", "\r\n"});
            lines.push_back(fresh);
        } else {
            size_t after = last_key != lines.size() ? last_key : header;
            if (lines[after].end.empty()) lines[after].end = "\r\n";
            lines.insert(lines.begin() + static_cast<long>(after) + 1, fresh);
        }
        changed = true;
    }
    if (!changed) return TRUE;

    std::string text;
    for (const auto &line : lines) text += line.text + line.end;
    error = kova_sys::replace_file(path, text, 0644);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
