// Progress, wait and status windows without a screen: percentages, bar ranges, the estimate
// against a clock the test moves, pause and resume, cancelling, closed records, the wait line,
// and the terminal's line and pacing.
#include "kernel/ui/prog.h"
#include "tests/ui/prog_fakes.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using pages_test::fake_now;
using pages_test::FakeScreen;

// A presenter view that counts what it is asked to do; the operator asks to cancel when
// `cancel` is set.
struct ViewLog {
    int opens = 0, shows = 0, closes = 0, status = 0;
    bool cancel = false;
};
ViewLog *view_log = nullptr;

class ProgTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fxp_prog_view;
        view_log = &log_;
        fxp_prog_view.prog_open = [](TXP_PROG_T *) { ++view_log->opens; };
        fxp_prog_view.prog_show = [](TXP_PROG_T *) { ++view_log->shows; };
        fxp_prog_view.prog_close = [](TXP_PROG_T *) { ++view_log->closes; };
        fxp_prog_view.pwin_open = [](TXP_PWIN_T *) { ++view_log->opens; };
        fxp_prog_view.pwin_show = [](TXP_PWIN_T *) { ++view_log->shows; };
        fxp_prog_view.pwin_close = [](TXP_PWIN_T *) { ++view_log->closes; };
        fxp_prog_view.status_show = [](const std::string &) { ++view_log->status; };
        fxp_prog_view.cancel_request = [] { return view_log->cancel; };
    }
    void TearDown() override {
        fxp_prog_close(&prog_);
        fxp_prog_view = saved_;
        view_log = nullptr;
        fxp_operator_present_set(1);
    }
    // Opens a box at the current fake time with a status line.
    void open(const char *question = nullptr) {
        fxp_prog_init(&prog_);
        fxp_prog_open(&prog_, question, "Processing fix1.kvz", DXP_PROG_AUTO_WIDTH,
                      DXP_PROG_STATUS);
    }
    FakeScreen screen_;
    ViewLog log_;
    TXP_PROG_T prog_;

private:
    TXP_PROG_VIEW saved_;
};

TEST(ProgArithmetic, PercentagesOfCounts) {
    struct Case {
        uint64_t done, total;
        uint16_t percent;
    };
    const Case cases[] = {
        {0, 0, 100},
        {50, 0, 100},
        {1, 3, 33},
        {0, 7, 0},
        {50000000, 100000000, 50}, // both divided by 100 first
        {42949672, 42949672, 100}, // the largest done taken as it is
        {42949673, 42949700, 99},  // divided: 429496 of 429497
        {99, 50, 198},             // more than done is shown as it is
    };
    for (const Case &c : cases) {
        EXPECT_EQ(
            fxp_prog_percent_of(static_cast<uint32_t>(c.done), static_cast<uint32_t>(c.total)),
            c.percent)
            << c.done << "/" << c.total;
        EXPECT_EQ(fxp_prog_ratio64(c.done, c.total), c.percent) << c.done << "/" << c.total;
    }
    // Counts beyond 32 bits, around the 64-bit threshold.
    EXPECT_EQ(fxp_prog_ratio64(184467440737095516ULL, 184467440737095516ULL * 2), 50);
    EXPECT_EQ(fxp_prog_ratio64(0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL), 100);
    EXPECT_EQ(fxp_prog_ratio64(6000000000ULL, 8000000000ULL), 75);
    // A done far beyond its total saturates instead of wrapping round to a small number.
    EXPECT_EQ(fxp_prog_percent_of(100000, 1), 0xFFFF);
}

TEST(ProgArithmetic, BarRanges) {
    const std::pair<uint16_t, uint32_t> cases[] = {{3, 3333}, {100, 100}, {1, 10000},
                                                   {50, 200}, {7, 1428},  {99, 101}};
    for (auto [percent, high] : cases) EXPECT_EQ(fxp_prog_bar_range(percent), high) << percent;
}

TEST(ProgArithmetic, RemainingNeverWrapsPastTheEnd) {
    EXPECT_EQ(fxp_prog_remaining(60, 50), 60u);
    EXPECT_EQ(fxp_prog_remaining(3, 2), 147u);
    EXPECT_EQ(fxp_prog_remaining(500, 100), 0u);
    EXPECT_EQ(fxp_prog_remaining(500, 150), 0u);
    EXPECT_EQ(fxp_prog_remaining(500, 0), 0u);
}

