// kvprefix: sets up the POSIX prefix that kvpatch and the managers share - drive links, the
// installation that unattended runs and services use, and the services - through the
// platform layer's own registry, drive and service code, so it edits exactly what they read.
#include "platform/host.h"
#include "platform/win32.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *settings_key = "Software\\KOVA Business Software";
constexpr const char *services_key = "System\\CurrentControlSet\\Services";

// Where each drive is looked at for a release tree, as the installation driver looks.
constexpr const char *tree_markers[] = {"KOVABrisel\\kova.kvk", "kova2006\\kova.kvk",
                                        "kova2004\\kova.kvk", "kova.kvk", "kova7\\kv7tlicn.lbl"};

constexpr int status_ok = 0, status_failed = 1, status_usage = 2;

const char *const usage_text =
    "usage: kvprefix COMMAND ...\n"
    "  show                         the prefix, drives, installation, services and trees\n"
    "  drives                       list the drive links\n"
    "  drive X: FOLDER              link drive X: to a host folder\n"
    "  drive X: --remove            remove the link of drive X:\n"
    "  home [PATH]                  show or set ServiceDataHome, the installation of\n"
    "                               unattended runs and services (S:\\KOVABrisel\\ or a host\n"
    "                               path on a linked drive)\n"
    "  service NAME COMMAND [--demand|--disabled]\n"
    "                               register a service (started automatically by default)\n"
    "  service NAME --remove        remove a service\n"
    "  start NAME | stop NAME       start or stop a registered service\n"
    "The prefix is $KOVA_PREFIX, else ~/.kova.\n";

int fail(const std::string &text) {
    std::fprintf(stderr, "kvprefix: %s\n", text.c_str());
    return status_failed;
}

int fail(const std::string &text, DWORD error) {
    return fail(text + " (Windows error " + std::to_string(error) + ")");
}

int usage() {
    std::fputs(usage_text, stderr);
    return status_usage;
}

std::string utf8(const std::string &ansi) {
    return kova_utf8_from_ansi(ansi);
}

