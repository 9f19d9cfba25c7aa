// kvpatch's command line: usage switches, dispatch by argument count, exit statuses, the
// interactive and unattended forms of "Invalid Command Line".
#include "kernel/files/install.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/usage.h"
#include "patch/entry.h"
#include "patch/log.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using kova_test::program;
using kova_test::run;

const std::string usage = "KOVA Patch Installer\n"
                          "Version 1.0\n"
                          "\n"
                          "Usage:\n"
                          "      kvpatch [/h][/?][/m] patname [filename] [/m]\n"
                          "Where:\n"
                          "      /h or /? displays this help\n"
                          "      /m forces monochrome operation\n"
                          "      if just patname is specified the patch is installed\n"
                          "      if filename is also specified it is added to the patch file\n"
                          "      /m invokes your email client to send the patch\n"
                          "      /f queues the patch for collection using FTP for offline "
                          "installation\n"
                          "\n"
                          "      if filename is of the form x:yyyo9999.kvo or x:yyym9999.kvm\n"
                          "      the component is picked up from the source directory of the "
                          "specified\n"
                          "      drive and the release directory is set accordingly\n"
                          "\n"
                          "      patches should use the correct release directory for the "
                          "components as\n"
                          "      they expand using the same directory\n"
                          "\n"
                          "      patches are created in the \\source\\patches directory and "
                          "have a file\n"
                          "      type of .kvz\n";

const std::string hidden_part = "\n"
                                "Hidden options:\n"
                                "      /* displays hidden options help\n";

TEST(PatchEntry, UsageSwitchesPrintTheUsageAndExitZero) {
    kova_test::TempPrefix prefix;
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"/?"}, usage},
        {{"-H"}, usage},
        {{"/h"}, usage},
        {{"fix1", "/?", "x"}, usage},
        {{"/*"}, usage + hidden_part},
        {{"/?", "/*"}, usage},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {program("kvpatch")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args[0]);
        auto result = run(argv);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST(PatchEntry, DispatchesByArgumentCount) {
    kova_test::TempPrefix prefix;
    // Patches are built on the current drive: keep it inside the prefix.
    std::string drive = prefix.map_drive('s');
    const std::string none = "kvpatch: No installation is configured - set the registry value "
                             "ServiceDataHome under HKEY_LOCAL_MACHINE\\Software\\KOVA Business "
                             "Software to its data home, for example with kvprefix home "
                             "'S:\\KOVABrisel\\'\n";
    const std::string not_mailed =
        "kvpatch: Unable to open mail attachment \\source\\patches\\fix1.kvz - File not Found - "
        "mail send aborted\n"
        "kvpatch: The patch \\source\\patches\\fix1.kvz was not mailed\n";
    const std::string not_queued =
        "kvpatch: The patch was not queued - only an operator can name its recipient\n";
    struct Case {
        std::vector<std::string> args;
        std::string err; // unattended, every failure is one line on standard error
    };
    const Case cases[] = {
        // Installing needs an installation, which this prefix does not name.
        {{"fix1"}, none},
        {{"/help"}, none},
        // Mail and queue fail when the patch was not handed on.
        {{"fix1", "/m"}, not_mailed},
        {{"fix1", "/M"}, not_mailed},
        {{"fix1", "/f"}, not_queued},
        {{"fix1", "/F"}, not_queued},
        // A component file named /x (or /mail), which does not exist.
        {{"fix1", "/x"}, "kvpatch: Error opening file /x - File not Found\n"},
        {{"fix1", "/mail"}, "kvpatch: Error opening file /mail - File not Found\n"},
        {{"a", "b", "c"}, "kvpatch: Invalid Command Line\n"},
        {{"a", "b", "c", "d"}, "kvpatch: Invalid Command Line\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {program("kvpatch")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto result = run(argv, {}, "", kova_test::TempPrefix::drive_cwd('s', drive));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "") << "no usage";
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(PatchEntry, WithoutArgumentsOnlyKvpatchRegisters) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir dir;
    for (const char *name : {"other", "KVPATCH"}) {
        std::string copy = dir / (name + std::string(kova_test::program_suffix));
        std::filesystem::copy_file(program("kvpatch"), copy);
        // Windows keeps one registry for every program: start from no registration.
        RegDeleteKeyA(HKEY_CLASSES_ROOT, ".kvz");
        auto result = run({copy});
        bool own_name = std::string(name) == "KVPATCH";
        EXPECT_EQ(result.status, own_name ? 0 : 1);
        EXPECT_EQ(result.err, "") << name << ": unattended, nothing is said";
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".kvz", 0, KEY_QUERY_VALUE, &key) ==
                      ERROR_SUCCESS,
                  own_name);
        if (key) RegCloseKey(key);
    }
}

