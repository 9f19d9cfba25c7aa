// kvpatch's entry: start-up steps, the interactive test, the installation an unattended run
// works on, and the dispatch of the command line to the actions.
#include "patch/entry.h"

#include "patch/build.h"
#include "patch/distribute.h"
#include "patch/install.h"

#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/install/shell.h"
#include "kernel/text/format.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
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

// An unattended run works on the installation the registry names for services. Answers false
// when the key is there but names none: the run cannot know its installation.
bool take_service_installation() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return true; // no key: the data home start-up found stays
    char home[521] = {};
    DWORD type = 0;
    DWORD size = sizeof home - 1; // room for the terminator a stored value may lack
    LSTATUS status = RegQueryValueExA(key, "ServiceDataHome", nullptr, &type,
                                      reinterpret_cast<BYTE *>(home), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || home[0] == '\0') return false;
    fxi_set_data_home(home);
    fxi_load_installation();
    return true;
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

uint16_t patch_main(int argc, char **argv) {
    uint16_t count = static_cast<uint16_t>(argc);
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
    } else if (!take_service_installation()) {
        return 1;
    }
    // Every run with arguments keeps the patch type's association current.
    fxk_shell_register("kvz", 0);

    if (count == 3) {
        std::string second = argv[2];
        if (equal_nocase(second, "/m")) {
            patch_mail(argv[1]);
            return 0;
        }
        if (equal_nocase(second, "/f")) {
            patch_queue(argv[1]);
            return 0;
        }
        return patch_add_file(argv[1], argv[2], {.durable = true}) ? 0 : 1;
    }
    if (count == 2) return patch_install(argv[1]) ? 0 : 1;
    fxp_msg_error("Invalid Command Line");
    return 1;
}

bool patch_take_service_installation() {
    return take_service_installation();
}
