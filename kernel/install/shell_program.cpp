// Installing a program of the suite into its folder under Program Files: the copy, its file
// type, its feature tables and COM registration, inside the install mode of a terminal server.
#include "kernel/install/shell.h"

#include "kernel/coord/svc.h"
#include "kernel/files/paths.h"
#include "kernel/text/format.h"
#include "kernel/ui/box.h"
#include "kernel/ui/prog.h"
#include "platform/win32.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool ends_nocase(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && equal_nocase(text.substr(text.size() - end.size()), end);
}

const char *file_error_text(DWORD error) {
    return fxk_error_text(fxi_map_file_error(error), &EXI_FILE);
}

// An entry point of a loaded library as the function it is (through a function of no
// arguments, the one cast between function types that compilers accept without suspicion).
template <typename Function> Function entry_point(HMODULE library, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// ---- Terminal-server install mode -----------------------------------------------------------

HKEY open_machine_key(const char *path) {
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS
               ? key
               : nullptr;
}

// A terminal server in application-server mode: "Terminal Server" among the product suites and
// TSAppCompat set.
bool application_server() {
    bool terminal = false;
    if (HKEY key = open_machine_key("System\\CurrentControlSet\\Control\\ProductOptions")) {
        char suites[1024] = {};
        DWORD size = sizeof suites - 2;
        if (RegQueryValueExA(key, "ProductSuite", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(suites), &size) == ERROR_SUCCESS)
            for (const char *suite = suites; *suite; suite += strlen(suite) + 1)
                terminal |= strcmp(suite, "Terminal Server") == 0;
        RegCloseKey(key);
    }
    if (!terminal) return false;
    DWORD compatible = 0;
    if (HKEY key = open_machine_key("SYSTEM\\CurrentControlSet\\Control\\Terminal Server")) {
        DWORD size = sizeof compatible;
        if (RegQueryValueExA(key, "TSAppCompat", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(&compatible), &size) != ERROR_SUCCESS)
            compatible = 0;
        RegCloseKey(key);
    }
    return compatible != 0;
}

using SetInstallMode = BOOL(WINAPI *)(BOOL);
using QueryInstallMode = BOOL(WINAPI *)();

// Asks kernel32 for install mode on or off and confirms it; with `query_only` only tells
// whether it is on. The call may change the current directory, so it is kept around it.
bool install_mode_call(bool on, bool query_only) {
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (!kernel) return false;
    auto set = entry_point<SetInstallMode>(kernel, "SetTermsrvAppInstallMode");
    auto query = entry_point<QueryInstallMode>(kernel, "TermsrvAppInstallMode");
    bool result = false;
    if (set && query) {
        if (!query_only) {
            char directory[MAX_PATH + 1] = {};
            DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
            set(on ? TRUE : FALSE);
            if (length > 0 && length < sizeof directory) SetCurrentDirectoryA(directory);
        }
        result = (query() != FALSE) == on;
    }
    FreeLibrary(kernel);
    return result;
}

// Entries are counted: only the outermost switches the mode on, only its matching leave
// switches it off, and a system already in install mode is left as it is.
int install_mode_depth = 0;
bool install_mode_switched = false;

class InstallMode {
public:
    bool enter() {
        if (!application_server()) return true;
        if (install_mode_depth == 0) {
            bool already = install_mode_call(true, true);
            if (!already && !install_mode_call(true, false)) return false;
            install_mode_switched = !already;
        }
        ++install_mode_depth;
        entered_ = true;
        return true;
    }
    void leave() {
        if (!entered_) return;
        entered_ = false;
        if (--install_mode_depth == 0 && install_mode_switched) {
            install_mode_call(false, false);
            install_mode_switched = false;
        }
    }
    ~InstallMode() { leave(); }

private:
    bool entered_ = false;
};

// ---- COM servers ----------------------------------------------------------------------------

// The machine a program or library is built for, from its PE header; 0 when the file cannot be
// read or is no PE image (on POSIX, the running program itself).
WORD image_machine(const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    auto read_at = [&](LONG offset, void *buffer, DWORD size) {
        DWORD done = 0;
        return SetFilePointer(file, offset, nullptr, FILE_BEGIN) == static_cast<DWORD>(offset) &&
               ReadFile(file, buffer, size, &done, nullptr) && done == size;
    };
    WORD machine = 0;
    unsigned char dos[64] = {};
    unsigned char signature[6] = {};
    if (read_at(0, dos, sizeof dos) && dos[0] == 'M' && dos[1] == 'Z') {
        // e_lfanew: where the PE signature and then the machine field are.
        LONG header = static_cast<LONG>(dos[60] | dos[61] << 8 | dos[62] << 16 |
                                        static_cast<uint32_t>(dos[63]) << 24);
        if (header > 0 && read_at(header, signature, sizeof signature) &&
            memcmp(signature, "PE\0\0", 4) == 0)
            machine = static_cast<WORD>(signature[4] | signature[5] << 8);
    }
    CloseHandle(file);
    return machine;
}

// The machine of the running program.
WORD own_machine() {
    char path[DXI_PATH_BUFFER] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? image_machine(path) : 0;
}

// Registers or unregisters a COM server. One built for this process's machine is loaded and
// called in-process. One built for the other machine (a 64-bit library seen from a 32-bit
// installer under WOW64, or a 32-bit one from a 64-bit installer) cannot be loaded here, so
// regsvr32 does it, which hands it on to the regsvr32 of that machine; it is waited for, since
// unregistering goes on to delete the library. A library the platform cannot load (on POSIX,
// every one) or that is no PE image is only copied.
void register_library(const std::string &path, bool unregister) {
    WORD self = own_machine(), library_machine = image_machine(path.c_str());
    if (self == 0 || library_machine == 0) return;
    if (library_machine == self) {
        HMODULE library = LoadLibraryA(path.c_str());
        if (!library) return;
        using Entry = HRESULT(WINAPI *)();
        auto entry =
            entry_point<Entry>(library, unregister ? "DllUnregisterServer" : "DllRegisterServer");
        if (entry) entry();
        FreeLibrary(library);
        return;
    }
    // Quoted: the program folder lies below "Program Files".
    std::string command;
    fxd_fmt_assign(command,
                   unregister ? "regsvr32.exe /u /s \"%str%\"" : "regsvr32.exe /s \"%str%\"",
                   path.c_str());
    (void)fxi_run_command(command.c_str(), SW_HIDE, DXI_RUN_WAIT_END);
}

// ---- Files ----------------------------------------------------------------------------------

// Clears a file's read-only attribute and deletes it: 0, or the file layer's code.
uint16_t delete_copy(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return fxi_delete_file(path.c_str());
}

// The feature tables of a parameter-file installation: each three-letter subfolder xxx holding
// xxx.kvf has its table copied to (or removed from) the same subfolder of the program folder.
// Answers why the first table that would not copy failed, or an empty text.
std::string feature_tables(const std::string &from, const std::string &folder, bool uninstall) {
    std::string failed;
    TXI_DIRSCAN scan;
    std::string pattern = from + "???";
    for (uint16_t code = fxi_dir_first(pattern.c_str(), DXI_ATTR_DIRECTORY, 0, nullptr, &scan);
         code == 0; code = fxi_dir_next(nullptr, &scan)) {
        std::string name = scan.entry_name;
        if (name.empty() || name[0] == '.') continue;
        std::string file = name + ".kvf";
        if (!fxi_test_file((from + name + "\\" + file).c_str())) continue;
        std::string target_folder = folder + name + "\\";
        std::string target = target_folder + file;
        if (fxi_test_file(target.c_str())) delete_copy(target);
        if (uninstall) {
            // A folder that still holds other files stays, as the program folder does.
            (void)fxi_dir_remove(target_folder.c_str());
        } else {
            // A folder that is missing after this shows as the copy's failure.
            (void)fxi_dir_make(target_folder.c_str());
            std::string source = from + name + "\\" + file;
            uint16_t code = fxi_copy_file(source.c_str(), target.c_str(), 16384);
            if (code != 0 && failed.empty())
                fxd_fmt_assign(failed, "Failed to copy %str% to %str% - %str%", source.c_str(),
                               target.c_str(), fxk_error_text(code, &EXI_FILE));
        }
    }
    fxi_dir_close(&scan);
    return failed;
}

} // namespace

