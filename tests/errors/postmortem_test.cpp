// Crashes: a child that faults on purpose leaves its postmortem file in the temporary directory,
// says where it is, hands it to the postmortem hook, and the hook's archive holds it: a text
// report on POSIX, a minidump written by the system's dbghelp on Windows.
#include "kernel/app/startup.h"
#include "kernel/files/paths.h"
#include "kernel/ui/presenter.h"
#include "tests/errors/report_support.h"

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace report_test {
namespace {

using kova_test::read_file;

const char *const no_lines[] = {nullptr};
const TXP_USAGE_PROGRAM crashing_program = {"Crash Test", no_lines, "", no_lines, nullptr};

void archive_dump(const char *dump) {
    char stored[DXI_PATH_BUFFER] = {};
    std::printf("HOOK[%s]\nARCHIVE[%s]\n", dump, fxk_dump_archive(dump, stored));
    std::fflush(stdout);
}

// An address no program may write: the first page is never mapped.
volatile int *volatile nowhere = reinterpret_cast<volatile int *>(static_cast<uintptr_t>(16));
// Both operands read at run time, so that the compiler leaves a real division.
volatile int numerator = 7, zero = 0, quotient;

// Starts as every program does, then faults the way KOVA_CRASH names.
TEST(PostmortemChild, Crash) {
    if (!in_child()) GTEST_SKIP() << "run by Postmortem.CrashLeavesAFileAndItsArchive";
    child_setup();
    fxp_startup(nullptr, &crashing_program);
    fxk_postmortem_hook = archive_dump;
    std::string how = std::getenv("KOVA_CRASH");
    if (how == "segv") *nowhere = 1;
    if (how == "abort") std::abort();
    if (how == "fpe") std::raise(SIGFPE);
    if (how == "divide") quotient = numerator / zero;
    ADD_FAILURE() << "still running after " << how;
}

// The parts of a minidump a reader of the crash starts from: the streams of the exception, the
// threads and the modules, read as the format lays them out (little-endian, offsets from the
// start of the file).
struct Minidump {
    explicit Minidump(std::string bytes) : data(std::move(bytes)) {}
    std::string data;

    uint32_t u32(size_t at) const {
        if (at + 4 > data.size()) return 0;
        return static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8 |
               static_cast<uint8_t>(data[at + 2]) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3])) << 24;
    }
    // The offset of the first stream of `type`, or 0.
    uint32_t stream(uint32_t type) const {
        uint32_t count = u32(8), directory = u32(12);
        for (uint32_t i = 0; i < count; ++i)
            if (u32(directory + 12 * i) == type) return u32(directory + 12 * i + 8);
        return 0;
    }
    uint32_t exception_code() const {
        uint32_t at = stream(6); // ExceptionStream: thread, alignment, then the record
        return at ? u32(at + 8) : 0;
    }
    uint32_t threads() const {
        uint32_t at = stream(3); // ThreadListStream
        return at ? u32(at) : 0;
    }
    // The modules' names, UTF-16 as stored, narrowed (they are ASCII here).
    std::vector<std::string> modules() const {
        std::vector<std::string> names;
        uint32_t at = stream(4); // ModuleListStream of 108-byte entries, the name's offset at 20
        for (uint32_t i = 0, count = at ? u32(at) : 0; i < count; ++i) {
            uint32_t name = u32(at + 4 + 108 * i + 20), length = u32(name);
            std::string text;
            for (uint32_t c = 0; c < length / 2 && name + 4 + 2 * c < data.size(); ++c)
                text += data[name + 4 + 2 * c];
            names.push_back(text);
        }
        return names;
    }
};

