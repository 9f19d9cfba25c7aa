// Progress, wait and status windows: the records long work keeps, the arithmetic behind the
// percentage, the bar and the time-remaining estimate, and the operations that show them.
// What is shown is decided here; the presenter (fxp_prog_view) draws it.
#pragma once

#include "kernel/ui/box.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>

// ---- Clock and operator ---------------------------------------------------------------------

// The millisecond tick count that times estimates, waits and redraws. Tests put their own
// clock in place; null restores the system tick count.
using TXP_TICKS = DWORD (*)();
void fxp_ticks_source(TXP_TICKS ticks);
DWORD fxp_ticks();

// Whether an operator may cancel: another kernel facility clears it while it runs a mode of
// its own; while clear, no Cancel is offered and cancel questions are dropped. Initially set.
uint16_t fxp_operator_present();
void fxp_operator_present_set(uint16_t present);

// ---- Arithmetic -----------------------------------------------------------------------------

// Percentage of done against total: 100 when total is 0; large counts are first divided by 100
// so that done x 100 cannot overflow.
uint16_t fxp_prog_percent_of(uint32_t done, uint32_t total);
uint16_t fxp_prog_ratio64(uint64_t done, uint64_t total);
// Upper end of the bar's range that makes the fixed position 100 fill it to `percent`.
uint32_t fxp_prog_bar_range(uint16_t percent);
// Seconds still to go when `percent` was reached after `elapsed` seconds (0 from 100 up).
uint32_t fxp_prog_remaining(uint32_t elapsed, uint16_t percent);
// The estimate's display for a number of seconds: "1 hour 0 min 0 sec", "2 min 27 sec" (the
// hours are left out when there are none). fxp_prog_percent shows "Less than a minute" instead
// while the estimate is under a minute.
std::string fxp_prog_estimate_text(uint32_t remaining);

// ---- Progress window ------------------------------------------------------------------------

constexpr uint16_t DXP_PROG_STATUS = 0x1;    // the box has a status line
constexpr uint16_t DXP_PROG_CANCELLED = 0x2; // the operator confirmed Cancel
constexpr uint16_t DXP_PROG_NONE = 0xFFFF;   // no percentage shown yet
constexpr uint16_t DXP_PROG_AUTO_WIDTH = 0xFFFF;

// The fixed texts of the box.
constexpr const char *DXP_PROG_GROUP = "Progress";
constexpr const char *DXP_PROG_ESTIMATE = "Estimated time remaining";
constexpr const char *DXP_PROG_COMPLETED = "Completed";
constexpr const char *DXP_PROG_UNKNOWN = "Unknown";
constexpr const char *DXP_PROG_SHORT = "Less than a minute";

// The platform progress bar: the range 0 ... high and the position in it.
struct TXP_PROG_BAR {
    uint32_t high = 100;
    uint32_t position = 0;
};

// The kernel window of a box; it knows its record, so that the presenter can draw the box
// again when it becomes the current window once more (after a message box).
struct TXP_PROG_WINDOW : TXP_WINDOW {
    void *owner = nullptr;
};

// How the presenter keeps a box between draws.
struct TXP_PROG_DRAWN {
    bool visible = false; // an operator can see it (decided when the box opens)
    bool shown = false;   // something is on the screen
    bool stale = false;   // changed since it was last drawn
    DWORD at = 0;         // tick count of the last draw
    unsigned frame = 0;   // wait window: the spinner's position
};

// A progress window; zeroed (closed) by fxp_prog_init. An open box closes when its record
// goes, so the window stack never keeps a record that is gone.
struct TXP_PROG_T {
    TXP_PROG_T() = default;
    ~TXP_PROG_T();
    TXP_PROG_T(const TXP_PROG_T &) = delete;
    TXP_PROG_T &operator=(const TXP_PROG_T &) = delete;
    TXP_PROG_T &operator=(TXP_PROG_T &&) = default;

