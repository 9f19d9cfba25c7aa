// Sending a message end to end: the attachment check, the mail client, and the fallback to
// the "SMTP Email" page (driven by scripted keys here, and on a pseudo-terminal).
#include "kernel/files/install.h"
#include "kernel/mail/mail.h"
#include "tests/mail/mail_support.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using mail_test::hex;
using mail_test::MailClient;
using mail_test::Received;
using mail_test::Screen;
using mail_test::SmtpSink;

constexpr const char *no_smtp = "Could not read SMTP details from kova.ini";
constexpr const char *body = "To install it, double click.\r\nThanks.";

class MailSend : public testing::Test {
protected:
    void SetUp() override {
        drive_ = prefix_.map_drive('M');
        kova_test::write_file(drive_ + "/p/fix1.kvz", "patch bytes");
        fxi_set_data_home("M:\\home\\");
    }
    void configure(const std::string &ini) {
        kova_test::write_file(drive_ + "/home/kova.ini", ini);
    }
    std::string smtp_section(const std::string &server) const {
        return "[smtp]\r\nserver=" + server + "\r\ndomain=example.com\r\nbcc=archive\r\n";
    }

    kova_test::TempPrefix prefix_;
    std::string drive_;
};

TEST_F(MailSend, MissingAttachmentAbortsWithItsReason) {
    Screen screen;
    MailClient client;
    EXPECT_EQ(fxk_mail_send(nullptr, nullptr, body, "M:\\p\\fix1.kvz;M:\\p\\none.kvz", nullptr,
                            DXK_MAIL_DIALOG),
              0);
    TXI_FILE probe;
    EXPECT_NE(probe.open("M:\\p\\none.kvz", DXI_FILE_READ), 0); // gives the expected text
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_EQ(screen.boxes[0], std::string("Unable to open mail attachment M:\\p\\none.kvz - ") +
                                   probe.error_text() + " - mail send aborted");
    EXPECT_FALSE(client.ran());
}

TEST_F(MailSend, HandsOverToTheMailClient) {
    Screen screen;
    MailClient client;
    EXPECT_EQ(fxk_mail_send(nullptr, nullptr, body, "M:\\p\\fix1.kvz", nullptr, DXK_MAIL_DIALOG),
              1);
    EXPECT_TRUE(screen.boxes.empty());
    EXPECT_EQ(client.option("--body"), body);
    EXPECT_EQ(client.option("--attach"), drive_ + "/p/fix1.kvz");
}

