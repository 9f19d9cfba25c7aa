// The file layer against real files in a temporary prefix: error modules and mappings, the
// file object's operations and codes, retries against another process, copying, deleting,
// temporary files and time stamps.
#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kova_test::read_file;
using kova_test::TempPrefix;
using kova_test::write_file;

namespace {

TXD_CLOCK make_clock(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                     unsigned second) {
    auto bcd = [](unsigned v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); };
    return TXD_CLOCK{{bcd(day), bcd(month), bcd(year / 100), bcd(year % 100)},
                     {bcd(hour), bcd(minute), bcd(second)}};
}

std::string clock_text(const TXD_CLOCK &c) {
    char buf[32];
    snprintf(buf, sizeof buf, "%02x-%02x-%02x%02x %02x:%02x:%02x", c.date.day, c.date.month,
             c.date.century, c.date.year, c.time.hour, c.time.minute, c.time.second);
    return buf;
}

// A child process that holds `dos` open without sharing until told to let go (or for
// `hold_ms` when that is given).
class Holder {
public:
    Holder(const std::string &dos, int hold_ms = -1) {
        if (pipe(ready_) != 0 || pipe(release_) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            HANDLE h = CreateFileA(dos.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
            if (write(ready_[1], &c, 1) != 1) _exit(2);
            if (hold_ms >= 0)
                usleep(static_cast<useconds_t>(hold_ms) * 1000);
            else if (read(release_[0], &c, 1) != 1)
                _exit(3);
            _exit(0);
        }
        char c = 0;
        holding_ = read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~Holder() {
        if (write(release_[1], "x", 1) != 1) kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) close(fd);
    }
    bool holding() const { return holding_; }

private:
    int ready_[2], release_[2];
    pid_t pid_ = -1;
    bool holding_ = false;
};

class FileLayer : public ::testing::Test {
protected:
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
};

TEST(ErrorModules, TextsThroughRelatedModules) {
    struct Case {
        uint16_t code;
        const TXK_ERRMOD *module;
        const char *text;
    } cases[] = {
        {0, &EXI_FILE, "Successful"},
        {2701, &EXI_FILE, "File not Found"},
        {2714, &EXI_FILE, "End of File"},
        {2732, &EXI_FILE, "Files are Different"},
        {2603, &EXI_FILE, "Directory Already Exists"}, // through EXI_DIR
        {2651, &EXI_FILE, "Invalid Drive"},            // through EXI_DIR and EXI_VOL
        {2652, &EXI_DIR, "Cannot Get Directory on Drive"},
        {3301, &EXI_LFILE, "Line Too Long"},
        {2607, &EXI_LFILE, "Directory Not Empty"},
        {9999, &EXI_FILE, "Unknown Error EXI_FILE (9999)"},
        {3301, &EXI_FILE, "Unknown Error EXI_FILE (3301)"},
        {2701, &EXI_VOL, "Unknown Error EXI_VOL (2701)"},
        {32, &EXI_DIR, "Unknown Error EXI_DIR (32)"},
    };
    for (const auto &c : cases) EXPECT_STREQ(fxk_error_text(c.code, c.module), c.text) << c.code;

    TXK_ERRCTX errors(&EXI_VOL);
    errors.add_module(&EXI_LFILE);
    EXPECT_STREQ(errors.text(), "Successful");
    errors.set_error(2602);
    EXPECT_STREQ(errors.text(), "Directory Access Error"); // EXI_LFILE -> EXI_FILE -> EXI_DIR
    EXPECT_EQ(errors.set_error(4242), 4242);
    EXPECT_STREQ(errors.text(), "Unknown Error EXI_VOL (4242)");
}

TEST(ErrorModules, WindowsErrorsMapByTheirLowByte) {
    struct Case {
        DWORD error;
        uint16_t file, dir;
    } cases[] = {
        {2, 2701, 2601},    {3, 2702, 2601},       {5, 2704, 2602},     {32, 2704, 2604},
        {288, 2704, 288},   {6, 2705, 6},          {18, 18, 2605},      {25, 2707, 25},
        {80, 2708, 80},     {183, 2708, 2603},     {112, 2709, 112},    {145, 145, 2607},
        {53, 2728, 2601},   {255, 2720, 255},      {206, 206, 206},     {0, 2719, 0},
        {0x10000, 2719, 0}, {0x10020, 2704, 2604}, {65535, 2720, 2604}, {86, 2711, 2606},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fxi_map_file_error(c.error), c.file) << c.error;
        EXPECT_EQ(fxi_map_dir_error(c.error), c.dir) << c.error;
    }
}

