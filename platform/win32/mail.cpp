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

// A text value of the key `path`, empty when either is missing.
std::string string_value(HKEY root, const std::string &path, const char *name) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return {};
    Key key(opened);
    char text[MAX_PATH * 2] = {};
    DWORD size = sizeof text - 1, type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return text;
}

// A path as compared: lower case, backslashes, no separator at the end.
std::string folded(std::string_view path) {
    while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.remove_suffix(1);
    std::string out(path);
    for (char &c : out)
        c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Wine registers a bridge to the host's mailto: handler as the default mail client. It drops
// every attachment and answers success whether or not anything took the message, so a patch
// sent through it would be lost without a word: it does not count as a mail client.
bool wine_bridge(std::string_view library) {
    size_t slash = library.find_last_of("\\/");
    std::string_view file = slash == std::string_view::npos ? library : library.substr(slash + 1);
    return folded(file) == "winemapi.dll";
}

// Whether a mail client is registered as the default, the user's choice before the machine's.
bool default_client_registered() {
    constexpr const char *clients = "Software\\Clients\\Mail";
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        std::string name = string_value(root, clients, nullptr);
        if (name.empty()) continue;
        std::string client = std::string(clients) + "\\" + name;
        std::string library = string_value(root, client, "DLLPath");
        if (library.empty()) library = string_value(HKEY_LOCAL_MACHINE, client, "DLLPath");
        return !wine_bridge(library);
    }
    return false;
}

} // namespace

bool kova_mapi_reaches_client(std::string_view dos_path) {
    char system[MAX_PATH] = {};
    UINT n = GetSystemDirectoryA(system, sizeof system);
    if (n == 0 || n >= sizeof system) return true; // cannot tell: let MAPI answer for itself
    size_t slash = dos_path.find_last_of("\\/");
    std::string_view folder =
        slash == std::string_view::npos ? std::string_view() : dos_path.substr(0, slash);
    if (folded(folder) != folded(std::string_view(system, n))) return true;
    return default_client_registered();
}
