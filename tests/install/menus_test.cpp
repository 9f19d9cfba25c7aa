// Consolidated menus: the release-7 record conversion and the rebuild over fixture
// installations.
#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/install/menus.h"
#include "kernel/ui/presenter.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Record = std::array<uint8_t, DXK_MENU_RECORD>;

uint8_t *entry(Record &record, size_t k) {
    return record.data() + DXK_MENU_HEADER + DXK_MENU_ENTRY * k;
}

TEST(MenuRecord, MigrationSetsFormatChecksumsAndProgramReferences) {
    Record record{};
    record[38] = 0x34; // the old header checksum counts in the new one
    record[39] = 0x12;
    uint8_t *program = entry(record, 0);
    program[38] = 'x';
    std::memcpy(program + 43, "ABC", 3);
    program[60] = 0x99;
    uint8_t *empty = entry(record, 1);
    empty[38] = 'q';
    empty[60] = 0x55;
    uint8_t *last = entry(record, 30);
    last[38] = '7';
    last[45] = 1; // not all three bytes zero: a program

    Record before_empty = record;
    fxk_menu_migrate_record(record.data());

    EXPECT_EQ(record[43] | record[44] << 8, DXK_MENU_FORMAT_MIGRATED);
    // 0x1234 + 0x0800 (bytes 42-43) + 0x0001 (bytes 44-45)
    EXPECT_EQ(record[38] | record[39] << 8, 0x1A35);

    EXPECT_EQ(std::memcmp(program + 35, "ABC", 3), 0);
    EXPECT_EQ(std::memcmp(program + 43, "KVX", 3), 0);
    EXPECT_EQ(program[60], 0x37); // 'A'+'B'+'C'+'x'+'K'+'V'+'X' = 0x237
    EXPECT_EQ(program[60], fxk_menu_entry_sum(program));

    EXPECT_EQ(std::memcmp(empty, entry(before_empty, 1), DXK_MENU_ENTRY), 0);

    EXPECT_EQ(last[37], 1);
    EXPECT_EQ(std::memcmp(last + 43, "KV7", 3), 0);
    EXPECT_EQ(last[60], fxk_menu_entry_sum(last));
}

// Every box the rebuild shows, as an operator would see it, answered with OK.
class BoxRecorder {
public:
    BoxRecorder() : saved_(fxp_presenter) {
        texts().clear();
        fxp_presenter.desktop_visible = [] { return true; };
        fxp_presenter.beep = [](UINT) {};
        fxp_presenter.box = [](HWND, const char *text, const char *, UINT) {
            texts().push_back(text);
            return 1;
        };
    }
    ~BoxRecorder() { fxp_presenter = saved_; }
    static std::vector<std::string> &texts() {
        static std::vector<std::string> shown;
        return shown;
    }

private:
    TXP_PRESENTER saved_;
};

// A fixture installation: the release directory \KOVABrisel\ on drive X, reached through
// the release directory setting of another drive so that the drive argument is what counts.
class MenuRebuild : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = prefix_.map_drive('x');
        release_ = root_ + "/KOVABrisel";
        std::filesystem::create_directories(release_);
        fxi_set_program_dir("C:\\KOVABrisel\\");
    }

    // A menu record whose bytes all derive from `seed`.
    static std::string record(uint8_t seed, size_t size = DXK_MENU_RECORD) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
        return bytes;
    }
    void put(const std::string &relative, const std::string &contents) {
        kova_test::write_file(release_ + "/" + relative, contents);
    }
    std::string output(const char *name) const {
        return kova_test::read_file(release_ + "/" + name);
    }
    bool exists(const std::string &relative) const {
        return std::filesystem::exists(release_ + "/" + relative);
    }
    // The gathered records by index name.
    std::map<std::string, std::string> gathered() const {
        std::string dat = output("kovamenu.dat"), idx = output("kovamenu.idx");
        EXPECT_EQ(dat.size() % DXK_MENU_RECORD, 0u);
        EXPECT_EQ(dat.size() / DXK_MENU_RECORD, idx.size() / DXK_MENU_INDEX_ENTRY);
        std::map<std::string, std::string> records;
        for (size_t n = 0; n * DXK_MENU_INDEX_ENTRY < idx.size(); ++n) {
            std::string entry = idx.substr(n * DXK_MENU_INDEX_ENTRY, DXK_MENU_INDEX_ENTRY);
            std::string name = entry.substr(0, entry.find('\0'));
            EXPECT_EQ(entry.find_first_not_of('\0', name.size()), std::string::npos);
            records[name] = dat.substr(n * DXK_MENU_RECORD, DXK_MENU_RECORD);
        }
        return records;
    }

    kova_test::TempPrefix prefix_;
    std::string root_, release_;
};

