// kvpatch's entry: start-up steps, the interactive test, the installation an unattended run
// works on, and the dispatch of the command line to the actions.
#include "patch/entry.h"

#include "patch/build.h"
#include "patch/distribute.h"
#include "patch/install.h"
#include "patch/log.h"
#include "patch/parts.h"

#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/install/shell.h"
#include "kernel/text/format.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/usage.h"
#include "platform/win32.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

const char *const banner[] = {"Version 1.0", nullptr};

const char *const help[] = {
    "\tif just patname is specified the patch is installed",
    "\tif filename is also specified it is added to the patch file",
    "\t/m invokes your email client to send the patch",
    "\t/f queues the patch for collection using FTP for offline installation",
    "",
    "\tif filename is of the form x:yyyo9999.kvo or x:yyym9999.kvm",
    "\tthe component is picked up from the source directory of the specified",
    "\tdrive and the release directory is set accordingly",
    "",
    "\tpatches should use the correct release directory for the components as",
    "\tthey expand using the same directory",
    "",
    "\tpatches are created in the \\source\\patches directory and have a file",
    "\ttype of .kvz",
    nullptr,
};

bool interactive_known = false;
bool interactive_value = false;

std::string upper(std::string text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool equal_nocase(const std::string &a, const char *b) {
    return upper(a) == upper(b);
}

// The program's full path: argument 0 completed with the start-up drive and directory and,
// without an extension, with "exe".
std::string program_path() {
    char path[DXI_PATH_BUFFER] = {};
    return fxi_module_path(path);
}

// Which installation the registry names for services.
enum class ServiceHome { taken, no_key, empty, unreadable };

ServiceHome take_service_installation(LSTATUS &error) {
    HKEY key = nullptr;
    error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software", 0,
                          KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (error == ERROR_FILE_NOT_FOUND) return ServiceHome::no_key;
    if (error != ERROR_SUCCESS) return ServiceHome::unreadable;
    char home[521] = {};
    DWORD type = 0;
    DWORD size = sizeof home - 1; // room for the terminator a stored value may lack
    LSTATUS status = RegQueryValueExA(key, "ServiceDataHome", nullptr, &type,
                                      reinterpret_cast<BYTE *>(home), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || home[0] == '\0') return ServiceHome::empty;
    fxi_set_data_home(home);
    fxi_load_installation();
    return ServiceHome::taken;
}

// The data home start-up chose is the program's own folder: an installation only when it
// carries the marks of one.
bool holds_installation(const std::string &home) {
    return fxi_test_file((home + "kova.kvk").c_str()) || fxi_test_file((home + "kova.ini").c_str());
}

constexpr const char *no_installation_text =
    "No installation is configured - set the registry value ServiceDataHome under "
    "HKEY_LOCAL_MACHINE\\Software\\KOVA Business Software to its data home, for example with "
    "kvprefix home 'S:\\KOVABrisel\\'";

// An unattended run says every message on standard error as well, one line each, as apt and
// rsync do; the paragraphs of a box become parts of the line.
void say_on_standard_error(const char *message) {
    std::string line = "kvpatch: ";
    for (const char *c = message; *c;) {
        if (*c != '\r' && *c != '\n') {
            line += *c++;
            continue;
        }
        int breaks = 0;
        for (; *c == '\r' || *c == '\n'; ++c) breaks += *c == '\n';
        if (*c) line += breaks > 1 ? " - " : " ";
    }
    fxp_channel.write_error(line + "\n");
}

// Arguments with characters outside the ANSI code page reach the tool with '?' in their
// place, which names no file: say so instead of failing on the mangled name.
bool arguments_fit_code_page() {
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return true;
    bool fit = true;
    for (int i = 1; i < count && fit; ++i) {
        BOOL lossy = FALSE;
        int size = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string ansi(static_cast<size_t>(size > 0 ? size : 1), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide[i], -1, ansi.data(), static_cast<int>(ansi.size()),
                            nullptr, &lossy);
        if (!lossy) continue;
        // The ANSI code page is the system's choice on Windows; name the one in force.
        std::string code_page = "Windows-" + std::to_string(GetACP());
        std::string text;
        fxd_fmt_assign(text,
                       "Unable to use the name '%str%' - it has characters that the suite's code "
                       "page (%str%) cannot hold; rename it",
                       ansi.c_str(), code_page.c_str());
        patch_report(text.c_str());
        fit = false;
    }
    LocalFree(wide);
    return fit;
}

// Patches live in \source\patches\ of the current drive. Z: is the whole host: a folder
// there lies on no development drive, and a patches folder is never made at its root.
bool patches_folder_usable() {
    if (fxi_dir_exists("\\source\\patches\\")) return true;
    char current[DXI_PATH_BUFFER] = {};
    GetCurrentDirectoryA(sizeof current, current);
    if (std::toupper(static_cast<unsigned char>(current[0])) != 'Z' || current[1] != ':')
        return true;
    std::string text;
    fxd_fmt_assign(text,
                   "Patches are kept in \\source\\patches\\ of the current drive, and the "
                   "current folder %str% is on no development drive: link one (for example "
                   "kvprefix drive D: /home/me/dev) and run kvpatch from a folder on it",
                   current);
    return patch_report(text.c_str());
}

// "kvpatch fix1" installs what "kvpatch fix1 FILE" built: a bare name that is no file is
// looked up in the patches folder of the current drive.
std::string installed_patch(const char *argument) {
    PatchPathParts parts = patch_split(argument);
    if (!parts.drive.empty() || !parts.dir.empty() || !parts.ext.empty() || fxi_test_file(argument))
        return argument;
    char current[DXI_PATH_BUFFER] = {};
    GetCurrentDirectoryA(sizeof current, current);
    std::string built = std::string(current, 2) + "\\source\\patches\\" + parts.name + ".kvz";
    return fxi_test_file(built.c_str()) ? built : std::string(argument);
}

} // namespace

