// A prompt page's life: opening (working copy, defaults, button row, activity and quiet
// checks), the operations the presenter drives (entering and leaving fields, choosing,
// pressing buttons, Escape, completion), closing, and the page's layout as lines of text.
#include "kernel/ui/presenter.h"
#include "kernel/ui/tin.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

uint16_t (*fxp_tin_presenter)(TXP_TIN_T *page, uint16_t command) = fxp_term_tin_process;

namespace {

// Room of the title bar beside the caption: the icon and three buttons, in character cells.
constexpr size_t title_bar_extra = 12;
constexpr uint16_t min_button_width = 8;

TXP_TIN_CTRL &ctrl(const TXP_TIN_T *page, int index) {
    return *page->work[index].control;
}

std::string_view stored_value(const TXP_TIN_ICB &field) {
    size_t length = field.value ? field.length : 0;
    while (length > 0 && (field.value[length - 1] == ' ' || field.value[length - 1] == '\0'))
        --length;
    return {field.value, length};
}

// Writes a text into the field's buffer, cut to its length and padded with blanks.
void store(TXP_TIN_ICB &field, std::string_view text) {
    if (!field.value) return;
    size_t n = std::min<size_t>(text.size(), field.length);
    std::memcpy(field.value, text.data(), n);
    std::memset(field.value + n, ' ', field.length - n);
}

bool editable(const TXP_TIN_T *page, const TXP_TIN_ICB &field) {
    if (field.flags & DXP_TIN_DISPLAY_ONLY) return false;
    return !(page->flags & DXP_TIN_READ_ONLY) || (field.flags & DXP_TIN_ALWAYS_USABLE);
}

void show_message(const TXP_TIN_T *page, const char *text) {
    if (!page->quiet) fxp_msg_error(text);
}

void read_toggle(TXP_TIN_T *page, TXP_TIN_ICB &field) {
    TXP_TIN_CTRL &c = *field.control;
    TXP_TIN_TOGGLE item;
    for (const char *at = field.spec; at && *at;) {
        at = fxp_tin_toggle_next(at, &item, page->quiet);
        if (!at) break;
        if (item.label_length > DXP_TIN_TOGGLE_LABEL_MAX) {
            show_message(page, DXP_TIN_MSG_TOGGLE);
            break;
        }
        c.items.push_back({std::string(item.label, item.label_length),
                           std::string(item.value, item.value_length)});
    }
}

// The item whose value equals the field's value, else the first.
void preselect(TXP_TIN_ICB &field) {
    TXP_TIN_CTRL &c = *field.control;
    std::string_view value = stored_value(field);
    c.selected = 0;
    for (size_t i = 0; i < c.items.size(); ++i) {
        if (c.items[i].value == value) {
            c.selected = i;
            return;
        }
    }
}

// After an accepted change of a field flagged DXP_TIN_REFRESH_GROUP, the fields of its group
// ask their activity checks again.
void refresh_group(TXP_TIN_T *page, const TXP_TIN_ICB &changed) {
    if (!(changed.flags & DXP_TIN_REFRESH_GROUP)) return;
    bool any = false;
    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        if (field.group != changed.group) continue;
        bool active = !field.active || field.active(page, &field);
        if (active != field.control->active) any = true;
        field.control->active = active;
        if (field.handler) field.handler(page, &field, DXP_TIN_CMD_REFRESH);
    }
    if (any) ++page->refreshed;
}

// A typed text: checked against the validation string, then stored blank-padded.
bool accept_text(TXP_TIN_T *page, TXP_TIN_ICB &field, const char *failure) {
    TXP_TIN_CTRL &c = *field.control;
    if (!fxp_tin_validate(field.type, field.spec, c.text.data(), c.text.size(), page->quiet)) {
        show_message(page, failure);
        return false;
    }
    bool changed = stored_value(field) != std::string_view(c.text);
    store(field, c.text);
    field.flags &= ~DXP_TIN_PENDING;
    c.entered = c.text;
    if (changed) refresh_group(page, field);
    return true;
}

