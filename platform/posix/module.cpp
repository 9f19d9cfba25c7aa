// Built-in modules and SearchPathA: the run-time loading the kernel does by name, over a
// table of modules compiled into the platform, and the Windows search for a file.
#include "platform/host.h"
#include "platform/win32.h"

#include "module_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace {

const kova_builtin_module *const builtins[] = {&kova_builtin_mapi32, &kova_builtin_dbghelp};

std::mutex loads_mutex;
std::map<const kova_builtin_module *, unsigned> loads;

std::string upper(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The last component of a DOS or host path.
std::string_view leaf(std::string_view path) {
    size_t cut = path.find_last_of("\\/:");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

bool has_extension(std::string_view name) {
    return leaf(name).find('.') != std::string_view::npos;
}

const kova_builtin_module *builtin(std::string_view name, std::string_view extension) {
    std::string wanted = upper(leaf(name));
    if (!has_extension(wanted))
        wanted += extension.empty() ? std::string(".DLL") : upper(extension);
    for (const kova_builtin_module *module : builtins)
        if (wanted == module->name && module->available()) return module;
    return nullptr;
}

const kova_builtin_module *from_handle(HMODULE handle) {
    for (const kova_builtin_module *module : builtins)
        if (handle == reinterpret_cast<HMODULE>(const_cast<kova_builtin_module *>(module)))
            return module;
    return nullptr;
}

bool is_file(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string joined(std::string folder, std::string_view name) {
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return folder + std::string(name);
}

// The folders searched without an explicit path: the program's, the current one, the
// host's PATH.
std::string default_search_path() {
    std::string path;
    char buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) {
        std::string_view program(buffer, n);
        size_t cut = program.find_last_of('\\');
        if (cut != std::string_view::npos) path += std::string(program.substr(0, cut)) + ";";
    }
    n = GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n > 0 && n < sizeof buffer) path += std::string(buffer, n) + ";";
    if (const char *host = std::getenv("PATH")) {
        std::string_view rest(host);
        while (!rest.empty()) {
            size_t colon = rest.find(':');
            std::string_view folder = rest.substr(0, colon);
            if (!folder.empty()) path += kova_dos_from_host(folder) + ";";
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    return path;
}

DWORD answer(const std::string &found, DWORD size, LPSTR buffer, LPSTR *file_part) {
    if (found.size() + 1 > size || !buffer) return static_cast<DWORD>(found.size() + 1);
    std::memcpy(buffer, found.c_str(), found.size() + 1);
    if (file_part) {
        char *slash = std::strrchr(buffer, '\\');
        *file_part = slash ? slash + 1 : buffer;
    }
    return static_cast<DWORD>(found.size());
}

} // namespace

DWORD SearchPathA(LPCSTR path, LPCSTR file_name, LPCSTR extension, DWORD size, LPSTR buffer,
                  LPSTR *file_part) {
    if (!file_name || !*file_name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string name = file_name;
    if (extension && *extension && !has_extension(name)) name += extension;
    std::string_view given(file_name);
    bool has_folder = given.find_first_of("\\:") != std::string_view::npos;

    if (!has_folder && builtin(name, {}))
        return answer("C:\\windows\\system32\\" + name, size, buffer, file_part);

    if (has_folder) {
        char full[MAX_PATH * 4];
        DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
        if (n > 0 && n < sizeof full && is_file(full))
            return answer(std::string(full, n), size, buffer, file_part);
    } else {
        std::string folders = path ? path : default_search_path();
        std::string_view rest(folders);
        while (!rest.empty()) {
            size_t semicolon = rest.find(';');
            std::string folder(rest.substr(0, semicolon));
            rest = semicolon == std::string_view::npos ? std::string_view()
                                                       : rest.substr(semicolon + 1);
            if (folder.empty()) continue;
            std::string candidate = joined(folder, name);
            if (is_file(candidate)) {
                char full[MAX_PATH * 4];
                DWORD n = GetFullPathNameA(candidate.c_str(), sizeof full, full, nullptr);
                if (n > 0 && n < sizeof full) candidate.assign(full, n);
                return answer(candidate, size, buffer, file_part);
            }
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
}

HMODULE LoadLibraryA(LPCSTR name) {
    const kova_builtin_module *module = name ? builtin(name, {}) : nullptr;
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard lock(loads_mutex);
    ++loads[module];
    return reinterpret_cast<HMODULE>(const_cast<kova_builtin_module *>(module));
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR name) {
    const kova_builtin_module *module = from_handle(handle);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    for (size_t i = 0; name && i < module->export_count; ++i)
        if (std::strcmp(module->exports[i].name, name) == 0) return module->exports[i].address;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE handle) {
    const kova_builtin_module *module = from_handle(handle);
    std::lock_guard lock(loads_mutex);
    auto load = module ? loads.find(module) : loads.end();
    if (load == loads.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--load->second == 0) loads.erase(load);
    return TRUE;
}
