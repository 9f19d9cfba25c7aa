// Simple MAPI through the platform's MAPI32, which hands messages to xdg-email: a stand-in
// client on the search path records what it is given.
#include "kernel/mail/mail.h"
#include "tests/mail/mail_support.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

using mail_test::MailClient;

class Mapi : public testing::Test {
protected:
    void SetUp() override {
        drive_ = prefix_.map_drive('M');
        kova_test::write_file(drive_ + "/p/fix1.kvz", "patch");
        kova_test::write_file(drive_ + "/p/two.kvz", "2");
    }
    void TearDown() override {
        // Each test starts logged off with the library unloaded.
        fxk_mapi_logoff();
    }
    kova_test::TempPrefix prefix_;
    std::string drive_;
};

TEST_F(Mapi, WithoutMailClientNothingIsInstalled) {
    MailClient none(-1);
    EXPECT_EQ(fxk_mapi_logon(), DXK_MAIL_NOT_INSTALLED);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "x", nullptr, nullptr, 1),
              DXK_MAIL_NOT_INSTALLED);
    EXPECT_EQ(fxk_mapi_logoff(), DXK_MAIL_NOT_INSTALLED);
}

TEST_F(Mapi, HandsTheMessageToTheMailClient) {
    MailClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    ASSERT_EQ(fxk_mapi_send("a@x.example; Name <n@x.example>", nullptr, nullptr, "Patch \xe9t\xe9",
                            "Body\r\nline", "M:\\p\\fix1.kvz", nullptr, 1),
              0);
    EXPECT_EQ(fxk_mapi_last_result(), SUCCESS_SUCCESS);
    std::vector<std::string> args = client.args();
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ(args[0], "--utf8");
    EXPECT_EQ(client.option("--subject"), "Patch \u00e9t\u00e9");
    EXPECT_EQ(client.option("--body"), "Body\r\nline");
    EXPECT_EQ(client.option("--attach"), drive_ + "/p/fix1.kvz");
    // The recipients close the command line, as addresses.
    EXPECT_EQ(std::vector<std::string>(args.end() - 2, args.end()),
              (std::vector<std::string>{"a@x.example", "n@x.example"}));

    EXPECT_EQ(fxk_mapi_logoff(), 0);
    // Logged off, the library is gone: nothing can be sent until the next logon.
    EXPECT_EQ(fxk_mapi_logoff(), DXK_MAIL_NOT_LOADED);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "x", nullptr, nullptr, 1),
              DXK_MAIL_NOT_LOADED);
}

TEST_F(Mapi, EmptyBodyWithThreeAttachmentsIsThreeBlanks) {
    MailClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    ASSERT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, nullptr, "",
                            "M:\\p\\fix1.kvz;M:\\p\\two.kvz;;M:\\p\\fix1.kvz;", nullptr, 0),
              0);
    EXPECT_EQ(client.option("--body"), "   ");
    EXPECT_EQ(client.option("--subject"), "<missing>");
    size_t attached = 0;
    for (const std::string &arg : client.args()) attached += arg == "--attach";
    EXPECT_EQ(attached, 3u);
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
        MailClient client;
        ASSERT_EQ(fxk_mapi_logon(), 0);
        EXPECT_EQ(
            fxk_mapi_send(c.recipients, nullptr, nullptr, "s", "b", c.attachments, nullptr, 1),
            c.code);
        EXPECT_FALSE(client.ran()) << c.code;
        EXPECT_EQ(fxk_mapi_logoff(), 0);
    }
}

TEST_F(Mapi, FailingClientIsAFailedSend) {
    MailClient client(4);
    ASSERT_EQ(fxk_mapi_logon(), 0);
    EXPECT_EQ(fxk_mapi_send(nullptr, nullptr, nullptr, "s", "b", "M:\\p\\fix1.kvz", nullptr, 1),
              DXK_MAIL_SEND_FAILED);
    EXPECT_TRUE(client.ran());
    EXPECT_EQ(fxk_mapi_last_result(), MAPI_E_FAILURE);
}

TEST_F(Mapi, ResolvesNamesThatHoldAnAddress) {
    MailClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    MapiRecipDesc *recipient = nullptr;
    ASSERT_EQ(fxk_mapi_resolve("Pat Smith <pat@x.example>", &recipient), 0);
    ASSERT_NE(recipient, nullptr);
    EXPECT_STREQ(recipient->lpszAddress, "SMTP:pat@x.example");
    EXPECT_STREQ(recipient->lpszName, "Pat Smith <pat@x.example>");
    HMODULE mapi32 = LoadLibraryA("MAPI32.DLL");
    auto free_buffer = reinterpret_cast<LPMAPIFREEBUFFER>(
        reinterpret_cast<void (*)()>(GetProcAddress(mapi32, "MAPIFreeBuffer")));
    EXPECT_EQ(free_buffer(recipient), SUCCESS_SUCCESS);
    // A second release of the same record fails.
    EXPECT_EQ(free_buffer(recipient), MAPI_E_FAILURE);
    FreeLibrary(mapi32);
    EXPECT_EQ(fxk_mapi_resolve("nobody", &recipient), DXK_MAIL_RESOLVE_FAILED);
    EXPECT_EQ(fxk_mapi_last_result(), MAPI_E_UNKNOWN_RECIPIENT);
}

// The platform's run-time modules and file search, which the mail layer finds MAPI through.
TEST_F(Mapi, PlatformFindsFilesAndModules) {
    kova_test::write_file(drive_ + "/b/tool.txt", "t");
    char found[MAX_PATH];
    char *name = nullptr;
    DWORD n = SearchPathA("M:\\a;M:\\b", "tool", ".txt", sizeof found, found, &name);
    ASSERT_EQ(n, std::string("M:\\b\\tool.txt").size());
    EXPECT_STREQ(found, "M:\\b\\tool.txt");
    EXPECT_STREQ(name, "tool.txt");
    // Too small a buffer learns the size it needs, NUL included.
    EXPECT_EQ(SearchPathA("M:\\b", "tool.txt", nullptr, 4, found, nullptr), n + 1);
    EXPECT_EQ(SearchPathA("M:\\a", "tool.txt", nullptr, sizeof found, found, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    {
        MailClient none(-1);
        EXPECT_EQ(SearchPathA(nullptr, "MAPI32.DLL", nullptr, sizeof found, found, nullptr), 0u);
        EXPECT_EQ(LoadLibraryA("MAPI32.DLL"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
    MailClient client;
    EXPECT_GT(SearchPathA(nullptr, "mapi32", ".dll", sizeof found, found, nullptr), 0u);
    HMODULE mapi32 = LoadLibraryA(found);
    ASSERT_NE(mapi32, nullptr);
    EXPECT_NE(GetProcAddress(mapi32, "MAPISendMail"), nullptr);
    EXPECT_EQ(GetProcAddress(mapi32, "MAPIReadMail"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(mapi32));
    EXPECT_FALSE(FreeLibrary(mapi32));
    EXPECT_EQ(LoadLibraryA("WTSAPI32.DLL"), nullptr);
}

} // namespace
