// Installing a program into the suite's folder: copy, replacement of a read-only copy,
// uninstalling, running from the folder itself, feature tables, libraries, the failure
// messages, and kvpatch installing itself so that a desktop opens patches with the copy.
#include "kernel/install/shell.h"
#include "kernel/ui/presenter.h"
#include "tests/install/shell_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace shell_test;
using kova_test::read_file;
using kova_test::run;
using kova_test::TempPrefix;
using kova_test::write_file;
namespace fs = std::filesystem;

std::vector<std::string> *shown = nullptr;

// Boxes as an operator at a desktop would see them, recorded instead of drawn.
class Boxes {
public:
    Boxes() {
        shown = &texts;
        fxp_presenter.desktop_visible = [] { return true; };
        fxp_presenter.beep = [](UINT) {};
        fxp_presenter.box = [](HWND, const char *text, const char *, UINT) {
            shown->push_back(text);
            return static_cast<int>(IDOK);
        };
    }
    ~Boxes() {
        fxp_presenter = saved_;
        shown = nullptr;
    }
    std::vector<std::string> texts;

private:
    TXP_PRESENTER saved_ = fxp_presenter;
};

// The maker's folder above the program folder, and Program Files above that.
std::string maker(const TempPrefix &prefix) {
    return fs::path(brisel(prefix)).parent_path().string();
}

// A copy keeps what the host needs to run it: on POSIX its execute permission (on Windows,
// a program runs by its name).
bool executable(const std::string &path) {
    if (kova_test::on_windows()) return fs::is_regular_file(path);
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

TEST(ProgramInstall, CopiesRegistersReplacesAndUninstalls) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    Boxes boxes;
    std::string tool = prefix.map_drive('s') + "/build/kvtool";
    write_file(tool, "#!/bin/sh\necho first\n");
    fs::permissions(tool, fs::perms::owner_all);
    std::string installed = brisel(prefix) + "/kvpatch.exe";

    ASSERT_TRUE(fxk_program_install("S:\\build\\kvtool", "kvpatch.exe", "KOVA Patch Installer",
                                    "kvz", 0, 0));
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"KOVA Patch Installer Installed"});
    EXPECT_EQ(read_file(installed), "#!/bin/sh\necho first\n");
    EXPECT_TRUE(executable(installed)) << "the copy still runs";
    EXPECT_EQ(hkcr("kvzfile\\shell\\open\\command\\"), program("kvpatch.exe") + " \"%1\"");

    // A read-only earlier copy gives way to the new one.
    fs::permissions(installed, fs::perms::owner_read | fs::perms::owner_exec);
    write_file(tool, "#!/bin/sh\necho second\n");
    ASSERT_TRUE(fxk_program_install("S:\\build\\kvtool", "kvpatch.exe", "KOVA Patch Installer",
                                    "kvz", 1, 0));
    EXPECT_EQ(read_file(installed), "#!/bin/sh\necho second\n");
    EXPECT_EQ(boxes.texts.size(), 1u) << "quiet shows nothing";

    ASSERT_TRUE(fxk_program_install("S:\\build\\kvtool", "kvpatch.exe", "KOVA Patch Installer",
                                    "kvz", 0, 1));
    EXPECT_EQ(boxes.texts.back(), "KOVA Patch Installer Uninstalled");
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_FALSE(fs::exists(brisel(prefix))) << "the emptied folders go";
    EXPECT_FALSE(fs::exists(maker(prefix)));
    EXPECT_TRUE(fs::exists(fs::path(maker(prefix)).parent_path()));
    EXPECT_EQ(hkcr(".kvz\\"), missing_key);
    EXPECT_TRUE(fs::exists(tool)) << "the source stays";
}

