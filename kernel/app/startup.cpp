// The start-up sequence of a suite program, and the reports it registers for the layers below
// the user interface and the error report.
#include "kernel/app/startup.h"

#include "kernel/coord/conn.h"
#include "kernel/coord/queue.h"
#include "kernel/errors/report.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"
#include "platform/host.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

bool fxp_startup_queue_manager = false;

namespace {

void run_exit_actions_at_exit() {
    fxp_exit_run();
}

std::atomic<bool> started{false};

// ---- The steps ----

// COM, fonts, window classes and the tool bar are facilities of Windows' own user interface;
// the terminal presenter has none of them, so these steps keep their place and their exit
// actions and find nothing to do.
void nothing_to_undo() {}

HMODULE theme_library = nullptr;

// The program's drive holds one of the suite's release directories or the marker file: its
// installation keeps the platform's own control style.
bool keeps_platform_style() {
    char program[DXI_PATH_BUFFER] = {}, drive[DXI_PATH_PART_MAX + 1] = {};
    // Without the program's drive there is no installation to look at.
    if (fxi_path_split(fxi_module_path(program), drive, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != 0)
        return false;
    for (const char *marker : {"\\KOVA2004", "\\KOVA2006", "\\KOVABrisel"})
        if (fxi_dir_exists((std::string(drive) + marker).c_str())) return true;
    return fxi_test_file((std::string(drive) + "\\kova.kvk").c_str());
}

void visual_style() {
    if (!fxp_os_xp()) return;
    // The theme library is loaded at run time, so programs run where it is missing (on
    // POSIX it always is).
    theme_library = LoadLibraryA("uxtheme.dll");
    if (!theme_library || keeps_platform_style()) return;
    using GetProperties = DWORD(WINAPI *)();
    using SetProperties = void(WINAPI *)(DWORD);
    auto get = reinterpret_cast<GetProperties>(
        reinterpret_cast<void (*)()>(GetProcAddress(theme_library, "GetThemeAppProperties")));
    auto set = reinterpret_cast<SetProperties>(
        reinterpret_cast<void (*)()>(GetProcAddress(theme_library, "SetThemeAppProperties")));
    constexpr DWORD allow_controls = 0x2;
    if (get && set) set(get() & ~allow_controls);
}

void unload_theme_library() {
    if (theme_library) FreeLibrary(theme_library);
    theme_library = nullptr;
}

void disconnect_queue_manager() {
    CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
    if (queues.connection().connected()) queues.disconnect();
    queues.set_present(false);
}

bool usage_switch_given() {
    char **argv = fxp_argv();
    for (int i = 1; i < fxp_argc(); ++i) {
        const char *arg = argv[i];
        if ((arg[0] == '/' || arg[0] == '-') && std::strchr("Hh?*", arg[1]) && arg[1] &&
            arg[2] == '\0')
            return true;
    }
    return false;
}

void root_window() {
    TXP_APP &app = fxp_app();
    app.root_columns = 80;
    app.root_rows = 25;
    app.root_flags = usage_switch_given() ? DXP_ROOT_CHARACTER : DXP_ROOT_DIALOG;
    fxp_window_push(&app.root);
    app.function_name = app.title;
}

void close_root_window() {
    fxp_window_pop(&fxp_app().root);
}

void destroy_status_bar() {
    fxp_status_text("");
}

// ---- What the connection layer reports ----

// The debug trace's wait window, opened with the trace's first line for it. Made before any
// trace exists, so it is still there when the trace closes it as the process ends.
std::unique_ptr<CXP_PWIN> trace_window;

void trace_window_line(const char *text) {
    if (!trace_window) {
        trace_window = std::make_unique<CXP_PWIN>();
        trace_window->open(nullptr, nullptr, 80, 0, DXP_PWIN_TITLE);
    }
    trace_window->line(text);
}

void trace_window_close() {
    if (trace_window) trace_window->close();
    trace_window.reset();
}

[[noreturn]] void connection_unexpected_error(const char *message) {
    fxk_unexpected_error(message, 0, 0);
}

} // namespace

void fxp_startup_reports() {
    TXI_CONN_REPORTS reports;
    reports.status_text = fxp_status_text;
    reports.trace_window_line = trace_window_line;
    reports.trace_window_close = trace_window_close;
    reports.unexpected_error = connection_unexpected_error;
    fxi_conn_set_reports(reports);
}

// ---- Start-up ----

void fxp_startup(HINSTANCE instance, const TXP_USAGE_PROGRAM *program) {
    if (started.exchange(true)) return;
    // The layers below report through the user interface and the error report from the first
    // step on.
    fxp_startup_reports();
    // Actions registered before the sequence ends still run if a step ends the process.
    std::atexit(run_exit_actions_at_exit);
    TXP_APP &app = fxp_app();
    app.instance = instance;
    if (program) {
        app.title = program->title ? std::string(program->title).substr(0, 40) : std::string();
        if (program->banner && program->banner[0]) app.version = program->banner[0];
        fxp_usage_program(program);
    }
    fxi_fatal_handler = fxp_fatal;

    // 1-3: arguments, the debug hook, the postmortem filter and the debug switches.
    fxp_argv();
    fxp_debug_hook();
    if (fxp_os_nt()) kova_host_crash_filter(fxk_postmortem_filter);
    fxk_debug_trace_reset(); // the trace reads section debug afresh with its next line

    // 4-5: COM and the visual style.
    fxp_exit_add("uninitialise COM", nothing_to_undo);
    visual_style();
    fxp_exit_add("unload the visual-style library", unload_theme_library);

    // 6: the application instance.
    app.ui_thread = GetCurrentThreadId();
    std::set_new_handler(fxp_out_of_memory);
    {
        char path[DXI_PATH_BUFFER] = {}, name[DXI_PATH_PART_MAX + 1] = {};
        // A path the split refuses leaves the name empty: the settings are then ".ini".
        (void)fxi_path_split(fxi_module_path(path), nullptr, nullptr, name, nullptr, nullptr,
                             nullptr);
        app.settings_file = std::string(name) + ".ini";
    }
    fxp_app_measure(&app);
    fxp_exit_add("destroy the main window and its class", nothing_to_undo);

    // 7-9: the connection layer, quiet drive errors, the queue manager.
    fxi_conn_init();
    fxp_exit_add("shut the connection layer down", fxi_conn_term);
    SetErrorMode(SEM_FAILCRITICALERRORS);
    if (fxp_startup_queue_manager) {
        fxi_queue_system().connect();
        fxp_exit_add("disconnect from the queue manager", disconnect_queue_manager);
    }

    // 10-12: fonts, the root window, the window classes (the platform's presenter).
    fxp_exit_add("remove the fonts", nothing_to_undo);
    fxp_presenter_platform();
    root_window();
    fxp_exit_add("close the root window", close_root_window);

    // 13-14: usage.
    fxp_usage_add("[/m]", "/m forces monochrome operation");
    fxp_usage_switches();

    // 15-18: the splitter, the click handler, the status bar, the tool bar.
    fxp_handler_add(fxp_click_handler);
    if (!app.small_screen && app.screen_height > 320) {
        fxp_status_create();
        fxp_exit_add("destroy the status bar", destroy_status_bar);
    }
    fxp_exit_add("destroy the tool bar", nothing_to_undo);

    // Registered again now, so that it runs before the destructors of what the steps made.
    std::atexit(run_exit_actions_at_exit);
}

bool fxp_started() {
    return started.load();
}
