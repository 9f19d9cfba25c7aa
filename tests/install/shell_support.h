// What the file-type and program-installation tests share: environment settings and machine
// values undone at the end of a test, reading HKEY_CLASSES_ROOT by the table's paths, the
// program folder on each host, and stand-in database tools that record each refresh.
#pragma once

#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace shell_test {

// Sets (a value) or unsets (none) environment variables and puts them back when it goes.
class Environment {
public:
    Environment() = default;
    Environment(const Environment &) = delete;
    Environment &operator=(const Environment &) = delete;
    ~Environment() {
        for (const auto &[name, old] : saved_) {
            if (old)
                kova_test::set_env(name, *old);
            else
                kova_test::unset_env(name);
        }
    }
    void set(const std::string &name, std::optional<std::string> value) {
        if (!saved_.count(name)) {
            const char *old = getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            kova_test::set_env(name, *value);
        else
            kova_test::unset_env(name);
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The suite's settings that steer registration, all cleared: outside the suite's domain, no
// dealer, no PROGINIT and no desktop session.
inline void plain_environment(Environment &env) {
    for (const char *name : {"USERDOMAIN", "KOVADOMAIN", "kovadealer", "PROGINIT",
                             "XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY", "DISPLAY"})
        env.set(name, std::nullopt);
}

inline constexpr const char *missing_key = "<no key>";
inline constexpr const char *missing_value = "<no value>";

// The string at a table path under HKEY_CLASSES_ROOT: "key\" for the key's default value,
// "key\name" for a named value.
inline std::string hkcr(const std::string &path) {
    std::string key = path, name;
    if (!path.empty() && path.back() == '\\') {
        key.pop_back();
    } else {
        key = path.substr(0, path.rfind('\\'));
        name = path.substr(path.rfind('\\') + 1);
    }
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return missing_key;
    char data[2048] = {};
    DWORD type = 0, size = sizeof data - 1;
    LSTATUS status = RegQueryValueExA(handle, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                                      reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS) return missing_value;
    return type == REG_SZ ? std::string(data) : "<type " + std::to_string(type) + ">";
}

inline void set_hkcr(const std::string &key, const char *name, const std::string &value) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

// The program folder and a program reference as the rows write them.
inline const std::string folder = "C:\\Program Files\\KOVA Business Software\\Brisel";
inline std::string program(const char *name) {
    return "\"" + folder + "\\" + name + "\"";
}

inline const std::string queue_row = "kvzfile\\shell\\Queue for FTP collection\\command\\";

// Sets a value under HKEY_LOCAL_MACHINE, making its key.
inline void set_machine_value(const std::string &key, const char *name, DWORD type,
                              const std::string &data) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(handle, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

// Values under HKEY_LOCAL_MACHINE that a test changes, put back (or removed) when it goes: on
// Windows they are the system's own.
class MachineValues {
public:
    explicit MachineValues(std::vector<std::pair<std::string, std::string>> places) {
        for (auto &[key, name] : places) {
            Saved saved{key, name, std::nullopt, 0};
            HKEY handle = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) ==
                ERROR_SUCCESS) {
                char data[4096];
                DWORD size = sizeof data;
                if (RegQueryValueExA(handle, name.c_str(), nullptr, &saved.type,
                                     reinterpret_cast<BYTE *>(data), &size) == ERROR_SUCCESS)
                    saved.data = std::string(data, size);
                RegCloseKey(handle);
            }
            saved_.push_back(std::move(saved));
        }
    }
    MachineValues(const MachineValues &) = delete;
    MachineValues &operator=(const MachineValues &) = delete;
    ~MachineValues() {
        for (const Saved &saved : saved_) {
            HKEY handle = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, saved.key.c_str(), 0, KEY_SET_VALUE, &handle) !=
                ERROR_SUCCESS)
                continue;
            if (saved.data)
                RegSetValueExA(handle, saved.name.c_str(), 0, saved.type,
                               reinterpret_cast<const BYTE *>(saved.data->data()),
                               static_cast<DWORD>(saved.data->size()));
            else
                RegDeleteValueA(handle, saved.name.c_str());
            RegCloseKey(handle);
        }
    }

private:
    struct Saved {
        std::string key, name;
        std::optional<std::string> data;
        DWORD type;
    };
    std::vector<Saved> saved_;
};

// What tells that registering the patch type wrote nothing.
inline std::string registry_stamp(const kova_test::TempPrefix &prefix) {
    return kova_test::registry_stamp(prefix, {".kvz", "kvzfile", "kvzfile\\DefaultIcon",
                                              "kvzfile\\shell", "kvzfile\\shell\\open\\command",
                                              "kvzfile\\shell\\Send\\command"});
}

// The host path of the suite's program folder: inside the prefix on POSIX, the system's
// Program Files on Windows.
inline std::string brisel(const kova_test::TempPrefix &prefix) {
    std::string program_files =
        kova_test::on_windows() ? "C:/Program Files" : prefix.path() + "/drive_c/Program Files";
    return program_files + "/KOVA Business Software/Brisel";
}

// update-mime-database and update-desktop-database stand-ins at the front of PATH: each call
// appends its name and arguments to a log.
class DatabaseTools {
public:
    explicit DatabaseTools(Environment &env) {
        for (const char *tool : {"update-mime-database", "update-desktop-database"}) {
            std::string path = dir_ / tool;
            kova_test::write_file(path, "#!/bin/sh\necho \"" + std::string(tool) + " $*\" >> '" +
                                            log() + "'\n");
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
        const char *path = getenv("PATH");
        env.set("PATH", dir_.path() + ":" + (path ? path : "/usr/bin:/bin"));
    }
    std::string log() const { return dir_ / "calls.log"; }
    std::string calls() const { return kova_test::read_file(log()); }
    const std::string &bin() const { return dir_.path(); }

private:
    kova_test::TempDir dir_;
};

} // namespace shell_test
