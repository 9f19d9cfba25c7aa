// Prompt pages as modal dialogs on Windows. The dialog is built in memory from the page's
// layout (fxp_tin_dialog_layout, in dialog units of the message font) and run by the system's
// dialog manager, which gives Tab, Enter for the default button, Escape and the buttons' hot
// keys; the page's rules (validation, pending fields, completion checks, the result) stay with
// the page operations, which the dialog calls as the focus moves and buttons are pressed.
#include "kernel/ui/presenter.h"
#include "kernel/ui/tin.h"
#include "kernel/ui/win32/window_metrics.h"

#include <string>
#include <vector>

namespace {

enum : int {
    ID_HELP_LINE = 900,
    ID_FIELD = 1000,  // + index of the field: its control (frame, text, edit box, list)
    ID_LABEL = 2000,  // + index of the field: an entry field's label
    ID_BUTTON = 3000, // + index of the button in the row
};

// Classes of dialog items by their predefined atoms.
enum : WORD {
    ATOM_BUTTON = 0x0080,
    ATOM_EDIT = 0x0081,
    ATOM_STATIC = 0x0082,
    ATOM_COMBOBOX = 0x0085,
};

constexpr const char *page_property = "TXP_TIN_T";
constexpr const char *field_property = "TXP_TIN_ICB";

// ---- The dialog template --------------------------------------------------------------------

// A dialog template in memory: the header, then one item per control, each on a DWORD
// boundary, texts in UTF-16.
class Template {
public:
    void header(DWORD style, WORD items, const TXP_DU_RECT &r, const std::string &title,
                WORD points, const std::string &face) {
        dword(style);
        dword(0);
        count_at_ = words_.size();
        words_.push_back(items);
        rect(r);
        words_.push_back(0); // no menu
        words_.push_back(0); // the dialog class
        text(title);
        words_.push_back(points);
        text(face);
    }

    void item(DWORD style, DWORD ex_style, const TXP_DU_RECT &r, int id, WORD atom,
              const std::string &title) {
        if (words_.size() % 2) words_.push_back(0);
        dword(style);
        dword(ex_style);
        rect(r);
        words_.push_back(static_cast<WORD>(id));
        words_.push_back(0xFFFF);
        words_.push_back(atom);
        text(title);
        words_.push_back(0); // no creation data
        ++items_;
    }

    // The template with its item count, DWORD-aligned as the dialog manager needs it.
    const DLGTEMPLATE *get() {
        words_[count_at_] = items_;
        memory_.assign((words_.size() + 1) / 2, 0);
        CopyMemory(memory_.data(), words_.data(), words_.size() * sizeof(WORD));
        return reinterpret_cast<const DLGTEMPLATE *>(memory_.data());
    }

private:
    std::vector<WORD> words_;
    std::vector<DWORD> memory_;
    size_t count_at_ = 0;
    WORD items_ = 0;

    void dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void rect(const TXP_DU_RECT &r) {
        for (int v : {r.x, r.y, r.cx, r.cy})
            words_.push_back(static_cast<WORD>(static_cast<short>(v)));
    }
    void text(const std::string &ansi) {
        if (!ansi.empty()) {
            int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                        nullptr, 0);
            std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
            if (n > 0)
                MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                    wide.data(), n);
            for (wchar_t ch : wide) words_.push_back(static_cast<WORD>(ch));
        }
        words_.push_back(0);
    }
};

// The screen's device context, given back when it goes.
class ScreenDc {
public:
    ScreenDc() : dc_(GetDC(nullptr)) {}
    ~ScreenDc() {
        if (dc_) ReleaseDC(nullptr, dc_);
    }
    ScreenDc(const ScreenDc &) = delete;
    ScreenDc &operator=(const ScreenDc &) = delete;
    HDC get() const { return dc_; }

private:
    HDC dc_;
};

// The message font as the template names it: face and size in points.
void template_font(std::string *face, WORD *points) {
    *face = "MS Shell Dlg";
    *points = 8;
    LOGFONTA lf{};
    HFONT font = fxp_window_font();
    if (!font || !GetObjectA(font, sizeof lf, &lf)) return;
    ScreenDc dc;
    int dpi = dc.get() ? GetDeviceCaps(dc.get(), LOGPIXELSY) : 96;
    int height = lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
    if (height > 0) *points = static_cast<WORD>(MulDiv(height, 72, dpi));
    *face = lf.lfFaceName;
}

