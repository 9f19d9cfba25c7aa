// The shared-memory transport against the real queue manager: a client on this machine gets
// it without any socket, carries full-size messages and long multi-chunk replies over it,
// falls back to the socket when told to or when shared memory is not offered, and neither
// side is left waiting when the other is killed.
#include "kernel/coord/conn.h"
#include "kernel/coord/conn_shm.h"
#include "kernel/coord/conn_window.h"
#include "kernel/coord/queue.h"
#include "platform/host.h"
#include "tests/coord/manager_fixture.h"

#include <cstdlib>
#include <future>
#include <map>
#include <thread>

namespace kova_test {
namespace {

constexpr int kill_signal = 9;

// Where the named objects are emulated a client takes shared memory only when asked to;
// elsewhere it is its first choice anyway.
class ShmTest : public ManagerTest {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("LXICONN_SHARED_MEMORY", "1");
        ManagerTest::SetUp();
    }
    void TearDown() override {
        ManagerTest::TearDown();
        SetEnvironmentVariableA("LXICONN_SHARED_MEMORY", nullptr);
    }
};

uint16_t connect_queue(CXI_CONN &conn, const char *server) {
    uint16_t confirmed = 0;
    return conn.connect(server, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                        &confirmed);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, nullptr); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
};

TEST_F(ShmTest, ClientOnThisMachineUsesSharedMemoryWithoutASocket) {
    Background &qm = start("kvqm");
    CXI_CONN conn;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, DXI_CONN_SESSION,
                              DXI_CONN_QUEUE_SIZE, nullptr, &confirmed));
    EXPECT_EQ(TXI_CONN_TRANSPORT::shared_memory, conn.transport());
    EXPECT_EQ(INVALID_SOCKET, conn.state().socket());
    EXPECT_EQ(1, confirmed);
    EXPECT_NE(0, conn.state().client_number);
    // The manager saw the attach come from this process, not from a socket peer.
    std::string seen = "(process " + std::to_string(GetCurrentProcessId()) + ") attached";
    EXPECT_TRUE(eventually([&] { return qm.output().find(seen) != std::string::npos; }))
        << qm.output();
    EXPECT_EQ(std::string::npos, qm.output().find("(127.0.0.1:")) << qm.output();
    uint16_t signoff = 99;
    EXPECT_EQ(0, conn.disconnect(&signoff));
    EXPECT_EQ(0, signoff);
    EXPECT_EQ(TXI_CONN_TRANSPORT::none, conn.transport());
    EXPECT_TRUE(eventually([&] { return qm.output().find("detached") != std::string::npos; }));
}

TEST_F(ShmTest, FullSizeMessagesAndMultiChunkRepliesOverSharedMemory) {
    Background &qm = start("kvqm");
    // Two clients in one process: each connection has its own block and events.
    CXI_QUEUE_SYSTEM writer, reader;
    ASSERT_EQ(0, writer.connect());
    ASSERT_EQ(0, reader.connect());
    ASSERT_EQ(TXI_CONN_TRANSPORT::shared_memory, writer.connection().transport());
    ASSERT_EQ(TXI_CONN_TRANSPORT::shared_memory, reader.connection().transport());
    expect_records_of_every_size(writer, reader, "SHM", qm);
    // A raw message of the full size with a request the manager does not know is refused by
    // dropping the client, which the client sees as a failed exchange, not as a hang.
    uint8_t message[DXI_CONN_QUEUE_SIZE];
    std::fill(std::begin(message), std::end(message), uint8_t(0xA5));
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, reader.connection().transact(message, message));
    TXI_QUEUE again;
    EXPECT_EQ(0, writer.open("SHM1", 1, &again)); // the other client is served on
    writer.disconnect();
    reader.disconnect();
}

TEST_F(ShmTest, FallsBackToTheSocket) {
    start("kvqm");
    std::string port = std::to_string(published_port(DXI_CONN_QUEUE_MANAGER));
    std::string explicit_address = "127.0.0.1:" + port;
    struct Case {
        const char *what;
        const char *server;
        bool forced;
        bool not_asked = false; // without LXICONN_SHARED_MEMORY
    } cases[] = {
        {"forced to the socket", nullptr, true},
        {"an explicit address", explicit_address.c_str(), false},
        {"another computer's name", "KOVA-ELSEWHERE", false},
        {"shared memory not asked for", nullptr, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ScopedEnv> forced;
        if (c.forced) forced = std::make_unique<ScopedEnv>("LXICONN_FORCE_WINSOCK", "1");
        if (c.not_asked) SetEnvironmentVariableA("LXICONN_SHARED_MEMORY", nullptr);
        CXI_CONN conn;
        ASSERT_EQ(0, connect_queue(conn, c.server));
        // Emulated named objects are taken only when asked for; native ones always.
        bool shared = c.not_asked && kova_named_objects_native();
        EXPECT_EQ(shared ? TXI_CONN_TRANSPORT::shared_memory : TXI_CONN_TRANSPORT::socket,
                  conn.transport());
        EXPECT_EQ(!shared, conn.state().socket() != INVALID_SOCKET);
        EXPECT_EQ(0, conn.disconnect(nullptr));
    }
}

TEST_F(ShmTest, ManagerOfferingNoSharedMemoryIsReachedBySocket) {
    Background &qm = start("kvqm", {"--socket-only"});
    CXI_CONN conn;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                              &confirmed));
    EXPECT_EQ(TXI_CONN_TRANSPORT::socket, conn.transport());
    EXPECT_EQ(1, confirmed); // through the address file
    EXPECT_EQ(std::string::npos, qm.output().find("shared memory offered")) << qm.output();
    EXPECT_EQ(0, conn.disconnect(nullptr));
}

