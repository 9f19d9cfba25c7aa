// Queues and semaphores against the real queue manager: statuses, messages of two chunks,
// waiting readers, writers and semaphore takers, and the background executor's commands.
#include "kernel/coord/queue.h"
#include "tests/coord/manager_fixture.h"

#include <numeric>
#include <thread>

namespace kova_test {
namespace {

class QueueTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        qm_ = &start("kvqm");
        ASSERT_EQ(0, fxi_queue_system().connect());
        ASSERT_EQ(0, other_.connect());
    }
    void TearDown() override {
        other_.disconnect();
        fxi_queue_system().disconnect();
        ManagerTest::TearDown();
    }
    Background *qm_ = nullptr;
    CXI_QUEUE_SYSTEM other_; // a second program's connection
};

TEST_F(QueueTest, StatusesOfTheClientAndTheManager) {
    TXI_QUEUE q, s, closed;
    ASSERT_EQ(0, fxi_queue_make("Q1", 10, 1, &q));
    ASSERT_EQ(0, fxi_sem_make("S1", &s));
    char data[10] = {};
    struct Case {
        const char *what;
        uint16_t status, expected;
    } cases[] = {
        {"make: exists", fxi_queue_make("q1", 10, 1, &closed), DXI_QUEUE_EXISTS},
        {"make: no name", fxi_queue_make("dir\\", 10, 1, &closed), DXI_QUEUE_MAKE_NO_NAME},
        {"open: no name", fxi_queue_open("", 10, &closed), DXI_QUEUE_OPEN_NO_NAME},
        {"open: missing", fxi_queue_open("NOSUCH", 10, &closed), DXI_QUEUE_NOT_FOUND},
        {"read: empty", fxi_queue_read(&q, data, 1), DXI_QUEUE_EMPTY},
        {"write: ok", fxi_queue_write(&q, data, 1), 0},
        {"write: full", fxi_queue_write(&q, data, 1), DXI_QUEUE_FULL},
        {"close: not open", fxi_queue_close(&closed), DXI_QUEUE_NOT_OPEN},
        {"read: not open", fxi_queue_read(&closed, data, 1), DXI_QUEUE_NO_SYSTEM},
        {"sem make: exists", fxi_sem_make("S1", &closed), DXI_SEM_EXISTS},
        {"sem make: no name", fxi_sem_make("", &closed), DXI_SEM_MAKE_NO_NAME},
        {"sem open: no name", fxi_sem_open("x\\", &closed), DXI_SEM_OPEN_NO_NAME},
        {"sem read: not open", fxi_sem_read(&closed, 1), DXI_SEM_NO_SYSTEM},
        {"brun: no executor", fxi_brun_command("ping"), DXI_BRUN_ABSENT},
        {"close", fxi_queue_close(&q), 0},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, c.status) << c.what;
    EXPECT_EQ(1, q.open); // closing keeps the handle's open flag

    fxi_queue_system().set_present(false);
    EXPECT_EQ(DXI_QUEUE_NO_SYSTEM, fxi_queue_make("Q2", 1, 1, &closed));
    EXPECT_EQ(DXI_QUEUE_NO_SYSTEM, fxi_queue_open("Q1", 1, &closed));
    EXPECT_EQ(DXI_SEM_NO_SYSTEM, fxi_sem_make("S2", &closed));
    EXPECT_EQ(DXI_SEM_NO_SYSTEM, fxi_sem_open("S1", &closed));
    fxi_queue_system().set_present(true);
}

TEST_F(QueueTest, HandleNamesAndSizes) {
    TXI_QUEUE q;
    ASSERT_EQ(0, fxi_queue_make("C:\\any\\path\\LONGQUEUENAME", 300, 1, &q));
    EXPECT_STREQ("LONGQUEU", q.name);
    EXPECT_EQ(1, q.open);
    EXPECT_NE(0, q.manager);
    // Opening with a smaller size adopts the queue's real size.
    TXI_QUEUE opened;
    ASSERT_EQ(0, other_.open("longqueu", 8, &opened));
    EXPECT_EQ(300, opened.size);
    EXPECT_EQ(q.manager, opened.manager);

    uint8_t wire[DXI_QUEUE_HANDLE_SIZE];
    fxi_queue_handle_encode(q, wire);
    EXPECT_EQ(0, std::memcmp(wire, "LONGQUEU\0", 9));
    EXPECT_EQ(300 & 0xff, wire[9]);
    EXPECT_EQ(300 >> 8, wire[10]);
    EXPECT_EQ(1, wire[15]);
    TXI_QUEUE back;
    fxi_queue_handle_decode(wire, &back);
    EXPECT_STREQ(q.name, back.name);
    EXPECT_EQ(q.size, back.size);
    EXPECT_EQ(q.taken, back.taken);
    EXPECT_EQ(q.manager, back.manager);
    EXPECT_EQ(q.open, back.open);
}

