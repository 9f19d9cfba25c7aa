// Usage text, its paging, the option registry and the fatal path.
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/usage.h"
#include "tests/support/testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const banner_lines[] = {"Version 9", "Second banner line", nullptr};
const char *const help_lines[] = {
    "\tindented", "plain", "", "\x02not printed", "\x01\tmarked", "\x01\x02not printed either",
    nullptr};
const char *const hidden_lines[] = {"\tdeep", "flat", nullptr};
const TXP_USAGE_PROGRAM test_program = {"Test Program", banner_lines, " file [/x]", help_lines,
                                        hidden_lines};

// A channel that keeps what is written and counts the prompts answered.
struct Captured {
    std::string out, err;
    int keys = 0;
    int rows = 0;
};
Captured *captured = nullptr;

class UsageTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_channel_ = fxp_channel;
        saved_mode_ = fxp_console_mode;
        captured = &cap_;
        fxp_channel.write = [](std::string_view text) { captured->out += text; };
        fxp_channel.write_error = [](std::string_view text) { captured->err += text; };
        fxp_channel.wait_key = [] { ++captured->keys; };
        fxp_channel.page_rows = [] { return captured->rows; };
        fxp_usage_program(&test_program);
    }
    void TearDown() override {
        fxp_channel = saved_channel_;
        fxp_console_mode = saved_mode_;
        fxp_usage_program(nullptr);
        captured = nullptr;
    }
    kova_test::TempPrefix prefix_;
    Captured cap_;

private:
    TXP_CHANNEL saved_channel_;
    bool saved_mode_;
};

const std::string wipe = "\r" + std::string(79, ' ') + "\r";
const std::string prompt = "Press Any Key to Continue ... " + wipe;

TEST_F(UsageTest, PrintsBannerSyntaxOptionsAndHelpLines) {
    const std::string plain = "Test Program\n"
                              "Version 9\n"
                              "Second banner line\n"
                              "\n"
                              "Usage:\n"
                              "      test_ui [/h][/?] file [/x]\n"
                              "Where:\n"
                              "      /h or /? displays this help\n"
                              "      indented\n"
                              "plain\n"
                              "\n"
                              "      marked\n";
    const std::string hidden_part = "\n"
                                    "Hidden options:\n"
                                    "      /* displays hidden options help\n"
                                    "      deep\n"
                                    "flat\n";
    fxp_console_mode = true;
    EXPECT_EQ(fxp_usage_banner(), 3);
    fxp_usage_print(false);
    EXPECT_EQ(cap_.out, plain);
    EXPECT_EQ(cap_.keys, 0) << "the console ends without a prompt";

    cap_.out.clear();
    fxp_usage_banner();
    fxp_usage_print(true);
    EXPECT_EQ(cap_.out, plain + hidden_part);

    // Outside console mode lines end in CR LF and the usage ends with the prompt.
    fxp_console_mode = false;
    cap_.out.clear();
    fxp_usage_banner();
    fxp_usage_print(false);
    std::string windowed;
    for (char c : plain) windowed += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(cap_.out, windowed + prompt);
    EXPECT_EQ(cap_.keys, 1);
}

