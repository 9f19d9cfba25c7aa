// The table-definition rebuild over fixture installations: companies, reported sources,
// withdrawn definitions, time stamps, the export reset and the written form read back.
#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/install/tabledef.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// 9 December 2026 at the given hour, minute and second (packed BCD).
TXD_CLOCK clock_at(uint8_t hour, uint8_t minute, uint8_t second) {
    return TXD_CLOCK{{0x09, 0x12, 0x20, 0x26}, {hour, minute, second}};
}

class TabledefRebuild : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = prefix_.map_drive('x');
        home_ = root_ + "/KOVABrisel";
        fs::create_directories(home_);
        // The data home's own drive is not the one rebuilt: the argument's drive is.
        fxi_set_data_home("C:\\KOVABrisel\\");
    }

    void source(const std::string &company, const std::string &fixture_name,
                const std::string &as = {}) {
        std::string name = as.empty() ? fixture_name : as;
        fs::create_directories(home_ + "/" + company + "/sql");
        fs::copy_file(kova_test::fixture("install/sql/" + fixture_name),
                      home_ + "/" + company + "/sql/" + name, fs::copy_options::overwrite_existing);
    }
    void stamp(const std::string &dos_path, const TXD_CLOCK &clock) {
        TXI_FILE file;
        ASSERT_EQ(file.set_time(&clock, dos_path.c_str()), 0) << dos_path;
    }
    // The consolidated document's tables by fspec, each printed as text.
    std::map<std::string, std::string> tables(const std::string &company) {
        std::map<std::string, std::string> result;
        pugi::xml_document document;
        EXPECT_TRUE(document.load_file((home_ + "/" + company + ".kvx").c_str())) << company;
        EXPECT_TRUE(document.child("tables")) << company;
        for (pugi::xml_node table : document.child("tables").children("table")) {
            std::ostringstream text;
            table.print(text, "\t", pugi::format_indent);
            result[table.attribute("fspec").value()] = text.str();
        }
        return result;
    }

    kova_test::TempPrefix prefix_;
    std::string root_, home_;
};

TEST_F(TabledefRebuild, CompaniesSourcesAndReportedErrors) {
    source("001", "Sstock.kvx");
    source("001", "Tsales.kvx");
    source("001", "Snodesc.kvx");
    source("001", "Sbroken.kvx");
    source("001", "Sarchive.kvx");
    source("001", "readme.kvx");
    fs::create_directories(home_ + "/002/menus"); // no sql directory: skipped
    fs::create_directories(home_ + "/003/sql");   // nothing beginning with S or T
    source("003", "readme.kvx");
    source("0004", "Sstock.kvx"); // not a company code
    source(".ab", "Sstock.kvx");

    std::string errors;
    EXPECT_FALSE(fxk_tabledef_rebuild("X:", errors));
    const std::string nodesc = "X:\\KOVABrisel\\001\\sql\\Snodesc.kvx";
    const std::string broken = "X:\\KOVABrisel\\001\\sql\\Sbroken.kvx";
    std::string expected_a = "error Description tag not found in " + nodesc + " parsing " + nodesc +
                             " \r\n" + "error Error loading file " + broken + " parsing " + broken +
                             " \r\n";
    std::string expected_b = expected_a.substr(expected_a.find("error Error")) +
                             expected_a.substr(0, expected_a.find("error Error"));
    EXPECT_TRUE(errors == expected_a || errors == expected_b) << errors;

    std::map<std::string, std::string> written = tables("001");
    std::set<std::string> fspecs;
    for (const auto &[fspec, text] : written) fspecs.insert(fspec);
    EXPECT_EQ(fspecs, (std::set<std::string>{"Sstock.kvx", "Tsales.kvx"}));
    EXPECT_NE(written["Sstock.kvx"].find("name=\"accstk00\""), std::string::npos);
    EXPECT_NE(written["Tsales.kvx"].find("type=\"view\""), std::string::npos);

    EXPECT_FALSE(fs::exists(home_ + "/001/sql/Sarchive.kvx")) << "withdrawn sources are deleted";
    EXPECT_TRUE(fs::exists(home_ + "/001/sql/Snodesc.kvx"));
    EXPECT_FALSE(fs::exists(home_ + "/002.kvx"));
    EXPECT_TRUE(tables("003").empty());
    EXPECT_FALSE(fs::exists(home_ + "/0004.kvx"));
    EXPECT_FALSE(fs::exists(home_ + "/.ab.kvx"));
}