TEST_F(ProgTest, EstimatesFromTheClock) {
    struct Case {
        DWORD elapsed_ms;
        uint16_t percent;
        const char *estimate;
    };
    const Case cases[] = {
        {60000, 50, "1 min 0 sec"},
        {3000, 2, "2 min 27 sec"},
        {3600000, 1, "99 hours 0 min 0 sec"},
        {3600000, 50, "1 hour 0 min 0 sec"}, // exactly one hour: no plural
        {7200000, 50, "2 hours 0 min 0 sec"},
        {5400000, 50, "1 hour 30 min 0 sec"},
        {90000, 90, "Less than a minute"},
        {59499, 50, "Less than a minute"}, // elapsed rounds to 59 s
        {59500, 50, "1 min 0 sec"},        // ... and to 60 s
    };
    for (const Case &c : cases) {
        open();
        EXPECT_EQ(prog_.estimate_value, "Unknown");
        EXPECT_EQ(prog_.percent_value, "0%");
        fake_now += c.elapsed_ms;
        fxp_prog_percent(&prog_, c.percent);
        EXPECT_EQ(prog_.estimate_value, c.estimate) << c.percent << "% after " << c.elapsed_ms;
        EXPECT_EQ(prog_.percent_value, std::to_string(c.percent) + "%");
        EXPECT_EQ(prog_.bar.position, 100u);
        EXPECT_EQ(prog_.bar.high, fxp_prog_bar_range(c.percent));
        fxp_prog_close(&prog_);
    }
}

TEST_F(ProgTest, ShortEstimateIsKeptUntilItGrowsAgain) {
    open();
    fake_now += 90000;
    fxp_prog_percent(&prog_, 90);
    EXPECT_EQ(prog_.estimate_value, "Less than a minute");
    EXPECT_EQ(prog_.short_estimate, 1);
    fake_now += 1000;
    fxp_prog_percent(&prog_, 91);
    EXPECT_EQ(prog_.estimate_value, "Less than a minute");
    EXPECT_EQ(prog_.short_estimate, 1);
    // The work slowed down: 92 % after 20 minutes leaves 1 min 44 sec.
    fake_now = 1000 + 1200000;
    fxp_prog_percent(&prog_, 92);
    EXPECT_EQ(prog_.estimate_value, "1 min 44 sec");
    EXPECT_EQ(prog_.short_estimate, 0);
}

TEST_F(ProgTest, RepeatedPercentageOnlyPumps) {
    open();
    fake_now += 60000;
    fxp_prog_percent(&prog_, 50);
    int shows = log_.shows;
    prog_.drawn.stale = false;
    fake_now += 600000; // an estimate now would differ
    EXPECT_EQ(fxp_prog_percent(&prog_, 50), 0);
    EXPECT_EQ(prog_.estimate_value, "1 min 0 sec");
    EXPECT_EQ(prog_.bar.high, 200u);
    EXPECT_FALSE(prog_.drawn.stale);
    EXPECT_EQ(log_.shows, shows + 1); // still pumped
}

TEST_F(ProgTest, PausedTimeDoesNotCount) {
    open();
    fake_now += 30000;
    fxp_prog_pause(&prog_);
    fake_now += 100000;
    fxp_prog_pause(&prog_); // already paused: the first pause counts
    // While paused the percentage shows but the estimate stays.
    fxp_prog_percent(&prog_, 10);
    EXPECT_EQ(prog_.percent_value, "10%");
    EXPECT_EQ(prog_.estimate_value, "Unknown");
    fake_now += 100000;
    fxp_prog_resume(&prog_);
    EXPECT_EQ(prog_.paused_at, 0u);
    fake_now += 30000;
    // 60 s of work, not 260 s: 50 % leaves 1 min.
    fxp_prog_percent(&prog_, 50);
    EXPECT_EQ(prog_.estimate_value, "1 min 0 sec");
}

