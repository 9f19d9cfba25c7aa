// The program's argument vector and the switch tests that read and shorten it.
#include "kernel/ui/usage.h"

#include "platform/win32.h"

#include <cctype>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::once_flag args_once;
std::vector<std::string> args;
std::vector<char *> arg_pointers;

void point_at_args() {
    arg_pointers.clear();
    for (auto &a : args) arg_pointers.push_back(a.data());
    arg_pointers.push_back(nullptr);
}

void build_args() {
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i) {
        int n = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<size_t>(n > 0 ? n : 1), '\0');
        if (n > 0) WideCharToMultiByte(CP_ACP, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
        arg.resize(arg.size() - 1); // the converted NUL
        args.push_back(std::move(arg));
    }
    if (wide) LocalFree(wide);
    point_at_args();
}

std::vector<std::string> &the_args() {
    std::call_once(args_once, build_args);
    return args;
}

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool is_switch(const std::string &arg) {
    return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
}

} // namespace

int fxp_argc() {
    return static_cast<int>(the_args().size());
}

char **fxp_argv() {
    the_args();
    return arg_pointers.data();
}

bool fxp_switch_present(char letter) {
    const auto &all = the_args();
    for (size_t i = 1; i < all.size(); ++i)
        if (is_switch(all[i]) && upper(all[i][1]) == letter) return true;
    return false;
}

bool fxp_switch_take(char letter, std::string *out, bool exact) {
    auto &all = the_args();
    for (size_t i = 1; i < all.size(); ++i) {
        const std::string &arg = all[i];
        if (!is_switch(arg) || upper(arg[1]) != upper(letter)) continue;
        if (exact && arg.size() > 2) continue;
        if (out) *out = arg;
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
        point_at_args();
        return true;
    }
    return false;
}
