// UTF-8, the ANSI code page and host paths on Windows: the system converts, and a host path
// is a DOS path already.
#include "platform/host.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

std::wstring wide_from(UINT code_page, std::string_view text) {
    if (text.empty()) return {};
    int length = static_cast<int>(text.size());
    int n = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), length, wide.data(), n);
    return wide;
}

// Characters the ANSI code page cannot hold become '?', never a look-alike letter: a name
// that changed its letters would name another file.
std::string narrow_from(UINT code_page, std::wstring wide) {
    if (wide.empty()) return {};
    // No ANSI code page holds a character beyond the first plane: it becomes one '?', not one
    // per half of its surrogate pair (as some versions of the conversion give).
    if (code_page != CP_UTF8) {
        std::wstring single;
        single.reserve(wide.size());
        for (size_t i = 0; i < wide.size(); ++i) {
            bool pair = wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < wide.size() &&
                        wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000;
            single += pair ? L'?' : wide[i];
            i += pair;
        }
        wide = std::move(single);
    }
    int length = static_cast<int>(wide.size());
    DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int n =
        WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(code_page, flags, wide.data(), length, text.data(), n, nullptr, nullptr);
    return text;
}

} // namespace

std::string kova_ansi_from_utf8(std::string_view utf8) {
    return narrow_from(CP_ACP, wide_from(CP_UTF8, utf8));
}

std::string kova_ansi_from_wide(std::basic_string_view<WCHAR> wide) {
    return narrow_from(CP_ACP, std::wstring(wide));
}

std::string kova_utf8_from_ansi(std::string_view ansi) {
    return narrow_from(CP_UTF8, wide_from(CP_ACP, ansi));
}

std::string kova_dos_from_host(std::string_view host_path) {
    std::string path(host_path);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

void kova_set_host_args(int, char **) {
    // The kernel reads the command line from GetCommandLineW, as the system keeps it.
}
