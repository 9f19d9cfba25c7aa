// The command line on POSIX: the host argument vector turned into a Windows command line of
// DOS paths, its splitting by the Windows rules, and the program's own path.
#include "platform/host.h"
#include "platform/posix/files.h"
#include "platform/win32.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::mutex host_args_lock;
std::vector<std::string> host_args;
bool host_args_set = false;

std::once_flag command_line_once;
std::u16string command_line_wide;
std::string command_line_ansi;

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string wide_from(UINT code_page, const std::string &text) {
    if (text.empty()) return {};
    int n =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            n);
    return out;
}

std::string ansi_from(const std::u16string &wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

// The program's full host path, from the kernel's own link to it.
std::string host_program_path() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

// The program's path in DOS form, computed once: the kernel asks for it often.
const std::string &dos_program_path() {
    static const std::string path = [] {
        std::string host = host_program_path();
        return host.empty() ? std::string() : kova_dos_from_host(host);
    }();
    return path;
}

// The host's own record of the arguments, for programs whose entry did not hand them over.
std::vector<std::string> read_proc_cmdline() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A switch keeps its text: "-x...", or "/" followed by anything without a further '/', so that
// "/m", "/?" and a component file named "/x" all reach the program as typed.
bool looks_like_switch(const std::string &arg) {
    if (arg.empty()) return false;
    if (arg[0] == '-') return true;
    return arg[0] == '/' && arg.find('/', 1) == std::string::npos;
}

// Appends one argument quoted so that CommandLineToArgvW gives it back unchanged.
void append_quoted(std::u16string &out, const std::u16string &arg) {
    bool needs_quotes = arg.empty() || arg.find_first_of(u" \t\n\v\"") != std::u16string::npos;
    if (!needs_quotes) {
        out += arg;
        return;
    }
    out += u'"';
    size_t backslashes = 0;
    for (char16_t c : arg) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: double them there, and escape the quote.
        if (c == u'"')
            out.append(backslashes * 2 + 1, u'\\');
        else
            out.append(backslashes, u'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, u'\\'); // before the closing quote
    out += u'"';
}

void build_command_line() {
    std::vector<std::string> args;
    {
        std::lock_guard<std::mutex> lock(host_args_lock);
        args = host_args_set ? host_args : read_proc_cmdline();
    }
    std::u16string line;
    // Windows passes the program as it was started; ours is its full path, always quoted.
    line += u'"';
    line += wide_from(CP_ACP, dos_program_path());
    line += u'"';
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        line += u' ';
        if (arg.find('/') != std::string::npos && !looks_like_switch(arg))
            append_quoted(line, wide_from(CP_ACP, kova_dos_from_host(arg)));
        else
            append_quoted(line, wide_from(CP_UTF8, arg));
    }
    command_line_wide = line;
    command_line_ansi = ansi_from(line);
}

} // namespace

void kova_set_host_args(int argc, char **argv) {
    std::lock_guard<std::mutex> lock(host_args_lock);
    host_args.clear();
    for (int i = 0; i < argc && argv && argv[i]; ++i) host_args.emplace_back(argv[i]);
    host_args_set = true;
}

LPWSTR GetCommandLineW() {
    std::call_once(command_line_once, build_command_line);
    return command_line_wide.data();
}

LPSTR GetCommandLineA() {
    std::call_once(command_line_once, build_command_line);
    return command_line_ansi.data();
}

LPWSTR *CommandLineToArgvW(LPCWSTR command_line, int *count) {
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::u16string> args;
    if (!command_line || !*command_line) {
        args.push_back(wide_from(CP_ACP, dos_program_path()));
    } else {
        const char16_t *p = command_line;
        // The program name: up to the closing quote, or to the first blank; no escapes.
        std::u16string program;
        if (*p == u'"') {
            for (++p; *p && *p != u'"'; ++p) program += *p;
            if (*p == u'"') ++p;
        } else {
            for (; *p && !is_blank(*p); ++p) program += *p;
        }
        args.push_back(program);
        for (;;) {
            while (is_blank(*p)) ++p;
            if (!*p) break;
            std::u16string arg;
            bool quoted = false;
            while (*p && (quoted || !is_blank(*p))) {
                if (*p == u'\\') {
                    size_t n = 0;
                    while (*p == u'\\') ++n, ++p;
                    if (*p == u'"') {
                        // 2n backslashes and a quote: n backslashes, the quote delimits;
                        // 2n+1: n backslashes and a literal quote.
                        arg.append(n / 2, u'\\');
                        if (n % 2) arg += u'"', ++p;
                    } else {
                        arg.append(n, u'\\');
                    }
                } else if (*p == u'"') {
                    ++p;
                    if (quoted && *p == u'"') {
                        // A doubled quote inside quotes is a literal quote and ends them.
                        arg += u'"';
                        ++p;
                        quoted = false;
                    } else {
                        quoted = !quoted;
                    }
                } else {
                    arg += *p++;
                }
            }
            args.push_back(arg);
        }
    }
    // One block: the pointer array, then every argument with its NUL.
    size_t units = 0;
    for (const auto &a : args) units += a.size() + 1;
    size_t pointers = (args.size() + 1) * sizeof(LPWSTR);
    auto *block = static_cast<char *>(std::malloc(pointers + units * sizeof(WCHAR)));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *argv = reinterpret_cast<LPWSTR *>(block);
    auto *text = reinterpret_cast<WCHAR *>(block + pointers);
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = text;
        std::memcpy(text, args[i].data(), args[i].size() * sizeof(WCHAR));
        text[args[i].size()] = u'\0';
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    *count = static_cast<int>(args.size());
    return argv;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    const std::string &path = dos_program_path();
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
    std::u16string path = wide_from(CP_ACP, dos_program_path());
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = u'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}