TEST_F(ShmTest, ManagerWithoutNamedEventsIsReachedThroughItsWindowElseBySocket) {
    Background &qm = start("kvqm", {"--no-named-events"});
    CXI_CONN conn;
    ASSERT_EQ(0, connect_queue(conn, nullptr));
    // Only a system with window messages has the window transport; elsewhere the client goes
    // on to the socket.
    EXPECT_EQ(fxi_conn_window_messages() ? TXI_CONN_TRANSPORT::window_messages
                                         : TXI_CONN_TRANSPORT::socket,
              conn.transport())
        << qm.output();
    EXPECT_EQ(std::string::npos, qm.output().find("shared memory offered")) << qm.output();
    EXPECT_EQ(0, conn.disconnect(nullptr));
}

TEST_F(ShmTest, EachTransportOpensOnlyItsOwnBlockOfAnId) {
    // A window's handle value may equal another client's process id: the window transport's
    // block lives in the session, the named-event one machine-wide, and neither is taken for
    // the other.
    constexpr uint32_t id = 0x1234;
    struct Case {
        TXI_SHM_NAMESPACE widest;
        uint8_t mark;
    } cases[] = {{TXI_SHM_NAMESPACE::global, 0x61}, {TXI_SHM_NAMESPACE::local, 0x62}};
    TXI_CONN_HANDLE made[2];
    for (size_t i = 0; i < 2; ++i) {
        made[i].reset(fxi_conn_shm_create_block(DXI_CONN_QUEUE_MANAGER, id, 0, 8, cases[i].widest));
        ASSERT_TRUE(made[i]);
        TXI_CONN_VIEW view;
        view.reset(MapViewOfFile(made[i].get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(nullptr, view.get());
        view.get()[1] = cases[i].mark;
    }
    for (const Case &c : cases) {
        TXI_CONN_HANDLE opened(fxi_conn_shm_open_block(DXI_CONN_QUEUE_MANAGER, id, 0,
                                                       GetCurrentProcessId(), c.widest));
        ASSERT_TRUE(opened);
        TXI_CONN_VIEW view;
        view.reset(MapViewOfFile(opened.get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(nullptr, view.get());
        EXPECT_EQ(c.mark, view.get()[1]);
    }
}

TEST_F(ShmTest, SuiteClientReportsItsTransport) {
    start("kvqm");
    struct Case {
        bool forced;
        const char *expected;
    } cases[] = {
        {false, "reached the queue manager over shared memory as client 1, no socket open"},
        {true, "reached the queue manager over the socket as client 2, socket open"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        std::map<std::string, std::string> env;
        if (c.forced) env["LXICONN_FORCE_WINSOCK"] = "1";
        Background client({program("kvclient"), "--queue", "D:\\"}, env);
        EXPECT_EQ(0, client.wait());
        EXPECT_NE(std::string::npos, client.output().find(c.expected)) << client.output();
    }
}

TEST_F(ShmTest, ManagerKilledMidExchangeFailsTheClientAndLeavesNoOffer) {
    Background &qm = start("kvqm");
    CXI_QUEUE_SYSTEM system;
    ASSERT_EQ(0, system.connect());
    ASSERT_EQ(TXI_CONN_TRANSPORT::shared_memory, system.connection().transport());
    TXI_QUEUE sem;
    ASSERT_EQ(0, system.sem_make("MXKILL", &sem));
    auto exchanges = exchange_until_failure(system, sem);
    qm.signal(kill_signal);
    ASSERT_EQ(std::future_status::ready, exchanges.wait_for(std::chrono::seconds(10)))
        << "the client still waits for a manager that was killed";
    EXPECT_NE(0, exchanges.get());
    EXPECT_EQ(128 + kill_signal, qm.wait());

    // What the killed manager left is no offer of shared memory: the connect goes on to the
    // address file, which is stale.
    CXI_CONN conn;
    EXPECT_EQ(DXI_CONN_NO_ADDRESS, connect_queue(conn, nullptr));
    EXPECT_EQ(TXI_CONN_TRANSPORT::none, conn.transport());
}

// Run as a child by the next test: holds a semaphore over shared memory until killed.
TEST(ShmChild, HoldsASemaphore) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "run by ShmTest.ClientKilled...";
    hold_semaphore_until_killed(TXI_CONN_TRANSPORT::shared_memory, "MXHELD");
}

TEST_F(ShmTest, ClientKilledWhileHoldingASemaphoreIsNoticedByTheManager) {
    // The manager notices the client's end by its mutex and gives the semaphore back.
    Background &qm = start("kvqm");
    expect_semaphore_freed_when_holder_killed("ShmChild.HoldsASemaphore", "MXHELD", qm);
}

} // namespace
} // namespace kova_test
