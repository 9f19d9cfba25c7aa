// The system's name, private files, printing and the desktop side of file types on Windows.
#include "platform/host.h"

#include <sddl.h>

#include <string>

namespace {

// The product name the system gives itself, from the registry; empty when it has none.
std::string product_name() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return {};
    char text[128] = {};
    DWORD size = sizeof text - 1, type = 0;
    LSTATUS status =
        RegQueryValueExA(key, "ProductName", nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : std::string();
}

} // namespace

std::string kova_host_os_name() {
    // GetVersionExA answers the version the program's manifest names, not the system's: only
    // ntdll tells the real one.
    using RtlGetVersionProc = LONG(WINAPI *)(OSVERSIONINFOW *);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto get_version = ntdll ? reinterpret_cast<RtlGetVersionProc>(
                                   reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")))
                             : nullptr;
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!get_version || get_version(&version) != 0) return {};
    std::string name = product_name();
    // Windows 11 still calls itself Windows 10 in the registry; its builds tell them apart.
    if (version.dwMajorVersion == 10 && version.dwBuildNumber >= 22000 &&
        name.rfind("Windows 10", 0) == 0)
        name.replace(8, 2, "11");
    if (name.empty()) name = "Windows";
    name += " " + std::to_string(version.dwMajorVersion) + "." +
            std::to_string(version.dwMinorVersion) + " (Build " +
            std::to_string(version.dwBuildNumber) + ")";
    return name;
}

BOOL kova_file_write_behind(HANDLE file) {
    return GetFileType(file) == FILE_TYPE_DISK;
}

DWORD kova_create_private_file(std::string_view dos_path, const void *data, size_t size) {
    // Only the system, the administrators and the file's owner may touch it, from the moment
    // it exists; nothing is inherited from the folder.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)", SDDL_REVISION_1, &descriptor, nullptr))
        return GetLastError();
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    std::string path(dos_path);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    LocalFree(descriptor);
    if (error) return error;
    const char *at = static_cast<const char *>(data);
    for (size_t left = size; left > 0 && !error;) {
        DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), done = 0;
        if (!WriteFile(file, at, chunk, &done, nullptr))
            error = GetLastError();
        else if (done == 0)
            error = ERROR_DISK_FULL;
        at += done;
        left -= done;
    }
    if (!error && !FlushFileBuffers(file)) error = GetLastError();
    if (!CloseHandle(file) && !error) error = GetLastError();
    if (error) DeleteFileA(path.c_str());
    return error;
}

DWORD kova_print_file(LPCSTR path, DWORD timeout_ms) {
    SHELLEXECUTEINFOA print{};
    print.cbSize = sizeof print;
    print.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    print.lpVerb = "print";
    print.lpFile = path;
    print.nShow = SW_HIDE;
    if (!ShellExecuteExA(&print)) {
        DWORD error = GetLastError();
        return error ? error : ERROR_NO_ASSOCIATION;
    }
    // A program that prints through DDE leaves no process to wait for: the job was handed on.
    if (!print.hProcess) return ERROR_SUCCESS;
    DWORD waited = WaitForSingleObject(print.hProcess, timeout_ms);
    DWORD status = 1;
    if (waited == WAIT_OBJECT_0) GetExitCodeProcess(print.hProcess, &status);
    CloseHandle(print.hProcess);
    if (waited == WAIT_TIMEOUT) return ERROR_TIMEOUT;
    return status == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

DWORD kova_xdg_file_type(LPCSTR, LPCSTR, const KOVA_SHELL_VERB *, DWORD, BOOL, BOOL *changed) {
    // The registry entries the shell layer writes are the whole of a file type on Windows.
    if (changed) *changed = FALSE;
    return ERROR_SUCCESS;
}

bool kova_named_objects_native() {
    return true;
}
