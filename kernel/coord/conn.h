// Connections to the suite's managers (queue manager, file manager): shared memory with a
// manager on this machine (announced by named events or to the manager's window), else addressing
// through the address file or an explicit host:port and the stream transport; fixed-size messages,
// the attach, stop and sign-off requests, and the kernel's debug trace that the layer writes to.
#pragma once

#include "platform/winsock.h"

#include <cstdint>
#include <memory>
#include <string>

// ---- Managers, requests and message sizes ----

constexpr uint16_t DXI_CONN_QUEUE_MANAGER = 947;
constexpr uint16_t DXI_CONN_FILE_MANAGER = 948;
constexpr uint16_t DXI_CONN_TAPI_MANAGER = 949;
// The server argument is a raw 12-byte IPX address instead of a name.
constexpr uint16_t DXI_CONN_RAW_IPX = 65535;

constexpr uint16_t DXI_CONN_QUEUE_SIZE = 534;
// The file manager's message size for an installation's release level.
constexpr uint16_t fxi_conn_file_size(uint8_t release_level) {
    return release_level < 24 ? 282 : 1054;
}

// Request codes, the first word of a message.
constexpr uint16_t DXI_CONN_ATTACH = 128;
constexpr uint16_t DXI_CONN_DETACH = 129;
constexpr uint16_t DXI_CONN_STOP = 130;
constexpr uint16_t DXI_CONN_SIGNOFF = 131;
constexpr uint16_t DXI_CONN_FORCED_STOP = 132;

// Connect flags.
constexpr uint16_t DXI_CONN_REREGISTER = 0x1; // second socket registration
constexpr uint16_t DXI_CONN_EVENTS = 0x2;     // network-event mode instead of window notices
constexpr uint16_t DXI_CONN_SESSION = 0x4;    // session number in the connection packet

// No user slot in the attach message.
constexpr uint16_t DXI_CONN_NO_SLOT = 65535;

// ---- Status codes ----

constexpr uint16_t DXI_CONN_NOT_READY = 3080;  // layer not initialised, or no Winsock
constexpr uint16_t DXI_CONN_NO_ADDRESS = 3081; // address file stale, missing or unreadable
constexpr uint16_t DXI_CONN_NO_TRANSPORT = 3083;
constexpr uint16_t DXI_CONN_SEND_FAILED = 3084;
constexpr uint16_t DXI_CONN_RECEIVE_FAILED = 3085;
constexpr uint16_t DXI_CONN_CLOSE_FAILED = 3087;
constexpr uint16_t DXI_CONN_REFUSED = 3088; // the manager refused to stop

// ---- Wire values: little-endian fields at byte offsets ----

inline uint16_t fxi_conn_get16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}
inline uint32_t fxi_conn_get32(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}
inline void fxi_conn_put16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
inline void fxi_conn_put32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The attach message (request 128), as the client sends it and the manager reads it.
struct TXI_CONN_ATTACH {
    uint16_t user_slot = DXI_CONN_NO_SLOT;
    char computer[17] = {}; // 16 bytes on the wire
    char client[50] = {};   // terminal-services client name, 49 bytes on the wire
    char user_id[9] = {};   // NUL-terminated on the wire
    uint8_t block[38] = {}; // the caller's block
    uint32_t process_id = 0;
};
constexpr uint16_t DXI_CONN_ATTACH_SIZE = 124; // bytes the attach fields occupy

// Writes the attach message into `message` (`size` bytes, at least DXI_CONN_ATTACH_SIZE).
void fxi_conn_attach_encode(const TXI_CONN_ATTACH &attach, uint8_t *message, uint16_t size);
// Reads an attach message; false when it is not one.
bool fxi_conn_attach_decode(const uint8_t *message, uint16_t size, TXI_CONN_ATTACH *attach);
// The user identifier the attach carries: `given` up to 8 characters as it stands, a longer
// one cut to 8; without one the Windows user name. A cut identifier loses its outer blanks.
std::string fxi_conn_user_id(const char *given);

