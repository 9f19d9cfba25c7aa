// The wait window: a box with an animation and one line of text around steps whose length
// cannot be foreseen, its optional Cancel, and the CXP_PWIN object that wraps it.
#include "kernel/ui/prog.h"

#include "kernel/text/format.h"
#include "kernel/ui/presenter.h"

#include <cstdarg>
#include <iterator>
#include <string>

namespace {

// Room of a formatted line, terminator included.
constexpr size_t line_room = 1024;
// One pass of a wait, in milliseconds.
constexpr DWORD wait_pass = 100;

void pwin_reactivated(TXP_WINDOW *window) {
    auto *pwin = static_cast<TXP_PWIN_T *>(static_cast<TXP_PROG_WINDOW *>(window)->owner);
    pwin->drawn.shown = false;
    pwin->drawn.stale = true;
}

// The cancel request of an open box with a cancel question: the operator pressed Cancel
// (Escape) and confirmed it.
uint16_t cancel_confirmed(TXP_PWIN_T *pwin) {
    if (!pwin->cancel_question || !fxp_prog_view.cancel_request()) return 0;
    return fxp_msg_warn_ask(nullptr, nullptr, pwin->cancel_question, DXP_ANSWER_NO) ==
                   DXP_ANSWER_YES
               ? 1
               : 0;
}

// Keeps the box alive once: gives up the time slice when time has passed since the last
// service, lets the presenter draw, and tests for Cancel.
uint16_t service(TXP_PWIN_T *pwin) {
    DWORD now = fxp_ticks();
    if (now - pwin->serviced_at > 10) Sleep(0);
    pwin->serviced_at = now;
    fxp_prog_view.pwin_show(pwin);
    return cancel_confirmed(pwin);
}

// Opens the box with `extra_lines` rows for the line beyond the first; the geometry is kept
// for a presenter that lays out a native box (the terminal fits its line to its own width).
void open_box(const char *cancel_question, uint16_t column, uint16_t row, uint16_t width,
              const char *title, uint32_t /*window_flags*/, void * /*window_data*/,
              const char *animation, uint16_t animation_width, uint16_t animation_height,
              const char *prefix, uint16_t line_length, uint16_t extra_lines, TXP_PWIN_T *pwin) {
    if (!pwin) return;
    if (pwin->open) fxp_pwin_close(pwin);
    *pwin = TXP_PWIN_T{};
    pwin->cancel_question = fxp_operator_present() ? cancel_question : nullptr;
    pwin->cancel_button = pwin->cancel_question ? 1 : 0;
    pwin->title = title ? title : DXP_PWIN_TITLE;
    if (animation) {
        pwin->animation = animation;
        pwin->animation_width = animation_width;
        pwin->animation_height = animation_height;
    } else {
        pwin->animation = DXP_PWIN_ANIMATION;
    }
    pwin->prefix = prefix;
    pwin->column = column;
    pwin->row = row;
    pwin->width = width;
    pwin->line_length = line_length;
    pwin->extra_lines = extra_lines;
    pwin->window.owner = pwin;
    pwin->window.reactivated = pwin_reactivated;
    fxp_window_push(&pwin->window);
    pwin->open = 1;
    pwin->serviced_at = fxp_ticks();
    fxp_prog_view.pwin_open(pwin);
    // The box starts with an empty line.
    pwin->drawn.stale = true;
    fxp_prog_view.pwin_show(pwin);
}

} // namespace

const TXP_PWIN_ANIMATION fxp_pwin_animations[5] = {
    {"LXPPWIN.AVI", 40, 28},  {"LXPPWIN.AVI", 40, 28},  {"LXPPWIN2.AVI", 40, 28},
    {"LXPPWIN3.AVI", 40, 28}, {"LXPPWIN4.AVI", 40, 28},
};

TXP_PWIN_T::~TXP_PWIN_T() {
    fxp_pwin_close(this);
}

void fxp_pwin_open(const char *cancel_question, uint16_t column, uint16_t row, uint16_t width,
                   const char *title, uint32_t window_flags, void *window_data,
                   const char *animation, uint16_t animation_width, uint16_t animation_height,
                   const char *prefix, uint16_t line_length, TXP_PWIN_T *pwin) {
    open_box(cancel_question, column, row, width, title, window_flags, window_data, animation,
             animation_width, animation_height, prefix, line_length, 0, pwin);
}

uint16_t fxp_pwin_line(TXP_PWIN_T *pwin, const char *text) {
    if (!pwin || !pwin->open) return 0;
    std::string line;
    if (pwin->prefix) {
        line = pwin->prefix;
        line += ' ';
    }
    if (text) line += text;
    line += " ...";
    pwin->line = std::move(line);
    pwin->drawn.stale = true;
    return service(pwin);
}

uint16_t fxp_pwin_wait(TXP_PWIN_T *pwin, uint16_t seconds, TXP_PWIN_STOP stop) {
    if (!pwin || !pwin->open) return 0;
    if (seconds == 0) return service(pwin);
    // The wait also ends when the stop callback says so, with or without a cancel question.
    for (uint32_t pass = 0; pass < seconds * (1000 / wait_pass); ++pass) {
        if (stop && stop()) return 0;
        if (service(pwin)) return 1;
        Sleep(wait_pass);
    }
    return 0;
}

void fxp_pwin_close(TXP_PWIN_T *pwin) {
    if (!pwin || !pwin->open) return;
    fxp_prog_view.pwin_close(pwin);
    pwin->open = 0;
    fxp_window_pop(&pwin->window);
    fxp_window_reactivate();
}

// ---- CXP_PWIN -------------------------------------------------------------------------------

uint16_t CXP_PWIN::open(uint16_t animation, const char *cancel_question, const char *prefix,
                        uint16_t line_length, uint16_t extra_lines, const char *title) {
    close();
    if (!fxp_presenter.desktop_visible()) return 0;
    const TXP_PWIN_ANIMATION &clip =
        fxp_pwin_animations[animation < std::size(fxp_pwin_animations) ? animation : 0];
    open_box(cancel_question, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, title, 0x106,
             nullptr, clip.file, clip.width, clip.height, prefix, line_length, extra_lines, &pwin_);
    open_ = 1;
    return 1;
}

uint16_t CXP_PWIN::open(const char *cancel_question, const char *prefix, uint16_t line_length,
                        uint16_t extra_lines, const char *title) {
    return open(0, cancel_question, prefix, line_length, extra_lines, title);
}

uint16_t CXP_PWIN::line(const char *text) {
    return open_ ? fxp_pwin_line(&pwin_, text) : 0;
}

uint16_t CXP_PWIN::linef(const char *format, ...) {
    if (!open_) return 0;
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    if (text.size() > line_room - 1) text.resize(line_room - 1);
    return fxp_pwin_line(&pwin_, text.c_str());
}

uint16_t CXP_PWIN::wait(uint16_t seconds, TXP_PWIN_STOP stop) {
    return open_ ? fxp_pwin_wait(&pwin_, seconds, stop) : 0;
}

void CXP_PWIN::close() {
    if (!open_) return;
    fxp_pwin_close(&pwin_);
    open_ = 0;
}

CXP_PWIN::~CXP_PWIN() {
    close();
}
