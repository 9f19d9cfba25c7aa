// Line files: line ends, quote and LF modes, the end-of-text mark, long lines, CR LF writing,
// the log directory and the start log with several writers.
#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Drive {
    kova_test::TempPrefix prefix;
    std::string d = prefix.map_drive('D');
};

// Every line of a file read with the raw reader, then the code that ended the reading.
std::vector<std::string> read_all(const char *dos, uint32_t length, uint16_t quote, uint16_t lf) {
    HANDLE h = CreateFileA(dos, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<std::string> lines;
    if (h == INVALID_HANDLE_VALUE) return {"<cannot open>"};
    std::string buffer(length + 1, '#');
    for (int guard = 0; guard < 20; ++guard) {
        uint16_t code = fxi_lfile_read_raw(h, buffer.data(), length, quote, lf);
        if (code) {
            lines.push_back("<" + std::to_string(code) + ">");
            break;
        }
        lines.push_back(buffer.c_str());
    }
    CloseHandle(h);
    return lines;
}

} // namespace

TEST(LineFile, LineEndsQuotesAndTheEndOfText) {
    Drive drive;
    using V = std::vector<std::string>;
    struct Case {
        std::string content;
        uint16_t quote, lf;
        uint32_t length;
        V expected;
    } cases[] = {
        {"A\r\nB\r\n", 0, 0, 100, {"A", "B", "<2707>"}},
        {"A\nB", 0, 0, 100, {"A\nB", "<2707>"}},
        {"A\nB", 0, 1, 100, {"A", "B", "<2707>"}},
        {"A\n\rB\rC", 0, 1, 100, {"A", "B", "C", "<2707>"}}, // LF CR is one end, CR alone one
        {"last line", 0, 0, 100, {"last line", "<2707>"}},
        {"\"x\ry\"\r\nz", 1, 0, 100, {"\"x\ry\"", "z", "<2707>"}},
        {"\"x\ry\"\r\nz", 0, 0, 100, {"\"x", "y\"", "z", "<2707>"}},
        {"\x1A"
         "A\r\n",
         0,
         0,
         100,
         {"<2707>"}},
        {"A\r\nB\x1Ahidden\r\nmore\r\n", 0, 0, 100, {"A", "B", "<2707>"}},
        {"ABC\r\nD", 0, 0, 4, {"ABC", "D", "<2707>"}}, // CR last in the buffer, LF in the file
        {"ABCDEFGH\r\n", 0, 0, 4, {"<3301>"}},
        {"\r\n\r\nX", 0, 0, 100, {"", "", "X", "<2707>"}},
        {"", 0, 0, 100, {"<2707>"}},
    };
    for (const auto &c : cases) {
        kova_test::write_file(drive.d + "/t.txt", c.content);
        EXPECT_EQ(read_all("D:\\t.txt", c.length, c.quote, c.lf), c.expected) << c.content;
    }
}

TEST(LineFile, LongLinesAndTheFileObject) {
    Drive drive;
    std::string long_line(20000, 'x');
    long_line[19999] = 'y';
    kova_test::write_file(drive.d + "/long.txt", "short\r\n" + long_line + "\r\nafter\r\n");

    TXI_LFILE file("D:\\long.txt");
    ASSERT_EQ(file.open(DXI_FILE_READ), 0);
    char small[10];
    EXPECT_EQ(file.read_line(small, 9), 0);
    EXPECT_STREQ(small, "short");
    // A line too long for the buffer leaves the file at its start.
    std::vector<char> buffer(16385);
    EXPECT_EQ(file.read_line(buffer.data(), 16384), DXI_ERR_LINE_TOO_LONG);
    EXPECT_STREQ(file.error_text(), "Line Too Long");
    uint64_t at = 0;
    EXPECT_EQ(file.position(&at), 0);
    EXPECT_EQ(at, 7u);
    std::string line;
    EXPECT_EQ(file.read_line_string(line), 0);
    EXPECT_EQ(line, long_line);
    EXPECT_EQ(file.read_line_string(line), 0);
    EXPECT_EQ(line, "after");
    EXPECT_EQ(file.read_line_string(line), DXI_ERR_END_OF_FILE);
    EXPECT_EQ(file.error(), DXI_ERR_END_OF_FILE);
}

