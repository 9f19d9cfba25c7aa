// Prompt pages at a terminal: the key rules driven by scripted keys, then both pages of the
// tool run on a pseudo-terminal as an operator sees them, and unattended.
#include "kernel/ui/tin.h"
#include "tests/support/testing.h"
#include "tests/ui/prog_fakes.h"
#include "tests/ui/tin_pages.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using pages_test::DrivePage;
using pages_test::FakeScreen;
using pages_test::RecipientPage;

std::deque<int> script;
int scripted_key() {
    if (script.empty()) return DXP_KEY_END_OF_INPUT;
    int key = script.front();
    script.pop_front();
    return key;
}

// Keys as the terminal presenter reads them: characters, and \r for Enter, \x1b for Escape.
std::deque<int> keys(const std::string &typed) {
    std::deque<int> out;
    for (unsigned char c : typed) out.push_back(c == '\b' ? int(DXP_KEY_BACKSPACE) : int(c));
    return out;
}

class TinKeys : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fxp_term_tin_key;
        fxp_term_tin_key = scripted_key;
    }
    void TearDown() override {
        fxp_term_tin_key = saved_;
        script.clear();
    }
    // Runs a page with the keys; the terminal's output is kept in `shown`.
    uint16_t run(TXP_TIN_T &page, const char *caption, std::deque<int> typed) {
        script = std::move(typed);
        ::testing::internal::CaptureStderr();
        uint16_t result = fxp_tin_prompt(&page, caption);
        shown = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(script.empty()) << "keys left over";
        return result;
    }
    FakeScreen screen_;
    std::string shown;

private:
    int (*saved_)();
};

TEST_F(TinKeys, RecipientPage) {
    struct Case {
        const char *what;
        std::deque<int> keys;
        uint16_t result;
        std::string buffer;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"six digits, Enter, Enter (OK)", keys("123456\r\r"), 1, "123456", {}},
        {"two digits", keys("12\r\r"), 1, "12    ", {}},
        {"a seventh character does not fit", keys("1234567\r\r"), 1, "123456", {}},
        {"OK by its number", keys("12\r1"), 1, "12    ", {}},
        {"OK by its hot key", keys("12\ro"), 1, "12    ", {}},
        {"blank: the message, then typed", keys("\r\r99\r\r"), 1, "99    ", {"Invalid entry!"}},
        {"Cancel by hot key", keys("\rc"), 0, "      ", {}},
        {"Escape while typing", keys("12\x1b"), 0, "      ", {}},
        {"input ends", keys("12"), 0, "      ", {}},
        {"backspace", keys("ab\bc\r\r"), 1, "ac    ", {}},
        {"editing keys",
         {'b', 'c', DXP_KEY_HOME, 'a', DXP_KEY_END, 'd', DXP_KEY_LEFT, DXP_KEY_DELETE,
          DXP_KEY_ENTER, DXP_KEY_ENTER},
         1,
         "abc   ",
         {}},
        {"up from the buttons goes back",
         {'1', DXP_KEY_ENTER, DXP_KEY_UP, '5', DXP_KEY_ENTER, DXP_KEY_ENTER},
         1,
         "15    ",
         {}},
    };
    for (const Case &c : cases) {
        screen_.boxes().texts.clear();
        RecipientPage recipient;
        EXPECT_EQ(run(recipient.page, "Specify Recipient", c.keys), c.result) << c.what;
        EXPECT_EQ(recipient.value(), c.buffer) << c.what;
        EXPECT_EQ(screen_.boxes().texts, c.messages) << c.what;
    }
    EXPECT_NE(shown.find("== Specify Recipient ="), std::string::npos) << shown;
    EXPECT_NE(shown.find("Button [1-2], Enter: OK: "), std::string::npos) << shown;
}

