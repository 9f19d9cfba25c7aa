// Handing patches on: the message given to the mail client (or sent from the SMTP page on a
// terminal), and the copy into a customer's folder on the collection share.
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "patch/distribute.h"
#include "tests/mail/mail_support.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using mail_test::hex;
using mail_test::MailClient;
using mail_test::Received;
using mail_test::Screen;
using mail_test::SmtpSink;

const std::string documented_body =
    "To install the attached update, double click on it and the KOVA Brisel Patch Installer "
    "will guide you through the installation process.\r\n"
    "If the patch installer is not installed and you would like to install it now, or your "
    "currently installed copy produces the message 'Incompatible Patch File', please go to "
    "https://downloads.kova.example/kvpatch.exe \r\n\r\n"
    "NOTE:      All KOVA Brisel users will have to be out of the system to install the "
    "patch.\r\n\r\n"
    "IMPORTANT: Having installed the patch, please enter the system and run the function "
    "'Update System Files' found on the Supervisor Functions menu.";

// The body with line ends as they come out of a mail server.
std::string lf(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

// A prefix with drive S: current (its \source\patches\fix1.kvz built), a data home, and the
// collection share of the default backup server.
class Distribute : public testing::Test {
protected:
    void SetUp() override {
        cwd_ = fs::current_path();
        drive_ = prefix_.map_drive('S');
        kova_test::write_file(drive_ + "/source/patches/fix1.kvz", patch_);
        kova_test::write_file(drive_ + "/home/kova.ini", "");
        fxi_set_data_home("S:\\home\\");
        ASSERT_TRUE(SetCurrentDirectoryA("S:\\"));
    }
    void TearDown() override { fs::current_path(cwd_); }

    // \\kovabackup\kovasend reaches this folder.
    std::string share() {
        std::string server = prefix_.path() + "/dosdevices/unc/kovabackup";
        fs::create_directories(server);
        fs::create_directory_symlink(share_.path(), server + "/kovasend");
        return share_.path();
    }

    kova_test::TempPrefix prefix_;
    kova_test::TempDir share_;
    fs::path cwd_;
    std::string drive_;
    std::string patch_ = std::string("KVZ\0patch", 9);
};

TEST_F(Distribute, MailHandsThePatchToTheMailClient) {
    Screen screen;
    MailClient client;
    EXPECT_EQ(patch_mail_body(), documented_body);
    EXPECT_TRUE(patch_mail("fix1"));
    EXPECT_TRUE(screen.boxes.empty());
    std::vector<std::string> args = client.args();
    EXPECT_EQ(args, (std::vector<std::string>{"--utf8", "--body", documented_body, "--attach",
                                              drive_ + "/source/patches/fix1.kvz"}));
}

TEST_F(Distribute, MailReportsWhatStopsIt) {
    {
        // A missing patch: nothing is sent, the patches folder is made all the same.
        Screen screen;
        MailClient client;
        fs::remove_all(drive_ + "/source");
        EXPECT_FALSE(patch_mail("none"));
        EXPECT_TRUE(fs::is_directory(drive_ + "/source/patches"));
        ASSERT_EQ(screen.boxes.size(), 1u);
        EXPECT_EQ(screen.boxes[0].rfind("Unable to open mail attachment \\source\\patches\\none.kvz"
                                        " - ",
                                        0),
                  0u)
            << screen.boxes[0];
        EXPECT_NE(screen.boxes[0].find(" - mail send aborted"), std::string::npos);
        EXPECT_FALSE(client.ran());
    }
    {
        Screen screen;
        MailClient none(-1);
        kova_test::write_file(drive_ + "/source/patches/fix1.kvz", patch_);
        EXPECT_FALSE(patch_mail("fix1"));
        EXPECT_EQ(screen.boxes,
                  std::vector<std::string>{"Could not read SMTP details from kova.ini"});
    }
}

TEST_F(Distribute, QueueCopiesIntoTheCustomersFolderOnce) {
    std::string folder = share() + "/today/12";
    Screen screen;
    screen.type("12\r\r");
    EXPECT_TRUE(patch_queue("fix1"));
    EXPECT_EQ(kova_test::read_file(folder + "/fix1.kvz"), patch_);
    EXPECT_EQ(screen.boxes, std::vector<std::string>{"Patch successfully queued for collection"});

    // The copy never replaces what is already there.
    kova_test::write_file(drive_ + "/source/patches/fix1.kvz", "newer");
    screen.boxes.clear();
    screen.type("12\r\r");
    EXPECT_FALSE(patch_queue("fix1"));
    EXPECT_EQ(kova_test::read_file(folder + "/fix1.kvz"), patch_);
    EXPECT_EQ(screen.boxes, std::vector<std::string>{
                                std::string("Failed to copy '\\source\\patches\\fix1.kvz' to "
                                            "'\\\\kovabackup\\kovasend\\today\\12\\fix1.kvz'"
                                            "- ") +
                                fxk_error_text(DXI_ERR_BAD_DESTINATION, &EXI_FILE)});
}

TEST_F(Distribute, QueueFailuresAreShown) {
    struct Case {
        const char *name;
        bool share;
        const char *box; // its start
    } cases[] = {
        // Before the share is reachable (the cases run in this order).
        {"fix1", false, "Failed to create folder '\\\\kovabackup\\kovasend\\today\\12\\' - "},
        // The destination keeps the folder typed with the name; that folder is not made.
        {"work\\fix1", true,
         "Failed to copy '\\source\\patches\\fix1.kvz' to "
         "'\\\\kovabackup\\kovasend\\today\\12\\work\\fix1.kvz'- "},
        {"none", true,
         "Failed to copy '\\source\\patches\\none.kvz' to "
         "'\\\\kovabackup\\kovasend\\today\\12\\none.kvz'- "},
    };
    for (const Case &c : cases) {
        if (c.share && !fs::exists(share_ / "today")) share();
        Screen screen;
        screen.type("12\r\r");
        EXPECT_FALSE(patch_queue(c.name));
        ASSERT_EQ(screen.boxes.size(), 1u) << c.name;
        EXPECT_EQ(screen.boxes[0].rfind(c.box, 0), 0u) << screen.boxes[0];
        EXPECT_GT(screen.boxes[0].size(), std::string(c.box).size()) << "no reason given";
        EXPECT_FALSE(fs::exists(share_ / "today/12/work")) << c.name;
    }
}

TEST_F(Distribute, QueueCancelledDoesNothing) {
    share();
    Screen screen;
    screen.type("12");
    screen.keys.push_back(DXP_KEY_ESCAPE);
    EXPECT_FALSE(patch_queue("fix1"));
    EXPECT_TRUE(screen.boxes.empty());
    EXPECT_FALSE(fs::exists(share_ / "today"));
}

TEST(DistributeFolder, LicenceFieldBlanksAreDropped) {
    EXPECT_EQ(patch_collection_folder("12    "), "\\\\kovabackup\\kovasend\\today\\12\\");
    EXPECT_EQ(patch_collection_folder("123456"), "\\\\kovabackup\\kovasend\\today\\123456\\");
}

// The deployment values come from kvpatch.ini beside the program: a copy of this program in a
// folder of its own reads them there.
TEST(DistributeSettings, Child) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "runs inside DistributeSettings.Read";
    std::string both = patch_backup_server() + "|" + patch_mail_body();
    std::fputs(both.c_str(), stdout);
    std::fflush(stdout);
    std::_Exit(0);
}

