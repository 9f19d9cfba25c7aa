// The installation settings: defaults, data home and configuration file paths, the stored
// settings, long values, the server test and the company's file store.
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "platform/host.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

// A prefix with drive D: and settings that start from nothing and are put back afterwards.
class Install : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        fxi_set_program_dir("");
        fxi_set_data_home("");
        fxi_set_temp_dir("");
        fxi_set_release(0);
        for (unsigned n = 0; n < 1024; ++n) fxi_clear_option(n);
        fxi_set_company("");
        fxi_set_licence("");
    }
    kova_test::TempPrefix prefix;
    std::string d = prefix.map_drive('D');
};

std::string computer() {
    char name[16];
    EXPECT_EQ(fxi_computer_name(name), 0);
    return name;
}

} // namespace

TEST_F(Install, DefaultsAreTheRunningProgramsFolder) {
    std::string folder = kova_test::self_program();
    ASSERT_NE(folder, "");
    folder.resize(folder.rfind('/'));
    std::string expected = kova_dos_from_host(folder) + "\\";
    EXPECT_EQ(fxi_program_dir(), expected);
    EXPECT_EQ(fxi_data_home(), expected);
    EXPECT_EQ(fxi_ini_path(DXI_INI_INSTALLATION), expected + "kova.ini");

    fxi_set_data_home("D:\\KOVABrisel");
    fxi_set_program_dir("D:\\KOVABrisel\\");
    EXPECT_EQ(fxi_data_home(), "D:\\KOVABrisel\\");
    EXPECT_EQ(fxi_program_dir(), "D:\\KOVABrisel\\");
    char path[DXI_PATH_BUFFER];
    EXPECT_STREQ(fxi_ini_path(path, DXI_INI_INSTALLATION, nullptr, nullptr),
                 "D:\\KOVABrisel\\kova.ini");

    fxi_set_temp_dir("D:\\KOVABrisel\\temp");
    char temp[520];
    EXPECT_STREQ(fxi_temp_dir(temp), "D:\\KOVABrisel\\temp\\");
}

TEST_F(Install, CompanyFilePaths) {
    fxi_set_data_home("D:\\KOVABrisel\\");
    kova_test::write_file(d + "/KOVABrisel/data/xyz/parameters/kovaxyz.ini", "");
    struct Case {
        bool option_248;
        uint8_t release;
        const char *company;
        const char *expected;
    } cases[] = {
        {true, 19, "xyz", "D:\\KOVABrisel\\data\\xyz\\parameters\\kovaxyz.ini"},
        {true, 19, "abc", "D:\\KOVABrisel\\data\\abc\\kovaabc.ini"}, // no parameters folder
        {true, 18, "xyz", "D:\\KOVABrisel\\data\\xyz\\kovaxyz.ini"}, // only above level 18
        {false, 19, "abc", "D:\\KOVABrisel\\kovaabc.ini"},
        {false, 19, "ab ", "D:\\KOVABrisel\\kovaab.ini"}, // trailing blanks dropped
    };
    for (const auto &c : cases) {
        c.option_248 ? fxi_set_option(248) : fxi_clear_option(248);
        fxi_set_release(c.release);
        EXPECT_EQ(fxi_ini_path(DXI_INI_COMPANY, c.company), c.expected);
    }
    fxi_set_company("xyz");
    fxi_set_option(248);
    EXPECT_EQ(fxi_ini_path(DXI_INI_COMPANY), "D:\\KOVABrisel\\data\\xyz\\parameters\\kovaxyz.ini");
    EXPECT_EQ(fxi_ini_path(DXI_INI_COMPANY, "abc", "D:\\other"),
              "D:\\other\\data\\abc\\kovaabc.ini");
}

TEST_F(Install, SettingsAreLoadedFromAndSavedToTheInstallationFile) {
    fxi_set_data_home("D:\\KOVABrisel\\");
    EXPECT_FALSE(fxi_load_installation()); // no kova.ini yet
    kova_test::write_file(d + "/KOVABrisel/kova.ini", "[all]\r\nserver=X\r\n"
                                                      "[system]\r\nrelease=22\r\n"
                                                      "options=134, 247,248,2000,junk,0\r\n"
                                                      "licence=12\r\ncompany=abc\r\nusers=40\r\n");
    fxi_set_option(5); // replaced by what the installation says
    ASSERT_TRUE(fxi_load_installation());
    EXPECT_EQ(fxi_release(), 22);
    std::vector<unsigned> set;
    for (unsigned n = 0; n < 1100; ++n)
        if (fxi_option(n)) set.push_back(n);
    EXPECT_EQ(set, (std::vector<unsigned>{0, 134, 247, 248}));
    EXPECT_STREQ(fxi_licence(), "12    ");
    EXPECT_STREQ(fxi_company(), "abc");
    EXPECT_EQ(fxi_user_slots(), 40);

    // Option bits: bit n is 0x80 >> (n % 8) of byte n / 8, so 247 is the last of byte 30.
    fxi_set_option(1023);
    fxi_set_option(1024); // ignored
    EXPECT_TRUE(fxi_option(1023));
    EXPECT_FALSE(fxi_option(1024));

    fxi_set_release(24);
    fxi_set_company("xyz");
    ASSERT_TRUE(fxi_save_installation());
    fxi_set_release(0);
    fxi_set_company("");
    ASSERT_TRUE(fxi_load_installation());
    EXPECT_EQ(fxi_release(), 24);
    EXPECT_STREQ(fxi_company(), "xyz");
    EXPECT_TRUE(fxi_option(1023));
    EXPECT_STREQ(fxi_licence(), "12    ");
    std::string text = kova_test::read_file(d + "/KOVABrisel/kova.ini");
    EXPECT_NE(text.find("options=0,134,247,248,1023\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[all]\r\nserver=X\r\n"), std::string::npos);
}

