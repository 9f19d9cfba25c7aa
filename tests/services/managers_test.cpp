// The stand-in managers as processes: bad clients lose only their own connection, a
// semaphore of a vanished client is given back, what is given back goes to the client that
// waited, waiters are served in the order they asked, the queue manager's limits and what a
// leaving client gives back, an unfinished message changes nothing, the file manager's message
// size, one manager per data home, ending on a signal, and the suite client that ends when the
// shutdown event is set.
#include "kernel/coord/queue.h"
#include "services/kvqm.h"
#include "tests/coord/manager_fixture.h"

#include <cstdlib>
#include <dlfcn.h>
#include <memory>
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

// Resident memory of a process in KB, 0 when unknown.
size_t resident_kb(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtoul(status.c_str() + at + 6, nullptr, 10);
}

// Sends a request on `queue` without waiting for its answer.
void ask(CXI_QUEUE_SYSTEM &client, const TXI_QUEUE &queue, uint16_t operation) {
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    fxi_conn_put16(message, operation);
    fxi_queue_handle_encode(queue, message + DXI_QUEUE_AT_HANDLE);
    ASSERT_EQ(0, client.connection().transact(message, nullptr));
}

// Whether an answer waits for `client`, looking for up to `ms` milliseconds.
bool answer_waits(CXI_QUEUE_SYSTEM &client, int ms) {
    WSAPOLLFD p{client.connection().state().socket(), POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms) == 1;
}

// The status of the next answer to `client`; -1 when none comes within 5 seconds.
int answer_to(CXI_QUEUE_SYSTEM &client) {
    uint8_t message[DXI_CONN_QUEUE_SIZE];
    if (!answer_waits(client, 5000) || client.connection().receive(message) != 0) return -1;
    return fxi_conn_get16(message);
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
        return qm.output().find("in the middle of a message (10 of 534") != std::string::npos;
    })) << qm.output();
    EXPECT_NE(std::string::npos, qm.output().find("request before attach"));
    EXPECT_NE(std::string::npos, qm.output().find("malformed message"));
}

// Two clients: `holder` makes and holds the system semaphore, `waiter` opens it.
void hold_system_semaphore(CXI_QUEUE_SYSTEM &holder, TXI_QUEUE &held, CXI_QUEUE_SYSTEM &waiter,
                           TXI_QUEUE &wanted) {
    ASSERT_EQ(0, holder.connect());
    ASSERT_EQ(0, waiter.connect());
    ASSERT_EQ(0, holder.sem_make("MXKOVA", &held));
    ASSERT_EQ(0, waiter.sem_open("MXKOVA", &wanted));
}

TEST_F(Managers, SemaphoreOfAVanishedClientIsGivenBack) {
    start("kvqm");
    CXI_QUEUE_SYSTEM holder, waiter;
    TXI_QUEUE held, wanted;
    ASSERT_NO_FATAL_FAILURE(hold_system_semaphore(holder, held, waiter, wanted));
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
    Sleep(300);
    // The client that gives the semaphore back cannot take it again ahead of a client that
    // waits for it.
    ASSERT_EQ(0, busy.sem_write(&mine, 0));
    EXPECT_EQ(DXI_SEM_BUSY, busy.sem_read(&mine, 1));
    waiter.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, theirs.taken);
    busy.disconnect();
    patient.disconnect();
}

TEST_F(Managers, WaitersAreServedInTheOrderTheyAsked) {
    // Answers are looked for on the socket.
    start("kvqm", {"--socket-only"});
    // Connected in the reverse of the order in which they ask, so that the order in which the
    // manager looks at its connections cannot pass for the order of asking.
    CXI_QUEUE_SYSTEM holder, waiters[3], probe;
    ASSERT_EQ(0, holder.connect());
    for (int i = 2; i >= 0; --i) ASSERT_EQ(0, waiters[i].connect());
    ASSERT_EQ(0, probe.connect());
    TXI_QUEUE held, handles[3], seen;
    ASSERT_EQ(0, holder.sem_make("FAIR", &held));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, waiters[i].sem_open("FAIR", &handles[i]));
        ask(waiters[i], handles[i], DXI_QUEUE_READ);
        // The probe's answer comes after the manager has taken the request sent before it.
        ASSERT_EQ(0, probe.sem_open("FAIR", &seen));
    }
    // Giving it back hands it to the first asker; the giver asking again comes last.
    ASSERT_EQ(0, holder.sem_write(&held, 0));
    ask(holder, held, DXI_QUEUE_READ);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(0, answer_to(waiters[i]));
        for (int later = i + 1; later < 3; ++later) EXPECT_FALSE(answer_waits(waiters[later], 0));
        EXPECT_FALSE(answer_waits(holder, 0));
        ask(waiters[i], handles[i], DXI_QUEUE_WRITE);
        EXPECT_EQ(0, answer_to(waiters[i]));
    }
    EXPECT_EQ(0, answer_to(holder));

    // A queue's message goes the same way: to the reader that asked first, once it is written.
    TXI_QUEUE table, tables[3];
    ASSERT_EQ(0, holder.make("ORDER", 600, 1, &table));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, waiters[i].open("ORDER", 600, &tables[i]));
        ask(waiters[i], tables[i], DXI_QUEUE_READ);
        ASSERT_EQ(0, probe.sem_open("FAIR", &seen));
    }
    std::vector<uint8_t> data(600, 'm');
    ASSERT_EQ(0, holder.write(&table, data.data(), 0));
    EXPECT_EQ(0, answer_to(waiters[0]));
    EXPECT_EQ(0, answer_to(waiters[0])); // the message's second chunk
    EXPECT_FALSE(answer_waits(waiters[1], 0));
    for (CXI_QUEUE_SYSTEM *c : {&holder, &waiters[0], &waiters[1], &waiters[2], &probe})
        c->connection().close();
}

