// The host system's name for the error report: the distribution from os-release and the
// kernel's name and release from uname.
#include "platform/host.h"
#include "platform/win32.h"

#include <fstream>
#include <string>
#include <sys/utsname.h>

namespace {

// A value of os-release: the text after '=', without its quotes and escapes.
std::string unquoted(const std::string &value) {
    if (value.size() < 2 || (value.front() != '"' && value.front() != '\'')) return value;
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size()) ++i;
        out += value[i];
    }
    return out;
}

std::string distribution() {
    for (const char *file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("PRETTY_NAME=", 0) == 0) return unquoted(line.substr(12));
    }
    return {};
}

} // namespace

std::string kova_host_os_name() {
    std::string name = distribution();
    struct utsname host {};
    if (uname(&host) == 0) {
        if (!name.empty()) name += ", ";
        name += std::string(host.sysname) + " " + host.release;
    }
    return kova_ansi_from_utf8(name);
}
