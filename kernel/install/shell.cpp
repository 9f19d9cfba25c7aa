// The suite's file types under HKEY_CLASSES_ROOT: one fixed table of keys and values, written
// group by group (one group per extension) or removed from the end, with the verbs that only
// the suite's own domain keeps.
#include "kernel/install/shell.h"

#include "kernel/files/install.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Where a row is written: everywhere, or only in the suite's own domain (elsewhere it is
// removed), or there and for dealers.
enum class Scope { everywhere, domain, domain_or_dealer };

struct Row {
    const char *path; // ends in a backslash: the key's default value; else key and value name
    const char *value;
    Scope scope = Scope::everywhere;
};

// A value that begins with a backslash names a program in the program folder: it is written
// after a double quote and the folder, so that "\kvpatch.exe" "%1" becomes the program's full
// path in quotes followed by "%1".
const Row table[] = {
    {".kvb\\", "kvbfile"},
    {"kvbfile\\", "kova brisel Backup File"},
    {"kvbfile\\DefaultIcon\\", "\\kvbackup.exe\""},
    {"kvbfile\\shell\\open\\command\\", "\\kvbackup.exe\" \"%1\""},
    {"kvbfile\\shell\\Explore\\command\\", "\\kvbackup.exe\" \"%1\" /e", Scope::domain},
    {"kvbfile\\shell\\Make ZIP compatible\\command\\", "\\kvbackup.exe\" \"%1\" /z", Scope::domain},
    {"kvbfile\\shell\\Make ZIP incompatible\\command\\", "\\kvbackup.exe\" \"%1\" /i",
     Scope::domain},
    // The two verbs that send a backup to the supplier's support desks.
    {"kvbfile\\shell\\Send to KOVA Support\\command\\", "\\kvbackup.exe\" \"%1\" /a"},
    {"kvbfile\\shell\\Send to KOVA Emergency Support\\command\\", "\\kvbackup.exe\" \"%1\" /b"},
    {"kvbfile\\shell\\", "open"},
    {".kvr\\", "kvrfile"},
    {"kvrfile\\", "kova brisel Report File"},
    {"kvrfile\\DefaultIcon\\", "\\kovarep.exe\""},
    {"kvrfile\\shell\\open\\command\\", "\\kovarep.exe\" \"%1\""},
    {"kvrfile\\shell\\Print\\command\\", "\\kovarep.exe\" \"%1\" /p"},
    {"kvrfile\\shell\\", "open"},
    {".kvp\\", "kvpfile"},
    {"kvpfile\\", "kova brisel Batch Procedure File"},
    {"kvpfile\\DefaultIcon\\", "\\kvprocs.exe\""},
    {"kvpfile\\shell\\open\\command\\", "\\kvprocs.exe\" \"%1\""},
    {"kvpfile\\shell\\", "open"},
    {".kvz\\", "kvzfile"},
    {"kvzfile\\", "kova brisel Update File"},
    {"kvzfile\\DefaultIcon\\", "\\kvpatch.exe\""},
    {"kvzfile\\shell\\open\\command\\", "\\kvpatch.exe\" \"%1\""},
    {"kvzfile\\shell\\Send\\command\\", "\\kvpatch.exe\" \"%1\" /m"},
    {"kvzfile\\shell\\Queue for FTP collection\\command\\", "\\kvpatch.exe\" \"%1\" /f",
     Scope::domain},
    {"kvzfile\\shell\\", "open"},
    {".kvs\\", "kvsfile"},
    {"kvsfile\\", "kova brisel Shortcut"},
    {"kvsfile\\shell\\open\\command\\", "\\kvlaunch.exe\" \"%1\""},
    {"kvsfile\\shell\\", "open"},
    {".kvc\\", "kvcfile"},
    {".kvc\\ShellNew\\command", "\\kvparm.exe\" /n \"%1\"", Scope::domain},
    {"kvcfile\\", "kova brisel Parameter File"},
    {"kvcfile\\DefaultIcon\\", "\\kvparm.exe\""},
    {"kvcfile\\shell\\open\\command\\", "\\kvparm.exe\" \"%1\""},
    {"kvcfile\\shell\\Configure\\command\\", "\\kvparm.exe\" \"%1\" /c", Scope::domain_or_dealer},
    {"kvcfile\\shell\\Configure\\", "", Scope::domain_or_dealer},
    {"kvcfile\\shell\\", "open"},
    {".kvf\\", "kvffile"},
    {"kvffile\\", "kova brisel Feature Table File"},
    {"kvffile\\DefaultIcon\\", "\\kvfeat.exe\""},
    {"kvffile\\shell\\open\\command\\", "\\kvfeat.exe\" \"%1\""},
    {"kvffile\\shell\\Configure\\command\\", "\\kvfeat.exe\" \"%1\" /c", Scope::domain},
    {"kvffile\\shell\\Configure\\", "", Scope::domain},
    {"kvffile\\shell\\", "open"},
    {".kvx\\", "kvxfile"},
    {"kvxfile\\", "kova brisel Table Definition"},
    {"kvxfile\\DefaultIcon\\", "\\kvx.exe\""},
    {"kvxfile\\shell\\open\\command\\", "\\kvx.exe\" \"%1\""},
    {"kvxfile\\shell\\", "open"},
};