TEST_F(Managers, AWaitingClientIsHandedTheSemaphoreWithoutAskingAgain) {
    start("kvqm");
    CXI_QUEUE_SYSTEM holder, waiter;
    TXI_QUEUE held, wanted;
    ASSERT_NO_FATAL_FAILURE(hold_system_semaphore(holder, held, waiter, wanted));
    uint64_t sent = waiter.messages_sent();
    uint16_t status = 1;
    std::thread taker([&] { status = waiter.sem_read(&wanted, 0); });
    ASSERT_TRUE(eventually([&] { return waiter.messages_sent() > sent; }));
    Sleep(100); // the request on its way has arrived
    ASSERT_EQ(0, holder.sem_write(&held, 0));
    taker.join();
    EXPECT_EQ(0, status);
    // One request: the answer came with the hand-over, not with a retry after a back-off.
    EXPECT_EQ(1u, waiter.messages_sent() - sent);
    waiter.disconnect();
    holder.disconnect();
}

TEST_F(Managers, ALongWaitIsAnsweredBusyAndKeepsItsPlace) {
    // Answers are looked for on the socket.
    start("kvqm", {"--socket-only"});
    CXI_QUEUE_SYSTEM holder, first, later, probe;
    for (CXI_QUEUE_SYSTEM *c : {&holder, &later, &first, &probe}) ASSERT_EQ(0, c->connect());
    TXI_QUEUE held, mine, theirs, seen;
    ASSERT_EQ(0, holder.sem_make("LONG", &held));
    ASSERT_EQ(0, first.sem_open("LONG", &mine));
    ASSERT_EQ(0, later.sem_open("LONG", &theirs));
    // Held on: the waiting client gets a busy answer, so that it can keep its window alive.
    ask(first, mine, DXI_QUEUE_READ);
    EXPECT_EQ(DXI_SEM_BUSY, answer_to(first));
    // A client that asks meanwhile does not overtake the one that asked first and retries.
    ask(later, theirs, DXI_QUEUE_READ);
    ASSERT_EQ(0, probe.sem_open("LONG", &seen));
    ask(first, mine, DXI_QUEUE_READ);
    ASSERT_EQ(0, probe.sem_open("LONG", &seen));
    ASSERT_EQ(0, holder.sem_write(&held, 0));
    EXPECT_EQ(0, answer_to(first));
    EXPECT_FALSE(answer_waits(later, 0));
    // A client that asks something else meanwhile has its waiting read answered first, so that
    // its answers come in the order of its requests.
    ask(later, theirs, DXI_QUEUE_OPEN);
    EXPECT_EQ(DXI_SEM_BUSY, answer_to(later));
    EXPECT_EQ(0, answer_to(later));
    for (CXI_QUEUE_SYSTEM *c : {&holder, &first, &later, &probe}) c->connection().close();
}

