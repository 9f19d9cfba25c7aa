// The operating system's name for the error report: the host system where the platform names
// one, else the Windows name built from the version information.
#include "kernel/errors/report.h"
#include "platform/host.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr WORD suite_small_business = 0x0001;
constexpr WORD suite_enterprise = 0x0002;
constexpr WORD suite_datacenter = 0x0080;
constexpr WORD suite_personal = 0x0200;
constexpr WORD suite_blade = 0x0400;

bool is_server(const OSVERSIONINFOEXA &v) {
    return v.wProductType == VER_NT_SERVER || v.wProductType == VER_NT_DOMAIN_CONTROLLER;
}

std::string base_name(const OSVERSIONINFOEXA &v) {
    DWORD major = v.dwMajorVersion, minor = v.dwMinorVersion;
    char release = v.szCSDVersion[1];
    switch (v.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        return "Microsoft Win32s";
    case VER_PLATFORM_WIN32_WINDOWS:
        if (major == 4 && minor == 0)
            return std::string("Microsoft Windows 95") +
                   (release == 'B' || release == 'C' ? " OSR2" : "");
        if (major == 4 && minor == 10)
            return std::string("Microsoft Windows 98") + (release == 'A' ? " SE" : "");
        if (major == 4 && minor == 90) return "Microsoft Windows Millennium Edition";
        return {};
    default:
        break;
    }
    bool server = is_server(v);
    if (major == 10) return server ? "Microsoft Windows 2016 Server" : "Windows 10";
    if (major == 6) {
        switch (minor) {
        case 3:
            return server ? "Microsoft Windows 2012 R2 Server" : "Windows 8.1";
        case 2:
            return server ? "Microsoft Windows 2012 Server" : "Windows 8";
        case 1:
            return server ? "Microsoft Windows 2008 R2 Server" : "Windows 7";
        case 0:
            return server ? "Microsoft Windows 2008 Server" : "Windows Vista";
        default:
            return server ? "Unknown Windows 6 Server OS" : "Unknown Windows Version 6 OS";
        }
    }
    if (major == 5) {
        if (minor == 2) return "Microsoft Windows 2003 Server";
        if (minor == 1) return "Microsoft Windows XP";
        if (minor == 0) return "Microsoft Windows 2000";
        return "Unknown Windows Version 5 OS";
    }
    if (major > 5) return "Unknown Windows Version 6+ OS";
    return "Microsoft Windows NT";
}

std::string edition(const OSVERSIONINFOEXA &v, bool extended, const char *product_type) {
    DWORD major = v.dwMajorVersion, minor = v.dwMinorVersion;
    WORD suite = v.wSuiteMask;
    if (!extended) {
        std::string type = product_type ? product_type : "";
        for (char &c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (type == "WINNT") return " Professional";
        if (type == "LANMANNT") return " Server";
        if (type == "SERVERNT") return " Advanced Server";
        return {};
    }
    if (v.wProductType == VER_NT_WORKSTATION) {
        if (major == 4) return " Workstation 4";
        return suite & suite_personal ? " Home Edition" : " Professional";
    }
    if (!is_server(v)) return {};
    if (major == 4) return suite & suite_enterprise ? " Server Enterprise Edition" : " Server";
    if (major == 5 && minor == 2) {
        if (suite & suite_small_business) return " Small Business Edition";
        if (suite & suite_datacenter) return " Datacenter Edition";
        if (suite & suite_enterprise) return " Enterprise Edition";
        if (suite & suite_blade) return " Web Edition";
        return " Standard Edition";
    }
    if (major == 5 && minor == 0) {
        if (suite & suite_small_business) return " Small Business Server";
        if (suite & suite_datacenter) return " Datacenter Server";
        if (suite & suite_enterprise) return " Advanced Server";
        return " Server";
    }
    return {};
}

bool registry_key_exists(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string registry_text(const char *path, const char *value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return {};
    char text[81] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LSTATUS status =
        RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(text) : std::string();
}

} // namespace

std::string fxk_os_name_windows(const OSVERSIONINFOEXA &v, bool extended,
                                const char *product_type) {
    std::string name = base_name(v);
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) return name;
    name += edition(v, extended, product_type);
    std::string pack(v.szCSDVersion, strnlen(v.szCSDVersion, sizeof v.szCSDVersion));
    if (v.dwMajorVersion == 4 && pack == "Service Pack 6" &&
        registry_key_exists("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009"))
        name += " Service Pack 6a";
    else if (!pack.empty())
        name += " " + pack;
    fxd_fmt_append(name, " (Build %dword%,5)", v.dwBuildNumber & 0xFFFF);
    return name;
}

char *fxk_os_name(char *out) {
    std::string name = kova_host_os_name();
    if (name.empty()) {
        OSVERSIONINFOEXA version{};
        version.dwOSVersionInfoSize = sizeof version;
        bool extended = GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version));
        if (!extended) {
            version = OSVERSIONINFOEXA{};
            version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
            GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version));
        }
        std::string type;
        if (!extended)
            type =
                registry_text("SYSTEM\\CurrentControlSet\\Control\\ProductOptions", "ProductType");
        name = fxk_os_name_windows(version, extended, type.c_str());
    }
    name.resize(std::min<size_t>(name.size(), 80));
    std::memcpy(out, name.c_str(), name.size() + 1);
    return out;
}