TEST_F(Install, ValuesOfAnyLength) {
    fxi_set_data_home("D:\\");
    std::string long_value(3000, 'v');
    long_value[0] = 'Y';
    long_value.back() = 'E';
    ASSERT_TRUE(fxi_ini_write("all", "long", long_value.c_str()));
    ASSERT_TRUE(fxi_ini_write("all", "edge", std::string(1024, 'e').c_str()));
    std::string out;
    EXPECT_EQ(fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "long", "", out), long_value);
    EXPECT_EQ(fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "edge", "", out).size(), 1024u);
    EXPECT_EQ(fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "none", "fallback", out),
              "fallback");

    char small[8];
    EXPECT_STREQ(fxi_ini_string("all", "long", "", small, sizeof small), "Yvvvvvv");
    EXPECT_EQ(fxi_ini_yes("all", "long", 'N'), 'Y');
    EXPECT_EQ(fxi_ini_yes_lower("all", "long", 'N'), 'y');
    EXPECT_EQ(fxi_ini_yes("all", "none", 'n'), 'N');
    EXPECT_EQ(fxi_ini_yes_lower("all", "none", 'N'), 'n');

    // The company's file is read the same way.
    kova_test::write_file(d + "/kovaabc.ini", "[odbc]\r\nrealtime=yes\r\n");
    EXPECT_EQ(fxi_ini_read(DXI_INI_COMPANY, "abc", "odbc", "realtime", "", out), "yes");
}

TEST_F(Install, ServerTestFillsAnEmptyServerKey) {
    fxi_set_data_home("D:\\one\\");
    kova_test::write_file(d + "/one/kova.ini", "[all]\r\nserver=\r\n");
    EXPECT_TRUE(fxi_is_server());
    std::string out;
    EXPECT_EQ(fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "server", "", out), computer());

    struct Case {
        const char *dir, *server;
        bool expected;
    } cases[] = {
        {"two", "kova-no-such-host.invalid", false},
        {"three", nullptr, true}, // this computer's name in other case
    };
    for (const auto &c : cases) {
        std::string server = c.server ? c.server : computer();
        for (char &ch : server) ch = static_cast<char>(tolower(ch));
        kova_test::write_file(d + "/" + c.dir + "/kova.ini", "[all]\r\nserver=" + server + "\r\n");
        fxi_set_data_home((std::string("D:\\") + c.dir).c_str());
        EXPECT_EQ(fxi_is_server(), c.expected) << c.dir;
    }
}

TEST_F(Install, FileStoreOfTheCurrentCompany) {
    fxi_set_data_home("D:\\KOVABrisel\\");
    fxi_set_company("abc");
    fxi_set_licence("12");
    fxi_set_release(17);
    EXPECT_EQ(fxi_file_store(), "D:\\KOVABrisel\\data\\abc\\");
    fxi_set_release(18);
    EXPECT_EQ(fxi_file_store(), "D:\\KOVABrisel\\data\\KovaFileStore\\12\\abc\\");

    // A file-store server of the configured installation: its share must exist.
    kova_test::write_file(d + "/KOVABrisel/kova.ini",
                          "[all]\r\nserver=" + computer() + "\r\nKovaFileStore$=FILESRV\r\n");
    EXPECT_EXIT(fxi_file_store(), ::testing::ExitedWithCode(1),
                "Kova file store location '\\\\\\\\FILESRV\\\\KovaFileStore\\$\\\\' not found!");
    std::string share = prefix.path() + "/store";
    kova_test::write_file(share + "/readme", "");
    kova_test::write_file(prefix.path() + "/dosdevices/unc/filesrv/.keep", "");
    ASSERT_EQ(
        symlink(share.c_str(), (prefix.path() + "/dosdevices/unc/filesrv/KovaFileStore$").c_str()),
        0);
    char out[DXI_PATH_BUFFER];
    EXPECT_STREQ(fxi_file_store(out), "\\\\FILESRV\\KovaFileStore$\\12\\abc\\");
}

TEST_F(Install, ReleaseFolderAndTheTemporaryDirectoryOfACompany) {
    struct Case {
        uint8_t release;
        unsigned option;
        const char *folder;
    } cases[] = {
        {17, 248, "\\KOVABrisel\\"},
        {16, 247, "\\kova2006\\"},
        {16, 248, "\\kova2004\\"},
        {16, 0, "\\kova2000\\"},
    };
    for (const auto &c : cases) {
        fxi_set_release(c.release);
        fxi_clear_option(247);
        fxi_clear_option(248);
        if (c.option) fxi_set_option(c.option);
        EXPECT_STREQ(fxi_release_folder(), c.folder);
    }

    setenv("KOVATEMP", "D:\\elsewhere\\tmp", 1);
    fxi_set_release(22);
    ASSERT_EQ(fxi_set_company_temp_dir(), 0);
    char temp[520];
    EXPECT_STREQ(fxi_temp_dir(temp), "D:\\KOVABrisel\\temp\\");
    EXPECT_TRUE(fxi_dir_exists("D:\\KOVABrisel\\temp"));
    ASSERT_EQ(fxi_set_company_temp_dir(), 0); // already there
    unsetenv("KOVATEMP");
}
