// Prompt pages without a terminal: toggle, button and validation strings, the two pages of
// the tool driven through the page operations, opening errors, the unattended result, and
// the layout the terminal prints.
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

std::vector<std::pair<std::string, std::string>> toggle_items(const char *spec) {
    std::vector<std::pair<std::string, std::string>> items;
    TXP_TIN_TOGGLE item;
    for (const char *at = spec; at && *at;) {
        at = fxp_tin_toggle_next(at, &item);
        if (!at) break;
        items.emplace_back(std::string(item.label, item.label_length),
                           std::string(item.value, item.value_length));
    }
    return items;
}

using Items = std::vector<std::pair<std::string, std::string>>;

TEST(TinStrings, ToggleItems) {
    FakeScreen screen;
    EXPECT_EQ(toggle_items("<< Back|0|Next >>|1|"), (Items{{"<< Back", "0"}, {"Next >>", "1"}}));
    EXPECT_EQ(toggle_items("OK|1|Cancel|0|Help|1001|"),
              (Items{{"OK", "1"}, {"Cancel", "0"}, {"Help", "1001"}}));
    EXPECT_EQ(toggle_items("C:|C|F:|F|"), (Items{{"C:", "C"}, {"F:", "F"}}));
    EXPECT_EQ(toggle_items("||"), (Items{{"", ""}}));
    EXPECT_EQ(toggle_items(""), Items{});
    EXPECT_TRUE(screen.boxes().texts.empty());

    // A missing closing bar after the last value, or after a label: the message, and reading
    // stops there.
    for (const char *bad : {"C:|C|D:|D", "C:|C|D:", "no bars"}) {
        screen.boxes().texts.clear();
        Items items = toggle_items(bad);
        EXPECT_EQ(items.size(), std::string(bad) == "no bars" ? 0u : 1u) << bad;
        EXPECT_EQ(screen.boxes().texts, std::vector<std::string>{"INVALID TOGGLE STRING!"}) << bad;
    }
    TXP_TIN_TOGGLE item;
    screen.boxes().texts.clear();
    EXPECT_EQ(fxp_tin_toggle_next("x|", &item, true), nullptr);
    EXPECT_TRUE(screen.boxes().texts.empty()); // quiet
}

TEST(TinStrings, ButtonValuesAndHotKeys) {
    const std::pair<const char *, uint16_t> values[] = {
        {"1", 1}, {"0", 0},  {"65535", 65535}, {"65536", 0}, {"99999999999", 0},
        {"", 0},  {"1a", 0}, {"-1", 0},        {"001", 1},   {" 1", 0}};
    for (auto [text, value] : values)
        EXPECT_EQ(fxp_tin_button_value(text, std::strlen(text)), value) << text;

    EXPECT_EQ(fxp_tin_button_text("&Write"), "Write");
    EXPECT_EQ(fxp_tin_button_hot_key("&Write"), 'W');
    EXPECT_EQ(fxp_tin_button_hot_key("C&ontinue"), 'O');
    EXPECT_EQ(fxp_tin_button_hot_key("<< Back"), '<');
    EXPECT_EQ(fxp_tin_button_hot_key("next >>"), 'N');
    EXPECT_EQ(fxp_tin_button_text("Save && &Exit"), "Save & Exit");
    EXPECT_EQ(fxp_tin_button_hot_key("Save && &Exit"), 'E');
}

