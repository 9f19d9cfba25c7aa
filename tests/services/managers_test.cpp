// The stand-in managers as processes: bad clients lose only their own connection, a
// semaphore of a vanished client is given back, what is given back goes to the client that
// waited, an unfinished message changes nothing, the
// file manager's message size, one manager per data home, ending on a signal, and the suite
// client that ends when the shutdown event is set.
#include "kernel/coord/queue.h"
#include "tests/coord/manager_fixture.h"

#include <thread>

namespace kova_test {
namespace {

using Managers = ManagerTest;

// A socket to the manager that has not attached.
SOCKET raw_connect(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to));
    return s;
}

// True once the manager has closed the connection (it reads as the end).
bool closed_by_peer(SOCKET s) {
    char byte;
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return WSAPoll(&p, 1, 5000) == 1 && recv(s, &byte, 1, 0) == 0;
}

TEST_F(Managers, BadClientsLoseOnlyTheirOwnConnection) {
    Background &qm = start("kvqm");
    CXI_QUEUE_SYSTEM good;
    ASSERT_EQ(0, good.connect());
    TXI_QUEUE q;
    ASSERT_EQ(0, good.make("GOOD", 4, 0, &q));
    uint16_t port = published_port(DXI_CONN_QUEUE_MANAGER);

    std::string request(DXI_CONN_QUEUE_SIZE, '\0');
    request[0] = DXI_QUEUE_OPEN;
    SOCKET unattached = raw_connect(port);
    ASSERT_EQ(DXI_CONN_QUEUE_SIZE, send(unattached, request.data(), DXI_CONN_QUEUE_SIZE, 0));
    EXPECT_TRUE(closed_by_peer(unattached));
    closesocket(unattached);

    CXI_CONN unknown;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, unknown.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                                 &confirmed));
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {77};
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, unknown.transact(message, message));

    SOCKET partial = raw_connect(port);
    ASSERT_EQ(10, send(partial, request.data(), 10, 0));
    closesocket(partial);

    // Through all of it the good client is served.
    uint8_t data[4];
    EXPECT_EQ(0, good.read(&q, data, 1));
    EXPECT_EQ(0, good.write(&q, data, 1));
    good.disconnect();
    EXPECT_TRUE(eventually([&] {
        return qm.log().find("in the middle of a message (10 of 534") != std::string::npos;
    })) << qm.log();
    EXPECT_NE(std::string::npos, qm.log().find("request before attach"));
    EXPECT_NE(std::string::npos, qm.log().find("malformed message"));
}

TEST_F(Managers, SemaphoreOfAVanishedClientIsGivenBack) {
    start("kvqm");
    CXI_QUEUE_SYSTEM holder, waiter;
    ASSERT_EQ(0, holder.connect());
    ASSERT_EQ(0, waiter.connect());
    TXI_QUEUE held, wanted;
    ASSERT_EQ(0, holder.sem_make("MXKOVA", &held));
    ASSERT_EQ(0, waiter.sem_open("MXKOVA", &wanted));
    EXPECT_EQ(DXI_SEM_BUSY, waiter.sem_read(&wanted, 1));
    holder.connection().close(); // gone without giving it back
    EXPECT_TRUE(eventually([&] { return waiter.sem_read(&wanted, 1) == 0; }));
    EXPECT_EQ(1, wanted.taken);
    waiter.disconnect();
}

TEST_F(Managers, WhatIsGivenBackGoesToTheClientThatWaited) {
    start("kvqm");
    CXI_QUEUE_SYSTEM busy, patient;
    ASSERT_EQ(0, busy.connect());
    ASSERT_EQ(0, patient.connect());
    TXI_QUEUE mine, theirs;
    ASSERT_EQ(0, busy.sem_make("MXKOVA", &mine));
    ASSERT_EQ(0, patient.sem_open("MXKOVA", &theirs));
    uint16_t status = 1;
    std::thread waiter([&] { status = patient.sem_read(&theirs, 0); });
    Sleep(1200);
    // The client that gives the semaphore back cannot take it again ahead of a client that has
    // waited for more than a second.
    ASSERT_EQ(0, busy.sem_write(&mine, 0));
    EXPECT_EQ(DXI_SEM_BUSY, busy.sem_read(&mine, 1));
    waiter.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, theirs.taken);
    busy.disconnect();
    patient.disconnect();
}

