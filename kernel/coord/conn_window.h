// The window transport between a client and a manager on the same machine and desktop, as both
// sides use it: the client finds the manager's window by its class and title, and each side
// tells the other of a message in the client's shared block by posting the registered message
// DXI_CONN_WIN32MSG. Windows only; where the system has no window messages (POSIX) neither side
// offers it and a client goes on to the socket. Internal to kernel/coord.
#pragma once

#include "kernel/coord/conn.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Whether this system has window messages, and so the window transport.
bool fxi_conn_window_messages();

// The manager's window class for manager `manager` ("KOVA Queue Manager" ...), empty for an id
// that has none.
std::string fxi_conn_window_class(uint16_t manager);

// ---- Client side ----

// The client's end: its own window, which receives the manager's notices on a thread of the
// connection, and the shared block named from that window's handle.
class TXI_CONN_WINDOW {
public:
    virtual ~TXI_CONN_WINDOW() = default;
    virtual bool open() const = 0;
    // Puts a message into the block and posts the notice to the manager's window. Without a
    // reply, waits until the manager has taken it; DXI_CONN_SEND_FAILED once its window is gone.
    [[nodiscard]] virtual uint16_t send(const void *message, bool reply_wanted) = 0;
    // Waits for the manager's next message and copies it out; DXI_CONN_RECEIVE_FAILED once the
    // manager's window is gone or the manager sent an error notice.
    [[nodiscard]] virtual uint16_t receive(void *buffer) = 0;
    virtual void close() = 0;
};

// Finds the window of manager `manager` for `home` and sets up the transport to it: 0 with the
// transport in `out`, else DXI_CONN_NO_TRANSPORT (no window, or the block cannot be made; the
// caller goes on to the socket). A window found sets `confirmed`.
[[nodiscard]] uint16_t fxi_conn_connect_window(uint16_t manager, uint16_t size,
                                               const std::string &home, uint16_t *confirmed,
                                               std::shared_ptr<TXI_CONN_WINDOW> *out);

// ---- Manager side ----

// A client of the window transport, as the manager's window knows it: the value of its
// window's handle.
using TXI_WINDOW_CLIENT = uint32_t;

// What the manager's notice to a client says: a reply waits in its block, or the exchange it
// waits for has failed (the manager dropped it), which is the notice's first parameter 65535.
enum class TXI_WINDOW_NOTICE : uint8_t { reply, failed };

// What the manager's window reports, on the window's own thread.
struct TXI_MANAGER_WINDOW_EVENTS {
    // A client's window posted a notice: a message waits in its block.
    std::function<void(TXI_WINDOW_CLIENT client)> notice;
    // Runs after every round of the window's thread, at least every DXI_SHM_LIVENESS_SLICE
    // milliseconds; answers whether a reply waits for a client to take the one in its block,
    // which makes the next round come at once.
    std::function<bool()> round;
    // Someone asked the window to close (taskkill without /f, say): the manager should end.
    std::function<void()> close;
};

// The manager's window, found by clients on this desktop; it goes, with its thread, when the
// object goes.
class TXI_MANAGER_WINDOW {
public:
    virtual ~TXI_MANAGER_WINDOW() = default;
    // Posts a notice to a client; false once its window is gone.
    [[nodiscard]] virtual bool notify(TXI_WINDOW_CLIENT client, TXI_WINDOW_NOTICE notice) = 0;
    // Whether the client's window still exists (its process has not ended).
    virtual bool client_alive(TXI_WINDOW_CLIENT client) const = 0;
    // The process that owns the client's window, 0 when it is gone.
    virtual uint32_t client_process(TXI_WINDOW_CLIENT client) const = 0;
};

// Creates the window of manager `manager` for `home`, titled so that the clients of that home
// find it, on a thread of its own. Null with the reason in `error` where it cannot.
std::unique_ptr<TXI_MANAGER_WINDOW> fxi_manager_window_open(uint16_t manager,
                                                            const std::string &home,
                                                            TXI_MANAGER_WINDOW_EVENTS events,
                                                            std::string *error);
