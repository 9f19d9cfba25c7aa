// Processes: Windows command lines, DOS program paths, waits and exit codes, termination,
// ShellExecuteExA, the Windows error of a program that cannot start, and the version.
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A drive D: with a program that writes its arguments, its folder and $KOVA_VAR to out.txt,
// waits for go.txt when asked, and ends with the status of its first argument.
struct Programs {
    kova_test::TempPrefix prefix;
    std::string d = prefix.map_drive('D');
    Programs() {
        const std::string script = "#!/bin/sh\n"
                                   "out=\"" +
                                   d +
                                   "/out.txt\"\n"
                                   "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$out\"\n"
                                   "printf ' %s %s' \"$(pwd)\" \"$KOVA_VAR\" >> \"$out\"\n"
                                   "if [ \"$2\" = wait ]; then\n"
                                   "  while [ ! -f \"" +
                                   d +
                                   "/go.txt\" ]; do sleep 0.01; done\n"
                                   "fi\n"
                                   "exit \"$1\"\n";
        write_script(d + "/tools dir/echo args.exe", script);
        write_script(d + "/plain", script);
    }
    static void write_script(const std::string &path, const std::string &text) {
        kova_test::write_file(path, text);
        chmod(path.c_str(), 0755);
    }
    std::string out() const { return kova_test::read_file(d + "/out.txt"); }
};

struct Proc {
    PROCESS_INFORMATION info{};
    ~Proc() {
        if (info.hProcess) CloseHandle(info.hProcess);
        if (info.hThread) CloseHandle(info.hThread);
    }
};

BOOL create(const char *command, Proc &p, LPCSTR directory = nullptr, LPVOID env = nullptr) {
    std::string line = command;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, env, directory, &si,
                          &p.info);
}

DWORD run_to_end(const char *command) {
    Proc p;
    if (!create(command, p)) return 1000000 + GetLastError();
    if (WaitForSingleObject(p.info.hProcess, 10000) != WAIT_OBJECT_0) return 2000000;
    DWORD code = 0;
    GetExitCodeProcess(p.info.hProcess, &code);
    return code;
}

} // namespace

