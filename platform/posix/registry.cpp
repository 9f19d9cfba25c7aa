// The registry of the POSIX platform: REGEDIT4 hives in the prefix. Readers parse the hive
// file (cached while it is unchanged); every change re-reads it under the registry lock,
// applies itself and renames a complete new hive into place, so that writers in several
// processes never lose each other's changes and a crash never leaves half a hive.
#include "system_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unordered_set>

using kova_sys::fold;
using kova_sys::iequal;

struct kova_hkey {
    int hive;
    std::vector<std::string> path; // below the hive's root, as the keys are spelled
    REGSAM access;
};

namespace {

enum Hive : int { SYSTEM_HIVE = 0, USER_HIVE = 1 };
const char *const hive_file[] = {"system.reg", "user.reg"};
const char *const hive_root[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};

struct Value {
    std::string name; // empty: the key's default value
    DWORD type = REG_NONE;
    std::string data;
};

struct Key {
    std::string name;
    std::vector<Value> values;                 // in the order they were first set
    std::vector<std::unique_ptr<Key>> subkeys; // in the order of their folded names

    Key *find(std::string_view sub) const {
        for (const auto &k : subkeys)
            if (iequal(k->name, sub)) return k.get();
        return nullptr;
    }
    Key *add(std::string_view sub) {
        if (Key *k = find(sub)) return k;
        std::string key = kova_sys::folded(sub);
        auto at = std::find_if(subkeys.begin(), subkeys.end(),
                               [&](const auto &k) { return kova_sys::folded(k->name) > key; });
        auto fresh = std::make_unique<Key>();
        fresh->name = std::string(sub);
        return subkeys.insert(at, std::move(fresh))->get();
    }
    Value *value(std::string_view value_name) {
        for (auto &v : values)
            if (iequal(v.name, value_name)) return &v;
        return nullptr;
    }
};

struct Tree {
    Key root;
    bool damaged = false; // lines this platform cannot read: changes are refused
    FILETIME written{};   // the hive file's time of last change
};

// ---- Text form ----

std::string hex_byte(unsigned char b) {
    char text[3];
    snprintf(text, sizeof text, "%02x", b);
    return text;
}

std::string quoted(std::string_view ansi) {
    std::string out = "\"";
    for (char c : kova_utf8_from_ansi(ansi)) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

bool printable_string(const std::string &data) {
    if (data.empty() || data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        auto c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 && c != '\t') return false;
    }
    return true;
}

std::string value_line(const Value &v) {
    std::string line = v.name.empty() ? "@" : quoted(v.name);
    line += '=';
    if (v.type == REG_SZ && printable_string(v.data)) {
        line += quoted(std::string_view(v.data).substr(0, v.data.size() - 1));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        for (int i = 3; i >= 0; --i) d = d << 8 | static_cast<unsigned char>(v.data[i]);
        char text[16];
        snprintf(text, sizeof text, "dword:%08x", d);
        line += text;
    } else {
        if (v.type == REG_BINARY) {
            line += "hex:";
        } else {
            char text[16];
            snprintf(text, sizeof text, "hex(%x):", v.type);
            line += text;
        }
        for (size_t i = 0; i < v.data.size(); ++i) {
            if (i) line += ',';
            line += hex_byte(static_cast<unsigned char>(v.data[i]));
        }
    }
    return line;
}

void write_key(std::string &out, const Key &key, const std::string &path, bool is_root) {
    if (!is_root || !key.values.empty()) {
        out += "\n[" + kova_utf8_from_ansi(path) + "]\n";
        for (const auto &v : key.values) out += value_line(v) + "\n";
    }
    for (const auto &sub : key.subkeys) write_key(out, *sub, path + "\\" + sub->name, false);
}

std::string hive_text(const Tree &tree, int hive) {
    std::string out = "REGEDIT4\n";
    write_key(out, tree.root, hive_root[hive], true);
    return out;
}

// Reads "name" or @ at the start of a value line; answers the position after it.
size_t parse_name(std::string_view line, std::string &name) {
    if (line.empty()) return std::string_view::npos;
    if (line[0] == '@') {
        name.clear();
        return 1;
    }
    if (line[0] != '"') return std::string_view::npos;
    std::string utf8;
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            utf8.push_back(line[++i]);
        } else if (line[i] == '"') {
            name = kova_ansi_from_utf8(utf8);
            return i + 1;
        } else {
            utf8.push_back(line[i]);
        }
    }
    return std::string_view::npos;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex_bytes(std::string_view text, std::string &data) {
    data.clear();
    text = kova_sys::trim(text);
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = kova_sys::trim(text.substr(0, comma));
        if (item.empty() || item.size() > 2) return false;
        unsigned value = 0;
        for (char c : item) {
            int digit = hex_digit(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        data.push_back(static_cast<char>(value));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return true;
}

bool parse_data(std::string_view text, Value &v) {
    if (!text.empty() && text[0] == '"') {
        std::string utf8;
        size_t i = 1;
        for (; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size())
                utf8.push_back(text[++i]);
            else if (text[i] == '"')
                break;
            else
                utf8.push_back(text[i]);
        }
        if (i >= text.size() || !kova_sys::trim(text.substr(i + 1)).empty()) return false;
        v.type = REG_SZ;
        v.data = kova_ansi_from_utf8(utf8);
        v.data.push_back('\0');
        return true;
    }
    if (text.substr(0, 6) == "dword:") {
        std::string digits(kova_sys::trim(text.substr(6)));
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        DWORD d = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
        v.type = REG_DWORD;
        v.data.assign(4, '\0');
        for (int i = 0; i < 4; ++i) v.data[i] = static_cast<char>(d >> (8 * i));
        return true;
    }
    if (text.substr(0, 4) == "hex:") {
        v.type = REG_BINARY;
        return parse_hex_bytes(text.substr(4), v.data);
    }
    if (text.substr(0, 4) == "hex(") {
        size_t close = text.find("):");
        if (close == std::string_view::npos || close == 4) return false;
        std::string digits(text.substr(4, close - 4));
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        v.type = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
        return parse_hex_bytes(text.substr(close + 2), v.data);
    }
    return false;
}

// Splits a key path of the hive text; the first component must be the hive's root.
Key *header_key(Tree &tree, std::string_view path, int hive) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('\\', start);
        parts.emplace_back(path.substr(start, slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (!iequal(parts[0], hive_root[hive])) return nullptr;
    Key *key = &tree.root;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) return nullptr;
        key = key->add(kova_ansi_from_utf8(parts[i]));
    }
    return key;
}

