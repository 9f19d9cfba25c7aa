// This computer's and this user's names, and the process error mode, on POSIX.
#include "files_internal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

using namespace kova_posix;

namespace {
std::atomic<UINT> error_mode{0};
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (!size) return fail(FALSE, ERROR_INVALID_PARAMETER);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return fail_errno(FALSE);
    // The host name up to its first dot, upper case, as long as a NetBIOS name may be.
    std::string name = kova_ansi_from_utf8(std::string(host).substr(0, strcspn(host, ".")));
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char &c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (!buffer || *size <= name.size()) {
        *size = static_cast<DWORD>(name.size() + 1);
        return fail(FALSE, ERROR_BUFFER_OVERFLOW);
    }
    memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
    if (!size) return fail(FALSE, ERROR_INVALID_PARAMETER);
    std::string name;
    std::vector<char> work(16384);
    passwd pw, *found = nullptr;
    if (getpwuid_r(geteuid(), &pw, work.data(), work.size(), &found) == 0 && found)
        name = found->pw_name;
    else if (const char *user = getenv("USER"))
        name = user;
    else
        name = std::to_string(geteuid());
    name = kova_ansi_from_utf8(name);
    // Unlike the computer name, the size given back counts the NUL.
    if (!buffer || *size <= name.size()) {
        *size = static_cast<DWORD>(name.size() + 1);
        return fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

UINT SetErrorMode(UINT mode) {
    return error_mode.exchange(mode);
}