const char *label_of(const TXP_TIN_ICB &field) {
    return field.label ? field.label : "";
}

// ---- The running dialog ---------------------------------------------------------------------

struct PageDialog {
    TXP_TIN_T *page = nullptr;
    HWND window = nullptr;
    // Set while the page's own work runs (a message box may be up): focus changes that the
    // dialog manager makes meanwhile are not the operator's.
    bool busy = false;
};

PageDialog *dialog_of(HWND window) {
    return reinterpret_cast<PageDialog *>(GetWindowLongPtrA(window, DWLP_USER));
}

// The control that takes the focus for field `index`: its edit box or list, or the default
// button of a button row (else the row's first button).
HWND control_of(const PageDialog &d, int index) {
    if (index < 0 || index >= d.page->count) return nullptr;
    const TXP_TIN_ICB &field = d.page->work[index];
    if (fxp_tin_kind(field) != DXP_TIN_BUTTONS) return GetDlgItem(d.window, ID_FIELD + index);
    const auto &buttons = field.control->buttons;
    for (size_t k = 0; k < buttons.size(); ++k)
        if (buttons[k].flags & DXP_TIN_DEFAULT_BUTTON)
            return GetDlgItem(d.window, ID_BUTTON + static_cast<int>(k));
    return GetDlgItem(d.window, ID_BUTTON);
}

int row_index(const PageDialog &d) {
    return d.page->button_row ? static_cast<int>(d.page->button_row - d.page->work) : -1;
}

// Fields become usable or unusable as their activity checks answer after a change.
void show_states(const PageDialog &d) {
    for (int i = 0; i < d.page->count; ++i) {
        TXP_TIN_FIELD_KIND kind = fxp_tin_kind(d.page->work[i]);
        bool usable = fxp_tin_usable(d.page, i);
        if (kind == DXP_TIN_TEXT || kind == DXP_TIN_TOGGLE) {
            EnableWindow(GetDlgItem(d.window, ID_FIELD + i), usable);
            EnableWindow(GetDlgItem(d.window, ID_LABEL + i), d.page->work[i].control->active);
        } else if (kind == DXP_TIN_BUTTONS) {
            for (size_t k = 0; k < d.page->work[i].control->buttons.size(); ++k)
                EnableWindow(GetDlgItem(d.window, ID_BUTTON + static_cast<int>(k)), usable);
        }
    }
}

void show_help(const PageDialog &d) {
    int focus = d.page->focus;
    const char *help = focus >= 0 && focus < d.page->count ? d.page->work[focus].help : nullptr;
    SetDlgItemTextA(d.window, ID_HELP_LINE, help ? help : "");
}