TEST_F(ProgTest, ClosedBoxDoesNothing) {
    TXP_PROG_T prog;
    fxp_prog_init(&prog);
    EXPECT_EQ(fxp_prog_percent(&prog, 50), 0);
    EXPECT_EQ(fxp_prog_ratio(&prog, 1, 2), 0);
    EXPECT_EQ(fxp_prog_line(&prog, "x"), 0);
    EXPECT_EQ(fxp_prog_linef(&prog, "%str%", "x"), 0);
    fxp_prog_pause(&prog);
    fxp_prog_resume(&prog);
    fxp_prog_close(&prog);
    EXPECT_EQ(log_.opens + log_.shows + log_.closes, 0);
    EXPECT_EQ(prog.percent_value, "");
    EXPECT_EQ(prog.paused_at, 0u);

    // After a close the record is closed again, and it leaves the window stack.
    TXP_WINDOW *before = fxp_window_current();
    open();
    EXPECT_EQ(fxp_window_current(), &prog_.window);
    fxp_prog_close(&prog_);
    EXPECT_EQ(fxp_window_current(), before);
    EXPECT_EQ(log_.closes, 1);
    EXPECT_EQ(fxp_prog_percent(&prog_, 60), 0);
    EXPECT_EQ(prog_.percent_value, "0%");
}

TEST_F(ProgTest, ReopeningStartsAfresh) {
    open("Stop?");
    fxp_prog_percent(&prog_, 40);
    prog_.flags |= DXP_PROG_CANCELLED;
    fxp_prog_open(&prog_, nullptr, "Second", DXP_PROG_AUTO_WIDTH,
                  DXP_PROG_STATUS | DXP_PROG_CANCELLED);
    EXPECT_EQ(log_.closes, 1); // the open box was closed first
    EXPECT_EQ(prog_.title, "Second");
    EXPECT_EQ(prog_.flags, DXP_PROG_STATUS); // a confirmed Cancel is never carried in
    EXPECT_EQ(prog_.percent_value, "0%");
    EXPECT_EQ(prog_.last_percent, 0);
    EXPECT_EQ(prog_.cancel_button, 0);
    fxp_prog_close(&prog_);
}

TEST_F(ProgTest, StatusLine) {
    open();
    EXPECT_EQ(fxp_prog_linef(&prog_, "%str%ing %str%", "Extract", "kvmenu.dat"), 0);
    EXPECT_EQ(prog_.status_line, "Extracting kvmenu.dat");
    std::string long_text(3000, 'x');
    fxp_prog_linef(&prog_, "%str%", long_text.c_str());
    EXPECT_EQ(prog_.status_line.size(), 1023u); // the line's room, terminator included
    fxp_prog_close(&prog_);

    // Without a status line the text goes nowhere.
    fxp_prog_open(&prog_, nullptr, "t", DXP_PROG_AUTO_WIDTH, 0);
    fxp_prog_line(&prog_, "Verifying x");
    EXPECT_EQ(prog_.status_line, "");
    fxp_prog_close(&prog_);
}

TEST_F(ProgTest, CancelIsAskedAndRemembered) {
    // No Cancel asked for: never cancelled.
    open();
    log_.cancel = true;
    EXPECT_EQ(fxp_prog_percent(&prog_, 10), 0);
    EXPECT_TRUE(screen_.boxes().texts.empty());
    fxp_prog_close(&prog_);

    // The operator asks, then says No: the work goes on and the next request asks again.
    open("Do you wish to cancel?");
    EXPECT_EQ(prog_.cancel_button, 1);
    screen_.boxes().answers = {IDNO, IDYES};
    EXPECT_EQ(fxp_prog_percent(&prog_, 10), 0);
    ASSERT_EQ(screen_.boxes().texts.size(), 1u);
    EXPECT_EQ(screen_.boxes().texts[0], "Do you wish to cancel?");
    EXPECT_EQ(fxp_prog_ratio(&prog_, 20, 100), 1);
    EXPECT_TRUE(prog_.flags & DXP_PROG_CANCELLED);
    // Once confirmed, every update answers 1 without asking again.
    EXPECT_EQ(fxp_prog_line(&prog_, "x"), 1);
    EXPECT_EQ(screen_.boxes().texts.size(), 2u);
    fxp_prog_close(&prog_);

    // Without an operator present the question is dropped.
    fxp_operator_present_set(0);
    open("Do you wish to cancel?");
    EXPECT_EQ(prog_.cancel_button, 0);
    EXPECT_EQ(fxp_prog_percent(&prog_, 10), 0);
    EXPECT_EQ(screen_.boxes().texts.size(), 2u);
    fxp_prog_close(&prog_);
}