TEST(Process, CommandLinesAreSplitByTheWindowsRules) {
    Programs programs;
    struct Case {
        const char *command;
        const char *arguments;
    } cases[] = {
        {"\"D:\\tools dir\\echo args.exe\" 0 /q", "[0][/q]"},
        {"\"D:\\TOOLS DIR\\Echo Args\" 0", "[0]"}, // ".exe" completes the name, case is free
        {"D:\\plain 0 \"a b\"  c\td", "[0][a b][c][d]"},
        {"D:\\plain 0 a\\\\b \\\"q\\\" \"x\\\"y\"", "[0][a\\\\b][\"q\"][x\"y]"},
        {"D:\\plain 0 \"say \"\"hi\"\"\" end", "[0][say \"hi\"][end]"},
        {"D:\\plain 0 \"\" a\\\\\\\\\"b c\"", "[0][][a\\\\b c]"},
        {"D:\\plain 0 Soci\xe9t\xe9",
         "[0][Soci\xc3\xa9t\xc3\xa9]"}, // ANSI becomes the host's UTF-8
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run_to_end(c.command), 0u) << c.command;
        std::string out = programs.out();
        EXPECT_EQ(out.substr(0, out.rfind(']') + 1), c.arguments) << c.command;
    }

    // The folder and the environment block of the caller's choice.
    Proc p;
    const char env[] = "KOVA_VAR=from block\0OTHER=1\0";
    ASSERT_TRUE(create("D:\\plain 3", p, "D:\\tools dir", const_cast<char *>(env)));
    ASSERT_EQ(WaitForSingleObject(p.info.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(p.info.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(programs.out(), "[3] " + programs.d + "/tools dir from block");

    // A bare name is a host program on the PATH; Windows' ".exe" does not stand in its way.
    EXPECT_EQ(run_to_end("sh.exe -c \"exit 4\""), 4u);
}

TEST(Process, WaitsExitCodesAndTermination) {
    Programs programs;
    Proc p;
    ASSERT_TRUE(create("D:\\plain 7 wait", p));
    EXPECT_EQ(GetProcessId(p.info.hProcess), p.info.dwProcessId);
    EXPECT_EQ(WaitForSingleObject(p.info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(p.info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForInputIdle(p.info.hProcess, INFINITE), 0u);
    kova_test::write_file(programs.d + "/go.txt", "");
    EXPECT_EQ(WaitForSingleObject(p.info.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(p.info.hThread, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(p.info.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(TerminateProcess(p.info.hProcess, 1)); // it has ended already

    unlink((programs.d + "/go.txt").c_str());
    Proc victim;
    ASSERT_TRUE(create("D:\\plain 0 wait", victim));
    ASSERT_TRUE(TerminateProcess(victim.info.hProcess, 42));
    EXPECT_EQ(WaitForSingleObject(victim.info.hProcess, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(victim.info.hProcess, &code));
    EXPECT_EQ(code, 42u);

    // A child whose handles are closed before it ends is still reaped: no zombie stays.
    Proc orphan;
    ASSERT_TRUE(create("sh -c \"sleep 0.1\"", orphan));
    pid_t pid = static_cast<pid_t>(orphan.info.dwProcessId);
    CloseHandle(orphan.info.hProcess);
    CloseHandle(orphan.info.hThread);
    orphan.info = {};
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = kill(pid, 0) != 0 && errno == ESRCH;
        Sleep(10);
    }
    EXPECT_TRUE(gone);
}

TEST(Process, ProgramsThatCannotStartGiveWindowsErrors) {
    Programs programs;
    kova_test::write_file(programs.d + "/text.exe", "not a program\n");
    kova_test::write_file(programs.d + "/garbage.exe", "\x01\x02\x03 not a program either");
    chmod((programs.d + "/garbage.exe").c_str(), 0755);
    struct Case {
        const char *command;
        DWORD error;
    } cases[] = {
        {"D:\\missing.exe", ERROR_FILE_NOT_FOUND},
        {"D:\\no\\such\\dir\\x.exe", ERROR_PATH_NOT_FOUND},
        {"D:\\text.exe", ERROR_BAD_EXE_FORMAT},    // no execute permission
        {"D:\\garbage.exe", ERROR_BAD_EXE_FORMAT}, // nothing the host can execute
        {"no-such-program-anywhere", ERROR_FILE_NOT_FOUND},
    };
    for (const auto &c : cases) {
        Proc p;
        SetLastError(0);
        EXPECT_FALSE(create(c.command, p)) << c.command;
        EXPECT_EQ(GetLastError(), c.error) << c.command;
        EXPECT_EQ(p.info.hProcess, nullptr);
    }
    Proc p;
    EXPECT_FALSE(create("D:\\plain 0", p, "D:\\nowhere"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
}

TEST(Process, ShellExecuteRunsProgramsWithTheirParameters) {
    Programs programs;
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "D:\\tools dir\\echo args.exe";
    info.lpParameters = "5 \"two words\" /q";
    info.lpDirectory = "D:\\";
    info.nShow = SW_SHOWNORMAL;
    ASSERT_TRUE(ShellExecuteExA(&info));
    EXPECT_GT(reinterpret_cast<UINT_PTR>(info.hInstApp), 32u);
    ASSERT_NE(info.hProcess, nullptr);
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    EXPECT_EQ(code, 5u);
    CloseHandle(info.hProcess);
    EXPECT_EQ(programs.out(), "[5][two words][/q] " + programs.d + " ");

    // Without SEE_MASK_NOCLOSEPROCESS no handle comes back; a document has no association.
    info.fMask = 0;
    info.lpParameters = "0";
    unlink((programs.d + "/out.txt").c_str());
    ASSERT_TRUE(ShellExecuteExA(&info));
    EXPECT_EQ(info.hProcess, nullptr);
    for (int i = 0; i < 500 && programs.out().find(' ') == std::string::npos; ++i) Sleep(10);
    EXPECT_EQ(programs.out(), "[0] " + programs.d + " ");
    kova_test::write_file(programs.d + "/notes.txt", "text");
    info.lpFile = "D:\\notes.txt";
    EXPECT_FALSE(ShellExecuteExA(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_ASSOCIATION));
    info.lpFile = "D:\\absent.exe";
    EXPECT_FALSE(ShellExecuteExA(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(info.hInstApp), SE_ERR_FNF);
}

TEST(Process, VersionIsWindows10Workstation) {
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&ex)));
    EXPECT_EQ(ex.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(ex.dwMajorVersion, 10u);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = 12;
    EXPECT_FALSE(GetVersionExA(&plain));
}