// The focus goes where the page has it (after a failed check, to the failing field).
void focus_page_field(const PageDialog &d) {
    if (HWND control = control_of(d, d.page->focus))
        SendMessageA(d.window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    show_help(d);
}

void reactivated(TXP_WINDOW *window) {
    if (!window->handle) return;
    SetActiveWindow(window->handle);
    if (PageDialog *d = dialog_of(window->handle)) {
        d->window = window->handle;
        focus_page_field(*d);
    }
}

// The operator moved the focus to field `index`: the field left is taken first; when its
// typed value fails, the focus goes back to it.
void focus_moved(PageDialog &d, int index) {
    if (d.busy || index == d.page->focus) return;
    d.busy = true;
    if (fxp_tin_leave(d.page, d.page->focus, DXP_TIN_LEAVE_MOVE)) {
        fxp_tin_enter(d.page, index);
        show_help(d);
    } else {
        focus_page_field(d);
    }
    show_states(d);
    d.busy = false;
}

void finish(PageDialog &d, bool closed) {
    if (closed) {
        EndDialog(d.window, 1);
        return;
    }
    focus_page_field(d);
    show_states(d);
}

void press(PageDialog &d, uint16_t value) {
    if (d.busy) return;
    d.busy = true;
    bool closed = fxp_tin_press(d.page, value);
    d.busy = false;
    finish(d, closed);
}

// Enter where no button is the default, or on a page without buttons.
void complete(PageDialog &d) {
    if (d.busy) return;
    if (const TXP_TIN_BUTTON *button = fxp_tin_default_button(d.page)) {
        press(d, button->value);
        return;
    }
    if (d.page->button_row) return;
    d.busy = true;
    bool closed = fxp_tin_complete(d.page);
    d.busy = false;
    finish(d, closed);
}

void init_dialog(PageDialog &d) {
    TXP_TIN_T *page = d.page;
    SetPropA(d.window, page_property, page);
    page->window.handle = d.window;
    page->window.reactivated = reactivated;
    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        HWND control = GetDlgItem(d.window, ID_FIELD + i);
        if (control) SetPropA(control, field_property, &field);
        switch (fxp_tin_kind(field)) {
        case DXP_TIN_TEXT:
            SendMessageA(control, EM_LIMITTEXT, field.length, 0);
            SetWindowTextA(control, field.control->text.c_str());
            break;
        case DXP_TIN_TOGGLE:
            for (const TXP_TIN_ITEM &item : field.control->items)
                SendMessageA(control, CB_ADDSTRING, 0,
                             reinterpret_cast<LPARAM>(item.label.c_str()));
            SendMessageA(control, CB_SETCURSEL, field.control->selected, 0);
            break;
        case DXP_TIN_BUTTONS: {
            const auto &buttons = field.control->buttons;
            for (size_t k = 0; k < buttons.size(); ++k) {
                HWND button = GetDlgItem(d.window, ID_BUTTON + static_cast<int>(k));
                SetPropA(button, field_property, &field);
                if (buttons[k].flags & DXP_TIN_DEFAULT_BUTTON)
                    SendMessageA(d.window, DM_SETDEFID, ID_BUTTON + k, 0);
            }
            break;
        }
        default:
            break;
        }
    }
    show_states(d);
    int first = fxp_tin_next_field(page, -1, 1);
    fxp_tin_enter(page, first);
    // Shown in front: the program may have been started from a console that has the focus.
    SetForegroundWindow(d.window);
    focus_page_field(d);
}

void forget_properties(const PageDialog &d) {
    RemovePropA(d.window, page_property);
    for (int i = 0; i < d.page->count; ++i) {
        if (HWND control = GetDlgItem(d.window, ID_FIELD + i)) RemovePropA(control, field_property);
        if (fxp_tin_kind(d.page->work[i]) != DXP_TIN_BUTTONS) continue;
        for (size_t k = 0; k < d.page->work[i].control->buttons.size(); ++k)
            RemovePropA(GetDlgItem(d.window, ID_BUTTON + static_cast<int>(k)), field_property);
    }
}