// "s:", "S:" or "S" as an upper-case letter; 0 when it names no drive.
char drive_letter(const std::string &text) {
    if (text.empty() || text.size() > 2 || (text.size() == 2 && text[1] != ':')) return 0;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

const char *drive_kind(char letter) {
    char root[] = {letter, ':', '\\', '\0'};
    switch (GetDriveTypeA(root)) {
    case DRIVE_REMOTE:
        return "network";
    case DRIVE_FIXED:
        return "local";
    default:
        return "missing";
    }
}

bool exists(const std::string &dos_path) {
    return GetFileAttributesA(dos_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- Drives -----------------------------------------------------------------------------------

int list_drives() {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::string target = kova_drive_target(letter);
        if (target.empty()) continue;
        std::printf("  %c: -> %s (%s)\n", letter, target.c_str(), drive_kind(letter));
    }
    return status_ok;
}

int link_drive(const std::vector<std::string> &args) {
    if (args.size() != 2) return usage();
    char letter = drive_letter(args[0]);
    if (!letter) return fail("'" + args[0] + "' names no drive; write it as S:");
    if (args[1] == "--remove") {
        if (letter == 'Z') return fail("Z: is the host's root, which the prefix keeps");
        if (DWORD error = kova_link_drive(letter, {}))
            return fail(std::string("cannot remove drive ") + letter + ":", error);
        std::printf("%c: removed\n", letter);
        return status_ok;
    }
    if (DWORD error = kova_link_drive(letter, args[1])) {
        if (error == ERROR_DIRECTORY || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_FILE_NOT_FOUND)
            return fail(args[1] + " is not a folder");
        return fail(std::string("cannot link drive ") + letter + ":", error);
    }
    std::printf("%c: -> %s\n", letter, kova_drive_target(letter).c_str());
    return status_ok;
}

// ---- The installation -------------------------------------------------------------------------

std::string service_data_home() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return {};
    char home[521] = {};
    DWORD type = 0, size = sizeof home - 1;
    LSTATUS status = RegQueryValueExA(key, "ServiceDataHome", nullptr, &type,
                                      reinterpret_cast<BYTE *>(home), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? home : "";
}

int home(const std::vector<std::string> &args) {
    if (args.size() > 1) return usage();
    if (args.empty()) {
        std::string current = service_data_home();
        if (current.empty()) return fail("no installation is set; set one with kvprefix home PATH");
        std::printf("%s\n", utf8(current).c_str());
        return status_ok;
    }
    // A host path is taken on the drive that holds it, as kvpatch takes host paths.
    std::string path =
        args[0][0] == '/' ? kova_dos_from_host(args[0]) : kova_ansi_from_utf8(args[0]);
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\')
        return fail("'" + args[0] + "' is no full path; write it as S:\\KOVABrisel\\");
    if (path[0] == 'Z' || path[0] == 'z')
        return fail(utf8(path) + " is on no linked drive; link its drive first (kvprefix drive)");
    if (path.back() != '\\') path += '\\';
    if (!exists(path)) return fail(utf8(path) + " does not exist");
    if (!exists(path + "kova.ini") && !exists(path + "kova.kvk"))
        std::fprintf(stderr, "kvprefix: warning: %s holds neither kova.ini nor kova.kvk\n",
                     utf8(path).c_str());
    HKEY key = nullptr;
    if (LSTATUS error =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr))
        return fail("cannot open the registry", static_cast<DWORD>(error));
    LSTATUS error = RegSetValueExA(key, "ServiceDataHome", 0, REG_SZ,
                                   reinterpret_cast<const BYTE *>(path.c_str()),
                                   static_cast<DWORD>(path.size() + 1));
    RegCloseKey(key);
    if (error) return fail("cannot set ServiceDataHome", static_cast<DWORD>(error));
    std::printf("ServiceDataHome = %s\n", utf8(path).c_str());
    return status_ok;
}

// ---- Services ---------------------------------------------------------------------------------

const char *start_name(DWORD start) {
    switch (start) {
    case SERVICE_AUTO_START:
        return "automatic";
    case SERVICE_DEMAND_START:
        return "on demand";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "other";
    }
}

int service(const std::vector<std::string> &args) {
    if (args.size() < 2 || args.size() > 3) return usage();
    const std::string &name = args[0];
    kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return fail("cannot open the service manager", GetLastError());
    if (args[1] == "--remove") {
        if (args.size() != 2) return usage();
        kova_service_handle svc(OpenServiceA(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!svc) return fail("no service " + name, GetLastError());
        if (!DeleteService(svc.get())) return fail("cannot remove " + name, GetLastError());
        std::printf("%s removed\n", name.c_str());
        return status_ok;
    }
    DWORD start = SERVICE_AUTO_START;
    if (args.size() == 3) {
        if (args[2] == "--demand")
            start = SERVICE_DEMAND_START;
        else if (args[2] == "--disabled")
            start = SERVICE_DISABLED;
        else
            return usage();
    }
    std::string command = kova_ansi_from_utf8(args[1]);
    kova_service_handle existing(OpenServiceA(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (existing) {
        if (!ChangeServiceConfigA(existing.get(), SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr))
            return fail("cannot change " + name, GetLastError());
    } else {
        kova_service_handle created(CreateServiceA(scm.get(), name.c_str(), name.c_str(),
                                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                   start, SERVICE_ERROR_NORMAL, command.c_str(),
                                                   nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!created) return fail("cannot register " + name, GetLastError());
    }
    std::printf("%s (%s): %s\n", name.c_str(), start_name(start), args[1].c_str());
    return status_ok;
}

int control(const std::string &verb, const std::vector<std::string> &args) {
    if (args.size() != 1) return usage();
    const std::string &name = args[0];
    kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return fail("cannot open the service manager", GetLastError());
    kova_service_handle svc(OpenServiceA(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!svc) return fail("no service " + name, GetLastError());
    if (verb == "start") {
        if (!StartServiceA(svc.get(), 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            return fail("cannot start " + name, GetLastError());
        std::printf("%s running\n", name.c_str());
        return status_ok;
    }
    SERVICE_STATUS status{};
    if (!ControlService(svc.get(), SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return fail("cannot stop " + name, GetLastError());
    // Stopping is asked of the process; wait a while for it to go.
    for (int tries = 0; tries < 100; ++tries) {
        if (!QueryServiceStatus(svc.get(), &status) || status.dwCurrentState == SERVICE_STOPPED)
            break;
        Sleep(50);
    }
    if (status.dwCurrentState != SERVICE_STOPPED) return fail(name + " has not stopped yet");
    std::printf("%s stopped\n", name.c_str());
    return status_ok;
}

std::vector<std::string> service_names() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, services_key, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    RegCloseKey(key);
    return names;
}

void list_services() {
    kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    std::vector<std::string> names = service_names();
    if (names.empty() || !scm) std::printf("  none\n");
    for (const std::string &name : names) {
        kova_service_handle svc(
            OpenServiceA(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
        if (!svc) continue;
        DWORD needed = 0;
        QueryServiceConfigA(svc.get(), nullptr, 0, &needed);
        std::vector<char> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGA));
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
        if (!QueryServiceConfigA(svc.get(), config, static_cast<DWORD>(buffer.size()), &needed))
            continue;
        SERVICE_STATUS status{};
        bool running =
            QueryServiceStatus(svc.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
        std::printf("  %-10s %-9s %-8s %s\n", name.c_str(), start_name(config->dwStartType),
                    running ? "running" : "stopped",
                    utf8(config->lpBinaryPathName ? config->lpBinaryPathName : "").c_str());
    }
}

// ---- Show ---------------------------------------------------------------------------------------

int show() {
    std::printf("prefix: %s\n", kova_prefix().c_str());
    std::printf("drives:\n");
    list_drives();
    std::string current = service_data_home();
    if (current.empty())
        std::printf("installation: none (kvprefix home PATH sets one)\n");
    else
        std::printf("installation: %s%s\n", utf8(current).c_str(),
                    exists(current) ? "" : " (missing)");
    std::printf("services:\n");
    list_services();
    std::printf("trees found:\n");
    bool any = false;
    for (char letter = 'A'; letter <= 'Y'; ++letter) { // Z: is the whole host
        if (kova_drive_target(letter).empty()) continue;
        for (const char *marker : tree_markers) {
            std::string path = std::string(1, letter) + ":\\" + marker;
            if (!exists(path)) continue;
            std::printf("  %s\n", path.substr(0, path.rfind('\\') + 1).c_str());
            any = true;
        }
    }
    if (!any) std::printf("  none\n");
    return status_ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "show" && args.empty()) return show();
    if (command == "drives" && args.empty()) return list_drives();
    if (command == "drive") return link_drive(args);
    if (command == "home") return home(args);
    if (command == "service") return service(args);
    if (command == "start" || command == "stop") return control(command, args);
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(usage_text, stdout);
        return status_ok;
    }
    return usage();
}