const TXP_USAGE_PROGRAM patch_usage = {patch_title, banner, " patname [filename] [/m]", help,
                                       nullptr};

void patch_startup() {
    fxi_fatal_handler = fxp_fatal;
    fxp_usage_program(&patch_usage);
    fxp_usage_add("[/m]", "/m forces monochrome operation");
    fxp_usage_switches();
}

bool patch_interactive() {
    if (!interactive_known) {
        interactive_value = fxp_presenter.desktop_visible();
        interactive_known = true;
    }
    return interactive_value;
}

void patch_release_options(const char *program_path) {
    struct Release {
        const char *directory;
        int options[3];
    };
    static const Release releases[] = {
        {"\\KOVABrisel\\", {134, 247, 248}},
        {"\\kova2006\\", {247, 248, -1}},
        {"\\kova2004\\", {248, -1, -1}},
    };
    std::string path = upper(program_path ? program_path : "");
    for (const Release &release : releases) {
        if (path.find(upper(release.directory)) == std::string::npos) continue;
        for (int option : release.options)
            if (option >= 0) fxi_set_option(option);
        return;
    }
}

// An unattended run works on the installation the registry names. False, after saying so,
// when the action needs an installation and none is known; without one nothing is logged
// beside the program and only building and handing on run.
bool take_unattended_installation(uint16_t count) {
    LSTATUS error = ERROR_SUCCESS;
    ServiceHome home = take_service_installation(error);
    std::string text;
    if (home == ServiceHome::unreadable) {
        patch_set_installation_log(false);
        if (count != 2) return true;
        fxd_fmt_assign(text,
                       "Unable to read the registry key HKEY_LOCAL_MACHINE\\Software\\KOVA "
                       "Business Software (Windows error %dword%,5), so no installation is known",
                       static_cast<uint32_t>(error));
        return patch_report(text.c_str());
    }
    if (home == ServiceHome::empty ||
        (home == ServiceHome::no_key && !holds_installation(fxi_data_home()))) {
        patch_set_installation_log(false);
        if (home != ServiceHome::empty && count != 2) return true;
        return patch_report(no_installation_text);
    }
    if (home == ServiceHome::taken && count == 2 && !fxi_dir_exists(fxi_data_home().c_str())) {
        patch_set_installation_log(false);
        fxd_fmt_assign(text, "The installation %str% that ServiceDataHome names does not exist",
                       fxi_data_home().c_str());
        return patch_report(text.c_str());
    }
    return true;
}

uint16_t patch_main(int argc, char **argv) {
    uint16_t count = static_cast<uint16_t>(argc);
    // Nobody sees the boxes of an unattended run: its errors go to standard error as well.
    if (!patch_interactive()) fxp_msg_unseen_error = say_on_standard_error;
    if (count == 1) {
        char file[2 * DXI_PATH_PART_MAX + 2] = {};
        if (fxi_path_split(program_path().c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                           file) != 0 ||
            !equal_nocase(file, "kvpatch.exe"))
            return 1;
        return fxk_program_install(nullptr, "kvpatch.exe", patch_title, "kvz", 0, 0) ? 0 : 1;
    }

    if (patch_interactive()) {
        patch_release_options(program_path().c_str());
    } else {
        patch_set_message_sink(say_on_standard_error);
        if (!take_unattended_installation(count)) return 1;
    }
    if (!arguments_fit_code_page()) return 1;
    // Every run with arguments keeps the patch type's association current.
    fxk_shell_register("kvz", 0);

    if (count == 3) {
        if (!patches_folder_usable()) return 1;
        std::string second = argv[2];
        // Handing on succeeds only when the patch was handed to a mail client, sent, or copied.
        if (equal_nocase(second, "/m")) return patch_mail(argv[1]) ? 0 : 1;
        if (equal_nocase(second, "/f")) return patch_queue(argv[1]) ? 0 : 1;
        return patch_add_file(argv[1], argv[2], {.durable = true}) ? 0 : 1;
    }
    if (count == 2) return patch_install(installed_patch(argv[1]).c_str()) ? 0 : 1;
    fxp_msg_error("Invalid Command Line");
    return 1;
}

bool patch_take_service_installation() {
    LSTATUS error = ERROR_SUCCESS;
    return take_service_installation(error) == ServiceHome::taken;
}
