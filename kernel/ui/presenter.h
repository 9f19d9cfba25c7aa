// The presenter: how boxes and pages reach the operator. Kernel code decides what a box says
// and which answer an unattended run gets; the presenter shows it and reads the answer. On a
// terminal everything is drawn on standard error and answers come from standard input.
#pragma once

#include "platform/win32.h"

#include <string>
#include <string_view>

// ---- The presenter in use -------------------------------------------------------------------

struct TXP_PRESENTER {
    // Whether an operator can see and answer a box (the visible desktop).
    bool (*desktop_visible)();
    // Sounds the platform's sound for a box kind (MB_ICONEXCLAMATION, 0 for the default).
    void (*beep)(UINT type);
    // Shows a modal box and answers the button identifier pressed (IDOK, IDYES ...), or 0 when
    // the box could not be shown or answered.
    int (*box)(HWND owner, const char *text, const char *title, UINT style);
};

// The terminal presenter, and the one the kernel uses: the terminal presenter unless another
// front end (or a test) puts its own in place.
extern const TXP_PRESENTER fxp_terminal_presenter;
extern TXP_PRESENTER fxp_presenter;

// Puts the platform's own presenter in place for boxes, prompt pages, progress and wait
// windows: on Windows they become real windows and dialogs; elsewhere the terminal presenter
// stays. Start-up calls it; the status bar stays on the terminal either way.
void fxp_presenter_platform();

// ---- Terminal drawing pieces ----------------------------------------------------------------
// Shared by boxes, progress, wait and prompt pages. Texts are ANSI; CR LF line ends of kernel
// texts become the terminal's line ends.

void fxp_term_write(std::string_view ansi);
// Writes the text and a line end.
void fxp_term_line(std::string_view ansi);
// Width of the terminal on standard error; 80 when it has none.
int fxp_term_columns();

// Keys: characters are their ANSI code (0-255); these stand for the rest.
enum : int {
    DXP_KEY_END_OF_INPUT = -1,
    DXP_KEY_BACKSPACE = 8,
    DXP_KEY_TAB = 9,
    DXP_KEY_ENTER = 13,
    DXP_KEY_ESCAPE = 27,
    DXP_KEY_UP = 0x100,
    DXP_KEY_DOWN,
    DXP_KEY_RIGHT,
    DXP_KEY_LEFT,
    DXP_KEY_HOME,
    DXP_KEY_END,
    DXP_KEY_DELETE,
};

// Key-at-a-time input without echo for as long as the object lives (nested uses are fine).
class CXP_TERM_KEYS {
public:
    CXP_TERM_KEYS();
    ~CXP_TERM_KEYS();
    CXP_TERM_KEYS(const CXP_TERM_KEYS &) = delete;
    CXP_TERM_KEYS &operator=(const CXP_TERM_KEYS &) = delete;
};

// Waits for one key on standard input (use inside CXP_TERM_KEYS). When standard input is no
// terminal, input is taken a line at a time: the rest of a line after its first key is
// dropped, so each answer is one line.
int fxp_term_read_key();

// A button: its label with '&' before the hot key (without '&', the first letter is the hot
// key), and the identifier pressing it answers.
struct TXP_TERM_BUTTON {
    const char *label;
    int id;
};

// The row of buttons as the terminal shows them: "[Y]es [N]o".
std::string fxp_term_button_row(const TXP_TERM_BUTTON *buttons, int count);
// The label without its '&'.
std::string fxp_term_button_text(const TXP_TERM_BUTTON &button);
// Shows the row (and which button Enter presses), waits until a button is pressed — by its
// hot key in either case, its number in the row, Enter for the default, Escape for
// `escape_id` when that is not 0 — echoes the button's name and answers its identifier; 0
// when input ends first.
int fxp_term_choose(const TXP_TERM_BUTTON *buttons, int count, int default_index, int escape_id);

// The terminal's message box: title (without one, "Error"; an empty one shows none), text, the
// buttons of the style word. Escape answers
// Cancel where the box has it, and OK in a box with only OK, as Windows does.
int fxp_term_box(HWND owner, const char *text, const char *title, UINT style);
