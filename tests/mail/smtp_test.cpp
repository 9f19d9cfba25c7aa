// The SMTP client against a real SMTP server on loopback: what arrives, authentication, and
// the failures that must be reported instead of lost.
#include "kernel/mail/mail.h"
#include "tests/mail/mail_support.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

using mail_test::hex;
using mail_test::Received;
using mail_test::SmtpSink;

class Smtp : public testing::Test {
protected:
    void SetUp() override {
        drive_ = prefix_.map_drive('M');
        for (int i = 0; i < 256; ++i) patch_ += static_cast<char>(i);
        patch_ += std::string(70000, 'z'); // longer than one read of the encoder
        kova_test::write_file(drive_ + "/source/patches/fix1.kvz", patch_);
    }

    TXK_SMTP_MESSAGE message(const SmtpSink &sink) const {
        TXK_SMTP_MESSAGE m;
        m.server = sink.address();
        m.to = "Pat Smith <pat@x.example>; lee@x.example";
        m.cc = "cc@x.example";
        m.bcc = "archive@x.example";
        m.from = "builder@x.example";
        m.subject = "Patch fix1 \xe9t\xe9";
        m.body = "Line one\r\nLine two\r\n\r\nEnd \xe9";
        m.attachments = "M:\\source\\patches\\fix1.kvz";
        return m;
    }

    kova_test::TempPrefix prefix_;
    std::string drive_, patch_;
};

TEST_F(Smtp, DeliversTheBodyAndTheAttachment) {
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    std::string error;
    ASSERT_TRUE(fxk_smtp_send(message(sink), &error)) << error;
    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got));
    EXPECT_EQ(got.get("mail-from"), "builder@x.example");
    EXPECT_EQ(got.get("rcpt"), "pat@x.example,lee@x.example,cc@x.example,archive@x.example");
    EXPECT_EQ(got.get("header-to"), "Pat Smith <pat@x.example>, lee@x.example");
    EXPECT_EQ(got.get("header-cc"), "cc@x.example");
    EXPECT_EQ(got.get("header-bcc"), ""); // blind copies stay out of the headers
    EXPECT_EQ(got.get("header-subject"), "Patch fix1 \u00e9t\u00e9");
    EXPECT_EQ(got.get("text"), hex("Line one\nLine two\n\nEnd \u00e9"));
    EXPECT_EQ(got.all("attachment"), std::vector<std::string>{"fix1.kvz " + hex(patch_)});
    EXPECT_EQ(got.get("auth"), "");
}

TEST_F(Smtp, AttachmentsGoOutUnderTheirDisplayNames) {
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    kova_test::write_file(drive_ + "/b.txt", "second");
    TXK_SMTP_MESSAGE m = message(sink);
    m.attachments = "M:\\source\\patches\\fix1.kvz;;M:\\b.txt;";
    m.display_names = "C:\\any\\update.kvz";
    std::string error;
    ASSERT_TRUE(fxk_smtp_send(m, &error)) << error;
    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got));
    EXPECT_EQ(got.all("attachment"),
              (std::vector<std::string>{"update.kvz " + hex(patch_), "b.txt " + hex("second")}));
}

TEST_F(Smtp, AuthenticatesWithoutShowingThePassword) {
    SmtpSink sink("builder", "pa55-word");
    ASSERT_TRUE(sink.ready());
    TXK_SMTP_MESSAGE m = message(sink);
    m.username = "builder";
    m.password = "pa55-word";
    std::string error;
    ASSERT_TRUE(fxk_smtp_send(m, &error)) << error;
    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got));
    EXPECT_EQ(got.get("auth"), "builder");

    m.password = "wrong-pa55";
    EXPECT_FALSE(fxk_smtp_send(m, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("wrong-pa55"), std::string::npos) << error;
    EXPECT_EQ(sink.messages(), 1);
}

TEST_F(Smtp, FailuresAreReported) {
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    struct Case {
        const char *what;
        void (*change)(TXK_SMTP_MESSAGE &);
    } cases[] = {
        {"no server", [](TXK_SMTP_MESSAGE &m) { m.server = ""; }},
        {"nobody listening", [](TXK_SMTP_MESSAGE &m) { m.server = "127.0.0.1:1"; }},
        {"no recipient", [](TXK_SMTP_MESSAGE &m) { m.to = m.cc = m.bcc = " ; "; }},
        {"no sender", [](TXK_SMTP_MESSAGE &m) { m.from = ""; }},
        {"command in an address",
         [](TXK_SMTP_MESSAGE &m) { m.to = "a@x.example>\r\nRCPT TO:<b@x.example"; }},
        {"missing attachment",
         [](TXK_SMTP_MESSAGE &m) { m.attachments += ";M:\\source\\patches\\none.kvz"; }},
    };
    for (const Case &c : cases) {
        TXK_SMTP_MESSAGE m = message(sink);
        c.change(m);
        std::string error;
        EXPECT_FALSE(fxk_smtp_send(m, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    EXPECT_EQ(sink.messages(), 0);
}

} // namespace