TEST(TinStrings, ValidationStrings) {
    struct Case {
        char type;
        const char *spec;
        std::string value;
        bool valid;
    };
    const Case cases[] = {
        {'L', "!|...|", "", false},
        {'L', "!|...|", "      ", false}, // only blanks
        {'L', "!|...|", "12", true},
        {'L', "!|...|", "123456", true},
        {'L', "A,M|", "K", true},
        {'L', "A,M|", "N", false},
        {'L', "A,M|", "A", true},
        {'L', "A,M|", "M", true},
        {'L', "A,M|", "MA", false}, // a longer value sorts after its start
        {'L', "A,M|", "", false},
        {'L', "!X|...|", "X", false},
        {'L', "!X|...|", "X ", false}, // trailing blanks do not count
        {'L', "!X|...|", "Y", true},
        {'L', "!X|...|", "XX", true},
        {'L', "Y|N|", "N", true},
        {'L', "Y|N|", "y", false},
        {'L', "|", "", true}, // the empty item matches the empty value
        {'L', "AB|", std::string("AB\0\0", 4), true},
        {'L', "\xE9|", "\xE9", true},    // bytes above 127 compare as they are
        {'L', "A,\x7F|", "\xE9", false}, // ... and sort after ASCII
        {'N', "1,10|", "9", true},       // numbers compare by value
        {'N', "1,10|", "10", true},
        {'N', "1,10|", "11", false},
        {'N', "1,10|", "2.5", true},
        {'L', nullptr, "", true},
        {'L', "", "", true},
    };
    FakeScreen screen;
    for (const Case &c : cases) {
        EXPECT_EQ(fxp_tin_validate(c.type, c.spec, c.value.data(), c.value.size()), c.valid)
            << c.type << " '" << (c.spec ? c.spec : "(none)") << "' '" << c.value << "'";
    }
    EXPECT_TRUE(screen.boxes().texts.empty());

    // An unterminated item counts as no match, with its message; earlier items still count.
    EXPECT_TRUE(fxp_tin_validate('L', "A|B", "A", 1));
    EXPECT_TRUE(screen.boxes().texts.empty());
    EXPECT_FALSE(fxp_tin_validate('L', "A|B", "B", 1));
    EXPECT_EQ(screen.boxes().texts, std::vector<std::string>{"Invalid validation string!"});
    // A type without validation strings: the warning names it, and the value passes.
    screen.boxes().texts.clear();
    EXPECT_TRUE(fxp_tin_validate('P', "!|...|", "", 0));
    EXPECT_EQ(screen.boxes().texts,
              std::vector<std::string>{"Warning - validation string not used on type 'P' fields!"});
    screen.boxes().texts.clear();
    EXPECT_FALSE(fxp_tin_validate('L', "A|B", "B", 1, true));
    EXPECT_TRUE(screen.boxes().texts.empty()); // quiet
}

// A page open for as long as the object lives.
class Opened {
public:
    Opened(TXP_TIN_T &page, const char *caption) : page_(&page) {
        open_ = fxp_tin_open(page_, caption);
    }
    ~Opened() { close(); }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;
    bool ok() const { return open_; }
    void close() {
        if (open_) fxp_tin_close(page_);
        open_ = false;
    }

private:
    TXP_TIN_T *page_;
    bool open_;
};

// Pages opened and driven through their operations, as a presenter drives them.
class TinPage : public ::testing::Test {
protected:
    std::vector<std::string> &messages() { return screen_.boxes().texts; }
    FakeScreen screen_;
};

TEST_F(TinPage, DrivePagePreselects) {
    struct Case {
        const char *choices;
        char drive;
        size_t selected;
    };
    const Case cases[] = {
        {"C:|C|D:|D|", 'D', 1},
        {"C:|C|D:|D|", 'C', 0},
        {"C:|C|D:|D|", 'E', 0}, // not in the list: the first item
        {"C:|C|F:|F|X:|X|", 'X', 2},
    };
    for (const Case &c : cases) {
        DrivePage drive(c.choices, c.drive);
        Opened opened(drive.page, "Select Server Drive");
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(drive.page.work[2].control->selected, c.selected) << c.choices << c.drive;
        EXPECT_EQ(drive.page.result, 0);
        ASSERT_NE(fxp_tin_default_button(&drive.page), nullptr);
        EXPECT_EQ(fxp_tin_default_button(&drive.page)->label, "<< Back");
    }
    EXPECT_TRUE(messages().empty());
}