TEST_F(TabledefRebuild, CleanRebuildReportsNothingAndTakesTheNewestSourceTime) {
    source("abc", "Sstock.kvx");
    source("abc", "Tsales.kvx");
    stamp("X:\\KOVABrisel\\abc\\sql\\Sstock.kvx", clock_at(0x10, 0x00, 0x00));
    stamp("X:\\KOVABrisel\\abc\\sql\\Tsales.kvx", clock_at(0x14, 0x05, 0x08));
    std::string errors;
    EXPECT_TRUE(fxk_tabledef_rebuild("X:\\KOVABrisel\\", errors));
    EXPECT_EQ(errors, "");
    TXI_FILE target;
    TXD_CLOCK time{};
    ASSERT_EQ(target.get_time(&time, "X:\\KOVABrisel\\abc.kvx"), 0);
    const TXD_CLOCK newest = clock_at(0x14, 0x05, 0x08);
    EXPECT_EQ(std::memcmp(&time, &newest, sizeof time), 0);
    EXPECT_EQ(tables("abc").size(), 2u);
}

// A document that cannot be replaced is reported; the other companies are still rebuilt.
TEST_F(TabledefRebuild, TargetThatCannotBeReplacedIsReported) {
    source("001", "Sstock.kvx");
    source("002", "Tsales.kvx");
    kova_test::write_file(home_ + "/001.kvx", "<tables/>");
    TXI_FILE target;
    ASSERT_EQ(target.set_attributes(DXI_ATTR_READONLY, "X:\\KOVABrisel\\001.kvx"), 0);
    std::string errors;
    EXPECT_FALSE(fxk_tabledef_rebuild("X:", errors));
    EXPECT_EQ(errors, "error Unable to Delete File saving X:\\KOVABrisel\\001.kvx \r\n");
    EXPECT_EQ(kova_test::read_file(home_ + "/001.kvx"), "<tables/>");
    EXPECT_EQ(tables("002").size(), 1u);
}

// A consolidated document's table, rebuilt from its own written form as a source, is written
// the same again.
TEST_F(TabledefRebuild, WrittenTablesReadBackUnchanged) {
    source("001", "Sstock.kvx");
    source("001", "Tsales.kvx");
    std::string errors;
    ASSERT_TRUE(fxk_tabledef_rebuild("X:", errors)) << errors;
    std::map<std::string, std::string> first = tables("001");
    ASSERT_EQ(first.size(), 2u);
    for (const auto &[fspec, text] : first)
        kova_test::write_file(home_ + "/002/sql/" + fspec, text);
    ASSERT_TRUE(fxk_tabledef_rebuild("X:", errors)) << errors;
    EXPECT_EQ(tables("002"), first);
}

TEST_F(TabledefRebuild, OlderDocumentRestartsRealTimeExports) {
    source("001", "Sstock.kvx");
    kova_test::write_file(home_ + "/001.kvx", "<tables/>");
    stamp("X:\\KOVABrisel\\001.kvx", clock_at(0x08, 0x30, 0x02));
    stamp("X:\\KOVABrisel\\001\\sql\\Sstock.kvx", clock_at(0x09, 0x00, 0x00));
    // Three companies: exporting in real time, not exporting, and an identifier that is no
    // file name.
    kova_test::write_file(home_ + "/data/abc/abc.kvc", std::string("ABC\0\1\2", 6));
    kova_test::write_file(home_ + "/data/abc/kovaABC.ini", "[odbc]\r\nrealtime=Yes\r\n");
    kova_test::write_file(home_ + "/data/def/def.kvc", "def");
    kova_test::write_file(home_ + "/data/def/kovadef.ini", "[odbc]\r\nrealtime=n\r\n");
    kova_test::write_file(home_ + "/data/ghi/ghi.kvc", "../");
    kova_test::write_file(home_ + "/data/ghi/kova...ini", "[odbc]\r\nrealtime=y\r\n");

    std::string errors;
    EXPECT_TRUE(fxk_tabledef_rebuild("X:", errors)) << errors;
    char value[64] = {};
    GetPrivateProfileStringA("odbc", "exportsince", "", value, sizeof value,
                             "X:\\KOVABrisel\\data\\abc\\kovaABC.ini");
    EXPECT_STREQ(value, "09-12-2026 08:30:02");
    GetPrivateProfileStringA("odbc", "realtime", "", value, sizeof value,
                             "X:\\KOVABrisel\\data\\abc\\kovaABC.ini");
    EXPECT_STREQ(value, "s");
    EXPECT_EQ(kova_test::read_file(home_ + "/data/def/kovadef.ini"), "[odbc]\r\nrealtime=n\r\n");
    EXPECT_EQ(kova_test::read_file(home_ + "/data/ghi/kova...ini"), "[odbc]\r\nrealtime=y\r\n");

    // Now the document is the newer: a second rebuild leaves the exports alone.
    WritePrivateProfileStringA("odbc", "realtime", "y", "X:\\KOVABrisel\\data\\abc\\kovaABC.ini");
    stamp("X:\\KOVABrisel\\001.kvx", clock_at(0x10, 0x00, 0x00));
    EXPECT_TRUE(fxk_tabledef_rebuild("X:", errors)) << errors;
    GetPrivateProfileStringA("odbc", "realtime", "", value, sizeof value,
                             "X:\\KOVABrisel\\data\\abc\\kovaABC.ini");
    EXPECT_STREQ(value, "y");
}

} // namespace
