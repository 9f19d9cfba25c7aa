// Prompt pages on a terminal: the page is printed once, then the focused field is edited on
// a line of its own. Enter accepts a field and moves on; past the last field it presses the
// default button. A choice field takes an item's number, a text field is typed with editing,
// buttons answer to their number or hot key, Escape leaves the page.
#include "kernel/ui/presenter.h"
#include "kernel/ui/tin.h"

#include <cctype>
#include <string>

int (*fxp_term_tin_key)() = fxp_term_read_key;

namespace {

constexpr const char *erase_rest = "\x1b[K";

// The operator's work on the focused field that is not yet the field's.
struct Editing {
    size_t cursor = 0;  // text field: insertion point
    std::string digits; // choice field: the item number typed so far
};

const char *label_of(const TXP_TIN_ICB &field) {
    return field.label ? field.label : "";
}

// The focused field's line and how far the cursor goes back from its end.
std::string field_line(const TXP_TIN_T *page, int index, const Editing &editing, size_t *back) {
    *back = 0;
    if (index < 0) {
        return page->button_row ? std::string() : std::string("Enter: done, Escape: cancel");
    }
    const TXP_TIN_ICB &field = page->work[index];
    const TXP_TIN_CTRL &c = *field.control;
    std::string line = label_of(field);
    switch (fxp_tin_kind(field)) {
    case DXP_TIN_TEXT: {
        // A long text scrolls within the field's room, so the line never wraps and the
        // cursor can be put back on it.
        size_t width = fxp_tin_shown_width(field);
        TXP_TIN_TEXT_VIEW view = fxp_tin_text_view(c.text, editing.cursor, width);
        line += ": [" + view.cells + "]";
        *back = width - view.cursor_column + 1;
        break;
    }
    case DXP_TIN_TOGGLE:
        line += " [1-" + std::to_string(c.items.size()) + "]: ";
        if (!editing.digits.empty()) line += editing.digits + " = ";
        line += c.items[c.selected].label;
        break;
    case DXP_TIN_BUTTONS: {
        line = "Button [1-" + std::to_string(c.buttons.size()) + "]";
        if (const TXP_TIN_BUTTON *button = fxp_tin_default_button(page))
            line += ", Enter: " + fxp_tin_button_text(button->label);
        line += ": ";
        break;
    }
    default:
        break;
    }
    return line;
}

class TermPage {
public:
    explicit TermPage(TXP_TIN_T *page) : page_(page) {}

    void run() {
        fxp_term_line("");
        for (const std::string &line : fxp_tin_layout(page_)) fxp_term_line(line);
        enter(fxp_tin_next_field(page_, -1, 1));
        for (;;) {
            draw();
            if (key(fxp_term_tin_key())) break;
        }
        draw();
        fxp_term_line("");
    }

private:
    TXP_TIN_T *page_;
    int focus_ = -1;
    Editing editing_;

    TXP_TIN_CTRL *control() const { return focus_ >= 0 ? page_->work[focus_].control : nullptr; }

    void draw() const {
        size_t back = 0;
        std::string out = "\r" + field_line(page_, focus_, editing_, &back) + erase_rest;
        if (back) out += "\x1b[" + std::to_string(back) + "D";
        fxp_term_write(out);
    }

    void enter(int index) {
        fxp_tin_enter(page_, index);
        focus_ = index;
        editing_ = Editing{};
        if (TXP_TIN_CTRL *c = control()) editing_.cursor = c->text.size();
        if (index >= 0 && page_->work[index].help) fxp_term_line(page_->work[index].help);
    }

    // The field's line stays as it was last shown; the next field starts on a new line.
    void next_line() {
        draw();
        fxp_term_line("");
    }

    // Moves the focus by `step`; true when that ended the page.
    bool move(int step) {
        if (!fxp_tin_leave(page_, focus_, DXP_TIN_LEAVE_MOVE)) return false;
        editing_.digits.clear();
        int next = fxp_tin_next_field(page_, focus_, step);
        if (next >= 0) {
            next_line();
            enter(next);
            return false;
        }
        if (step < 0) {
            // Back from the first field abandons a page that has no buttons.
            if (page_->button_row) return false;
            page_->result = 0;
            return true;
        }
        return finish();
    }

