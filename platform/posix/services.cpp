// The service control manager of the POSIX platform. A service is its registry key below
// HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services; its ImagePath is a host command line.
// A started service runs detached and holds, by an inherited descriptor, an flock on its file
// in the prefix's services/ folder: the service runs exactly as long as that lock is held,
// whichever process asks, and the file names its process (group) for a stop request.
#include "system_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

struct kova_sc_object {
    bool manager;
    std::string name; // a service's name as its key spells it
    DWORD access;
};

namespace {

const char services_key[] = "System\\CurrentControlSet\\Services";

std::mutex handles_mutex;
std::unordered_set<kova_sc_object *> handles;

SC_HANDLE new_handle(bool manager, std::string name, DWORD access) {
    auto *h = new kova_sc_object{manager, std::move(name), access};
    std::lock_guard lock(handles_mutex);
    handles.insert(h);
    return h;
}

// The handle as a manager or a service with `right`; null with the error set otherwise.
kova_sc_object *checked(SC_HANDLE handle, bool manager, DWORD right) {
    {
        std::lock_guard lock(handles_mutex);
        if (!handle || !handles.count(handle) || handle->manager != manager) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    if ((handle->access & right) != right) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return handle;
}

bool valid_name(LPCSTR name) {
    if (!name || !*name || strlen(name) > 256) return false;
    for (const char *p = name; *p; ++p)
        if (*p == '\\' || *p == '/' || static_cast<unsigned char>(*p) < 0x20) return false;
    return true;
}

// ---- The service's key ----

class ServiceKey {
public:
    ServiceKey(const std::string &name, REGSAM access) {
        status_ =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(services_key) + "\\" + name).c_str(), 0,
                          access, &key_);
    }
    ~ServiceKey() {
        if (status_ == ERROR_SUCCESS) RegCloseKey(key_);
    }
    ServiceKey(const ServiceKey &) = delete;
    ServiceKey &operator=(const ServiceKey &) = delete;
    LSTATUS status() const { return status_; }
    HKEY key() const { return key_; }

    DWORD dword(LPCSTR value, DWORD fallback) const {
        DWORD data = 0, size = sizeof data, type = 0;
        if (RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size) ||
            type != REG_DWORD || size != sizeof data)
            return fallback;
        return data;
    }
    // A text value without its terminating NUL(s); multi-strings keep their inner NULs.
    std::string text(LPCSTR value) const {
        DWORD size = 0, type = 0;
        if (RegQueryValueExA(key_, value, nullptr, &type, nullptr, &size) || size == 0) return {};
        std::string data(size, '\0');
        if (RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE *>(data.data()),
                             &size))
            return {};
        data.resize(size);
        while (!data.empty() && data.back() == '\0') data.pop_back();
        return data;
    }

private:
    HKEY key_ = nullptr;
    LSTATUS status_;
};

LSTATUS set_dword(HKEY key, LPCSTR name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof value);
}

LSTATUS set_text(HKEY key, LPCSTR name, DWORD type, std::string_view text) {
    std::string data(text);
    data.push_back('\0');
    if (type == REG_MULTI_SZ) data.push_back('\0');
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size()));
}

// A double-NUL list's length with both NULs.
size_t multi_size(LPCSTR list) {
    size_t n = 0;
    while (list[n]) n += strlen(list + n) + 1;
    return n + 1;
}

LSTATUS delete_tree(HKEY parent, const std::string &name) {
    HKEY key = nullptr;
    if (LSTATUS s = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key)) return s;
    char sub[256];
    for (;;) {
        DWORD size = sizeof sub;
        if (RegEnumKeyExA(key, 0, sub, &size, nullptr, nullptr, nullptr, nullptr)) break;
        if (delete_tree(key, sub)) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name.c_str());
}

// ---- Running services ----

std::string run_file(const std::string &name) {
    std::string folder = kova_sys::prefix_folder("services");
    if (folder.empty()) return {};
    std::string file;
    for (char c : kova_sys::folded(name)) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '%' || c == '.') {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", u);
            file += escaped;
        } else {
            file.push_back(c);
        }
    }
    return folder + "/" + file + ".run";
}

struct RunState {
    bool running = false;
    bool stopping = false;
    pid_t pid = 0;
};

RunState run_state(const std::string &name) {
    RunState state;
    std::string path = run_file(name);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        close(fd); // nobody holds it: the service has ended
        return state;
    }
    char text[64] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    state.running = true;
    if (n > 0) {
        state.pid = static_cast<pid_t>(strtol(text, nullptr, 10));
        state.stopping = strstr(text, "stop") != nullptr;
    }
    return state;
}

// %NAME% references of the host environment, as Windows expands REG_EXPAND_SZ image paths.
std::string expand(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            const char *value = getenv(text.substr(i + 1, close - i - 1).c_str());
            if (value) {
                out += kova_ansi_from_utf8(value);
                i = close + 1;
                continue;
            }
        }
        out.push_back(text[i++]);
    }
    return out;
}