// The one type whose program runs on a Linux desktop too.
constexpr const char *desktop_type = "kvz";

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool starts_nocase(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && equal_nocase(text.substr(0, start.size()), start);
}

bool contains_nocase(std::string_view text, std::string_view part) {
    for (size_t i = 0; i + part.size() <= text.size(); ++i)
        if (equal_nocase(text.substr(i, part.size()), part)) return true;
    return false;
}

// An environment variable, empty when it is not set; `set` tells whether it is.
std::string environment(const char *name, bool *set = nullptr) {
    DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (set) *set = size != 0;
    if (size == 0) return {};
    std::string value(size, '\0');
    DWORD length = GetEnvironmentVariableA(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

bool begins_with_yes(const std::string &value, bool either_case) {
    return !value.empty() && (value[0] == 'Y' || (either_case && value[0] == 'y'));
}

// The process runs in the suite's own domain.
bool suite_domain() {
    return equal_nocase(environment("USERDOMAIN"), "SYSKOVA") ||
           begins_with_yes(environment("KOVADOMAIN"), true);
}

bool dealer_mode() {
    bool set = false;
    environment("kovadealer", &set);
    return set;
}

// A row's key and value name ("" for the key's default value).
struct Place {
    std::string key, name;
};

Place place_of(std::string_view path) {
    if (!path.empty() && path.back() == '\\')
        return {std::string(path.substr(0, path.size() - 1)), ""};
    size_t cut = path.rfind('\\');
    return {std::string(path.substr(0, cut)), std::string(path.substr(cut + 1))};
}

// A group begins with its extension's row: a dot, the extension and one backslash.
bool group_start(std::string_view path) {
    return !path.empty() && path[0] == '.' && path.find('\\') == path.size() - 1;
}

std::string value_of(const Row &row, const std::string &folder) {
    return row.value[0] == '\\' ? "\"" + folder + row.value : row.value;
}

// The current value when it is a plain string (any other type is rewritten as one); false
// when it is missing or of another type.
bool read_value(HKEY key, const char *name, std::string &value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    std::string data(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    data.resize(size);
    while (!data.empty() && data.back() == '\0') data.pop_back();
    value = data;
    return true;
}

bool set_value(HKEY key, const char *name, const std::string &value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// Writes a row's value unless it is there already; true when the registry changed.
bool write_row(const Place &place, const std::string &value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, place.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const char *name = place.name.empty() ? nullptr : place.name.c_str();
    bool changed = false;
    std::string current;
    if (!value.empty() && (!read_value(key, name, current) || current != value))
        changed = set_value(key, name, value);
    // Shortcuts never show their extension and carry the shortcut arrow.
    if (equal_nocase(place.key, "kvsfile"))
        for (const char *flag : {"IsShortcut", "NeverShowExt"})
            if (RegQueryValueExA(key, flag, nullptr, nullptr, nullptr, nullptr) ==
                ERROR_FILE_NOT_FOUND)
                changed |= set_value(key, flag, "");
    RegCloseKey(key);
    return changed;
}

// Removes a row that only the suite's own domain keeps: its key and, for a verb's command or a
// named value, the key above it (a key with subkeys stays). True when a key went.
bool remove_row(std::string_view path) {
    Place place = place_of(path);
    std::string own = place.name.empty() ? place.key : place.key + "\\" + place.name;
    bool changed = RegDeleteKeyA(HKEY_CLASSES_ROOT, own.c_str()) == ERROR_SUCCESS;
    size_t cut = own.rfind('\\');
    if (cut != std::string::npos &&
        (!place.name.empty() || equal_nocase(std::string_view(own).substr(cut + 1), "command")))
        changed |= RegDeleteKeyA(HKEY_CLASSES_ROOT, own.substr(0, cut).c_str()) == ERROR_SUCCESS;
    return changed;
}

// Removes a row of an unregistered type: the key's default value, then the key and each key
// above it while they have no subkeys left.
bool unregister_row(std::string_view path) {
    std::string key = place_of(path).key;
    bool changed = false;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_SET_VALUE, &handle) == ERROR_SUCCESS) {
        changed = RegDeleteValueA(handle, nullptr) == ERROR_SUCCESS;
        RegCloseKey(handle);
    }
    for (;;) {
        changed |= RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str()) == ERROR_SUCCESS;
        size_t cut = key.rfind('\\');
        if (cut == std::string::npos) break;
        key.resize(cut);
    }
    return changed;
}

// The freedesktop side of the desktop type, gathered from the rows it writes.
struct DesktopType {
    bool taking_part = false;
    std::string description;
    std::vector<std::pair<std::string, std::string>> verbs; // name, command

    // Notes a row of the type that is written.
    void note(const Place &place, const std::string &value) {
        taking_part = true;
        if (!place.name.empty()) return;
        std::string_view key = place.key;
        std::string shell = std::string(desktop_type) + "file\\shell\\";
        if (equal_nocase(key, std::string(desktop_type) + "file")) {
            description = value;
        } else if (starts_nocase(key, shell) && key.size() > shell.size() + 8 &&
                   equal_nocase(key.substr(key.size() - 8), "\\command")) {
            std::string_view verb = key.substr(shell.size(), key.size() - 8 - shell.size());
            if (verb.find('\\') == std::string_view::npos) verbs.emplace_back(verb, value);
        }
    }

    bool apply(bool remove) const {
        std::vector<KOVA_SHELL_VERB> list;
        for (const auto &[name, command] : verbs) list.push_back({name.c_str(), command.c_str()});
        BOOL changed = FALSE;
        // Best effort like the registry rows: what changed is counted, nothing is reported.
        (void)kova_xdg_file_type(desktop_type, description.c_str(), list.data(),
                                 static_cast<DWORD>(list.size()), remove ? TRUE : FALSE, &changed);
        return changed != FALSE;
    }
};

bool is_desktop_group(const char *group) {
    return group && equal_nocase(group, std::string(desktop_type) + "file");
}

} // namespace

