// Boxes, progress and wait windows as real windows on Windows. Message and question boxes are
// the system's own; progress and wait boxes are top-level windows laid out in dialog units of
// the message font, kept responsive by pumping the thread's messages at every update.
#include "kernel/files/install.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"
#include "kernel/ui/startup.h"
#include "kernel/ui/tin.h"
#include "kernel/ui/win32/window_metrics.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

namespace {

// ---- Handles --------------------------------------------------------------------------------

class Font {
public:
    Font() = default;
    explicit Font(HFONT handle) : handle_(handle) {}
    ~Font() {
        if (handle_) DeleteObject(handle_);
    }
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;
    HFONT get() const { return handle_; }

private:
    HFONT handle_ = nullptr;
};

// A top-level window; its controls go with it.
class Window {
public:
    Window() = default;
    ~Window() { reset(); }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    void reset(HWND handle = nullptr) {
        if (handle_) DestroyWindow(handle_);
        handle_ = handle;
    }
    HWND get() const { return handle_; }

private:
    HWND handle_ = nullptr;
};

// The screen's device context with a font selected, given back as it was.
class ScreenText {
public:
    explicit ScreenText(HFONT font) : dc_(GetDC(nullptr)) {
        if (dc_ && font) old_ = SelectObject(dc_, font);
    }
    ~ScreenText() {
        if (!dc_) return;
        if (old_) SelectObject(dc_, old_);
        ReleaseDC(nullptr, dc_);
    }
    ScreenText(const ScreenText &) = delete;
    ScreenText &operator=(const ScreenText &) = delete;
    HDC get() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ old_ = nullptr;
};

// ---- Font and dialog units ------------------------------------------------------------------

// The window font and its base units: the average character width and the height in pixels
// that 4 and 8 dialog units stand for.
struct Metrics {
    Font font;
    int base_x = 6, base_y = 13;

    explicit Metrics(HFONT handle) : font(handle) {
        ScreenText text(font.get());
        if (!text.get()) return;
        TEXTMETRICA tm{};
        SIZE size{};
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        if (GetTextMetricsA(text.get(), &tm)) base_y = tm.tmHeight;
        if (GetTextExtentPoint32A(text.get(), alphabet, 52, &size)) base_x = (size.cx / 26 + 1) / 2;
        if (base_x <= 0) base_x = 6;
        if (base_y <= 0) base_y = 13;
    }
};

HFONT message_font() {
    NONCLIENTMETRICSA ncm{};
    ncm.cbSize = sizeof ncm;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0))
        return CreateFontIndirectA(&ncm.lfMessageFont);
    return nullptr;
}

const Metrics &metrics() {
    static const Metrics m(message_font());
    return m;
}

int px_x(int du) {
    return MulDiv(du, metrics().base_x, 4);
}
int px_y(int du) {
    return MulDiv(du, metrics().base_y, 8);
}

int text_width(const char *text) {
    ScreenText dc(metrics().font.get());
    SIZE size{};
    if (!dc.get() || !GetTextExtentPoint32A(dc.get(), text, lstrlenA(text), &size)) return 0;
    // Rounded up, so that the text always fits its control.
    return (size.cx * 4 + metrics().base_x - 1) / metrics().base_x;
}

// ---- The boxes ------------------------------------------------------------------------------

enum : int {
    ID_GROUP = 100,
    ID_ESTIMATE_LABEL,
    ID_ESTIMATE_VALUE,
    ID_COMPLETED_LABEL,
    ID_PERCENT_VALUE,
    ID_STATUS,
    ID_BAR,
    ID_ANIMATION,
    ID_LINE,
};

constexpr const char *box_class = "KovaProgressBox";

// What the presenter keeps of an open box beyond its record.
struct NativeBox {
    Window frame;
    // Escape, the Cancel button or the caption's close button since the last cancel test.
    bool cancel_request = false;
    // The texts and bar last handed to the controls: only changes are sent, so nothing
    // flickers at every update.
    std::map<int, std::string> texts;
    TXP_PROG_BAR bar{0, 0};
    bool animated = false;
};

