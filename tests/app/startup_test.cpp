// Start-up: the exit actions in reverse order, a second start-up, the debug switches reaching
// the trace, the out-of-memory handler, and the reports start-up registers for the connection
// layer. Start-up changes the whole process, so most of it runs in child processes of this
// program.
#include "kernel/app/startup.h"
#include "kernel/coord/conn.h"
#include "kernel/files/install.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"
#include "tests/support/testing.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

using kova_test::read_file;
using kova_test::run;
using kova_test::write_file;

kova_test::RunResult run_child(const std::string &test, std::map<std::string, std::string> env) {
    env["KOVA_TEST_CHILD"] = "1";
    return run({kova_test::self_program(), "--gtest_filter=StartupChild." + test}, env);
}

bool in_child() {
    return std::getenv("KOVA_TEST_CHILD") != nullptr;
}

const char *const banner[] = {"Version 9.9", nullptr};
const char *const help[] = {nullptr};
const TXP_USAGE_PROGRAM program = {"KOVA Test Program", banner, " [x]", help, nullptr};
const TXP_USAGE_PROGRAM other = {"Another Title", nullptr, "", help, nullptr};

// What an exit action sees of the process, appended to the file named by KOVA_EXIT_LOG.
void note(const char *who) {
    std::string line = std::string(who) + " conn=" + (fxi_conn_initialised() ? "1" : "0") +
                       " root=" + (fxp_window_current() == &fxp_app().root ? "1" : "0") + "\n";
    write_file(std::getenv("KOVA_EXIT_LOG"), read_file(std::getenv("KOVA_EXIT_LOG")) + line);
}

// ---- Children ----

TEST(StartupChild, ExitActions) {
    if (!in_child()) GTEST_SKIP() << "run by Startup.ExitActionsRunInReverseOrder";
    fxp_exit_add("before start-up", [] { note("before"); });
    fxp_startup(nullptr, &program);
    EXPECT_EQ(fxp_exit_pending(),
              (std::vector<std::string>{
                  "before start-up", "uninitialise COM", "unload the visual-style library",
                  "destroy the main window and its class", "shut the connection layer down",
                  "remove the fonts", "close the root window", "destroy the status bar",
                  "destroy the tool bar"}));
    EXPECT_TRUE(fxi_conn_initialised());
    EXPECT_EQ(fxp_window_current(), &fxp_app().root);
    EXPECT_EQ(fxp_app().title, "KOVA Test Program");
    EXPECT_EQ(fxp_app().function_name, "KOVA Test Program");
    EXPECT_EQ(fxp_app().version, "Version 9.9");
    EXPECT_EQ(fxp_app().settings_file, "test_app.ini");
    EXPECT_EQ(fxp_app().root_flags, DXP_ROOT_DIALOG);
    // The connection layer reports through the status bar and the error report from now on.
    EXPECT_EQ(fxi_conn_reports().status_text, fxp_status_text);
    EXPECT_NE(fxi_conn_reports().unexpected_error, nullptr);
    fxp_exit_add("after start-up", [] { note("after"); });

    // A second start-up does nothing: no step runs again, nothing more is registered.
    std::vector<std::string> pending = fxp_exit_pending();
    fxp_startup(nullptr, &other);
    EXPECT_EQ(fxp_exit_pending(), pending);
    EXPECT_EQ(fxp_app().title, "KOVA Test Program");
}

TEST(StartupChild, DebugSwitches) {
    if (!in_child()) GTEST_SKIP() << "run by Startup.DebugSwitchesReachTheTrace";
    fxi_set_data_home("D:\\");
    fxk_debug_trace("before the switches are set");
    EXPECT_EQ(fxk_debug_trace_file(), "");
    write_file(std::string(std::getenv("KOVA_HOME")) + "/kova.ini",
               "[debug]\r\nlogfile=yes\r\nflush=no\r\n");
    fxp_startup(nullptr, &program);
    fxk_debug_trace("first %str%", "line");
    Sleep(30);
    fxk_debug_trace("second line");
    std::string file = fxk_debug_trace_file();
    ASSERT_NE(file, "");
    std::printf("TRACE[%s]\n", kova_host_from_dos(file).c_str());
}

