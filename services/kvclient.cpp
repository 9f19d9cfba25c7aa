// kvclient: a client program of the suite as the update tool meets it on a server. It holds the
// shutdown event open and ends, closing it, as soon as the event is set. With --queue it
// instead reaches the installation's queue manager once, says by which transport, and signs
// off.
#include "kernel/coord/conn.h"
#include "kernel/files/install.h"
#include "services/service_main.h"

#include <cstdio>

namespace {

constexpr const char *shutdown_event = "Global\\LXKSYS_SHUTDOWN_PENDING";

void say(const char *text) {
    std::fprintf(stderr, "kvclient: %s\n", text);
    std::fflush(stderr);
}

const char *transport_text(TXI_CONN_TRANSPORT transport) {
    switch (transport) {
    case TXI_CONN_TRANSPORT::shared_memory:
        return "shared memory";
    case TXI_CONN_TRANSPORT::window_messages:
        return "the manager's window";
    case TXI_CONN_TRANSPORT::socket:
        return "the socket";
    case TXI_CONN_TRANSPORT::none:
        break;
    }
    return "nothing";
}

// Connects to the queue manager of the installation in `data_home` as any program of the suite
// does, reports the transport and whether a socket is open, and signs off.
int reach_queue_manager(const char *data_home) {
    fxi_set_data_home(service_data_home(data_home).c_str());
    fxi_load_installation();
    if (uint16_t status = fxi_conn_init()) {
        std::fprintf(stderr, "kvclient: the connection layer did not start: status %u\n", status);
        return 1;
    }
    CXI_CONN conn;
    uint16_t confirmed = 0;
    uint16_t status =
        conn.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr, &confirmed);
    if (status) {
        std::fprintf(stderr, "kvclient: cannot reach the queue manager: status %u\n", status);
        fxi_conn_term();
        return 1;
    }
    std::fprintf(stderr, "kvclient: reached the queue manager over %s as client %u, %s\n",
                 transport_text(conn.transport()), conn.state().client_number,
                 conn.state().socket() == INVALID_SOCKET ? "no socket open" : "socket open");
    uint16_t signoff = 0;
    status = conn.disconnect(&signoff);
    fxi_conn_term();
    if (status) {
        std::fprintf(stderr, "kvclient: signing off failed: status %u\n", status);
        return 1;
    }
    std::fflush(stderr);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    kova_set_host_args(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--queue") == 0) return reach_queue_manager(argv[2]);
    if (argc != 1) {
        std::fprintf(stderr, "usage: kvclient [--queue <data home>]\n");
        return 2;
    }
    SetConsoleCtrlHandler(service_console_control, TRUE);
    // Every client creates the event if it is not there yet: manual reset, so that setting it
    // reaches all of them.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, shutdown_event);
    if (!event) {
        std::fprintf(stderr, "kvclient: cannot open %s: error %u\n", shutdown_event,
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    say("running; waiting for the shutdown event");
    DWORD result = WAIT_TIMEOUT;
    while (!service_ending && result == WAIT_TIMEOUT) result = WaitForSingleObject(event, 200);
    CloseHandle(event);
    if (result == WAIT_OBJECT_0) {
        say("shutdown event set: ending");
        return 0;
    }
    if (result == WAIT_FAILED) {
        std::fprintf(stderr, "kvclient: waiting for the shutdown event failed: error %u\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    say("ending on request");
    return 0;
}