void parse_hive(const std::string &text, int hive, Tree &tree) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Long hex values may continue on the next line after a backslash.
        if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\\' &&
            lines.back().find("=hex") != std::string::npos) {
            lines.back().pop_back();
            lines.back() += std::string(kova_sys::trim(line));
        } else {
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }

    bool signed_in = false;
    Key *key = nullptr;
    for (const auto &raw : lines) {
        std::string_view line = kova_sys::trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (!signed_in) {
            signed_in = true;
            if (line != "REGEDIT4") tree.damaged = true;
            continue;
        }
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            key = close == std::string_view::npos
                      ? nullptr
                      : header_key(tree, line.substr(1, close - 1), hive);
            if (!key) tree.damaged = true;
            continue;
        }
        Value v;
        size_t after = parse_name(line, v.name);
        if (!key || after == std::string_view::npos) {
            tree.damaged = true;
            continue;
        }
        std::string_view rest = kova_sys::trim(line.substr(after));
        if (rest.empty() || rest[0] != '=' || !parse_data(kova_sys::trim(rest.substr(1)), v)) {
            tree.damaged = true;
            continue;
        }
        if (Value *old = key->value(v.name))
            *old = std::move(v);
        else
            key->values.push_back(std::move(v));
    }
}

FILETIME filetime_of(const struct stat &st) {
    uint64_t ticks = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// ---- Hives on disk ----

std::mutex registry_mutex; // the cache and the set of open handles
std::unordered_set<kova_hkey *> open_keys;

struct CacheEntry {
    std::string path;
    ino_t inode = 0;
    timespec mtime{};
    off_t size = 0;
    std::shared_ptr<const Tree> tree;
};
CacheEntry cache[2];

std::string hive_path(int hive) {
    std::string prefix = kova_prefix();
    return prefix.empty() ? std::string() : prefix + "/" + hive_file[hive];
}

// Reads a hive from disk (an absent file is an empty hive).
DWORD read_hive(const std::string &path, int hive, Tree &tree) {
    std::string text;
    DWORD error = kova_sys::read_whole(path, text);
    if (error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS) return error;
    parse_hive(text, hive, tree);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) tree.written = filetime_of(st);
    return ERROR_SUCCESS;
}