TEST(ProgramInstall, FromInsideTheProgramFolderOnlyRegisters) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    std::string folder;
    ASSERT_EQ(fxk_program_folder(folder), 0);
    EXPECT_EQ(folder, "C:\\Program Files\\KOVA Business Software\\Brisel");
    write_file(brisel(prefix) + "/other.exe", "program");

    ASSERT_TRUE(fxk_program_install("c:\\PROGRAM FILES\\kova business software\\brisel\\other.exe",
                                    "kvpatch.exe", "KOVA Patch Installer", "kvz", 1, 0));
    EXPECT_FALSE(fs::exists(brisel(prefix) + "/kvpatch.exe")) << "nothing is copied";
    EXPECT_EQ(read_file(brisel(prefix) + "/other.exe"), "program");
    EXPECT_EQ(hkcr(".kvz\\"), "kvzfile");
}

TEST(ProgramInstall, FailuresLeaveAndSayWhatFailed) {
    const std::string target = "C:\\Program Files\\KOVA Business Software\\Brisel\\kvpatch.exe";
    struct Case {
        const char *name;
        std::function<void(const TempPrefix &)> setup;
        const char *source;
        uint16_t uninstall;
        std::string text; // the start of the message
    };
    const Case cases[] = {
        {"missing source", [](const TempPrefix &) {}, "S:\\missing\\kvtool", 0,
         "Failed to copy S:\\missing\\kvtool to " + target + " - "},
        {"maker's folder is a file", [](const TempPrefix &p) { write_file(maker(p), "x"); },
         "S:\\build\\kvtool", 0,
         "Failed to create folder 'C:\\Program Files\\KOVA Business Software\\Brisel\\' - "},
        {"previous copy in use",
         [](const TempPrefix &p) { write_file(brisel(p) + "/kvpatch.exe", "old"); },
         "S:\\build\\kvtool", 0, "Failed to delete previous copy of " + target + " - "},
        {"terminal server without install mode",
         [](const TempPrefix &) {
             set_machine_value("System\\CurrentControlSet\\Control\\ProductOptions", "ProductSuite",
                               REG_MULTI_SZ, std::string("Terminal Server\0\0", 17));
             set_machine_value("SYSTEM\\CurrentControlSet\\Control\\Terminal Server", "TSAppCompat",
                               REG_DWORD, std::string("\1\0\0\0", 4));
         },
         "S:\\build\\kvtool", 1,
         "Cannot uninstall KOVA Patch Installer - Failed to select INSTALL mode"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint16_t quiet : {0, 1}) {
            TempPrefix prefix;
            Environment env;
            plain_environment(env);
            // On Windows these are the system's own.
            MachineValues machine(
                {{"System\\CurrentControlSet\\Control\\ProductOptions", "ProductSuite"},
                 {"SYSTEM\\CurrentControlSet\\Control\\Terminal Server", "TSAppCompat"}});
            write_file(prefix.map_drive('s') + "/build/kvtool", "new");
            c.setup(prefix);
            // An open handle that does not share deletion keeps an earlier copy in place.
            HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            Boxes boxes;
            EXPECT_FALSE(fxk_program_install(c.source, "kvpatch.exe", "KOVA Patch Installer", "kvz",
                                             quiet, c.uninstall));
            if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
            if (quiet) {
                EXPECT_TRUE(boxes.texts.empty());
            } else {
                ASSERT_EQ(boxes.texts.size(), 1u);
                EXPECT_EQ(boxes.texts[0].substr(0, c.text.size()), c.text) << boxes.texts[0];
                // After " - " comes the reason.
                if (c.text.ends_with(" - "))
                    EXPECT_GT(boxes.texts[0].size(), c.text.size());
                else
                    EXPECT_EQ(boxes.texts[0], c.text);
            }
            EXPECT_EQ(read_file(brisel(prefix) + "/kvpatch.exe"),
                      std::string(c.name) == "previous copy in use" ? "old" : "");
            EXPECT_EQ(hkcr(".kvz\\"), missing_key) << "nothing registered after a failure";
        }
    }
}

