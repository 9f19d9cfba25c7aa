// Message and question boxes: their text, title, style, sound and answers, the unattended
// answers, the hook, and a question answered at a real terminal.
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "tests/support/testing.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A presenter that records every box and sound and answers as scripted.
struct Recorded {
    bool visible = true;
    int answer = IDOK;
    struct Box {
        std::string text;
        bool has_title;
        std::string title;
        UINT style;
        HWND owner;
        bool owner_active; // the current window's flag while the box is up
    };
    std::vector<Box> boxes;
    std::vector<UINT> beeps;
};
Recorded *recorded = nullptr;

class BoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fxp_presenter;
        recorded = &rec_;
        fxp_presenter.desktop_visible = [] { return recorded->visible; };
        fxp_presenter.beep = [](UINT type) { recorded->beeps.push_back(type); };
        fxp_presenter.box = [](HWND owner, const char *text, const char *title, UINT style) {
            TXP_WINDOW *current = fxp_window_current();
            recorded->boxes.push_back({text ? text : "<null>", title != nullptr, title ? title : "",
                                       style, owner, current ? current->active : false});
            return recorded->answer;
        };
    }
    void TearDown() override {
        fxp_presenter = saved_;
        msg_box_hook = nullptr;
        recorded = nullptr;
    }
    Recorded rec_;

private:
    TXP_PRESENTER saved_;
};

TEST_F(BoxTest, ComposesTitlesStylesAndSounds) {
    struct Case {
        const char *what;
        std::function<void()> show;
        std::string text;
        const char *title; // null: no title passed
        UINT style;
        std::vector<UINT> beeps;
    };
    const std::vector<Case> cases = {
        {"error",
         [] { fxp_msg_error("Invalid Command Line"); },
         "Invalid Command Line",
         nullptr,
         0x10,
         {0x30}},
        {"error3 second only",
         [] { fxp_msg_error3(nullptr, "b", nullptr); },
         "b",
         nullptr,
         0x10,
         {0x30}},
        {"error3 first and second",
         [] { fxp_msg_error3("a", "b", nullptr); },
         "a\r\n\r\nb",
         nullptr,
         0x10,
         {0x30}},
        {"error3 empty first still separates",
         [] { fxp_msg_error3("", "b", nullptr); },
         "\r\n\r\nb",
         nullptr,
         0x10,
         {0x30}},
        {"error3 first and third",
         [] { fxp_msg_error3("a", nullptr, "c"); },
         "a\r\n\r\nc",
         nullptr,
         0x10,
         {0x30}},
        {"errorf",
         [] { fxp_msg_errorf("Error %dword%,5 from OpenSCManager", 5u); },
         "Error 5 from OpenSCManager",
         nullptr,
         0x10,
         {0x30}},
        {"info", [] { fxp_msg_info("queued"); }, "queued", "Information", 0x40, {0}},
        {"info2", [] { fxp_msg_info2("a", "b"); }, "a\r\n\r\nb", "Information", 0x40, {0}},
        {"info2 second only", [] { fxp_msg_info2(nullptr, "b"); }, "b", "Information", 0x40, {0}},
        {"infof",
         [] { fxp_msg_infof("Undo patch %str%, %dword%,5 files", "u1.kvz", 12u); },
         "Undo patch u1.kvz, 12 files",
         "Information",
         0x40,
         {0}},
        {"ask, default No",
         [] { fxp_msg_ask(nullptr, "Fix 12", "Do you wish to install this patch?", 'N'); },
         "Fix 12\r\n\r\nDo you wish to install this patch?",
         "",
         0x4 | 0x20 | 0x100,
         {}},
        {"ask, empty first adds no blank line",
         [] { fxp_msg_ask("", "b", nullptr, 'Y'); },
         "b",
         "",
         0x4 | 0x20,
         {}},
        {"ask, escape as default makes No the default",
         [] { fxp_msg_ask("a", 0, 0, 27); },
         "a",
         "",
         0x4 | 0x20 | 0x100,
         {}},
        {"warn_ask",
         [] { fxp_msg_warn_ask("SYSTEM IN USE!", "2 users", "Do you wish to proceed?", 'N'); },
         "SYSTEM IN USE!\r\n\r\n2 users\r\n\r\nDo you wish to proceed?",
         "Warning",
         0x4 | 0x30 | 0x100,
         {}},
        {"ask long form with cancel",
         [] { fxp_msg_ask("q", 0, 0, 'Y', 0, 0, 0, 0, 0, true); },
         "q",
         "",
         0x3 | 0x20,
         {}},
        {"warn_ask long form without cancel",
         [] { fxp_msg_warn_ask("q", 0, 0, 'N', 1, 2, 3, 4, 5, false); },
         "q",
         "Warning",
         0x4 | 0x30 | 0x100,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        rec_.boxes.clear();
        rec_.beeps.clear();
        rec_.answer = IDOK;
        c.show();
        ASSERT_EQ(rec_.boxes.size(), 1u);
        EXPECT_EQ(rec_.boxes[0].text, c.text);
        EXPECT_EQ(rec_.boxes[0].has_title, c.title != nullptr);
        if (c.title) {
            EXPECT_EQ(rec_.boxes[0].title, c.title);
        }
        EXPECT_EQ(rec_.boxes[0].style, c.style);
        EXPECT_EQ(rec_.beeps, c.beeps);
    }
}

TEST_F(BoxTest, LongFormattedInformationIsCutToItsRoom) {
    std::string long_text(5000, 'x');
    EXPECT_EQ(fxp_msg_infof("%str%", long_text.c_str()), 1);
    ASSERT_EQ(rec_.boxes.size(), 1u);
    EXPECT_EQ(rec_.boxes[0].text, std::string(4095, 'x'));
}

TEST_F(BoxTest, MapsBoxResultsToAnswerCodes) {
    struct Case {
        int box_result, ask, warn_ask;
    };
    const Case cases[] = {
        {IDYES, 'Y', 'Y'}, {IDNO, 'N', 'N'}, {IDCANCEL, 27, 27}, {0, 27, 'N'}, {IDOK, 27, 'N'},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.box_result);
        rec_.answer = c.box_result;
        EXPECT_EQ(fxp_msg_ask(nullptr, "q", nullptr, 'N'), c.ask);
        EXPECT_EQ(fxp_msg_warn_ask(nullptr, "q", nullptr, 'N'), c.warn_ask);
    }
    rec_.answer = IDOK;
    EXPECT_EQ(fxp_msg_error("e"), 1);
    EXPECT_EQ(fxp_msg_info("i"), 1);
}