// Address file of a manager in a data home: "kova" + the id as four hexadecimal digits +
// ".adr"; a 12-byte IPX slot and a 16-byte SOCKADDR_IN.
constexpr uint16_t DXI_CONN_ADDRESS_IPX = 12;
constexpr uint16_t DXI_CONN_ADDRESS_SIZE = 28;
std::string fxi_conn_address_file(const std::string &data_home, uint16_t manager);
// The TCP/IP slot of an address file for an IPv4 address and port (network order).
void fxi_conn_address_encode(uint32_t address, uint16_t port, uint8_t out[DXI_CONN_ADDRESS_SIZE]);

// ---- Connections ----

// The stream socket of a connection. Every copy of a connection shares it; it is closed by
// fxi_conn_close (which every copy then sees) or when the last copy goes.
class TXI_CONN_LINK {
public:
    explicit TXI_CONN_LINK(SOCKET s) : socket_(s) {}
    ~TXI_CONN_LINK();
    TXI_CONN_LINK(const TXI_CONN_LINK &) = delete;
    TXI_CONN_LINK &operator=(const TXI_CONN_LINK &) = delete;
    SOCKET socket() const { return socket_; }
    // closesocket's result; the socket counts as closed afterwards either way.
    int close();

private:
    SOCKET socket_;
};

// The shared-memory transport of a connection: the shared block, its named events and
// mutexes and the watcher thread. Shared by every copy of the connection like the socket.
class TXI_CONN_SHARED;
// The window transport of a connection: the shared block, the connection's own window and its
// thread, and the manager's window. Shared by every copy of the connection like the socket.
class TXI_CONN_WINDOW;

// How a connection reaches its manager.
enum class TXI_CONN_TRANSPORT : uint8_t {
    none,
    shared_memory,   // a manager on this machine: shared block and named events
    window_messages, // a manager on this desktop: shared block and window messages (Windows)
    socket,          // the stream socket of the address file or of an explicit address
};

// Transport state.
struct TXI_CONN_STATE {
    std::shared_ptr<TXI_CONN_LINK> link;     // the stream socket; none when empty
    std::shared_ptr<TXI_CONN_SHARED> shared; // the shared-memory transport; none when empty
    std::shared_ptr<TXI_CONN_WINDOW> window; // the window transport; none when empty
    uint16_t client_number = 0;              // given by the manager in its attach reply
    uint16_t message_size = 0;

    SOCKET socket() const { return link ? link->socket() : INVALID_SOCKET; }
    bool shared_open() const;
    bool window_open() const;
    bool connected() const { return shared_open() || window_open() || socket() != INVALID_SOCKET; }
    TXI_CONN_TRANSPORT transport() const {
        return shared_open()                ? TXI_CONN_TRANSPORT::shared_memory
               : window_open()              ? TXI_CONN_TRANSPORT::window_messages
               : socket() != INVALID_SOCKET ? TXI_CONN_TRANSPORT::socket
                                            : TXI_CONN_TRANSPORT::none;
    }
};

// Layer start-up and shut-down (kernel start-up and its exit action).
uint16_t fxi_conn_init();
void fxi_conn_term();
bool fxi_conn_initialised();

// Connects to manager `manager` and exchanges the attach. `server`: null or a name for the
// installation's own manager, or "host:port". The installation's own manager on this
// machine is reached through shared memory with named events when it offers it, else through
// shared memory and its window (Windows), unless the environment variable
// LXICONN_FORCE_WINSOCK is set; otherwise through the socket its address file names. `confirmed` is
// set to 1 once the manager's presence is established; the caller initialises it. `user_id` and
// `block` are the optional identifier and 38-byte block of the attach message; `attach_answer`
// receives word 0 of the attach reply.
uint16_t fxi_conn_connect(const char *server, uint16_t manager, uint16_t flags, uint16_t size,
                          const uint16_t *user_slot, uint16_t *confirmed, uint32_t qualifier_low,
                          uint32_t qualifier_high, TXI_CONN_STATE *state,
                          uint16_t *attach_answer = nullptr, const char *user_id = nullptr,
                          const uint8_t *block = nullptr);
