// Simple MAPI through the host's MAPI32 to a stand-in mail client that records what it is
// given: the platform's built-in one and xdg-email on POSIX, a mail client's own MAPI32.DLL
// next to the test program on Windows.
#include "kernel/mail/mail.h"
#include "tests/mail/mail_client.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

using mail_test::ClientKind;
using mail_test::HandedOver;
using mail_test::StandInClient;

class Mapi : public mail_test::MapiTest {
protected:
    // The contents of the files the client was given, in order.
    static std::vector<std::string> contents(const HandedOver &message) {
        std::vector<std::string> out;
        for (const std::string &path : message.attachments)
            out.push_back(kova_test::read_file(path));
        return out;
    }
};

TEST_F(Mapi, WithoutMailClientNothingIsInstalled) {
    StandInClient none(ClientKind::absent);
    EXPECT_EQ(fxk_mapi_logon(), DXK_MAIL_NOT_INSTALLED);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "x", nullptr, nullptr, 1),
              DXK_MAIL_NOT_INSTALLED);
    EXPECT_EQ(fxk_mapi_logoff(), DXK_MAIL_NOT_INSTALLED);
}

TEST_F(Mapi, HandsTheMessageToTheMailClient) {
    StandInClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    ASSERT_EQ(fxk_mapi_send("a@x.example; Name <n@x.example>", nullptr, nullptr, "Patch \xe9t\xe9",
                            "Body\r\nline", "M:\\p\\fix1.kvz", nullptr, 1),
              0);
    EXPECT_EQ(fxk_mapi_last_result(), SUCCESS_SUCCESS);
    HandedOver message = client.message();
    EXPECT_EQ(message.subject, "Patch \u00e9t\u00e9");
    EXPECT_EQ(message.body, "Body\r\nline");
    EXPECT_EQ(contents(message), std::vector<std::string>{"patch"});
    EXPECT_EQ(message.recipients, (std::vector<std::string>{"a@x.example", "n@x.example"}));

    EXPECT_EQ(fxk_mapi_logoff(), 0);
    // Logged off, the library is gone: nothing can be sent until the next logon.
    EXPECT_EQ(fxk_mapi_logoff(), DXK_MAIL_NOT_LOADED);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "x", nullptr, nullptr, 1),
              DXK_MAIL_NOT_LOADED);
}

TEST_F(Mapi, EmptyBodyWithThreeAttachmentsIsThreeBlanks) {
    StandInClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    ASSERT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "",
                            "M:\\p\\fix1.kvz;M:\\p\\two.kvz;;M:\\p\\fix1.kvz;", nullptr, 0),
              0);
    HandedOver message = client.message();
    EXPECT_EQ(message.body, "   ");
    EXPECT_EQ(message.subject, "<missing>");
    EXPECT_EQ(contents(message), (std::vector<std::string>{"patch", "2", "patch"}));
}

// Failures before the message is created never reach the client.
TEST_F(Mapi, RefusedMessagesNeverReachTheClient) {
    std::string too_many;
    for (int i = 0; i < 101; ++i) too_many += "u" + std::to_string(i) + "@x.example;";
    struct Case {
        const char *recipients;
        const char *attachments;
        uint16_t code;
    } cases[] = {
        {too_many.c_str(), "M:\\p\\fix1.kvz", DXK_MAIL_TOO_MANY_RECIPIENTS},
        {"bob", "M:\\p\\fix1.kvz", DXK_MAIL_RESOLVE_FAILED},
        {"a@x.example", "M:\\p\\fix1.kvz;M:\\p\\none.kvz", DXK_MAIL_ATTACHMENT_NOT_FOUND},
    };
    for (const Case &c : cases) {
        StandInClient client;
        ASSERT_EQ(fxk_mapi_logon(), 0);
        EXPECT_EQ(
            fxk_mapi_send(c.recipients, nullptr, nullptr, "s", "b", c.attachments, nullptr, 1),
            c.code);
        EXPECT_FALSE(client.ran()) << c.code;
        EXPECT_EQ(fxk_mapi_logoff(), 0);
    }
}

TEST_F(Mapi, FailingClientIsAFailedSend) {
    StandInClient client(ClientKind::failing);
    ASSERT_EQ(fxk_mapi_logon(), 0);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, "s", "b", "M:\\p\\fix1.kvz", nullptr, 1),
              DXK_MAIL_SEND_FAILED);
    EXPECT_TRUE(client.ran());
    EXPECT_EQ(fxk_mapi_last_result(), MAPI_E_FAILURE);
}

TEST_F(Mapi, ResolvesNamesThatHoldAnAddress) {
    StandInClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    MapiRecipDesc *recipient = nullptr;
    ASSERT_EQ(fxk_mapi_resolve("Pat Smith <pat@x.example>", &recipient), 0);
    ASSERT_NE(recipient, nullptr);
    EXPECT_STREQ(recipient->lpszAddress, "SMTP:pat@x.example");
    EXPECT_STREQ(recipient->lpszName, "Pat Smith <pat@x.example>");
    // The library the mail layer loaded, as the system's module search finds it too.
    HMODULE mapi32 = LoadLibraryA("MAPI32.DLL");
    ASSERT_NE(mapi32, nullptr);
    auto free_buffer = reinterpret_cast<LPMAPIFREEBUFFER>(
        reinterpret_cast<void (*)()>(GetProcAddress(mapi32, "MAPIFreeBuffer")));
    EXPECT_EQ(free_buffer(recipient), SUCCESS_SUCCESS);
    // A second release of the same record fails.
    EXPECT_EQ(free_buffer(recipient), MAPI_E_FAILURE);
    FreeLibrary(mapi32);
    EXPECT_EQ(fxk_mapi_resolve("nobody", &recipient), DXK_MAIL_RESOLVE_FAILED);
    EXPECT_EQ(fxk_mapi_last_result(), MAPI_E_UNKNOWN_RECIPIENT);
}

} // namespace