bool accept_toggle(TXP_TIN_T *page, TXP_TIN_ICB &field) {
    TXP_TIN_CTRL &c = *field.control;
    if (c.items.empty()) return true;
    // The chosen label is looked up again, so of two equal labels the first one's value wins.
    const std::string &label = c.items[std::min(c.selected, c.items.size() - 1)].label;
    const TXP_TIN_ITEM *chosen = &c.items[0];
    for (const TXP_TIN_ITEM &item : c.items) {
        if (item.label == label) {
            chosen = &item;
            break;
        }
    }
    std::string_view value(chosen->value);
    value = value.substr(0, std::min<size_t>(value.size(), field.length));
    bool changed = stored_value(field) != value;
    store(field, value);
    if (changed) refresh_group(page, field);
    return true;
}

// Every active, editable field flagged DXP_TIN_VALIDATE, in table order; the first failure
// takes the focus.
bool completion_checks(TXP_TIN_T *page) {
    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        if (!(field.flags & DXP_TIN_VALIDATE) || !field.control->active || !editable(page, field) ||
            fxp_tin_kind(field) != DXP_TIN_TEXT)
            continue;
        bool ok;
        if (field.flags & DXP_TIN_PENDING) {
            ok = accept_text(page, field, page->invalid_message);
        } else {
            std::string_view value = stored_value(field);
            ok = fxp_tin_validate(field.type, field.spec, value.data(), value.size(), page->quiet);
            if (!ok) show_message(page, page->required_message);
        }
        if (!ok) {
            fxp_tin_enter(page, i);
            return false;
        }
    }
    return true;
}

} // namespace

// ---- Kinds and handlers ---------------------------------------------------------------------

TXP_TIN_FIELD_KIND fxp_tin_kind(const TXP_TIN_ICB &field) {
    if (field.kind == 'T' && field.type == 'L') return DXP_TIN_TOGGLE;
    if (field.kind != 'K') return DXP_TIN_OTHER;
    switch (field.type) {
    case 'P':
        return DXP_TIN_PROMPT;
    case 'Z':
        if (field.handler == fxp_tin_group) return DXP_TIN_GROUP;
        if (field.handler == fxp_tin_buttons) return DXP_TIN_BUTTONS;
        return DXP_TIN_OTHER;
    case 'B':
    case 'D':
    case 'L':
    case 'N':
    case 'R':
    case 'V':
        return DXP_TIN_TEXT;
    default:
        return DXP_TIN_OTHER;
    }
}

size_t fxp_tin_shown_width(const TXP_TIN_ICB &field) {
    if (field.width) return field.width;
    return std::clamp<size_t>(field.length, 1, DXP_TIN_WIDEST_ENTRY);
}

TXP_TIN_TEXT_VIEW fxp_tin_text_view(const std::string &text, size_t cursor, size_t width) {
    TXP_TIN_TEXT_VIEW view;
    width = std::max<size_t>(width, 1);
    cursor = std::min(cursor, text.size());
    // The cursor may sit after the last character, which needs a cell of its own.
    size_t first = cursor < width ? 0 : cursor - width + 1;
    view.cells = text.substr(first, width);
    for (char &c : view.cells)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '|';
    view.cells.resize(width, ' ');
    view.cursor_column = cursor - first;
    return view;
}

uint16_t fxp_tin_group(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t command) {
    if (command != DXP_TIN_CMD_CREATE) return 0;
    // The frame holds the fields that follow, up to the next group caption or button row.
    int self = static_cast<int>(field - page->work);
    uint16_t owned = 0;
    for (int i = self + 1; i < page->count; ++i) {
        TXP_TIN_FIELD_KIND kind = fxp_tin_kind(page->work[i]);
        if (kind == DXP_TIN_GROUP || kind == DXP_TIN_BUTTONS) break;
        ++owned;
    }
    field->control->owned = owned;
    return 0;
}

