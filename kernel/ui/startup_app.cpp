// The application instance: screen and character metrics from the terminal, the root window's
// width, the registry of window-message handlers and the click record.
#include "kernel/ui/startup.h"
#include "platform/host.h"

#include <algorithm>

TXP_APP &fxp_app() {
    // Never destroyed: exit actions and the error report consult it while the process ends.
    static auto *app = new TXP_APP;
    return *app;
}

// ---- Metrics ----

bool fxp_small_screen(int width, int height) {
    return width == 480 && height >= 480 && height <= 640;
}

bool fxp_compact_screen(int width, int height, int dpi) {
    if (fxp_small_screen(width, height)) return true;
    return width < 1024 * dpi / 96 || height < 768 * dpi / 96;
}

void fxp_app_measure(TXP_APP *app) {
    int columns = kova_console_columns(KOVA_STDERR), rows = kova_console_rows(KOVA_STDERR);
    if (columns <= 0 || rows <= 0) {
        columns = 80;
        rows = 25;
    }
    app->dpi = 96;
    app->screen_width = columns * DXP_CELL_WIDTH;
    app->screen_height = rows * DXP_CELL_HEIGHT;
    app->small_screen = fxp_small_screen(app->screen_width, app->screen_height);
    app->char_height = DXP_CELL_HEIGHT;
    // Every character fills one cell: the average of the 26 capitals is the cell itself.
    app->char_width = app->small_screen ? 26 * DXP_CELL_WIDTH / 26 + 1 : DXP_CELL_WIDTH;
    app->compact = fxp_compact_screen(app->screen_width, app->screen_height, app->dpi);
    app->high_resolution = app->dpi > 96;
}

void fxp_root_columns(uint16_t columns) {
    fxp_app().root_columns = columns == 132 ? 132 : 80;
}

// ---- Handlers ----

LRESULT fxp_handler_result = 0;

namespace {

TXP_HANDLER handlers[DXP_HANDLER_SLOTS] = {};
TXP_CLICK last_click;

} // namespace

uint16_t fxp_handler_add(TXP_HANDLER handler) {
    if (std::find(std::begin(handlers), std::end(handlers), handler) != std::end(handlers))
        return 0;
    TXP_HANDLER *free_slot = std::find(std::begin(handlers), std::end(handlers), nullptr);
    if (free_slot == std::end(handlers)) {
        fxp_msg_error("Error Adding Windows Handler");
        return DXP_HANDLER_ERROR;
    }
    *free_slot = handler;
    return 0;
}

uint16_t fxp_handler_remove(TXP_HANDLER handler) {
    TXP_HANDLER *slot = std::find(std::begin(handlers), std::end(handlers), handler);
    if (!handler || slot == std::end(handlers)) return DXP_HANDLER_ERROR;
    *slot = nullptr;
    return 0;
}

bool fxp_handler_dispatch(HWND window, UINT message, WPARAM first, LPARAM second, LRESULT *result) {
    fxp_handler_result = 0;
    for (int slot = DXP_HANDLER_SLOTS - 1; slot >= 0; --slot) {
        if (handlers[slot] && handlers[slot](window, message, first, second)) {
            if (result) *result = fxp_handler_result;
            return true;
        }
    }
    return false;
}

uint16_t fxp_click_handler(HWND window, UINT message, WPARAM, LPARAM second) {
    if (message == WM_LBUTTONDOWN) {
        // The position is two signed 16-bit words: x low, y high.
        last_click.window = window;
        last_click.x = static_cast<int16_t>(second & 0xFFFF);
        last_click.y = static_cast<int16_t>((second >> 16) & 0xFFFF);
        last_click.tick = GetTickCount();
    }
    return 0;
}

const TXP_CLICK &fxp_last_click() {
    return last_click;
}