TEST_F(Managers, UnfinishedMessageChangesNothing) {
    start("kvqm");
    CXI_QUEUE_SYSTEM first, second;
    ASSERT_EQ(0, first.connect());
    ASSERT_EQ(0, second.connect());
    TXI_QUEUE q, theirs;
    ASSERT_EQ(0, first.make("TABLE", 504, 1, &q));
    ASSERT_EQ(0, second.open("TABLE", 504, &theirs));
    // The first chunk of a two-chunk message is taken, then the writer vanishes.
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    fxi_conn_put16(message, DXI_QUEUE_WRITE);
    fxi_queue_handle_encode(q, message + DXI_QUEUE_AT_HANDLE);
    std::memset(message + DXI_QUEUE_AT_DATA, 'x', DXI_QUEUE_CHUNK);
    ASSERT_EQ(0, first.connection().transact(message, message));
    ASSERT_EQ(0, fxi_conn_get16(message));
    first.connection().close();

    std::vector<uint8_t> table(504, 'y'), got(504, 0);
    EXPECT_TRUE(eventually([&] { return second.write(&theirs, table.data(), 1) == 0; }));
    ASSERT_EQ(0, second.read(&theirs, got.data(), 1));
    EXPECT_EQ(table, got);
    second.disconnect();
}

TEST_F(Managers, HandleOfAnotherSizeIsRefused) {
    start("kvqm");
    CXI_QUEUE_SYSTEM client;
    ASSERT_EQ(0, client.connect());
    TXI_QUEUE q;
    ASSERT_EQ(0, client.make("SIZED", 600, 0, &q));
    q.size = 100; // the chunks would no longer match
    std::vector<uint8_t> data(600);
    EXPECT_EQ(DXI_QUEUE_EXCHANGE, client.read(&q, data.data(), 1));
    client.disconnect();
}

TEST_F(Managers, FileManagerMessageSizeFollowsTheReleaseLevel) {
    for (int release : {23, 24}) {
        SCOPED_TRACE(release);
        write_ini("[system]\r\nrelease=" + std::to_string(release) + "\r\n");
        Background &fm = start("kvfm");
        uint16_t size = fxi_conn_file_size(static_cast<uint8_t>(release));
        CXI_CONN conn;
        uint16_t confirmed = 0;
        ASSERT_EQ(0, conn.connect(nullptr, DXI_CONN_FILE_MANAGER, 0, size, nullptr, &confirmed));
        uint16_t answer = 99;
        EXPECT_EQ(0, conn.stop(0, &answer));
        EXPECT_EQ(0, answer);
        EXPECT_EQ(0, fm.wait());
    }
}

TEST_F(Managers, OneManagerPerDataHome) {
    start("kvqm");
    std::vector<std::string> argv = {program("kvqm"), home_};
    Background second(argv, home_ + "/second.log");
    EXPECT_EQ(1, second.wait());
    EXPECT_NE(std::string::npos, second.log().find("another manager holds")) << second.log();
    CXI_CONN conn;
    uint16_t confirmed = 0;
    EXPECT_EQ(0, conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                              &confirmed));
}

TEST_F(Managers, EndsCleanlyOnATerminationSignal) {
    Background &qm = start("kvqm");
    CXI_CONN conn;
    uint16_t confirmed = 0;
    ASSERT_EQ(0, conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                              &confirmed));
    qm.signal(SIGTERM);
    EXPECT_EQ(0, qm.wait());
    EXPECT_FALSE(std::filesystem::exists(address_file(DXI_CONN_QUEUE_MANAGER)));
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {3};
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, conn.transact(message, message));
}

TEST_F(Managers, SuiteClientsEndWhenTheShutdownEventIsSet) {
    Background &a = start("kvclient");
    Background &b = start("kvclient");
    ASSERT_TRUE(eventually([&] {
        return a.log().find("waiting") != std::string::npos &&
               b.log().find("waiting") != std::string::npos;
    }));
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\LXKSYS_SHUTDOWN_PENDING");
    ASSERT_NE(nullptr, event);
    EXPECT_TRUE(SetEvent(event));
    CloseHandle(event);
    EXPECT_EQ(0, a.wait());
    EXPECT_EQ(0, b.wait());
    EXPECT_EQ(nullptr, OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\LXKSYS_SHUTDOWN_PENDING"));
}

} // namespace
} // namespace kova_test