uint16_t fxp_tin_buttons(TXP_TIN_T *page, TXP_TIN_ICB *field, uint16_t command) {
    TXP_TIN_CTRL &c = *field->control;
    if (command == DXP_TIN_CMD_DESTROY) {
        c.buttons.clear();
        if (page->button_row == field) page->button_row = nullptr;
        return 0;
    }
    if (command != DXP_TIN_CMD_CREATE) return 0;
    TXP_TIN_TOGGLE item;
    if (page->result == 0) {
        fxp_tin_toggle_next(field->spec, &item, true);
        page->result = fxp_tin_button_value(item.value, item.value_length);
    }
    size_t widest = 0;
    for (const char *at = field->spec; at && *at;) {
        at = fxp_tin_toggle_next(at, &item, page->quiet);
        if (!at) break;
        if (item.label_length > DXP_TIN_BUTTON_LABEL_MAX) {
            show_message(page, DXP_TIN_MSG_TOGGLE);
            break;
        }
        TXP_TIN_BUTTON button;
        button.label.assign(item.label, item.label_length);
        button.value = fxp_tin_button_value(item.value, item.value_length);
        widest = std::max(widest, fxp_tin_button_text(button.label).size());
        c.buttons.push_back(std::move(button));
    }
    c.button_width = static_cast<uint16_t>(std::max<size_t>(widest + 2, min_button_width));
    for (TXP_TIN_BUTTON &button : c.buttons) {
        if (button.value == page->result) {
            button.flags |= DXP_TIN_DEFAULT_BUTTON;
            break;
        }
    }
    page->button_row = field;
    return 0;
}

bool fxp_tin_buttons_exit(TXP_TIN_T *, TXP_TIN_ICB *, uint16_t value) {
    // Values of 1000 and above are command buttons; 0 abandons the page.
    return value >= 1 && value <= 999;
}

// ---- Opening and closing --------------------------------------------------------------------

TXP_TIN_T::~TXP_TIN_T() {
    fxp_tin_close(this);
}

bool fxp_tin_open(TXP_TIN_T *page, const char *caption) {
    if (!page) return false;
    fxp_tin_close(page);
    if (!page->fields || page->count == 0 || page->count > DXP_TIN_MAX_FIELDS) {
        fxp_msg_error(DXP_TIN_MSG_FIELD_COUNT);
        return false;
    }
    if (!page->invalid_message) page->invalid_message = DXP_TIN_MSG_INVALID;
    if (!page->required_message) page->required_message = DXP_TIN_MSG_REQUIRED;
    if (!page->too_many_decimals_message)
        page->too_many_decimals_message = DXP_TIN_MSG_TOO_MANY_DECIMALS;
    if (!page->too_few_decimals_message)
        page->too_few_decimals_message = DXP_TIN_MSG_TOO_FEW_DECIMALS;
    page->result = page->default_result;
    page->button_row = nullptr;
    page->caption = caption ? caption : "";
    page->focus = -1;
    page->refreshed = 0;

    // The caller's records are only read: the page works on its own copy.
    page->work = new TXP_TIN_ICB[page->count];
    for (int i = 0; i < page->count; ++i) {
        page->work[i] = page->fields[i];
        page->work[i].control = new TXP_TIN_CTRL;
    }
    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        if (field.handler) field.handler(page, &field, DXP_TIN_CMD_CREATE);
        switch (fxp_tin_kind(field)) {
        case DXP_TIN_TOGGLE:
            read_toggle(page, field);
            break;
        case DXP_TIN_TEXT:
            field.control->text = std::string(stored_value(field));
            break;
        default:
            break;
        }
    }

    page->window.page = page;
    fxp_window_push(&page->window);

    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        TXP_TIN_CTRL &c = *field.control;
        c.active = !field.active || field.active(page, &field);
        if (fxp_tin_kind(field) == DXP_TIN_TOGGLE) preselect(field);
        if (field.flags & DXP_TIN_QUIET_CHECK && fxp_tin_kind(field) == DXP_TIN_TEXT) {
            std::string_view value = stored_value(field);
            c.valid = fxp_tin_validate(field.type, field.spec, value.data(), value.size(), true);
        }
        if (field.handler) field.handler(page, &field, DXP_TIN_CMD_SHOW);
    }
    return true;
}

void fxp_tin_close(TXP_TIN_T *page) {
    if (!page || !page->work) return;
    for (int i = 0; i < page->count; ++i) {
        TXP_TIN_ICB &field = page->work[i];
        if (field.handler) field.handler(page, &field, DXP_TIN_CMD_DESTROY);
        delete field.control;
    }
    delete[] page->work;
    page->work = nullptr;
    page->button_row = nullptr;
    page->focus = -1;
    fxp_window_pop(&page->window);
    fxp_window_reactivate();
}