TEST_F(TinPage, DrivePageNextTakesTheChoice) {
    DrivePage drive("C:|C|D:|D|", 'C');
    Opened opened(drive.page, "Select Server Drive");
    ASSERT_TRUE(opened.ok());
    int field = fxp_tin_next_field(&drive.page, -1, 1);
    ASSERT_EQ(field, 2); // the group caption and the text never take the focus
    fxp_tin_enter(&drive.page, field);
    fxp_tin_select(&drive.page, field, 1);
    EXPECT_EQ(drive.root[0], 'C'); // not taken until the field is left
    EXPECT_TRUE(fxp_tin_press(&drive.page, 1));
    EXPECT_EQ(drive.page.result, 1);
    EXPECT_EQ(std::string(drive.root), "D:\\");
    EXPECT_TRUE(messages().empty());
}

TEST_F(TinPage, DrivePageBackLeavesTheRootAlone) {
    DrivePage drive("C:|C|D:|D|", 'C');
    Opened opened(drive.page, "Select Server Drive");
    ASSERT_TRUE(opened.ok());
    fxp_tin_enter(&drive.page, 2);
    fxp_tin_select(&drive.page, 2, 1);
    EXPECT_TRUE(fxp_tin_press(&drive.page, 0));
    EXPECT_EQ(drive.page.result, 0);
    EXPECT_EQ(drive.root[0], 'C');
}

TEST_F(TinPage, RecipientCompletion) {
    struct Case {
        const char *what;
        const char *typed; // null: the field is left without typing
        bool leave_first;  // the field is left (to the buttons) before OK
        bool closes;
        const char *message;
        std::string buffer;
    };
    const Case cases[] = {
        {"blank, entered and left unchanged", nullptr, true, false, "Invalid entry!", "      "},
        {"blank, OK straight away", nullptr, false, false, "Valid response required here!",
         "      "},
        {"blanks typed", "   ", true, false, "Invalid entry!", "      "},
        {"six digits", "123456", true, true, nullptr, "123456"},
        {"two digits", "12", true, true, nullptr, "12    "},
        {"two digits, OK straight away", "12", false, true, nullptr, "12    "},
    };
    for (const Case &c : cases) {
        messages().clear();
        RecipientPage recipient;
        Opened opened(recipient.page, "Specify Recipient");
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(recipient.page.result, 1) << c.what; // "OK" is the first button
        EXPECT_EQ(fxp_tin_default_button(&recipient.page)->label, "OK");
        fxp_tin_enter(&recipient.page, 0);
        if (c.typed) recipient.page.work[0].control->text = c.typed;
        if (c.leave_first) {
            bool left = fxp_tin_leave(&recipient.page, 0, DXP_TIN_LEAVE_MOVE);
            EXPECT_EQ(left, std::string(c.what) != "blanks typed") << c.what;
            if (left) fxp_tin_enter(&recipient.page, 1);
        }
        if (std::string(c.what) == "blanks typed") {
            EXPECT_EQ(messages(), std::vector<std::string>{"Invalid entry!"});
            EXPECT_EQ(recipient.page.focus, 0);
            continue;
        }
        EXPECT_EQ(fxp_tin_press(&recipient.page, 1), c.closes) << c.what;
        EXPECT_EQ(recipient.page.result, 1) << c.what;
        if (c.message) {
            EXPECT_EQ(messages(), std::vector<std::string>{c.message}) << c.what;
            EXPECT_EQ(recipient.page.focus, 0) << c.what; // the field has the focus again
        } else {
            EXPECT_TRUE(messages().empty()) << c.what;
        }
        EXPECT_EQ(recipient.value(), c.buffer) << c.what;
    }
}

TEST_F(TinPage, RecipientCancelChangesNothing) {
    RecipientPage recipient;
    Opened opened(recipient.page, "Specify Recipient");
    ASSERT_TRUE(opened.ok());
    fxp_tin_enter(&recipient.page, 0);
    recipient.page.work[0].control->text = "12";
    EXPECT_TRUE(fxp_tin_press(&recipient.page, 0));
    EXPECT_EQ(recipient.page.result, 0);
    EXPECT_EQ(recipient.value(), "      ");
    EXPECT_TRUE(messages().empty());

    // Escape likewise.
    RecipientPage again;
    Opened opened_again(again.page, "Specify Recipient");
    ASSERT_TRUE(opened_again.ok());
    fxp_tin_enter(&again.page, 0);
    again.page.work[0].control->text = "34";
    fxp_tin_escape(&again.page);
    EXPECT_EQ(again.page.result, 0);
    EXPECT_EQ(again.value(), "      ");
}