TEST_F(MenuRebuild, NothingToGatherLeavesNoOutputs) {
    std::filesystem::create_directories(release_ + "/000/MENUS");
    BoxRecorder boxes;
    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    EXPECT_FALSE(exists("kovamenu.dat"));
    EXPECT_FALSE(exists("kovamenu.idx"));
    EXPECT_FALSE(exists("kovamenu.kve"));
    EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(MenuRebuild, GathersTheCompanyDirectoriesOnly) {
    put("000/MENUS/000main.kvm", record(1));
    put("000/MENUS/000M2.KVM", record(2));
    put("001/MENUS/001M1.KVM", record(3));
    put("002/MENUS/002M2.KVM", record(4));   // no 002M1.KV? file: not a company
    put("01/MENUS/01M1.KVM", record(5));     // two characters
    put("0003/MENUS/0003M1.KVM", record(6)); // four characters
    put("003/MENUS/003M1.KVE", "<?xml version=\"1.0\"?>\r\n<menu id=\"3\"/>\r\n");
    put("003/MENUS/003X.KVM", record(7)); // a company through its text menu
    put("stray.kvm", record(8));

    BoxRecorder boxes;
    EXPECT_TRUE(fxk_menu_rebuild("X:\\ignored\\path", 0));
    std::map<std::string, std::string> expected = {{"000MAIN.KVM", record(1)},
                                                   {"000M2.KVM", record(2)},
                                                   {"001M1.KVM", record(3)},
                                                   {"003X.KVM", record(7)}};
    EXPECT_EQ(gathered(), expected);
    EXPECT_EQ(output("kovamenu.kve"),
              "<?xml version=\"1.0\"?>\r\n<menus>\r\n<menu id=\"3\"/>\r\n</menus>\r\n");
    EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(MenuRebuild, TextDefinitionsShareOneDeclarationLine) {
    const char *declaration = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n";
    put("000/MENUS/000A.KVE", std::string(declaration) + "<menu id=\"a\">\r\n</menu>\r\n");
    put("000/MENUS/000B.KVE", std::string(declaration) + "<menu id=\"b\"/>\r\n");
    put("001/MENUS/001M1.KVE", std::string(declaration) + "<menu id=\"c\"/>"); // no last CR LF
    put("000/MENUS/000EMPTY.KVE", "");

    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    std::string kve = output("kovamenu.kve");
    std::vector<std::string> lines;
    for (size_t at = 0; at < kve.size();) {
        size_t end = kve.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(kve.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0] + "\r\n", declaration);
    EXPECT_EQ(lines[1], "<menus>");
    EXPECT_EQ(lines[6], "</menus>");
    std::vector<std::string> bodies(lines.begin() + 2, lines.end() - 1);
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, (std::vector<std::string>{"</menu>", "<menu id=\"a\">", "<menu id=\"b\"/>",
                                                "<menu id=\"c\"/>"}));
    // The two lines of 000A stay together.
    auto a = std::find(lines.begin(), lines.end(), "<menu id=\"a\">");
    ASSERT_NE(a, lines.end());
    EXPECT_EQ(*(a + 1), "</menu>");
    EXPECT_FALSE(exists("kovamenu.dat"));
}

// A record file too short for a record ends its company's record files; the files found
// before it are gathered, the others of that company are not, and the next company is.
TEST_F(MenuRebuild, ShortRecordFileEndsItsCompanyOnly) {
    for (uint8_t n = 1; n <= 4; ++n) put("000/MENUS/000R" + std::to_string(n) + ".KVM", record(n));
    put("000/MENUS/000SHORT.KVM", record(9, 100));
    put("001/MENUS/001M1.KVM", record(10));

    std::map<std::string, std::string> expected = {{"001M1.KVM", record(10)}};
    {
        TXI_DIRSCAN scan{};
        uint16_t found =
            fxi_dir_first("X:\\KOVABrisel\\000\\MENUS\\000*.KVM", 0, 0, nullptr, &scan);
        for (; found == 0 && std::string(scan.entry_name) != "000SHORT.KVM";
             found = fxi_dir_next(nullptr, &scan)) {
            std::string name = scan.entry_name;
            expected[name] = record(static_cast<uint8_t>(name[4] - '0'));
        }
        fxi_dir_close(&scan);
    }

    BoxRecorder boxes;
    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    EXPECT_EQ(gathered(), expected);
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0], "End of File\r\n\r\nX:\\KOVABrisel\\000\\MENUS\\000SHORT.KVM");
}