TEST_F(MailSend, AttachmentAttributesArePutBack) {
    Screen screen;
    // A mail client that leaves its attachments read-only.
    MailClient client(0, "/bin/chmod a-w \"$5\"");
    ASSERT_EQ(GetFileAttributesA("M:\\p\\fix1.kvz") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(fxk_mail_send(nullptr, nullptr, body, "M:\\p\\fix1.kvz", nullptr, 1), 1);
    EXPECT_TRUE(client.ran());
    EXPECT_EQ(GetFileAttributesA("M:\\p\\fix1.kvz") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE((std::filesystem::status(drive_ + "/p/fix1.kvz").permissions() &
                 std::filesystem::perms::owner_write) != std::filesystem::perms::none);
}

TEST_F(MailSend, WithoutClientTheSmtpSettingsAreNeeded) {
    struct Case {
        int client; // stand-in's exit status, -1 for none
        std::string ini;
    } cases[] = {
        {-1, ""},
        {-1, "[smtp]\r\nserver=mail.example.com\r\n"},
        {-1, "[smtp]\r\ndomain=example.com\r\n"},
        {4, "[all]\r\nserver=FILES\r\n"},
    };
    for (const Case &c : cases) {
        Screen screen;
        MailClient client(c.client);
        configure(c.ini);
        EXPECT_EQ(fxk_mail_send(nullptr, nullptr, body, "M:\\p\\fix1.kvz", nullptr, 1), 0);
        EXPECT_EQ(screen.boxes, std::vector<std::string>{no_smtp}) << c.ini;
    }
}

TEST_F(MailSend, SmtpOnlySkipsTheMailClient) {
    Screen screen;
    MailClient client;
    configure("");
    EXPECT_EQ(fxk_mail_send(nullptr, nullptr, body, "M:\\p\\fix1.kvz", nullptr,
                            DXK_MAIL_DIALOG | DXK_MAIL_SMTP_ONLY),
              0);
    EXPECT_FALSE(client.ran());
    EXPECT_EQ(screen.boxes, std::vector<std::string>{no_smtp});
}

TEST_F(MailSend, CancelledPageSendsNothing) {
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    Screen screen;
    MailClient none(-1);
    configure(smtp_section(sink.address()));
    screen.keys.push_back(DXP_KEY_ESCAPE);
    EXPECT_EQ(fxk_mail_send("pat@x.example", "s", body, "M:\\p\\fix1.kvz", nullptr, 1), 0);
    EXPECT_TRUE(screen.boxes.empty());
    EXPECT_TRUE(screen.keys.empty());
    EXPECT_EQ(sink.messages(), 0);
}

// A send that fails is shown and the page comes back with what was typed; corrected, it goes.
TEST_F(MailSend, PageComesBackAfterAFailedSend) {
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    Screen screen;
    MailClient none(-1);
    configure(smtp_section("127.0.0.1:1"));

    screen.type("\r");                   // server, from the configuration
    screen.type("pat@x.example\r\r\r");  // to, copy, blind copy (configured)
    screen.keys.push_back(DXP_KEY_HOME); // from: "@example.com" gets its user
    screen.type("builder\r\r\r\r\r");    // subject, message, attachment, Send
    screen.keys.push_back(DXP_KEY_END);  // the page again: correct the server
    for (int i = 0; i < 11; ++i) screen.keys.push_back(DXP_KEY_BACKSPACE);
    screen.type(sink.address() + "\r\r\r\r\r\r\r\r\r");

    EXPECT_EQ(fxk_mail_send(nullptr, "Patch fix1", body, "M:\\p\\fix1.kvz", nullptr, 1), 1);
    EXPECT_TRUE(screen.keys.empty());
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_EQ(screen.boxes[0].rfind("Unable to send the message - ", 0), 0u) << screen.boxes[0];
    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got));
    EXPECT_EQ(got.get("mail-from"), "builder@example.com");
    EXPECT_EQ(got.get("rcpt"), "pat@x.example,archive@example.com");
    EXPECT_EQ(got.get("header-subject"), "Patch fix1");
    EXPECT_EQ(got.get("text"), hex("To install it, double click.\nThanks."));
    EXPECT_EQ(got.all("attachment"), std::vector<std::string>{"fix1.kvz " + hex("patch bytes")});
}

// The page on a real terminal: this test's own program runs the child below on a
// pseudo-terminal and types what an operator would.
TEST(SmtpPage, Child) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "runs inside SmtpPage.OnATerminal";
    fxi_set_data_home(std::getenv("MAIL_TEST_HOME"));
    int sent = fxk_mail_send(nullptr, "Patch fix1", body, std::getenv("MAIL_TEST_ATTACHMENT"),
                             nullptr, DXK_MAIL_DIALOG);
    std::_Exit(sent ? 40 : 41);
}

TEST(SmtpPage, OnATerminal) {
    kova_test::TempPrefix prefix;
    std::string drive = prefix.map_drive('M');
    kova_test::write_file(drive + "/p/fix1.kvz", "patch bytes");
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    kova_test::write_file(drive + "/home/kova.ini",
                          "[smtp]\r\nserver=" + sink.address() + "\r\ndomain=example.com\r\n");
    kova_test::TempDir empty_path;
    std::string self = kova_test::self_program();
    kova_test::Pty pty({self, "--gtest_filter=SmtpPage.Child"},
                       {{"KOVA_TEST_CHILD", "1"},
                        {"KOVA_UNATTENDED", "0"},
                        {"PATH", empty_path.path()},
                        {"MAIL_TEST_HOME", "M:\\home\\"},
                        {"MAIL_TEST_ATTACHMENT", "M:\\p\\fix1.kvz"}});
    ASSERT_TRUE(pty.expect("SMTP Email")) << pty.output();
    ASSERT_TRUE(pty.expect("SMTP server: [")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("To: [")) << pty.output();
    pty.send("pat@x.example\r\r\r");
    ASSERT_TRUE(pty.expect("From: [@example.com")) << pty.output();
    pty.send("\x1b[Hbuilder\r\r\r");
    ASSERT_TRUE(pty.expect("Attachment: [M:\\p\\fix1.kvz")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("Send")) << pty.output();
    pty.send("\r");
    EXPECT_EQ(pty.wait(), 40) << pty.output();
    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got)) << pty.output();
    EXPECT_EQ(got.get("mail-from"), "builder@example.com");
    EXPECT_EQ(got.get("rcpt"), "pat@x.example");
    EXPECT_EQ(got.get("text"), hex("To install it, double click.\nThanks."));
    EXPECT_EQ(got.all("attachment"), std::vector<std::string>{"fix1.kvz " + hex("patch bytes")});
}

} // namespace