    TXP_PROG_WINDOW window;
    uint16_t last_percent = 0;
    uint16_t flags = 0;
    const char *cancel_question = nullptr;
    std::string title;
    uint16_t width = DXP_PROG_AUTO_WIDTH; // as asked for, in dialog units
    DWORD start_tick = 0;
    std::string estimate_value;
    std::string percent_value;
    std::string status_line;
    TXP_PROG_BAR bar;
    uint16_t short_estimate = 0;
    uint16_t cancel_button = 0;
    DWORD paused_at = 0;
    uint16_t open = 0;
    TXP_PROG_DRAWN drawn;
};

void fxp_prog_init(TXP_PROG_T *prog);
// Opens the box (closing it first when open); flags DXP_PROG_STATUS asks for a status line.
void fxp_prog_open(TXP_PROG_T *prog, const char *cancel_question, const char *title, uint16_t width,
                   uint16_t flags);
// Each answers 1 when the operator confirmed Cancel, else 0; nothing happens on a closed box.
uint16_t fxp_prog_percent(TXP_PROG_T *prog, uint16_t percent);
uint16_t fxp_prog_ratio(TXP_PROG_T *prog, uint32_t done, uint32_t total);
uint16_t fxp_prog_line(TXP_PROG_T *prog, const char *text);
// Formats into 1,024 bytes (longer texts are cut) and sets the status line.
uint16_t fxp_prog_linef(TXP_PROG_T *prog, const char *format, ...);
void fxp_prog_pause(TXP_PROG_T *prog);
void fxp_prog_resume(TXP_PROG_T *prog);
void fxp_prog_close(TXP_PROG_T *prog);

// ---- Wait window ----------------------------------------------------------------------------

constexpr uint16_t DXP_PWIN_DEFAULT = 0xFFFF;
constexpr const char *DXP_PWIN_TITLE = "Please Wait";
constexpr const char *DXP_PWIN_ANIMATION = "LXPPWIN.AVI";

// Answers true when a wait should stop early.
using TXP_PWIN_STOP = bool (*)();

// A wait window, owned by the caller; closed when it goes.
struct TXP_PWIN_T {
    TXP_PWIN_T() = default;
    ~TXP_PWIN_T();
    TXP_PWIN_T(const TXP_PWIN_T &) = delete;
    TXP_PWIN_T &operator=(const TXP_PWIN_T &) = delete;
    TXP_PWIN_T &operator=(TXP_PWIN_T &&) = default;

    TXP_PROG_WINDOW window;
    std::string title;
    std::string animation; // animation file; the terminal shows a spinner in its place
    std::string line;      // the line as shown
    uint16_t cancel_button = 0;
    const char *cancel_question = nullptr;
    const char *prefix = nullptr;
    // The geometry asked for: position in text-screen cells and width in characters
    // (DXP_PWIN_DEFAULT for the default), the animation's size in dialog units, the expected
    // length of the line and the rows the line control has beyond the first.
    uint16_t column = 0xFFFF, row = 0xFFFF, width = 0xFFFF;
    uint16_t animation_width = 40, animation_height = 28;
    uint16_t line_length = 0, extra_lines = 0;
    uint16_t open = 0;
    DWORD serviced_at = 0; // tick count when the box was last serviced
    TXP_PROG_DRAWN drawn;
};

void fxp_pwin_open(const char *cancel_question, uint16_t column, uint16_t row, uint16_t width,
                   const char *title, uint32_t window_flags, void *window_data,
                   const char *animation, uint16_t animation_width, uint16_t animation_height,
                   const char *prefix, uint16_t line_length, TXP_PWIN_T *pwin);
// Shows prefix, text and " ..."; answers 1 when the operator confirmed Cancel.
uint16_t fxp_pwin_line(TXP_PWIN_T *pwin, const char *text);
// Keeps the box alive for `seconds` or until `stop` answers true; 1 when Cancel was confirmed.
uint16_t fxp_pwin_wait(TXP_PWIN_T *pwin, uint16_t seconds, TXP_PWIN_STOP stop);
void fxp_pwin_close(TXP_PWIN_T *pwin);

