// The installation driver: verify, choose the server, make sure no user is inside a function
// that must not be interrupted, then stop the services, extract, rebuild and restart for each
// release tree, newest first.
#include "patch/install.h"

#include "kernel/coord/conn.h"
#include "kernel/coord/queue.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/box.h"
#include "kernel/ui/tin.h"
#include "patch/entry.h"
#include "patch/interrupt.h"
#include "patch/log.h"
#include "patch/pages.h"
#include "patch/parts.h"
#include "patch/process.h"
#include "patch/services.h"
#include "patch/signature.h"
#include "patch/undo.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum class Selection { chosen, cancelled, failed };

constexpr const char *access_text =
    "KVPATCH has detected that you do not have sufficient access rights to install or upgrade "
    "the KOVA Brisel software. Please login using an administrator account with access to the "
    "system registry and full control on the KOVA Brisel files and folders";

// Where each drive is checked for an installation, in order.
constexpr const char *installation_markers[] = {":\\KOVABrisel\\kova.kvk", ":\\kova2006\\kova.kvk",
                                                ":\\kova2004\\kova.kvk", ":\\kova.kvk",
                                                ":\\kova7\\kv7tlicn.lbl"};

// "C:|C|F:|F|" for the drives that carry an installation.
std::string drive_choices() {
    std::string choices;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        char root[] = {letter, ':', '\\', '\0'};
        UINT type = GetDriveTypeA(root);
        if (type <= DRIVE_NO_ROOT_DIR || type == DRIVE_REMOVABLE || type == DRIVE_CDROM) continue;
        for (const char *marker : installation_markers) {
            if (fxi_test_file((std::string(1, letter) + marker).c_str())) {
                choices += std::string(1, letter) + ":|" + letter + "|";
                break;
            }
        }
    }
    return choices;
}

// The installation directory on the chosen root.
std::string installation_directory() {
    if (!patch_interactive()) return fxi_data_home();
    const std::string &root = patch_state.root;
    for (const char *release : {"KOVABrisel\\", "kova2006\\", "kova2004\\", ""})
        if (fxi_test_file((root + release + "kova.kvk").c_str())) return root + release;
    return root + "kova7\\";
}

// Whether this account may change the installation's access lists (an administrator's right).
DWORD access_test(const std::string &directory) {
    std::string target = fxi_dir_exists(directory.c_str()) ? directory : patch_state.root;
    // Only the rights are tested: sharing nothing would fail whenever a manager, or this very
    // process, has the folder open, as its current folder for one.
    HANDLE handle = CreateFileA(target.c_str(), WRITE_DAC | WRITE_OWNER,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(handle);
    return ERROR_SUCCESS;
}

Selection select_server() {
    std::string choices;
    if (patch_interactive()) {
        choices = drive_choices();
        if (choices.empty()) {
            fxp_msg_error("No KOVA Systems Found");
            return Selection::failed;
        }
    }
    char letter = patch_state.root.empty() ? 'C' : patch_state.root[0];
    for (;;) {
        if (patch_interactive()) {
            PatchDrivePage drive(choices, letter);
            if (fxp_tin_prompt(&drive.page, "Select Server Drive") != 1)
                return Selection::cancelled;
            letter = drive.root[0];
            patch_state.root = drive.root;
        } else {
            patch_state.root = fxi_data_home().substr(0, 2) + "\\";
        }
        // Unattended, nothing can change between attempts: a failure ends the run.
        auto retry = [](const char *text) {
            if (patch_interactive()) {
                if (text) fxp_msg_error(text);
                return true;
            }
            patch_report(
                text ? text : "Unable to install the patch - the installation cannot be examined");
            return false;
        };

        DWORD volume_flags = 0;
        char volume_name[64] = {};
        if (!GetVolumeInformationA(patch_state.root.c_str(), volume_name, sizeof volume_name,
                                   nullptr, nullptr, &volume_flags, nullptr, 0)) {
            if (retry(nullptr)) continue;
            return Selection::failed;
        }
        std::string directory = installation_directory();
        // A volume without access lists has nothing to test; the chosen installation is still
        // the one patched.
        if (volume_flags & FILE_PERSISTENT_ACLS) {
            OSVERSIONINFOA version{};
            version.dwOSVersionInfoSize = sizeof version;
            if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
                if (retry(
                        "KVPATCH must be run on a Windows NT or Windows 2000 workstation for this "
                        "installation"))
                    continue;
                return Selection::failed;
            }
            DWORD error = access_test(directory);
            if (error == ERROR_ACCESS_DENIED) {
                if (retry(access_text)) continue;
                return Selection::failed;
            }
            if (error != ERROR_SUCCESS) {
                if (retry(nullptr)) continue;
                return Selection::failed;
            }
        }
        fxi_set_data_home(directory.c_str());
        fxi_load_installation();
        if (fxd_find_nocase("kova7", directory.c_str()))
            fxi_set_program_dir((directory.substr(0, 2) + "\\kova2000\\").c_str());
        else
            fxi_set_program_dir(directory.c_str());
        return Selection::chosen;
    }
}