TEST(TinTextView, ALongTextScrollsToKeepTheCursorInView) {
    struct Case {
        const char *what;
        std::string text;
        size_t cursor, width;
        std::string cells;
        size_t column;
    };
    const Case cases[] = {
        {"short, cursor at the end", "abc", 3, 5, "abc  ", 3},
        {"fills the room: the cursor's cell scrolls", "abcde", 5, 5, "bcde ", 4},
        {"long, cursor at the start", "abcdefgh", 0, 4, "abcd", 0},
        {"long, cursor inside", "abcdefgh", 5, 4, "cdef", 3},
        {"line breaks are shown, not sent", "a\r\nb", 0, 6, "a||b  ", 0},
        {"empty", "", 0, 3, "   ", 0},
    };
    for (const Case &c : cases) {
        TXP_TIN_TEXT_VIEW view = fxp_tin_text_view(c.text, c.cursor, c.width);
        EXPECT_EQ(view.cells, c.cells) << c.what;
        EXPECT_EQ(view.cursor_column, c.column) << c.what;
    }
}

TEST_F(TinKeys, ALongFieldKeepsEveryCharacterOnALineOfItsDisplayWidth) {
    std::string value(200, ' ');
    TXP_TIN_ICB field;
    field.kind = 'K';
    field.type = 'L';
    field.label = "Message";
    field.value = value.data();
    field.length = static_cast<uint16_t>(value.size());
    field.width = 10;
    TXP_TIN_T page;
    page.fields = &field;
    page.count = 1;
    std::string typed = "0123456789abcdefghij";
    EXPECT_EQ(run(page, "Long", keys(typed + "\r")), 1);
    EXPECT_EQ(value.substr(0, typed.size() + 1), typed + " ");
    // No line of the page is wider than the field's room: a terminal line never wraps.
    size_t longest = 0, start = 0;
    for (size_t i = 0; i <= shown.size(); ++i) {
        if (i == shown.size() || shown[i] == '\r' || shown[i] == '\n') {
            std::string line = shown.substr(start, i - start);
            if (line.find("Message") != std::string::npos) longest = std::max(longest, line.size());
            start = i + 1;
        }
    }
    EXPECT_GT(longest, 0u) << shown;
    EXPECT_LT(longest, 40u) << shown;
    EXPECT_NE(shown.find("Message: [bcdefghij ]"), std::string::npos) << shown;
}

