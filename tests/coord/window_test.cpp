// The window transport against the real queue manager on Windows: a manager that offers no
// named events is reached through its window, carries full-size messages and multi-chunk
// replies, and neither side is left waiting when the other is killed. Also the access rules of
// the named objects that a manager and its clients share across accounts and sessions.
#include "kernel/coord/conn.h"
#include "kernel/coord/conn_shm.h"
#include "kernel/coord/queue.h"
#include "tests/coord/manager_fixture.h"

#include <aclapi.h>

#include <cstdlib>
#include <future>
#include <thread>

namespace kova_test {
namespace {

constexpr int kill_signal = 9;

uint16_t connect_queue(CXI_CONN &conn, uint16_t *confirmed) {
    return conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                        confirmed);
}

using WindowTest = ManagerTest;

TEST_F(WindowTest, ManagerWithoutNamedEventsIsReachedThroughItsWindow) {
    Background &qm = start("kvqm", {"--no-named-events"});
    ASSERT_NE(std::string::npos, qm.output().find("window offered")) << qm.output();
    CXI_CONN conn;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, connect_queue(conn, &confirmed)) << qm.output();
    EXPECT_EQ(TXI_CONN_TRANSPORT::window_messages, conn.transport());
    EXPECT_EQ(INVALID_SOCKET, conn.state().socket());
    EXPECT_EQ(1, confirmed); // the window was found
    EXPECT_NE(0, conn.state().client_number);
    std::string seen = "(process " + std::to_string(GetCurrentProcessId()) + ", window) attached";
    EXPECT_TRUE(eventually([&] { return qm.output().find(seen) != std::string::npos; }))
        << qm.output();
    uint16_t signoff = 99;
    EXPECT_EQ(0, conn.disconnect(&signoff));
    EXPECT_EQ(0, signoff);
    EXPECT_EQ(TXI_CONN_TRANSPORT::none, conn.transport());
    EXPECT_TRUE(eventually([&] { return qm.output().find("detached") != std::string::npos; }))
        << qm.output();
    // A program of the suite in another process says so too.
    Background client({program("kvclient"), "--queue", "D:\\"});
    EXPECT_EQ(0, client.wait());
    EXPECT_NE(std::string::npos,
              client.output().find("over the manager's window as client 2, no socket open"))
        << client.output();
}

TEST_F(WindowTest, BothManagersStopWhenAskedThroughTheirWindows) {
    struct Case {
        const char *program;
        uint16_t manager;
        uint16_t size;
    } cases[] = {
        {"kvqm", DXI_CONN_QUEUE_MANAGER, DXI_CONN_QUEUE_SIZE},
        {"kvfm", DXI_CONN_FILE_MANAGER, fxi_conn_file_size(24)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.program);
        Background &manager = start(c.program, {"--no-named-events"});
        CXI_CONN conn;
        uint16_t confirmed = 0;
        ASSERT_EQ(0, conn.connect(nullptr, c.manager, 0, c.size, nullptr, &confirmed))
            << manager.output();
        ASSERT_EQ(TXI_CONN_TRANSPORT::window_messages, conn.transport());
        // The answer reaches the client before the manager's window goes with the manager.
        uint16_t answer = 99;
        EXPECT_EQ(0, conn.stop(0, &answer));
        EXPECT_EQ(0, answer);
        EXPECT_EQ(0, manager.wait()) << manager.output();
        EXPECT_EQ(TXI_CONN_TRANSPORT::none, conn.transport());
    }
}

TEST_F(WindowTest, ClosingTheManagersWindowEndsTheManager) {
    // As taskkill without /f does: the window is a top-level window of the manager's process.
    Background &qm = start("kvqm");
    HWND window = FindWindowA("KOVA Queue Manager", nullptr);
    ASSERT_NE(nullptr, window) << qm.output();
    ASSERT_TRUE(PostMessageA(window, WM_CLOSE, 0, 0));
    EXPECT_EQ(0, qm.wait()) << qm.output();
    EXPECT_NE(std::string::npos, qm.output().find("asked to end through the window"))
        << qm.output();
}

