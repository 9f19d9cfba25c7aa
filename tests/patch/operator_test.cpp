// What the people who run kvpatch see, through the real program: the lines of an unattended run
// on standard error and its exit status, what happens without an installation or outside a
// development drive, and the operator's way out of an install at a terminal.
#include "tests/patch/patch_files.h"

#include "platform/win32.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace patch_test;
using kova_test::program;
using kova_test::read_file;
using kova_test::run;
using kova_test::write_file;

namespace fs = std::filesystem;

namespace {

const std::string no_installation =
    "kvpatch: No installation is configured - set the registry value ServiceDataHome under "
    "HKEY_LOCAL_MACHINE\\Software\\KOVA Business Software to its data home, for example with "
    "kvprefix home 'S:\\KOVABrisel\\'\n";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A server S: with the installation S:\KOVABrisel\ (which the registry names) holding an old
// abc\a.dat, and a release builder's drive D: with a newer one.
class Operator : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = prefix_.map_drive('s');
        dev_ = prefix_.map_drive('d');
        write_file(server_ + "/KOVABrisel/kova.kvk", "");
        write_file(server_ + "/KOVABrisel/kova.ini", "[system]\r\nrelease=21\r\n");
        write_file(server_ + "/KOVABrisel/abc/a.dat", "old");
        set_mtime(server_ + "/KOVABrisel/abc/a.dat", 2025, 1, 1, 12, 0, 0);
        write_file(dev_ + "/kova2000/abc/a.dat", "new");
        set_mtime(dev_ + "/kova2000/abc/a.dat", 2026, 6, 1, 12, 0, 0);
        set_service_data_home("S:\\KOVABrisel\\");
    }

    // kvpatch with these arguments, unattended, in folder `cwd` (the development drive).
    kova_test::RunResult kvpatch(const std::vector<std::string> &args,
                                 const std::map<std::string, std::string> &env = {},
                                 std::string cwd = {}) {
        std::vector<std::string> argv = {program("kvpatch")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env, "", cwd.empty() ? dev_ : cwd);
    }

    void build_fix1() {
        auto built = kvpatch({"fix1", "D:\\kova2000\\abc\\a.dat"});
        ASSERT_EQ(built.status, 0) << built.err;
        EXPECT_EQ(built.err, "") << "building says nothing when it works";
    }

    kova_test::TempPrefix prefix_;
    std::string server_, dev_;
};