TEST(DosClock, ConversionsBothWays) {
    TXD_CLOCK c;
    fxi_clock_from_dos(0, 0, &c);
    EXPECT_EQ(clock_text(c), "01-01-1980 00:00:00"); // day and month 0 read as 1
    fxi_clock_from_dos(static_cast<WORD>((46 << 9) | (12 << 5) | 9),
                       static_cast<WORD>((14 << 11) | (5 << 5) | 4), &c);
    EXPECT_EQ(clock_text(c), "09-12-2026 14:05:08");
    WORD date, time;
    TXD_CLOCK odd = make_clock(2026, 12, 9, 14, 5, 9);
    fxi_clock_to_dos(&odd, &date, &time);
    fxi_clock_from_dos(date, time, &c);
    EXPECT_EQ(clock_text(c), "09-12-2026 14:05:08"); // the odd second is lost
    TXD_CLOCK late = make_clock(2108, 1, 1, 0, 0, 0);
    fxi_clock_to_dos(&late, &date, &time);
    EXPECT_EQ(date >> 9, 0); // years run modulo 128 from 1980
}

TEST_F(FileLayer, OpenReadWriteAndTheirCodes) {
    write_file(q + "/sixty.bin", std::string(60, 'x'));
    TXI_FILE f("Q:\\SIXTY.BIN");
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(f.close(), 2705);
    EXPECT_EQ(f.open(0), 2706);
    ASSERT_EQ(f.open(DXI_FILE_READ), 0);
    EXPECT_EQ(f.mode(), DXI_FILE_READ);
    char buf[100];
    EXPECT_EQ(f.read(buf, 100), 2714);
    EXPECT_EQ(f.error(), 2714);
    EXPECT_STREQ(f.error_text(), "End of File");
    uint32_t got = 0;
    ASSERT_EQ(f.rewind(), 0);
    EXPECT_EQ(f.read(buf, 100, &got), 0);
    EXPECT_EQ(got, 60u);
    uint64_t length = 0, at = 0;
    EXPECT_EQ(f.length(&length), 0);
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(f.seek(-10, 2, &at), 0);
    EXPECT_EQ(at, 50u);
    EXPECT_EQ(f.position(&at), 0);
    EXPECT_EQ(at, 50u);
    EXPECT_EQ(f.write("y", 1), 2704); // opened for reading only
    EXPECT_EQ(f.set_io_priority(IoPriorityHintLow), 1);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.close(), 2705);
    EXPECT_EQ(f.set_io_priority(IoPriorityHintLow), 0);

    EXPECT_EQ(f.open("Q:\\missing.bin", DXI_FILE_READ), 2701);
    EXPECT_STREQ(f.name(), "Q:\\SIXTY.BIN"); // a failed open keeps the name
    EXPECT_EQ(f.open("Q:\\nodir\\x.bin", DXI_FILE_READ), 2702);
    EXPECT_EQ(f.open("K:\\x.bin", DXI_FILE_READ), 2702);

    TXI_FILE g("Q:\\new.bin");
    ASSERT_EQ(g.create(), 0);
    EXPECT_EQ(g.mode(), 3);
    g.set_flush_after_write(1);
    EXPECT_EQ(g.set_write_behind(1), 0);
    EXPECT_EQ(g.write("hello world", 11), 0);
    EXPECT_EQ(g.truncate(5), 0);
    EXPECT_EQ(g.length(&length), 0);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(g.close(), 0);
    EXPECT_EQ(read_file(q + "/new.bin"), "hello");
    g.set_name("Q:\\new.bin");
    EXPECT_EQ(g.set_write_behind(0), 0) << "cleared with the name";
    EXPECT_EQ(g.create(), 2708);
    EXPECT_FALSE(g.is_open());
    EXPECT_EQ(g.length(&length, "q:\\Sixty.Bin"), 0); // by name, from the directory entry
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(g.length(&length, "Q:\\nothing"), 2701);
}

TEST_F(FileLayer, ClosedObjectTransfersOnce) {
    write_file(q + "/data.txt", "abcdef");
    TXI_FILE f("Q:\\data.txt");
    char buf[4] = {};
    EXPECT_EQ(f.read(buf, 3), 0);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(f.write("XY", 2), 0); // an existing file, written from its start
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(read_file(q + "/data.txt"), "XYcdef");
    TXI_FILE missing("Q:\\none.txt");
    EXPECT_EQ(missing.write("x", 1), 2701);
    EXPECT_FALSE(fs::exists(q + "/none.txt"));
}

