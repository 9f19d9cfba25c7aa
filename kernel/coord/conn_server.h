// The manager side of a connection: a listening socket published through the address file
// and, beside it, the shared-memory transports for clients on this machine (announced by named
// events, or to the manager's window on Windows); many clients at once, messages of exactly
// the connection's size, and the attach, detach, stop and sign-off requests. The managers
// build their own requests on it.
#pragma once

#include "kernel/coord/conn.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The longest a manager's serving loop waits for a client before it looks at the time again.
constexpr int DXI_MANAGER_TICK = 50;

// One client of a manager as the manager sees it.
struct TXI_MANAGER_CLIENT {
    uint16_t number = 0; // given in the attach reply
    bool attached = false;
    TXI_CONN_ATTACH attach; // what the client told about itself
    std::string peer;       // address and port it connected from, or its process
    bool shared = false;    // reached through shared memory
};

// How a manager offers itself.
struct TXI_MANAGER_OPTIONS {
    // Offer the shared-memory transport announced by named events to clients on this machine
    // beside the socket.
    bool shared_memory = true;
    // Offer the shared-memory transport announced to the manager's window to clients on this
    // desktop (where the system has window messages).
    bool manager_window = true;
};

class TXI_MANAGER_WINDOW;

class CXI_MANAGER {
public:
    // `program` names the manager in its log lines.
    CXI_MANAGER(std::string program, uint16_t manager, uint16_t message_size,
                TXI_MANAGER_OPTIONS options = {});
    virtual ~CXI_MANAGER();
    CXI_MANAGER(const CXI_MANAGER &) = delete;
    CXI_MANAGER &operator=(const CXI_MANAGER &) = delete;

    // Listens on `listen` ("address:port", "address" or ":port"; no port or port 0 takes a
    // free one) and writes the address file into `data_home` (a DOS path), holding it open
    // until the manager ends. False with the reason in `error`.
    bool start(const std::string &data_home, const std::string &listen, std::string *error);
    // Changes how the manager offers itself; only before start().
    void set_options(const TXI_MANAGER_OPTIONS &options) { options_ = options; }
    // Serves until a stop is accepted or shutdown() is called, then closes every client and
    // removes the address file. The requests of shared-memory clients are taken on their own
    // threads, but never at the same time as any other: the hooks below run one at a time.
    void run();
    // Asks run() to end; safe from any thread.
    void shutdown() { shutdown_ = true; }

    uint16_t port() const { return port_; }
    // Whether clients on this machine are offered shared memory.
    bool offers_shared_memory() const { return announcer_.joinable(); }
    // Whether clients on this desktop find the manager's window.
    bool offers_window() const { return window_ != nullptr; }
    uint16_t message_size() const { return size_; }
    // Attached clients other than `except`.
    size_t attached_clients(const TXI_MANAGER_CLIENT *except = nullptr) const;

    // Writes "program: text" to standard error (format with tagged arguments).
    void log(const char *format, ...) const;

protected:
    // A request of an attached client that is none of the connection's own. Answer false for a
    // message the manager cannot take: the client is dropped.
    virtual bool request(TXI_MANAGER_CLIENT &client, uint8_t *message) = 0;
    // A client's connection has ended, for whatever reason; `undelivered` when replies queued
    // for it never reached the transport.
    virtual void closed(TXI_MANAGER_CLIENT &client, bool undelivered) {
        (void)client;
        (void)undelivered;
    }
    // Called after every round of the serving loop, at least every DXI_MANAGER_TICK
    // milliseconds, for work that falls due with time (`now` from GetTickCount64).
    virtual void tick(ULONGLONG now) { (void)now; }
    // Queues one message of the connection's size for the client.
    void reply(TXI_MANAGER_CLIENT &client, const uint8_t *message);
    // Whether replies to the client can still reach it: false once it is dropped, gone or
    // signed off.
    bool reachable(const TXI_MANAGER_CLIENT &client);

private:
    struct Client;
    struct SharedLink;
    struct WindowLink;

    void accept_clients();
    bool receive(Client &client);
    bool send_pending(Client &client);
    bool handle(Client &client, uint8_t *message);
    void drop(Client &client, const char *why);
    void finish();
    Client *find(const TXI_MANAGER_CLIENT &info);
    uint16_t next_number();
    void offer_shared_memory();
    bool admit_shared(const uint8_t *packet, uint16_t length);
    void serve_shared(Client &client);
    bool deliver_shared(Client &client);
    void end_signed_off(Client &client);
    void offer_window();
    void window_notice(uint32_t client_window);
    bool window_round();
    Client *admit_window(uint32_t client_window);
    bool deliver_window(Client &client);
    void stop_offering();

    std::string program_;
    uint16_t manager_, size_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::string address_file_;
    HANDLE address_handle_ = INVALID_HANDLE_VALUE;
    std::list<Client> clients_;
    uint16_t last_number_ = 0;
    bool stopping_ = false;
    std::atomic<bool> shutdown_{false};
    bool winsock_ = false;

    TXI_MANAGER_OPTIONS options_;
    // Held by the serving loop except while it polls, and by a shared-memory client's thread
    // while it handles a request.
    std::mutex lock_;
    std::string shared_home_;
    std::thread announcer_;
    std::atomic<bool> announcing_{false};
    std::unique_ptr<TXI_MANAGER_WINDOW> window_;
    ULONGLONG window_checked_ = 0; // when the window clients were last looked for
};
