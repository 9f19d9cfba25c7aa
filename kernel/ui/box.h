// Message and question boxes: what they say, which title, icon, buttons and sound they have,
// what they answer, and the answers an unattended run gets at once without a box.
#pragma once

#include "platform/win32.h"

// ---- The current window ---------------------------------------------------------------------
// The top of the kernel's window stack: start-up makes the first one (the root window), prompt
// pages push and pop their own. A box deactivates it for exactly as long as the box is up.

struct TXP_WINDOW {
    HWND handle = nullptr;
    bool active = true;
    // Called when the window becomes active again after a box, so that a presenter can give
    // the page back its focus (on a terminal: draw it again). May be empty.
    void (*reactivated)(TXP_WINDOW *window) = nullptr;
};

// The current window, or null when there is none.
TXP_WINDOW *fxp_window_current();
void fxp_window_push(TXP_WINDOW *window);
// Removes `window` from the stack (it is normally the top).
void fxp_window_pop(TXP_WINDOW *window);
// Clear and set the current window's active flag; both do nothing without a current window.
void fxp_window_deactivate();
void fxp_window_reactivate();

// ---- Boxes ----------------------------------------------------------------------------------

// Answer codes of questions, also passed as their default answer ('Y' makes Yes the default
// button, anything else No).
constexpr int DXP_ANSWER_YES = 'Y';
constexpr int DXP_ANSWER_NO = 'N';
constexpr int DXP_ANSWER_ESCAPE = 27;

// Set by a kernel facility while it runs a modal mode of its own: called with 1 before every
// box and with 0 after it; while it is set, boxes are shown even without a visible desktop.
extern void (*msg_box_hook)(int);

// Hears the text of every error box that nobody sees (no visible desktop), so that a program
// run unattended can say it where its caller looks; a program registers it at start-up.
extern void (*fxp_msg_unseen_error)(const char *text);

// Error boxes: stop icon, OK, the platform's default caption, preceded by the exclamation
// sound. The parts present are joined by a blank line. fxp_msg_error3 answers 1, or 0 when the
// text cannot be composed (nothing is shown).
int fxp_msg_error(const char *text);
int fxp_msg_error3(const char *first, const char *second, const char *third);
// The format expanded by the format engine, shown as the second part of fxp_msg_error3.
void fxp_msg_errorf(const char *format, ...);

// Information boxes: title "Information", information icon, OK, the default sound. Answer 1.
int fxp_msg_info(const char *text);
int fxp_msg_info2(const char *first, const char *second);
// The format expanded by the format engine; at most 4,095 characters are shown.
int fxp_msg_infof(const char *format, ...);

// Questions: Yes/No, no sound; the parts present are joined by a blank line (an empty first
// part adds none). fxp_msg_ask has an empty caption and the question icon, fxp_msg_warn_ask the
// caption "Warning" and the exclamation icon. Answer 'Y', 'N' or 27; a box that fails answers 27
// from fxp_msg_ask and 'N' from fxp_msg_warn_ask.
int fxp_msg_ask(const char *first, const char *second, const char *third, int default_answer);
int fxp_msg_warn_ask(const char *first, const char *second, const char *third, int default_answer);
// The long forms: five placement and window arguments of the character-mode kernel (unused
// here) and `allow_cancel`, which offers Yes/No/Cancel.
int fxp_msg_ask(const char *first, const char *second, const char *third, int default_answer,
                int row, int column, int width, int height, int flags, bool allow_cancel);
int fxp_msg_warn_ask(const char *first, const char *second, const char *third, int default_answer,
                     int row, int column, int width, int height, int flags, bool allow_cancel);

// Every box: shown by the presenter when msg_box_hook is set, the style has
// MB_SERVICE_NOTIFICATION or the desktop is visible; otherwise answered at once from the
// button set as a careful operator would (OK, Abort, Cancel or No). Answers the button
// identifier (0 when the box failed).
int fxp_msg_box(HWND owner, const char *text, const char *title, UINT style);
