// The process environment as Win32 sees it: ANSI names and values over the host's UTF-8
// environment, and a private table for the names Windows starts with '=' (the per-drive
// current directories), which a host environment cannot hold.
#include "files_internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

using namespace kova_posix;

namespace {
std::mutex env_lock;
std::map<std::string, std::string> &hidden_env() {
    static std::map<std::string, std::string> table;
    return table;
}
// Windows names fold case; the hidden table is keyed by the upper-case name.
std::string key_of(LPCSTR name) {
    std::string key = name;
    for (char &c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return key;
}
} // namespace

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!name || !*name) return fail(0u, ERROR_ENVVAR_NOT_FOUND);
    std::string value;
    {
        std::lock_guard<std::mutex> hold(env_lock);
        if (name[0] == '=') {
            auto it = hidden_env().find(key_of(name));
            if (it == hidden_env().end()) return fail(0u, ERROR_ENVVAR_NOT_FOUND);
            value = it->second;
        } else {
            const char *host = getenv(utf8_from_ansi(name).c_str());
            if (!host) return fail(0u, ERROR_ENVVAR_NOT_FOUND);
            value = kova_ansi_from_utf8(host);
        }
    }
    if (!buffer || size <= value.size()) return static_cast<DWORD>(value.size() + 1);
    memcpy(buffer, value.c_str(), value.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (!name || !*name || strchr(name + 1, '=')) return fail(FALSE, ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(env_lock);
    if (name[0] == '=') {
        if (value)
            hidden_env()[key_of(name)] = value;
        else
            hidden_env().erase(key_of(name));
        return TRUE;
    }
    std::string host = utf8_from_ansi(name);
    int rc =
        value ? setenv(host.c_str(), utf8_from_ansi(value).c_str(), 1) : unsetenv(host.c_str());
    if (rc != 0) return fail_errno(FALSE);
    return TRUE;
}