TEST(DistributeSettings, Read) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir folder;
    std::string self = kova_test::self_program();
    std::string copy = folder / "kvpatch_test";
    std::error_code ec;
    fs::create_hard_link(self, copy, ec);
    if (ec) fs::copy_file(self, copy);
    kova_test::write_file(folder / "kvpatch.ini",
                          "[patch]\r\nbackupserver=collect01\r\n"
                          "downloadurl=https://example.net/get/kvpatch.exe\r\n");
    kova_test::RunResult result = kova_test::run({copy, "--gtest_filter=DistributeSettings.Child"},
                                                 {{"KOVA_TEST_CHILD", "1"}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("collect01|To install"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("please go to https://example.net/get/kvpatch.exe \r\n\r\nNOTE:"),
              std::string::npos)
        << result.out;
}

// The whole road on a terminal: no mail client, so the SMTP page comes up; the operator
// addresses it and the server receives the patch with the body intact.
TEST(DistributeSmtp, Child) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "runs inside DistributeSmtp.OnATerminal";
    fxi_set_data_home("S:\\home\\");
    SetCurrentDirectoryA("S:\\");
    patch_mail("fix1");
    std::_Exit(40);
}

TEST(DistributeSmtp, OnATerminal) {
    kova_test::TempPrefix prefix;
    std::string drive = prefix.map_drive('S');
    std::string patch(100000, '\0');
    for (size_t i = 0; i < patch.size(); ++i) patch[i] = static_cast<char>(i * 7 % 256);
    kova_test::write_file(drive + "/source/patches/fix1.kvz", patch);
    SmtpSink sink;
    ASSERT_TRUE(sink.ready());
    kova_test::write_file(drive + "/home/kova.ini",
                          "[smtp]\r\nserver=" + sink.address() +
                              "\r\ndomain=example.com\r\nbcc=archive\r\n");
    kova_test::TempDir empty_path;
    std::string self = kova_test::self_program();
    kova_test::Pty pty(
        {self, "--gtest_filter=DistributeSmtp.Child"},
        {{"KOVA_TEST_CHILD", "1"}, {"KOVA_UNATTENDED", "0"}, {"PATH", empty_path.path()}});
    ASSERT_TRUE(pty.expect("SMTP Email")) << pty.output();
    ASSERT_TRUE(pty.expect("SMTP server: [")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("To: [")) << pty.output();
    pty.send("customer@x.example\r\r\r");
    ASSERT_TRUE(pty.expect("From: [@example.com")) << pty.output();
    pty.send("\x1b[Hpatches\r");
    ASSERT_TRUE(pty.expect("Subject: [")) << pty.output();
    pty.send("Update fix1\r\r\r");
    ASSERT_TRUE(pty.expect("Send")) << pty.output();
    pty.send("\r");
    EXPECT_EQ(pty.wait(), 40) << pty.output();

    Received got;
    ASSERT_TRUE(sink.wait_for(1, &got)) << pty.output();
    EXPECT_EQ(got.get("mail-from"), "patches@example.com");
    EXPECT_EQ(got.get("rcpt"), "customer@x.example,archive@example.com");
    EXPECT_EQ(got.get("header-subject"), "Update fix1");
    EXPECT_EQ(got.get("text"), hex(lf(documented_body)));
    EXPECT_EQ(got.all("attachment"), std::vector<std::string>{"fix1.kvz " + hex(patch)});
}

} // namespace
