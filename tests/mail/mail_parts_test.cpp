// The pieces of a message: list splitting, attachment descriptors, note text, recipient limits
// and the texts of the mail codes.
#include "kernel/mail/mail.h"
#include "kernel/mail/mail_parts.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace {

TEST(MailParts, SplitsListsAtRunsOfSemicolons) {
    struct Case {
        const char *list;
        std::vector<std::string> items;
    } cases[] = {
        {"", {}}, {";;;", {}}, {"a", {"a"}}, {"a;b", {"a", "b"}}, {";;a;;b;", {"a", "b"}},
    };
    for (const Case &c : cases) EXPECT_EQ(fxk_mail_split(c.list), c.items) << c.list;
}

TEST(MailParts, AttachmentsTakeTheirPlaceAndName) {
    kova_test::TempPrefix prefix;
    std::string drive = prefix.map_drive('M');
    kova_test::write_file(drive + "/x/one.kvz", "1");
    kova_test::write_file(drive + "/two.kvz", "2");

    // Two paths separated by two semicolons and ended by one: positions 0 and 1.
    TXK_MAIL_FILES files;
    ASSERT_EQ(fxk_mail_files("M:\\x\\one.kvz;;M:\\two.kvz;", nullptr, &files), 0);
    ASSERT_EQ(files.files.size(), 2u);
    EXPECT_EQ(files.files[0].nPosition, 0u);
    EXPECT_EQ(files.files[1].nPosition, 1u);
    EXPECT_STREQ(files.files[0].lpszPathName, "M:\\x\\one.kvz");
    EXPECT_STREQ(files.files[0].lpszFileName, "one.kvz");
    EXPECT_STREQ(files.files[1].lpszFileName, "two.kvz");
    EXPECT_EQ(files.files[0].flFlags, 0u);

    // A display name gives its file-name part; without one the path's is used.
    ASSERT_EQ(fxk_mail_files("M:\\x\\one.kvz;M:\\two.kvz", "C:\\shown\\first.txt", &files), 0);
    EXPECT_STREQ(files.files[0].lpszFileName, "first.txt");
    EXPECT_STREQ(files.files[1].lpszFileName, "two.kvz");

    EXPECT_EQ(fxk_mail_files("M:\\two.kvz;M:\\missing.kvz", nullptr, &files),
              DXK_MAIL_ATTACHMENT_NOT_FOUND);
    EXPECT_EQ(fxk_mail_files("M:\\x", nullptr, &files), DXK_MAIL_ATTACHMENT_NOT_FOUND);
}

TEST(MailParts, NoteTextCoversEveryAttachment) {
    struct Case {
        const char *body;
        size_t attachments;
        bool has_note;
        std::string note;
    } cases[] = {
        {nullptr, 0, false, ""},
        {"", 0, false, ""},
        {"", 3, true, "   "},
        {"a", 3, true, "a  "},
        {"ab\x7f"
         "c",
         1, true, "ab c"},
        {"body", 0, true, "body"},
    };
    for (const Case &c : cases) {
        std::string note = "stale";
        EXPECT_EQ(fxk_mail_note(c.body, c.attachments, &note), c.has_note) << c.attachments;
        if (c.has_note) {
            EXPECT_EQ(note, c.note);
        }
    }
}

TEST(MailParts, RecipientListLimits) {
    std::vector<std::string> names;
    EXPECT_EQ(fxk_mail_recipients("  a@x.example ; ;b@x.example;", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"a@x.example", "b@x.example"}));

    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred += "user" + std::to_string(i) + "@x.example;;";
    EXPECT_EQ(fxk_mail_recipients(hundred.c_str(), &names), 0);
    EXPECT_EQ(names.size(), 100u);
    std::string hundred_and_one = hundred + "late@x.example";
    EXPECT_EQ(fxk_mail_recipients(hundred_and_one.c_str(), &names), DXK_MAIL_TOO_MANY_RECIPIENTS);

    // The limit applies to the entry without its surrounding blanks.
    std::string longest(512, 'n');
    EXPECT_EQ(fxk_mail_recipients(("  " + longest + "  ").c_str(), &names), 0);
    EXPECT_EQ(fxk_mail_recipients((longest + "n").c_str(), &names), DXK_MAIL_NAME_TOO_LONG);
}

TEST(MailParts, CodesHaveTheirTexts) {
    EXPECT_STREQ(fxk_error_text(DXK_MAIL_NOT_INSTALLED, &EXK_MAIL), "MAPI not installed");
    EXPECT_STREQ(fxk_error_text(DXK_MAIL_SEND_ABORTED, &EXK_MAIL),
                 "Operator aborted sending the message");
    EXPECT_STREQ(fxk_error_text(DXK_MAIL_TOO_MANY_RECIPIENTS, &EXK_MAIL),
                 "Too many recipients specified");
    EXPECT_STREQ(fxk_error_text(DXK_MAIL_NAME_TOO_LONG, &EXK_MAIL), "Recipient name too long");
    EXPECT_STREQ(fxk_error_text(DXK_MAIL_NO_MEMORY, &EXK_MAIL), "Unknown error");
}

} // namespace