TEST_F(FileLayer, OpenRetriesWhileAnotherProcessHoldsTheFile) {
    write_file(q + "/held.dat", "x");
    {
        Holder holder("Q:\\held.dat");
        ASSERT_TRUE(holder.holding());
        TXI_FILE f("Q:\\held.dat");
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(f.open(DXI_FILE_READ), 2704);
        auto waited = std::chrono::steady_clock::now() - start;
        // Five attempts with a pause after each: at least a second spent retrying.
        EXPECT_GE(waited, std::chrono::milliseconds(1000));
        EXPECT_EQ(fxi_delete_file("Q:\\held.dat"), 2722);
        EXPECT_TRUE(fs::exists(q + "/held.dat"));
    }
    {
        // A holder that lets go during the retries: the open gets through.
        Holder brief("Q:\\held.dat", 400);
        ASSERT_TRUE(brief.holding());
        TXI_FILE f("Q:\\held.dat");
        EXPECT_EQ(f.open(DXI_FILE_READ_WRITE), 0);
    }
}

TEST_F(FileLayer, SharedOpenFlags) {
    write_file(q + "/s.dat", "x");
    TXI_FILE reader("Q:\\s.dat"), other("Q:\\s.dat");
    ASSERT_EQ(reader.open(DXI_FILE_READ), 0); // read only: shares reading
    EXPECT_EQ(other.open(DXI_FILE_READ), 0);
    EXPECT_EQ(other.close(), 0);
    EXPECT_EQ(reader.close(), 0);
    ASSERT_EQ(reader.open(DXI_FILE_READ_WRITE | DXI_FILE_SHARED), 0);
    EXPECT_EQ(other.open(DXI_FILE_READ_WRITE | DXI_FILE_SHARED), 0);
}

TEST_F(FileLayer, TemporaryFiles) {
    // Occupy every name the counter can start from in the next few seconds.
    uint32_t first = GetTickCount() / 10;
    std::string dir = q + "/tmp";
    char name[32];
    for (uint32_t n = first; n < first + 400; ++n) {
        snprintf(name, sizeof name, "/%08X.KVT", n);
        write_file(dir + name, "");
    }
    std::string kept;
    {
        TXI_FILE t;
        ASSERT_EQ(t.create_temp("Q:\\tmp", 1), 0); // no trailing backslash: still inside
        snprintf(name, sizeof name, "Q:\\tmp\\%08X.KVT", first + 400);
        EXPECT_STREQ(t.name(), name);
        EXPECT_EQ(t.mode(), 3);
        kept = t.name();
    }
    EXPECT_TRUE(fxi_test_file(kept.c_str()));
    {
        TXI_FILE t;
        ASSERT_EQ(t.create_temp("Q:\\new\\deeper\\", 0), 0); // the folders are made
        kept = t.name();
        EXPECT_EQ(t.write("x", 1), 0);
        EXPECT_EQ(t.close(), 0);
        EXPECT_TRUE(fxi_test_file(kept.c_str()));
    }
    EXPECT_FALSE(fxi_test_file(kept.c_str())); // deleted with the object, after its close

    char temp[DXI_PATH_BUFFER];
    fxi_temp_dir(temp);
    EXPECT_EQ(temp[strlen(temp) - 1], '\\');
    fxi_temp_dir_setting() = "Q:\\mytemp";
    EXPECT_STREQ(fxi_temp_dir(temp), "Q:\\mytemp\\");
    TXI_FILE t;
    ASSERT_EQ(t.create_temp(), 0);
    EXPECT_EQ(std::string(t.name()).rfind("Q:\\mytemp\\", 0), 0u);
    fxi_temp_dir_setting().clear();
}

