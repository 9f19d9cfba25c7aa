// The report as programs meet it, each in a child process: the blocks it appends to kovaerr.log,
// the activity of the company group taken from the real managers, the mail of its record, a
// second report from the mail thread, the pages at a terminal, and the sequence error of the
// user layer.
#include "kernel/app/startup.h"
#include "kernel/coord/queue.h"
#include "kernel/files/paths.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/startup.h"
#include "tests/coord/manager_fixture.h"
#include "tests/errors/report_support.h"
#include "tests/mail/mail_support.h"

#include <cstring>
#include <string>
#include <vector>

namespace report_test {
namespace {

using kova_test::read_file;
using kova_test::write_file;

// ---- Children ----

void note_corrupt(const char *company, uint16_t code, uint16_t sub_code, const char *message) {
    std::printf("CORRUPT[%s %u %u %s]\n", company, code, sub_code, message);
    std::fflush(stdout);
}

// Reports the error that KOVA_MESSAGE, KOVA_CODE, KOVA_SUB and KOVA_CORRUPT describe.
TEST(ReportChild, Report) {
    if (!in_child()) GTEST_SKIP() << "run by ReportTest";
    child_setup();
    if (std::getenv("KOVA_COMPONENT")) {
        fxk_signon().component = "KVSTOCK";
        fxk_signon().extension = "EXE";
    }
    fxk_company_corrupt = note_corrupt;
    const char *message = std::getenv("KOVA_MESSAGE");
    fxk_unexpected_error_ex(message, static_cast<uint16_t>(std::atoi(std::getenv("KOVA_CODE"))),
                            static_cast<uint16_t>(std::atoi(std::getenv("KOVA_SUB"))),
                            std::getenv("KOVA_CORRUPT") != nullptr);
    ADD_FAILURE() << "the report returned";
}

// A sender that writes what it was given to the file KOVA_MAIL_LOG names.
uint16_t record_mail(const char *to, const char *sender, const char *subject, const char *body,
                     const char *attachment) {
    std::string text = std::string("TO[") + to + "]\nFROM[" + sender + "]\nSUBJECT[" + subject +
                       "]\nATTACHMENT[" + (attachment ? attachment : "") + "]\nBODY[" + body +
                       "]\n";
    write_file(std::getenv("KOVA_MAIL_LOG"), text);
    return 0;
}

// A sender whose work raises a second report.
uint16_t report_again(const char *, const char *, const char *, const char *, const char *) {
    fxk_unexpected_error("A second error", 66, 0);
    std::printf("SECOND REPORT RETURNED\n");
    std::fflush(stdout);
    return 0;
}

TEST(ReportChild, Mail) {
    if (!in_child()) GTEST_SKIP() << "run by ReportTest";
    child_setup();
    if (std::getenv("KOVA_MAIL_LOG")) fxk_error_mail_sender = record_mail;
    if (std::getenv("KOVA_SECOND")) fxk_error_mail_sender = report_again;
    fxk_unexpected_error("Stock file damaged", 65, 3);
}

// Attaches as a signed-on user of slot 3 of company ABC would be, gives the user table back
// and reports.
TEST(ReportChild, SignedOn) {
    if (!in_child()) GTEST_SKIP() << "run by ReportActivity";
    child_setup();
    fxi_conn_init();
    ASSERT_TRUE(fxk_user_attach());
    ASSERT_EQ(fxk_user_writeqmsg(), 0);
    fxk_signon().user_slot = 3;
    fxk_unexpected_error_ex(nullptr, 65, 0, false);
}

// Takes the user table while holding the semaphore: the user layer's sequence error.
TEST(ReportChild, SequenceError) {
    if (!in_child()) GTEST_SKIP() << "run by ReportActivity";
    child_setup();
    // The user layer reaches the report through what start-up registers.
    fxp_startup_reports();
    fxi_conn_init();
    ASSERT_EQ(fxi_queue_system().connect(), 0);
    ASSERT_EQ(fxk_user_openfile(), 1);
    fxk_user_readqmsg();
    ADD_FAILURE() << "the sequence error did not end the program";
}

// ---- Log blocks ----

TEST_F(ReportTest, BlocksInKovaerrLog) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> args;
        std::string first_line_end, rest, stderr_lines, corrupt;
    } cases[] = {
        {{{"KOVA_CODE", "65"}, {"KOVA_SUB", "0"}},
         {},
         " error code 101 occurred.\r\n",
         "Function Description \"Stock valuation\"\r\n",
         "Program aborted - Kova error code 101 from \"Stock valuation\"\n",
         ""},
        {{{"KOVA_CODE", "65"},
          {"KOVA_SUB", "3"},
          {"KOVA_MESSAGE", std::string(81, 'x')},
          {"KOVA_CORRUPT", "1"},
          {"KOVA_COMPONENT", "1"}},
         {"first", "2"},
         " error code 101 / 3 occurred.\r\n",
         "Error message too long!\r\nFunction Description \"Stock valuation\"\r\n",
         "Program aborted - Kova error code 101 / 3 from \"Stock valuation\"\n"
         "Error message too long!\n",
         "ABC 65 3 Error message too long!"},
    };
    char computer[16] = {};
    ASSERT_EQ(fxi_computer_name(computer), 0);
    char os[81] = {};
    fxk_os_name(os);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        auto r = child("ReportChild", "Report", c.args, c.env);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err, c.stderr_lines);
        EXPECT_EQ(tagged(r.out, "CORRUPT"), c.corrupt);
        std::vector<std::string> all = blocks();
        ASSERT_EQ(all.size(), i + 1) << log();
        const std::string &block = all[i];
        ASSERT_EQ(block.rfind("On ", 0), 0u) << block;
        size_t first_end = block.find("\r\n") + 2;
        EXPECT_EQ(block.substr(first_end - c.first_line_end.size(), c.first_line_end.size()),
                  c.first_line_end);
        std::string function_line =
            c.args.size() < 2 ? "The function was Version 7.1\r\n"
                              : "The function was KVSTOCK.EXE Version 7.1 entry point 2\r\n";
        std::string expected_rest =
            c.rest + "User ID \"pat\" on Workstation \"" + computer + "\" using " + os + "\r\n" +
            function_line + "The function was running in a singleuser environment\r\n" +
            (c.corrupt.empty() ? "" : "AS A RESULT, THIS COMPANY GROUP IS NOW CORRUPT!\r\n");
        EXPECT_EQ(block.substr(first_end), expected_rest);
    }
}