TEST_F(TinPage, CallersRecordsAreOnlyRead) {
    RecipientPage recipient;
    Opened opened(recipient.page, "Specify Recipient");
    ASSERT_TRUE(opened.ok());
    fxp_tin_enter(&recipient.page, 0);
    fxp_tin_leave(&recipient.page, 0, DXP_TIN_LEAVE_MOVE);
    EXPECT_TRUE(recipient.page.work[0].flags & DXP_TIN_PENDING);
    opened.close();
    EXPECT_EQ(recipient.fields[0].flags, 0x8000u);
    EXPECT_EQ(recipient.fields[1].flags, 0x100u);
    EXPECT_EQ(recipient.fields[0].control, nullptr);
    EXPECT_EQ(recipient.page.work, nullptr);
    // The defaults were filled in.
    EXPECT_STREQ(recipient.page.invalid_message, "Invalid entry!");
    EXPECT_STREQ(recipient.page.required_message, "Valid response required here!");
}

TEST_F(TinPage, ResultsAndDefaultButtons) {
    struct Case {
        const char *spec;
        uint16_t default_result;
        uint16_t result;
        const char *default_button; // null: none
    };
    const Case cases[] = {
        {"<< Back|0|Next >>|1|", 0, 0, "<< Back"},
        {"OK|1|Cancel|0|", 0, 1, "OK"},
        {"More Info|1|Next >>|2|", 0, 1, "More Info"},
        {"OK|1|Cancel|0|Help|1001|", 1001, 1001, "Help"},
        {"OK|1|Cancel|0|", 7, 7, nullptr},
        {"A|x|B|2|", 0, 0, "A"}, // a value that is no number counts as 0
    };
    for (const Case &c : cases) {
        TXP_TIN_ICB row;
        row.kind = 'K';
        row.type = 'Z';
        row.spec = c.spec;
        row.handler = fxp_tin_buttons;
        row.exit_check = fxp_tin_buttons_exit;
        TXP_TIN_T page;
        page.fields = &row;
        page.count = 1;
        page.default_result = c.default_result;
        Opened opened(page, "Buttons");
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(page.result, c.result) << c.spec;
        const TXP_TIN_BUTTON *button = fxp_tin_default_button(&page);
        EXPECT_EQ(button ? button->label : "(none)", c.default_button ? c.default_button : "(none)")
            << c.spec;
        // Escape keeps a command result of 1000 and above, else 0.
        fxp_tin_escape(&page);
        EXPECT_EQ(page.result, c.result >= 1000 ? c.result : 0) << c.spec;
    }
}

TEST_F(TinPage, ButtonLabelLimit) {
    std::string spec = std::string(80, 'a') + "|1|" + std::string(81, 'b') + "|2|Last|3|";
    TXP_TIN_ICB row;
    row.kind = 'K';
    row.type = 'Z';
    row.spec = spec.c_str();
    row.handler = fxp_tin_buttons;
    TXP_TIN_T page;
    page.fields = &row;
    page.count = 1;
    Opened opened(page, "Labels");
    ASSERT_TRUE(opened.ok());
    const auto &buttons = page.work[0].control->buttons;
    ASSERT_EQ(buttons.size(), 1u); // 80 characters are fine; reading stops at 81
    EXPECT_EQ(page.work[0].control->button_width, 82);
    EXPECT_EQ(messages(), std::vector<std::string>{"INVALID TOGGLE STRING!"});
}