// The current hive for reading; renames make a changed file a new inode, so the cache knows.
DWORD current_hive(int hive, std::shared_ptr<const Tree> &out) {
    std::string path = hive_path(hive);
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    struct stat st {};
    bool exists = stat(path.c_str(), &st) == 0;
    {
        std::lock_guard lock(registry_mutex);
        CacheEntry &c = cache[hive];
        if (c.tree && c.path == path && exists && c.inode == st.st_ino && c.size == st.st_size &&
            c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec) {
            out = c.tree;
            return ERROR_SUCCESS;
        }
    }
    auto tree = std::make_shared<Tree>();
    if (DWORD error = read_hive(path, hive, *tree)) return error;
    if (exists) {
        std::lock_guard lock(registry_mutex);
        cache[hive] = CacheEntry{path, st.st_ino, st.st_mtim, st.st_size, tree};
    }
    out = tree;
    return ERROR_SUCCESS;
}

// Applies one change: under the registry lock the hive is read afresh, changed and written
// back whole. `change` answers the status and whether it changed anything.
LSTATUS change_hive(int hive, const std::function<LSTATUS(Tree &, bool &)> &change) {
    std::string path = hive_path(hive);
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    kova_sys::FileLock lock(kova_prefix() + "/registry.lock");
    if (!lock.held()) return static_cast<LSTATUS>(lock.error());
    Tree tree;
    if (DWORD error = read_hive(path, hive, tree)) return static_cast<LSTATUS>(error);
    bool changed = false;
    LSTATUS status = change(tree, changed);
    if (status != ERROR_SUCCESS || !changed) return status;
    // A hive with lines we cannot read would lose them on rewrite; leave it as it is.
    if (tree.damaged) return ERROR_REGISTRY_CORRUPT;
    return static_cast<LSTATUS>(kova_sys::replace_file(path, hive_text(tree, hive), 0644));
}

// ---- Handles and paths ----

struct Target {
    int hive = SYSTEM_HIVE;
    std::vector<std::string> base; // the handle's own key
    bool predefined = false;       // a root handle: its key need not exist
    REGSAM access = KEY_ALL_ACCESS;
};

LSTATUS target_of(HKEY key, Target &t) {
    auto value = reinterpret_cast<ULONG_PTR>(key);
    if (value == 0x80000000u) {
        t = Target{SYSTEM_HIVE, {"Software", "Classes"}, true, KEY_ALL_ACCESS};
    } else if (value == 0x80000001u) {
        t = Target{USER_HIVE, {}, true, KEY_ALL_ACCESS};
    } else if (value == 0x80000002u) {
        t = Target{SYSTEM_HIVE, {}, true, KEY_ALL_ACCESS};
    } else {
        std::lock_guard lock(registry_mutex);
        if (!key || !open_keys.count(key)) return ERROR_INVALID_HANDLE;
        t = Target{key->hive, key->path, false, key->access};
    }
    return ERROR_SUCCESS;
}

