// Manager connections against the real queue manager on loopback: addressing, the address
// file and its stale form, stop, forced stop and sign-off, a manager that dies mid-exchange,
// the debug trace, and the status lines and trace window the layer reports upward.
#include "kernel/coord/conn.h"
#include "tests/coord/manager_fixture.h"

#include <thread>

namespace kova_test {
namespace {

// What the layer reported upward while a test's reports were registered.
struct Reported {
    std::string status;
    std::vector<std::string> window_lines;
    int window_closes = 0;
};
Reported *reported = nullptr;

// Registers reports that record into `into` for as long as it lives, then the defaults again.
class RecordedReports {
public:
    explicit RecordedReports(Reported *into) {
        reported = into;
        TXI_CONN_REPORTS reports;
        reports.status_text = [](const char *text) { reported->status = text; };
        reports.trace_window_line = [](const char *text) {
            reported->window_lines.push_back(text);
        };
        reports.trace_window_close = [] { ++reported->window_closes; };
        fxi_conn_set_reports(reports);
    }
    ~RecordedReports() {
        fxi_conn_set_reports({});
        reported = nullptr;
    }
    RecordedReports(const RecordedReports &) = delete;
    RecordedReports &operator=(const RecordedReports &) = delete;
};

using ConnTest = ManagerTest;

uint16_t connect_queue(CXI_CONN &conn, const char *server, uint16_t *confirmed = nullptr) {
    uint16_t unused = 0;
    return conn.connect(server, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                        confirmed ? confirmed : &unused);
}

TEST_F(ConnTest, ConnectsThroughTheAddressFileOrAnExplicitAddress) {
    Background &qm = start("kvqm");
    std::string port = std::to_string(published_port(DXI_CONN_QUEUE_MANAGER));
    struct Case {
        std::string server;
        uint16_t confirmed;
    } cases[] = {
        {"", 1},                         // discovery through kova03B3.adr
        {"127.0.0.1:" + port, 0},        // dotted address
        {"localhost:" + port, 0},        // a name to resolve
        {"127.0.0.1:" + port + " x", 0}, // a blank ends the port
    };
    std::vector<uint16_t> numbers;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        CXI_CONN conn;
        uint16_t confirmed = 0;
        ASSERT_EQ(0,
                  connect_queue(conn, c.server.empty() ? nullptr : c.server.c_str(), &confirmed));
        EXPECT_EQ(c.confirmed, confirmed);
        EXPECT_TRUE(conn.connected());
        EXPECT_EQ(0, conn.attach_answer());
        EXPECT_NE(0, conn.state().client_number);
        numbers.push_back(conn.state().client_number);
        uint16_t signoff = 99;
        EXPECT_EQ(0, conn.disconnect(&signoff));
        EXPECT_EQ(0, signoff);
        EXPECT_FALSE(conn.connected());
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers.end(), std::unique(numbers.begin(), numbers.end()));
    // The attach told the manager who connected.
    EXPECT_NE(std::string::npos, qm.output().find("attached: computer '"));
}

TEST_F(ConnTest, BadExplicitAddressesGiveNoTransport) {
    for (const char *server : {"127.0.0.1:70000", "127.0.0.1:65536", "127.0.0.1:12x",
                               "127.0.0.1:", "no-such-host.invalid:534", "127.0.0.1:1"}) {
        CXI_CONN conn;
        EXPECT_EQ(DXI_CONN_NO_TRANSPORT, connect_queue(conn, server)) << server;
        EXPECT_FALSE(conn.connected());
    }
}

TEST_F(ConnTest, StaleOrMissingAddressFile) {
    CXI_CONN conn;
    uint16_t confirmed = 0;
    EXPECT_EQ(DXI_CONN_NO_ADDRESS, connect_queue(conn, nullptr, &confirmed));
    EXPECT_EQ(0, confirmed);

    // A manager that is killed leaves its address file behind, held by nobody.
    Background &qm = start("kvqm");
    qm.signal(SIGKILL);
    qm.wait();
    ASSERT_TRUE(std::filesystem::exists(address_file(DXI_CONN_QUEUE_MANAGER)));
    EXPECT_EQ(DXI_CONN_NO_ADDRESS, connect_queue(conn, nullptr, &confirmed));
    EXPECT_FALSE(std::filesystem::exists(address_file(DXI_CONN_QUEUE_MANAGER)));
}

TEST_F(ConnTest, AddressFileForms) {
    // The caller's confirmed flag skips the stale-file test, as when the manager's presence
    // is known already: the file's content alone decides.
    std::string ipx(12, '\0');
    ipx[0] = 1;
    std::string closed_port = std::string(12, '\0') +
                              std::string("\x02\x00\x00\x01\x7f\x00\x00\x01", 8) +
                              std::string(8, '\0');
    struct Case {
        const char *what;
        std::string bytes;
        uint16_t status;
    } cases[] = {
        {"IPX slot only (no IPX here)", ipx, DXI_CONN_NO_TRANSPORT},
        {"both slots empty", std::string(28, '\0'), DXI_CONN_NO_TRANSPORT},
        {"cut inside the IPX slot", std::string(5, '\1'), DXI_CONN_NO_ADDRESS},
        {"cut inside the TCP/IP slot", std::string(20, '\0'), DXI_CONN_NO_ADDRESS},
        {"nobody listening", closed_port, DXI_CONN_NO_TRANSPORT},
    };
    for (const Case &c : cases) {
        write_file(address_file(DXI_CONN_QUEUE_MANAGER), c.bytes);
        CXI_CONN conn;
        uint16_t confirmed = 1;
        EXPECT_EQ(c.status, connect_queue(conn, nullptr, &confirmed)) << c.what;
        EXPECT_EQ(c.status == DXI_CONN_NO_ADDRESS ? 0 : 1, confirmed) << c.what;
    }
}

TEST_F(ConnTest, PublishedAddressIsASockaddrIn) {
    start("kvqm");
    std::string bytes = read_file(address_file(DXI_CONN_QUEUE_MANAGER));
    ASSERT_EQ(28u, bytes.size());
    EXPECT_EQ(std::string(12, '\0'), bytes.substr(0, 12));
    EXPECT_EQ(std::string("\x02\x00", 2), bytes.substr(12, 2));
    EXPECT_NE(0, published_port(DXI_CONN_QUEUE_MANAGER));
    EXPECT_EQ(std::string("\x7f\x00\x00\x01", 4), bytes.substr(16, 4));
    EXPECT_EQ(std::string(8, '\0'), bytes.substr(20, 8));
}

TEST_F(ConnTest, PlainStopIsRefusedWhileOthersAreAttachedAndCanBeAskedAgain) {
    Background &qm = start("kvqm");
    CXI_CONN tool, user;
    ASSERT_EQ(0, connect_queue(tool, nullptr));
    ASSERT_EQ(0, connect_queue(user, nullptr));
    uint16_t answer = 0;
    EXPECT_EQ(DXI_CONN_REFUSED, tool.stop(0, &answer));
    EXPECT_EQ(1, answer); // one other client
    EXPECT_TRUE(tool.connected());
    uint16_t signoff = 1;
    ASSERT_EQ(0, user.disconnect(&signoff));
    answer = 99;
    EXPECT_EQ(0, tool.stop(0, &answer));
    EXPECT_EQ(0, answer);
    EXPECT_FALSE(tool.connected());
    EXPECT_EQ(0, qm.wait());
    EXPECT_FALSE(std::filesystem::exists(address_file(DXI_CONN_QUEUE_MANAGER)));
}

TEST_F(ConnTest, ForcedStopIsAcceptedWhateverTheClients) {
    Background &qm = start("kvqm");
    CXI_CONN tool, user;
    ASSERT_EQ(0, connect_queue(tool, nullptr));
    ASSERT_EQ(0, connect_queue(user, nullptr));
    uint16_t answer = 99;
    EXPECT_EQ(0, tool.stop(1, &answer));
    EXPECT_EQ(0, answer);
    EXPECT_FALSE(tool.connected());
    EXPECT_EQ(0, qm.wait());
    EXPECT_FALSE(std::filesystem::exists(address_file(DXI_CONN_QUEUE_MANAGER)));
    // The other client finds its manager gone on its next exchange.
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {3};
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, user.transact(message, message));
}