TEST_F(Managers, QueuesAreBoundedAndGoWithTheClientsThatMadeThem) {
    Background &qm = start("kvqm");
    size_t before = resident_kb(qm.pid());
    constexpr uint16_t largest = 65535;
    std::vector<uint8_t> message(largest, 'q');
    std::vector<std::unique_ptr<CXI_QUEUE_SYSTEM>> clients;
    auto new_client = [&] {
        clients.push_back(std::make_unique<CXI_QUEUE_SYSTEM>());
        EXPECT_EQ(0, clients.back()->connect());
        return clients.back().get();
    };
    // One client makes as many queues as it may; the next make is refused, until it closes one.
    CXI_QUEUE_SYSTEM *first = new_client();
    TXI_QUEUE q, last;
    size_t made = 0;
    for (; made < DXS_QUEUES_PER_CLIENT; ++made) {
        ASSERT_EQ(0, first->make(("Q" + std::to_string(made)).c_str(), largest, 1, &last));
        ASSERT_EQ(0, first->write(&last, message.data(), 0));
    }
    EXPECT_EQ(DXS_NO_ROOM, first->make("ONEMORE", 10, 1, &q));
    EXPECT_EQ(DXS_NO_ROOM, first->sem_make("SEMMORE", &q));
    ASSERT_EQ(0, first->close(&last));
    ASSERT_EQ(0, first->make(("Q" + std::to_string(made - 1)).c_str(), largest, 0, &last));

    // Other clients fill the manager up to the bytes it keeps for messages.
    size_t fit = DXS_MESSAGE_BYTES_IN_TOTAL / largest;
    while (made < fit) {
        CXI_QUEUE_SYSTEM *client = new_client();
        for (size_t n = 0; n < DXS_QUEUES_PER_CLIENT && made < fit; ++n, ++made)
            ASSERT_EQ(0, client->make(("Q" + std::to_string(made)).c_str(), largest, 0, &q));
    }
    CXI_QUEUE_SYSTEM *latecomer = new_client();
    EXPECT_EQ(DXS_NO_ROOM, latecomer->make("FULL", largest, 0, &q));
    EXPECT_EQ(0, latecomer->sem_make("SMALL", &q)); // a semaphore carries no message
    size_t full = resident_kb(qm.pid());
    EXPECT_GT(full, before + DXS_MESSAGE_BYTES_IN_TOTAL / 1024 * 9 / 10);

    // Leaving in any way gives the queues back: sign-off, closed connection, dropped.
    uint16_t answer = 0;
    clients[0]->disconnect(&answer);
    clients[1]->disconnect();
    uint8_t malformed[DXI_CONN_QUEUE_SIZE] = {77};
    clients[2]->connection().transact(malformed, nullptr);
    for (size_t i = 3; i + 1 < clients.size(); ++i) clients[i]->connection().close();
    // The names are free again (an open would hold a queue that is still on its way out).
    EXPECT_TRUE(eventually([&] { return latecomer->make("Q0", largest, 0, &q) == 0; }));
    EXPECT_TRUE(eventually([&] { return latecomer->make("FULL", largest, 0, &q) == 0; }));
    latecomer->disconnect();
    EXPECT_TRUE(eventually([&] {
        return qm.output().find("; 0 queues and 0 KB of messages kept") != std::string::npos;
    })) << qm.output().substr(qm.output().size() > 2000 ? qm.output().size() - 2000 : 0);
    // The sanitizers' allocator keeps freed memory in quarantine: the system sees it later.
    if (dlsym(RTLD_DEFAULT, "__asan_init")) GTEST_SKIP() << "resident memory not comparable";
    EXPECT_TRUE(eventually([&] { return resident_kb(qm.pid()) < before + 8 * 1024; }))
        << "resident " << before << " KB at the start, " << full << " KB when full, "
        << resident_kb(qm.pid()) << " KB after the clients left";
}

TEST_F(Managers, TheUserTableOutlivesItsUsersAndSharedQueuesTheirMaker) {
    start("kvqm");
    CXI_QUEUE_SYSTEM maker, user;
    ASSERT_EQ(0, maker.connect());
    ASSERT_EQ(0, user.connect());
    TXI_QUEUE table, shared, own, theirs;
    std::vector<uint8_t> data(504, 't'), got(504);
    ASSERT_EQ(0, maker.make("KOVAuser", 504, 1, &table));
    ASSERT_EQ(0, maker.write(&table, data.data(), 0));
    ASSERT_EQ(0, maker.make("SHARED", 504, 1, &shared));
    ASSERT_EQ(0, maker.write(&shared, data.data(), 0));
    ASSERT_EQ(0, maker.make("OWN", 10, 0, &own));
    ASSERT_EQ(0, user.open("SHARED", 504, &theirs));
    maker.disconnect();
    // Its own queue goes with it (an open would hold it while it is still on its way out).
    ASSERT_TRUE(eventually([&] { return user.make("OWN", 10, 0, &own) == 0; }));
    ASSERT_EQ(0, user.read(&theirs, got.data(), 1));
    EXPECT_EQ(data, got);
    user.disconnect();

    CXI_QUEUE_SYSTEM next;
    ASSERT_EQ(0, next.connect());
    ASSERT_EQ(0, next.open("KOVAuser", 504, &table));
    ASSERT_EQ(0, next.read(&table, got.data(), 1));
    EXPECT_EQ(data, got);
    EXPECT_EQ(DXI_QUEUE_NOT_FOUND, next.open("SHARED", 504, &shared));
    next.disconnect();
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
    Background second(argv);
    EXPECT_EQ(1, second.wait());
    EXPECT_NE(std::string::npos, second.output().find("another manager holds")) << second.output();
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
        return a.output().find("waiting") != std::string::npos &&
               b.output().find("waiting") != std::string::npos;
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
