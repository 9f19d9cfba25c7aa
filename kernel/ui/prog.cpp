// The progress window and the status bar: percentages of counts, the bar's range, the
// time-remaining estimate with pause and resume, and the cancel test after every update.
#include "kernel/ui/prog.h"

#include "kernel/text/format.h"

#include <cstdarg>
#include <string>

namespace {

TXP_TICKS tick_source = nullptr;
uint16_t operator_present = 1;

// Counts above these are divided by 100 first, so that done x 100 fits in the type.
constexpr uint32_t ratio_limit32 = 42949672;
constexpr uint64_t ratio_limit64 = 184467440737095516ULL;

// Room of the formatted status line and status-bar text, terminator included.
constexpr size_t line_room = 1024;
constexpr size_t status_room = 256;

std::string status_text;
bool status_created = false;

void cut_to_room(std::string &text, size_t room) {
    if (text.size() > room - 1) text.resize(room - 1);
}

// The estimate is refreshed on every shown non-zero percentage while timing runs. Under a
// minute the display says so once and is then left alone until the estimate grows again.
void update_estimate(TXP_PROG_T *prog, uint16_t percent) {
    DWORD elapsed = (fxp_ticks() - prog->start_tick + 500) / 1000;
    uint32_t remaining = fxp_prog_remaining(elapsed, percent);
    if (remaining < 60) {
        if (prog->short_estimate) return;
        prog->short_estimate = 1;
        prog->estimate_value = DXP_PROG_SHORT;
        return;
    }
    prog->short_estimate = 0;
    prog->estimate_value = fxp_prog_estimate_text(remaining);
}

void show_percent(TXP_PROG_T *prog, uint16_t percent) {
    prog->percent_value = std::to_string(percent) + "%";
    if (percent != 0) {
        // The position stays at 100 and the range shrinks, so the bar fills to the percentage.
        prog->bar.position = 100;
        prog->bar.high = fxp_prog_bar_range(percent);
        if (!prog->paused_at) update_estimate(prog, percent);
    }
    prog->last_percent = percent;
    prog->drawn.stale = true;
}

uint16_t cancel_test(TXP_PROG_T *prog) {
    if (!prog->cancel_question) return 0;
    if (prog->flags & DXP_PROG_CANCELLED) return 1;
    if (!fxp_prog_view.cancel_request()) return 0;
    if (fxp_msg_warn_ask(nullptr, nullptr, prog->cancel_question, DXP_ANSWER_NO) != DXP_ANSWER_YES)
        return 0;
    prog->flags |= DXP_PROG_CANCELLED;
    return 1;
}

void prog_reactivated(TXP_WINDOW *window) {
    auto *prog = static_cast<TXP_PROG_T *>(static_cast<TXP_PROG_WINDOW *>(window)->owner);
    // A box was drawn over the line: draw it afresh at the next update.
    prog->drawn.shown = false;
    prog->drawn.stale = true;
}

} // namespace

// ---- Clock and operator ---------------------------------------------------------------------

void fxp_ticks_source(TXP_TICKS ticks) {
    tick_source = ticks;
}

DWORD fxp_ticks() {
    return tick_source ? tick_source() : GetTickCount();
}

uint16_t fxp_operator_present() {
    return operator_present;
}

void fxp_operator_present_set(uint16_t present) {
    operator_present = present;
}

// ---- Arithmetic -----------------------------------------------------------------------------

uint16_t fxp_prog_percent_of(uint32_t done, uint32_t total) {
    if (done > ratio_limit32) {
        done /= 100;
        total /= 100;
    }
    if (total == 0) return 100;
    uint32_t percent = done * 100 / total;
    return percent > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(percent);
}

uint16_t fxp_prog_ratio64(uint64_t done, uint64_t total) {
    if (done > ratio_limit64) {
        done /= 100;
        total /= 100;
    }
    if (total == 0) return 100;
    uint64_t percent = done * 100 / total;
    return percent > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(percent);
}

uint32_t fxp_prog_bar_range(uint16_t percent) {
    if (percent == 0) return 100;
    return static_cast<uint32_t>(100.0 / percent * 100.0);
}

uint32_t fxp_prog_remaining(uint32_t elapsed, uint16_t percent) {
    // Past 100 % nothing remains; the plain formula would wrap to an absurd estimate.
    if (percent == 0 || percent >= 100) return 0;
    uint64_t remaining = static_cast<uint64_t>(elapsed) * 100 / percent * (100 - percent) / 100;
    return remaining > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(remaining);
}

std::string fxp_prog_estimate_text(uint32_t remaining) {
    DWORD hours = remaining / 3600, minutes = remaining % 3600 / 60, seconds = remaining % 60;
    std::string text;
    fxd_fmt_assign(text, "%dword%,5 hour%str% %dword%,5 min %dword%,5 sec", hours,
                   hours == 1 ? "" : "s", minutes, seconds);
    // Without hours, "0 hours " goes.
    if (hours == 0) text.erase(0, 8);
    return text;
}

// ---- Progress window ------------------------------------------------------------------------

TXP_PROG_T::~TXP_PROG_T() {
    fxp_prog_close(this);
}

void fxp_prog_init(TXP_PROG_T *prog) {
    if (!prog) return;
    fxp_prog_close(prog);
    *prog = TXP_PROG_T{};
}