void fill_status(const ServiceKey &key, const RunState &run, SERVICE_STATUS *status) {
    if (!status) return;
    *status = SERVICE_STATUS{};
    status->dwServiceType = key.dword("Type", SERVICE_WIN32_OWN_PROCESS);
    status->dwCurrentState = !run.running   ? SERVICE_STOPPED
                             : run.stopping ? SERVICE_STOP_PENDING
                                            : SERVICE_RUNNING;
    status->dwControlsAccepted = run.running && !run.stopping ? DWORD{SERVICE_ACCEPT_STOP} : 0;
    if (run.stopping) status->dwWaitHint = 1000;
}

} // namespace

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    if (machine && *machine) {
        std::string_view name(machine);
        while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
        char own[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof own;
        if (!GetComputerNameA(own, &size) || (!kova_sys::iequal(name, own) && name != ".")) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return nullptr;
        }
    }
    if (database && !kova_sys::iequal(database, "ServicesActive")) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return new_handle(true, {}, access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR service_name, DWORD access) {
    if (!checked(manager, true, 0)) return nullptr;
    if (!valid_name(service_name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    HKEY key = nullptr;
    LSTATUS s =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(services_key) + "\\" + service_name).c_str(),
                      0, KEY_READ, &key);
    if (s != ERROR_SUCCESS) {
        SetLastError(s == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST
                                               : static_cast<DWORD>(s));
        return nullptr;
    }
    // The name as the key spells it, so every handle names the same run file.
    char spelled[260] = {};
    HKEY services = nullptr;
    std::string name = service_name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, services_key, 0, KEY_READ, &services) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof spelled;
            if (RegEnumKeyExA(services, i, spelled, &size, nullptr, nullptr, nullptr, nullptr))
                break;
            if (kova_sys::iequal(spelled, service_name)) {
                name = spelled;
                break;
            }
        }
        RegCloseKey(services);
    }
    RegCloseKey(key);
    SetLastError(ERROR_SUCCESS);
    return new_handle(false, name, access);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR service_name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCSTR binary_path, LPCSTR load_order_group, LPDWORD tag_id,
                         LPCSTR dependencies, LPCSTR service_start_name, LPCSTR) {
    if (!checked(manager, true, SC_MANAGER_CREATE_SERVICE)) return nullptr;
    if (!valid_name(service_name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!binary_path || !*binary_path || start_type > SERVICE_DISABLED || tag_id) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS s = RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                                (std::string(services_key) + "\\" + service_name).c_str(), 0,
                                nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (s != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(s));
        return nullptr;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(key);
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    s = set_dword(key, "Type", service_type);
    if (!s) s = set_dword(key, "Start", start_type);
    if (!s) s = set_dword(key, "ErrorControl", error_control);
    if (!s) s = set_text(key, "ImagePath", REG_EXPAND_SZ, binary_path);
    if (!s && display_name) s = set_text(key, "DisplayName", REG_SZ, display_name);
    if (!s)
        s = set_text(key, "ObjectName", REG_SZ,
                     service_start_name ? service_start_name : "LocalSystem");
    if (!s && load_order_group && *load_order_group)
        s = set_text(key, "Group", REG_SZ, load_order_group);
    if (!s && dependencies && *dependencies)
        s = RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE *>(dependencies),
                           static_cast<DWORD>(multi_size(dependencies)));
    RegCloseKey(key);
    if (s != ERROR_SUCCESS) {
        delete_tree(HKEY_LOCAL_MACHINE, std::string(services_key) + "\\" + service_name);
        SetLastError(static_cast<DWORD>(s));
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return new_handle(false, service_name, access);
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD service_type, DWORD start_type,
                          DWORD error_control, LPCSTR binary_path, LPCSTR load_order_group,
                          LPDWORD tag_id, LPCSTR dependencies, LPCSTR service_start_name, LPCSTR,
                          LPCSTR display_name) {
    kova_sc_object *h = checked(service, false, SERVICE_CHANGE_CONFIG);
    if (!h) return FALSE;
    if (tag_id || (start_type != SERVICE_NO_CHANGE && start_type > SERVICE_DISABLED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceKey key(h->name, KEY_ALL_ACCESS);
    LSTATUS s = key.status();
    if (s == ERROR_FILE_NOT_FOUND) s = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (!s && service_type != SERVICE_NO_CHANGE) s = set_dword(key.key(), "Type", service_type);
    if (!s && start_type != SERVICE_NO_CHANGE) s = set_dword(key.key(), "Start", start_type);
    if (!s && error_control != SERVICE_NO_CHANGE)
        s = set_dword(key.key(), "ErrorControl", error_control);
    if (!s && binary_path) s = set_text(key.key(), "ImagePath", REG_EXPAND_SZ, binary_path);
    if (!s && load_order_group) s = set_text(key.key(), "Group", REG_SZ, load_order_group);
    if (!s && dependencies)
        s = RegSetValueExA(key.key(), "DependOnService", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE *>(dependencies),
                           static_cast<DWORD>(multi_size(dependencies)));
    if (!s && service_start_name) s = set_text(key.key(), "ObjectName", REG_SZ, service_start_name);
    if (!s && display_name) s = set_text(key.key(), "DisplayName", REG_SZ, display_name);
    if (s != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(s));
        return FALSE;
    }
    return TRUE;
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD buffer_size,
                         LPDWORD bytes_needed) {
    kova_sc_object *h = checked(service, false, SERVICE_QUERY_CONFIG);
    if (!h) return FALSE;
    if (!bytes_needed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceKey key(h->name, KEY_READ);
    if (key.status() != ERROR_SUCCESS) {
        SetLastError(key.status() == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                          : static_cast<DWORD>(key.status()));
        return FALSE;
    }
    std::string display = key.text("DisplayName");
    std::string texts[5] = {key.text("ImagePath"), key.text("Group"), key.text("DependOnService"),
                            key.text("ObjectName"), display.empty() ? h->name : display};
    texts[2].push_back('\0'); // a double-NUL list, even when empty
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA);
    for (const auto &t : texts) needed += t.size() + 1;
    *bytes_needed = static_cast<DWORD>(needed);
    if (!config || buffer_size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    config->dwServiceType = key.dword("Type", SERVICE_WIN32_OWN_PROCESS);
    config->dwStartType = key.dword("Start", SERVICE_DEMAND_START);
    config->dwErrorControl = key.dword("ErrorControl", SERVICE_ERROR_NORMAL);
    config->dwTagId = 0;
    char *out = reinterpret_cast<char *>(config + 1);
    LPSTR *fields[5] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup,
                        &config->lpDependencies, &config->lpServiceStartName,
                        &config->lpDisplayName};
    for (int i = 0; i < 5; ++i) {
        *fields[i] = out;
        memcpy(out, texts[i].c_str(), texts[i].size() + 1);
        out += texts[i].size() + 1;
    }
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    kova_sc_object *h = checked(service, false, SERVICE_QUERY_STATUS);
    if (!h) return FALSE;
    if (!status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceKey key(h->name, KEY_READ);
    fill_status(key, run_state(h->name), status);
    return TRUE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
    kova_sc_object *h = checked(service, false, SERVICE_START);
    if (!h) return FALSE;
    ServiceKey key(h->name, KEY_READ);
    if (key.status() != ERROR_SUCCESS) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (key.dword("Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    std::vector<std::string> args = kova_sys::split_command_line(expand(key.text("ImagePath")));
    if (args.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    for (DWORD i = 0; i < argc; ++i)
        if (argv && argv[i]) args.push_back(argv[i]);
    for (auto &a : args) a = kova_utf8_from_ansi(a);

    // ImagePath names a host program: a path, or a name on the host's PATH.
    std::string program = args[0];
    if (program.find('/') == std::string::npos) {
        std::string found;
        if (DWORD error = kova_sys::find_program(kova_ansi_from_utf8(program), found)) {
            SetLastError(error);
            return FALSE;
        }
        program = found;
    }

    // Taking the run lock first makes two concurrent starts one start.
    std::string path = run_file(h->name);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : kova_error_from_errno(errno));
        return FALSE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    kova_sys::SpawnOptions options;
    options.directory = "/";
    options.quiet = true;
    options.new_session = true;
    options.keep_fd = fd;
    pid_t pid = 0;
    DWORD error = kova_sys::spawn_program(program, args, options, pid);
    if (error != ERROR_SUCCESS) {
        close(fd);
        SetLastError(error);
        return FALSE;
    }
    std::string text = std::to_string(pid) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) < 0) {
        // The lock alone tells that the service runs; a stop request then has no process.
    }
    close(fd); // the service's inherited descriptor keeps the lock

    // A program that ends at once did not start as a service.
    for (int i = 0; i < 10; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            SetLastError(ERROR_PROCESS_ABORTED);
            return FALSE;
        }
        Sleep(10);
    }
    kova_sys::reap_in_background(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    DWORD right = 0;
    if (control == SERVICE_CONTROL_STOP) right = SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE) right = SERVICE_INTERROGATE;
    kova_sc_object *h = checked(service, false, right);
    if (!h) return FALSE;
    if (!right) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    ServiceKey key(h->name, KEY_READ);
    RunState run = run_state(h->name);
    if (!run.running) {
        fill_status(key, run, status);
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP && run.pid > 0) {
        if (kill(-run.pid, SIGTERM) != 0) kill(run.pid, SIGTERM);
        std::string path = run_file(h->name);
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::string text = std::to_string(run.pid) + " stop\n";
            if (pwrite(fd, text.data(), text.size(), 0) < 0) {
                // Only the status report loses its "stop pending".
            }
            close(fd);
        }
        run = run_state(h->name);
        if (run.running) run.stopping = true;
    }
    fill_status(key, run, status);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
    kova_sc_object *h = checked(service, false, DELETE);
    if (!h) return FALSE;
    LSTATUS s = delete_tree(HKEY_LOCAL_MACHINE, std::string(services_key) + "\\" + h->name);
    if (s != ERROR_SUCCESS) {
        SetLastError(s == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : static_cast<DWORD>(s));
        return FALSE;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard lock(handles_mutex);
    if (!handle || !handles.erase(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete handle;
    return TRUE;
}