// Looks at every signed-on user while holding the system semaphore; false when a user's
// function must not be interrupted or the operator would not have the users' work ended.
bool users_may_be_stopped() {
    if (!fxk_user_attach()) return true; // no queue manager: nobody can be signed on
    bool corruptible = false, declined = false, asked = false;
    if (fxk_user_openfile()) {
        for (uint16_t slot = 0; slot < fxk_user_slots() && !corruptible && !declined; ++slot) {
            if (!fxk_user_slot_used(slot)) continue;
            fxk_user_readrec(slot);
            auto activity = static_cast<signed char>(fxk_user_record()[DXK_USER_AT_ACTIVITY]);
            if (activity >= 'V') {
                corruptible = true;
            } else if (patch_interactive() && activity != 'A' && !asked) {
                int answer = fxp_msg_warn_ask(
                    "SYSTEM IN USE!",
                    "The Kova Brisel system is in use. If you continue, the active users' "
                    "functions will be cleanly terminated.",
                    "Do you wish to proceed?", 'N');
                if (answer == 'Y')
                    asked = true;
                else
                    declined = true;
            }
        }
        fxk_user_closfile(0);
    }
    if (corruptible || declined) {
        fxk_user_writeqmsg();
        fxk_user_detach();
        if (corruptible)
            patch_report3("Failed to shut down KOVA Queue Manager service",
                          "The KOVA system is currently in a corruptible state!\r\n\r\nPlease "
                          "ensure that all users are logged off before installing the patch.");
        return false;
    }
    if (fxi_queue_system().connection().stop(1) == 0) patch_state.restart = true;
    fxk_user_detach();
    return true;
}

// The smallest free unpatch\N.kvz of the release directory (the folder is made when the
// undo patch is).
std::string next_undo_patch(const std::string &release_dir) {
    std::string dir = release_dir + "unpatch\\";
    for (uint32_t n = 0; n <= 0xFFFF; ++n) {
        std::string path = dir + std::to_string(n) + ".kvz";
        if (!fxi_test_file(path.c_str())) return path;
    }
    return dir + "65535.kvz";
}

} // namespace

std::string patch_next_tree(const std::string &release_dir) {
    static const char *const walk[][2] = {{"\\KOVABrisel\\", "\\kova2006\\"},
                                          {"\\kova2006\\", "\\kova2004\\"},
                                          {"\\kova2004\\", "\\kova2000\\"}};
    PatchPathParts parts = patch_split(release_dir.c_str());
    for (const auto &step : walk) {
        if (fxd_compare_nocase(parts.dir.c_str(), step[0],
                               static_cast<uint16_t>(parts.dir.size() + 1)) != 0)
            continue;
        std::string next = parts.drive + step[1];
        return fxi_dir_exists(next.c_str()) ? next : std::string();
    }
    return {};
}

namespace {

// Makes `release_dir` the tree the next extraction works on, with its installation settings.
void enter_tree(const std::string &release_dir) {
    fxi_set_program_dir(release_dir.c_str());
    PatchPathParts parts = patch_split(release_dir.c_str());
    bool old_programs = fxd_compare_nocase(parts.dir.c_str(), "\\kova2000\\", 11) == 0;
    fxi_set_data_home(old_programs ? (parts.drive + "\\kova7\\").c_str() : release_dir.c_str());
    fxi_load_installation();
}

// One tree of the run: where it is, what is installed into it, where its undo patch goes.
struct TreeStep {
    std::string release_dir;
    std::string patch;
    std::string undo;
    PatchUndoRecord undoing; // when the patch is an undo patch of an earlier run
    bool undo_run = false;
};

// The trees a run changes. An undo patch with its record undoes its whole run: each tree
// the run changed gets back its own copies from its own undo patch. Any other patch goes
// into every release tree, newest first.
std::vector<TreeStep> plan_trees(const char *patch_path) {
    std::vector<TreeStep> steps;
    PatchUndoRecord record;
    if (patch_undo_record_load(patch_path, record)) {
        for (const PatchUndoTree &tree : record.trees) {
            TreeStep step{tree.release_dir, tree.undo_patch, {}, {}, true};
            // A sibling counts only while it still belongs to the same run.
            if (!fxi_dir_exists(tree.release_dir.c_str()) ||
                !patch_undo_record_load(tree.undo_patch, step.undoing) ||
                step.undoing.run != record.run)
                continue;
            steps.push_back(std::move(step));
        }
        if (!steps.empty()) return steps;
    }
    for (std::string tree = fxi_program_dir(); !tree.empty(); tree = patch_next_tree(tree))
        steps.push_back({tree, patch_path, {}, {}, false});
    return steps;
}

// How long an unattended run waits for another installation of a patch: KVPATCH_LOCK_WAIT
// seconds, else ten minutes.
DWORD patch_lock_wait_ms() {
    char value[16] = {};
    DWORD n = GetEnvironmentVariableA("KVPATCH_LOCK_WAIT", value, sizeof value);
    if (n == 0 || n >= sizeof value) return 600 * 1000;
    return static_cast<DWORD>(std::strtoul(value, nullptr, 10)) * 1000;
}

// The installation's lock, held for the whole run, so two installs never interleave their
// trees and undo patches. A killed holder's lock goes with its process.
class InstallationLock {
public:
    ~InstallationLock() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    bool take() {
        std::string path = fxi_data_home() + "kvpatch.lck";
        DWORD waited_ms = 0;
        bool told = false;
        for (;;) {
            handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) break;
            DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION) {
                std::string text;
                fxd_fmt_assign(text,
                               "Unable to install the patch - the installation cannot be "
                               "locked (%str%)",
                               path.c_str());
                return patch_report(text.c_str());
            }
            if (!told) {
                told = true;
                patch_wait_open();
                patch_wait_line("Waiting for another installation of a patch to finish");
                if (!patch_interactive())
                    patch_log("Waiting for another installation of a patch to finish");
            }
            if (patch_interrupted()) {
                patch_wait_close();
                return patch_report("Installation interrupted - nothing was installed");
            }
            if (!patch_interactive() && waited_ms >= patch_lock_wait_ms()) {
                patch_wait_close();
                return patch_report("Unable to install the patch - another installation of a "
                                    "patch did not finish in time");
            }
            Sleep(200);
            waited_ms += 200;
        }
        if (told) patch_wait_close();
        return true;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

} // namespace

