// Named queues and semaphores kept by the queue manager, the background executor's command
// queues, and the user layer on top of them: the user table, the system semaphore, the users
// file and the attachment without a user.
#pragma once

#include "kernel/coord/conn.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---- Queue handles and messages ----

// A queue or semaphore handle; 33 bytes on the wire.
struct TXI_QUEUE {
    char name[9] = {};      // up to 8 characters, NUL-terminated
    uint16_t size = 0;      // message size; 0 for a semaphore
    uint16_t taken = 0;     // make: the maker holds the message; semaphore: held by this process
    uint16_t manager = 0;   // the queue manager's own word
    uint16_t open = 0;      // set after a successful make or open
    uint8_t block[16] = {}; // the queue manager's own bytes
};

constexpr uint16_t DXI_QUEUE_HANDLE_SIZE = 33;
constexpr uint16_t DXI_QUEUE_AT_HANDLE = 2;
constexpr uint16_t DXI_QUEUE_AT_DATA = 35;
constexpr uint16_t DXI_QUEUE_CHUNK = 499; // data bytes one message carries

// Operation codes (the first word of a request).
constexpr uint16_t DXI_QUEUE_MAKE = 1;
constexpr uint16_t DXI_QUEUE_CLOSE = 2;
constexpr uint16_t DXI_QUEUE_OPEN = 3;
constexpr uint16_t DXI_QUEUE_READ = 5;
constexpr uint16_t DXI_QUEUE_WRITE = 6;

void fxi_queue_handle_encode(const TXI_QUEUE &queue, uint8_t *out);
void fxi_queue_handle_decode(const uint8_t *in, TXI_QUEUE *queue);
// The part of a queue name after its last backslash, at most 8 characters.
std::string fxi_queue_name_part(const char *name);

// ---- Status codes ----

constexpr uint16_t DXI_QUEUE_EXISTS = 3055;
constexpr uint16_t DXI_QUEUE_MAKE_NO_NAME = 3056;
constexpr uint16_t DXI_QUEUE_NOT_FOUND = 3058;
constexpr uint16_t DXI_QUEUE_OPEN_NO_NAME = 3059;
constexpr uint16_t DXI_QUEUE_EMPTY = 3060;
constexpr uint16_t DXI_QUEUE_FULL = 3061;
constexpr uint16_t DXI_QUEUE_NOT_OPEN = 3064;
constexpr uint16_t DXI_QUEUE_EXCHANGE = 3065;
constexpr uint16_t DXI_QUEUE_NO_SYSTEM = 3067;
constexpr uint16_t DXI_SEM_EXISTS = 3105;
constexpr uint16_t DXI_SEM_MAKE_NO_NAME = 3106;
constexpr uint16_t DXI_SEM_NO_SYSTEM = 3107;
constexpr uint16_t DXI_SEM_OPEN_NO_NAME = 3109;
constexpr uint16_t DXI_SEM_BUSY = 3110;
constexpr uint16_t DXI_SEM_NOT_HELD = 3111;
constexpr uint16_t DXI_SEM_EXCHANGE = 3115;
constexpr uint16_t DXK_USER_NO_SYSTEM = 1314;
constexpr uint16_t DXK_USER_NO_MEMORY = 2801;
constexpr uint16_t DXI_BRUN_ABSENT = 2957;

// The background executor's command queues and the size of their messages.
constexpr uint16_t DXI_BRUN_SIZE = 571;

// ---- Queue systems ----

// A recursive lock that knows its owner and depth.
class TXI_OWNED_LOCK {
public:
    void enter();
    void leave();
    // The depth of the calling thread's hold; 0 when another thread or none holds it.
    unsigned depth() const;
    bool owned_by_caller() const;
    bool held() const;

private:
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    std::atomic<unsigned> depth_{0};
};

// A connection to the queue manager with the queue and semaphore operations over it. The
// process has one (fxi_queue_system); a manager's own client or a load generator may have
// more. Every exchange runs under the connection lock.
class CXI_QUEUE_SYSTEM {
public:
    // Connects to the queue manager (server as for fxi_conn_connect); the queue system is
    // present from then on.
    uint16_t connect(const char *server = nullptr, uint16_t flags = 0,
                     const uint16_t *user_slot = nullptr);
    // Ends the connection, with the sign-off exchange when `signoff` is given.
    uint16_t disconnect(uint16_t *signoff = nullptr);

    bool present() const { return present_; }
    void set_present(bool present) { present_ = present; }
    uint16_t manager_confirmed() const { return confirmed_; }
    CXI_CONN &connection() { return conn_; }
    TXI_OWNED_LOCK &lock() { return lock_; }