TEST_F(TinPage, MalformedToggleStringKeepsTheGoodItems) {
    DrivePage drive("C:|C|D:|D", 'D');
    Opened opened(drive.page, "Select Server Drive");
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(messages(), std::vector<std::string>{"INVALID TOGGLE STRING!"});
    ASSERT_EQ(drive.page.work[2].control->items.size(), 1u);
    EXPECT_EQ(drive.page.work[2].control->selected, 0u);
    EXPECT_TRUE(fxp_tin_press(&drive.page, 1));
    EXPECT_EQ(drive.root[0], 'D'); // never entered: the value stays

    // No usable item at all: the field cannot take the focus.
    DrivePage none("garbage", 'C');
    Opened opened_none(none.page, "Select Server Drive");
    ASSERT_TRUE(opened_none.ok());
    EXPECT_EQ(fxp_tin_next_field(&none.page, -1, 1), 3);
}

TEST_F(TinPage, FieldCountMustFit) {
    TXP_TIN_ICB many[255];
    for (uint16_t count : {uint16_t(0), uint16_t(255)}) {
        messages().clear();
        TXP_TIN_T page;
        page.fields = many;
        page.count = count;
        EXPECT_EQ(fxp_tin_prompt(&page, "Too many"), 0);
        EXPECT_EQ(messages(), std::vector<std::string>{"Invalid Number of ICBs"});
        EXPECT_EQ(page.work, nullptr);
    }
}

uint16_t presented = 0;
uint16_t count_presentation(TXP_TIN_T *page, uint16_t) {
    ++presented;
    fxp_tin_press(page, 1);
    return DXP_TIN_CMD_DONE;
}

TEST_F(TinPage, NobodyThereEndsAsEscape) {
    auto saved = fxp_tin_presenter;
    fxp_tin_presenter = count_presentation;
    screen_.boxes().visible = false;
    RecipientPage recipient;
    EXPECT_EQ(fxp_tin_prompt(&recipient.page, "Specify Recipient"), 0);
    EXPECT_EQ(presented, 0);
    EXPECT_EQ(recipient.value(), "      ");

    // With an operator the presenter runs the page.
    screen_.boxes().visible = true;
    recipient.licence[0] = '7';
    EXPECT_EQ(fxp_tin_prompt(&recipient.page, "Specify Recipient"), 1);
    EXPECT_EQ(presented, 1);
    fxp_tin_presenter = saved;
    EXPECT_EQ(fxp_window_current(), nullptr); // the page left the window stack
}

int refreshes = 0;
bool count_refresh(TXP_TIN_T *page, TXP_TIN_ICB *) {
    ++refreshes;
    // Active while the first field holds "Y".
    return page->work && page->work[0].value[0] == 'Y';
}

TEST_F(TinPage, ActivityReadOnlyAndGroupRefresh) {
    char choice[1] = {'N'};
    char note[4] = {' ', ' ', ' ', ' '};
    char other[4] = {' ', ' ', ' ', ' '};
    TXP_TIN_ICB fields[4];
    fields[0] = {.label = "Send",
                 .kind = 'T',
                 .type = 'L',
                 .value = choice,
                 .length = 1,
                 .spec = "Yes|Y|No|N|",
                 .flags = DXP_TIN_REFRESH_GROUP,
                 .group = 1};
    fields[1] = {.label = "Note",
                 .kind = 'K',
                 .type = 'L',
                 .value = note,
                 .length = 4,
                 .flags = DXP_TIN_VALIDATE,
                 .active = count_refresh,
                 .group = 1};
    fields[2] = {.label = "Other",
                 .kind = 'K',
                 .type = 'L',
                 .value = other,
                 .length = 4,
                 .flags = DXP_TIN_DISPLAY_ONLY};
    fields[3] = {.kind = 'K',
                 .type = 'Z',
                 .spec = "OK|1|",
                 .flags = DXP_TIN_ALWAYS_USABLE,
                 .handler = fxp_tin_buttons,
                 .exit_check = fxp_tin_buttons_exit};
    TXP_TIN_T page;
    page.fields = fields;
    page.count = 4;
    Opened opened(page, "Activity");
    ASSERT_TRUE(opened.ok());
    EXPECT_FALSE(fxp_tin_usable(&page, 1)); // inactive: skipped
    EXPECT_FALSE(fxp_tin_usable(&page, 2)); // display only
    EXPECT_EQ(fxp_tin_next_field(&page, 0, 1), 3);
    // Choosing "Yes" refreshes the group: the note becomes usable.
    fxp_tin_enter(&page, 0);
    fxp_tin_select(&page, 0, 0);
    EXPECT_TRUE(fxp_tin_leave(&page, 0, DXP_TIN_LEAVE_MOVE));
    EXPECT_EQ(choice[0], 'Y');
    EXPECT_EQ(page.refreshed, 1u);
    EXPECT_EQ(fxp_tin_next_field(&page, 0, 1), 1);
    opened.close();

    // Read-only: only fields flagged to stay usable take the focus.
    page.flags = DXP_TIN_READ_ONLY;
    Opened opened_read_only(page, "Read only");
    ASSERT_TRUE(opened_read_only.ok());
    EXPECT_EQ(fxp_tin_next_field(&page, -1, 1), 3);
    EXPECT_GE(refreshes, 2);
}

