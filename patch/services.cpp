// Service shutdown and restart around the extraction into a release tree.
#include "patch/services.h"

#include "kernel/coord/conn.h"
#include "kernel/coord/queue.h"
#include "kernel/coord/svc.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/box.h"
#include "patch/entry.h"
#include "patch/log.h"
#include "platform/host.h"

#include <algorithm>
#include <cstring>

PatchInstallState patch_state;

namespace {

constexpr uint16_t queue_manager_id = 947;
constexpr uint16_t file_manager_id = 948;
constexpr uint16_t queue_message_size = 534;
constexpr const char *shutdown_event = "Global\\LXKSYS_SHUTDOWN_PENDING";
constexpr const char *in_use_text =
    "The KOVA system is currently in use!\r\n\r\nPlease ensure that "
    "all users are logged off before installing the patch.";

struct Service {
    const char *names[2];
    const char *title;       // as the operator knows it
    const char *config_name; // where its start type is read
    const char *failed_text;
    bool restart; // kept when the service is not installed
};

Service services[] = {
    {{"KOVAQM", "KOVAQM32"},
     "KOVA Queue Manager Service",
     nullptr,
     "The KOVA Queue Manager Service was stopped, it must be restarted on the server.",
     false},
    {{"KOVAFM", "KOVAFM32"},
     "KOVA File Manager Service",
     nullptr,
     "The KOVA File Manager Service was stopped, it must be restarted on the server.",
     false},
    {{"BRUN", "BRUN32"},
     "KOVA Background Program Executor",
     "BRUN32",
     "The KOVA Background Program Executor was stopped, it must be restarted on the server.",
     false},
};

// The host serving the root's drive: empty when it is this machine's own.
std::string root_server() {
    const std::string &root = patch_state.root;
    if (root.rfind("\\\\", 0) == 0) return root.substr(2, root.find('\\', 2) - 2);
    char server[DXI_PATH_BUFFER] = {};
    fxi_vol_server(root.substr(0, 2).c_str(), server);
    return server;
}

// Sets the clients' shutdown event and gives them three seconds to let go of it.
void ask_clients_to_close() {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, shutdown_event);
    if (!event) return;
    if (SetEvent(event)) {
        for (int round = 0; round < 30; ++round) {
            CloseHandle(event);
            event = OpenEventA(EVENT_MODIFY_STATE, FALSE, shutdown_event);
            if (!event) return;
            Sleep(100);
        }
    }
    CloseHandle(event);
}

// The background executor listens on the queue manager's queues: tell it to exit over the
// new connection, lent to the process's queue system for the one command.
uint16_t tell_executor_to_exit(CXI_CONN &connection) {
    CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
    CXI_CONN saved = queues.connection();
    queues.connection() = connection;
    queues.set_present(true);
    uint16_t status = fxi_brun_command("exit");
    queues.connection() = saved;
    queues.set_present(false);
    return status;
}

bool refused(CXI_CONN &connection, const char *heading) {
    connection.disconnect();
    patch_wait_close();
    return patch_report3(heading, in_use_text);
}

// The service under either of the names it may be installed by.
kova_service_handle open_service(SC_HANDLE manager, const Service &service, DWORD access) {
    SC_HANDLE handle = OpenServiceA(manager, service.names[0], access);
    if (!handle) handle = OpenServiceA(manager, service.names[1], access);
    return kova_service_handle(handle);
}

// A manager that accepted the stop is still on its way out for a moment, its files open. It
// is waited for, so that the tree is patched without it and the restart after finds it
// stopped: started while it was still ending, it would count as running and then be gone.
// A service not installed here (a manager run by hand) is not waited for.
void await_service_end(const Service &service) {
    constexpr int rounds = 300; // 30 seconds in tenths
    kova_service_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    kova_service_handle handle = open_service(manager.get(), service, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    for (int round = 0; handle && round < rounds; ++round) {
        if (!QueryServiceStatus(handle.get(), &status) || status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (round == 1) {
            // Said only when the end takes a while, so that a quick stop does not flash it.
            std::string line = std::string("Waiting for the ") + service.title + " to stop";
            patch_wait_line(line.c_str());
        }
        fxi_conn_wait(10);
    }
}

bool machine_is_remote() {
    const std::string &root = patch_state.root;
    if (root.rfind("\\\\", 0) == 0) {
        char computer[DXI_PATH_BUFFER] = {};
        (void)fxi_computer_name(computer); // an unknown name counts as another machine
        std::string host = root.substr(2, root.find('\\', 2) - 2);
        return fxd_compare_nocase(
                   host.c_str(), computer,
                   static_cast<uint16_t>(std::max(host.size(), std::strlen(computer)))) != 0;
    }
    return GetDriveTypeA(root.substr(0, 3).c_str()) == DRIVE_REMOTE;
}

} // namespace

bool patch_stop_services() {
    CXI_CONN queue_manager;
    patch_wait_open();
    patch_wait_line("Checking for KOVA Services");
    std::string server = root_server();
    const char *where = server.empty() ? nullptr : server.c_str();

    uint16_t confirmed = 0;
    if (queue_manager.connect(where, queue_manager_id, 0, queue_message_size, nullptr,
                              &confirmed) == 0) {
        if (server.empty()) ask_clients_to_close();
        uint16_t exit_status = tell_executor_to_exit(queue_manager);
        bool accepted = false;
        for (int request = 0; request < 10 && !accepted; ++request) {
            if (request > 0) {
                if (exit_status != 0) break;
                fxi_conn_wait(10);
            }
            accepted = queue_manager.stop(0) == 0;
        }
        if (!accepted)
            return refused(queue_manager, "Failed to shut down KOVA Queue Manager service");
        patch_state.restart = true;
        if (server.empty()) await_service_end(services[0]);
    }

    CXI_CONN file_manager;
    confirmed = 0;
    if (file_manager.connect(where, file_manager_id, 0, fxi_conn_file_size(fxi_release()), nullptr,
                             &confirmed) != 0) {
        patch_wait_close();
        return true;
    }
    if (file_manager.stop(0) != 0)
        return refused(file_manager, "Failed to shut down KOVA File Manager service");
    patch_state.restart = true;
    if (server.empty()) await_service_end(services[1]);
    patch_wait_close();
    return true;
}

void patch_restart_services() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT ||
        machine_is_remote()) {
        patch_state.service_message =
            "The KOVA Services were stopped, they must be restarted on the server.";
        return;
    }
    patch_wait_open();
    patch_wait_line("Restarting KOVA Services");
    for (Service &service : services) {
        TXI_SVC_CONFIG config;
        if (service.config_name) {
            config = fxi_svc_query_config(nullptr, nullptr, service.config_name);
        } else {
            config = fxi_svc_query_config(nullptr, nullptr, service.names[0]);
            if (!config) config = fxi_svc_query_config(nullptr, nullptr, service.names[1]);
        }
        if (config) service.restart = config->dwStartType != SERVICE_DISABLED;
    }
    Sleep(100);
    if (!services[0].restart && !services[1].restart && !services[2].restart) {
        patch_wait_close();
        return;
    }
    kova_service_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        fxp_msg_errorf("Error %dword%,5 from OpenSCManager", GetLastError());
        patch_wait_close();
        return;
    }
    for (const Service &service : services) {
        if (!service.restart) continue;
        kova_service_handle handle = open_service(manager.get(), service, SERVICE_START);
        if (!handle) continue;
        // A service that is running already (this tree's managers were never stopped) is up.
        if (!StartServiceA(handle.get(), 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            patch_state.service_message = service.failed_text;
    }
    patch_wait_close();
}