TEST_F(ProgTest, WaitWindowLine) {
    TXP_PWIN_T pwin;
    EXPECT_EQ(fxp_pwin_line(&pwin, "x"), 0); // never opened
    EXPECT_EQ(log_.shows, 0);

    fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr, 0x106,
                  nullptr, nullptr, 0, 0, nullptr, 20, &pwin);
    EXPECT_EQ(pwin.title, "Please Wait");
    EXPECT_EQ(pwin.animation, "LXPPWIN.AVI");
    EXPECT_EQ(pwin.line, "");
    EXPECT_EQ(fxp_pwin_line(&pwin, "Checking for KOVA Services"), 0);
    EXPECT_EQ(pwin.line, "Checking for KOVA Services ...");
    fxp_pwin_close(&pwin);
    EXPECT_EQ(fxp_pwin_line(&pwin, "x"), 0);

    fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT,
                  "Installing Queue Manager", 0x106, nullptr, nullptr, 0, 0, "Installing", 0,
                  &pwin);
    fxp_pwin_line(&pwin, "kvqm");
    EXPECT_EQ(pwin.title, "Installing Queue Manager");
    EXPECT_EQ(pwin.line, "Installing kvqm ...");
    fxp_pwin_close(&pwin);
    EXPECT_EQ(log_.closes, 2);
}

bool stop_now() {
    return true;
}
int stop_calls = 0;
bool stop_third() {
    return ++stop_calls == 3;
}

TEST_F(ProgTest, WaitEndsOnStopOrCancel) {
    TXP_PWIN_T pwin;
    fxp_pwin_open("Cancel the wait?", DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr,
                  0x106, nullptr, nullptr, 0, 0, nullptr, 20, &pwin);
    // Far from the 600 seconds asked for: the callback ends it.
    EXPECT_EQ(fxp_pwin_wait(&pwin, 600, stop_now), 0);
    EXPECT_EQ(fxp_pwin_wait(&pwin, 600, stop_third), 0);
    EXPECT_EQ(stop_calls, 3);
    // Escape and Yes: cancelled.
    log_.cancel = true;
    screen_.boxes().answers = {IDYES};
    EXPECT_EQ(fxp_pwin_wait(&pwin, 600, nullptr), 1);
    EXPECT_EQ(screen_.boxes().texts.back(), "Cancel the wait?");
    screen_.boxes().answers = {IDNO};
    EXPECT_EQ(fxp_pwin_line(&pwin, "x"), 0);
    fxp_pwin_close(&pwin);
}

TEST_F(ProgTest, WrapperOpensOnlyForAnOperator) {
    screen_.boxes().visible = false;
    {
        CXP_PWIN wait;
        EXPECT_EQ(wait.open(nullptr, "Installing", 0, 0, "Installing Queue Manager"), 0);
        EXPECT_FALSE(wait.is_open());
        EXPECT_EQ(wait.linef("%str%", "x"), 0);
        EXPECT_EQ(log_.opens, 0);
    }
    screen_.boxes().visible = true;
    {
        CXP_PWIN wait;
        EXPECT_EQ(wait.open(3, nullptr, nullptr, 0, 0, "Title"), 1);
        EXPECT_EQ(wait.pwin().animation, "LXPPWIN3.AVI");
        EXPECT_EQ(wait.open(nullptr, "Uninstalling", 0, 0, "Again"), 1); // closes, reopens
        EXPECT_EQ(log_.closes, 1);
        EXPECT_EQ(wait.pwin().animation, "LXPPWIN.AVI");
        wait.linef("%str% %dword%,5", "file", 3u);
        EXPECT_EQ(wait.pwin().line, "Uninstalling file 3 ...");
    } // the destructor closes the box
    EXPECT_EQ(log_.closes, 2);
}

// ---- Layout of the native boxes ----

// Four dialog units to the character, as a fixed-pitch font would measure.
int four_per_char(const char *text) {
    return 4 * static_cast<int>(std::string(text).size());
}

