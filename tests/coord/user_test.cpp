// The user layer against the real queue and file managers: the installation driver's user
// pass in its order of calls, the user log, the close guard, and the lock-order check.
#include "kernel/coord/queue.h"
#include "tests/coord/manager_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace kova_test {
namespace {

class UserTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        qm_ = &start("kvqm");
        start("kvfm");
    }
    void TearDown() override {
        fxk_user_detach();
        ManagerTest::TearDown();
    }

    // What a signed-on user of slot `slot` leaves behind: an occupied slot in the table and a
    // users record with the function it runs.
    void sign_on(uint16_t slot, char activity) {
        CXI_QUEUE_SYSTEM user;
        ASSERT_EQ(0, user.connect());
        TXI_QUEUE q;
        ASSERT_EQ(0, user.open("KOVAuser", 8, &q));
        std::vector<uint8_t> table(q.size);
        ASSERT_EQ(0, user.read(&q, table.data(), 0));
        uint8_t *entry = table.data() + 8 + 8 * slot;
        const uint8_t occupied[8] = {1, 0x34, ' ', ' ', ' ', 0x12, 'R', 0};
        std::memcpy(entry, occupied, 8);
        ASSERT_EQ(0, user.write(&q, table.data(), 0));
        user.disconnect();

        std::string users = read_file(home_ + "/kovausrs");
        ASSERT_GE(users.size(), 64u * (slot + 1));
        std::string record(64, ' ');
        record.replace(22, 35, std::string("Sales ledger posting") + std::string(15, ' '));
        record[57] = activity;
        users.replace(64 * slot, 64, record);
        write_file(home_ + "/kovausrs", users);
    }

    Background *qm_ = nullptr;
};

TEST_F(UserTest, UserPassInTheInstallationDriversOrder) {
    kova_test::set_env("KOVADOMAIN", "Y");
    write_file(home_ + "/lxkuser.log", "");

    // The first pass finds no user table: the attachment makes it, every slot free.
    ASSERT_TRUE(fxk_user_attach());
    EXPECT_TRUE(fxk_user_attached());
    ASSERT_EQ(62, fxk_user_slots());
    const std::vector<uint8_t> &table = fxk_user_table();
    ASSERT_EQ(504u, table.size());
    EXPECT_EQ(0, std::memcmp(table.data(), "KOVA\x07\x40\0\0", 8));
    for (uint16_t slot = 0; slot < 62; ++slot) EXPECT_FALSE(fxk_user_slot_used(slot));
    EXPECT_EQ(2, fxk_user_close_guard()); // the table greyed the close command
    ASSERT_EQ(1, fxk_user_openfile());
    EXPECT_EQ(64u * 62, read_file(home_ + "/kovausrs").size());
    fxk_user_closfile(0);
    EXPECT_EQ(2, fxk_user_close_guard()); // giving the semaphore back leaves the table's grey
    uint16_t elsewhere = 1;
    std::thread([&] { elsewhere = fxk_user_writeqmsg(); }).join();
    EXPECT_EQ(0, elsewhere); // a thread that never took the table writes nothing
    EXPECT_EQ(0, fxk_user_writeqmsg());
    EXPECT_EQ(0, fxk_user_close_guard());
    fxk_user_detach();
    EXPECT_FALSE(fxk_user_attached());

    // A user signs on; the next pass reads that user's record, then stops the queue manager.
    sign_on(3, 'R');
    ASSERT_TRUE(fxk_user_attach());
    ASSERT_EQ(1, fxk_user_openfile());
    std::vector<uint16_t> used;
    for (uint16_t slot = 0; slot < fxk_user_slots(); ++slot) {
        if (!fxk_user_slot_used(slot)) continue;
        used.push_back(slot);
        fxk_user_readrec(slot);
    }
    EXPECT_EQ(std::vector<uint16_t>{3}, used);
    EXPECT_EQ('R', fxk_user_record()[DXK_USER_AT_ACTIVITY]);
    EXPECT_EQ(0, std::memcmp(fxk_user_record() + DXK_USER_AT_FUNCTION, "Sales ledger posting", 20));
    fxk_user_closfile(0);
    uint16_t answer = 99;
    EXPECT_EQ(0, fxi_queue_system().connection().stop(1, &answer));
    fxk_user_detach();
    EXPECT_FALSE(fxi_queue_system().present());
    EXPECT_EQ(0, qm_->wait());

    std::string log = read_file(home_ + "/lxkuser.log");
    kova_test::unset_env("KOVADOMAIN");
    const char *expected[] = {
        "Reading MXKOVA semaphore",
        "MXKOVA semaphore read ok",
        "Writing MXKOVA semaphore",
        "MXKOVA semaphore written",
        "Not writing KOVAuser queue because not read",
        "Writing KOVAuser queue",
        "KOVAuser queue written successfully",
        "Reading KOVAuser queue",
        "KOVAuser queue read successfully",
        "Reading MXKOVA semaphore",
        "MXKOVA semaphore read ok",
    };
    size_t at = 0;
    for (const char *line : expected) {
        size_t found = log.find(std::string(line) + "\r\n", at);
        ASSERT_NE(std::string::npos, found) << line << "\n" << log;
        at = found;
    }
    EXPECT_NE(std::string::npos, log.find(" userid '' command line '")) << log;
}