// Splits a subkey path; a trailing backslash is allowed, a leading one is not.
LSTATUS split_path(LPCSTR sub_key, std::vector<std::string> &parts) {
    parts.clear();
    if (!sub_key) return ERROR_SUCCESS;
    std::string_view path(sub_key);
    if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('\\', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) {
            std::string_view part = path.substr(start, slash - start);
            for (char c : part)
                if (static_cast<unsigned char>(c) < 0x20) return ERROR_INVALID_PARAMETER;
            if (part.size() > 255) return ERROR_INVALID_PARAMETER;
            parts.emplace_back(part);
        }
        start = slash + 1;
    }
    return ERROR_SUCCESS;
}

Key *walk(const Key &root, const std::vector<std::string> &path, size_t count) {
    Key *key = const_cast<Key *>(&root);
    for (size_t i = 0; i < count && key; ++i) key = key->find(path[i]);
    return key;
}

// The handle's own key in a hive: ERROR_KEY_DELETED once it has gone (a root handle whose key
// is absent, HKEY_CLASSES_ROOT before any class exists, reads as an empty key).
LSTATUS own_key(const Tree &tree, const Target &t, Key *&key) {
    static const Key empty;
    key = walk(tree.root, t.base, t.base.size());
    if (!key && t.predefined) key = const_cast<Key *>(&empty);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

HKEY new_handle(int hive, std::vector<std::string> path, REGSAM access) {
    auto *key = new kova_hkey{hive, std::move(path), access};
    std::lock_guard lock(registry_mutex);
    open_keys.insert(key);
    return key;
}

// Reads the handle's key for a query that needs `right`.
LSTATUS reading(HKEY key, DWORD right, std::shared_ptr<const Tree> &tree, Key *&own) {
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    if ((t.access & right) != right) return ERROR_ACCESS_DENIED;
    if (DWORD error = current_hive(t.hive, tree)) return static_cast<LSTATUS>(error);
    return own_key(*tree, t, own);
}

bool valid_value_name(std::string_view name) {
    for (char c : name)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

// Copies `data` to a caller's buffer by the Reg*Value rules.
LSTATUS give_data(const std::string &data, LPBYTE out, LPDWORD size) {
    if (!size) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(data.size());
    if (!out) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed) memcpy(out, data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM access, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    std::vector<std::string> parts;
    if (LSTATUS s = split_path(sub_key, parts)) return s;
    std::shared_ptr<const Tree> tree;
    if (DWORD error = current_hive(t.hive, tree)) return static_cast<LSTATUS>(error);
    Key *own = nullptr;
    if (LSTATUS s = own_key(*tree, t, own)) return s;
    std::vector<std::string> path = t.base;
    for (const auto &part : parts) {
        own = own->find(part);
        if (!own) return ERROR_FILE_NOT_FOUND;
        path.push_back(own->name);
    }
    *result = new_handle(t.hive, std::move(path), access & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM access,
                        const SECURITY_ATTRIBUTES *, PHKEY result, LPDWORD disposition) {
    if (!result || !sub_key) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    std::vector<std::string> parts;
    if (LSTATUS s = split_path(sub_key, parts)) return s;

    std::vector<std::string> path;
    bool created = false;
    LSTATUS status = change_hive(t.hive, [&](Tree &tree, bool &changed) -> LSTATUS {
        Key *own = walk(tree.root, t.base, t.base.size());
        if (!own && !t.predefined) return ERROR_KEY_DELETED;
        path.clear();
        Key *k = &tree.root;
        for (const auto &part : t.base) path.push_back((k = k->add(part))->name);
        for (const auto &part : parts) {
            Key *next = k->find(part);
            if (!next) {
                if ((t.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
                next = k->add(part);
                created = changed = true;
            }
            path.push_back((k = next)->name);
        }
        // A root handle's own key (Software\Classes) is made with its first subkey.
        if (!own) changed = true;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    *result = new_handle(t.hive, std::move(path), access & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY));
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    auto value = reinterpret_cast<ULONG_PTR>(key);
    if (value >= 0x80000000u && value <= 0x80000002u) return ERROR_SUCCESS;
    std::lock_guard lock(registry_mutex);
    if (!key || !open_keys.erase(key)) return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD data_size) {
    if (data && !data_size) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const Tree> tree;
    Key *own = nullptr;
    if (LSTATUS s = reading(key, KEY_QUERY_VALUE, tree, own)) return s;
    const Value *v = own->value(value_name ? value_name : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    return give_data(v->data, data, data_size);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR value_name, DWORD, DWORD type, const BYTE *data,
                       DWORD data_size) {
    if (!data && data_size) return ERROR_NOACCESS;
    std::string name = value_name ? value_name : "";
    if (!valid_value_name(name)) return ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    if ((t.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    std::string bytes(reinterpret_cast<const char *>(data), data ? data_size : 0);
    return change_hive(t.hive, [&](Tree &tree, bool &changed) -> LSTATUS {
        Key *own = walk(tree.root, t.base, t.base.size());
        if (!own) {
            if (!t.predefined) return ERROR_KEY_DELETED;
            own = &tree.root;
            for (const auto &part : t.base) own = own->add(part);
        }
        Value *v = own->value(name);
        if (v && v->type == type && v->data == bytes) return ERROR_SUCCESS;
        if (!v) {
            own->values.push_back(Value{name, type, {}});
            v = &own->values.back();
        }
        v->type = type;
        v->data = bytes;
        changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR value_name) {
    std::string name = value_name ? value_name : "";
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    if ((t.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    return change_hive(t.hive, [&](Tree &tree, bool &changed) -> LSTATUS {
        Key *own = walk(tree.root, t.base, t.base.size());
        if (!own) return t.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
        auto it = std::find_if(own->values.begin(), own->values.end(),
                               [&](const Value &v) { return iequal(v.name, name); });
        if (it == own->values.end()) return ERROR_FILE_NOT_FOUND;
        own->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    if (!sub_key) return ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS s = target_of(key, t)) return s;
    std::vector<std::string> parts;
    if (LSTATUS s = split_path(sub_key, parts)) return s;
    std::vector<std::string> path = t.base;
    path.insert(path.end(), parts.begin(), parts.end());
    if (path.empty()) return ERROR_ACCESS_DENIED; // a hive's root stays
    if (parts.empty() && (t.access & DELETE) == 0) return ERROR_ACCESS_DENIED;
    return change_hive(t.hive, [&](Tree &tree, bool &changed) -> LSTATUS {
        if (!t.predefined && !walk(tree.root, t.base, t.base.size())) return ERROR_KEY_DELETED;
        Key *parent = walk(tree.root, path, path.size() - 1);
        Key *victim = parent ? parent->find(path.back()) : nullptr;
        if (!victim) return ERROR_FILE_NOT_FOUND;
        if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->subkeys.erase(std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                                           [&](const auto &k) { return k.get() == victim; }));
        changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD,
                      LPSTR class_name, LPDWORD class_size, FILETIME *last_write) {
    if (!name || !name_size) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const Tree> tree;
    Key *own = nullptr;
    if (LSTATUS s = reading(key, KEY_ENUMERATE_SUB_KEYS, tree, own)) return s;
    if (index >= own->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &found = own->subkeys[index]->name;
    if (*name_size <= found.size()) return ERROR_MORE_DATA;
    memcpy(name, found.c_str(), found.size() + 1);
    *name_size = static_cast<DWORD>(found.size());
    if (class_name && class_size && *class_size) class_name[0] = '\0';
    if (class_size) *class_size = 0;
    if (last_write) *last_write = tree->written;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_size, LPDWORD,
                      LPDWORD type, LPBYTE data, LPDWORD data_size) {
    if (!value_name || !value_name_size || (data && !data_size)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const Tree> tree;
    Key *own = nullptr;
    if (LSTATUS s = reading(key, KEY_QUERY_VALUE, tree, own)) return s;
    if (index >= own->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &v = own->values[index];
    if (*value_name_size <= v.name.size()) return ERROR_MORE_DATA;
    memcpy(value_name, v.name.c_str(), v.name.size() + 1);
    *value_name_size = static_cast<DWORD>(v.name.size());
    if (type) *type = v.type;
    return give_data(v.data, data, data_size);
}
