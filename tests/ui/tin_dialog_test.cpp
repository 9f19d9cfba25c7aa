// Where a page's controls go when it is a dialog: frames hold their fields, labels line up,
// nothing overlaps, buttons sit at the bottom right in their common width, and the page is
// wide enough for its caption, its help and its buttons.
#include "kernel/ui/tin.h"
#include "tests/ui/prog_fakes.h"
#include "tests/ui/tin_pages.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using pages_test::DrivePage;
using pages_test::FakeScreen;
using pages_test::RecipientPage;

// Four units to a character, as an average character is wide.
int four_per_char(const char *text) {
    return static_cast<int>(std::string(text).size()) * 4;
}

bool inside(const TXP_DU_RECT &inner, const TXP_DU_RECT &outer) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
           inner.y + inner.cy <= outer.y + outer.cy;
}

bool overlap(const TXP_DU_RECT &a, const TXP_DU_RECT &b) {
    return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

// Every control of the layout: labels, entries, buttons and the help line (frames not).
std::vector<TXP_DU_RECT> controls(const TXP_TIN_T &page, const TXP_TIN_DIALOG_LAYOUT &l) {
    std::vector<TXP_DU_RECT> all;
    for (int i = 0; i < page.count; ++i) {
        const TXP_TIN_FIELD_RECT &r = l.fields[static_cast<size_t>(i)];
        if (!r.shown) continue;
        if (fxp_tin_kind(page.work[i]) != DXP_TIN_GROUP && r.label.cx) all.push_back(r.label);
        if (r.entry.cx) all.push_back(r.entry);
        all.insert(all.end(), r.buttons.begin(), r.buttons.end());
    }
    if (l.help.cx) all.push_back(l.help);
    return all;
}

// What holds for every page: everything on the page, nothing on top of anything else.
void expect_sound(const TXP_TIN_T &page, const TXP_TIN_DIALOG_LAYOUT &l) {
    TXP_DU_RECT client{0, 0, l.cx, l.cy};
    std::vector<TXP_DU_RECT> all = controls(page, l);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_TRUE(inside(all[i], client)) << "control " << i << " leaves the page";
        EXPECT_GE(all[i].x, DXP_TIN_MARGIN);
        EXPECT_LE(all[i].x + all[i].cx, l.cx - DXP_TIN_MARGIN);
        for (size_t j = i + 1; j < all.size(); ++j)
            EXPECT_FALSE(overlap(all[i], all[j])) << "controls " << i << " and " << j;
    }
}

class TinDialogLayout : public ::testing::Test {
protected:
    FakeScreen screen_;
};