TEST_F(QueueTest, UserTableOf62SlotsTravelsInTwoChunks) {
    // 8 + 8 x 62 = 504 bytes: 499 in the first message, 5 in the second.
    std::vector<uint8_t> table(504), back(504, 0);
    std::iota(table.begin(), table.end(), 0);
    TXI_QUEUE q;
    ASSERT_EQ(0, fxi_queue_make("KOVAuser", 504, 1, &q));
    CXI_QUEUE_SYSTEM &mine = fxi_queue_system();
    uint64_t sent = mine.messages_sent(), received = mine.messages_received();
    ASSERT_EQ(0, fxi_queue_write(&q, table.data(), 0));
    EXPECT_EQ(2u, mine.messages_sent() - sent); // two chunks, each answered
    EXPECT_EQ(2u, mine.messages_received() - received);

    TXI_QUEUE opened;
    ASSERT_EQ(0, other_.open("KOVAuser", 496, &opened));
    ASSERT_EQ(504, opened.size);
    sent = other_.messages_sent();
    received = other_.messages_received();
    ASSERT_EQ(0, other_.read(&opened, back.data(), 0));
    EXPECT_EQ(1u, other_.messages_sent() - sent); // one request: 499 bytes, then 5 unasked
    EXPECT_EQ(2u, other_.messages_received() - received);
    EXPECT_EQ(table, back);
    EXPECT_EQ(DXI_QUEUE_EMPTY, other_.read(&opened, back.data(), 1));
}

TEST_F(QueueTest, ReadersAndWritersWait) {
    TXI_QUEUE q, theirs;
    ASSERT_EQ(0, fxi_queue_make("WAIT", 600, 1, &q));
    ASSERT_EQ(0, other_.open("WAIT", 600, &theirs));
    std::vector<uint8_t> first(600, 'a'), second(600, 'b'), got(600, 0);

    // A reader of an empty queue waits for the writer.
    uint16_t status = 1;
    std::thread reader([&] { status = other_.read(&theirs, got.data(), 0); });
    Sleep(300);
    ASSERT_EQ(0, fxi_queue_write(&q, first.data(), 0));
    reader.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(first, got);

    // A writer of a full queue waits for a reader.
    ASSERT_EQ(0, fxi_queue_write(&q, first.data(), 0));
    std::thread writer([&] { status = other_.write(&theirs, second.data(), 0); });
    Sleep(300);
    ASSERT_EQ(0, fxi_queue_read(&q, got.data(), 0));
    EXPECT_EQ(first, got);
    writer.join();
    EXPECT_EQ(0, status);
    ASSERT_EQ(0, fxi_queue_read(&q, got.data(), 1));
    EXPECT_EQ(second, got);
}

TEST_F(QueueTest, BusySemaphoreIsWaitedFor) {
    TXI_QUEUE mine, theirs;
    ASSERT_EQ(0, fxi_sem_make("MXKOVA", &mine));
    EXPECT_EQ(1, mine.taken); // the maker holds it
    ASSERT_EQ(0, other_.sem_open("MXKOVA", &theirs));
    EXPECT_EQ(0, theirs.taken);
    EXPECT_EQ(DXI_SEM_BUSY, other_.sem_read(&theirs, 1));

    uint16_t status = 1;
    std::thread waiter([&] { status = other_.sem_read(&theirs, 0); });
    Sleep(300);
    ASSERT_EQ(0, fxi_sem_write(&mine, 0));
    EXPECT_EQ(0, mine.taken);
    waiter.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, theirs.taken);
    EXPECT_EQ(DXI_SEM_BUSY, fxi_sem_read(&mine, 1));
    EXPECT_EQ(0, other_.sem_close(&theirs));
    EXPECT_EQ(0, fxi_sem_read(&mine, 1));
}

TEST_F(QueueTest, HeldFlagAnswersWithoutAnExchange) {
    TXI_QUEUE held, free_one;
    ASSERT_EQ(0, fxi_sem_make("HELD", &held));
    ASSERT_EQ(0, fxi_sem_make("FREE", &free_one));
    ASSERT_EQ(0, fxi_sem_write(&free_one, 0));
    uint64_t before = fxi_queue_system().messages_sent();
    EXPECT_EQ(0, fxi_sem_read(&held, 0));
    EXPECT_EQ(DXI_SEM_NOT_HELD, fxi_sem_write(&free_one, 0));
    EXPECT_EQ(DXI_SEM_NOT_HELD, fxi_sem_close(&free_one));
    EXPECT_EQ(before, fxi_queue_system().messages_sent());
}

TEST_F(QueueTest, BackgroundExecutorCommands) {
    Background &brun = start("kvbrun");
    ASSERT_TRUE(eventually([&] {
        return brun.output().find("waiting for commands") != std::string::npos;
    })) << brun.output();
    EXPECT_EQ(0, fxi_brun_command("ping"));
    EXPECT_EQ(1, fxi_brun_command("no such command"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, fxi_brun_command("run Z:\\no-such-program.exe"));
    // "exit" is written and not answered: the executor ends.
    EXPECT_EQ(0, fxi_brun_command("EXIT"));
    EXPECT_EQ(0, brun.wait());
    EXPECT_NE(std::string::npos, brun.output().find("exit requested"));
}

} // namespace
} // namespace kova_test