TEST(PatchEntry, InvalidCommandLineIsAnErrorBoxAtTheTerminal) {
    if (kova_test::on_windows()) GTEST_SKIP() << "needs a pseudo-terminal";
    kova_test::TempPrefix prefix;
    kova_test::Pty pty({program("kvpatch"), "a", "b", "c"});
    ASSERT_TRUE(pty.expect("Invalid Command Line")) << pty.output();
    ASSERT_TRUE(pty.expect("[O]K")) << pty.output();
    pty.send("\r");
    EXPECT_EQ(pty.wait(), 1);
}

// ---- In the test process ----------------------------------------------------------------------

TEST(PatchEntry, InteractiveIsDecidedOnce) {
    TXP_PRESENTER saved = fxp_presenter;
    fxp_presenter.desktop_visible = [] { return false; };
    EXPECT_FALSE(patch_interactive());
    fxp_presenter.desktop_visible = [] { return true; };
    EXPECT_FALSE(patch_interactive()) << "a desktop that appears later changes nothing";
    fxp_presenter = saved;
}

TEST(PatchEntry, ReleaseDirectoryInTheProgramPathSetsOptions) {
    struct Case {
        const char *path;
        bool o134, o247, o248;
    };
    const Case cases[] = {
        {"C:\\KOVABrisel\\kvpatch.exe", true, true, true},
        {"s:\\kovabrisel\\bin\\KVPATCH.EXE", true, true, true},
        {"C:\\kova2006\\kvpatch.exe", false, true, true},
        {"C:\\KOVA2004\\kvpatch.exe", false, false, true},
        {"C:\\KOVABrisel\\kova2006\\kvpatch.exe", true, true, true},
        {"C:\\kova2006\\KOVABrisel\\kvpatch.exe", true, true, true},
        {"C:\\kova2006x\\kvpatch.exe", false, false, false},
        {"C:\\tools\\kvpatch.exe", false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        for (unsigned option : {133u, 134u, 135u, 246u, 247u, 248u, 249u}) fxi_clear_option(option);
        patch_release_options(c.path);
        EXPECT_EQ(fxi_option(134), c.o134);
        EXPECT_EQ(fxi_option(247), c.o247);
        EXPECT_EQ(fxi_option(248), c.o248);
        for (unsigned other : {133u, 135u, 246u, 249u}) EXPECT_FALSE(fxi_option(other)) << other;
    }
}

std::string *errors_written = nullptr;

TEST(PatchEntry, UnattendedRunTakesTheServiceDataHome) {
    kova_test::TempPrefix prefix;
    std::string k = prefix.map_drive('k');
    kova_test::write_file(k + "/kova/kova.ini", "[system]\r\nrelease=22\r\n");
    TXP_PRESENTER saved_presenter = fxp_presenter;
    TXP_CHANNEL saved_channel = fxp_channel;
    fxp_presenter.desktop_visible = [] { return false; };
    ASSERT_FALSE(patch_interactive()) << "runs unattended in tests";
    std::string errors;
    errors_written = &errors;
    fxp_channel.write_error = [](std::string_view text) { *errors_written += text; };

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto set_home = [&](const std::string &home) {
        ASSERT_EQ(RegSetValueExA(key, "ServiceDataHome", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(home.c_str()),
                                 static_cast<DWORD>(home.size() + 1)),
                  ERROR_SUCCESS);
    };
    char a0[] = "C:\\kvpatch.exe", a1[] = "fix1";
    char *argv[] = {a0, a1, nullptr};

    set_home("K:\\kova\\");
    EXPECT_EQ(patch_main(2, argv), 1);
    EXPECT_EQ(fxi_data_home(), "K:\\kova\\");
    EXPECT_EQ(fxi_release(), 22);
    // The install ran against that installation: its failure is in that installation's log,
    // and on standard error.
    EXPECT_NE(kova_test::read_file(k + "/kova/setup.log").find("Error opening file fix1 - "),
              std::string::npos);
    EXPECT_EQ(errors, "kvpatch: Error opening file fix1 - File not Found\n");

    // A key that names no installation ends the run at once, saying how to name one.
    for (bool remove : {false, true}) {
        errors.clear();
        if (remove)
            ASSERT_EQ(RegDeleteValueA(key, "ServiceDataHome"), ERROR_SUCCESS);
        else
            set_home("");
        EXPECT_EQ(patch_main(2, argv), 1);
        EXPECT_EQ(errors.rfind("kvpatch: No installation is configured - ", 0), 0u) << errors;
    }
    RegCloseKey(key);
    fxp_presenter = saved_presenter;
    fxp_channel = saved_channel;
    // patch_main set up this process for an unattended run; later tests expect none of it.
    patch_set_message_sink(nullptr);
    patch_set_installation_log(true);
    fxp_msg_unseen_error = nullptr;
}

} // namespace