// The open boxes by their record.
std::map<const void *, std::unique_ptr<NativeBox>> &boxes() {
    static std::map<const void *, std::unique_ptr<NativeBox>> open;
    return open;
}

NativeBox *box_of(const void *record) {
    auto it = boxes().find(record);
    return it == boxes().end() ? nullptr : it->second.get();
}

NativeBox *box_of_window(HWND window) {
    for (auto &[record, box] : boxes())
        if (box->frame.get() == window) return box.get();
    return nullptr;
}

LRESULT CALLBACK box_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CLOSE:
        // The box stays until its owner closes it; closing it asks to cancel.
        if (NativeBox *box = box_of_window(window)) box->cancel_request = true;
        return 0;
    case WM_COMMAND:
        // The Cancel button, and Escape anywhere in the box (the dialog manager sends it as
        // IDCANCEL).
        if (LOWORD(wparam) == IDCANCEL)
            if (NativeBox *box = box_of_window(window)) box->cancel_request = true;
        return 0;
    case WM_CTLCOLORSTATIC: {
        // Labels and the read-only line on the face of the box, as in a dialog.
        HDC dc = reinterpret_cast<HDC>(wparam);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

bool register_class() {
    static const bool registered = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = box_procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = box_class;
        return RegisterClassExA(&wc) != 0;
    }();
    return registered;
}

// Dispatches what is waiting for the thread's windows; keys in a box go through the dialog
// manager, so that Escape and Tab work there as in a dialog.
void pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the caller's own loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root && box_of_window(root) && IsDialogMessageA(root, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