TEST_F(BoxTest, UnattendedBoxesAnswerAtOnceByButtonSet) {
    rec_.visible = false;
    const struct {
        UINT style;
        int result;
    } cases[] = {
        {MB_OK | MB_ICONSTOP, IDOK},        {MB_OKCANCEL, IDOK},
        {MB_ABORTRETRYIGNORE, IDABORT},     {MB_YESNOCANCEL | MB_DEFBUTTON1, IDCANCEL},
        {MB_YESNO | MB_ICONQUESTION, IDNO}, {MB_RETRYCANCEL, IDCANCEL},
        {MB_CANCELTRYCONTINUE, IDCANCEL},   {7, IDOK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.style);
        EXPECT_EQ(fxp_msg_box(nullptr, "t", nullptr, c.style), c.result);
    }
    EXPECT_TRUE(rec_.boxes.empty());

    EXPECT_EQ(fxp_msg_warn_ask("SYSTEM IN USE!", "x", "Do you wish to proceed?", 'N'), 'N');
    EXPECT_EQ(fxp_msg_ask(nullptr, "x", nullptr, 'Y'), 'N');
    EXPECT_EQ(fxp_msg_ask("x", 0, 0, 'Y', 0, 0, 0, 0, 0, true), 27);
    EXPECT_EQ(fxp_msg_error("e"), 1);
    EXPECT_EQ(fxp_msg_info("i"), 1);
    EXPECT_TRUE(rec_.boxes.empty());

    // The service-notification bit shows the box all the same.
    rec_.answer = IDYES;
    EXPECT_EQ(fxp_msg_box(nullptr, "t", "T", MB_YESNO | MB_SERVICE_NOTIFICATION), IDYES);
    EXPECT_EQ(rec_.boxes.size(), 1u);
}

std::vector<int> hook_calls;

TEST_F(BoxTest, HookShowsTheBoxAndSeesItOpenAndClose) {
    rec_.visible = false;
    rec_.answer = IDYES;
    hook_calls.clear();
    msg_box_hook = [](int state) { hook_calls.push_back(state); };
    EXPECT_EQ(fxp_msg_ask(nullptr, "q", nullptr, 'N'), 'Y');
    EXPECT_EQ(hook_calls, (std::vector<int>{1, 0}));
    EXPECT_EQ(rec_.boxes.size(), 1u);

    // A hook that ends its modal mode when told of the box does not force it to show, and is
    // not called again afterwards.
    hook_calls.clear();
    msg_box_hook = [](int state) {
        hook_calls.push_back(state);
        msg_box_hook = nullptr;
    };
    EXPECT_EQ(fxp_msg_ask(nullptr, "q", nullptr, 'N'), 'N');
    EXPECT_EQ(hook_calls, (std::vector<int>{1}));
    EXPECT_EQ(rec_.boxes.size(), 1u);
}

