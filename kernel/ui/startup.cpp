// The exit actions of a suite program, the debug start-up hook and the out-of-memory handler:
// the parts of start-up that the user interface and the error report use themselves.
#include "kernel/ui/startup.h"

#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/presenter.h"

#include <cstdlib>
#include <mutex>
#include <new>

namespace {

// ---- Exit actions ----

struct ExitAction {
    std::string name;
    TXP_EXIT_ACTION action;
};

std::mutex exit_lock;
// Never destroyed: the list is consulted while the process ends.
std::vector<ExitAction> &exit_actions() {
    static auto *actions = new std::vector<ExitAction>;
    return *actions;
}

std::string upper(std::string text) {
    for (char &c : text) c = fxd_upper_char(c);
    return text;
}

} // namespace

// ---- Exit actions ----

void fxp_exit_add(const char *name, TXP_EXIT_ACTION action) {
    std::lock_guard<std::mutex> guard(exit_lock);
    exit_actions().push_back({name ? name : "", action});
}

void fxp_exit_run() {
    for (;;) {
        TXP_EXIT_ACTION action;
        {
            std::lock_guard<std::mutex> guard(exit_lock);
            if (exit_actions().empty()) return;
            action = exit_actions().back().action;
            exit_actions().pop_back();
        }
        if (action) action();
    }
}

std::vector<std::string> fxp_exit_pending() {
    std::lock_guard<std::mutex> guard(exit_lock);
    std::vector<std::string> names;
    for (const ExitAction &a : exit_actions()) names.push_back(a.name);
    return names;
}

// ---- The debug hook ----

bool fxp_debug_hook_wanted(const char *value, const char *program_path) {
    if (!value || !*value) return false;
    std::string wanted = upper(value);
    if (wanted == "Y") return true;
    char name[DXI_PATH_PART_MAX + 1] = {};
    // A path the split refuses leaves the name empty, which asks for no hook.
    (void)fxi_path_split(program_path, nullptr, nullptr, name, nullptr, nullptr, nullptr);
    return name[0] && wanted.find(upper(name)) != std::string::npos;
}

bool fxp_debug_hook() {
    char value[1025] = {};
    DWORD n = GetEnvironmentVariableA("KOVADEBUG", value, sizeof value);
    if (n == 0 || n >= sizeof value) return false;
    char program[DXI_PATH_BUFFER] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    if (!fxp_debug_hook_wanted(value, program)) return false;
    fxp_msg_box(nullptr, program, "KOVADEBUG", MB_OK);
    return true;
}

// ---- Out of memory ----

void fxp_out_of_memory() {
    // Whatever the box itself needs must not come back here.
    std::set_new_handler(nullptr);
    static const char text[] = "Out of memory";
    if (!fxp_presenter.desktop_visible()) fxp_channel.write_error("Out of memory\n");
    fxp_msg_box(nullptr, text, "Error", MB_OK | MB_ICONSTOP);
    std::_Exit(1);
}