TEST_F(MenuRebuild, ReleaseSevenMenusMigrateOnce) {
    // Company 001 keeps a current menu; company 000 has only its release-7 menus.
    put("001/MENUS/001M1.KVM", record(1));
    std::filesystem::create_directories(release_ + "/000");
    Record old{};
    old[38] = 0x34;
    old[39] = 0x12;
    old[DXK_MENU_HEADER + 38] = 'p';
    std::memcpy(old.data() + DXK_MENU_HEADER + 43, "ABC", 3);
    std::string old_bytes(old.begin(), old.end());
    kova_test::write_file(root_ + "/KOVA7/001/MENUS/KV7MX01.001", old_bytes);
    kova_test::write_file(root_ + "/KOVA7/000/MENUS/KV7MXAB.000", old_bytes);
    kova_test::write_file(root_ + "/KOVA7/000/MENUS/KV7MXSH.000", old_bytes.substr(0, 300));
    kova_test::write_file(root_ + "/KOVA7/000/MENUS/KV7MXNO.001", old_bytes); // other company

    Record converted = old;
    fxk_menu_migrate_record(converted.data());
    std::string converted_bytes(converted.begin(), converted.end());

    BoxRecorder boxes;
    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    EXPECT_EQ(kova_test::read_file(release_ + "/001/MENUS/001MX01.KVM"), converted_bytes);
    EXPECT_EQ(kova_test::read_file(release_ + "/000/MENUS/000MXAB.KVM"), converted_bytes);
    // A copy too short to convert stays as it came, and is reported when gathered.
    EXPECT_EQ(kova_test::read_file(release_ + "/000/MENUS/000MXSH.KVM"), old_bytes.substr(0, 300));
    EXPECT_FALSE(exists("000/MENUS/000MXNO.KVM"));
    std::map<std::string, std::string> records = gathered();
    EXPECT_EQ(records["001MX01.KVM"], converted_bytes);
    EXPECT_EQ(records["001M1.KVM"], record(1));

    // A second rebuild finds the targets and converts nothing again.
    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    EXPECT_EQ(kova_test::read_file(release_ + "/001/MENUS/001MX01.KVM"), converted_bytes);
    EXPECT_EQ(kova_test::read_file(release_ + "/000/MENUS/000MXAB.KVM"), converted_bytes);
    EXPECT_EQ(gathered()["001MX01.KVM"], converted_bytes);
}

TEST_F(MenuRebuild, DeleteFlagRemovesTheRecordFiles) {
    put("000/MENUS/000M1.KVM", record(1));
    put("001/MENUS/001M1.KVM", record(2));
    put("001/MENUS/001M1.KVE", "<?xml?>\r\n<menu/>\r\n");
    EXPECT_TRUE(fxk_menu_rebuild("X:", 1));
    EXPECT_FALSE(exists("000/MENUS/000M1.KVM"));
    EXPECT_FALSE(exists("001/MENUS/001M1.KVM"));
    EXPECT_FALSE(exists("kovamenu.dat"));
    EXPECT_FALSE(exists("kovamenu.idx"));
    EXPECT_EQ(output("kovamenu.kve"), "<?xml?>\r\n<menus>\r\n<menu/>\r\n</menus>\r\n");
}

TEST_F(MenuRebuild, OutputsThatCannotBeCreatedStopTheRebuild) {
    put("000/MENUS/000M1.KVM", record(1));
    // A directory where the index file belongs cannot be replaced by it.
    std::filesystem::create_directories(release_ + "/kovamenu.idx");
    BoxRecorder boxes;
    EXPECT_FALSE(fxk_menu_rebuild("X:", 0));
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0].rfind("Error Creating Consolidated Menu Index File - ", 0), 0u)
        << boxes.texts()[0];
    EXPECT_TRUE(exists("kovamenu.dat")) << "an output already created stays, empty";
    EXPECT_EQ(output("kovamenu.dat"), "");
    EXPECT_FALSE(exists("kovamenu.kve"));
}

TEST_F(MenuRebuild, MissingReleaseDirectoryIsCreated) {
    std::filesystem::remove_all(release_);
    EXPECT_TRUE(fxk_menu_rebuild("X:", 0));
    EXPECT_TRUE(std::filesystem::is_directory(release_));
}

} // namespace