TEST_F(UserTest, NoLogOutsideTheSuitesDomain) {
    kova_test::unset_env("KOVADOMAIN");
    kova_test::unset_env("USERDOMAIN");
    write_file(home_ + "/lxkuser.log", "");
    ASSERT_TRUE(fxk_user_attach());
    EXPECT_EQ(0, fxk_user_writeqmsg());
    fxk_user_detach();
    EXPECT_EQ("", read_file(home_ + "/lxkuser.log"));
}

TEST_F(UserTest, AttachmentNeedsBothManagers) {
    managers_.pop_back(); // the file manager goes
    EXPECT_FALSE(fxk_user_attach());
    EXPECT_FALSE(fxk_user_attached());
    EXPECT_FALSE(fxi_queue_system().present());
    EXPECT_EQ(DXK_USER_NO_SYSTEM, fxk_user_readqmsg());
    EXPECT_EQ(DXK_USER_NO_SYSTEM, fxk_user_writeqmsg());
}

TEST_F(UserTest, AdoptsTheSizeOfAnExistingTable) {
    // Another program made the table with 70 slots; this installation says 62.
    CXI_QUEUE_SYSTEM other;
    ASSERT_EQ(0, other.connect());
    TXI_QUEUE q;
    ASSERT_EQ(0, other.make("KOVAuser", 8 + 8 * 70, 0, &q));
    ASSERT_TRUE(fxk_user_attach());
    EXPECT_EQ(70, fxk_user_slots());
    EXPECT_EQ(0, fxk_user_writeqmsg());
    fxk_user_detach();
    other.disconnect();
}

// The table taken while the semaphore is held ends the program through the unexpected-error
// report registered above this layer; KOVA_REPORTER says which: none, one that ends the
// process, or one that wrongly comes back.
[[noreturn]] void report_and_end(const char *message) {
    std::printf("REPORTED[%s]\n", message);
    std::fflush(stdout);
    std::_Exit(7);
}

void report_and_return(const char *message) {
    std::printf("REPORTED[%s]\n", message);
    std::fflush(stdout);
}

TEST(UserChild, SequenceError) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "run by UserTest.TableAfterSemaphore";
    std::string reporter = std::getenv("KOVA_REPORTER");
    TXI_CONN_REPORTS reports;
    if (reporter == "ends") reports.unexpected_error = report_and_end;
    if (reporter == "returns") reports.unexpected_error = report_and_return;
    fxi_conn_set_reports(reports);
    fxi_set_data_home("D:\\");
    fxi_conn_init();
    ASSERT_EQ(0, fxi_queue_system().connect());
    ASSERT_EQ(1, fxk_user_openfile());
    fxk_user_readqmsg();
    ADD_FAILURE() << "the sequence error did not end the program";
}

TEST_F(UserTest, TableAfterSemaphore) {
    std::string self = self_program();
    ASSERT_NE(self, "");
    struct Case {
        const char *reporter;
        int status;
        bool reported;
        bool on_standard_error; // the layer's own last word
    } cases[] = {
        {"ends", 7, true, false},
        {"none", 1, false, true},
        {"returns", 1, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reporter);
        RunResult r = run({self, "--gtest_filter=UserChild.SequenceError"},
                          {{"KOVA_TEST_CHILD", "1"}, {"KOVA_REPORTER", c.reporter}});
        EXPECT_EQ(c.status, r.status) << r.out << r.err;
        EXPECT_EQ(c.reported,
                  r.out.find("REPORTED[KOVA QUEUE READ SEQUENCE ERROR]") != std::string::npos)
            << r.out;
        EXPECT_EQ(c.on_standard_error,
                  r.err.find("Unexpected error: KOVA QUEUE READ SEQUENCE ERROR\n") !=
                      std::string::npos)
            << r.err;
        EXPECT_EQ(std::string::npos, r.out.find("did not end the program"));
    }
}

} // namespace
} // namespace kova_test
