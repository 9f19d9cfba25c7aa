// Progress and wait windows on a pseudo-terminal: one line redrawn in place, at most ten
// times a second and always at 100 %, cancelled by Escape; and nothing at all unattended.
#include "kernel/ui/prog.h"
#include "tests/support/testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

DWORD child_now = 0;
DWORD child_ticks() {
    return child_now;
}

// Runs in a child on a pseudo-terminal (or unattended).
TEST(ProgTerminal, Child) {
    const char *what = std::getenv("KOVA_TEST_CHILD");
    if (!what) GTEST_SKIP() << "runs only as the child of ProgTerminal tests";
    if (std::string(what) == "progress") {
        // A second of work in 1,000 steps of a millisecond each, on the child's own clock.
        fxp_ticks_source(child_ticks);
        child_now = 5000;
        TXP_PROG_T prog;
        fxp_prog_init(&prog);
        fxp_prog_open(&prog, nullptr, "Processing fix1.kvz", DXP_PROG_AUTO_WIDTH, DXP_PROG_STATUS);
        fxp_prog_linef(&prog, "%str%ing %str%", "Extract", "kvmenu.dat");
        for (uint32_t done = 0; done <= 1000; ++done) {
            child_now = 5000 + done;
            fxp_prog_ratio(&prog, done, 1000);
        }
        fxp_prog_close(&prog);
        std::printf("progress-done\n");
    } else if (std::string(what) == "cancel") {
        TXP_PROG_T prog;
        fxp_prog_open(&prog, "Do you wish to cancel?", "Building fix1.kvz", DXP_PROG_AUTO_WIDTH, 0);
        uint16_t cancelled = 0;
        for (uint16_t percent = 0; !cancelled; percent = (percent + 1) % 100) {
            cancelled = fxp_prog_percent(&prog, percent);
            Sleep(5);
        }
        fxp_prog_close(&prog);
        std::printf("cancelled=%u\n", cancelled);
    } else if (std::string(what) == "wait") {
        TXP_PWIN_T pwin;
        fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr, 0x106,
                      nullptr, nullptr, 0, 0, nullptr, 20, &pwin);
        fxp_pwin_line(&pwin, "Checking for KOVA Services");
        fxp_pwin_wait(&pwin, 1, nullptr);
        fxp_pwin_close(&pwin);
        std::printf("wait-done\n");
    }
    std::fflush(stdout);
}

kova_test::Pty child(const char *what) {
    return kova_test::Pty({kova_test::self_program(), "--gtest_filter=ProgTerminal.Child"},
                          {{"KOVA_TEST_CHILD", what}});
}

TEST(ProgTerminal, ProgressLineAtATerminal) {
    kova_test::Pty pty({kova_test::self_program(), "--gtest_filter=ProgTerminal.Child"},
                       {{"KOVA_TEST_CHILD", "progress"}});
    ASSERT_TRUE(pty.expect("progress-done")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
    const std::string &out = pty.output();
    size_t first = out.find("\rProcessing fix1.kvz");
    ASSERT_NE(first, std::string::npos) << out;
    std::string box = out.substr(first, out.find("progress-done") - first);
    // One line, redrawn in place: no line end until the box closes.
    size_t end = box.find('\n');
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(box.find('\n', end + 1), std::string::npos) << box;
    // A second of updates: the first draw, one per tenth of a second, and the last at 100 %.
    long draws = std::count(box.begin(), box.begin() + static_cast<long>(end), '\r');
    EXPECT_GE(draws, 3) << box;
    EXPECT_LE(draws, 13) << box;
    std::string last = box.substr(box.rfind('\r', end - 2));
    // Too narrow for both title and status line: the file being worked on stays, whole.
    EXPECT_NE(last.find("\r[##########] 100%  Less than a minute  Extracting kvmenu.dat"),
              std::string::npos)
        << last;
}

TEST(ProgTerminal, EscapeCancelsAfterTheQuestion) {
    kova_test::Pty pty = child("cancel");
    ASSERT_TRUE(pty.expect("Building fix1.kvz")) << pty.output();
    pty.send("\x1b");
    ASSERT_TRUE(pty.expect("Do you wish to cancel?")) << pty.output();
    ASSERT_TRUE(pty.expect("[Y]es [N]o  (Enter: No)")) << pty.output();
    pty.send("n");
    // Going on: the line is drawn again below the question.
    ASSERT_TRUE(pty.expect("\rBuilding fix1.kvz")) << pty.output();
    pty.send("\x1b");
    ASSERT_TRUE(pty.expect("Do you wish to cancel?")) << pty.output();
    pty.send("y");
    ASSERT_TRUE(pty.expect("cancelled=1")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
}

TEST(ProgTerminal, WaitLineAtATerminal) {
    kova_test::Pty pty = child("wait");
    ASSERT_TRUE(pty.expect("| Please Wait: Checking for KOVA Services ...")) << pty.output();
    // The spinner turns while the box waits.
    ASSERT_TRUE(pty.expect("/ Please Wait: Checking for KOVA Services ...")) << pty.output();
    ASSERT_TRUE(pty.expect("wait-done")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
}

TEST(ProgTerminal, NothingIsDrawnUnattended) {
    for (const char *what : {"progress", "wait"}) {
        kova_test::RunResult run =
            kova_test::run({kova_test::self_program(), "--gtest_filter=ProgTerminal.Child"},
                           {{"KOVA_TEST_CHILD", what}, {"KOVA_UNATTENDED", "1"}});
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_NE(run.out.find(std::string(what) + "-done"), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "") << what;
    }
}

} // namespace
