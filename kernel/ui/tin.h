// Prompt pages: a table of field records (captions, texts, choice fields, text fields, a row
// of buttons) run modally until the operator leaves the page by a button. The page's rules —
// toggle and validation strings, pending fields, completion checks, the result — live here;
// the presenter (fxp_tin_presenter) draws the page and turns keys into these operations.
#pragma once

#include "kernel/ui/box.h"
#include "kernel/ui/prog.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TXP_TIN_T;
struct TXP_TIN_ICB;

// ---- Flags, commands and messages -----------------------------------------------------------

// Page flags.
constexpr uint16_t DXP_TIN_READ_ONLY = 0x1; // only fields flagged DXP_TIN_ALWAYS_USABLE work

// Field flags.
constexpr uint32_t DXP_TIN_DISPLAY_ONLY = 0x80;
constexpr uint32_t DXP_TIN_ALWAYS_USABLE = 0x100;
constexpr uint32_t DXP_TIN_REFRESH_GROUP = 0x800;
constexpr uint32_t DXP_TIN_VALIDATE = 0x8000;
constexpr uint32_t DXP_TIN_PENDING = 0x200000;
constexpr uint32_t DXP_TIN_DEFAULT_BUTTON = 0x20000000;
constexpr uint32_t DXP_TIN_QUIET_CHECK = 0x40000000;

// Commands: to a field's handler, and between the modal loop and the field-by-field work.
enum : uint16_t {
    DXP_TIN_CMD_NONE = 0,
    DXP_TIN_CMD_CREATE,
    DXP_TIN_CMD_SHOW,
    DXP_TIN_CMD_REFRESH,
    DXP_TIN_CMD_HIDE,
    DXP_TIN_CMD_DESTROY,
    DXP_TIN_CMD_FIRST, // start on the page's first field
    DXP_TIN_CMD_DONE,  // the page is over
};

constexpr const char *DXP_TIN_MSG_INVALID = "Invalid entry!";
constexpr const char *DXP_TIN_MSG_REQUIRED = "Valid response required here!";
constexpr const char *DXP_TIN_MSG_TOO_MANY_DECIMALS = "Too many decimal places!";
constexpr const char *DXP_TIN_MSG_TOO_FEW_DECIMALS = "Insufficient decimal places!";
constexpr const char *DXP_TIN_MSG_FIELD_COUNT = "Invalid Number of ICBs";
constexpr const char *DXP_TIN_MSG_TOGGLE = "INVALID TOGGLE STRING!";
constexpr const char *DXP_TIN_MSG_VALIDATION = "Invalid validation string!";

constexpr uint16_t DXP_TIN_MAX_FIELDS = 254;
constexpr size_t DXP_TIN_TOGGLE_LABEL_MAX = 511;
constexpr size_t DXP_TIN_BUTTON_LABEL_MAX = 80;

// ---- Records --------------------------------------------------------------------------------

// Asked before a field is used: false skips the field and shows it disabled.
using TXP_TIN_ACTIVE = bool (*)(TXP_TIN_T *page, TXP_TIN_ICB *field);
// A field's own handler: creates, shows, refreshes, hides and destroys its state (0 = done).
using TXP_TIN_HANDLER = uint16_t (*)(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t command);
// A button row's exit check: whether the pressed button's value needs the completion checks.
using TXP_TIN_EXIT = bool (*)(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t value);

// One choice of a toggle field.
struct TXP_TIN_ITEM {
    std::string label, value;
};

// One button of a button row.
struct TXP_TIN_BUTTON {
    std::string label; // as written, '&' before the hot key
    uint16_t value = 0;
    uint32_t flags = 0; // DXP_TIN_DEFAULT_BUTTON
};

// What the framework keeps for a field while its page is open (its "control").
struct TXP_TIN_CTRL {
    bool active = true;
    bool valid = true;               // outcome of the quiet check when first shown
    std::string text;                // text field: the text in the control
    std::string entered;             // text field: the text when the field was entered
    std::vector<TXP_TIN_ITEM> items; // toggle field
    size_t selected = 0;
    std::vector<TXP_TIN_BUTTON> buttons; // button row
    uint16_t button_width = 0;           // button row: common width in character cells
    uint16_t owned = 0;                  // group caption: number of fields in its frame
};

