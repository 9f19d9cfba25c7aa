// The operating-system predicates from the platform's version information, and the
// terminal-services test.
#include "kernel/ui/startup.h"

namespace {

const OSVERSIONINFOEXA &platform_version() {
    static const OSVERSIONINFOEXA version = [] {
        OSVERSIONINFOEXA v{};
        v.dwOSVersionInfoSize = sizeof v;
        if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&v))) v = OSVERSIONINFOEXA{};
        return v;
    }();
    return version;
}

bool at_least(const OSVERSIONINFOEXA &v, DWORD major, DWORD minor) {
    return v.dwMajorVersion > major || (v.dwMajorVersion == major && v.dwMinorVersion >= minor);
}

bool server(const OSVERSIONINFOEXA &v) {
    return v.wProductType == VER_NT_SERVER || v.wProductType == VER_NT_DOMAIN_CONTROLLER;
}

} // namespace

bool fxp_os_nt(const OSVERSIONINFOEXA &v) {
    return v.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
bool fxp_os_2000(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && v.dwMajorVersion > 4;
}
bool fxp_os_xp(const OSVERSIONINFOEXA &v) {
    return at_least(v, 5, 1);
}
bool fxp_os_vista(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && v.dwMajorVersion > 5;
}
bool fxp_os_7(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && at_least(v, 6, 1);
}
bool fxp_os_8(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && at_least(v, 6, 2);
}
bool fxp_os_after_10(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && at_least(v, 10, 1);
}
bool fxp_os_server_2008(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && v.dwMajorVersion > 5 && server(v);
}
bool fxp_os_server_2008r2(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && at_least(v, 6, 1) && server(v);
}
bool fxp_os_server_2016(const OSVERSIONINFOEXA &v) {
    return fxp_os_nt(v) && v.dwMajorVersion > 9 && server(v);
}

bool fxp_os_nt() {
    return fxp_os_nt(platform_version());
}
bool fxp_os_2000() {
    return fxp_os_2000(platform_version());
}
bool fxp_os_xp() {
    return fxp_os_xp(platform_version());
}
bool fxp_os_vista() {
    return fxp_os_vista(platform_version());
}
bool fxp_os_7() {
    return fxp_os_7(platform_version());
}
bool fxp_os_8() {
    return fxp_os_8(platform_version());
}
bool fxp_os_after_10() {
    return fxp_os_after_10(platform_version());
}
bool fxp_os_server_2008() {
    return fxp_os_server_2008(platform_version());
}
bool fxp_os_server_2008r2() {
    return fxp_os_server_2008r2(platform_version());
}
bool fxp_os_server_2016() {
    return fxp_os_server_2016(platform_version());
}

bool fxp_terminal_services() {
    if (!fxp_os_2000()) return false;
    // Both functions are reached at run time: systems before them answer false.
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    using Verify = BOOL(WINAPI *)(OSVERSIONINFOEXA *, DWORD, ULONGLONG);
    using ConditionMask = ULONGLONG(WINAPI *)(ULONGLONG, DWORD, BYTE);
    auto verify = kernel ? reinterpret_cast<Verify>(reinterpret_cast<void (*)()>(
                               GetProcAddress(kernel, "VerifyVersionInfoA")))
                         : nullptr;
    auto mask = ntdll ? reinterpret_cast<ConditionMask>(reinterpret_cast<void (*)()>(
                            GetProcAddress(ntdll, "VerSetConditionMask")))
                      : nullptr;
    bool answer = false;
    if (verify && mask) {
        constexpr DWORD suite_name = 0x40;    // VER_SUITENAME
        constexpr BYTE all_of = 6;            // VER_AND
        constexpr WORD terminal_suite = 0x10; // VER_SUITE_TERMINAL
        OSVERSIONINFOEXA wanted{};
        wanted.dwOSVersionInfoSize = sizeof wanted;
        wanted.wSuiteMask = terminal_suite;
        answer = verify(&wanted, suite_name, mask(0, suite_name, all_of)) != 0;
    }
    if (ntdll) FreeLibrary(ntdll);
    if (kernel) FreeLibrary(kernel);
    return answer;
}