TEST_F(TinPage, PageWithoutButtons) {
    char code[2] = {' ', ' '};
    TXP_TIN_ICB field = {.label = "Code",
                         .kind = 'K',
                         .type = 'L',
                         .value = code,
                         .length = 2,
                         .spec = "A,M|",
                         .flags = DXP_TIN_VALIDATE | DXP_TIN_QUIET_CHECK};
    TXP_TIN_T page;
    page.fields = &field;
    page.count = 1;
    Opened opened(page, "Code");
    ASSERT_TRUE(opened.ok());
    // The blank value fails the check when the page is first shown, without a message.
    EXPECT_FALSE(page.work[0].control->valid);
    EXPECT_TRUE(messages().empty());
    fxp_tin_enter(&page, 0);
    page.work[0].control->text = "Z";
    EXPECT_FALSE(fxp_tin_complete(&page));
    EXPECT_EQ(messages(), std::vector<std::string>{"Invalid entry!"});
    page.work[0].control->text = "K";
    EXPECT_TRUE(fxp_tin_complete(&page));
    EXPECT_EQ(page.result, 1);
    EXPECT_EQ(std::string(code, 2), "K ");
}

TEST_F(TinPage, LayoutOfTheTwoPages) {
    DrivePage drive("C:|C|D:|D|", 'D');
    Opened opened(drive.page, "Select Server Drive");
    ASSERT_TRUE(opened.ok());
    size_t width = 0;
    std::vector<std::string> lines = fxp_tin_layout(&drive.page, &width);
    const std::vector<std::string> expected = {
        "== Select Server Drive =========================================",
        "+- Select Server Drive ----------------------------------------+",
        "| Please select the server drive containing your KOVA systems: |",
        "| Server drive:                                                |",
        "|     1  C:                                                    |",
        "|   * 2  D:                                                    |",
        "+--------------------------------------------------------------+",
        "1[<< Back]  2[Next >>]",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(width, 64u);

    RecipientPage recipient;
    recipient.licence[0] = '4';
    Opened opened_recipient(recipient.page, "Specify Recipient");
    ASSERT_TRUE(opened_recipient.ok());
    EXPECT_EQ(fxp_tin_layout(&recipient.page),
              (std::vector<std::string>{
                  "== Specify Recipient ==========", "Kernel license number: [4     ]",
                  "1[  OK  ]  2[Cancel]"}));
    // A long caption widens the page: the title bar's icon and buttons sit beside it.
    TXP_TIN_ICB text = {.label = "x", .kind = 'K', .type = 'P'};
    TXP_TIN_T small;
    small.fields = &text;
    small.count = 1;
    Opened opened_small(small, "A rather long caption for a small page");
    ASSERT_TRUE(opened_small.ok());
    fxp_tin_layout(&small, &width);
    EXPECT_EQ(width, std::string("A rather long caption for a small page").size() + 12);
}

} // namespace
