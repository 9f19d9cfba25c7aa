// Message and question boxes: composing their text, choosing their style, mapping answers,
// and answering at once when nobody can see them.
#include "kernel/ui/box.h"

#include "kernel/text/format.h"
#include "kernel/ui/presenter.h"

#include <algorithm>
#include <cstdarg>
#include <new>
#include <string>
#include <vector>

void (*msg_box_hook)(int) = nullptr;
void (*fxp_msg_unseen_error)(const char *text) = nullptr;

namespace {

std::vector<TXP_WINDOW *> window_stack;

constexpr const char *separator = "\r\n\r\n";
// Room of the formatted information box, its terminator included.
constexpr size_t info_room = 4096;

// Boxes: every present part after the first present one is preceded by a blank line, also
// when the earlier part is empty.
std::string compose_box(std::initializer_list<const char *> parts) {
    std::string text;
    bool earlier = false;
    for (const char *part : parts) {
        if (!part) continue;
        if (earlier) text += separator;
        text += part;
        earlier = true;
    }
    return text;
}

// Questions: a blank line only after text that is already there.
std::string compose_question(std::initializer_list<const char *> parts) {
    std::string text;
    bool first = true;
    for (const char *part : parts) {
        if (first) {
            first = false;
            if (part) text = part;
            continue;
        }
        if (!part) continue;
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

HWND current_handle() {
    TXP_WINDOW *window = fxp_window_current();
    return window ? window->handle : nullptr;
}

int show_info(const char *first, const char *second) {
    fxp_window_deactivate();
    fxp_presenter.beep(0);
    try {
        std::string text = compose_box({first, second});
        fxp_msg_box(current_handle(), text.c_str(), "Information", MB_ICONINFORMATION | MB_OK);
    } catch (const std::bad_alloc &) {
        // The box is skipped; there is nothing else to report an information box with.
    }
    fxp_window_reactivate();
    return 1;
}

int ask(const char *first, const char *second, const char *third, int default_answer,
        bool allow_cancel, const char *title, UINT icon, int failed_answer) {
    std::string text;
    try {
        text = compose_question({first, second, third});
    } catch (const std::bad_alloc &) {
        return failed_answer;
    }
    fxp_window_deactivate();
    UINT style = (allow_cancel ? MB_YESNOCANCEL : MB_YESNO) | icon;
    if (default_answer != DXP_ANSWER_YES) style |= MB_DEFBUTTON2;
    int result = fxp_msg_box(current_handle(), text.c_str(), title, style);
    fxp_window_reactivate();
    switch (result) {
    case IDYES:
        return DXP_ANSWER_YES;
    case IDNO:
        return DXP_ANSWER_NO;
    case IDCANCEL:
        return DXP_ANSWER_ESCAPE;
    default:
        return failed_answer;
    }
}

// What a careful operator answers a box that nobody sees, by its button set.
int unattended_answer(UINT style) {
    switch (style & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL:
        return IDOK;
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    case MB_YESNOCANCEL:
        return IDCANCEL;
    case MB_YESNO:
        return IDNO;
    case MB_RETRYCANCEL:
    case MB_CANCELTRYCONTINUE:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

} // namespace

TXP_WINDOW *fxp_window_current() {
    return window_stack.empty() ? nullptr : window_stack.back();
}

void fxp_window_push(TXP_WINDOW *window) {
    if (window) window_stack.push_back(window);
}

void fxp_window_pop(TXP_WINDOW *window) {
    auto it = std::find(window_stack.rbegin(), window_stack.rend(), window);
    if (it != window_stack.rend()) window_stack.erase(std::next(it).base());
}

void fxp_window_deactivate() {
    if (TXP_WINDOW *window = fxp_window_current()) window->active = false;
}

void fxp_window_reactivate() {
    TXP_WINDOW *window = fxp_window_current();
    if (!window) return;
    window->active = true;
    if (window->reactivated) window->reactivated(window);
}

int fxp_msg_box(HWND owner, const char *text, const char *title, UINT style) {
    bool shown;
    if (msg_box_hook) msg_box_hook(1);
    if (msg_box_hook)
        shown = true;
    else
        shown = (style & MB_SERVICE_NOTIFICATION) || fxp_presenter.desktop_visible();
    int result = shown ? fxp_presenter.box(owner, text, title, style) : unattended_answer(style);
    if (!shown && fxp_msg_unseen_error && (style & MB_ICONMASK) == MB_ICONSTOP)
        fxp_msg_unseen_error(text);
    if (msg_box_hook) msg_box_hook(0);
    return result;
}

int fxp_msg_error3(const char *first, const char *second, const char *third) {
    std::string text;
    try {
        text = compose_box({first, second, third});
    } catch (const std::bad_alloc &) {
        return 0;
    }
    fxp_window_deactivate();
    fxp_presenter.beep(MB_ICONEXCLAMATION);
    fxp_msg_box(current_handle(), text.c_str(), nullptr, MB_ICONSTOP | MB_OK);
    fxp_window_reactivate();
    return 1;
}

int fxp_msg_error(const char *text) {
    return fxp_msg_error3(text, nullptr, nullptr);
}

void fxp_msg_errorf(const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    try {
        fxd_fmt_vassign(text, format, args);
    } catch (const std::bad_alloc &) {
        va_end(args);
        return;
    }
    va_end(args);
    fxp_msg_error3(nullptr, text.c_str(), nullptr);
}

int fxp_msg_info(const char *text) {
    return show_info(text, nullptr);
}

int fxp_msg_info2(const char *first, const char *second) {
    return show_info(first, second);
}

int fxp_msg_infof(const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    try {
        fxd_fmt_vassign(text, format, args);
    } catch (const std::bad_alloc &) {
        va_end(args);
        return 1;
    }
    va_end(args);
    // The box holds what its fixed room holds; a longer text is cut rather than overrunning it.
    if (text.size() > info_room - 1) text.resize(info_room - 1);
    return fxp_msg_info(text.c_str());
}

int fxp_msg_ask(const char *first, const char *second, const char *third, int default_answer) {
    return ask(first, second, third, default_answer, false, "", MB_ICONQUESTION, DXP_ANSWER_ESCAPE);
}

int fxp_msg_ask(const char *first, const char *second, const char *third, int default_answer, int,
                int, int, int, int, bool allow_cancel) {
    return ask(first, second, third, default_answer, allow_cancel, "", MB_ICONQUESTION,
               DXP_ANSWER_ESCAPE);
}

int fxp_msg_warn_ask(const char *first, const char *second, const char *third, int default_answer) {
    return ask(first, second, third, default_answer, false, "Warning", MB_ICONEXCLAMATION,
               DXP_ANSWER_NO);
}

int fxp_msg_warn_ask(const char *first, const char *second, const char *third, int default_answer,
                     int, int, int, int, int, bool allow_cancel) {
    return ask(first, second, third, default_answer, allow_cancel, "Warning", MB_ICONEXCLAMATION,
               DXP_ANSWER_NO);
}