TEST(LineFile, WritingLines) {
    Drive drive;
    TXI_LFILE file;
    ASSERT_EQ(file.create("D:\\out.txt"), 0);
    EXPECT_EQ(file.write_line("one"), 0);
    EXPECT_EQ(file.write_line("two\r\n"), 0); // no second CR LF
    EXPECT_EQ(file.write_line_string(std::string("three")), 0);
    EXPECT_EQ(file.print_line("%str% %dword%,5", "four", 4u), 0);
    EXPECT_EQ(fxi_lfile_write_raw(file.handle(), "\n"), 0); // shorter than CR LF: gets one
    EXPECT_EQ(fxi_lfile_print_raw(file.handle(), "%str%\r\n", "five"), 0);
    EXPECT_EQ(file.close(), 0);
    EXPECT_EQ(kova_test::read_file(drive.d + "/out.txt"),
              "one\r\ntwo\r\nthree\r\nfour 4\r\n\n\r\nfive\r\n");
}

TEST(LineFile, LogDirectories) {
    Drive drive;
    fxi_set_data_home("D:\\KOVABrisel\\");
    fxi_set_company("abc");
    fxi_set_licence("12");
    char dir[DXI_PATH_BUFFER];
    fxi_set_release(17);
    EXPECT_STREQ(fxi_log_dir(dir, 1), "D:\\KOVABrisel\\");
    EXPECT_STREQ(fxi_log_dir(dir, 0), "D:\\KOVABrisel\\data\\abc\\LOGS\\");
    fxi_set_release(18);
    EXPECT_STREQ(fxi_log_dir(dir, 1), "D:\\KOVABrisel\\"); // no LOGS folder yet
    kova_test::write_file(drive.d + "/KOVABrisel/data/KovaFileStore/12/LOGS/.keep", "");
    EXPECT_STREQ(fxi_log_dir(dir, 1), "D:\\KOVABrisel\\data\\KovaFileStore\\12\\LOGS\\");
    EXPECT_STREQ(fxi_log_dir(dir, 0), "D:\\KOVABrisel\\data\\KovaFileStore\\12\\abc\\LOGS\\");
    fxi_set_release(0);
    fxi_set_company("");
    fxi_set_licence("");
    fxi_set_data_home("");
}

// Lines of the start log from one process keep their order; lines of several processes that
// write at once all arrive whole.
TEST(LineFile, StartLog) {
    Drive drive;
    fxi_set_data_home("D:\\");
    fxi_start_log("first %str%", "entry");
    fxi_start_log("second entry");
    std::string log = kova_test::read_file(drive.d + "/kvstart.log");
    const std::string stamp = "[A-Z][a-z]+day [0-9]{1,2}(st|nd|rd|th) [A-Z][a-z]+ [0-9]{4} "
                              "[0-9]{2}:[0-9]{2}:[0-9]{2} ";
    EXPECT_TRUE(
        std::regex_match(log, std::regex(stamp + "first entry\r\n" + stamp + "second entry\r\n")))
        << log;

    const int writers = 4, each = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < each; ++i) fxi_start_log("writer %dword%,5 line %dword%,5", w, i);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    log = kova_test::read_file(drive.d + "/kvstart.log");
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < each; ++i) {
            std::string text =
                "writer " + std::to_string(w) + " line " + std::to_string(i) + "\r\n";
            EXPECT_NE(log.find(text), std::string::npos) << text;
        }
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2 + writers * each);

    // A log directory that does not exist: the line is skipped, nothing fails.
    fxi_set_data_home("D:\\missing\\");
    fxi_start_log("lost");
    EXPECT_FALSE(fxi_dir_exists("D:\\missing"));
    fxi_set_data_home("");
}