TEST_F(ConnTest, ManagerKilledDuringAReceive) {
    write_ini("[system]\r\nrelease=24\r\n[services]\r\ndiaghline=Y\r\n");
    Reported lines;
    RecordedReports recorded(&lines);
    // The socket's own lines are the subject: the manager offers nothing else.
    Background &qm = start("kvqm", {"--socket-only"});
    CXI_CONN conn;
    ASSERT_EQ(0, connect_queue(conn, nullptr));
    EXPECT_TRUE(fxi_conn_diagnostic());
    // A stopped manager takes the request but never answers; killing it breaks the wait.
    qm.signal(SIGSTOP);
    uint16_t status = 0;
    std::thread exchange([&] {
        uint8_t message[DXI_CONN_QUEUE_SIZE] = {3};
        status = conn.transact(message, message);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    qm.signal(SIGKILL);
    exchange.join();
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, status);
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, conn.status());
    // The request it never read makes the host reset the connection.
    EXPECT_EQ("recv() from queue manager returned 10054", lines.status);
}

TEST_F(ConnTest, OperationsNeedTheLayerAndAConnection) {
    CXI_CONN conn;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    conn.state().message_size = DXI_CONN_QUEUE_SIZE;
    EXPECT_EQ(DXI_CONN_SEND_FAILED, conn.transact(message, message));
    EXPECT_EQ(DXI_CONN_RECEIVE_FAILED, conn.receive(message));
    EXPECT_EQ(0, conn.disconnect());
    fxi_conn_term();
    EXPECT_EQ(DXI_CONN_NOT_READY, connect_queue(conn, "127.0.0.1:534"));
}