TEST_F(FileLayer, TimesAndAttributes) {
    write_file(q + "/t.txt", "x");
    TXI_FILE f("Q:\\t.txt");
    TXD_CLOCK odd = make_clock(2026, 12, 9, 14, 5, 9), back;
    ASSERT_EQ(f.set_time(&odd), 0); // closed: opened for writing by name
    ASSERT_EQ(f.get_time(&back), 0);
    EXPECT_EQ(clock_text(back), "09-12-2026 14:05:08"); // an odd second reads one earlier
    ASSERT_EQ(f.open(DXI_FILE_READ_WRITE), 0);
    ASSERT_EQ(f.get_time(&back), 0); // by handle
    EXPECT_EQ(clock_text(back), "09-12-2026 14:05:08");
    TXD_CLOCK even = make_clock(1999, 12, 31, 23, 59, 58);
    ASSERT_EQ(f.set_time(&even), 0);
    EXPECT_EQ(f.close(), 0);
    ASSERT_EQ(f.get_time(&back), 0);
    EXPECT_EQ(clock_text(back), "31-12-1999 23:59:58");

    // The UTC form is the same instant: the host's own reading of the stamp agrees.
    TXD_CLOCK utc;
    ASSERT_EQ(f.get_time_utc(&utc), 0);
    struct stat st;
    ASSERT_EQ(stat((q + "/t.txt").c_str(), &st), 0);
    struct tm parts;
    gmtime_r(&st.st_mtime, &parts);
    TXD_CLOCK host = make_clock(
        static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_mon + 1),
        static_cast<unsigned>(parts.tm_mday), static_cast<unsigned>(parts.tm_hour),
        static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec));
    EXPECT_EQ(clock_text(utc), clock_text(host));

    uint16_t attributes = 0;
    ASSERT_EQ(f.set_attributes(DXI_ATTR_READONLY | DXI_ATTR_DIRECTORY), 0);
    ASSERT_EQ(f.get_attributes(&attributes), 0);
    EXPECT_TRUE(attributes & DXI_ATTR_READONLY);
    EXPECT_FALSE(attributes & DXI_ATTR_DIRECTORY);
    EXPECT_EQ(f.open(DXI_FILE_WRITE), 2704);
    EXPECT_EQ(f.set_time(&odd), 2704);
    EXPECT_EQ(f.get_attributes(&attributes, "Q:\\gone.txt"), 2701);
}

TEST_F(FileLayer, CopyNeverOverwritesAndCarriesTimeAndAttributes) {
    write_file(q + "/empty.txt", "");
    TXI_FILE source("Q:\\empty.txt");
    TXD_CLOCK when = make_clock(2020, 2, 29, 8, 30, 44), back;
    ASSERT_EQ(source.set_time(&when), 0);
    ASSERT_EQ(source.set_attributes(DXI_ATTR_READONLY | DXI_ATTR_ARCHIVE), 0);
    ASSERT_EQ(fxi_copy_file("Q:\\empty.txt", "Q:\\copy.txt", 4096), 0);
    TXI_FILE copy("Q:\\copy.txt");
    uint64_t length = 1;
    uint16_t attributes = 0;
    EXPECT_EQ(copy.length(&length), 0);
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(copy.get_time(&back), 0);
    EXPECT_EQ(clock_text(back), "29-02-2020 08:30:44");
    ASSERT_EQ(copy.get_attributes(&attributes), 0);
    EXPECT_EQ(attributes & (DXI_ATTR_READONLY | DXI_ATTR_ARCHIVE),
              DXI_ATTR_READONLY | DXI_ATTR_ARCHIVE);

    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    write_file(q + "/big.bin", big);
    write_file(q + "/taken.bin", "mine");
    EXPECT_EQ(fxi_copy_file("Q:\\big.bin", "Q:\\taken.bin", 4096), 2725);
    EXPECT_EQ(read_file(q + "/taken.bin"), "mine");
    EXPECT_EQ(fxi_copy_file("Q:\\big.bin", "Q:\\big2.bin", 4096), 0);
    EXPECT_EQ(read_file(q + "/big2.bin"), big);
    EXPECT_EQ(fxi_copy_file("Q:\\big.bin", "Q:\\big3.bin", 0), 0); // a zero chunk still ends
    EXPECT_EQ(read_file(q + "/big3.bin"), big);
    EXPECT_EQ(fxi_copy_file("Q:\\none.bin", "Q:\\x.bin", 4096), 2723);
    EXPECT_EQ(fxi_copy_file("Q:\\big.bin", "Q:\\nodir\\x.bin", 4096), 2727);
}

TEST_F(FileLayer, FailedCopyLeavesNoPartialDestination) {
    write_file(q + "/big.bin", std::string(20000, 'b'));
    // A child whose files may not grow past 8 KiB: the write fails half way.
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &limit);
        uint16_t code = fxi_copy_file("Q:\\big.bin", "Q:\\part.bin", 4096);
        _exit(code == 2716 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(q + "/part.bin"));
}

