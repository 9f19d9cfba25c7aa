// Whether the MAPI32.DLL the mail layer found can reach a mail client on Windows.
#include "platform/host.h"

#include <cctype>
#include <memory>
#include <string>

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The name of the default mail client under `root`, empty when none is registered.
std::string default_mail_client(HKEY root) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, "Software\\Clients\\Mail", 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return {};
    Key key(opened);
    char name[256] = {};
    DWORD size = sizeof name - 1, type = 0;
    if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE *>(name),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return name;
}

bool same_folder(std::string_view a, std::string_view b) {
    while (!a.empty() && (a.back() == '\\' || a.back() == '/')) a.remove_suffix(1);
    while (!b.empty() && (b.back() == '\\' || b.back() == '/')) b.remove_suffix(1);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] == '/' ? '\\' : a[i], y = b[i] == '/' ? '\\' : b[i];
        if (std::tolower(static_cast<unsigned char>(x)) !=
            std::tolower(static_cast<unsigned char>(y)))
            return false;
    }
    return true;
}

} // namespace

bool kova_mapi_reaches_client(std::string_view dos_path) {
    char system[MAX_PATH] = {};
    UINT n = GetSystemDirectoryA(system, sizeof system);
    if (n == 0 || n >= sizeof system) return true; // cannot tell: let MAPI answer for itself
    size_t slash = dos_path.find_last_of("\\/");
    std::string_view folder =
        slash == std::string_view::npos ? std::string_view() : dos_path.substr(0, slash);
    if (!same_folder(folder, std::string_view(system, n))) return true;
    // The stub asks the user's choice first, then the machine's.
    return !default_mail_client(HKEY_CURRENT_USER).empty() ||
           !default_mail_client(HKEY_LOCAL_MACHINE).empty();
}