TEST_F(ConnTest, CopiesShareTheConnection) {
    start("kvqm");
    CXI_CONN original;
    ASSERT_EQ(0, connect_queue(original, nullptr));
    CXI_CONN copy = original;
    EXPECT_EQ(original.state().client_number, copy.state().client_number);
    EXPECT_EQ(0, copy.close());
    // Closing one copy closes the transport for every copy.
    EXPECT_FALSE(original.connected());
}

TEST_F(ConnTest, DebugTraceFollowsTheConnect) {
    write_ini("[system]\r\nrelease=24\r\n[debug]\r\nlogfile=Y\r\nflush=Y\r\n");
    // The connect's trace of discovery and socket: the manager offers no shared memory.
    start("kvqm", {"--socket-only"});
    CXI_CONN conn;
    ASSERT_EQ(0, connect_queue(conn, nullptr));
    std::string file = fxk_debug_trace_file();
    ASSERT_FALSE(file.empty());
    std::string trace = read_file(kova_host_from_dos(file));
    EXPECT_EQ("fxi_file_open start\r\nfxi_file_open end\r\nfh closed\r\nsocket end\r\n"
              "connect start\r\nconnect end - error 0\r\n",
              trace);
    fxk_debug_trace_reset();
    DeleteFileA(file.c_str());
}

TEST_F(ConnTest, DebugTraceWithoutFlushTimesItsLines) {
    write_ini("[system]\r\nrelease=24\r\n[debug]\r\nlogfile=Y\r\n");
    fxk_debug_trace("first");
    Sleep(30);
    fxk_debug_trace("second %word%,5", 7);
    std::string file = fxk_debug_trace_file();
    ASSERT_FALSE(file.empty());
    std::string trace = read_file(kova_host_from_dos(file));
    // No timing line before the first line; before the second the time since the previous
    // line and since the first, equal here.
    ASSERT_EQ(0u, trace.rfind("first\r\n", 0)) << trace;
    size_t slash = trace.find('/');
    ASSERT_NE(std::string::npos, slash) << trace;
    std::string since_previous = trace.substr(7, slash - 7);
    EXPECT_GE(std::stoi(since_previous), 30);
    EXPECT_EQ(since_previous + "ms elapsed\r\nsecond 7\r\n", trace.substr(slash + 1)) << trace;
    fxk_debug_trace_reset();
    DeleteFileA(file.c_str());
}

TEST_F(ConnTest, DebugTraceReportsToTheWindowAndStatusLineRegistered) {
    write_ini("[system]\r\nrelease=24\r\n[debug]\r\npwin=Y\r\nhline=Y\r\n");
    {
        // Nothing registered: the lines go nowhere, and nothing breaks.
        fxk_debug_trace("unseen");
        fxk_debug_trace_reset();
    }
    Reported lines;
    RecordedReports recorded(&lines);
    fxk_debug_trace("first");
    fxk_debug_trace("second %word%,5", 7);
    EXPECT_EQ((std::vector<std::string>{"first", "second 7"}), lines.window_lines);
    EXPECT_EQ("second 7", lines.status);
    EXPECT_EQ(0, lines.window_closes);
    // Forgetting the configuration closes the window the trace showed, once.
    fxk_debug_trace_reset();
    fxk_debug_trace_reset();
    EXPECT_EQ(1, lines.window_closes);
}

} // namespace
} // namespace kova_test
