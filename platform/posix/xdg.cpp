// The freedesktop side of the shell's file types: a shared-mime-info package and a desktop
// entry in the user's data folder that mirror what the registry says about a type, and the
// refresh of the databases built from them when associations change.
#include "system_support.h"

#include "platform/host.h"
#include "platform/win32.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string environment(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

// $XDG_DATA_HOME when it is an absolute path (a relative one is invalid and ignored), else
// ~/.local/share.
std::string data_home() {
    std::string home = environment("XDG_DATA_HOME");
    if (!home.empty() && home[0] == '/') return home;
    home = environment("HOME");
    if (home.empty())
        if (passwd *pw = getpwuid(getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    return home + "/.local/share";
}

bool desktop_session() {
    for (const char *name : {"XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY", "DISPLAY"})
        if (!environment(name).empty()) return true;
    return false;
}

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD make_folders(const std::string &path) {
    std::string partial;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        partial = path.substr(0, i);
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return kova_error_from_errno(errno);
    }
    return is_directory(path) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

// Writes a file only when its contents differ, so that an unchanged type leaves the databases
// alone.
DWORD write_if_different(const std::string &folder, const std::string &name,
                         const std::string &contents, bool &changed) {
    std::string path = folder + "/" + name;
    std::string current;
    if (kova_sys::read_whole(path, current) == ERROR_SUCCESS && current == contents)
        return ERROR_SUCCESS;
    if (DWORD error = make_folders(folder)) return error;
    if (DWORD error = kova_sys::replace_file(path, contents, 0644)) return error;
    changed = true;
    return ERROR_SUCCESS;
}

DWORD remove_file(const std::string &path, bool &changed) {
    if (unlink(path.c_str()) == 0) {
        changed = true;
        return ERROR_SUCCESS;
    }
    return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : kova_error_from_errno(errno);
}

// Names that become file names and MIME types: letters, digits and a few marks, never a
// separator or a leading dot.
bool plain_name(const std::string &name) {
    if (name.empty() || name[0] == '.') return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '+' && c != '.') return false;
    return true;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string xml_text(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A value of a desktop entry: backslashes and control characters escaped.
std::string entry_value(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a character the launcher would take
// otherwise, with percent signs doubled so none reads as a field code.
std::string exec_argument(const std::string &argument) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = argument.empty() || argument.find_first_of(reserved) != std::string::npos;
    std::string out = quote ? "\"" : "";
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        out += c;
        if (c == '%') out += '%';
    }
    if (quote) out += '"';
    return out;
}

// The host path of a DOS path whose last folders need not exist yet (a program that is not
// installed yet): the part that exists resolved through the drives, the rest as written.
std::string host_path(const std::string &dos) {
    std::string head = dos, tail;
    for (;;) {
        std::string host = kova_host_from_dos(head);
        if (!host.empty()) return host + tail;
        size_t cut = head.find_last_of('\\');
        if (cut == std::string::npos || head.size() <= 3) return {};
        tail.insert(0, "/" + kova_utf8_from_ansi(head.substr(cut + 1)));
        head.resize(cut == 2 ? 3 : cut); // a drive's root keeps its backslash
    }
}

// The Exec line of a registry command: the program by its host path, started with this
// prefix so that it finds the same drives and registry, and "%1" as the file (%f).
DWORD exec_line(const char *command, std::string &program, std::string &line) {
    std::vector<std::string> args = kova_sys::split_command_line(command ? command : "");
    if (args.empty() || args[0].empty()) return ERROR_INVALID_PARAMETER;
    program = host_path(args[0]);
    if (program.empty()) return ERROR_PATH_NOT_FOUND;
    line = "env " + exec_argument("KOVA_PREFIX=" + kova_prefix()) + " " + exec_argument(program);
    for (size_t i = 1; i < args.size(); ++i)
        line += " " +
                (args[i] == "%1" ? std::string("%f") : exec_argument(kova_utf8_from_ansi(args[i])));
    return ERROR_SUCCESS;
}

// The desktop entry file name of a command's program: its name without the extension, in
// lower case.
std::string entry_name(const char *command) {
    std::vector<std::string> args = kova_sys::split_command_line(command ? command : "");
    if (args.empty()) return {};
    std::string leaf = args[0].substr(args[0].find_last_of("\\/:") + 1);
    size_t dot = leaf.rfind('.');
    if (dot != std::string::npos && dot > 0) leaf.resize(dot);
    return lower(leaf);
}

// Action identifiers may hold only letters, digits and dashes.
std::string action_id(const std::string &name, size_t index) {
    std::string id;
    for (unsigned char c : name)
        if (std::isalnum(c) || c == '-') id += static_cast<char>(c);
    return id.empty() ? "verb" + std::to_string(index) : id;
}

std::string mime_package(const std::string &type, const std::string &extension,
                         const std::string &description) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
           "  <mime-type type=\"" +
           type + "\">\n" +
           (description.empty() ? "" : "    <comment>" + xml_text(description) + "</comment>\n") +
           "    <glob pattern=\"*." + extension +
           "\"/>\n"
           "  </mime-type>\n"
           "</mime-info>\n";
}

bool same_name(const char *a, const char *b) {
    return a && b && kova_sys::iequal(a, b);
}

// The host path of a tool on the PATH, or empty.
std::string find_tool(const char *name) {
    std::string path = environment("PATH");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(start, end - start);
        if (folder.empty()) folder = ".";
        std::string candidate = folder + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Runs a database tool on a folder of the data home and waits for it; a tool the host lacks
// or that fails leaves the databases as they were, which is all a refresh can promise.
void refresh(const char *tool, const std::string &folder) {
    if (!is_directory(folder)) return;
    std::string host = find_tool(tool);
    if (host.empty()) return;
    kova_sys::SpawnOptions options;
    options.quiet = true;
    pid_t pid = -1;
    if (kova_sys::spawn_program(host, {tool, folder}, options, pid) != ERROR_SUCCESS) return;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

DWORD kova_xdg_file_type(LPCSTR extension, LPCSTR description, const KOVA_SHELL_VERB *verbs,
                         DWORD verb_count, BOOL remove, BOOL *changed) {
    if (changed) *changed = FALSE;
    std::string ext = lower(extension ? extension : "");
    if (!plain_name(ext) || (verb_count && !verbs)) return ERROR_INVALID_PARAMETER;
    const KOVA_SHELL_VERB *open = nullptr;
    for (DWORD i = 0; i < verb_count; ++i)
        if (same_name(verbs[i].name, "open") && !open) open = &verbs[i];

    std::string entry = open ? entry_name(open->command) : "";
    if (open && !plain_name(entry)) return ERROR_INVALID_NAME;

    std::string data = data_home();
    std::string packages = data + "/mime/packages", applications = data + "/applications";
    std::string package = "kova-" + ext + ".xml", desktop = entry + ".desktop";
    bool any = false;
    DWORD error = ERROR_SUCCESS;
    if (remove) {
        error = remove_file(packages + "/" + package, any);
        if (!entry.empty())
            if (DWORD e = remove_file(applications + "/" + desktop, any); e && !error) error = e;
        if (changed) *changed = any;
        return error;
    }
    if (!desktop_session()) return ERROR_SUCCESS;

    std::string type = "application/x-kova-" + ext;
    std::string comment = kova_utf8_from_ansi(description ? description : "");
    error = write_if_different(packages, package, mime_package(type, ext, comment), any);
    std::string open_program, open_line;
    if (open) {
        if (DWORD e = exec_line(open->command, open_program, open_line)) {
            if (!error) error = e;
        } else {
            std::string text = "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=" +
                               entry_value(entry) + "\n";
            if (!comment.empty()) text += "Comment=" + entry_value(comment) + "\n";
            text += "TryExec=" + entry_value(open_program) + "\n";
            text += "Exec=" + entry_value(open_line) + "\n";
            text += "MimeType=" + type + ";\n";
            // kvpatch talks to its operator on a terminal; without one it runs unattended.
            text += "Terminal=true\n";
            text += "NoDisplay=true\n";
            std::string actions, sections;
            for (DWORD i = 0; i < verb_count; ++i) {
                if (&verbs[i] == open || !verbs[i].name) continue;
                std::string program, line;
                if (exec_line(verbs[i].command, program, line) != ERROR_SUCCESS) continue;
                std::string id = action_id(verbs[i].name, i);
                actions += id + ";";
                sections += "\n[Desktop Action " + id + "]\n";
                sections += "Name=" + entry_value(kova_utf8_from_ansi(verbs[i].name)) + "\n";
                sections += "Exec=" + entry_value(line) + "\n";
            }
            if (!actions.empty()) text += "Actions=" + actions + "\n";
            text += sections;
            if (DWORD e = write_if_different(applications, desktop, text, any); e && !error)
                error = e;
        }
    }
    if (changed) *changed = any;
    return error;
}

void SHChangeNotify(LONG event, UINT, LPCVOID, LPCVOID) {
    if (!(event & SHCNE_ASSOCCHANGED)) return;
    std::string data = data_home();
    refresh("update-mime-database", data + "/mime");
    refresh("update-desktop-database", data + "/applications");
}