TEST_F(FileLayer, DeleteMoveRenameAndExistence) {
    write_file(q + "/a.txt", "a");
    EXPECT_EQ(fxi_delete_file("Q:\\none.txt"), 2701);
    {
        TXI_FILE holder("Q:\\a.txt");
        ASSERT_EQ(holder.open(DXI_FILE_READ_WRITE), 0);
        EXPECT_EQ(fxi_delete_file("Q:\\A.TXT"), 2722); // in use by another handle
    }
    EXPECT_EQ(fxi_move_file("Q:\\a.txt", "Q:\\b.txt"), 0);
    EXPECT_EQ(fxi_move_file("Q:\\a.txt", "Q:\\c.txt"), 2701);
    write_file(q + "/c.txt", "c");
    EXPECT_EQ(fxi_move_file("Q:\\b.txt", "Q:\\c.txt"), 2708);

    TXI_FILE f("Q:\\b.txt");
    EXPECT_TRUE(f.exists());
    EXPECT_EQ(f.rename("Q:\\d.txt"), 0);
    EXPECT_STREQ(f.name(), "Q:\\d.txt");
    EXPECT_EQ(read_file(q + "/d.txt"), "a");
    EXPECT_EQ(f.rename("", "Q:\\e.txt"), 2701);
    EXPECT_EQ(f.rename("Q:\\c.txt", "Q:\\e.txt"), 0);
    EXPECT_STREQ(f.name(), "Q:\\e.txt");
    EXPECT_EQ(f.remove("Q:\\D.TXT"), 0); // another file
    EXPECT_FALSE(fs::exists(q + "/d.txt"));
    ASSERT_EQ(f.open(DXI_FILE_READ), 0);
    EXPECT_EQ(f.remove("q:\\E.txt"), 0); // its own file, differently cased: closes first
    EXPECT_FALSE(f.is_open());
    EXPECT_FALSE(fs::exists(q + "/e.txt"));

    write_file(q + "/ro.txt", "r");
    TXI_FILE ro("Q:\\ro.txt");
    EXPECT_EQ(ro.set_attributes(DXI_ATTR_READONLY), 0);
    EXPECT_EQ(ro.remove(), 2722);
    EXPECT_TRUE(fs::exists(q + "/ro.txt"));

    fs::create_directory(q + "/folder");
    EXPECT_FALSE(fxi_test_file("Q:\\folder"));
    EXPECT_FALSE(fxi_test_file(""));
    std::string folder = q + "/folder";
    if (setxattr(folder.c_str(), "user.kova.attrib", "0x2", 3, 0) == 0) {
        EXPECT_TRUE(fxi_test_file("Q:\\folder")); // a hidden directory counts
        write_file(q + "/hidden.txt", "");
        TXI_FILE h("Q:\\hidden.txt");
        ASSERT_EQ(h.set_attributes(DXI_ATTR_HIDDEN), 0);
        EXPECT_TRUE(h.exists());
    }
}

TEST_F(FileLayer, OverlongAndLongNames) {
    // A name the object cannot hold is refused, never cut to another file's name.
    std::string overlong = "Q:\\" + std::string(DXI_FILE_NAME_MAX, 'x');
    TXI_FILE f(overlong.c_str());
    EXPECT_EQ(f.error(), 2710);
    EXPECT_STREQ(f.name(), "");
    EXPECT_EQ(f.open(DXI_FILE_READ), 2710);
    EXPECT_EQ(f.create(), 2710);
    EXPECT_EQ(f.open(overlong.c_str(), DXI_FILE_READ), 2710);

    // Names past 260 characters go through the wide API.
    std::string dir = std::string(200, 'd');
    fs::create_directory(q + "/" + dir);
    std::string long_name = "Q:\\" + dir + "\\" + std::string(100, 'n') + ".dat";
    TXI_FILE g(long_name.c_str());
    ASSERT_EQ(g.create(), 0);
    EXPECT_EQ(g.write("long", 4), 0);
    EXPECT_EQ(g.close(), 0);
    char buf[4];
    ASSERT_EQ(g.open(DXI_FILE_READ), 0);
    EXPECT_EQ(g.read(buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "long");
    EXPECT_EQ(g.close(), 0);

    // ... in their \\?\ form, which must be a full path with '.' and '..' applied.
    auto narrow = [](const std::basic_string<WCHAR> &wide) {
        return std::string(wide.begin(), wide.end());
    };
    EXPECT_EQ(narrow(fxi_wide_path(long_name.c_str())), "\\\\?\\" + long_name);
    std::string dotted = "Q:\\" + dir + "\\.\\..\\" + dir + "\\" + std::string(100, 'n') + ".dat";
    EXPECT_EQ(narrow(fxi_wide_path(dotted.c_str())), "\\\\?\\" + long_name);
    ASSERT_EQ(g.open(dotted.c_str(), DXI_FILE_READ), 0);
    EXPECT_EQ(g.read(buf, 4), 0);
    EXPECT_EQ(narrow(fxi_wide_path("Q:\\short.dat")), "Q:\\short.dat");
}

} // namespace
