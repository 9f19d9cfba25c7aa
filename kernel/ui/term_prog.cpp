// Progress, wait and status windows on a terminal: each box is one line on standard error,
// redrawn in place; Escape asks to cancel a box that offers Cancel.
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"
#include "platform/host.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

constexpr DWORD redraw_interval = 100; // milliseconds: at most ten draws a second
constexpr size_t bar_cells = 20;
constexpr std::string_view spinner = "|/-\\";
constexpr std::string_view erase_rest = "\x1b[K";

// The text cut to `width` characters in the middle, marking the cut with "...".
std::string fit(std::string_view text, size_t width) {
    if (text.size() <= width) return std::string(text);
    if (width <= 3) return std::string(text.substr(0, width));
    size_t head = (width - 3 + 1) / 2, tail = width - 3 - head;
    return std::string(text.substr(0, head)) + "..." + std::string(text.substr(text.size() - tail));
}

// A title or status line names a file after its verb ("Extracting S:\KOVABrisel\abc\x.dat"):
// the verb and the file name are what the operator reads, so only the folders between give
// way. These are the parts, or none when the text has no folder after a verb.
struct NamedFile {
    std::string_view verb, folder, name; // verb with its blank, folder with its last separator
};

bool split_named_file(std::string_view text, NamedFile &parts) {
    size_t blank = text.find(' ');
    size_t separator = text.find_last_of("\\/");
    if (blank == std::string_view::npos || separator == std::string_view::npos || separator < blank)
        return false;
    parts = {text.substr(0, blank + 1), text.substr(blank + 1, separator - blank),
             text.substr(separator + 1)};
    return true;
}

// The fewest characters that show the text without cutting its verb or file name.
size_t shortest(std::string_view text) {
    NamedFile parts;
    if (!split_named_file(text, parts)) return text.size();
    return std::min(text.size(), parts.verb.size() + 3 + parts.name.size());
}

// The text in `width` characters (at least shortest(text)), shortened in its folders.
std::string fit_named_file(std::string_view text, size_t width) {
    NamedFile parts;
    if (text.size() <= width || !split_named_file(text, parts)) return fit(text, width);
    size_t fixed = parts.verb.size() + 3 + parts.name.size();
    if (fixed > width) return fit(text, width);
    size_t keep = width - fixed, front = (keep + 1) / 2, back = keep - front;
    return std::string(parts.verb) + std::string(parts.folder.substr(0, front)) + "..." +
           std::string(parts.folder.substr(parts.folder.size() - back)) + std::string(parts.name);
}

void draw(TXP_PROG_DRAWN &drawn, const std::string &line) {
    std::string out = "\r" + line;
    out += erase_rest;
    fxp_term_write(out);
    drawn.shown = true;
    drawn.stale = false;
    drawn.at = fxp_ticks();
}

int line_width() {
    return std::max(fxp_term_columns() - 1, 20);
}

// ---- Progress -------------------------------------------------------------------------------

void prog_open(TXP_PROG_T *prog) {
    prog->drawn.visible = fxp_presenter.desktop_visible();
    // Escape must arrive key by key while the box can be cancelled.
    if (prog->drawn.visible && prog->cancel_question) kova_console_keys(true);
}

void prog_show(TXP_PROG_T *prog) {
    if (!prog->drawn.visible || !prog->drawn.stale) return;
    if (!fxp_term_prog_due(*prog, fxp_ticks())) return;
    draw(prog->drawn, fxp_term_prog_text(*prog, line_width()));
}

void prog_close(TXP_PROG_T *prog) {
    if (!prog->drawn.visible) return;
    // The last state stays on the screen, so the finished percentage is seen.
    if (prog->drawn.stale || !prog->drawn.shown)
        draw(prog->drawn, fxp_term_prog_text(*prog, line_width()));
    fxp_term_write("\n");
    if (prog->cancel_question) kova_console_keys(false);
}

// ---- Wait -----------------------------------------------------------------------------------

void pwin_open(TXP_PWIN_T *pwin) {
    pwin->drawn.visible = fxp_presenter.desktop_visible();
    if (pwin->drawn.visible && pwin->cancel_question) kova_console_keys(true);
}

void pwin_show(TXP_PWIN_T *pwin) {
    if (!pwin->drawn.visible) return;
    DWORD now = fxp_ticks();
    // The spinner turns when the box is serviced a tenth of a second or more after a draw.
    bool turn = pwin->drawn.shown && now - pwin->drawn.at >= redraw_interval;
    if (!pwin->drawn.stale && !turn) return;
    if (turn) ++pwin->drawn.frame;
    draw(pwin->drawn, fxp_term_pwin_text(*pwin, line_width()));
}