    // Past the last field: the default button, or completion of a page without buttons.
    bool finish() {
        if (!page_->button_row) return checked(fxp_tin_complete(page_));
        const TXP_TIN_BUTTON *button = fxp_tin_default_button(page_);
        return button && press(button->value);
    }

    bool press(uint16_t value) { return checked(fxp_tin_press(page_, value)); }

    // After a failed check the focus is where the page put it.
    bool checked(bool closed) {
        if (closed) return true;
        if (page_->focus != focus_) {
            next_line();
            enter(page_->focus);
        }
        return false;
    }

    bool hot_key(int key) {
        if (!page_->button_row || key <= ' ' || key >= 0x100) return false;
        int upper = std::toupper(key);
        for (const TXP_TIN_BUTTON &button : page_->button_row->control->buttons)
            if (fxp_tin_button_hot_key(button.label) == upper) return press(button.value);
        return false;
    }

    // Handles one key; true when the page is over.
    bool key(int key) {
        if (key == DXP_KEY_END_OF_INPUT || key == DXP_KEY_ESCAPE) {
            fxp_tin_escape(page_);
            return true;
        }
        if (focus_ < 0) return key == DXP_KEY_ENTER && finish();
        switch (fxp_tin_kind(page_->work[focus_])) {
        case DXP_TIN_TEXT:
            return text_key(key);
        case DXP_TIN_TOGGLE:
            return toggle_key(key);
        default:
            return button_key(key);
        }
    }

    bool text_key(int key) {
        std::string &text = control()->text;
        size_t &cursor = editing_.cursor;
        switch (key) {
        case DXP_KEY_ENTER:
        case DXP_KEY_TAB:
        case DXP_KEY_DOWN:
            return move(1);
        case DXP_KEY_UP:
            return move(-1);
        case DXP_KEY_BACKSPACE:
            if (cursor > 0) text.erase(--cursor, 1);
            return false;
        case DXP_KEY_DELETE:
            if (cursor < text.size()) text.erase(cursor, 1);
            return false;
        case DXP_KEY_LEFT:
            if (cursor > 0) --cursor;
            return false;
        case DXP_KEY_RIGHT:
            if (cursor < text.size()) ++cursor;
            return false;
        case DXP_KEY_HOME:
            cursor = 0;
            return false;
        case DXP_KEY_END:
            cursor = text.size();
            return false;
        default:
            if (key >= ' ' && key < 0x100 && key != 0x7F &&
                text.size() < page_->work[focus_].length)
                text.insert(cursor++, 1, static_cast<char>(key));
            return false;
        }
    }

    bool toggle_key(int key) {
        std::string &digits = editing_.digits;
        size_t count = control()->items.size();
        switch (key) {
        case DXP_KEY_ENTER:
        case DXP_KEY_TAB:
        case DXP_KEY_DOWN:
            return move(1);
        case DXP_KEY_UP:
            return move(-1);
        case DXP_KEY_BACKSPACE:
            if (!digits.empty()) digits.pop_back();
            if (!digits.empty()) fxp_tin_select(page_, focus_, std::stoul(digits) - 1);
            return false;
        default:
            if (key >= '0' && key <= '9') {
                // Only digits that still name an item are taken.
                std::string typed = digits + static_cast<char>(key);
                size_t number = typed.size() <= 4 ? std::stoul(typed) : 0;
                if (number >= 1 && number <= count) {
                    digits = typed;
                    fxp_tin_select(page_, focus_, number - 1);
                }
                return false;
            }
            return hot_key(key);
        }
    }

    bool button_key(int key) {
        const auto &buttons = control()->buttons;
        switch (key) {
        case DXP_KEY_ENTER:
            return finish();
        case DXP_KEY_UP:
            return move(-1);
        default:
            if (key >= '1' && key <= '9' && static_cast<size_t>(key - '1') < buttons.size())
                return press(buttons[static_cast<size_t>(key - '1')].value);
            return hot_key(key);
        }
    }
};

} // namespace

uint16_t fxp_term_tin_process(TXP_TIN_T *page, uint16_t) {
    CXP_TERM_KEYS keys;
    TermPage(page).run();
    return DXP_TIN_CMD_DONE;
}