TEST_F(ReportTest, CrashLeavesAPostmortemFileAndItsArchive) {
    // A fault, an abort of the C runtime, and an arithmetic trap: raised as a signal on POSIX,
    // where the platform turns it into an exception; a real division by zero on Windows, whose
    // runtime ends a raised SIGFPE without any exception.
    struct Case {
        const char *how;
        uint32_t exception;
        int signal;
        const char *signal_line;
    };
    std::vector<Case> cases = {
        {"segv", 0xC0000005, SIGSEGV, "Signal:   11 (SIGSEGV: "},
        {"abort", 0x40000015, SIGABRT, "Signal:   6 (SIGABRT: "},
    };
    if (kova_test::on_windows())
        cases.push_back({"divide", 0xC0000094, 0, nullptr});
    else
        cases.push_back({"fpe", 0xC0000090, SIGFPE, "Signal:   8 (SIGFPE: "});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        std::filesystem::remove(home_ + "/temp/test_errors.DMP"); // no earlier case's file
        auto r = child("PostmortemChild", "Crash", {}, {{"KOVA_CRASH", c.how}});
        // POSIX ends the process by its signal; Windows with the exception's code.
        if (kova_test::on_windows())
            EXPECT_EQ(static_cast<uint32_t>(r.status), c.exception) << r.out << r.err;
        else
            EXPECT_EQ(r.status, 128 + c.signal) << r.out << r.err;
        // Unattended, the box's text goes to standard error.
        EXPECT_EQ(r.err,
                  "This program has encountered a problem and needs to close. The following "
                  "postmortem diagnostic file has been created: D:\\temp\\test_errors.DMP\n");
        EXPECT_EQ(tagged(r.out, "HOOK"), "D:\\temp\\test_errors.DMP");

        std::string dump = read_file(home_ + "/temp/test_errors.DMP");
        if (kova_test::on_windows()) {
            Minidump minidump(dump);
            ASSERT_EQ(dump.substr(0, 4), "MDMP");
            EXPECT_EQ(minidump.exception_code(), c.exception);
            EXPECT_GE(minidump.threads(), 1u);
            std::vector<std::string> modules = minidump.modules();
            bool program_listed = false;
            for (const std::string &name : modules)
                program_listed = program_listed || name.ends_with("\\test_errors.exe");
            EXPECT_TRUE(program_listed) << modules.size() << " modules";
        } else {
            char code[32];
            std::snprintf(code, sizeof code, "Exception: %08X\n", c.exception);
            EXPECT_EQ(dump.rfind("Postmortem file\n", 0), 0u) << dump;
            EXPECT_NE(dump.find(c.signal_line), std::string::npos) << dump;
            EXPECT_NE(dump.find(code), std::string::npos) << dump;
            EXPECT_NE(dump.find("\nBacktrace:\n  #0 "), std::string::npos) << dump;
            EXPECT_NE(dump.find("/test_errors"), std::string::npos)
                << "the memory map names the program";
            if (c.signal == SIGSEGV) {
                EXPECT_NE(dump.find("Address:  0x0000000000000010\n"), std::string::npos) << dump;
            }
        }

        std::string archive = tagged(r.out, "ARCHIVE");
        ASSERT_EQ(archive.rfind("D:\\MiniDump\\", 0), 0u) << archive;
        ASSERT_EQ(archive.substr(archive.size() - 4), ".zip");
        auto entries = unzip(host(archive));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries["test_errors.DMP"], dump);
        std::filesystem::remove(host(archive));
    }
}

TEST_F(ReportTest, ArchiveFallsBackToAPlainCopy) {
    // An empty dump is copied as it is; a missing one leaves its own path.
    kova_test::write_file(home_ + "/temp/empty.DMP", "");
    fxi_set_data_home("D:\\");
    fxi_load_installation();
    char stored[DXI_PATH_BUFFER] = {};
    std::string copy = fxk_dump_archive("D:\\temp\\empty.DMP", stored);
    EXPECT_EQ(copy.rfind("D:\\MiniDump\\", 0), 0u) << copy;
    EXPECT_EQ(copy.substr(copy.size() - 4), ".dmp");
    EXPECT_TRUE(std::filesystem::exists(host(copy)));
    EXPECT_STREQ(fxk_dump_archive("D:\\temp\\missing.DMP", stored), "D:\\temp\\missing.DMP");
}

