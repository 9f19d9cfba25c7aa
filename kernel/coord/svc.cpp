// Service queries and program launch.
#include "kernel/coord/svc.h"
#include "kernel/files/install.h"
#include "platform/host.h"

#include <cctype>
#include <cstring>
#include <new>
#include <string>

void TXI_SVC_CONFIG_FREE::operator()(QUERY_SERVICE_CONFIGA *config) const noexcept {
    ::operator delete(config);
}

TXI_SVC_CONFIG fxi_svc_query_config(const char *machine, const char *database,
                                    const char *service) {
    kova_service_handle manager(OpenSCManagerA(machine, database, SC_MANAGER_CONNECT));
    if (!manager) return nullptr;
    kova_service_handle handle(OpenServiceA(manager.get(), service, SERVICE_QUERY_CONFIG));
    if (!handle) return nullptr;
    // Ask for the size, then read into a block of that size; the configuration may grow in
    // between, so ask again while the block is too small.
    TXI_SVC_CONFIG config;
    DWORD size = 0, needed = 0;
    while (!QueryServiceConfigA(handle.get(), config.get(), size, &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size) {
            config.reset();
            break;
        }
        config.reset(static_cast<QUERY_SERVICE_CONFIGA *>(::operator new(needed, std::nothrow)));
        if (!config) break;
        size = needed;
    }
    return config;
}

uint32_t fxi_run_command(const char *command_line, int show, uint16_t wait, uint32_t *exit_code) {
    std::string line = command_line ? command_line : "";
    std::string program, parameters;
    size_t rest;
    if (!line.empty() && line[0] == '"') {
        size_t close = line.find('"', 1);
        program = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        rest = close == std::string::npos ? line.size() : close + 1;
    } else {
        rest = line.find(' ');
        if (rest == std::string::npos) rest = line.size();
        program = line.substr(0, rest);
    }
    while (rest < line.size() && line[rest] == ' ') ++rest;
    parameters = line.substr(rest);

    // Windows Server 2016 and later want a program on the current drive named from the root
    // of that drive, without the drive.
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version)) &&
        version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 10 &&
        (version.wProductType == VER_NT_SERVER ||
         version.wProductType == VER_NT_DOMAIN_CONTROLLER) &&
        program.rfind("\\", 0) != 0) {
        char current[MAX_PATH + 1] = {};
        DWORD n = GetCurrentDirectoryA(sizeof current, current);
        if (n >= 2 && n < sizeof current && current[1] == ':' && program.size() >= 2 &&
            toupper(static_cast<unsigned char>(program[0])) ==
                toupper(static_cast<unsigned char>(current[0])) &&
            program[1] == ':')
            program.erase(0, 2);
    }

    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = show;
    if (!ShellExecuteExA(&info)) return GetLastError();
    if (info.hProcess) {
        if (wait == DXI_RUN_WAIT_IDLE)
            WaitForInputIdle(info.hProcess, INFINITE);
        else if (wait == DXI_RUN_WAIT_END)
            WaitForSingleObject(info.hProcess, INFINITE);
        if (exit_code) {
            DWORD code = 0;
            GetExitCodeProcess(info.hProcess, &code);
            *exit_code = code;
        }
        CloseHandle(info.hProcess);
    }
    return 0;
}

uint32_t fxi_start_command(const char *command_line) {
    if (fxi_desktop_visible())
        return fxi_run_command(command_line, SW_SHOWNORMAL, DXI_RUN_WAIT_END);
    std::string line = command_line ? command_line : "";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process);
    if (created) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return static_cast<uint32_t>(created);
}