TEST_F(TinKeys, DrivePage) {
    struct Case {
        const char *what;
        char drive;
        const char *keys;
        uint16_t result;
        char chosen;
    };
    const Case cases[] = {
        {"number, then Next by hot key", 'C', "2n", 1, 'D'},
        {"number, Enter, Next by number", 'C', "2\r2", 1, 'D'},
        {"Enter keeps the preselected item", 'D', "\rn", 1, 'D'},
        {"Next straight away takes the preselection", 'D', "n", 1, 'D'},
        {"a number that names no item is ignored", 'C', "9n", 1, 'C'},
        {"backspace takes a digit back", 'C', "2\b1n", 1, 'C'},
        {"Enter on the buttons presses the default << Back", 'C', "\r\r", 0, 'C'},
        {"Back by its number", 'C', "2\r1", 0, 'D'}, // the field was left with D chosen
        {"Escape", 'C', "2\x1b", 0, 'C'},
    };
    for (const Case &c : cases) {
        DrivePage drive("C:|C|D:|D|", c.drive);
        EXPECT_EQ(run(drive.page, "Select Server Drive", keys(c.keys)), c.result) << c.what;
        EXPECT_EQ(drive.root[0], c.chosen) << c.what;
        EXPECT_EQ(std::string(drive.root + 1), ":\\") << c.what;
    }
    EXPECT_TRUE(screen_.boxes().texts.empty());

    // Many drives: two-digit numbers.
    DrivePage many("C:|C|D:|D|E:|E|F:|F|G:|G|H:|H|I:|I|J:|J|K:|K|L:|L|M:|M|N:|N|", 'C');
    EXPECT_EQ(run(many.page, "Select Server Drive", keys("12n")), 1);
    EXPECT_EQ(many.root[0], 'N');
    EXPECT_NE(shown.find("Select the server drive that contains your KOVA systems."),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Server drive [1-12]: 12 = N:"), std::string::npos) << shown;
}

// ---- On a pseudo-terminal -------------------------------------------------------------------

// Runs in a child on a pseudo-terminal (or unattended): shows one page and prints its result.
TEST(TinTerminal, Child) {
    const char *what = std::getenv("KOVA_TEST_CHILD");
    if (!what) GTEST_SKIP() << "runs only as the child of TinTerminal tests";
    if (std::string(what) == "drive") {
        DrivePage drive("C:|C|D:|D|", 'D');
        uint16_t result = fxp_tin_prompt(&drive.page, "Select Server Drive");
        std::printf("page-result %u %s\n", result, drive.root);
    } else if (std::string(what) == "recipient") {
        RecipientPage recipient;
        uint16_t result = fxp_tin_prompt(&recipient.page, "Specify Recipient");
        std::printf("page-result %u [%s]\n", result, recipient.value().c_str());
    }
    std::fflush(stdout);
}

TEST(TinTerminal, DrivePageAtATerminal) {
    kova_test::Pty pty({kova_test::self_program(), "--gtest_filter=TinTerminal.Child"},
                       {{"KOVA_TEST_CHILD", "drive"}});
    ASSERT_TRUE(pty.expect("== Select Server Drive =")) << pty.output();
    ASSERT_TRUE(pty.expect("| Please select the server drive containing your KOVA systems: |"))
        << pty.output();
    ASSERT_TRUE(pty.expect("|   * 2  D:")) << pty.output(); // preselected from the root path
    ASSERT_TRUE(pty.expect("1[<< Back]  2[Next >>]")) << pty.output();
    ASSERT_TRUE(pty.expect("Server drive [1-2]: D:")) << pty.output();
    pty.send("1");
    ASSERT_TRUE(pty.expect("Server drive [1-2]: 1 = C:")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("Button [1-2], Enter: << Back: ")) << pty.output();
    pty.send("n");
    ASSERT_TRUE(pty.expect("page-result 1 C:\\")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
}

TEST(TinTerminal, RecipientPageAtATerminal) {
    kova_test::Pty pty({kova_test::self_program(), "--gtest_filter=TinTerminal.Child"},
                       {{"KOVA_TEST_CHILD", "recipient"}});
    ASSERT_TRUE(pty.expect("== Specify Recipient =")) << pty.output();
    ASSERT_TRUE(pty.expect("Kernel license number: [      ]")) << pty.output();
    // Left blank and confirmed: the message, and the field again.
    pty.send("\r");
    ASSERT_TRUE(pty.expect("Button [1-2], Enter: OK: ")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("Invalid entry!")) << pty.output();
    ASSERT_TRUE(pty.expect("[O]K  (Enter: OK)")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("Kernel license number: [")) << pty.output();
    pty.send("12");
    ASSERT_TRUE(pty.expect("Kernel license number: [12    ]")) << pty.output();
    pty.send("\r\r");
    ASSERT_TRUE(pty.expect("page-result 1 [12    ]")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);

    kova_test::Pty cancel({kova_test::self_program(), "--gtest_filter=TinTerminal.Child"},
                          {{"KOVA_TEST_CHILD", "recipient"}});
    ASSERT_TRUE(cancel.expect("Kernel license number: [")) << cancel.output();
    cancel.send("\x1b");
    ASSERT_TRUE(cancel.expect("page-result 0 [      ]")) << cancel.output();
    EXPECT_EQ(cancel.wait(), 0);
}

TEST(TinTerminal, NothingIsShownUnattended) {
    for (const char *page : {"drive", "recipient"}) {
        kova_test::RunResult run =
            kova_test::run({kova_test::self_program(), "--gtest_filter=TinTerminal.Child"},
                           {{"KOVA_TEST_CHILD", page}, {"KOVA_UNATTENDED", "1"}}, "12\r\r");
        EXPECT_EQ(run.status, 0) << page;
        EXPECT_NE(run.out.find("page-result 0"), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "") << page;
    }
}

} // namespace