RECT work_area() {
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

constexpr DWORD frame_style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD frame_ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

// Creates the frame of a box for a client area of cx by cy dialog units. `left` and `top` are
// pixels on the screen, or CW_USEDEFAULT for centred on the work area.
HWND create_frame(const std::string &title, int cx, int cy, int left, int top) {
    if (!register_class()) return nullptr;
    RECT rect{0, 0, px_x(cx), px_y(cy)};
    AdjustWindowRectEx(&rect, frame_style, FALSE, frame_ex_style);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    RECT area = work_area();
    if (left == CW_USEDEFAULT) left = area.left + (area.right - area.left - width) / 2;
    if (top == CW_USEDEFAULT) top = area.top + (area.bottom - area.top - height) / 2;
    // Kept on the screen whatever position was asked for.
    if (left + width > area.right) left = area.right - width;
    if (top + height > area.bottom) top = area.bottom - height;
    if (left < area.left) left = area.left;
    if (top < area.top) top = area.top;
    return CreateWindowExA(frame_ex_style, box_class, title.c_str(), frame_style, left, top, width,
                           height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

HWND add_control(HWND frame, const char *cls, const char *text, DWORD style, DWORD ex_style,
                 const TXP_DU_RECT &du, int id) {
    HWND control = CreateWindowExA(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, px_x(du.x),
                                   px_y(du.y), px_x(du.cx), px_y(du.cy), frame,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleA(nullptr), nullptr);
    if (control)
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(metrics().font.get()), FALSE);
    return control;
}

HWND add_label(HWND frame, const char *text, const TXP_DU_RECT &du, int id) {
    return add_control(frame, "STATIC", text, SS_LEFT | SS_NOPREFIX, 0, du, id);
}

HWND add_cancel(HWND frame, const TXP_DU_RECT &du) {
    return add_control(frame, "BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0, du, IDCANCEL);
}

void set_text(NativeBox &box, int id, const std::string &text) {
    auto it = box.texts.find(id);
    if (it != box.texts.end() && it->second == text) return;
    box.texts[id] = text;
    SetDlgItemTextA(box.frame.get(), id, text.c_str());
}

// Shows the new box in front: the program may well be a console program whose console has
// the focus.
NativeBox &keep(const void *record, HWND frame) {
    auto box = std::make_unique<NativeBox>();
    box->frame.reset(frame);
    NativeBox &kept = *box;
    boxes()[record] = std::move(box);
    return kept;
}

void show(HWND frame) {
    ShowWindow(frame, SW_SHOWNORMAL);
    SetForegroundWindow(frame);
    UpdateWindow(frame);
}

void forget(const void *record) {
    boxes().erase(record);
}

// Back from a box shown over it: the window is active again and has the keyboard focus, so
// that Escape reaches it; a stopped animation plays again.
void reactivated(TXP_WINDOW *window) {
    if (!window->handle) return;
    SetActiveWindow(window->handle);
    SetFocus(window->handle);
    auto *owner = static_cast<TXP_PROG_WINDOW *>(window)->owner;
    NativeBox *box = box_of(owner);
    if (box && box->animated)
        SendMessageA(GetDlgItem(window->handle, ID_ANIMATION), ACM_PLAY, static_cast<WPARAM>(-1),
                     MAKELONG(0, 0xFFFF));
}

// ---- Progress -------------------------------------------------------------------------------

void prog_open(TXP_PROG_T *prog) {
    prog->drawn.visible = fxp_presenter.desktop_visible();
    if (!prog->drawn.visible) return;
    TXP_PROG_LAYOUT l = fxp_prog_layout(*prog, text_width);
    // Centred across the screen, its top at row 19 of the text screen.
    HWND frame = create_frame(prog->title, l.cx, l.cy, CW_USEDEFAULT, px_y(19 * 8));
    if (!frame) {
        prog->drawn.visible = false;
        return;
    }
    NativeBox &box = keep(prog, frame);
    add_control(frame, "BUTTON", DXP_PROG_GROUP, BS_GROUPBOX, 0, l.group, ID_GROUP);
    add_label(frame, DXP_PROG_ESTIMATE, l.estimate_label, ID_ESTIMATE_LABEL);
    add_label(frame, prog->estimate_value.c_str(), l.estimate_value, ID_ESTIMATE_VALUE);
    add_label(frame, DXP_PROG_COMPLETED, l.completed_label, ID_COMPLETED_LABEL);
    add_label(frame, "", l.percent_value, ID_PERCENT_VALUE);
    if (prog->flags & DXP_PROG_STATUS) add_label(frame, "", l.status, ID_STATUS);
    add_control(frame, PROGRESS_CLASSA, "", 0, 0, l.bar, ID_BAR);
    if (prog->cancel_question) add_cancel(frame, l.cancel);
    box.texts[ID_ESTIMATE_VALUE] = prog->estimate_value;
    prog->window.handle = frame;
    prog->window.reactivated = reactivated;
    show(frame);
}

void prog_show(TXP_PROG_T *prog) {
    NativeBox *box = box_of(prog);
    if (box) {
        set_text(*box, ID_ESTIMATE_VALUE, prog->estimate_value);
        set_text(*box, ID_PERCENT_VALUE, prog->percent_value);
        if (prog->flags & DXP_PROG_STATUS) set_text(*box, ID_STATUS, prog->status_line);
        if (prog->bar.high != box->bar.high || prog->bar.position != box->bar.position) {
            HWND bar = GetDlgItem(box->frame.get(), ID_BAR);
            SendMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(prog->bar.high));
            SendMessageA(bar, PBM_SETPOS, prog->bar.position, 0);
            box->bar = prog->bar;
        }
        prog->drawn.shown = true;
        prog->drawn.stale = false;
    }
    pump();
}

// The final state stays up for a moment, so that the operator sees the box finish.
void linger() {
    DWORD start = GetTickCount();
    do {
        pump();
        Sleep(10);
    } while (GetTickCount() - start < 100);
}

void prog_close(TXP_PROG_T *prog) {
    if (!box_of(prog)) return;
    prog_show(prog);
    linger();
    prog->window.handle = nullptr;
    forget(prog);
}

// ---- Wait -----------------------------------------------------------------------------------

void pwin_open(TXP_PWIN_T *pwin) {
    pwin->drawn.visible = fxp_presenter.desktop_visible();
    if (!pwin->drawn.visible) return;
    TXP_PWIN_LAYOUT l = fxp_pwin_layout(*pwin, text_width);
    int left = pwin->column == DXP_PWIN_DEFAULT ? CW_USEDEFAULT : px_x(pwin->column * 4);
    int top = pwin->row == DXP_PWIN_DEFAULT ? CW_USEDEFAULT : px_y(pwin->row * 8);
    HWND frame = create_frame(pwin->title, l.cx, l.cy, left, top);
    if (!frame) {
        pwin->drawn.visible = false;
        return;
    }
    NativeBox &box = keep(pwin, frame);
    // The clip plays in a loop by itself, except in a terminal-services session, where it
    // would only cost bandwidth. A missing clip leaves the area empty.
    bool play = !fxp_terminal_services();
    HWND animation = add_control(frame, ANIMATE_CLASSA, "",
                                 ACS_TRANSPARENT | ACS_CENTER | (play ? ACS_AUTOPLAY : 0), 0,
                                 l.animation, ID_ANIMATION);
    std::string clip = fxi_program_dir() + pwin->animation;
    box.animated = animation && play &&
                   SendMessageA(animation, ACM_OPENA, 0, reinterpret_cast<LPARAM>(clip.c_str()));
    DWORD line_style = ES_READONLY | ES_LEFT | ES_AUTOHSCROLL;
    if (pwin->extra_lines) line_style = ES_READONLY | ES_LEFT | ES_MULTILINE | WS_VSCROLL;
    add_control(frame, "EDIT", "", line_style, 0, l.line, ID_LINE);
    if (pwin->cancel_question) add_cancel(frame, l.cancel);
    pwin->window.handle = frame;
    pwin->window.reactivated = reactivated;
    show(frame);
    // Keys belong to the box, not to its read-only line.
    SetFocus(frame);
}

void pwin_show(TXP_PWIN_T *pwin) {
    if (NativeBox *box = box_of(pwin)) {
        set_text(*box, ID_LINE, pwin->line);
        pwin->drawn.shown = true;
        pwin->drawn.stale = false;
    }
    pump();
}

void pwin_close(TXP_PWIN_T *pwin) {
    if (!box_of(pwin)) return;
    pwin->window.handle = nullptr;
    forget(pwin);
    pump();
}

// ---- Cancel ---------------------------------------------------------------------------------

// Whether the operator asked to cancel the current box since the last test: Escape, its
// Cancel button or its close button. The request is used up; an animation stops while the
// question is asked.
bool cancel_request() {
    pump();
    TXP_WINDOW *current = fxp_window_current();
    NativeBox *box = current && current->handle ? box_of_window(current->handle) : nullptr;
    if (!box || !box->cancel_request) return false;
    box->cancel_request = false;
    if (box->animated) SendMessageA(GetDlgItem(box->frame.get(), ID_ANIMATION), ACM_STOP, 0, 0);
    return true;
}

// ---- Boxes ----------------------------------------------------------------------------------

bool window_desktop_visible() {
    return fxi_desktop_visible();
}

void window_beep(UINT type) {
    MessageBeep(type);
}

int window_box(HWND owner, const char *text, const char *title, UINT style) {
    // A box of its own comes to the front, over the console it may have been started from.
    if (!owner) style |= MB_SETFOREGROUND;
    return MessageBoxA(owner, text, title, style);
}

const TXP_PRESENTER window_presenter = {window_desktop_visible, window_beep, window_box};

} // namespace

HFONT fxp_window_font() {
    return metrics().font.get();
}

int fxp_window_text_width(const char *text) {
    return text_width(text);
}

void fxp_presenter_platform() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    fxp_presenter = window_presenter;
    fxp_tin_presenter = fxp_window_tin_process;
    // The status bar stays on the terminal: the tool has no main window to carry one.
    fxp_prog_view = {prog_open,
                     prog_show,
                     prog_close,
                     pwin_open,
                     pwin_show,
                     pwin_close,
                     fxp_term_prog_view.status_show,
                     cancel_request};
}
