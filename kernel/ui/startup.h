// What start-up of a suite program keeps in the user interface: the exit actions that undo its
// steps in reverse order at exit; the debug hook; the application instance it creates; the
// window-message handler registry; the operating-system predicates and the terminal-services
// test; the out-of-memory handler. The sequence itself sits above, in kernel/app/startup.h.
#pragma once

#include "kernel/ui/box.h"
#include "kernel/ui/usage.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- Start-up steps of this layer -----------------------------------------------------------

// The debug start-up hook: when "KOVADEBUG" equals "Y" or names the program (both without
// regard to case), shows a box captioned "KOVADEBUG" with the program's full path and waits
// until it is closed, so that a debugger can be attached. Answers whether the box was shown.
bool fxp_debug_hook();
// Whether a KOVADEBUG value asks for the hook in the program at `program_path`.
bool fxp_debug_hook_wanted(const char *value, const char *program_path);

// ---- Exit actions ---------------------------------------------------------------------------

using TXP_EXIT_ACTION = void (*)();

// Registers an action to run when the process ends; actions run in reverse order of
// registration, each once. `name` says what it undoes.
void fxp_exit_add(const char *name, TXP_EXIT_ACTION action);
// Runs the registered actions now, newest first (the process is ending). Also runs when the
// process ends through exit() or a return from main.
void fxp_exit_run();
// The names of the actions still to run, oldest first.
std::vector<std::string> fxp_exit_pending();

// ---- Application instance -------------------------------------------------------------------

// The terminal's character cell in pixels: the unit in which the terminal presenter's screen
// and character metrics are given.
constexpr int DXP_CELL_WIDTH = 8;
constexpr int DXP_CELL_HEIGHT = 16;

// Kernel window flags of the root window: dialog style, or character screen when a usage
// switch is on the command line; both with 0x20.
constexpr uint32_t DXP_ROOT_DIALOG = 0x306 | 0x20;
constexpr uint32_t DXP_ROOT_CHARACTER = 0x506 | 0x20;

struct TXP_APP {
    DWORD ui_thread = 0;
    HINSTANCE instance = nullptr;
    std::string title;   // at most 40 characters
    std::string version; // the first banner line of the program's usage, when it has one
    // The executable's name with ".ini" as its extension, and the section of window settings.
    std::string settings_file;
    const char *settings_section = "settings";
    int screen_width = 0, screen_height = 0; // pixels
    int char_height = 0, char_width = 0;     // pixels
    int dpi = 96;
    bool small_screen = false;
    bool compact = false;
    bool high_resolution = false;
    std::string function_name = "Unnamed Function";
    // The root kernel window: the bottom of the window stack.
    TXP_WINDOW root;
    uint16_t root_columns = 80, root_rows = 25;
    uint32_t root_flags = DXP_ROOT_DIALOG;
};

TXP_APP &fxp_app();

// The screen predicates of the application instance: exactly 480 pixels wide and 480 to 640
// high is small; below 1024 by 768 pixels (both scaled by dpi / 96) is compact, as is a small
// screen; above 96 dots per inch is high resolution.
bool fxp_small_screen(int width, int height);
bool fxp_compact_screen(int width, int height, int dpi);
// Measures the terminal on standard error (80 by 25 cells without one) into the instance.
void fxp_app_measure(TXP_APP *app);

// Switches the root window to 132 or 80 columns.
void fxp_root_columns(uint16_t columns);

// ---- Window-message handlers ----------------------------------------------------------------

using TXP_HANDLER = uint16_t (*)(HWND window, UINT message, WPARAM first, LPARAM second);

constexpr uint16_t DXP_HANDLER_SLOTS = 30;
constexpr uint16_t DXP_HANDLER_ERROR = 55000;

// Adds a handler in the lowest free slot: 0, or 55000 after the box "Error Adding Windows
// Handler" when all 30 are taken. A handler already registered is not added again (0).
uint16_t fxp_handler_add(TXP_HANDLER handler);
// 0, or 55000 when the handler was not registered.
uint16_t fxp_handler_remove(TXP_HANDLER handler);
// The kernel window procedure's first stage: clears the result cell, then asks the handlers
// from slot 29 down to slot 0; the first that answers non-zero ends the dispatch. Answers
// whether one did; `result` then receives the result cell.
bool fxp_handler_dispatch(HWND window, UINT message, WPARAM first, LPARAM second, LRESULT *result);
// The shared result cell a handler sets for the message it handles.
extern LRESULT fxp_handler_result;

// The last left-button press in a kernel window, recorded by start-up's click handler.
struct TXP_CLICK {
    HWND window = nullptr;
    int x = 0, y = 0;
    DWORD tick = 0;
};
const TXP_CLICK &fxp_last_click();
// The handler that records it; answers 0, so that the window's own handling goes on.
uint16_t fxp_click_handler(HWND window, UINT message, WPARAM first, LPARAM second);

// ---- Operating system -----------------------------------------------------------------------

// Each from the platform's version information (the POSIX platform reports the NT family,
// version 10.0, workstation); the forms with a record test that record.
bool fxp_os_nt();
bool fxp_os_2000();
bool fxp_os_xp();
bool fxp_os_vista();
bool fxp_os_7();
bool fxp_os_8();
bool fxp_os_after_10();
bool fxp_os_server_2008();
bool fxp_os_server_2008r2();
bool fxp_os_server_2016();
bool fxp_os_nt(const OSVERSIONINFOEXA &v);
bool fxp_os_2000(const OSVERSIONINFOEXA &v);
bool fxp_os_xp(const OSVERSIONINFOEXA &v);
bool fxp_os_vista(const OSVERSIONINFOEXA &v);
bool fxp_os_7(const OSVERSIONINFOEXA &v);
bool fxp_os_8(const OSVERSIONINFOEXA &v);
bool fxp_os_after_10(const OSVERSIONINFOEXA &v);
bool fxp_os_server_2008(const OSVERSIONINFOEXA &v);
bool fxp_os_server_2008r2(const OSVERSIONINFOEXA &v);
bool fxp_os_server_2016(const OSVERSIONINFOEXA &v);

// True when the platform's extended version test confirms the terminal-services suite; false
// before Windows 2000 or when the test's functions are missing (always on POSIX).
bool fxp_terminal_services();

// ---- Out of memory --------------------------------------------------------------------------

// Installed by start-up for every allocation: the box "Out of memory" (caption "Error", stop
// icon; on standard error when nobody sees boxes), then the process ends with status 1.
[[noreturn]] void fxp_out_of_memory();
