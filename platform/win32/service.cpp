// A manager program as a Windows service: registered with the service control manager when it
// started the process, a console program with Ctrl-C as its stop otherwise.
#include "platform/host.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// One service per process: what it runs and how it reports, for the dispatcher's callbacks,
// which take no context of ours.
const KOVA_SERVICE_BODY *service_body = nullptr;
std::string service_name;
SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{};
int exit_status = 0;

void report(DWORD state, DWORD wait_hint = 0) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWaitHint = wait_hint;
    status.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, 10000);
        service_body->stop(service_body->context);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void stopped_with(int code) {
    exit_status = code;
    // A manager's own exit status is no Windows error number: it travels as the service's.
    status.dwWin32ExitCode = code ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(code);
    report(SERVICE_STOPPED);
}

void WINAPI service_main(DWORD, LPSTR *) {
    status_handle = RegisterServiceCtrlHandlerExA(service_name.c_str(), control_handler, nullptr);
    if (!status_handle) {
        exit_status = 1;
        return;
    }
    report(SERVICE_START_PENDING, 30000);
    int started = service_body->start(service_body->context);
    if (started != 0) {
        stopped_with(started);
        return;
    }
    report(SERVICE_RUNNING);
    stopped_with(service_body->run(service_body->context));
}

// Whether the service control manager started this process: it lists it then as the process of
// an active service. Asking the dispatcher alone would cost a console start ten seconds under
// Wine, which waits that long for a control pipe that never comes.
bool started_by_the_service_manager() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!scm) return true; // cannot tell: the dispatcher decides
    bool found = false, known = false;
    std::vector<BYTE> buffer(16 * 1024);
    for (int attempt = 0; attempt < 4 && !known; ++attempt) {
        DWORD needed = 0, count = 0, resume = 0;
        if (EnumServicesStatusExA(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                                  buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count,
                                  &resume, nullptr)) {
            known = true;
            const auto *services =
                reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA *>(buffer.data());
            for (DWORD i = 0; i < count; ++i)
                found |= services[i].ServiceStatusProcess.dwProcessId == GetCurrentProcessId();
        } else if (GetLastError() == ERROR_MORE_DATA) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
        } else {
            break;
        }
    }
    CloseServiceHandle(scm);
    return found || !known;
}

BOOL WINAPI console_control(DWORD) {
    service_body->stop(service_body->context);
    return TRUE;
}

} // namespace

int kova_service_main(LPCSTR name, const KOVA_SERVICE_BODY &body) {
    service_body = &body;
    service_name = name;
    SERVICE_TABLE_ENTRYA table[] = {{service_name.data(), service_main}, {nullptr, nullptr}};
    if (started_by_the_service_manager() && StartServiceCtrlDispatcherA(table)) return exit_status;
    // Not started by the service control manager (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT):
    // a console program, as the tests and an operator run it.
    SetConsoleCtrlHandler(console_control, TRUE);
    int started = body.start(body.context);
    int result = started != 0 ? started : body.run(body.context);
    SetConsoleCtrlHandler(console_control, FALSE);
    return result;
}