void fxp_prog_open(TXP_PROG_T *prog, const char *cancel_question, const char *title, uint16_t width,
                   uint16_t flags) {
    if (!prog) return;
    if (prog->open) fxp_prog_close(prog);
    *prog = TXP_PROG_T{};
    prog->flags = flags & ~DXP_PROG_CANCELLED;
    prog->cancel_question = fxp_operator_present() ? cancel_question : nullptr;
    prog->cancel_button = prog->cancel_question ? 1 : 0;
    prog->title = title ? title : "";
    prog->width = width;
    prog->estimate_value = DXP_PROG_UNKNOWN;
    prog->window.owner = prog;
    prog->window.reactivated = prog_reactivated;
    fxp_window_push(&prog->window);
    prog->open = 1;
    fxp_prog_view.prog_open(prog);
    prog->last_percent = DXP_PROG_NONE;
    show_percent(prog, 0);
    fxp_prog_view.prog_show(prog);
    prog->start_tick = fxp_ticks();
}

uint16_t fxp_prog_percent(TXP_PROG_T *prog, uint16_t percent) {
    if (!prog || !prog->open) return 0;
    if (percent != prog->last_percent) show_percent(prog, percent);
    fxp_prog_view.prog_show(prog);
    return cancel_test(prog);
}

uint16_t fxp_prog_ratio(TXP_PROG_T *prog, uint32_t done, uint32_t total) {
    if (!prog || !prog->open) return 0;
    return fxp_prog_percent(prog, fxp_prog_percent_of(done, total));
}

uint16_t fxp_prog_line(TXP_PROG_T *prog, const char *text) {
    if (!prog || !prog->open) return 0;
    if (prog->flags & DXP_PROG_STATUS) {
        prog->status_line = text ? text : "";
        prog->drawn.stale = true;
    }
    fxp_prog_view.prog_show(prog);
    return cancel_test(prog);
}

uint16_t fxp_prog_linef(TXP_PROG_T *prog, const char *format, ...) {
    if (!prog || !prog->open) return 0;
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    cut_to_room(text, line_room);
    return fxp_prog_line(prog, text.c_str());
}

void fxp_prog_pause(TXP_PROG_T *prog) {
    if (!prog || !prog->open || prog->paused_at) return;
    // 0 means "not paused", so a pause at tick 0 is recorded a millisecond late.
    DWORD now = fxp_ticks();
    prog->paused_at = now ? now : 1;
}

void fxp_prog_resume(TXP_PROG_T *prog) {
    if (!prog || !prog->open || !prog->paused_at) return;
    prog->start_tick += fxp_ticks() - prog->paused_at;
    prog->paused_at = 0;
}

void fxp_prog_close(TXP_PROG_T *prog) {
    if (!prog || !prog->open) return;
    fxp_prog_view.prog_close(prog);
    prog->open = 0;
    fxp_window_pop(&prog->window);
    fxp_window_reactivate();
}

// ---- Layout ---------------------------------------------------------------------------------

TXP_PROG_LAYOUT fxp_prog_layout(const TXP_PROG_T &prog, TXP_TEXT_WIDTH text_width) {
    // The widest texts each figure can show.
    int we = text_width(DXP_PROG_ESTIMATE), wv = text_width("9999 hours 99 min 99 sec");
    int wc = text_width(DXP_PROG_COMPLETED), wp = text_width("999%");
    int minimum = we + wv + wc + wp + 40;
    TXP_PROG_LAYOUT l;
    l.cx = prog.width == DXP_PROG_AUTO_WIDTH || prog.width < minimum ? minimum : prog.width;
    int framed = (prog.flags & DXP_PROG_STATUS) ? 74 : 60;
    l.cy = framed + (prog.cancel_question ? 21 : 0);
    l.group = {7, 7, l.cx - 14, framed - 14};
    l.estimate_label = {14, 18, we, 8};
    l.estimate_value = {we + 18, 18, wv, 8};
    l.completed_label = {we + wv + 22, 18, wc, 8};
    l.percent_value = {we + wv + wc + 26, 18, wp, 8};
    l.bar = {14, 32, l.cx - 28, 14};
    if (prog.flags & DXP_PROG_STATUS) l.status = {14, 50, l.cx - 28, 8};
    if (prog.cancel_question) l.cancel = {(l.cx - 40) / 2, framed, 40, 14};
    return l;
}

TXP_PWIN_LAYOUT fxp_pwin_layout(const TXP_PWIN_T &pwin, TXP_TEXT_WIDTH text_width) {
    int content;
    if (pwin.width != DXP_PWIN_DEFAULT)
        content = pwin.width * 4;
    else if (pwin.prefix)
        content = text_width(pwin.prefix) + 4 * pwin.line_length + 16;
    else
        content = 160;
    int aw = pwin.animation_width, ah = pwin.animation_height, extra = pwin.extra_lines;
    TXP_PWIN_LAYOUT l;
    l.cx = content + aw + 21;
    l.cy = ah + 8 * extra + (pwin.cancel_question ? 32 : 14);
    l.animation = {7, 7, aw, ah};
    l.line = {aw + 14, ah / 2 + 2, (l.cx - aw - 21) / 4 * 4, 8 * (extra + 1)};
    if (pwin.cancel_question) l.cancel = {(l.cx - 40) / 2, 39 + 8 * extra, 40, 14};
    return l;
}

// ---- Status bar -----------------------------------------------------------------------------

void fxp_status_create() {
    status_created = true;
    fxp_prog_view.status_show(status_text);
}

void fxp_status_text(const char *text) {
    status_text = text ? text : "";
    if (status_created) fxp_prog_view.status_show(status_text);
}

void fxp_status_textf(const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    cut_to_room(text, status_room);
    fxp_status_text(text.c_str());
}

const std::string &fxp_status_current() {
    return status_text;
}
