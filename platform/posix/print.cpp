// Printing on POSIX: the file goes to the host's print spooler through lp.
#include "platform/host.h"
#include "platform/win32.h"

#include <string>

DWORD kova_print_file(LPCSTR path, DWORD timeout_ms) {
    // lp runs in the file's folder with the bare name, so that the job carries a short title;
    // what it says about the job would only disturb the screen.
    std::string full(path);
    size_t slash = full.find_last_of('\\');
    std::string directory = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    std::string parameters = "\"" + name + "\"";
    SHELLEXECUTEINFOA spooler{};
    spooler.cbSize = sizeof spooler;
    spooler.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    spooler.lpFile = "lp";
    spooler.lpParameters = parameters.c_str();
    spooler.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    spooler.nShow = SW_HIDE;
    if (!ShellExecuteExA(&spooler)) {
        DWORD error = GetLastError();
        return error ? error : ERROR_NO_ASSOCIATION;
    }
    if (!spooler.hProcess) return ERROR_SUCCESS;
    DWORD waited = WaitForSingleObject(spooler.hProcess, timeout_ms);
    DWORD status = 1;
    if (waited == WAIT_OBJECT_0) GetExitCodeProcess(spooler.hProcess, &status);
    if (waited == WAIT_TIMEOUT) TerminateProcess(spooler.hProcess, 1);
    CloseHandle(spooler.hProcess);
    if (waited == WAIT_TIMEOUT) return ERROR_TIMEOUT;
    return status == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}