// A field record. Positions of 0 let the page place the field.
struct TXP_TIN_ICB {
    int32_t label_row = 0, label_column = 0;
    const char *label = nullptr;
    int32_t entry_row = 0, entry_column = 0;
    char kind = 0;         // 'K' plain, 'T' toggle, 'C' check
    char type = 0;         // 'K': 'P' prompt text, 'L' text, 'Z' own handler; 'T': 'L' text values
    char *value = nullptr; // exactly `length` characters, not terminated
    uint16_t length = 0;
    uint8_t width = 0, per_row = 0;
    const char *spec = nullptr; // toggle string, button string or validation string
    uint32_t flags = 0;
    TXP_TIN_ACTIVE active = nullptr;
    TXP_TIN_HANDLER handler = nullptr;
    TXP_TIN_EXIT exit_check = nullptr;
    const char *help = nullptr;
    uint8_t group = 0;
    TXP_TIN_CTRL *control = nullptr; // working member
};

// The page's kernel window; it knows its page.
struct TXP_TIN_WINDOW : TXP_WINDOW {
    TXP_TIN_T *page = nullptr;
};

// A prompt table. The caller sets fields and count (and may leave everything else zero). A
// page still open when its table goes is closed.
struct TXP_TIN_T {
    ~TXP_TIN_T();
    TXP_TIN_ICB *fields = nullptr;
    uint16_t count = 0;
    uint16_t flags = 0;
    const char *invalid_message = nullptr;
    const char *required_message = nullptr;
    const char *too_many_decimals_message = nullptr;
    const char *too_few_decimals_message = nullptr;
    TXP_TIN_ICB *work = nullptr; // working copy of the fields while the page is open
    uint16_t result = 0;
    TXP_TIN_ICB *button_row = nullptr; // in the working copy
    uint16_t default_result = 0;
    // Working members of the open page.
    TXP_TIN_WINDOW window;
    std::string caption;
    int focus = -1;         // index into the working copy; -1 before the first field
    bool quiet = false;     // messages are suppressed
    unsigned refreshed = 0; // counts refreshes that changed a field's activity
};

// ---- The page -------------------------------------------------------------------------------

// Opens the page with `caption` as its title, runs it and closes it; answers its result. A
// page that cannot be opened answers 0; a page nobody can see ends as Escape ends it.
uint16_t fxp_tin_prompt(TXP_TIN_T *page, const char *caption);
// The modal loop: runs fxp_tin_process from `command` until DXP_TIN_CMD_DONE; the result.
uint16_t fxp_tin_run(TXP_TIN_T *page, uint16_t command);
// The field-by-field work, done by the presenter; answers the exit command.
uint16_t fxp_tin_process(TXP_TIN_T *page, uint16_t command);
extern uint16_t (*fxp_tin_presenter)(TXP_TIN_T *page, uint16_t command);

bool fxp_tin_open(TXP_TIN_T *page, const char *caption);
void fxp_tin_close(TXP_TIN_T *page);

// The handlers of group captions and button rows, and the button row's exit check.
uint16_t fxp_tin_group(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t command);
uint16_t fxp_tin_buttons(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t command);
bool fxp_tin_buttons_exit(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t value);

// ---- Strings --------------------------------------------------------------------------------

// One item of a toggle string: label and value, not terminated.
struct TXP_TIN_TOGGLE {
    const char *label = nullptr;
    size_t label_length = 0;
    const char *value = nullptr;
    size_t value_length = 0;
};

// Reads the item at `position` and answers the position after it (empty after the last
// item). An item without its closing bars shows "INVALID TOGGLE STRING!" (unless quiet) and
// answers null.
const char *fxp_tin_toggle_next(const char *position, TXP_TIN_TOGGLE *item, bool quiet = false);
// A button's value: a decimal number up to 65535, anything else 0.
uint16_t fxp_tin_button_value(const char *text, size_t length);
// A button label as shown (without the '&' marks) and its hot key (upper case; the character
// after '&', else the first character).
std::string fxp_tin_button_text(const std::string &label);
int fxp_tin_button_hot_key(const std::string &label);

// Checks a value against a validation string. `value` and `length` are the field's; trailing
// blanks and NULs do not count. No string (or an empty one) accepts everything.
bool fxp_tin_validate(char type, const char *spec, const char *value, size_t length,
                      bool quiet = false);

// ---- What the presenter drives --------------------------------------------------------------

enum TXP_TIN_FIELD_KIND {
    DXP_TIN_GROUP,   // framed group caption
    DXP_TIN_PROMPT,  // static text
    DXP_TIN_TOGGLE,  // choice of the toggle string's items
    DXP_TIN_TEXT,    // single-line text
    DXP_TIN_BUTTONS, // row of buttons
    DXP_TIN_OTHER,   // kinds this framework shows by their label only
};
TXP_TIN_FIELD_KIND fxp_tin_kind(const TXP_TIN_ICB &field);