TEST_F(TinDialogLayout, DrivePage) {
    DrivePage drive("C:|C|D:|D|", 'C');
    ASSERT_TRUE(fxp_tin_open(&drive.page, "Select Server Drive"));
    TXP_TIN_DIALOG_LAYOUT l = fxp_tin_dialog_layout(&drive.page, four_per_char);
    ASSERT_EQ(l.fields.size(), 4u);
    expect_sound(drive.page, l);

    // The frame holds the prompt text and the list with its label, and is as wide as the page
    // inside its margins.
    const TXP_DU_RECT &frame = l.fields[0].label;
    EXPECT_TRUE(l.fields[0].shown);
    EXPECT_TRUE(inside(l.fields[1].label, frame));
    EXPECT_TRUE(inside(l.fields[2].label, frame));
    EXPECT_TRUE(inside(l.fields[2].entry, frame));
    EXPECT_EQ(frame.x, DXP_TIN_MARGIN);
    EXPECT_EQ(frame.cx, l.cx - 2 * DXP_TIN_MARGIN);
    // Fields are indented in the frame and below its caption.
    EXPECT_GT(l.fields[1].label.x, frame.x);
    EXPECT_GE(l.fields[1].label.y, frame.y + DXP_TIN_TEXT_HEIGHT);
    // The prompt text is as wide as its text; the list is beside its label, as wide as its
    // widest item and the arrow, as high as an entry.
    EXPECT_EQ(l.fields[1].label.cx, four_per_char(drive.fields[1].label));
    EXPECT_GT(l.fields[2].entry.x, l.fields[2].label.x + four_per_char("Server drive"));
    EXPECT_GE(l.fields[2].entry.cx, four_per_char("C:"));
    EXPECT_EQ(l.fields[2].entry.cy, DXP_TIN_ENTRY_HEIGHT);
    EXPECT_GT(l.fields[2].label.y, l.fields[1].label.y);

    // The help line below the frame, then "<< Back" and "Next >>" at the bottom right, each
    // as wide as the widest label and two cells ("Next >>": 9 cells).
    EXPECT_GE(l.help.y, frame.y + frame.cy);
    EXPECT_GE(l.help.cx, four_per_char(drive.fields[2].help));
    const std::vector<TXP_DU_RECT> &buttons = l.fields[3].buttons;
    ASSERT_EQ(buttons.size(), 2u);
    for (const TXP_DU_RECT &button : buttons) {
        EXPECT_EQ(button.cx, 9 * 4);
        EXPECT_EQ(button.cy, DXP_TIN_BUTTON_HEIGHT);
        EXPECT_GE(button.y, l.help.y + l.help.cy);
        EXPECT_EQ(button.y + button.cy, l.cy - DXP_TIN_MARGIN);
    }
    EXPECT_EQ(buttons[0].y, buttons[1].y);
    EXPECT_LT(buttons[0].x, buttons[1].x);
    EXPECT_EQ(buttons[1].x + buttons[1].cx, l.cx - DXP_TIN_MARGIN);
    fxp_tin_close(&drive.page);
}

TEST_F(TinDialogLayout, RecipientPageAndTheCaption) {
    RecipientPage recipient;
    ASSERT_TRUE(fxp_tin_open(&recipient.page, "Specify Recipient"));
    TXP_TIN_DIALOG_LAYOUT l = fxp_tin_dialog_layout(&recipient.page, four_per_char);
    expect_sound(recipient.page, l);
    // No field has help: no help line.
    EXPECT_EQ(l.help.cx, 0);
    // The edit box takes the six characters and its border, beside its label.
    const TXP_TIN_FIELD_RECT &field = l.fields[0];
    EXPECT_GE(field.entry.cx, 6 * 4);
    EXPECT_EQ(field.label.x, DXP_TIN_MARGIN);
    EXPECT_EQ(field.label.cx, four_per_char("Kernel license number"));
    EXPECT_GT(field.entry.x, field.label.x + field.label.cx);
    // "OK" and "Cancel" are the least width, 8 cells.
    ASSERT_EQ(l.fields[1].buttons.size(), 2u);
    EXPECT_EQ(l.fields[1].buttons[0].cx, 8 * 4);
    // The caption and the title bar's buttons fit above.
    EXPECT_GE(l.cx - 2 * DXP_TIN_MARGIN, four_per_char("Specify Recipient"));
    int narrow = l.cx;
    fxp_tin_close(&recipient.page);

    // A long caption widens the page; the buttons stay at the right edge.
    std::string caption(80, 'x');
    ASSERT_TRUE(fxp_tin_open(&recipient.page, caption.c_str()));
    l = fxp_tin_dialog_layout(&recipient.page, four_per_char);
    EXPECT_GT(l.cx, narrow);
    EXPECT_GE(l.cx, 80 * 4);
    EXPECT_EQ(l.fields[1].buttons[1].x + l.fields[1].buttons[1].cx, l.cx - DXP_TIN_MARGIN);
    expect_sound(recipient.page, l);
    fxp_tin_close(&recipient.page);
}