// Sends one message of the connection's size; with `reply` waits for the answer and copies it
// there (`reply` may be `message`).
uint16_t fxi_conn_transact(TXI_CONN_STATE *state, const void *message, void *reply);
// Waits for one further message from the manager.
uint16_t fxi_conn_receive(TXI_CONN_STATE *state, void *buffer);
// With `signoff`, exchanges the sign-off request and returns its answer there; then closes.
uint16_t fxi_conn_disconnect(TXI_CONN_STATE *state, uint16_t *signoff);
// Asks the manager to stop (force 0) or to stop whatever its clients (force 1). A refusal of
// a plain stop answers DXI_CONN_REFUSED and leaves the connection open for another request.
uint16_t fxi_conn_stop(TXI_CONN_STATE *state, uint16_t force, uint16_t *answer);
uint16_t fxi_conn_close(TXI_CONN_STATE *state);

// A connection object: each operation keeps its result as the last status. Copies share the
// transport, so a copy can stand in for the original and be put back.
class CXI_CONN {
public:
    CXI_CONN() = default;

    uint16_t connect(const char *server, uint16_t manager, uint16_t flags, uint16_t size,
                     const uint16_t *user_slot, uint16_t *confirmed, uint32_t qualifier_low = 0,
                     uint32_t qualifier_high = 0);
    uint16_t transact(const void *message, void *reply);
    uint16_t receive(void *buffer);
    uint16_t disconnect(uint16_t *signoff = nullptr);
    uint16_t stop(uint16_t force, uint16_t *answer = nullptr);
    uint16_t close();

    uint16_t status() const { return status_; }
    uint16_t attach_answer() const { return attach_answer_; }
    bool connected() const { return state_.connected(); }
    TXI_CONN_TRANSPORT transport() const { return state_.transport(); }
    TXI_CONN_STATE &state() { return state_; }
    const TXI_CONN_STATE &state() const { return state_; }

private:
    uint16_t status_ = 0;
    TXI_CONN_STATE state_;
    uint16_t attach_answer_ = 0;
};

// The kernel's pumping wait: `units` times 10 milliseconds while the application's window
// messages keep flowing. Every retry loop of the connection and queue layers waits this way.
void fxi_conn_wait(uint32_t units);

// ---- Diagnostics and the kernel's debug trace ----

// Whether `diaghline` of section services of kova.ini asked for the diagnostic lines of
// sending and receiving on the status bar (read on each connect).
bool fxi_conn_diagnostic();

// Writes one line to the kernel's debug trace (format with tagged arguments). The trace is
// configured on its first line from section debug of kova.ini; without any of its keys set
// the line goes nowhere.
void fxk_debug_trace(const char *format, ...);
// The trace's log file (host-independent DOS path), empty when the trace writes none.
std::string fxk_debug_trace_file();
// Forgets the trace's configuration, so that the next line reads it again (after the data
// home changed).
void fxk_debug_trace_reset();

// ---- What the layer reports upward ----

// The connection, queue and user layers sit below the user interface and the error report, so
// they reach both through this record, which start-up registers once, before the first
// connection. A member left null keeps its default: status lines and the trace's window go
// nowhere, and an unexpected error is written to standard error before the process ends with
// status 1.
struct TXI_CONN_REPORTS {
    // Shows a line on the status bar; an empty text clears it.
    void (*status_text)(const char *text) = nullptr;
    // Shows a line of the debug trace in its wait window, opening the window with the first.
    void (*trace_window_line)(const char *text) = nullptr;
    // Closes the trace's wait window; called only after a line was shown.
    void (*trace_window_close)() = nullptr;
    // Reports an unexpected error and ends the process; it must not return.
    void (*unexpected_error)(const char *message) = nullptr;
};
void fxi_conn_set_reports(const TXI_CONN_REPORTS &reports);
const TXI_CONN_REPORTS &fxi_conn_reports();
