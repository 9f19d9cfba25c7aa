// Where a prompt page's controls go when it is shown as a dialog: the arithmetic only, in
// dialog units, so that it is the same on every platform and can be checked without windows.
#include "kernel/ui/tin.h"

#include <algorithm>
#include <string>

namespace {

// Vertical room each kind of row takes, its gap below included.
constexpr int text_pitch = DXP_TIN_TEXT_HEIGHT + 6;
constexpr int entry_pitch = DXP_TIN_ENTRY_HEIGHT + 4;
constexpr int button_pitch = DXP_TIN_BUTTON_HEIGHT + 4;
// Between an entry field's label and its control, and between buttons.
constexpr int label_gap = 4;
constexpr int button_gap = 4;
// A group frame: its caption sits on the top edge, its fields are indented.
constexpr int group_top = 12;
constexpr int group_indent = 7;
constexpr int group_bottom = 3;
// The title bar's icon and three buttons beside the caption.
constexpr int title_bar_extra = 48;
// A drop-down list's arrow and the edit box's border.
constexpr int list_extra = 20;
constexpr int edit_extra = 8;
constexpr int min_entry = 24;

const char *label_of(const TXP_TIN_ICB &field) {
    return field.label ? field.label : "";
}

bool has_entry(TXP_TIN_FIELD_KIND kind) {
    return kind == DXP_TIN_TEXT || kind == DXP_TIN_TOGGLE;
}

int entry_width(const TXP_TIN_ICB &field, TXP_TEXT_WIDTH text_width) {
    if (fxp_tin_kind(field) == DXP_TIN_TEXT)
        return std::max(text_width(std::string(fxp_tin_shown_width(field), '0').c_str()) +
                            edit_extra,
                        min_entry);
    int widest = 0;
    for (const TXP_TIN_ITEM &item : field.control->items)
        widest = std::max(widest, text_width(item.label.c_str()));
    return std::max(widest + list_extra, min_entry);
}

class Flow {
public:
    Flow(const TXP_TIN_T *page, TXP_TEXT_WIDTH text_width, TXP_TIN_DIALOG_LAYOUT &layout)
        : page_(page), text_width_(text_width), l_(layout) {
        // One column for the labels of all entry fields, so that their controls line up.
        for (int i = 0; i < page->count; ++i)
            if (has_entry(fxp_tin_kind(page->work[i])))
                label_column_ = std::max(label_column_, text_width(label_of(page->work[i])));
    }

    // Places field `index` at the left edge `x`.
    void place(int index, int x) {
        const TXP_TIN_ICB &field = page_->work[index];
        TXP_TIN_FIELD_RECT &r = l_.fields[static_cast<size_t>(index)];
        r.shown = true;
        bool label_fixed = field.label_row > 0 || field.label_column > 0;
        bool entry_fixed = field.entry_row > 0 || field.entry_column > 0;
        TXP_TIN_FIELD_KIND kind = fxp_tin_kind(field);
        if (has_entry(kind)) {
            r.label = {x, y_ + 2, label_column_, DXP_TIN_TEXT_HEIGHT};
            r.entry = {x + label_column_ + label_gap, y_, entry_width(field, text_width_),
                       DXP_TIN_ENTRY_HEIGHT};
            if (label_fixed) r.label = at_cell(field.label_row, field.label_column, r.label);
            if (entry_fixed) r.entry = at_cell(field.entry_row, field.entry_column, r.entry);
            if (!label_fixed || !entry_fixed) y_ += entry_pitch;
        } else {
            r.label = {x, y_, text_width_(label_of(field)), DXP_TIN_TEXT_HEIGHT};
            if (label_fixed)
                r.label = at_cell(field.label_row, field.label_column, r.label);
            else
                y_ += text_pitch;
        }
        reach(r.label);
        reach(r.entry);
    }

    void place_group(int index) {
        const TXP_TIN_ICB &field = page_->work[index];
        TXP_TIN_FIELD_RECT &r = l_.fields[static_cast<size_t>(index)];
        int owned = field.control->owned;
        if (owned == 0) return; // a group without fields is not shown
        r.shown = true;
        int top = y_;
        y_ += group_top;
        for (int j = index + 1; j <= index + owned; ++j) place(j, DXP_TIN_MARGIN + group_indent);
        y_ += group_bottom;
        // The width is the page's, known at the end.
        r.label = {DXP_TIN_MARGIN, top, 0, y_ - top};
        // Wide enough for its caption and for its fields with the indent on both sides.
        int caption = DXP_TIN_MARGIN + text_width_(label_of(field)) + 2 * group_indent;
        inner_right_ = std::max({inner_right_, right_ + group_indent, caption});
        y_ += 4;
    }