int reactivations = 0;

TEST_F(BoxTest, CurrentWindowIsInactiveExactlyWhileTheBoxIsUp) {
    TXP_WINDOW root;
    root.handle = reinterpret_cast<HWND>(&root);
    TXP_WINDOW page;
    page.handle = reinterpret_cast<HWND>(&page);
    page.reactivated = [](TXP_WINDOW *) { ++reactivations; };
    fxp_window_push(&root);
    fxp_window_push(&page);
    reactivations = 0;

    fxp_msg_error("e");
    fxp_msg_info("i");
    fxp_msg_ask(nullptr, "q", nullptr, 'N');
    ASSERT_EQ(rec_.boxes.size(), 3u);
    for (const auto &box : rec_.boxes) {
        EXPECT_EQ(box.owner, page.handle);
        EXPECT_FALSE(box.owner_active);
    }
    EXPECT_TRUE(page.active);
    EXPECT_EQ(reactivations, 3);
    EXPECT_EQ(fxp_window_current(), &page);

    fxp_window_pop(&page);
    EXPECT_EQ(fxp_window_current(), &root);
    fxp_window_pop(&root);
    EXPECT_EQ(fxp_window_current(), nullptr);
    fxp_msg_error("no window");
    EXPECT_EQ(rec_.boxes.back().owner, nullptr);
}

// ---- At a terminal ----------------------------------------------------------------------------

// Runs in a child on a pseudo-terminal: asks one question and prints the answer code.
TEST(BoxTerminal, Child) {
    const char *what = std::getenv("KOVA_TEST_CHILD");
    if (!what) GTEST_SKIP() << "runs only as the child of BoxTerminal tests";
    int answer = 0;
    if (std::string(what) == "ask")
        answer = fxp_msg_ask(nullptr, "Fix 12: new stock report",
                             "Do you wish to install this patch?", 'N');
    else if (std::string(what) == "ask_cancel")
        answer = fxp_msg_ask("Replace?", 0, 0, 'Y', 0, 0, 0, 0, 0, true);
    else if (std::string(what) == "error")
        answer = fxp_msg_error("Invalid Command Line");
    std::printf("answer=%d\n", answer);
    std::fflush(stdout);
}

TEST(BoxTerminal, QuestionIsAnsweredByKeys) {
    struct Case {
        const char *child;
        const char *prompt;
        const char *keys;
        int answer;
    };
    const Case cases[] = {
        {"ask", "[Y]es [N]o  (Enter: No)", "y", 'Y'},
        {"ask", "[Y]es [N]o  (Enter: No)", "\r", 'N'},
        {"ask", "[Y]es [N]o  (Enter: No)", "xN", 'N'},
        {"ask_cancel", "[Y]es [N]o [C]ancel  (Enter: Yes)", "\x1b", 27},
        {"ask_cancel", "[Y]es [N]o [C]ancel  (Enter: Yes)", "c", 27},
        {"error", "[O]K  (Enter: OK)", "\r", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.child) + " " + c.keys);
        kova_test::Pty pty({kova_test::self_program(), "--gtest_filter=BoxTerminal.Child"},
                           {{"KOVA_TEST_CHILD", c.child}});
        ASSERT_TRUE(pty.expect(c.prompt)) << pty.output();
        pty.send(c.keys);
        ASSERT_TRUE(pty.expect("answer=" + std::to_string(c.answer))) << pty.output();
        EXPECT_EQ(pty.wait(), 0);
    }
}

TEST(BoxTerminal, QuestionShowsItsTextAndErrorsRingTheBell) {
    kova_test::Pty ask({kova_test::self_program(), "--gtest_filter=BoxTerminal.Child"},
                       {{"KOVA_TEST_CHILD", "ask"}});
    ASSERT_TRUE(ask.expect("Fix 12: new stock report\r\n\r\nDo you wish to install this patch?"))
        << ask.output();
    ask.send("n");
    ASSERT_TRUE(ask.expect("answer=78"));
    EXPECT_EQ(ask.output().find('\a'), std::string::npos) << "questions make no sound";

    kova_test::Pty error({kova_test::self_program(), "--gtest_filter=BoxTerminal.Child"},
                         {{"KOVA_TEST_CHILD", "error"}});
    ASSERT_TRUE(error.expect("== Error ==\r\nInvalid Command Line")) << error.output();
    size_t bell = error.output().find('\a');
    ASSERT_NE(bell, std::string::npos) << "error boxes sound the exclamation beep";
    EXPECT_LT(bell, error.output().find("Invalid Command Line"));
    error.send("\r");
    EXPECT_TRUE(error.expect("answer=1"));
}

} // namespace