    uint16_t make(const char *name, uint16_t size, uint16_t taken, TXI_QUEUE *queue);
    uint16_t open(const char *name, uint16_t size, TXI_QUEUE *queue);
    uint16_t close(TXI_QUEUE *queue);
    uint16_t read(TXI_QUEUE *queue, void *buffer, uint16_t no_wait);
    uint16_t write(TXI_QUEUE *queue, const void *data, uint16_t no_wait);
    uint16_t sem_make(const char *name, TXI_QUEUE *queue);
    uint16_t sem_open(const char *name, TXI_QUEUE *queue);
    uint16_t sem_read(TXI_QUEUE *queue, uint16_t no_wait);
    uint16_t sem_write(TXI_QUEUE *queue, uint16_t no_wait);
    uint16_t sem_close(TXI_QUEUE *queue);
    uint16_t brun_command(const char *command);

    // Messages sent to and received from the queue manager so far.
    uint64_t messages_sent() const { return sent_; }
    uint64_t messages_received() const { return received_; }

private:
    uint16_t exchange(uint16_t operation, TXI_QUEUE *queue, uint8_t *message, bool reply);
    uint16_t exchange_failed(const TXI_QUEUE *queue) const;

    CXI_CONN conn_;
    TXI_OWNED_LOCK lock_;
    bool present_ = false;
    uint16_t confirmed_ = 0;
    std::atomic<uint64_t> sent_{0}, received_{0};
};

// The process's queue system: its queue-manager connection and whether the queue system is
// present. Callers may put another connection in its place for a while (a copy of a
// CXI_CONN shares the transport) and put the original back.
CXI_QUEUE_SYSTEM &fxi_queue_system();

uint16_t fxi_queue_make(const char *name, uint16_t size, uint16_t taken, TXI_QUEUE *queue);
uint16_t fxi_queue_open(const char *name, uint16_t size, TXI_QUEUE *queue);
uint16_t fxi_queue_close(TXI_QUEUE *queue);
uint16_t fxi_queue_read(TXI_QUEUE *queue, void *buffer, uint16_t no_wait);
uint16_t fxi_queue_write(TXI_QUEUE *queue, const void *data, uint16_t no_wait);
uint16_t fxi_sem_make(const char *name, TXI_QUEUE *queue);
uint16_t fxi_sem_open(const char *name, TXI_QUEUE *queue);
uint16_t fxi_sem_read(TXI_QUEUE *queue, uint16_t no_wait);
uint16_t fxi_sem_write(TXI_QUEUE *queue, uint16_t no_wait);
uint16_t fxi_sem_close(TXI_QUEUE *queue);
// Hands a command to the background executor; for any command but "exit" waits for its
// reply and answers the reply's first word.
uint16_t fxi_brun_command(const char *command);

// ---- The user layer ----

// Attaches the process to the system without a user: connects the queue system and the file
// manager and takes the user table. True on success (the attachment and the table are then
// held); false when there is no queue system or file manager, and nothing is held.
bool fxk_user_attach();
// Ends the attachment: detaches the file manager and disconnects the queue system. The user
// table is not written back.
void fxk_user_detach();
// Makes or opens the user queue and takes the user table.
uint16_t fxk_user_init(uint16_t no_queue, uint16_t chained);
// Takes the user table (recursively); gives it back.
uint16_t fxk_user_readqmsg();
uint16_t fxk_user_writeqmsg();
// Takes the system semaphore and opens the users file; 1 on success, 0 on failure.
int fxk_user_openfile();
// Closes the users file and gives the semaphore back (close flag 1: closes it instead).
void fxk_user_closfile(uint16_t close_flag);
// Reads the users record of a slot into the users record buffer, or into `record` when given.
void fxk_user_readrec(uint16_t slot, uint8_t *record = nullptr);

// The user table: 8 + 8 x N bytes, a slot of eight 255 bytes is free.
constexpr uint16_t DXK_USER_SLOT_SIZE = 8;
constexpr uint16_t DXK_USER_TABLE_HEADER = 8;
// Users file records and the two fields the patch tool reads.
constexpr uint16_t DXK_USER_RECORD_SIZE = 64;
constexpr uint16_t DXK_USER_AT_FUNCTION = 22;
constexpr uint16_t DXK_USER_FUNCTION_SIZE = 35;
constexpr uint16_t DXK_USER_AT_ACTIVITY = 57;

// The table as last taken (the whole buffer) and its number of slots.
const std::vector<uint8_t> &fxk_user_table();
uint16_t fxk_user_slots();
// Whether slot `slot` of the table is occupied.
bool fxk_user_slot_used(uint16_t slot);
// The users record buffer (64 bytes).
const uint8_t *fxk_user_record();
bool fxk_user_attached();
// Whether the semaphore is open and a thread of the process holds it: taking the user table
// now would be the sequence error.
bool fxk_user_semaphore_held();
// Which lock greyed the application's close command: 0 none, 1 semaphore, 2 queue.
int fxk_user_close_guard();

// The file-manager interface's attach and detach (the interface connects to the file
// manager of the installation).
uint16_t fxm_file_attach(uint16_t attempt, uint16_t flags);
void fxm_file_detach(uint16_t flag);