    int y() const { return std::max(y_, bottom_); }
    void advance(int dy) { y_ = y() + dy; }
    int content_width() const { return std::max(right_, inner_right_) - DXP_TIN_MARGIN; }

private:
    const TXP_TIN_T *page_;
    TXP_TEXT_WIDTH text_width_;
    TXP_TIN_DIALOG_LAYOUT &l_;
    int label_column_ = 0;
    int y_ = DXP_TIN_MARGIN;
    int right_ = DXP_TIN_MARGIN;       // rightmost edge of any control
    int inner_right_ = DXP_TIN_MARGIN; // what group frames need to hold their fields
    int bottom_ = 0;                   // lowest edge of a control placed by its record

    static TXP_DU_RECT at_cell(int row, int column, TXP_DU_RECT r) {
        r.x = std::max(column, 0) * 4;
        r.y = std::max(row, 0) * 8;
        return r;
    }

    void reach(const TXP_DU_RECT &r) {
        if (r.cx == 0 && r.cy == 0) return;
        right_ = std::max(right_, r.x + r.cx);
        bottom_ = std::max(bottom_, r.y + r.cy + 4);
    }
};

} // namespace

TXP_TIN_DIALOG_LAYOUT fxp_tin_dialog_layout(const TXP_TIN_T *page, TXP_TEXT_WIDTH text_width) {
    TXP_TIN_DIALOG_LAYOUT l;
    if (!page || !page->work) return l;
    l.fields.resize(page->count);
    Flow flow(page, text_width, l);

    // The help line has room for the longest help of any field.
    int help_width = 0;
    for (int i = 0; i < page->count; ++i)
        if (page->work[i].help) help_width = std::max(help_width, text_width(page->work[i].help));

    for (int i = 0; i < page->count; ++i) {
        const TXP_TIN_ICB &field = page->work[i];
        switch (fxp_tin_kind(field)) {
        case DXP_TIN_GROUP:
            flow.place_group(i);
            i += field.control->owned;
            break;
        case DXP_TIN_BUTTONS:
            break; // at the bottom, once the page's width is known
        default:
            flow.place(i, DXP_TIN_MARGIN);
            break;
        }
    }

    // The widest row of buttons.
    int buttons_width = 0;
    const TXP_TIN_ICB *row = page->button_row;
    int button_cx = row ? row->control->button_width * 4 : 0;
    size_t per_row = row && row->per_row ? row->per_row : SIZE_MAX;
    if (row) {
        size_t count = row->control->buttons.size();
        size_t widest = std::min(count, per_row);
        if (widest > 0)
            buttons_width = static_cast<int>(widest) * (button_cx + button_gap) - button_gap;
    }

    int width = std::max({flow.content_width(), buttons_width, help_width,
                          text_width(page->caption.c_str()) + title_bar_extra});
    l.cx = width + 2 * DXP_TIN_MARGIN;
    for (int i = 0; i < page->count; ++i)
        if (fxp_tin_kind(page->work[i]) == DXP_TIN_GROUP && l.fields[i].shown)
            l.fields[i].label.cx = width;

    if (help_width > 0) {
        l.help = {DXP_TIN_MARGIN, flow.y(), width, DXP_TIN_TEXT_HEIGHT};
        flow.advance(text_pitch);
    }

    if (row && !row->control->buttons.empty()) {
        TXP_TIN_FIELD_RECT &r = l.fields[static_cast<size_t>(row - page->work)];
        r.shown = true;
        flow.advance(2);
        const auto &buttons = row->control->buttons;
        for (size_t first = 0; first < buttons.size(); first += per_row) {
            size_t n = std::min(per_row, buttons.size() - first);
            int total = static_cast<int>(n) * (button_cx + button_gap) - button_gap;
            // Each row at the bottom right, as a dialog's buttons are.
            int x = DXP_TIN_MARGIN + width - total;
            for (size_t k = 0; k < n; ++k) {
                r.buttons.push_back({x, flow.y(), button_cx, DXP_TIN_BUTTON_HEIGHT});
                x += button_cx + button_gap;
            }
            flow.advance(button_pitch);
        }
    }
    l.cy = flow.y() - 4 + DXP_TIN_MARGIN;
    return l;
}