TEST(StartupChild, OutOfMemory) {
    if (!in_child()) GTEST_SKIP() << "run by Startup.OutOfMemoryEndsWithStatus1";
    fxp_startup(nullptr, &program);
    std::new_handler handler = std::get_new_handler();
    ASSERT_EQ(handler, fxp_out_of_memory);
    handler();
}

// ---- Tests ----

TEST(Startup, ExitActionsRunInReverseOrder) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir dir;
    std::string log = dir / "exit.log";
    auto r = run_child("ExitActions", {{"KOVA_EXIT_LOG", log}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The last registered runs first, while everything start-up made still stands; the first
    // registered runs last, after start-up's own actions have taken it all down.
    EXPECT_EQ(read_file(log), "after conn=1 root=1\nbefore conn=0 root=0\n");
}

TEST(Startup, DebugSwitchesReachTheTrace) {
    kova_test::TempPrefix prefix;
    std::string home = prefix.map_drive('d');
    auto r = run_child("DebugSwitches", {{"KOVA_HOME", home}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    size_t at = r.out.find("TRACE[");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string file = r.out.substr(at + 6, r.out.find(']', at) - at - 6);
    std::string text = read_file(file);
    std::filesystem::remove(file);
    // Without "flush" a timing line goes before every line but the first.
    ASSERT_EQ(text.find("first line\r\n"), 0u) << text;
    size_t slash = text.find('/');
    ASSERT_NE(slash, std::string::npos) << text;
    EXPECT_NE(text.find("ms elapsed\r\nsecond line\r\n"), std::string::npos) << text;
    int since_previous = std::stoi(text.substr(12, slash - 12));
    EXPECT_GE(since_previous, 30) << text;
}

TEST(Startup, OutOfMemoryEndsWithStatus1) {
    kova_test::TempPrefix prefix;
    auto r = run_child("OutOfMemory", {});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Out of memory"), std::string::npos) << r.err;
}

// ---- What start-up registers for the connection layer ----

struct WindowLog {
    int opens = 0, closes = 0;
    std::vector<std::string> lines;
};
WindowLog *window_log = nullptr;

TEST(StartupReports, TraceReachesTheStatusBarAndItsWaitWindow) {
    kova_test::TempPrefix prefix;
    std::string home = prefix.map_drive('d');
    write_file(home + "/kova.ini", "[debug]\r\npwin=Y\r\nhline=Y\r\n");
    fxi_set_data_home("D:\\");
    fxk_debug_trace_reset();

    WindowLog log;
    window_log = &log;
    TXP_PRESENTER saved_presenter = fxp_presenter;
    TXP_PROG_VIEW saved_view = fxp_prog_view;
    fxp_presenter.desktop_visible = [] { return true; };
    fxp_prog_view.pwin_open = [](TXP_PWIN_T *) { ++window_log->opens; };
    fxp_prog_view.pwin_show = [](TXP_PWIN_T *pwin) { window_log->lines.push_back(pwin->line); };
    fxp_prog_view.pwin_close = [](TXP_PWIN_T *) { ++window_log->closes; };

    fxp_startup_reports();
    fxk_debug_trace("connect start");
    fxk_debug_trace("connect end - error %word%,5", 0);
    EXPECT_EQ(fxp_status_current(), "connect end - error 0");
    // One window for the whole trace, titled as every wait window, showing each line.
    EXPECT_EQ(log.opens, 1);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_NE(log.lines.back().find("connect end - error 0"), std::string::npos)
        << log.lines.back();
    // Forgetting the trace's settings closes its window; the next line opens a new one.
    fxk_debug_trace_reset();
    EXPECT_EQ(log.closes, 1);
    fxk_debug_trace("again");
    EXPECT_EQ(log.opens, 2);
    fxk_debug_trace_reset();
    EXPECT_EQ(log.closes, 2);

    fxi_conn_set_reports({});
    fxp_status_text("");
    fxp_prog_view = saved_view;
    fxp_presenter = saved_presenter;
    window_log = nullptr;
}

} // namespace