// How many characters of a text field a page shows at once: its display width, or when that
// is automatic its length, at most a line's worth. Longer texts scroll within that room.
constexpr size_t DXP_TIN_WIDEST_ENTRY = 60;
size_t fxp_tin_shown_width(const TXP_TIN_ICB &field);

// What a line shows of a text field: `width` cells of the text, scrolled so that the cursor
// stays in view, control characters (the line breaks of a message) as '|', blanks after the
// end. `cursor_column` is where the cursor falls within the cells.
struct TXP_TIN_TEXT_VIEW {
    std::string cells;
    size_t cursor_column = 0;
};
TXP_TIN_TEXT_VIEW fxp_tin_text_view(const std::string &text, size_t cursor, size_t width);

// Whether the field at `index` can take the focus; the next one that can from `from` in the
// direction of `step` (+1 or -1), or -1.
bool fxp_tin_usable(const TXP_TIN_T *page, int index);
int fxp_tin_next_field(const TXP_TIN_T *page, int from, int step);

// The focus enters a field.
void fxp_tin_enter(TXP_TIN_T *page, int index);

// How a field is left.
enum TXP_TIN_LEAVE {
    DXP_TIN_LEAVE_MOVE,     // to another field
    DXP_TIN_LEAVE_COMPLETE, // the page is being completed
    DXP_TIN_LEAVE_ESCAPE,   // the page is abandoned: nothing is taken
};
// Takes the field's value (a typed text is checked first); false when it fails, after the
// message, and the focus stays.
bool fxp_tin_leave(TXP_TIN_T *page, int index, TXP_TIN_LEAVE how);

// Chooses an item of a toggle field (taken when the field is left).
void fxp_tin_select(TXP_TIN_T *page, int index, size_t item);

// A button pressed with `value`: true when the page closes; false when a check failed (the
// focus is then on the failing field).
bool fxp_tin_press(TXP_TIN_T *page, uint16_t value);
// The page completed without a button row: true when the checks pass (result 1).
bool fxp_tin_complete(TXP_TIN_T *page);
// Escape: the result becomes 0 (1000 and above stays) and the page closes.
void fxp_tin_escape(TXP_TIN_T *page);
// The default button of the page's button row, or null.
const TXP_TIN_BUTTON *fxp_tin_default_button(const TXP_TIN_T *page);

// The page as lines of text: its title line, then every field in table order, group captions
// as frames around their fields, the button row at its place. `width` receives the page's
// width in character cells.
std::vector<std::string> fxp_tin_layout(const TXP_TIN_T *page, size_t *width = nullptr);

// ---- Dialog layout --------------------------------------------------------------------------
// The page as a dialog, in dialog units of the window font (4 to a character cell across, 8 to
// a row), client area only. Fields in table order flow down the page: prompt texts on a line
// of their own, labels of entry fields in one column with their controls beside it, group
// frames around the fields they own, the help line of the focused field, then the button row
// at the bottom right.

constexpr int DXP_TIN_MARGIN = 7;
constexpr int DXP_TIN_TEXT_HEIGHT = 8;
constexpr int DXP_TIN_ENTRY_HEIGHT = 12;
constexpr int DXP_TIN_BUTTON_HEIGHT = 14;
// Items a drop-down list shows when open.
constexpr int DXP_TIN_LIST_ROWS = 8;

struct TXP_TIN_FIELD_RECT {
    bool shown = false;
    TXP_DU_RECT label;                // prompt text, group frame, or an entry field's label
    TXP_DU_RECT entry;                // edit box or drop-down list (collapsed), else empty
    std::vector<TXP_DU_RECT> buttons; // button row: one per button, in order
};

struct TXP_TIN_DIALOG_LAYOUT {
    int cx = 0, cy = 0;
    std::vector<TXP_TIN_FIELD_RECT> fields; // by index in the working copy
    TXP_DU_RECT help;                       // empty when no field has help
};

// The layout of an open page. Positive positions in a field record place its label or entry
// at that character cell (column x 4, row x 8) instead of the flow.
TXP_TIN_DIALOG_LAYOUT fxp_tin_dialog_layout(const TXP_TIN_T *page, TXP_TEXT_WIDTH text_width);

// ---- Terminal -------------------------------------------------------------------------------

// Runs the page on the terminal (see DESIGN.md's key rules) and answers DXP_TIN_CMD_DONE.
uint16_t fxp_term_tin_process(TXP_TIN_T *page, uint16_t command);
// Runs the page as a modal dialog (Windows only) and answers DXP_TIN_CMD_DONE.
uint16_t fxp_window_tin_process(TXP_TIN_T *page, uint16_t command);

// Where the terminal page takes its keys; fxp_term_read_key unless a test puts its own.
extern int (*fxp_term_tin_key)();