// ---- Mail ----

TEST_F(ReportTest, MailsTheRecordWithADumpOfTheProcess) {
    write_file(home_ + "/kovaABC.ini",
               "[company]\r\nname=Acme Ltd\r\n[support]\r\nemailerrors=Y\r\n"
               "email=help@example.com\r\n");
    std::string mail = home_ + "/mail.txt";
    auto r = child("ReportChild", "Mail", {}, {{"KOVA_MAIL_LOG", mail}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string sent = read_file(mail);
    EXPECT_EQ(tagged(sent, "TO"), "help@example.com");
    EXPECT_EQ(tagged(sent, "FROM"), "kovaerror");
    EXPECT_EQ(tagged(sent, "SUBJECT"),
              "Error report from \"Main system\" Company \"Acme Ltd\" (ABC)");
    std::vector<std::string> all = blocks();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(sent.substr(sent.find("BODY[") + 5), all[0] + "]\n") << "the body is the block";

    // The dump of the running process, stored as a ZIP archive in MiniDump\.
    std::string attachment = tagged(sent, "ATTACHMENT");
    ASSERT_EQ(attachment.rfind("D:\\MiniDump\\", 0), 0u) << attachment;
    ASSERT_EQ(attachment.substr(attachment.size() - 4), ".zip");
    auto entries = unzip(host(attachment));
    ASSERT_EQ(entries.size(), 1u);
    const std::string &dump = entries["test_errors.DMP"];
    EXPECT_NE(dump.find("Signal:   none; written on request"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\nBacktrace:\n"), std::string::npos);
    EXPECT_NE(dump.find("\nMemory map:\n"), std::string::npos);
    EXPECT_EQ(read_file(home_ + "/temp/test_errors.DMP"), dump);

    // Without the company's consent nothing is sent; the dump is still archived.
    std::filesystem::remove(mail);
    write_file(home_ + "/kovaABC.ini", "[support]\r\nemailerrors=N\r\n");
    r = child("ReportChild", "Mail", {}, {{"KOVA_MAIL_LOG", mail}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(mail));
    EXPECT_EQ(blocks().size(), 2u);
}

TEST_F(ReportTest, MailsOverSmtp) {
    mail_test::SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    write_file(home_ + "/kova.ini", "[system]\r\ncompany=ABC\r\nname=Main system\r\n"
                                    "[smtp]\r\nserver=" +
                                        sink.address() + "\r\ndomain=example.com\r\n");
    write_file(home_ + "/kovaABC.ini", "[support]\r\nemailerrors=Y\r\nemail=help@example.com\r\n");
    auto r = child("ReportChild", "Mail");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    mail_test::Received mail;
    ASSERT_TRUE(sink.wait_for(1, &mail));
    EXPECT_EQ(mail.get("mail-from"), "kovaerror@example.com");
    EXPECT_EQ(mail.get("rcpt"), "help@example.com");
    EXPECT_EQ(mail.get("header-subject"), "Error report from \"Main system\" Company \"\" (ABC)");
    std::vector<std::string> all = blocks();
    ASSERT_EQ(all.size(), 1u);
    std::string body = all[0];
    for (size_t at; (at = body.find("\r\n")) != std::string::npos;) body.replace(at, 2, "\n");
    std::string hex;
    for (unsigned char c : body) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", c);
        hex += digits;
    }
    EXPECT_EQ(mail.get("text"), hex);
    std::string attachment = mail.get("attachment");
    EXPECT_EQ(attachment.substr(attachment.find('.'), 5), ".zip ") << attachment;
}

TEST_F(ReportTest, SecondReportFromTheMailThreadEndsAtOnce) {
    write_file(home_ + "/kovaABC.ini", "[support]\r\nemailerrors=Y\r\n");
    auto r = child("ReportChild", "Mail", {}, {{"KOVA_SECOND", "1"}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("SECOND REPORT RETURNED"), std::string::npos) << r.out;
    EXPECT_EQ(blocks().size(), 1u) << "no second block";
    EXPECT_EQ(log().find("A second error"), std::string::npos);
}

// ---- Pages ----

TEST_F(ReportTest, PagesAtATerminal) {
    kova_test::TempDir bin;
    std::string lp_log = home_ + "/lp.txt";
    write_file(bin / "lp", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + lp_log + "'\ncp \"$1\" '" +
                               lp_log + ".copy'\n");
    std::filesystem::permissions(bin / "lp", std::filesystem::perms::owner_all);
    kova_test::Pty pty({self(), "--gtest_filter=ReportChild.Report"},
                       {{"KOVA_TEST_CHILD", "1"},
                        {"KOVA_CODE", "65"},
                        {"KOVA_SUB", "3"},
                        {"KOVA_MESSAGE", "Stock file damaged"},
                        {"PATH", bin.path() + ":" + std::getenv("PATH")}});
    ASSERT_TRUE(pty.expect("kova brisel Error"));
    ASSERT_TRUE(pty.expect("Program aborted - Kova error code 101 / 3 from \"Stock valuation\""));
    ASSERT_TRUE(pty.expect("Stock file damaged"));
    ASSERT_TRUE(pty.expect("More Info")) << pty.output();
    pty.send("1"); // More Info
    ASSERT_TRUE(pty.expect("Function Name")) << pty.output();
    ASSERT_TRUE(pty.expect("Print")) << pty.output();
    pty.send("2"); // Print: the printer takes it and Details come back
    ASSERT_TRUE(pty.expect("Function Name")) << pty.output();
    ASSERT_TRUE(pty.expect("Print")) << pty.output();
    pty.send("1"); // Back
    ASSERT_TRUE(pty.expect("Program aborted")) << pty.output();
    ASSERT_TRUE(pty.expect("Next")) << pty.output();
    pty.send("2"); // Next
    ASSERT_TRUE(pty.expect("Your kova brisel ABC data is not corrupt.")) << pty.output();
    ASSERT_TRUE(pty.expect("Exit")) << pty.output();
    pty.send("2"); // Exit
    EXPECT_EQ(pty.wait(), 0) << pty.output();

    std::string printed = read_file(lp_log);
    ASSERT_EQ(printed.rfind("kovaerr", 0), 0u) << printed;
    EXPECT_EQ(printed.substr(printed.size() - 5), ".prn\n");
    std::string report = read_file(lp_log + ".copy");
    EXPECT_NE(report.find("KOVA UNEXPECTED ERROR REPORT"), std::string::npos) << report;
    EXPECT_NE(report.find(std::string("ERROR CODE") + std::string(30, ' ') + "101 / 3\r\n"),
              std::string::npos);
    EXPECT_EQ(report, read_file(home_ + "/" + printed.substr(0, printed.size() - 1)));
    EXPECT_EQ(blocks().size(), 1u);
}

TEST_F(ReportTest, PagesOfACorruptCompanyGroup) {
    kova_test::Pty pty(
        {self(), "--gtest_filter=ReportChild.Report"},
        {{"KOVA_TEST_CHILD", "1"}, {"KOVA_CODE", "65"}, {"KOVA_SUB", "0"}, {"KOVA_CORRUPT", "1"}});
    ASSERT_TRUE(pty.expect("Next >>")) << pty.output();
    pty.send("2"); // Next
    ASSERT_TRUE(pty.expect("Your kova brisel ABC data is corrupt and you will need to use the kova "
                           "brisel \"Restore Data\" function to recover your ABC system from a "
                           "backup."))
        << pty.output();
    ASSERT_TRUE(pty.expect("There are no available checkpoints.")) << pty.output();
    ASSERT_TRUE(pty.expect("There are no available full backups.")) << pty.output();
    ASSERT_TRUE(pty.expect("View Recovery Steps")) << pty.output();
    pty.send("2"); // View Recovery Steps: no browser here, so the address is shown
    ASSERT_TRUE(pty.expect("The recovery steps are at https://")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("View Recovery Steps")) << pty.output();
    pty.send("1"); // Back to the Error page
    ASSERT_TRUE(pty.expect("Program aborted")) << pty.output();
    ASSERT_TRUE(pty.expect("Next >>")) << pty.output();
    pty.send("2");
    ASSERT_TRUE(pty.expect("View Recovery Steps")) << pty.output();
    pty.send("3"); // Exit
    EXPECT_EQ(pty.wait(), 0) << pty.output();
    ASSERT_EQ(blocks().size(), 1u);
    EXPECT_NE(blocks()[0].find("AS A RESULT, THIS COMPANY GROUP IS NOW CORRUPT!\r\n"),
              std::string::npos);
}

// ---- The activity of the company group ----

class ReportActivity : public kova_test::ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        write_ini("[system]\r\nrelease=24\r\nusers=8\r\ncompany=ABC\r\n");
        fxi_load_installation();
        std::filesystem::create_directories(home_ + "/temp");
        start("kvqm");
        start("kvfm");
    }
    void TearDown() override {
        fxk_user_detach();
        ManagerTest::TearDown();
    }

    // Slot `slot` occupied by a user of company `company` running `function`.
    void sign_on(uint16_t slot, const char *company, const char *user, const char *function,
                 char activity) {
        CXI_QUEUE_SYSTEM other;
        ASSERT_EQ(0, other.connect());
        TXI_QUEUE q;
        ASSERT_EQ(0, other.open("KOVAuser", 8, &q));
        std::vector<uint8_t> table(q.size);
        ASSERT_EQ(0, other.read(&q, table.data(), 0));
        uint8_t *entry = table.data() + 8 + 8 * slot;
        const uint8_t occupied[8] = {1, 0x34, 0, 0, 0, 0x12, 'R', 0};
        std::memcpy(entry, occupied, 8);
        std::memcpy(entry + 2, company, 3);
        ASSERT_EQ(0, other.write(&q, table.data(), 0));
        other.disconnect();

        std::string users = read_file(home_ + "/kovausrs");
        ASSERT_GE(users.size(), 64u * (slot + 1));
        std::string record(64, '\0');
        record.replace(0, std::strlen(user), user);
        record.replace(22, std::strlen(function), function);
        record[57] = activity;
        users.replace(64 * slot, 64, record);
        write_file(home_ + "/kovausrs", users);
    }
};

std::string pad(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

TEST_F(ReportActivity, RowsOfTheCompanyGroupAndTheFlagOfTheOwnSlot) {
    // The table and the users file exist once an attachment has made them.
    ASSERT_TRUE(fxk_user_attach());
    ASSERT_EQ(fxk_user_openfile(), 1);
    fxk_user_closfile(0);
    ASSERT_EQ(fxk_user_writeqmsg(), 0);
    fxk_user_detach();
    sign_on(3, "ABC", "pat", "Stock valuation", 'R');
    sign_on(5, "ABC", "kim", "Sales ledger posting", 'W');
    sign_on(6, "XYZ", "lee", "Payroll", 'R');

    auto r = kova_test::run({report_test::self(), "--gtest_filter=ReportChild.SignedOn"},
                            {{"KOVA_TEST_CHILD", "1"}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string log = read_file(home_ + "/kovaerr.log");
    char computer[16] = {};
    ASSERT_EQ(fxi_computer_name(computer), 0);
    EXPECT_NE(log.find("The multiuser activity in that company group at that time was:\r\n"
                       "User                 Function                              Workstation     "
                       "Client          Additional Information\r\n" +
                       pad("pat", 20) + " " + pad("Stock valuation", 35) + " R " +
                       pad(computer, 15) + " " + pad("", 48) + "\r\n" + pad("kim", 20) + " " +
                       pad("Sales ledger posting", 35) + " W " + pad("", 15) + " " + pad("", 48) +
                       " CORRUPTIBLE\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("lee"), std::string::npos) << "another company group's user";
    EXPECT_EQ(log.find("CORRUPT!"), std::string::npos) << "the process's own function is not";

    // The table came back with this process's slot flagged.
    CXI_QUEUE_SYSTEM other;
    ASSERT_EQ(0, other.connect());
    TXI_QUEUE q;
    ASSERT_EQ(0, other.open("KOVAuser", 8, &q));
    std::vector<uint8_t> table(q.size);
    ASSERT_EQ(0, other.read(&q, table.data(), 0));
    EXPECT_EQ(table[8 + 8 * 3 + 7], 0x40);
    EXPECT_EQ(table[8 + 8 * 5 + 7], 0);
    other.write(&q, table.data(), 0);
    other.disconnect();
}

TEST_F(ReportActivity, SequenceErrorOfTheUserLayerIsReported) {
    auto r = kova_test::run({report_test::self(), "--gtest_filter=ReportChild.SequenceError"},
                            {{"KOVA_TEST_CHILD", "1"}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string log = read_file(home_ + "/kovaerr.log");
    EXPECT_NE(log.find(" error code 000 occurred.\r\nKOVA QUEUE READ SEQUENCE ERROR\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(r.err, "Program aborted - Kova error code 000 from \"Stock valuation\"\n"
                     "KOVA QUEUE READ SEQUENCE ERROR\n");
}

} // namespace
} // namespace report_test