TEST_F(TinDialogLayout, EmptyGroupsRowsOfButtonsAndPlacedFields) {
    char name[10] = "         ";
    TXP_TIN_ICB fields[5];
    fields[0].kind = 'K';
    fields[0].type = 'Z';
    fields[0].label = "Nothing inside";
    fields[0].handler = fxp_tin_group;
    fields[1].kind = 'K';
    fields[1].type = 'Z';
    fields[1].spec = "One|1|Two|2|Three|3|Four|4|Five|5|";
    fields[1].per_row = 2;
    fields[1].handler = fxp_tin_buttons;
    fields[2].kind = 'K';
    fields[2].type = 'P';
    fields[2].label = "Placed by its record";
    fields[2].label_row = 3;
    fields[2].label_column = 20;
    fields[3].kind = 'K';
    fields[3].type = 'L';
    fields[3].label = "Name";
    fields[3].value = name;
    fields[3].length = sizeof name - 1;
    fields[4].kind = 'K';
    fields[4].type = 'P';
    fields[4].label = "After the name";
    TXP_TIN_T page;
    page.fields = fields;
    page.count = 5;
    ASSERT_TRUE(fxp_tin_open(&page, "Rows"));
    TXP_TIN_DIALOG_LAYOUT l = fxp_tin_dialog_layout(&page, four_per_char);
    expect_sound(page, l);

    // A group without fields is not shown.
    EXPECT_FALSE(l.fields[0].shown);
    // Two buttons to a row: three rows, each ending at the right margin, the last row with one.
    const std::vector<TXP_DU_RECT> &buttons = l.fields[1].buttons;
    ASSERT_EQ(buttons.size(), 5u);
    EXPECT_EQ(buttons[0].y, buttons[1].y);
    EXPECT_GT(buttons[2].y, buttons[1].y);
    EXPECT_GT(buttons[4].y, buttons[3].y);
    for (size_t k : {size_t{1}, size_t{3}, size_t{4}})
        EXPECT_EQ(buttons[k].x + buttons[k].cx, l.cx - DXP_TIN_MARGIN) << k;
    // Below every field, also the one placed by its record.
    EXPECT_GE(buttons[0].y, l.fields[2].label.y + l.fields[2].label.cy);
    EXPECT_GE(buttons[0].y, l.fields[4].label.y + l.fields[4].label.cy);

    // The placed text is at its cell; the flow goes on without it.
    EXPECT_EQ(l.fields[2].label.x, 20 * 4);
    EXPECT_EQ(l.fields[2].label.y, 3 * 8);
    EXPECT_EQ(l.fields[3].entry.y, DXP_TIN_MARGIN);
    EXPECT_GT(l.fields[4].label.y, l.fields[3].entry.y);
    fxp_tin_close(&page);
}

TEST_F(TinDialogLayout, LongTextsScrollWithinTheirDisplayWidth) {
    // A message body: its room is far wider than any screen.
    std::string body(8192, ' '), note(300, ' '), code(9, ' ');
    TXP_TIN_ICB fields[3];
    const char *labels[] = {"Message", "Note", "Code"};
    std::string *values[] = {&body, &note, &code};
    for (int i = 0; i < 3; ++i) {
        fields[i].kind = 'K';
        fields[i].type = 'L';
        fields[i].label = labels[i];
        fields[i].value = values[i]->data();
        fields[i].length = static_cast<uint16_t>(values[i]->size());
    }
    fields[0].width = 40;
    TXP_TIN_T page;
    page.fields = fields;
    page.count = 3;
    ASSERT_TRUE(fxp_tin_open(&page, "Texts"));
    TXP_TIN_DIALOG_LAYOUT l = fxp_tin_dialog_layout(&page, four_per_char);
    expect_sound(page, l);
    // The given width, the widest automatic one, and a short text's whole length, each with
    // the edit box's border.
    EXPECT_EQ(l.fields[0].entry.cx, 40 * 4 + 8);
    EXPECT_EQ(l.fields[1].entry.cx, static_cast<int>(DXP_TIN_WIDEST_ENTRY) * 4 + 8);
    EXPECT_EQ(l.fields[2].entry.cx, 9 * 4 + 8);
    EXPECT_LT(l.cx, 400);
    fxp_tin_close(&page);
}

} // namespace