TEST_F(WindowTest, FullSizeMessagesAndMultiChunkRepliesThroughTheWindow) {
    Background &qm = start("kvqm", {"--no-named-events"});
    // Two clients in one process: each connection has its own window and block.
    CXI_QUEUE_SYSTEM writer, reader;
    ASSERT_EQ(0, writer.connect());
    ASSERT_EQ(0, reader.connect());
    ASSERT_EQ(TXI_CONN_TRANSPORT::window_messages, writer.connection().transport());
    ASSERT_EQ(TXI_CONN_TRANSPORT::window_messages, reader.connection().transport());
    expect_records_of_every_size(writer, reader, "WIN", qm);
    // A reader that waits is answered when the other client writes: the grant reaches it
    // through its own window while it waits.
    TXI_QUEUE made, opened;
    ASSERT_EQ(0, writer.make("WINWAIT", 8, 1, &made)); // empty until written
    ASSERT_EQ(0, reader.open("WINWAIT", 8, &opened));
    uint8_t got[8] = {};
    auto waiting = std::async(std::launch::async, [&] { return reader.read(&opened, got, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint8_t sent[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, writer.write(&made, sent, 1));
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(0, waiting.get());
    EXPECT_EQ(0, std::memcmp(sent, got, sizeof got));
    // A message the manager cannot take drops the client, which is told so at once instead of
    // waiting for a reply while the manager's window is still there.
    uint8_t message[DXI_CONN_QUEUE_SIZE];
    std::fill(std::begin(message), std::end(message), uint8_t(0xA5));
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, reader.connection().transact(message, message));
    EXPECT_EQ(0, writer.open("WIN1", 1, &made)); // the other client is served on
    writer.disconnect();
    reader.disconnect();
}

TEST_F(WindowTest, ManagerKilledMidExchangeFailsTheClient) {
    Background &qm = start("kvqm", {"--no-named-events"});
    CXI_QUEUE_SYSTEM system;
    ASSERT_EQ(0, system.connect());
    ASSERT_EQ(TXI_CONN_TRANSPORT::window_messages, system.connection().transport());
    TXI_QUEUE sem;
    ASSERT_EQ(0, system.sem_make("WXKILL", &sem));
    auto exchanges = exchange_until_failure(system, sem);
    qm.signal(kill_signal);
    ASSERT_EQ(std::future_status::ready, exchanges.wait_for(std::chrono::seconds(10)))
        << "the client still waits for a manager whose window is gone";
    // The semaphore layer reports its exchange failed; the connection says why.
    EXPECT_EQ(DXI_SEM_EXCHANGE, exchanges.get());
    uint16_t failed = system.connection().status();
    EXPECT_TRUE(failed == DXI_CONN_SEND_FAILED || failed == DXI_CONN_RECEIVE_FAILED) << failed;
    EXPECT_EQ(128 + kill_signal, qm.wait());
}

// Run as a child by the next test: holds a semaphore through the window until killed.
TEST(WindowChild, HoldsASemaphore) {
    if (!std::getenv("KOVA_TEST_CHILD")) GTEST_SKIP() << "run by WindowTest.ClientKilled...";
    hold_semaphore_until_killed(TXI_CONN_TRANSPORT::window_messages, "WXHELD");
}

TEST_F(WindowTest, ClientKilledWhileHoldingASemaphoreIsNoticedByTheManager) {
    // The manager notices the client's window go with its process and gives the semaphore back.
    Background &qm = start("kvqm", {"--no-named-events"});
    expect_semaphore_freed_when_holder_killed("WindowChild.HoldsASemaphore", "WXHELD", qm);
    EXPECT_NE(std::string::npos, qm.output().find("went away")) << qm.output();
}

// ---- Access rules ----

// The rights the access list of the object `name` grants to one well-known group, generic
// rights mapped as the object's kind maps them; `present` tells whether the list names it.
struct Granted {
    bool list_present = false;
    bool null_list = false;
    ACCESS_MASK mask = 0;
};

Granted granted_to(HANDLE object, WELL_KNOWN_SID_TYPE who, const GENERIC_MAPPING &mapping) {
    Granted g;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return g;
    g.list_present = true;
    g.null_list = dacl == nullptr;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    CreateWellKnownSid(who, nullptr, sid, &sid_size);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        if (EqualSid(&ace->SidStart, sid)) {
            ACCESS_MASK mask = ace->Mask;
            MapGenericMask(&mask, const_cast<GENERIC_MAPPING *>(&mapping));
            g.mask |= mask;
        }
    }
    LocalFree(descriptor);
    return g;
}

TEST_F(WindowTest, SharedObjectsLetEverySignedOnUserInButNotRewriteTheirRules) {
    start("kvqm");
    CXI_CONN conn;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, connect_queue(conn, &confirmed));
    ASSERT_EQ(TXI_CONN_TRANSPORT::shared_memory, conn.transport());

    constexpr ACCESS_MASK event_query_state = 0x0001; // not in every SDK's headers
    const GENERIC_MAPPING event_mapping{STANDARD_RIGHTS_READ | event_query_state,
                                        STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                        STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
    const GENERIC_MAPPING section_mapping{STANDARD_RIGHTS_READ | SECTION_QUERY | SECTION_MAP_READ,
                                          STANDARD_RIGHTS_WRITE | SECTION_MAP_WRITE,
                                          STANDARD_RIGHTS_EXECUTE | SECTION_MAP_EXECUTE,
                                          SECTION_ALL_ACCESS};
    std::string home = fxi_conn_shm_home(fxi_data_home());
    std::string announce = fxi_conn_shm_announce_base(DXI_CONN_QUEUE_MANAGER, home);
    std::string request = fxi_conn_shm_base(DXI_CONN_QUEUE_MANAGER, GetCurrentProcessId(), 0, home);
    std::string block = fxi_conn_shm_block_name(DXI_CONN_QUEUE_MANAGER, GetCurrentProcessId(), 0,
                                                TXI_SHM_NAMESPACE::global);
    struct Case {
        const char *what;
        HANDLE object;
        const GENERIC_MAPPING &mapping;
        ACCESS_MASK needed;
    } cases[] = {
        // Made by the manager (another process), opened here by name.
        {"the announcement event",
         OpenEventA(READ_CONTROL | SYNCHRONIZE, FALSE, (announce + "Q").c_str()), event_mapping,
         EVENT_MODIFY_STATE | SYNCHRONIZE},
        {"the announcement block",
         OpenFileMappingA(READ_CONTROL | FILE_MAP_READ, FALSE, announce.c_str()), section_mapping,
         SECTION_MAP_READ | SECTION_MAP_WRITE},
        // Made by this client, opened by the manager.
        {"the client's request event", OpenEventA(READ_CONTROL, FALSE, request.c_str()),
         event_mapping, EVENT_MODIFY_STATE | SYNCHRONIZE},
        {"the client's block", OpenFileMappingA(READ_CONTROL, FALSE, block.c_str()),
         section_mapping, SECTION_MAP_READ | SECTION_MAP_WRITE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(nullptr, c.object) << GetLastError();
        Granted users = granted_to(c.object, WinAuthenticatedUserSid, c.mapping);
        ASSERT_TRUE(users.list_present);
        EXPECT_FALSE(users.null_list) << "a null access list lets anyone rewrite it";
        EXPECT_EQ(c.needed, users.mask & c.needed);
        EXPECT_EQ(0u, users.mask & (WRITE_DAC | WRITE_OWNER));
        Granted system = granted_to(c.object, WinLocalSystemSid, c.mapping);
        EXPECT_EQ(c.mapping.GenericAll, system.mask & c.mapping.GenericAll);
        CloseHandle(c.object);
    }
    EXPECT_EQ(0, conn.disconnect(nullptr));
}

} // namespace
} // namespace kova_test
