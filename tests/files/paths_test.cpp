// Paths, directories and volumes: the path model, directory creation and removal, searches
// with their attribute filters, current and start-up directories, and the volume questions.
#include "kernel/files/paths.h"
#include "platform/host.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kova_test::TempDir;
using kova_test::TempPrefix;
using kova_test::write_file;

namespace {

struct KeepCwd {
    fs::path saved = fs::current_path();
    ~KeepCwd() { fs::current_path(saved); }
};

TEST(PathSplit, Parts) {
    struct Case {
        const char *path, *drive, *dir, *name, *ext, *name_ext;
    } cases[] = {
        {"C:\\kova\\data\\setup.log", "C:", "\\kova\\data\\", "setup", "log", "setup.log"},
        {"setup", "", "", "setup", "", "setup"},
        {".profile", "", "", ".profile", "", ".profile"},
        {"C:\\kova\\.profile", "C:", "\\kova\\", ".profile", "", ".profile"},
        {"\\\\srv\\share", "\\\\srv\\share", "", "", "", ""},
        {"\\\\srv\\share\\a.b.c", "\\\\srv\\share", "\\", "a.b", "c", "a.b.c"},
        {"\\\\srv", "\\\\srv", "", "", "", ""},
        {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x.txt",
         "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", "\\", "x", "txt", "x.txt"},
        {"\\\\?\\globalroot\\device\\Vol2", "\\\\?\\globalroot\\device\\Vol2", "", "", "", ""},
        {"C:kova\\x.", "C:", "kova\\", "x", "", "x"},
        {"D:", "D:", "", "", "", ""},
        {"\\dir\\", "", "\\dir\\", "", "", ""},
    };
    for (const auto &c : cases) {
        char drive[261], dir[261], name[261], ext[261], version[261], name_ext[522];
        ASSERT_EQ(fxi_path_split(c.path, drive, dir, name, ext, version, name_ext), 0) << c.path;
        EXPECT_STREQ(drive, c.drive) << c.path;
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(name, c.name) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
        EXPECT_STREQ(version, "") << c.path;
        EXPECT_STREQ(name_ext, c.name_ext) << c.path;
    }
    EXPECT_EQ(fxi_path_split("C:\\a.b", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);

    std::string long_part(261, 'x');
    struct Bad {
        std::string path;
        uint16_t code;
    } bad[] = {
        {"", 3201},
        {"\\\\" + long_part + "\\share\\x", 3201},
        {"C:\\" + long_part + "\\x", 3202},
        {"C:\\d\\" + long_part + ".txt", 3203},
        {"C:\\d\\x." + long_part, 3204},
    };
    for (const auto &b : bad) {
        char name[261] = "unchanged";
        EXPECT_EQ(fxi_path_split(b.path.c_str(), nullptr, nullptr, name, nullptr, nullptr, nullptr),
                  b.code);
    }
    EXPECT_EQ(fxi_path_split(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 3201);
}

TEST(PathMake, ComposesAndSplitsBack) {
    struct Case {
        const char *drive, *dir, *name, *ext, *version, *path;
    } cases[] = {
        {"\\\\srv\\share", "kova", nullptr, nullptr, nullptr, "\\\\srv\\share\\kova\\"},
        {"\\\\srv\\share", "\\kova\\", "a", "b", nullptr, "\\\\srv\\share\\kova\\a.b"},
        {"\\\\srv\\share", nullptr, "a", nullptr, nullptr, "\\\\srv\\share\\a"},
        {"C:", "kova\\", nullptr, nullptr, nullptr, "C:kova\\"},
        {"C:", "\\kova\\data", "setup", "log", "", "C:\\kova\\data\\setup.log"},
        {nullptr, nullptr, "x", "", "3", "x;3"},
        {"", "", "", "", "", ""},
    };
    for (const auto &c : cases) {
        char out[DXI_PATH_BUFFER];
        EXPECT_STREQ(fxi_path_make(c.drive, c.dir, c.name, c.ext, c.version, out), c.path);
        EXPECT_EQ(fxi_path_make_string(c.drive, c.dir, c.name, c.ext, c.version), c.path);
    }

    struct Texts {
        const char *path, *folder, *leaf, *parent;
    } texts[] = {
        {"C:\\kova\\data\\setup.log", "C:\\kova\\data\\", "setup.log", "C:\\kova\\data\\"},
        {"C:\\kova\\data\\", "C:\\kova\\data\\", "data", "C:\\kova\\"},
        {"C:setup.log", "C:\\", "setup.log", "C:"},
        {"setup.log", "", "setup.log", ""},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\", "x", "\\\\srv\\share\\"},
    };
    for (const auto &t : texts) {
        char out[DXI_PATH_BUFFER], cut[DXI_PATH_BUFFER];
        EXPECT_STREQ(fxi_path_folder(t.path, out), t.folder) << t.path;
        EXPECT_STREQ(fxi_path_leaf(t.path, out), t.leaf) << t.path;
        strcpy(cut, t.path);
        EXPECT_STREQ(fxi_path_parent(cut), t.parent) << t.path;
    }
}

class Directories : public ::testing::Test {
protected:
    KeepCwd keep;
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
};

TEST_F(Directories, MakeExistsAndRemove) {
    EXPECT_FALSE(fxi_dir_exists("Q:\\a"));
    EXPECT_EQ(fxi_dir_make_all("Q:\\a\\b\\c\\"), 0);
    EXPECT_TRUE(fs::is_directory(q + "/a/b/c"));
    EXPECT_EQ(fxi_dir_make_all("q:\\A\\B\\c\\d"), 0); // some levels exist already
    EXPECT_TRUE(fs::is_directory(q + "/a/b/c/d"));
    EXPECT_EQ(fxi_dir_make("Q:\\"), 2603);
    EXPECT_EQ(fxi_dir_make("Q:\\a"), 2603);
    EXPECT_EQ(fxi_dir_make("Q:\\x\\y"), 2601);
    EXPECT_EQ(fxi_dir_make("Q:\\e\\"), 0);
    EXPECT_TRUE(fs::is_directory(q + "/e"));
    EXPECT_EQ(fxi_dir_make_all("K:\\a\\b"), 2601);

    for (const char *yes : {"Q:\\a", "Q:\\A\\B\\", "Q:", "Q:\\", "", "\\\\"})
        EXPECT_TRUE(fxi_dir_exists(yes)) << yes;
    write_file(q + "/file.txt", "");
    std::string too_long = "Q:\\" + std::string(300, 'a');
    for (const char *no : {"K:", "Q:\\file.txt", "Q:\\none", too_long.c_str()})
        EXPECT_FALSE(fxi_dir_exists(no)) << no;

    EXPECT_EQ(fxi_dir_remove("Q:\\a\\b"), 2607);
    EXPECT_EQ(fxi_dir_remove("Q:\\a\\b\\c\\d\\"), 0);
    EXPECT_FALSE(fs::exists(q + "/a/b/c/d"));
    EXPECT_EQ(fxi_dir_remove("Q:\\a\\b\\c\\d"), 2601);
}

TEST_F(Directories, SearchFilters) {
    write_file(q + "/d/plain.txt", "12345");
    write_file(q + "/d/other.dat", "");
    fs::create_directory(q + "/d/Sub");
    bool xattrs = setxattr((q + "/d/plain.txt").c_str(), "user.kova.t", "1", 1, 0) == 0;
    if (xattrs) {
        write_file(q + "/d/hidden.txt", "");
        write_file(q + "/d/system.txt", "");
        SetFileAttributesA("Q:\\d\\hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
        SetFileAttributesA("Q:\\d\\system.txt", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    }
    auto search = [](const char *pattern, uint16_t mask, uint16_t exact) {
        std::vector<std::string> found;
        TXI_DIRSCAN scan;
        char full[DXI_PATH_BUFFER];
        uint16_t code = fxi_dir_first(pattern, mask, exact, full, &scan);
        for (; code == 0; code = fxi_dir_next(full, &scan)) found.push_back(full);
        fxi_dir_close(&scan);
        EXPECT_EQ(scan.handle, INVALID_HANDLE_VALUE);
        if (code != 2605) found.push_back("code " + std::to_string(code));
        std::sort(found.begin(), found.end());
        return found;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(search("Q:\\d\\*.*", 0x10, 0),
              (V{"Q:\\d\\.", "Q:\\d\\..", "Q:\\d\\Sub"})); // directories only, dots included
    EXPECT_EQ(search("Q:\\d\\*.*", 0, 0), (V{"Q:\\d\\other.dat", "Q:\\d\\plain.txt"}));
    EXPECT_EQ(search("Q:\\D\\*.TXT\\", 0, 0), (V{"Q:\\D\\plain.txt"}));
    EXPECT_EQ(search("Q:\\d\\*.zip", 0, 0), V{});
    EXPECT_EQ(search("Q:\\nodir\\*.*", 0, 0), V{});
    EXPECT_EQ(search("K:\\*.*", 0, 0), V{"code 2651"});
    if (xattrs) {
        EXPECT_EQ(search("Q:\\d\\*.txt", 0x27, 0),
                  (V{"Q:\\d\\hidden.txt", "Q:\\d\\plain.txt", "Q:\\d\\system.txt"}));
        EXPECT_EQ(search("Q:\\d\\*.txt", 0x22, 1), (V{"Q:\\d\\hidden.txt"}));
        EXPECT_EQ(search("Q:\\d\\*.*", 0x12, 0),
                  (V{"Q:\\d\\.", "Q:\\d\\..", "Q:\\d\\Sub", "Q:\\d\\hidden.txt", "Q:\\d\\other.dat",
                     "Q:\\d\\plain.txt"}));
    }

    TXI_DIRSCAN scan;
    ASSERT_EQ(fxi_dir_first("Q:\\d\\plain.txt", 0, 0, nullptr, &scan), 0);
    EXPECT_STREQ(scan.entry_name, "plain.txt");
    EXPECT_STREQ(scan.drive, "Q:");
    EXPECT_STREQ(scan.directory, "\\d\\");
    EXPECT_EQ(scan.mask, 0x21);
    EXPECT_EQ(scan.entry_size, 5u);
    EXPECT_EQ(scan.entry_attributes, DXI_ATTR_ARCHIVE);
    TXD_CLOCK now;
    fxd_clock_now(&now);
    EXPECT_EQ(memcmp(&scan.entry_time.date, &now.date, sizeof now.date), 0); // local, today
    fxi_dir_close(&scan);
    fxi_dir_close(&scan); // closing twice does nothing

    EXPECT_EQ(fxi_delete_files("Q:\\d\\*.*"), 0);
    EXPECT_FALSE(fs::exists(q + "/d/plain.txt"));
    EXPECT_FALSE(fs::exists(q + "/d/other.dat"));
    EXPECT_TRUE(fs::exists(q + "/d/Sub"));
    if (xattrs) {
        EXPECT_TRUE(fs::exists(q + "/d/hidden.txt")); // only ordinary files go
    }
    write_file(q + "/d/ro.txt", "");
    SetFileAttributesA("Q:\\d\\ro.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(fxi_delete_files("Q:\\d\\*.txt"), 2722);
}

TEST_F(Directories, CurrentAndStartupDirectories) {
    std::string r = prefix.map_drive('r');
    fs::create_directories(q + "/work/sub");
    fs::create_directories(r + "/home");
    char before[DXI_PATH_BUFFER], now[DXI_PATH_BUFFER], startup[DXI_PATH_BUFFER];
    fxi_dir_current(before);
    EXPECT_EQ(before[strlen(before) - 1], '\\');

    ASSERT_EQ(fxi_dir_set_current("Q:\\Work\\"), 0);
    EXPECT_STREQ(fxi_dir_current(now), "Q:\\work\\");
    // The start-up directory is what was current before the first change (the first change of
    // this test program, which may have come earlier).
    fxi_dir_startup(startup);
    EXPECT_EQ(startup[strlen(startup) - 1], '\\');
    EXPECT_STRNE(startup, "Q:\\work\\");
    char variable[DXI_PATH_BUFFER];
    ASSERT_GT(GetEnvironmentVariableA("=Q:", variable, sizeof variable), 0u);
    EXPECT_STREQ(variable, "Q:\\work");

    ASSERT_EQ(fxi_dir_set_current("R:\\home"), 0);
    ASSERT_EQ(fxi_dir_set_current("Q:"), 0); // back to the drive's own directory
    EXPECT_STREQ(fxi_dir_current(now), "Q:\\work\\");
    ASSERT_EQ(fxi_dir_set_current("Q:\\"), 0); // the root, not the drive's directory
    EXPECT_STREQ(fxi_dir_current(now), "Q:\\");
    SetEnvironmentVariableA("=R:", "R:\\gone");
    ASSERT_EQ(fxi_dir_set_current("R:"), 0); // a stale directory falls back to the root
    EXPECT_STREQ(fxi_dir_current(now), "R:\\");
    EXPECT_EQ(fxi_dir_set_current("Q:\\nowhere"), 2601);
    EXPECT_EQ(fxi_dir_set_current("K:\\"), 2601);
    char drive[DXI_PATH_BUFFER];
    EXPECT_STREQ(fxi_vol_current(drive), "R:");
    EXPECT_STREQ(fxi_dir_startup(now), startup);
}

TEST_F(Directories, VolumesAndComputer) {
    kova_prefix();
    TempDir share;
    fs::create_directories(prefix.path() + "/dosdevices/unc/fileserv");
    fs::create_directory_symlink(share.path(), prefix.path() + "/dosdevices/unc/fileserv/kova");
    prefix.map_drive('n', share.path());

    EXPECT_TRUE(fxi_vol_valid("Q:"));
    EXPECT_TRUE(fxi_vol_valid("\\\\fileserv\\kova"));
    EXPECT_TRUE(fxi_vol_valid("\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"));
    EXPECT_FALSE(fxi_vol_valid("K:"));
    EXPECT_FALSE(fxi_vol_removable("Q:"));
    EXPECT_TRUE(fxi_vol_is_local("Q:"));
    EXPECT_FALSE(fxi_vol_is_local("N:"));
    EXPECT_FALSE(fxi_vol_is_local("\\\\fileserv\\kova"));

    char name[16], out[DXI_PATH_BUFFER];
    ASSERT_EQ(fxi_computer_name(name), 0);
    EXPECT_GT(strlen(name), 0u);
    EXPECT_TRUE(fxi_vol_is_local(("\\\\" + std::string(name) + "\\x").c_str()));
    std::string lower = name;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(fxi_vol_is_local(("\\\\" + lower + "\\x").c_str()));

    EXPECT_STREQ(fxi_vol_server("Q:", out), ""); // local, not shared
    EXPECT_STREQ(fxi_vol_server("N:", out), "fileserv");
    EXPECT_STREQ(fxi_vol_server("\\\\other\\share\\x", out), "other");
    ASSERT_EQ(fxi_dir_set_current("N:\\"), 0);
    EXPECT_STREQ(fxi_current_server(out), "fileserv");
}

TEST(ModulePath, RunningProgramInDosForm) {
    TempPrefix prefix;
    char path[DXI_PATH_BUFFER];
    fxi_module_path(path);
    std::string expected = kova_dos_from_host(fs::canonical("/proc/self/exe").string()) + ".exe";
    EXPECT_STREQ(path, expected.c_str());
}

} // namespace