uint16_t fxp_tin_process(TXP_TIN_T *page, uint16_t command) {
    return fxp_tin_presenter(page, command);
}

uint16_t fxp_tin_run(TXP_TIN_T *page, uint16_t command) {
    while (command != DXP_TIN_CMD_DONE) command = fxp_tin_process(page, command);
    return page->result;
}

uint16_t fxp_tin_prompt(TXP_TIN_T *page, const char *caption) {
    if (!fxp_tin_open(page, caption)) return 0;
    if (fxp_presenter.desktop_visible())
        fxp_tin_run(page, DXP_TIN_CMD_FIRST);
    else
        fxp_tin_escape(page); // nobody can answer: as a careful operator's Escape
    uint16_t result = page->result;
    fxp_tin_close(page);
    return result;
}

// ---- Operations -----------------------------------------------------------------------------

bool fxp_tin_usable(const TXP_TIN_T *page, int index) {
    if (!page->work || index < 0 || index >= page->count) return false;
    const TXP_TIN_ICB &field = page->work[index];
    if (!field.control->active || !editable(page, field)) return false;
    switch (fxp_tin_kind(field)) {
    case DXP_TIN_TEXT:
        return true;
    case DXP_TIN_TOGGLE:
        return !field.control->items.empty();
    case DXP_TIN_BUTTONS:
        return !field.control->buttons.empty();
    default:
        return false;
    }
}

int fxp_tin_next_field(const TXP_TIN_T *page, int from, int step) {
    for (int i = from + step; i >= 0 && i < page->count; i += step)
        if (fxp_tin_usable(page, i)) return i;
    return -1;
}

void fxp_tin_enter(TXP_TIN_T *page, int index) {
    page->focus = index;
    if (index < 0 || index >= page->count) return;
    TXP_TIN_CTRL &c = ctrl(page, index);
    c.entered = c.text;
}

bool fxp_tin_leave(TXP_TIN_T *page, int index, TXP_TIN_LEAVE how) {
    if (index < 0 || index >= page->count || how == DXP_TIN_LEAVE_ESCAPE) return true;
    TXP_TIN_ICB &field = page->work[index];
    switch (fxp_tin_kind(field)) {
    case DXP_TIN_TOGGLE:
        return accept_toggle(page, field);
    case DXP_TIN_TEXT: {
        TXP_TIN_CTRL &c = *field.control;
        if (c.text == c.entered) {
            // Unchanged text is not tested now; completing the page tests it.
            if (how == DXP_TIN_LEAVE_MOVE) field.flags |= DXP_TIN_PENDING;
            return true;
        }
        return accept_text(page, field, page->invalid_message);
    }
    default:
        return true;
    }
}

void fxp_tin_select(TXP_TIN_T *page, int index, size_t item) {
    if (index < 0 || index >= page->count) return;
    TXP_TIN_CTRL &c = ctrl(page, index);
    if (item < c.items.size()) c.selected = item;
}

bool fxp_tin_press(TXP_TIN_T *page, uint16_t value) {
    page->result = value;
    TXP_TIN_ICB *row = page->button_row;
    bool checks = row && row->exit_check ? row->exit_check(page, row, value)
                                         : fxp_tin_buttons_exit(page, row, value);
    if (!checks) {
        fxp_tin_leave(page, page->focus, DXP_TIN_LEAVE_ESCAPE);
        return true;
    }
    if (!fxp_tin_leave(page, page->focus, DXP_TIN_LEAVE_COMPLETE)) return false;
    return completion_checks(page);
}

bool fxp_tin_complete(TXP_TIN_T *page) {
    if (!fxp_tin_leave(page, page->focus, DXP_TIN_LEAVE_COMPLETE)) return false;
    if (!completion_checks(page)) return false;
    page->result = 1;
    return true;
}

void fxp_tin_escape(TXP_TIN_T *page) {
    fxp_tin_leave(page, page->focus, DXP_TIN_LEAVE_ESCAPE);
    if (page->result < 1000) page->result = 0;
}

const TXP_TIN_BUTTON *fxp_tin_default_button(const TXP_TIN_T *page) {
    if (!page->button_row) return nullptr;
    for (const TXP_TIN_BUTTON &button : page->button_row->control->buttons)
        if (button.flags & DXP_TIN_DEFAULT_BUTTON) return &button;
    return nullptr;
}