TEST_F(UsageTest, PagesByTheRowsOfTheReader) {
    std::vector<std::string> texts;
    for (int i = 0; i < 45; ++i) texts.push_back("line" + std::to_string(100 + i).substr(1));
    std::vector<const char *> many;
    for (const auto &t : texts) many.push_back(t.c_str());
    many.push_back(nullptr);
    const char *const three[] = {"line00", "line01", "line02", nullptr};

    struct Case {
        const char *what;
        int rows;
        const char *const *help;
        bool hidden;
        std::vector<std::string> pages_before; // the line each prompt comes before
    };
    // With a 3-line banner and one registered entry the count starts at 9; the prompt comes
    // when it reaches rows - 1, and the count restarts at 1.
    const Case cases[] = {
        {"25 rows", 25, many.data(), false, {"line15\n", "line38\n"}},
        {"prompt before the hidden part", 13, three, true, {"\nHidden options:\n"}},
        {"not paged", 0, many.data(), true, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TXP_USAGE_PROGRAM program = test_program;
        program.help = c.help;
        fxp_usage_program(&program);
        fxp_console_mode = true;
        cap_ = Captured{};
        cap_.rows = c.rows;
        fxp_usage_banner();
        fxp_usage_print(c.hidden);
        EXPECT_EQ(cap_.keys, static_cast<int>(c.pages_before.size()));
        size_t at = 0;
        for (const auto &next : c.pages_before) {
            at = cap_.out.find(prompt + next, at);
            EXPECT_NE(at, std::string::npos) << "no prompt before " << next << cap_.out;
        }
    }
}

// ---- In a child process -----------------------------------------------------------------------

const char *child_role() {
    return std::getenv("KOVA_TEST_CHILD");
}

TEST(UsageChild, Child) {
    if (!child_role()) GTEST_SKIP() << "runs only as the child of usage tests";
    std::string role = child_role();
    fxp_usage_program(&test_program);
    if (role == "fatal") fxp_fatal("Unable to Determine Application Font");
    if (role == "fatal_banner") fxp_fatal_banner("Unable to Register LXOWIN Class");
    if (role == "paged") {
        static std::vector<std::string> texts;
        static std::vector<const char *> lines;
        for (int i = 0; i < 30; ++i) texts.push_back("help line " + std::to_string(i));
        for (const auto &t : texts) lines.push_back(t.c_str());
        lines.push_back(nullptr);
        static TXP_USAGE_PROGRAM program = test_program;
        program.help = lines.data();
        fxp_usage_program(&program);
        fxp_usage_banner();
        fxp_usage_print(false);
    }
    if (role == "no_streams_usage" || role == "no_streams_fatal") {
        // A windowed program started without a console: nothing behind standard output and
        // standard error. Its boxes are written to the file the parent names.
        msg_box_hook = [](int) {};
        fxp_presenter.box = [](HWND, const char *text, const char *title, UINT) -> int {
            std::ofstream(std::getenv("KOVA_TEST_BOXES"), std::ios::app)
                << (title ? title : "(none)") << "|" << text << "\n";
            return IDOK;
        };
        close(1);
        close(2);
        if (role == "no_streams_fatal") fxp_fatal("Unable to Determine Application Font");
        fxp_usage_switches(); // started with /?
        std::_Exit(3);        // not reached
    }
    if (role == "registry") {
        // Ten entries at most: the first and nine more; the rest are ignored.
        const char *fragments[] = {"[/a]", "[/b]", "[/c]", "[/d]", "[/e]", "[/f]",
                                   "[/g]", "[/i]", "[/j]", "[/k]", "[/l]"};
        for (const char *f : fragments) fxp_usage_add(f, f);
        static std::string out;
        fxp_channel.write = [](std::string_view text) { out += text; };
        fxp_usage_print(false);
        EXPECT_NE(out.find("test_ui [/h][/?][/a][/b][/c][/d][/e][/f][/g][/i][/j] file [/x]\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("[/k]"), std::string::npos);
        EXPECT_NE(out.find("Where:\n      /h or /? displays this help\n      [/a]\n"),
                  std::string::npos);
    }
    if (role == "switches") {
        // Started with: --gtest_filter=... /help -x /M file
        ASSERT_EQ(fxp_argc(), 6);
        EXPECT_TRUE(fxp_switch_present('H')) << "the argument may be longer";
        EXPECT_TRUE(fxp_switch_present('X'));
        EXPECT_TRUE(fxp_switch_present('M'));
        EXPECT_FALSE(fxp_switch_present('F')) << "file is no switch";
        EXPECT_FALSE(fxp_switch_present('?'));

        EXPECT_FALSE(fxp_switch_take('h', nullptr, true)) << "/help is not exactly /h";
        std::string out;
        EXPECT_TRUE(fxp_switch_take('m', &out, true));
        EXPECT_EQ(out, "/M");
        ASSERT_EQ(fxp_argc(), 5);
        EXPECT_STREQ(fxp_argv()[4], "file");
        EXPECT_EQ(fxp_argv()[5], nullptr);
        EXPECT_TRUE(fxp_switch_take('H', &out, false));
        EXPECT_EQ(out, "/help");
        ASSERT_EQ(fxp_argc(), 4);
        EXPECT_STREQ(fxp_argv()[2], "-x");
        EXPECT_STREQ(fxp_argv()[3], "file");
        EXPECT_FALSE(fxp_switch_present('H'));
    }
}

TEST(Usage, FatalPathEndsWithStatusOne) {
    kova_test::TempPrefix prefix;
    struct Case {
        const char *role;
        std::string err;
    };
    const Case cases[] = {
        {"fatal", "Unable to Determine Application Font\n"},
        {"fatal_banner",
         "Test Program\nVersion 9\nSecond banner line\nUnable to Register LXOWIN Class\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.role);
        auto result = kova_test::run({kova_test::self_program(), "--gtest_filter=UsageChild.Child"},
                                     {{"KOVA_TEST_CHILD", c.role}});
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(Usage, WithoutStreamsTheTextsAreShownInBoxes) {
    kova_test::TempPrefix prefix;
    struct Case {
        const char *role;
        int status;
        std::string box;
    };
    const Case cases[] = {
        {"no_streams_usage", 0,
         "Information|Test Program\nVersion 9\nSecond banner line\n\nUsage:\n      test_ui "
         "[/h][/?] file [/x]\n"},
        {"no_streams_fatal", 1, "(none)|Unable to Determine Application Font\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.role);
        std::string boxes = prefix.path() + "/boxes.txt";
        std::remove(boxes.c_str());
        auto result =
            kova_test::run({kova_test::self_program(), "--gtest_filter=UsageChild.Child", "/?"},
                           {{"KOVA_TEST_CHILD", c.role}, {"KOVA_TEST_BOXES", boxes}});
        EXPECT_EQ(result.status, c.status);
        std::ifstream in(boxes);
        std::stringstream read;
        read << in.rdbuf();
        std::string text = read.str();
        // One box, saying all of it.
        EXPECT_EQ(text.compare(0, c.box.size(), c.box), 0) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '|'), 1) << text;
    }
}

TEST(Usage, ConsolePagesAtATerminalAndWaitsForAKey) {
    kova_test::TempPrefix prefix;
    kova_test::Pty pty({kova_test::self_program(), "--gtest_filter=UsageChild.Child"},
                       {{"KOVA_TEST_CHILD", "paged"}});
    // 25 rows, a 3-line banner and one entry: the prompt comes before help line 15.
    ASSERT_TRUE(pty.expect("help line 14\r\nPress Any Key to Continue ... ")) << pty.output();
    EXPECT_EQ(pty.output().find("help line 15"), std::string::npos);
    pty.send(" ");
    ASSERT_TRUE(pty.expect("\r" + std::string(79, ' ') + "\rhelp line 15\r\n")) << pty.output();
    ASSERT_TRUE(pty.expect("help line 29")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
}

TEST(Usage, RegistryKeepsTenEntriesInOrder) {
    kova_test::TempPrefix prefix;
    auto result = kova_test::run({kova_test::self_program(), "--gtest_filter=UsageChild.Child"},
                                 {{"KOVA_TEST_CHILD", "registry"}});
    EXPECT_EQ(result.status, 0) << result.out;
}

TEST(Usage, SwitchesAreFoundAndTakenFromTheArguments) {
    kova_test::TempPrefix prefix;
    auto result = kova_test::run(
        {kova_test::self_program(), "--gtest_filter=UsageChild.Child", "/help", "-x", "/M", "file"},
        {{"KOVA_TEST_CHILD", "switches"}});
    EXPECT_EQ(result.status, 0) << result.out;
}

} // namespace
