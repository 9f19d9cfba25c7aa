// The client's end of the shared-memory transport, as the connection layer uses it. Internal
// to kernel/coord.
#pragma once

#include "kernel/coord/conn.h"
#include "kernel/coord/conn_shm.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class TXI_CONN_SHARED {
public:
    TXI_CONN_SHARED() = default;
    ~TXI_CONN_SHARED();
    TXI_CONN_SHARED(const TXI_CONN_SHARED &) = delete;
    TXI_CONN_SHARED &operator=(const TXI_CONN_SHARED &) = delete;

    // Makes the connection's block, events and mutexes and starts the watcher that holds the
    // client mutex; false when any of them cannot be made.
    [[nodiscard]] bool create(uint16_t manager, uint16_t size, uint64_t qualifier,
                              const std::string &home);
    // Announces the connection to the manager of `home`: the manager's answer, 0 when it
    // refused or offers no shared memory. Sets `confirmed` once the manager answered.
    [[nodiscard]] uint16_t announce(uint16_t manager, const std::string &home,
                                    const uint8_t *packet, uint16_t length, uint16_t *confirmed);

    bool open() const;
    // Puts a message into the block and signals the manager. Without a reply, waits until the
    // manager has taken it.
    [[nodiscard]] uint16_t send(const void *message, bool reply_wanted);
    // Waits for the manager's next message and copies it out.
    [[nodiscard]] uint16_t receive(void *buffer);
    void close();

private:
    bool manager_gone() const;

    uint16_t size_ = 0;
    TXI_CONN_HANDLE mapping_;
    TXI_CONN_VIEW view_;
    TXI_CONN_HANDLE request_, reply_;
    TXI_CONN_HANDLE manager_mutex_, client_mutex_;
    TXI_CONN_HANDLE stop_;
    std::thread watcher_;
};

// Sets up the shared-memory transport to the manager on this machine: 0 with the transport
// in `out`, else DXI_CONN_NO_TRANSPORT (the caller goes on to the socket).
[[nodiscard]] uint16_t fxi_conn_connect_shared(uint16_t manager, uint16_t flags, uint16_t size,
                                               uint64_t qualifier, uint16_t *confirmed,
                                               std::shared_ptr<TXI_CONN_SHARED> *out);
