// The POSIX platform's built-in MAPI32: the command line it gives xdg-email, and the run-time
// modules and file search the mail layer finds it through.
#include "kernel/mail/mail.h"
#include "tests/mail/mail_client.h"
#include "tests/mail/mail_support.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

using mail_test::MailClient;

using BuiltinMapi = mail_test::MapiTest;

// xdg-email takes UTF-8 when told so, options before the addresses.
TEST_F(BuiltinMapi, ClientCommandLine) {
    MailClient client;
    ASSERT_EQ(fxk_mapi_logon(), 0);
    ASSERT_EQ(fxk_mapi_send("a@x.example; Name <n@x.example>", nullptr, nullptr, "Patch \xe9t\xe9",
                            "Body\r\nline", "M:\\p\\fix1.kvz", nullptr, 1),
              0);
    std::vector<std::string> args = client.args();
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ(args[0], "--utf8");
    EXPECT_EQ(client.option("--attach"), drive_ + "/p/fix1.kvz");
    // The recipients close the command line, as addresses.
    EXPECT_EQ(std::vector<std::string>(args.end() - 2, args.end()),
              (std::vector<std::string>{"a@x.example", "n@x.example"}));
}

// The platform's run-time modules and file search, which the mail layer finds MAPI through.
TEST_F(BuiltinMapi, PlatformFindsFilesAndModules) {
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