TEST_F(Operator, AnUnattendedInstallSaysEachStepAndEndsWithASummary) {
    build_fix1();
    // The bare name finds the patch that building made.
    auto result = kvpatch({"fix1"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    std::vector<std::string> lines = lines_of(result.err);
    ASSERT_EQ(lines.size(), 3u) << result.err;
    EXPECT_EQ(lines[0], "kvpatch: Installing fix1.kvz into S:\\KOVABrisel\\; the copies it "
                        "replaces are kept in S:\\KOVABrisel\\unpatch\\0.kvz");
    EXPECT_EQ(lines[1].rfind("kvpatch: Patch fix1.kvz created on ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" was installed"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "kvpatch: Installed D:\\source\\patches\\fix1.kvz into S:\\KOVABrisel\\; "
                        "undo with S:\\KOVABrisel\\unpatch\\0.kvz");
    EXPECT_EQ(read_file(server_ + "/KOVABrisel/abc/a.dat"), "new");
    // The log keeps its own line; standard error is an addition, not a replacement.
    EXPECT_NE(read_file(server_ + "/KOVABrisel/setup.log").find(lines[0].substr(9)),
              std::string::npos);
}

TEST_F(Operator, AFailureReachesStandardErrorWhenTheLogCannotBeWritten) {
    // A folder where the log should be: the log cannot be written.
    fs::create_directories(server_ + "/KOVABrisel/setup.log");
    auto result = kvpatch({"D:\\none.kvz"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kvpatch: Error opening file D:\\none.kvz - File not Found\n");

    // A prefix that cannot be made: no registry, so no installation, and the run says so.
    auto broken = kvpatch({"D:\\none.kvz"}, {{"KOVA_PREFIX", "/proc/nonexistent/kova"}}, "/");
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err.rfind("kvpatch: Unable to read the registry key HKEY_LOCAL_MACHINE\\"
                               "Software\\KOVA Business Software (Windows error ",
                               0),
              0u)
        << broken.err;
}

TEST_F(Operator, WithoutAnInstallationNothingIsInstalledBesideTheProgram) {
    kova_test::TempDir bin;
    std::string copy = bin / "kvpatch";
    fs::copy_file(program("kvpatch"), copy);
    std::string patch = "D:\\source\\patches\\fix1.kvz";
    build_fix1();
    struct Case {
        const char *name;
        void (*registry)();
    };
    const Case cases[] = {
        {"no key",
         [] {
             ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software"),
                       ERROR_SUCCESS);
         }},
        {"empty value", [] { set_service_data_home(""); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.registry();
        auto result = run({copy, patch}, {}, "", dev_);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, no_installation);
        std::vector<std::string> left;
        for (const auto &entry : fs::directory_iterator(bin.path()))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"kvpatch"}) << "nothing written beside it";
    }

    // A program folder that is an installation is still taken as one, as before.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software");
    write_file(bin / "kova.kvk", "");
    write_file(bin / "kova.ini", "[system]\r\nrelease=21\r\n");
    auto own = run({copy, "D:\\none.kvz"}, {}, "", dev_);
    EXPECT_EQ(own.status, 1);
    EXPECT_EQ(own.err, "kvpatch: Error opening file D:\\none.kvz - File not Found\n");
    EXPECT_NE(read_file(bin / "setup.log").find("Error opening file D:\\none.kvz"),
              std::string::npos);

    // An installation the registry names but that is not there.
    set_service_data_home("S:\\KOVA2026\\");
    auto missing = kvpatch({patch});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(
        missing.err,
        "kvpatch: The installation S:\\KOVA2026\\ that ServiceDataHome names does not exist\n");

    // Building needs no installation, and logs nowhere.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software");
    auto built = run({copy, "fix2", "D:\\kova2000\\abc\\a.dat"}, {}, "", dev_);
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_TRUE(fs::exists(dev_ + "/source/patches/fix2.kvz"));
}

TEST_F(Operator, HandingOnFailsUnlessThePatchWasHandedOn) {
    build_fix1();
    // No mail client on the path and no SMTP details: nothing can be sent.
    auto mail = kvpatch({"fix1", "/m"}, {{"PATH", "/nonexistent"}});
    EXPECT_EQ(mail.status, 1);
    EXPECT_EQ(mail.err, "kvpatch: Could not read SMTP details from kova.ini\n"
                        "kvpatch: The patch \\source\\patches\\fix1.kvz was not mailed\n");
    // Nobody can name the recipient of an unattended queue.
    auto queue = kvpatch({"fix1", "/f"});
    EXPECT_EQ(queue.status, 1);
    EXPECT_EQ(queue.err,
              "kvpatch: The patch was not queued - only an operator can name its recipient\n");
    EXPECT_NE(read_file(server_ + "/KOVABrisel/setup.log").find("The patch was not queued"),
              std::string::npos);
}

TEST_F(Operator, HandingOnAtATerminalSucceedsOnlyWhenThePatchWentOn) {
    build_fix1();
    // No mail client and no SMTP details: the operator is told, and the status says it too.
    kova_test::Pty mail({program("kvpatch"), "fix1", "/m"}, {{"PATH", "/nonexistent"}}, dev_);
    ASSERT_TRUE(mail.expect("Could not read SMTP details from kova.ini")) << mail.output();
    mail.send("\r");
    EXPECT_EQ(mail.wait(), 1) << mail.output();
    EXPECT_EQ(mail.output().find("kvpatch: "), std::string::npos) << "no extra lines at a terminal";

    kova_test::TempDir share;
    fs::create_directories(prefix_.path() + "/dosdevices/unc/kovabackup");
    fs::create_directory_symlink(share.path(),
                                 prefix_.path() + "/dosdevices/unc/kovabackup/kovasend");

    kova_test::Pty cancel({program("kvpatch"), "fix1", "/f"}, {}, dev_);
    ASSERT_TRUE(cancel.expect("Kernel license number")) << cancel.output();
    cancel.send("\x1b");
    EXPECT_EQ(cancel.wait(), 1) << cancel.output();

    kova_test::Pty queue({program("kvpatch"), "fix1", "/f"}, {}, dev_);
    ASSERT_TRUE(queue.expect("Kernel license number")) << queue.output();
    queue.send("12\r\r");
    ASSERT_TRUE(queue.expect("Patch successfully queued for collection")) << queue.output();
    queue.send("\r");
    EXPECT_EQ(queue.wait(), 0) << queue.output();
    EXPECT_TRUE(fs::exists(share.path() + "/today/12/fix1.kvz"));
}

TEST_F(Operator, BuildingOutsideADevelopmentDriveWritesNothingAtTheHostsRoot) {
    // Z: stands for the host's root; here it is a folder of the test, so that even a failure
    // of this test leaves the real root alone.
    kova_test::TempDir host_root;
    prefix_.map_drive('z', host_root.path());
    kova_test::TempDir notes;
    write_file(notes / "one.txt", "a note");
    for (std::vector<std::string> args : {std::vector<std::string>{"mypatch", "one.txt"},
                                          std::vector<std::string>{"mypatch", "/m"}}) {
        SCOPED_TRACE(args[1]);
        auto result = kvpatch(args, {}, notes.path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind("kvpatch: Patches are kept in \\source\\patches\\ of the "
                                   "current drive, and the current folder Z:",
                                   0),
                  0u)
            << result.err;
        EXPECT_NE(result.err.find("kvprefix drive D: "), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(host_root / "source"));
    }
}

TEST_F(Operator, ANameOutsideTheCodePageIsNamedAsSuch) {
    write_file(dev_ + "/报告.txt", "report");
    auto result = kvpatch({"fix1", "报告.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kvpatch: Unable to use the name '??.txt' - it has characters that the "
                          "suite's code page (Windows-1252) cannot hold; rename it\n");
    EXPECT_FALSE(fs::exists(dev_ + "/source/patches/fix1.kvz"));
    // Names the code page holds keep working.
    write_file(dev_ + "/Société.txt", "report");
    EXPECT_EQ(kvpatch({"fix1", "Société.txt"}).status, 0);
}

TEST_F(Operator, AnInstalledCopyThatCannotBeRemovedIsReportedForWhatItIs) {
    build_fix1();
    std::string target = server_ + "/KOVABrisel/abc/a.dat";
    // Root may delete any file, except an immutable one.
    std::string lock = geteuid() == 0 ? "chattr +i '" + target + "'"
                                      : "chmod a-w '" + server_ + "/KOVABrisel/abc'";
    if (std::system((lock + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot make a file undeletable here";
    auto result = kvpatch({"fix1"});
    std::string unlock = geteuid() == 0 ? "chattr -i '" + target + "'"
                                        : "chmod u+w '" + server_ + "/KOVABrisel/abc'";
    EXPECT_EQ(std::system(unlock.c_str()), 0);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("kvpatch: Error replacing file S:\\KOVABrisel\\abc\\a.dat - Access "
                              "Denied\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("every component there is as it was"), std::string::npos)
        << result.err;
    EXPECT_EQ(read_file(target), "old");
}

TEST_F(Operator, LeavingTheInstallAtATerminalSaysSoAndFails) {
    build_fix1();
    struct Case {
        const char *name;
        std::string keys_after_question;
    };
    const Case cases[] = {
        {"No to the question", "n"},
        {"Enter (<< Back) on the drive page", "y"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kova_test::Pty pty({program("kvpatch"), "fix1"}, {}, dev_);
        ASSERT_TRUE(pty.expect("Do you wish to install this patch?")) << pty.output();
        pty.send(c.keys_after_question);
        if (c.keys_after_question == "y") {
            ASSERT_TRUE(pty.expect("Server drive [1-1]")) << pty.output();
            pty.send("\r"); // keeps S: and moves on to the buttons
            ASSERT_TRUE(pty.expect("Enter: << Back")) << pty.output();
            pty.send("\r");
        }
        ASSERT_TRUE(pty.expect("Installation cancelled")) << pty.output();
        pty.send("\r");
        EXPECT_EQ(pty.wait(), 1) << pty.output();
        EXPECT_EQ(read_file(server_ + "/KOVABrisel/abc/a.dat"), "old");
        EXPECT_FALSE(fs::exists(server_ + "/KOVABrisel/unpatch"));
    }
}

} // namespace