int32_t fxk_program_folder(std::string &folder) {
    char path[MAX_PATH] = {};
    HRESULT result = SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES | CSIDL_FLAG_CREATE, nullptr,
                                      SHGFP_TYPE_CURRENT, path);
    if (FAILED(result)) return result;
    folder = std::string(path) + "\\" + DXK_SHELL_MAKER + "\\Brisel";
    return 0;
}

int fxk_shell_register(const char *type, uint16_t remove) {
    std::string folder;
    if (int32_t result = fxk_program_folder(folder); result < 0) return result;
    bool typed = type && *type;
    std::string kind = typed ? type : "";
    bool changed = false;
    DesktopType desktop;

    if (remove) {
        for (size_t i = std::size(table); i-- > 0;) {
            if (typed && !starts_nocase(table[i].path, kind) &&
                !starts_nocase(table[i].path, "." + kind))
                continue;
            changed |= unregister_row(table[i].path);
        }
        if (!typed || equal_nocase(kind, desktop_type)) {
            // The desktop files are named after the program of the open verb.
            for (const Row &row : table)
                if (starts_nocase(row.path, std::string(desktop_type) + "file\\"))
                    desktop.note(place_of(row.path), value_of(row, folder));
            changed |= desktop.apply(true);
        }
    } else {
        std::string filter = typed ? "." + kind + "\\" : "";
        std::string type_name;
        bool started = !typed;
        bool domain = suite_domain(), dealer = dealer_mode();
        const char *group = nullptr;
        for (const Row &row : table) {
            if (group_start(row.path)) {
                group = row.value;
                if (!typed) {
                    if (equal_nocase(row.path, ".kvs\\") && !fxi_option(248)) break;
                    if (equal_nocase(row.path, ".kvx\\") &&
                        !(domain && begins_with_yes(environment("PROGINIT"), false)))
                        break;
                }
            }
            if (typed) {
                if (!started) {
                    if (!equal_nocase(row.path, filter)) continue;
                    started = true;
                    type_name = row.value;
                }
                if (!contains_nocase(row.path, filter) && !contains_nocase(row.path, type_name))
                    continue;
            }
            bool kept = domain || row.scope == Scope::everywhere ||
                        (row.scope == Scope::domain_or_dealer && dealer);
            if (!kept) {
                changed |= remove_row(row.path);
                continue;
            }
            Place place = place_of(row.path);
            std::string value = value_of(row, folder);
            changed |= write_row(place, value);
            if (is_desktop_group(group)) desktop.note(place, value);
        }
        if (desktop.taking_part) changed |= desktop.apply(false);
    }

    if (!changed) return 1;
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return 0;
}