// A wait window as an object: opens only when an operator can see it, closes itself.
class CXP_PWIN {
public:
    CXP_PWIN() = default;
    CXP_PWIN(const CXP_PWIN &) = delete;
    CXP_PWIN &operator=(const CXP_PWIN &) = delete;
    // With an animation of the table by index (0-4); 1 when the box opened, else 0.
    virtual uint16_t open(uint16_t animation, const char *cancel_question, const char *prefix,
                          uint16_t line_length, uint16_t extra_lines, const char *title);
    virtual uint16_t open(const char *cancel_question, const char *prefix, uint16_t line_length,
                          uint16_t extra_lines, const char *title);
    virtual uint16_t line(const char *text);
    // 0 when the box is not open.
    virtual uint16_t linef(const char *format, ...);
    virtual uint16_t wait(uint16_t seconds, TXP_PWIN_STOP stop);
    virtual void close();
    virtual ~CXP_PWIN();

    bool is_open() const { return open_ != 0; }
    const TXP_PWIN_T &pwin() const { return pwin_; }

protected:
    TXP_PWIN_T pwin_;
    uint16_t open_ = 0;
};

// An animation of CXP_PWIN's table: file and size in dialog units.
struct TXP_PWIN_ANIMATION {
    const char *file;
    uint16_t width, height;
};
extern const TXP_PWIN_ANIMATION fxp_pwin_animations[5];

// ---- Status bar -----------------------------------------------------------------------------

void fxp_status_create();
void fxp_status_text(const char *text);
// Formats into 256 bytes (longer texts are cut).
void fxp_status_textf(const char *format, ...);
// The bar's current text.
const std::string &fxp_status_current();

// ---- Layout of the native boxes ------------------------------------------------------------
// In dialog units: 4 to a character cell across and 8 to a row, in the window font. Sizes are
// those of the client area.

struct TXP_DU_RECT {
    int x = 0, y = 0, cx = 0, cy = 0;
};

// Width of a text in dialog units of the window font.
using TXP_TEXT_WIDTH = int (*)(const char *text);

struct TXP_PROG_LAYOUT {
    int cx = 0, cy = 0;
    TXP_DU_RECT group, estimate_label, estimate_value, completed_label, percent_value;
    TXP_DU_RECT status, bar, cancel; // status and cancel are empty when the box has none
};
// The progress box for an open record: as wide as asked for, but never narrower than its
// figures need (automatic width gives exactly that).
TXP_PROG_LAYOUT fxp_prog_layout(const TXP_PROG_T &prog, TXP_TEXT_WIDTH text_width);

struct TXP_PWIN_LAYOUT {
    int cx = 0, cy = 0;
    TXP_DU_RECT animation, line, cancel; // cancel is empty without a cancel question
};
TXP_PWIN_LAYOUT fxp_pwin_layout(const TXP_PWIN_T &pwin, TXP_TEXT_WIDTH text_width);

// ---- Presenter ------------------------------------------------------------------------------

struct TXP_PROG_VIEW {
    void (*prog_open)(TXP_PROG_T *prog);
    // Called after every change of an open box and once more when it closes; the presenter
    // paces its drawing and pumps what it must.
    void (*prog_show)(TXP_PROG_T *prog);
    void (*prog_close)(TXP_PROG_T *prog);
    void (*pwin_open)(TXP_PWIN_T *pwin);
    void (*pwin_show)(TXP_PWIN_T *pwin);
    void (*pwin_close)(TXP_PWIN_T *pwin);
    void (*status_show)(const std::string &text);
    // True when the operator asks to cancel (on a terminal: Escape was pressed). Called only
    // for boxes with a cancel question.
    bool (*cancel_request)();
};

extern const TXP_PROG_VIEW fxp_term_prog_view;
extern TXP_PROG_VIEW fxp_prog_view;

// The terminal's line for a progress or wait window, fitted to `columns`.
std::string fxp_term_prog_text(const TXP_PROG_T &prog, int columns);
std::string fxp_term_pwin_text(const TXP_PWIN_T &pwin, int columns);
// Whether a changed progress box is drawn now: at most every tenth of a second, always at
// 100 % and for the first draw.
bool fxp_term_prog_due(const TXP_PROG_T &prog, DWORD now);