TEST(ProgramInstall, ParameterProgramsBringTheirFeatureTables) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    std::string s = prefix.map_drive('s');
    write_file(s + "/kvparm/kvparm.exe", "program");
    write_file(s + "/kvparm/abc/abc.kvf", "table abc");
    write_file(s + "/kvparm/abcd/abcd.kvf", "four letters");
    write_file(s + "/kvparm/.ab/.ab.kvf", "hidden");
    fs::create_directories(s + "/kvparm/xyz");
    std::string folder = brisel(prefix);

    ASSERT_TRUE(
        fxk_program_install("S:\\kvparm\\kvparm.exe", "kvparm.exe", "Parameters", "kvc", 1, 0));
    EXPECT_EQ(read_file(folder + "/abc/abc.kvf"), "table abc");
    for (const char *absent : {"abcd", ".ab", "xyz"})
        EXPECT_FALSE(fs::exists(folder + "/" + absent)) << absent;
    EXPECT_EQ(hkcr(".kvc\\"), "kvcfile");

    // Run again from the folder itself, the tables there are the ones it would copy: they
    // stay.
    fs::permissions(folder + "/abc/abc.kvf", fs::perms::owner_read);
    ASSERT_TRUE(fxk_program_install("C:\\Program Files\\KOVA Business Software\\Brisel\\kvparm.exe",
                                    "kvparm.exe", "Parameters", "kvc", 1, 0));
    EXPECT_EQ(read_file(folder + "/abc/abc.kvf"), "table abc");

    ASSERT_TRUE(
        fxk_program_install("S:\\kvparm\\kvparm.exe", "kvparm.exe", "Parameters", "kvc", 1, 1));
    EXPECT_FALSE(fs::exists(folder)) << "tables, their folders and the program folder went";
    EXPECT_EQ(hkcr(".kvc\\"), missing_key);
    EXPECT_EQ(read_file(s + "/kvparm/abc/abc.kvf"), "table abc");
}

TEST(ProgramInstall, AFeatureTableThatCannotBeCopiedFailsTheInstall) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    std::string s = prefix.map_drive('s');
    write_file(s + "/kvparm/kvparm.exe", "program");
    write_file(s + "/kvparm/abc/abc.kvf", "table abc");
    // A file where the table's folder belongs: the folder cannot be made, nor the copy.
    std::string folder = brisel(prefix);
    write_file(folder + "/abc", "in the way");
    Boxes boxes;

    EXPECT_FALSE(
        fxk_program_install("S:\\kvparm\\kvparm.exe", "kvparm.exe", "Parameters", "kvc", 0, 0));
    ASSERT_EQ(boxes.texts.size(), 1u);
    std::string expected = "Failed to copy S:\\kvparm\\abc\\abc.kvf to C:\\Program Files\\KOVA "
                           "Business Software\\Brisel\\abc\\abc.kvf - ";
    EXPECT_EQ(boxes.texts[0].substr(0, expected.size()), expected) << boxes.texts[0];
    EXPECT_GT(boxes.texts[0].size(), expected.size()) << "the reason is given";
}

// The key the test COM server writes when it is registered, holding the path it was loaded
// from, and removes when it is unregistered.
std::string com_server_registration() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KOVA tests\\COM server", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return missing_key;
    char data[1024] = {};
    DWORD size = sizeof data - 1;
    LSTATUS status = RegQueryValueExA(key, "Registered", nullptr, nullptr,
                                      reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? data : missing_value;
}

TEST(ProgramInstall, LibrariesRegisterTheirServersFromTheProgramFolder) {
    if (!kova_test::on_windows()) GTEST_SKIP() << "COM servers load only on Windows";
    std::string library = kova_test::native_path(
        fs::path(kova_test::self_program()).parent_path().string() + "/kvtestcom.dll");
    ASSERT_TRUE(fs::exists(library)) << library;
    // A "64" in the name says nothing: a library built for this process is registered in it.
    for (const std::string name : {"kvtestcom.dll", "kvtestcom64.dll"}) {
        SCOPED_TRACE(name);
        TempPrefix prefix;
        Environment env;
        plain_environment(env);
        Boxes boxes;
        const std::string installed = folder + "\\" + name;
        ASSERT_EQ(com_server_registration(), missing_key) << "left by an earlier run";

        ASSERT_TRUE(
            fxk_program_install(library.c_str(), name.c_str(), "Test server", nullptr, 0, 0));
        EXPECT_EQ(read_file(brisel(prefix) + "/" + name), read_file(library));
        EXPECT_EQ(com_server_registration(), installed) << "the installed copy was registered";
        EXPECT_TRUE(boxes.texts.empty()) << "a library shows no box";

        // Installing again replaces a registered copy.
        ASSERT_TRUE(
            fxk_program_install(library.c_str(), name.c_str(), "Test server", nullptr, 1, 0));
        EXPECT_EQ(com_server_registration(), installed);

        ASSERT_TRUE(
            fxk_program_install(library.c_str(), name.c_str(), "Test server", nullptr, 1, 1));
        EXPECT_EQ(com_server_registration(), missing_key) << "unregistered before it went";
        EXPECT_FALSE(fs::exists(brisel(prefix) + "/" + name));
        EXPECT_FALSE(fs::exists(maker(prefix)));
    }
}

