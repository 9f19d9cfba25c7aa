// Service queries and program launch: configurations of present and absent services, the
// command-line split, the wait modes, and fxi_start_command with and without an operator.
#include "kernel/coord/svc.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Drive D: with a program (its path has blanks) that notes its arguments and, given "wait",
// holds until go.txt exists; it ends with status 9 and leaves done.txt.
struct Launch {
    kova_test::TempPrefix prefix;
    std::string d = prefix.map_drive('D');
    Launch() {
        std::string script = "#!/bin/sh\n"
                             "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"" +
                             d +
                             "/args.txt\"\n"
                             "if [ \"$1\" = wait ]; then\n"
                             "  while [ ! -f \"" +
                             d +
                             "/go.txt\" ]; do sleep 0.01; done\n"
                             "fi\n"
                             "touch \"" +
                             d +
                             "/done.txt\"\n"
                             "exit 9\n";
        kova_test::write_file(d + "/Program Files/setup tool.exe", script);
        chmod((d + "/Program Files/setup tool.exe").c_str(), 0755);
        kova_test::write_file(d + "/tool.exe", script);
        chmod((d + "/tool.exe").c_str(), 0755);
    }
    std::string args() const { return kova_test::read_file(d + "/args.txt"); }
    bool done() const { return access((d + "/done.txt").c_str(), F_OK) == 0; }
    bool wait_done() const {
        for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
        return done();
    }
    void go() const { kova_test::write_file(d + "/go.txt", ""); }
};

} // namespace

TEST(ServiceQuery, ConfigurationOrNone) {
    kova_test::TempPrefix prefix;
    EXPECT_EQ(fxi_svc_query_config(nullptr, nullptr, "KOVAQM"), nullptr);

    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
    SC_HANDLE svc =
        CreateServiceA(scm, "KOVAFM32", "KOVA File Manager", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED, SERVICE_ERROR_NORMAL,
                       "/usr/lib/kova/kvfm /srv/kova", nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(svc, nullptr);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);

    TXI_SVC_CONFIG config = fxi_svc_query_config(nullptr, nullptr, "kovafm32");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->dwStartType, SERVICE_DISABLED);
    EXPECT_STREQ(config->lpBinaryPathName, "/usr/lib/kova/kvfm /srv/kova");
    EXPECT_STREQ(config->lpDisplayName, "KOVA File Manager");
    EXPECT_EQ(fxi_svc_query_config("\\\\ELSEWHERE-HOST", nullptr, "KOVAFM32"), nullptr);
}

TEST(ProgramLaunch, CommandLinesAndWaitModes) {
    Launch launch;
    struct Case {
        const char *command;
        const char *arguments;
    } cases[] = {
        {"\"D:\\Program Files\\setup tool.exe\" /q", "[/q]"},
        {"\"D:\\Program Files\\setup tool.exe\"   a  b", "[a][b]"},
        {"D:\\tool.exe", ""}, // no blank: no parameters
        {"D:\\tool.exe /q x", "[/q][x]"},
    };
    for (const auto &c : cases) {
        unlink((launch.d + "/args.txt").c_str());
        uint32_t code = 0;
        EXPECT_EQ(fxi_run_command(c.command, SW_SHOWNORMAL, DXI_RUN_WAIT_END, &code), 0u)
            << c.command;
        EXPECT_EQ(code, 9u) << c.command;
        EXPECT_EQ(launch.args(), c.arguments) << c.command;
    }
    EXPECT_EQ(fxi_run_command("D:\\absent.exe /q", SW_SHOWNORMAL, DXI_RUN_WAIT_END), 2u);
    EXPECT_EQ(fxi_run_command("\"D:\\no dir\\x.exe\"", SW_SHOWNORMAL, DXI_RUN_WAIT_END), 3u);

    // Without waiting the call returns while the program still runs.
    unlink((launch.d + "/done.txt").c_str());
    EXPECT_EQ(fxi_run_command("D:\\tool.exe wait", SW_HIDE, DXI_RUN_NO_WAIT), 0u);
    EXPECT_FALSE(launch.done());
    launch.go();
    EXPECT_TRUE(launch.wait_done());
}

TEST(ProgramLaunch, StartCommandWithoutAnOperatorDoesNotWait) {
    Launch launch; // the prefix makes the run unattended
    EXPECT_NE(fxi_start_command("D:\\tool.exe wait"), 0u);
    EXPECT_FALSE(launch.done());
    launch.go();
    EXPECT_TRUE(launch.wait_done());
    EXPECT_EQ(fxi_start_command("D:\\absent.exe"), 0u);
}

// With an operator (a terminal) the command is run and waited for, and a started program
// answers 0. The child half runs in this test program on a pseudo-terminal.
TEST(ProgramLaunch, StartCommandWithAnOperatorWaits) {
    if (getenv("KOVA_TEST_CHILD")) {
        uint32_t result = fxi_start_command("D:\\tool.exe");
        bool done =
            access((std::string(getenv("KOVA_TEST_DRIVE")) + "/done.txt").c_str(), F_OK) == 0;
        printf("result %u done %d\n", result, done ? 1 : 0);
        return;
    }
    Launch launch;
    std::string self = kova_test::self_program();
    ASSERT_NE(self, "");
    kova_test::Pty pty({self, "--gtest_filter=ProgramLaunch.StartCommandWithAnOperatorWaits"},
                       {{"KOVA_TEST_CHILD", "1"}, {"KOVA_TEST_DRIVE", launch.d}});
    EXPECT_TRUE(pty.expect("result 0 done 1")) << pty.output();
    EXPECT_EQ(pty.wait(), 0);
}
