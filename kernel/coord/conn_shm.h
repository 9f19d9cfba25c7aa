// The shared-memory transport between a client and a manager on the same machine, as both
// sides see it: the names of the named objects, the layout of the shared block and of the
// manager's announcement block, and a closing owner for handles. Internal to kernel/coord.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Owns one handle of a named object and closes it when it goes.
class TXI_CONN_HANDLE {
public:
    TXI_CONN_HANDLE() = default;
    explicit TXI_CONN_HANDLE(HANDLE h) : h_(h) {}
    ~TXI_CONN_HANDLE() { reset(); }
    TXI_CONN_HANDLE(const TXI_CONN_HANDLE &) = delete;
    TXI_CONN_HANDLE &operator=(const TXI_CONN_HANDLE &) = delete;
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HANDLE h = nullptr) {
        if (h_) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// A mapped view, unmapped when it goes.
class TXI_CONN_VIEW {
public:
    TXI_CONN_VIEW() = default;
    ~TXI_CONN_VIEW() { reset(); }
    TXI_CONN_VIEW(const TXI_CONN_VIEW &) = delete;
    TXI_CONN_VIEW &operator=(const TXI_CONN_VIEW &) = delete;
    uint8_t *get() const { return at_; }
    void reset(void *at = nullptr) {
        if (at_) UnmapViewOfFile(at_);
        at_ = static_cast<uint8_t *>(at);
    }

private:
    uint8_t *at_ = nullptr;
};

// ---- The connection's own objects, made by the client ----

// The shared block, message size + 1 bytes: byte 0 is the hand-over flag, the message follows.
// The client sets the flag to 1 for a message that wants no reply and the manager clears it
// when it has taken the message; the manager sets it to DXI_SHM_REPLIED with a reply, and the
// client clears it once it has copied the reply.
constexpr uint8_t DXI_SHM_NO_REPLY = 1;
constexpr uint8_t DXI_SHM_REPLIED = 2;

// Where a named object lives: the machine-wide namespace, which reaches across sessions (a
// manager running as a service in session 0, its clients in user sessions), or the creator's
// session. Creating a file mapping in the machine-wide one takes a privilege that services
// and administrators hold and ordinary users lack.
enum class TXI_SHM_NAMESPACE : uint8_t { global, local };

// "Local\KOVA" + manager id (4 hexadecimal digits) + id (8), "-qualifier" when set; "Global\"
// in place of "Local\" for the machine-wide namespace. The id is the client's process id for
// the named-event transport and the value of the client's window handle for the window one.
std::string fxi_conn_shm_block_name(uint16_t manager, uint32_t id, uint64_t qualifier,
                                    TXI_SHM_NAMESPACE space = TXI_SHM_NAMESPACE::local);
// Creates a client's block (message size + 1 bytes). With `widest` global: machine-wide where
// this process may, so that a manager in another session finds it, else in its own session
// (the named-event transport, whose id is a process id, unique on the machine). With local: in
// its own session only (the window transport, whose id is a window handle, unique only within a
// session, and whose manager is on the client's desktop anyway). Null with the error of the
// last attempt; ERROR_ALREADY_EXISTS (with the handle closed) when the name is in use.
HANDLE fxi_conn_shm_create_block(uint16_t manager, uint32_t id, uint64_t qualifier, uint16_t size,
                                 TXI_SHM_NAMESPACE widest);
// Opens the block that process `process_id` created with the same `widest`, wherever it lives.
HANDLE fxi_conn_shm_open_block(uint16_t manager, uint32_t id, uint64_t qualifier,
                               uint32_t process_id, TXI_SHM_NAMESPACE widest);
// Base N of the events and mutexes: "Global\KOVA" + manager id (hexadecimal) + process id
// (decimal), the qualifier suffix, then the home with '|' for each backslash. The request
// event is N, the reply event N + "R", the manager mutex N + "RM", the client mutex N + "RC".
std::string fxi_conn_shm_base(uint16_t manager, uint32_t process_id, uint64_t qualifier,
                              const std::string &home);

// The home that names a manager's objects: key home of section services of kova.ini in
// `data_home`, else `data_home` itself, in lower case. Client and manager must agree on it.
std::string fxi_conn_shm_home(const std::string &data_home);

// ---- The manager's announcement, made by the manager ----

// A client announces itself by writing its connection packet into the manager's
// announcement block and setting the announcement event; the manager opens the client's
// objects, takes its manager mutex and answers. Clients take turns through the turn mutex;
// the manager's announcement thread holds the liveness mutex for as long as it offers the
// transport, so that a client sees a manager that ended by the mutex being abandoned.
//
// Block layout: packet length (u16), packet (up to 16 bytes), answer (u16), the process id
// the answer is for (u32).
constexpr uint16_t DXI_SHM_PACKET_MAX = 16;
constexpr size_t DXI_SHM_ANNOUNCE_LENGTH = 0, DXI_SHM_ANNOUNCE_PACKET = 2,
                 DXI_SHM_ANNOUNCE_ANSWER = 18, DXI_SHM_ANNOUNCE_FOR = 20,
                 DXI_SHM_ANNOUNCE_SIZE = 24;

// The hand-over flag of a shared block, read and written by both processes.
uint8_t fxi_conn_shm_load_flag(const uint8_t *flag);
void fxi_conn_shm_store_flag(uint8_t *flag, uint8_t value);
// Whether a mutex its owner holds for a connection's life is free or abandoned, that is
// whether the owner has gone. A mutex taken here is given back at once.
bool fxi_conn_shm_owner_gone(HANDLE mutex);
// Waits until the manager has taken a message that wants no reply, that is cleared the
// block's flag: a few yields are mostly enough, then short sleeps leave the processor to it.
// False when `failed` is set first, or when `manager_gone` says so at one of the checks made
// once a liveness slice while the message is still there.
bool fxi_conn_shm_await_taken(const uint8_t *block, const std::function<bool()> &manager_gone,
                              const std::atomic<bool> *failed = nullptr);

// Whether this machine's clients and managers use shared memory at all. Where the named
// objects are emulated (POSIX), an exchange over them costs many times one over the socket
// (bench_managers), so there both sides use it only when LXICONN_SHARED_MEMORY is set.
bool fxi_conn_shm_wanted();

// Names of the announcement's objects for a manager and home: the block (base), the
// announcement event (+ "Q"), the answer event (+ "A"), the turn mutex (+ "C") and the
// liveness mutex (+ "M"). A manager makes them machine-wide, or in its own session when it
// may not (run by an ordinary user instead of as a service); a client looks in both.
std::string fxi_conn_shm_announce_base(uint16_t manager, const std::string &home,
                                       TXI_SHM_NAMESPACE space = TXI_SHM_NAMESPACE::global);

// The rights each side asks for when it opens the other's objects: enough to signal and wait,
// to take and give back a mutex, and to read and write a block, and no more, so that the
// objects' access rules (kova_shared_object_security) let it in from another account.
constexpr DWORD DXI_SHM_EVENT_ACCESS = EVENT_MODIFY_STATE | SYNCHRONIZE;
constexpr DWORD DXI_SHM_MUTEX_ACCESS = MUTEX_MODIFY_STATE | SYNCHRONIZE;
constexpr DWORD DXI_SHM_MAP_ACCESS = FILE_MAP_READ | FILE_MAP_WRITE;

// How long a client waits for its turn and for the answer before it gives the transport up,
// and the slice after which either side looks whether the other is still there.
constexpr DWORD DXI_SHM_ANNOUNCE_WAIT = 10000;
constexpr DWORD DXI_SHM_LIVENESS_SLICE = 200;
// How long a manager answering one client from another's request waits for the client to take
// each part of a long answer before it leaves the rest to the client's own thread.
constexpr DWORD DXI_SHM_HAND_OVER_WAIT = 50;
// A receive without the manager's mutex to watch gives up after this.
constexpr DWORD DXI_SHM_RECEIVE_LIMIT = 60000;