TEST(ProgramInstall, LibrariesAreCopiedWithoutTheInstalledBox) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    write_file(prefix.map_drive('s') + "/build/kvshell.dll", "library");
    Boxes boxes;
    for (const char *name : {"kvshell.dll", "kvshell64.dll"}) {
        ASSERT_TRUE(
            fxk_program_install("S:\\build\\kvshell.dll", name, "Shell extension", nullptr, 0, 0));
        EXPECT_EQ(read_file(brisel(prefix) + "/" + name), "library");
    }
    EXPECT_TRUE(boxes.texts.empty());
}

// ---- kvpatch itself ---------------------------------------------------------------------------

TEST(ProgramInstall, KvpatchInstallsItselfForTheDesktop) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    env.set("XDG_CURRENT_DESKTOP", "test");
    DatabaseTools tools(env);
    std::string installed = brisel(prefix) + "/kvpatch.exe";

    auto result = run({kova_test::program("kvpatch")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(read_file(installed), read_file(kova_test::program("kvpatch")));
    EXPECT_TRUE(executable(installed));
    EXPECT_EQ(hkcr("kvzfile\\shell\\open\\command\\"), program("kvpatch.exe") + " \"%1\"");
    EXPECT_EQ(hkcr(queue_row), missing_key);

    if (kova_test::on_windows()) {
        // A running program cannot be replaced: a copy over itself would fail the run.
        result = run({kova_test::native_path(installed)});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_file(installed), read_file(kova_test::program("kvpatch")));
        return;
    }

    // The desktop's open action runs the installed copy in this prefix.
    std::string entry =
        read_file(std::string(getenv("XDG_DATA_HOME")) + "/applications/kvpatch.desktop");
    size_t at = entry.find("\nExec=");
    ASSERT_NE(at, std::string::npos) << entry;
    std::string exec = entry.substr(at + 6, entry.find('\n', at + 1) - at - 6);
    ASSERT_EQ(exec.substr(exec.size() - 3), " %f");
    exec.replace(exec.size() - 2, 2, "'/?'");
    env.set("KOVA_PREFIX", "/nonexistent"); // the line must bring its own prefix
    auto usage = run({"/bin/sh", "-c", exec});
    env.set("KOVA_PREFIX", prefix.path());
    EXPECT_EQ(usage.status, 0) << usage.err;
    EXPECT_NE(usage.out.find("Usage:"), std::string::npos) << usage.out;

    // Started from the folder it lives in, it registers and copies nothing.
    struct stat before {
    }, after{};
    ASSERT_EQ(stat(installed.c_str(), &before), 0);
    auto modified = fs::last_write_time(installed);
    result = run({installed});
    EXPECT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(stat(installed.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(fs::last_write_time(installed), modified);
}

TEST(ProgramInstall, EveryRunWithArgumentsRegistersThePatchType) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    env.set("KOVADOMAIN", "Y");
    // An invalid command line still registers first.
    auto result = run({kova_test::program("kvpatch"), "a", "b", "c"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(hkcr(".kvz\\"), "kvzfile");
    EXPECT_EQ(hkcr(queue_row), program("kvpatch.exe") + " \"%1\" /f");
    EXPECT_FALSE(fs::exists(brisel(prefix) + "/kvpatch.exe"))
        << "only a run without arguments installs";
}

} // namespace