void command(PageDialog &d, int id, int code, HWND control) {
    TXP_TIN_T *page = d.page;
    if (id == IDCANCEL) {
        // Escape, and closing the page by its title bar.
        if (d.busy) return;
        fxp_tin_escape(page);
        EndDialog(d.window, 0);
        return;
    }
    if (id == IDOK) {
        complete(d);
        return;
    }
    if (id >= ID_BUTTON && page->button_row) {
        size_t k = static_cast<size_t>(id - ID_BUTTON);
        const auto &buttons = page->button_row->control->buttons;
        if (k >= buttons.size()) return;
        if (code == BN_SETFOCUS) focus_moved(d, row_index(d));
        if (code == BN_CLICKED) press(d, buttons[k].value);
        return;
    }
    if (id < ID_FIELD || id >= ID_FIELD + page->count) return;
    int index = id - ID_FIELD;
    switch (code) {
    case EN_CHANGE: {
        // The page keeps the text as typed; it is checked when the field is left.
        std::string text(page->work[index].length + 1u, '\0');
        int n = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
        text.resize(static_cast<size_t>(n > 0 ? n : 0));
        page->work[index].control->text = text;
        break;
    }
    case CBN_SELCHANGE: {
        LRESULT item = SendMessageA(control, CB_GETCURSEL, 0, 0);
        if (item >= 0) fxp_tin_select(page, index, static_cast<size_t>(item));
        break;
    }
    case EN_SETFOCUS:
    case CBN_SETFOCUS:
        focus_moved(d, index);
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK page_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto *d = reinterpret_cast<PageDialog *>(lparam);
        d->window = window;
        SetWindowLongPtrA(window, DWLP_USER, lparam);
        init_dialog(*d);
        return FALSE; // the focus is set
    }
    PageDialog *d = dialog_of(window);
    if (!d) return FALSE;
    switch (message) {
    case WM_COMMAND:
        command(*d, LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
        return TRUE;
    case WM_DESTROY:
        forget_properties(*d);
        d->page->window.handle = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

// ---- Building the dialog --------------------------------------------------------------------

void add_fields(Template &t, const TXP_TIN_T *page, const TXP_TIN_DIALOG_LAYOUT &l) {
    for (int i = 0; i < page->count; ++i) {
        const TXP_TIN_ICB &field = page->work[i];
        const TXP_TIN_FIELD_RECT &r = l.fields[static_cast<size_t>(i)];
        if (!r.shown) continue;
        constexpr DWORD child = WS_CHILD | WS_VISIBLE;
        switch (fxp_tin_kind(field)) {
        case DXP_TIN_GROUP:
            t.item(child | BS_GROUPBOX, 0, r.label, ID_FIELD + i, ATOM_BUTTON, label_of(field));
            break;
        case DXP_TIN_TEXT:
            t.item(child | SS_LEFT | SS_NOPREFIX, 0, r.label, ID_LABEL + i, ATOM_STATIC,
                   label_of(field));
            t.item(child | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, r.entry, ID_FIELD + i,
                   ATOM_EDIT, "");
            break;
        case DXP_TIN_TOGGLE: {
            t.item(child | SS_LEFT | SS_NOPREFIX, 0, r.label, ID_LABEL + i, ATOM_STATIC,
                   label_of(field));
            // The height of a drop-down list is that of the list when it is open.
            TXP_DU_RECT list = r.entry;
            list.cy += DXP_TIN_LIST_ROWS * DXP_TIN_TEXT_HEIGHT + 2;
            t.item(child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, list, ID_FIELD + i,
                   ATOM_COMBOBOX, "");
            break;
        }
        case DXP_TIN_BUTTONS: {
            const auto &buttons = field.control->buttons;
            for (size_t k = 0; k < buttons.size() && k < r.buttons.size(); ++k) {
                DWORD style = child | WS_TABSTOP | BS_NOTIFY |
                              ((buttons[k].flags & DXP_TIN_DEFAULT_BUTTON) ? BS_DEFPUSHBUTTON
                                                                           : BS_PUSHBUTTON);
                if (k == 0) style |= WS_GROUP;
                t.item(style, 0, r.buttons[k], ID_BUTTON + static_cast<int>(k), ATOM_BUTTON,
                       buttons[k].label);
            }
            break;
        }
        default:
            t.item(child | SS_LEFT | SS_NOPREFIX, 0, r.label, ID_FIELD + i, ATOM_STATIC,
                   label_of(field));
            break;
        }
    }
    if (l.help.cx > 0)
        t.item(WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, l.help, ID_HELP_LINE, ATOM_STATIC,
               "");
}

} // namespace

uint16_t fxp_window_tin_process(TXP_TIN_T *page, uint16_t) {
    TXP_TIN_DIALOG_LAYOUT l = fxp_tin_dialog_layout(page, fxp_window_text_width);
    std::string face;
    WORD points = 8;
    template_font(&face, &points);
    Template t;
    t.header(DS_SETFONT | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION |
                 WS_SYSMENU,
             0, {0, 0, l.cx, l.cy}, page->caption, points, face);
    add_fields(t, page, l);

    PageDialog d;
    d.page = page;
    INT_PTR shown = DialogBoxIndirectParamA(GetModuleHandleA(nullptr), t.get(), nullptr,
                                            page_procedure, reinterpret_cast<LPARAM>(&d));
    if (shown == -1) {
        // No dialog: nobody could answer, as when no operator is there.
        fxp_tin_escape(page);
    }
    page->window.handle = nullptr;
    return DXP_TIN_CMD_DONE;
}