TEST_F(ProgTest, ProgressLayoutFitsItsFigures) {
    // "Estimated time remaining" 96, "9999 hours 99 min 99 sec" 96, "Completed" 36, "999%" 16.
    constexpr int minimum = 96 + 96 + 36 + 16 + 40;
    struct Case {
        uint16_t width;
        uint16_t flags;
        const char *question;
        int cx, cy;
    };
    const Case cases[] = {
        {DXP_PROG_AUTO_WIDTH, 0, nullptr, minimum, 60},
        {100, DXP_PROG_STATUS, nullptr, minimum, 74}, // too narrow: the minimum
        {400, DXP_PROG_STATUS, "Stop?", 400, 95},
    };
    for (const Case &c : cases) {
        fxp_prog_init(&prog_);
        fxp_prog_open(&prog_, c.question, "Title", c.width, c.flags);
        TXP_PROG_LAYOUT l = fxp_prog_layout(prog_, four_per_char);
        SCOPED_TRACE(c.width);
        EXPECT_EQ(l.cx, c.cx);
        EXPECT_EQ(l.cy, c.cy);
        // The figures in a row, the last one ending inside the group's frame.
        EXPECT_EQ(l.estimate_value.x, 96 + 18);
        EXPECT_EQ(l.completed_label.x, 96 + 96 + 22);
        EXPECT_EQ(l.percent_value.x, 96 + 96 + 36 + 26);
        EXPECT_LE(l.percent_value.x + l.percent_value.cx, l.group.x + l.group.cx);
        EXPECT_EQ(l.bar.cx, c.cx - 28);
        EXPECT_EQ(l.status.cx, (c.flags & DXP_PROG_STATUS) ? c.cx - 28 : 0);
        if (c.question) {
            // Centred below the group, inside the box.
            EXPECT_EQ(l.cancel.x * 2 + l.cancel.cx, c.cx);
            EXPECT_GE(l.cancel.y, l.group.y + l.group.cy);
            EXPECT_LE(l.cancel.y + l.cancel.cy, l.cy);
        } else {
            EXPECT_EQ(l.cancel.cx, 0);
        }
    }
}

TEST_F(ProgTest, WaitLayoutFromWidthPrefixAndLines) {
    TXP_PWIN_T pwin;
    // Without width or prefix the line is 160 units wide; the animation is 40 by 28.
    fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr, 0x106,
                  nullptr, nullptr, 0, 0, nullptr, 20, &pwin);
    TXP_PWIN_LAYOUT l = fxp_pwin_layout(pwin, four_per_char);
    EXPECT_EQ(l.cx, 160 + 40 + 21);
    EXPECT_EQ(l.cy, 28 + 14);
    EXPECT_EQ(l.line.x, 54);
    EXPECT_EQ(l.line.y, 16);
    EXPECT_EQ(l.line.cx, 160);
    EXPECT_EQ(l.cancel.cx, 0);

    // A prefix makes room for itself and the expected line; a given animation keeps its size.
    fxp_pwin_open("Stop?", DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr, 0x106,
                  nullptr, "OTHER.AVI", 50, 30, "Step", 20, &pwin);
    l = fxp_pwin_layout(pwin, four_per_char);
    EXPECT_EQ(l.cx, 16 + 80 + 16 + 50 + 21);
    EXPECT_EQ(l.cy, 30 + 32);
    EXPECT_EQ(l.animation.cx, 50);
    EXPECT_NEAR(l.cancel.x * 2 + l.cancel.cx, l.cx, 1); // centred, to the unit
    EXPECT_EQ(l.cancel.y, 39);

    // A width in characters wins over the prefix.
    fxp_pwin_open(nullptr, 2, 3, 30, nullptr, 0x106, nullptr, nullptr, 0, 0, "Step", 20, &pwin);
    EXPECT_EQ(fxp_pwin_layout(pwin, four_per_char).line.cx, 120);
    fxp_pwin_close(&pwin);

    // The wrapper's extra lines give the line more rows and move Cancel down.
    CXP_PWIN wait;
    ASSERT_EQ(wait.open("Stop?", nullptr, 20, 2, nullptr), 1);
    l = fxp_pwin_layout(wait.pwin(), four_per_char);
    EXPECT_EQ(l.line.cy, 24);
    EXPECT_EQ(l.cy, 28 + 16 + 32);
    EXPECT_EQ(l.cancel.y, 39 + 16);
    EXPECT_LE(l.cancel.y + l.cancel.cy, l.cy);
}