// ---- Mailing a postmortem file ----

struct SentMail {
    std::string to, sender, subject, body, attachment;
};
std::vector<SentMail> sent;

uint16_t keep_mail(const char *to, const char *sender, const char *subject, const char *body,
                   const char *attachment) {
    sent.push_back({to, sender, subject, body, attachment ? attachment : ""});
    return 1479;
}

TEST_F(ReportTest, PostmortemMailAttachesArchivesUpTo4Megabytes) {
    fxi_set_data_home("D:\\");
    fxi_load_installation();
    kova_test::write_file(home_ + "/kovaABC.ini", "[support]\r\nemail=crash@example.com\r\n");
    TXK_MAIL_SENDER saved_sender = fxk_error_mail_sender;
    fxk_error_mail_sender = keep_mail;
    TXP_PRESENTER saved_presenter = fxp_presenter;
    static std::vector<std::string> boxes;
    static int answer;
    fxp_presenter.desktop_visible = [] { return true; };
    fxp_presenter.beep = [](UINT) {};
    fxp_presenter.box = [](HWND, const char *text, const char *, UINT) -> int {
        boxes.push_back(text);
        return answer;
    };

    // Random bytes do not compress: a dump of 4 MB and more makes an archive above the limit.
    std::string small(1000, 'x'), large(4194304, '\0');
    uint32_t seed = 12345;
    for (char &c : large) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    kova_test::write_file(home_ + "/temp/small.DMP", small);
    kova_test::write_file(home_ + "/temp/large.DMP", large);

    sent.clear();
    boxes.clear();
    fxk_postmortem_mail("D:\\temp\\small.DMP");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, "crash@example.com");
    EXPECT_EQ(sent[0].sender, "kovaerror");
    EXPECT_EQ(sent[0].subject, "An Kova function has caused an exception error");
    char computer[16] = {}, program[DXI_PATH_BUFFER] = {};
    ASSERT_EQ(fxi_computer_name(computer), 0);
    fxi_module_path(program);
    std::string start = std::string("Workstation ") + computer + ", Component " + program +
                        ", Revision 0 Released ";
    EXPECT_EQ(sent[0].body.rfind(start, 0), 0u) << sent[0].body;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(sent[0].body[start.size()])))
        << "the program file's date: " << sent[0].body;
    EXPECT_NE(sent[0].body.find(".\r\n\r\nCommand Line: "), std::string::npos) << sent[0].body;
    ASSERT_EQ(sent[0].attachment.substr(sent[0].attachment.size() - 4), ".zip");
    EXPECT_EQ(unzip(host(sent[0].attachment))["small.DMP"], small);
    EXPECT_EQ(boxes, std::vector<std::string>{"Error sending postmortem file - 1479"});

    fxk_postmortem_mail("D:\\temp\\large.DMP");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].attachment, "");
    size_t note = sent[1].body.find("\r\n\r\n***** DUMP FILE D:\\MiniDump\\");
    ASSERT_NE(note, std::string::npos) << sent[1].body;
    const std::string ending = ".zip NOT ATTACHED AS IT EXCEEDS 4MB! *****";
    EXPECT_EQ(sent[1].body.substr(sent[1].body.size() - ending.size()), ending);

    // In the supplier's own domain a programmer is asked first.
    SetEnvironmentVariableA("USERDOMAIN", "SYSKOVA");
    SetEnvironmentVariableA("PROGINIT", "Y");
    answer = IDNO;
    boxes.clear();
    fxk_postmortem_mail("D:\\temp\\small.DMP");
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(boxes, std::vector<std::string>{
                         "Would you like to send the postmortem diagnostic file to Kova support?"});
    SetEnvironmentVariableA("USERDOMAIN", nullptr);
    SetEnvironmentVariableA("PROGINIT", nullptr);

    fxp_presenter = saved_presenter;
    fxk_error_mail_sender = saved_sender;
}

} // namespace
} // namespace report_test