void pwin_close(TXP_PWIN_T *pwin) {
    if (!pwin->drawn.visible) return;
    // A wait line says nothing once the step is over.
    if (pwin->drawn.shown) fxp_term_write("\r" + std::string(erase_rest));
    if (pwin->cancel_question) kova_console_keys(false);
}

// ---- Status bar and cancel ------------------------------------------------------------------

void status_show(const std::string &text) {
    if (text.empty() || !fxp_presenter.desktop_visible()) return;
    fxp_term_write("\r" + std::string(erase_rest) + text + "\n");
}

// Keys typed while a box runs are read and dropped; a lone Escape asks to cancel.
bool cancel_request() {
    for (;;) {
        int byte = kova_console_read_byte(0);
        if (byte < 0) return false;
        if (byte != 0x1B) continue;
        // An escape sequence (a cursor key) follows at once; a lone Escape is followed by
        // nothing.
        int next = kova_console_read_byte(30);
        if (next < 0) return true;
        while (kova_console_read_byte(10) >= 0) {
        }
    }
}

} // namespace

const TXP_PROG_VIEW fxp_term_prog_view = {prog_open, prog_show,  prog_close,  pwin_open,
                                          pwin_show, pwin_close, status_show, cancel_request};
TXP_PROG_VIEW fxp_prog_view = fxp_term_prog_view;

bool fxp_term_prog_due(const TXP_PROG_T &prog, DWORD now) {
    return !prog.drawn.shown || prog.last_percent == 100 || now - prog.drawn.at >= redraw_interval;
}

std::string fxp_term_prog_text(const TXP_PROG_T &prog, int columns) {
    size_t width = static_cast<size_t>(std::max(columns, 1));
    std::string_view title = prog.title, status = prog.status_line;
    std::string figures =
        std::string(prog.percent_value.size() < 4 ? 4 - prog.percent_value.size() : 0, ' ') +
        prog.percent_value + "  " + prog.estimate_value;
    // The bar gives up cells (down to half) before title and status line are cut.
    size_t whole = title.size() + (title.empty() ? 0 : 2) + 3 + figures.size() +
                   (status.empty() ? 0 : status.size() + 2);
    size_t cells = bar_cells;
    if (whole + cells > width) cells -= std::min(cells / 2, whole + cells - width);
    const TXP_PROG_BAR &bar = prog.bar;
    size_t filled =
        bar.position >= bar.high
            ? cells
            : static_cast<size_t>(static_cast<uint64_t>(cells) * bar.position / bar.high);
    std::string core = "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "] ";
    core += figures;

    // The bar, percentage and estimate always show; title and status line share the rest, each
    // with two blanks before it. Each keeps at least its verb and file name; when both cannot,
    // the status line (the file being worked on) stays and the title goes, then both go.
    long room = static_cast<long>(width) - static_cast<long>(core.size());
    long t_need = title.empty() ? 0 : static_cast<long>(title.size()) + 2;
    long s_need = status.empty() ? 0 : static_cast<long>(status.size()) + 2;
    long t_room = t_need, s_room = s_need;
    if (t_need + s_need > room) {
        long t_min = title.empty() ? 0 : static_cast<long>(shortest(title)) + 2;
        long s_min = status.empty() ? 0 : static_cast<long>(shortest(status)) + 2;
        if (t_min + s_min <= room) {
            long extra = room - t_min - s_min;
            long t_extra = std::min(t_need - t_min, extra / 2);
            long s_extra = std::min(s_need - s_min, extra - t_extra);
            t_extra = std::min(t_need - t_min, extra - s_extra);
            t_room = t_min + t_extra, s_room = s_min + s_extra;
        } else if (s_need && s_min <= room) {
            t_room = 0, s_room = std::min(s_need, room);
        } else if (t_need && t_min <= room) {
            s_room = 0, t_room = std::min(t_need, room);
        } else {
            t_room = s_room = 0;
        }
    }
    std::string line;
    if (t_room > 0) line = fit_named_file(title, static_cast<size_t>(t_room - 2)) + "  ";
    line += core;
    if (s_room > 0) line += "  " + fit_named_file(status, static_cast<size_t>(s_room - 2));
    return fit(line, width);
}

std::string fxp_term_pwin_text(const TXP_PWIN_T &pwin, int columns) {
    size_t width = static_cast<size_t>(std::max(columns, 1));
    std::string line(1, spinner[pwin.drawn.frame % spinner.size()]);
    line += ' ';
    line += pwin.title;
    if (!pwin.line.empty()) line += ": " + pwin.line;
    return fit(line, width);
}