bool patch_select_server() {
    return select_server() == Selection::chosen;
}

bool patch_install(const char *patch_path) {
    if (!patch_signature_allowed(patch_path)) return false;
    if (!patch_process(patch_path, PatchMode::verify, nullptr, false)) return false;
    switch (select_server()) {
    case Selection::chosen:
        break;
    case Selection::cancelled:
        // Leaving the page installs nothing, and the run must not end as if it had.
        fxp_msg_info("Installation cancelled");
        return false;
    case Selection::failed:
        return false;
    }
    // From here an interruption is finished cleanly: the step in hand completes, the tree
    // being changed is put back, and what was stopped runs again.
    patch_catch_interruptions();
    InstallationLock lock;
    if (!lock.take()) return false;
    if (fxi_release() >= 22 && !users_may_be_stopped()) {
        // The forced stop came after the pass; nothing was stopped when it ends here.
        return false;
    }

    std::vector<TreeStep> steps = plan_trees(patch_path);
    std::vector<PatchUndoTree> trees;
    for (TreeStep &step : steps) {
        step.undo = next_undo_patch(step.release_dir);
        trees.push_back({step.release_dir, step.undo});
    }
    std::string run = patch_undo_run_id();
    std::string drive = patch_state.root.substr(0, 2);
    std::string first_undo, installed;
    bool stopped_all = true;
    for (size_t i = 0; i < steps.size(); ++i) {
        const TreeStep &step = steps[i];
        if (patch_interrupted()) {
            if (patch_state.restart) patch_restart_services();
            return patch_report("Installation interrupted - the trees not yet reached are "
                                "unchanged");
        }
        enter_tree(step.release_dir);
        if (!patch_stop_services()) {
            stopped_all = false;
            break;
        }
        if (first_undo.empty()) first_undo = step.undo;
        PatchExtractOptions options;
        options.undo_path = step.undo.c_str();
        options.first_tree = i == 0;
        options.run = run;
        options.trees = trees;
        if (step.undo_run) options.undoing = &step.undoing;
        if (!patch_extract(step.patch.c_str(), options)) {
            if (patch_state.restart) patch_restart_services();
            return false;
        }
        installed += (installed.empty() ? "" : ", ") + step.release_dir;
        if (patch_menu_rebuild) patch_rebuild_menus(drive.c_str());
        if (patch_table_rebuild) patch_rebuild_tables(drive.c_str());
        patch_state.service_message = nullptr;
        if (patch_state.restart) patch_restart_services();
    }
    // A refused shutdown has been shown; whatever it stopped before refusing runs again.
    if (!stopped_all && patch_state.restart) patch_restart_services();
    if (first_undo.empty()) return stopped_all;

    const char *message = patch_state.service_message;
    if (message) {
        fxp_msg_infof("Patch Installed Successfully\r\n\r\n%str%\r\n\r\nThe patch may be "
                      "uninstalled by running %str%",
                      message, first_undo.c_str());
        if (!patch_interactive()) patch_log("%str%", message);
    } else {
        fxp_msg_infof("Patch Installed Successfully\r\n\r\nThe patch may be uninstalled by running "
                      "%str%",
                      first_undo.c_str());
    }
    patch_note("Installed %str% into %str%; undo with %str%", patch_path, installed.c_str(),
               first_undo.c_str());
    return true;
}

std::vector<PatchTreeStep> patch_tree_steps(const char *patch_path) {
    std::vector<PatchTreeStep> trees;
    for (const TreeStep &step : plan_trees(patch_path))
        trees.push_back({step.release_dir, step.patch,
                         step.undo_run ? step.undoing.added : std::vector<std::string>{}});
    return trees;
}

void patch_enter_tree(const std::string &release_dir) {
    enter_tree(release_dir);
}
