// Where the consolidated menu and table-definition rebuilds work, and which directory entries
// they may follow.
#include "kernel/files/paths.h"
#include "kernel/install/menus.h"

#include <cstring>

std::string fxk_rebuild_directory(const char *path, const std::string &setting) {
    char drive[DXI_PATH_PART_MAX + 1] = {};
    char setting_drive[DXI_PATH_PART_MAX + 1] = {};
    char directory[DXI_PATH_PART_MAX + 1] = {};
    if (path == nullptr || *path == '\0' ||
        fxi_path_split(path, drive, nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
        drive[0] = '\0';
    if (setting.empty() || fxi_path_split(setting.c_str(), setting_drive, directory, nullptr,
                                          nullptr, nullptr, nullptr) != 0)
        return {};
    std::string result = drive[0] ? drive : setting_drive;
    result += directory;
    // The setting is a folder; a setting without a trailing backslash names it in full.
    char name[DXI_PATH_PART_MAX * 2 + 2] = {};
    // The same text split above: this split cannot fail.
    (void)fxi_path_split(setting.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, name);
    if (name[0]) {
        result += name;
        result += '\\';
    }
    return result;
}

bool fxk_rebuild_entry_safe(const char *name) {
    if (name == nullptr || *name == '\0' || std::strpbrk(name, "\\/:") != nullptr) return false;
    return std::strspn(name, ".") != std::strlen(name);
}