TEST_F(ProgTest, StatusBarText) {
    fxp_status_text("before");
    EXPECT_EQ(log_.status, 0); // no bar yet
    fxp_status_create();
    fxp_status_textf("%str% %dword%,5", "Company", 12u);
    EXPECT_EQ(fxp_status_current(), "Company 12");
    std::string long_text(600, 'y');
    fxp_status_textf("%str%", long_text.c_str());
    EXPECT_EQ(fxp_status_current().size(), 255u);
    EXPECT_EQ(log_.status, 3);
}

TEST(ProgTerminal, LineFitsTheWidth) {
    TXP_PROG_T prog;
    prog.title = "Processing fix1.kvz";
    prog.percent_value = "42%";
    prog.estimate_value = "2 min 27 sec";
    prog.status_line = "Extracting kvmenu.dat";
    prog.bar = {fxp_prog_bar_range(42), 100};
    EXPECT_EQ(fxp_term_prog_text(prog, 100),
              "Processing fix1.kvz  [########............]  42%  2 min 27 sec  Extracting "
              "kvmenu.dat");
    // Narrower: the bar gives up cells first ...
    EXPECT_EQ(fxp_term_prog_text(prog, 79),
              "Processing fix1.kvz  [#####.........]  42%  2 min 27 sec  Extracting kvmenu.dat");
    // ... then a verb or file name is never cut: the title goes first, then the status line ...
    const std::string core = "[####......]  42%  2 min 27 sec";
    EXPECT_EQ(fxp_term_prog_text(prog, 60), core + "  Extracting kvmenu.dat");
    // ... and the bar, percentage and estimate always stay.
    EXPECT_EQ(fxp_term_prog_text(prog, 50), core);
    EXPECT_EQ(fxp_term_prog_text(prog, 40), core);

    // Folders give way in the middle, so the verb and the file name stay whole.
    prog.title = "Processing S:\\KOVABrisel\\unpatch\\incoming\\fix1.kvz";
    prog.status_line = "Extracting S:\\KOVABrisel\\abc\\overlays\\lookup.dat";
    EXPECT_EQ(fxp_term_prog_text(prog, 100), "Processing S:\\KO...ing\\fix1.kvz  " + core +
                                                 "  Extracting S:\\KO...lays\\lookup.dat");
    EXPECT_EQ(fxp_term_prog_text(prog, 80),
              core + "  Extracting S:\\KOVABrise...c\\overlays\\lookup.dat");
    EXPECT_EQ(fxp_term_prog_text(prog, 60), core + "  Extracting S:...\\lookup.dat");
    // A bar past its range is full.
    prog.bar = {fxp_prog_bar_range(300), 100};
    EXPECT_NE(fxp_term_prog_text(prog, 200).find("[####################]"), std::string::npos);

    TXP_PWIN_T pwin;
    pwin.title = "Please Wait";
    pwin.line = "Rebuilding Menu Files ...";
    EXPECT_EQ(fxp_term_pwin_text(pwin, 79), "| Please Wait: Rebuilding Menu Files ...");
    pwin.drawn.frame = 1;
    EXPECT_EQ(fxp_term_pwin_text(pwin, 20), "/ Please ...iles ...");
}

TEST(ProgTerminal, DrawsAtMostTenTimesASecond) {
    TXP_PROG_T prog;
    prog.last_percent = 10;
    EXPECT_TRUE(fxp_term_prog_due(prog, 5000)); // never drawn
    prog.drawn.shown = true;
    prog.drawn.at = 5000;
    EXPECT_FALSE(fxp_term_prog_due(prog, 5099));
    EXPECT_TRUE(fxp_term_prog_due(prog, 5100));
    prog.last_percent = 100;
    EXPECT_TRUE(fxp_term_prog_due(prog, 5001)); // always at 100 %
    prog.last_percent = 50;
    prog.drawn.at = 0xFFFFFFF0; // the tick count wraps
    EXPECT_FALSE(fxp_term_prog_due(prog, 0x40));
    EXPECT_TRUE(fxp_term_prog_due(prog, 0x60));
}

} // namespace