// ---- Layout ---------------------------------------------------------------------------------

namespace {

const char *label_of(const TXP_TIN_ICB &field) {
    return field.label ? field.label : "";
}

// The lines one field shows (group captions and button rows are drawn by the layout itself).
std::vector<std::string> field_lines(const TXP_TIN_ICB &field) {
    const TXP_TIN_CTRL &c = *field.control;
    std::string off = c.active ? "" : " (unavailable)";
    std::vector<std::string> lines;
    switch (fxp_tin_kind(field)) {
    case DXP_TIN_TOGGLE:
        lines.push_back(std::string(label_of(field)) + ":" + off);
        for (size_t i = 0; i < c.items.size(); ++i) {
            std::string line = i == c.selected ? "  * " : "    ";
            line += std::to_string(i + 1) + "  " + c.items[i].label;
            lines.push_back(std::move(line));
        }
        break;
    case DXP_TIN_TEXT: {
        std::string shown = fxp_tin_text_view(c.text, 0, fxp_tin_shown_width(field)).cells;
        lines.push_back(std::string(label_of(field)) + ": [" + shown + "]" + off);
        break;
    }
    default:
        lines.push_back(std::string(label_of(field)) + off);
        break;
    }
    return lines;
}

// The row(s) of buttons: each its number and its label centred in the common width.
std::vector<std::string> button_lines(const TXP_TIN_ICB &field) {
    const TXP_TIN_CTRL &c = *field.control;
    std::vector<std::string> lines(1);
    size_t inner = c.button_width > 2 ? c.button_width - 2u : 0;
    for (size_t i = 0; i < c.buttons.size(); ++i) {
        if (i > 0 && field.per_row && i % field.per_row == 0) lines.emplace_back();
        std::string text = fxp_tin_button_text(c.buttons[i].label);
        size_t pad = inner > text.size() ? inner - text.size() : 0;
        std::string &line = lines.back();
        if (!line.empty()) line += "  ";
        line += std::to_string(i + 1) + "[" + std::string(pad / 2, ' ') + text +
                std::string(pad - pad / 2, ' ') + "]";
    }
    return lines;
}

std::vector<std::string> frame(const std::string &caption, const std::vector<std::string> &inside) {
    size_t width = caption.size() + 4; // at least as wide as its caption
    for (const std::string &line : inside) width = std::max(width, line.size());
    std::vector<std::string> lines;
    std::string top = "+- " + caption + " ";
    lines.push_back(top + std::string(width + 4 - top.size() - 1, '-') + "+");
    for (const std::string &line : inside)
        lines.push_back("| " + line + std::string(width - line.size(), ' ') + " |");
    lines.push_back("+" + std::string(width + 2, '-') + "+");
    return lines;
}

} // namespace

std::vector<std::string> fxp_tin_layout(const TXP_TIN_T *page, size_t *width) {
    std::vector<std::string> body;
    for (int i = 0; page->work && i < page->count; ++i) {
        const TXP_TIN_ICB &field = page->work[i];
        TXP_TIN_FIELD_KIND kind = fxp_tin_kind(field);
        if (kind == DXP_TIN_BUTTONS) {
            for (std::string &line : button_lines(field)) body.push_back(std::move(line));
        } else if (kind == DXP_TIN_GROUP) {
            std::vector<std::string> inside;
            int owned = field.control->owned;
            for (int j = i + 1; j <= i + owned; ++j)
                for (std::string &line : field_lines(page->work[j])) inside.push_back(line);
            // A group without fields is not shown.
            if (owned > 0)
                for (std::string &line : frame(label_of(field), inside))
                    body.push_back(std::move(line));
            i += owned;
        } else {
            for (std::string &line : field_lines(field)) body.push_back(std::move(line));
        }
    }
    size_t page_width = page->caption.size() + title_bar_extra;
    for (const std::string &line : body) page_width = std::max(page_width, line.size());
    if (width) *width = page_width;
    std::vector<std::string> lines;
    std::string title = "== " + page->caption + " ";
    lines.push_back(title +
                    std::string(page_width > title.size() ? page_width - title.size() : 0, '='));
    lines.insert(lines.end(), body.begin(), body.end());
    return lines;
}