bool fxk_program_install(const char *source, const char *target_name, const char *display_name,
                         const char *type, uint16_t quiet, uint16_t uninstall) {
    const char *name = display_name ? display_name : "";
    InstallMode mode;
    CXP_PWIN wait;
    // Every failure leaves install mode and the wait window before it says why.
    auto fail = [&](const std::string &text) {
        mode.leave();
        wait.close();
        if (!quiet) fxp_msg_error(text.c_str());
        return false;
    };
    std::string text;
    if (!mode.enter())
        return fail(fxd_fmt_assign(text,
                                   "Cannot %str%install %str% - Failed to select INSTALL mode",
                                   uninstall ? "un" : "", name));

    if (!quiet) {
        const char *word = uninstall ? "Uninstalling" : "Installing";
        wait.open(nullptr, word, 0, 0, fxd_fmt_assign(text, "%str% %str%", word, name).c_str());
    }

    std::string from;
    if (source && *source) {
        from = source;
    } else {
        char path[DXI_PATH_BUFFER] = {};
        DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
        if (length == 0 || length >= sizeof path)
            return fail(fxd_fmt_assign(
                text, "Cannot determine executable name - %str%",
                file_error_text(length ? ERROR_INSUFFICIENT_BUFFER : GetLastError())));
        from = path;
    }

    std::string folder;
    if (fxk_program_folder(folder) < 0) return fail("Cannot determine programs folder");
    folder += "\\";

    char from_folder[DXI_PATH_BUFFER] = {};
    fxi_path_folder(from.c_str(), from_folder);
    bool in_place = equal_nocase(from_folder, folder);
    std::string target = folder + (target_name ? target_name : "");
    bool library = ends_nocase(target, ".dll");

    if (!in_place) {
        if (!uninstall) {
            // Every missing level: the maker's folder is new on a first installation.
            uint16_t code = fxi_dir_make_all(folder.c_str());
            if (code != 0 && code != DXI_ERR_DIR_EXISTS)
                return fail(fxd_fmt_assign(text, "Failed to create folder '%str%' - %str%",
                                           folder.c_str(), fxk_error_text(code, &EXI_DIR)));
        }
        if (fxi_test_file(target.c_str())) {
            if (uninstall && library) register_library(target, true);
            if (uint16_t code = delete_copy(target))
                return fail(fxd_fmt_assign(text, "Failed to delete previous copy of %str% - %str%",
                                           target.c_str(), fxk_error_text(code, &EXI_FILE)));
        }
        // The platform's copy keeps what the host needs to run the copy (on POSIX, its mode).
        if (!uninstall && !CopyFileA(from.c_str(), target.c_str(), TRUE))
            return fail(fxd_fmt_assign(text, "Failed to copy %str% to %str% - %str%", from.c_str(),
                                       target.c_str(), file_error_text(GetLastError())));
    }

    if (type && *type) fxk_shell_register(type, uninstall);
    if (!uninstall && library) register_library(target, false);
    // Feature tables already in the program folder are the ones that would be copied.
    if (type && equal_nocase(type, "kvc") && !(in_place && !uninstall)) {
        std::string failed =
            feature_tables(uninstall ? folder : std::string(from_folder), folder, uninstall);
        if (!failed.empty()) return fail(failed);
    }

    if (uninstall) {
        // Folders that still hold other programs stay.
        (void)fxi_dir_remove(folder.c_str());
        std::string maker = folder.substr(0, folder.size() - 1);
        (void)fxi_dir_remove(fxi_path_parent(maker.data()));
    }

    mode.leave();
    if (!quiet) {
        wait.close();
        if (!library) fxp_msg_infof("%str% %str%", name, uninstall ? "Uninstalled" : "Installed");
    }
    return true;
}
