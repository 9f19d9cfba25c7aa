// The argument vector: the command line split by the Windows rules, and host arguments as the
// kernel sees them (DOS paths, ANSI texts, switches kept as typed).
#include "kernel/ui/usage.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string narrow(const WCHAR *wide) {
    std::string out;
    for (; *wide; ++wide) out += static_cast<char>(*wide);
    return out;
}

std::basic_string<WCHAR> widen(const std::string &text) {
    return std::basic_string<WCHAR>(text.begin(), text.end());
}

TEST(CommandLine, SplitsByTheWindowsRules) {
    struct Case {
        const char *line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {R"("C:\Program Files\kvpatch.exe" fix1 /m)",
         {R"(C:\Program Files\kvpatch.exe)", "fix1", "/m"}},
        {R"(kvpatch "a b"  c)", {"kvpatch", "a b", "c"}},
        {"kvpatch\ta\t\tb", {"kvpatch", "a", "b"}},
        {R"(p a\b\\c)", {"p", R"(a\b\\c)"}},     // backslashes alone are literal
        {R"(p a\\\"b)", {"p", R"(a\"b)"}},       // 2n+1 before a quote: n and a quote
        {R"(p a\\\\"b c")", {"p", R"(a\\b c)"}}, // 2n before a quote: n, quote delimits
        {R"(p "tail\\")", {"p", R"(tail\)"}},
        {R"(p "" x)", {"p", "", "x"}},
        {R"(p "a""b")", {"p", R"(a"b)"}},            // a doubled quote inside quotes
        {R"(C:\a\b.exe x)", {R"(C:\a\b.exe)", "x"}}, // the program name has no escapes
        {R"(  p)", {"", "p"}},                       // a leading blank: empty program name
        {"p   ", {"p"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::basic_string<WCHAR> line = widen(c.line);
        int count = -1;
        LPWSTR *argv = CommandLineToArgvW(line.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        std::vector<std::string> got;
        for (int i = 0; i < count; ++i) got.push_back(narrow(argv[i]));
        EXPECT_EQ(got, c.args);
        EXPECT_EQ(argv[count], nullptr);
        EXPECT_EQ(LocalFree(argv), nullptr);
    }
    int count = 0;
    EXPECT_EQ(CommandLineToArgvW(kova_test::wide(u"x").c_str(), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    kova_test::TempPrefix prefix;
    LPWSTR *own = CommandLineToArgvW(kova_test::wide(u"").c_str(), &count);
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(count, 1) << "an empty line gives the program's path";
    EXPECT_NE(narrow(own[0]).find("test_ui"), std::string::npos);
    LocalFree(own);
}

TEST(CommandLine, ModuleFileNameIsTheProgramInDosForm) {
    kova_test::TempPrefix prefix;
    char path[1024];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(n, 3u);
    EXPECT_EQ(std::string(path).size(), n);
    EXPECT_EQ(std::string(path + 1, 2), ":\\");
    EXPECT_EQ(std::string(path).substr(n - 8 - std::strlen(kova_test::program_suffix)),
              std::string("\\test_ui") + kova_test::program_suffix);

    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Windows since Vista ends the cut name with a NUL; XP, and Wine, fill the buffer.
    EXPECT_EQ(std::string(small, 4), std::string(path, 4)) << "cut";
}

// Runs as a child: prints each argument of the kernel's vector on its own line.
TEST(CommandLineChild, Child) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "runs only as the child of tests";
    for (int i = 0; i < fxp_argc(); ++i) std::printf("ARG[%s]\n", fxp_argv()[i]);
    std::fflush(stdout);
}

TEST(CommandLine, HostArgumentsReachTheKernelAsTyped) {
    if (kova_test::on_windows()) GTEST_SKIP() << "a Windows program is given DOS paths";
    kova_test::TempPrefix prefix;
    std::string server = prefix.map_drive('s');
    std::string self = kova_test::self_program();
    const std::vector<std::string> host = {"a b",
                                           "",
                                           "q\"uote",
                                           "tail\\",
                                           "back\\\\\"x",
                                           "/x",
                                           "-H",
                                           "/help",
                                           "/?",
                                           "rel/sub/x.dat",
                                           server + "/fixes/fix1.kvz",
                                           "Soci\xc3\xa9t\xc3\xa9"};
    const std::vector<std::string> kernel = {
        "a b", "",      "q\"uote", "tail\\",          "back\\\\\"x",         "/x",
        "-H",  "/help", "/?",      "rel\\sub\\x.dat", "S:\\fixes\\fix1.kvz", "Soci\xe9t\xe9"};
    std::vector<std::string> argv = {self, "--gtest_filter=CommandLineChild.Child"};
    argv.insert(argv.end(), host.begin(), host.end());
    auto result = kova_test::run(argv, {{"KOVA_TEST_CHILD", "1"}});
    ASSERT_EQ(result.status, 0) << result.out;

    std::vector<std::string> got;
    size_t at = 0;
    while ((at = result.out.find("ARG[", at)) != std::string::npos) {
        size_t end = result.out.find("]\n", at);
        got.push_back(result.out.substr(at + 4, end - at - 4));
        at = end;
    }
    ASSERT_EQ(got.size(), kernel.size() + 2) << result.out;
    EXPECT_EQ(got[0].substr(1, 2), ":\\") << "argument 0 is the program's DOS path";
    EXPECT_EQ(got[0].substr(got[0].size() - 8), "\\test_ui");
    EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()), kernel);
}

} // namespace
