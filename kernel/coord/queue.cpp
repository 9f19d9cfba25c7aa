// Queues and semaphores over the queue-manager connection: one exchange per operation,
// messages of more than one chunk, and the waits of a reader or writer that finds the queue
// empty, full or busy.
#include "kernel/coord/queue.h"

#include "kernel/text/format.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr size_t at_name = 0, at_size = 9, at_taken = 11, at_manager = 13, at_open = 15,
                 at_block = 17;

// A read that finds the queue empty (or the semaphore busy) waits 100 ms, then 100 ms more
// after each further try, up to one second between tries.
uint32_t next_wait(uint32_t units) {
    return units < 100 ? units + 10 : units;
}

bool equal_nocase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

void set_name(TXI_QUEUE *queue, const std::string &name) {
    std::memset(queue->name, 0, sizeof queue->name);
    std::memcpy(queue->name, name.data(), std::min(name.size(), sizeof queue->name - 1));
}

struct Guard {
    explicit Guard(TXI_OWNED_LOCK &lock) : lock_(lock) { lock_.enter(); }
    ~Guard() { lock_.leave(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    TXI_OWNED_LOCK &lock_;
};

} // namespace

// ---- Wire layout ----

void fxi_queue_handle_encode(const TXI_QUEUE &queue, uint8_t *out) {
    std::memset(out, 0, DXI_QUEUE_HANDLE_SIZE);
    size_t n = strnlen(queue.name, sizeof queue.name - 1);
    std::memcpy(out + at_name, queue.name, n);
    fxi_conn_put16(out + at_size, queue.size);
    fxi_conn_put16(out + at_taken, queue.taken);
    fxi_conn_put16(out + at_manager, queue.manager);
    fxi_conn_put16(out + at_open, queue.open);
    std::memcpy(out + at_block, queue.block, sizeof queue.block);
}

void fxi_queue_handle_decode(const uint8_t *in, TXI_QUEUE *queue) {
    std::memset(queue->name, 0, sizeof queue->name);
    // The name field may lack its terminator on the wire; the record always keeps one.
    size_t n = 0;
    while (n < sizeof queue->name - 1 && in[at_name + n]) ++n;
    std::memcpy(queue->name, in + at_name, n);
    queue->size = fxi_conn_get16(in + at_size);
    queue->taken = fxi_conn_get16(in + at_taken);
    queue->manager = fxi_conn_get16(in + at_manager);
    queue->open = fxi_conn_get16(in + at_open);
    std::memcpy(queue->block, in + at_block, sizeof queue->block);
}

std::string fxi_queue_name_part(const char *name) {
    if (!name) return {};
    const char *slash = std::strrchr(name, '\\');
    std::string part = slash ? slash + 1 : name;
    if (part.size() > 8) part.resize(8);
    return part;
}

// ---- Owned locks ----

void TXI_OWNED_LOCK::enter() {
    mutex_.lock();
    owner_ = std::this_thread::get_id();
    ++depth_;
}

void TXI_OWNED_LOCK::leave() {
    if (!owned_by_caller()) return;
    if (--depth_ == 0) owner_ = std::thread::id{};
    mutex_.unlock();
}

unsigned TXI_OWNED_LOCK::depth() const {
    return owned_by_caller() ? depth_.load() : 0;
}

bool TXI_OWNED_LOCK::owned_by_caller() const {
    return depth_ > 0 && owner_.load() == std::this_thread::get_id();
}

bool TXI_OWNED_LOCK::held() const {
    return owner_.load() != std::thread::id{};
}

// ---- The queue system ----

CXI_QUEUE_SYSTEM &fxi_queue_system() {
    static CXI_QUEUE_SYSTEM process;
    return process;
}

uint16_t CXI_QUEUE_SYSTEM::connect(const char *server, uint16_t flags, const uint16_t *user_slot) {
    Guard guard(lock_);
    confirmed_ = 0;
    uint16_t status = conn_.connect(server, DXI_CONN_QUEUE_MANAGER, flags, DXI_CONN_QUEUE_SIZE,
                                    user_slot, &confirmed_);
    present_ = status == 0;
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::disconnect(uint16_t *signoff) {
    Guard guard(lock_);
    present_ = false;
    return conn_.disconnect(signoff);
}

uint16_t CXI_QUEUE_SYSTEM::exchange_failed(const TXI_QUEUE *queue) const {
    return queue && queue->size == 0 ? DXI_SEM_EXCHANGE : DXI_QUEUE_EXCHANGE;
}

uint16_t CXI_QUEUE_SYSTEM::exchange(uint16_t operation, TXI_QUEUE *queue, uint8_t *message,
                                    bool reply) {
    Guard guard(lock_);
    fxi_conn_put16(message, operation);
    if (queue) fxi_queue_handle_encode(*queue, message + DXI_QUEUE_AT_HANDLE);
    ++sent_;
    if (conn_.transact(message, reply ? message : nullptr) != 0) return exchange_failed(queue);
    if (reply) ++received_;
    return reply ? fxi_conn_get16(message) : 0;
}

uint16_t CXI_QUEUE_SYSTEM::make(const char *name, uint16_t size, uint16_t taken, TXI_QUEUE *queue) {
    if (!present_) return DXI_QUEUE_NO_SYSTEM;
    std::string part = fxi_queue_name_part(name);
    if (part.empty()) return DXI_QUEUE_MAKE_NO_NAME;
    TXI_QUEUE request;
    set_name(&request, part);
    request.size = size;
    request.taken = taken;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_MAKE, &request, message, true);
    if (status == 0) {
        fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, queue);
        queue->open = 1;
    }
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::open(const char *name, uint16_t size, TXI_QUEUE *queue) {
    if (!present_) return DXI_QUEUE_NO_SYSTEM;
    std::string part = fxi_queue_name_part(name);
    if (part.empty()) return DXI_QUEUE_OPEN_NO_NAME;
    *queue = TXI_QUEUE{};
    set_name(queue, part);
    queue->size = size;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_OPEN, queue, message, true);
    if (status == 0) {
        fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, queue);
        queue->open = 1;
    }
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::close(TXI_QUEUE *queue) {
    if (!queue->open) return DXI_QUEUE_NOT_OPEN;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    return exchange(DXI_QUEUE_CLOSE, queue, message, true);
}

uint16_t CXI_QUEUE_SYSTEM::read(TXI_QUEUE *queue, void *buffer, uint16_t no_wait) {
    if (!queue->open) return DXI_QUEUE_NO_SYSTEM;
    Guard guard(lock_);
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    fxk_debug_trace("about to transmit read request");
    uint16_t status = exchange(DXI_QUEUE_READ, queue, message, true);
    uint32_t units = 10;
    while (status == DXI_QUEUE_EMPTY && !no_wait) {
        fxk_debug_trace("queue is empty - waiting");
        fxi_conn_wait(units);
        units = next_wait(units);
        fxk_debug_trace("about to transmit read request");
        std::memset(message, 0, sizeof message);
        status = exchange(DXI_QUEUE_READ, queue, message, true);
    }
    if (status != 0) return status;
    // A message longer than one chunk follows unasked, a chunk per message.
    uint8_t *out = static_cast<uint8_t *>(buffer);
    size_t size = queue->size, done = std::min<size_t>(size, DXI_QUEUE_CHUNK);
    std::memcpy(out, message + DXI_QUEUE_AT_DATA, done);
    while (done < size) {
        if (conn_.receive(message) != 0) return DXI_QUEUE_EXCHANGE;
        ++received_;
        size_t chunk = std::min<size_t>(size - done, DXI_QUEUE_CHUNK);
        std::memcpy(out + done, message + DXI_QUEUE_AT_DATA, chunk);
        done += chunk;
    }
    return 0;
}

uint16_t CXI_QUEUE_SYSTEM::write(TXI_QUEUE *queue, const void *data, uint16_t no_wait) {
    if (!queue->open) return DXI_QUEUE_NO_SYSTEM;
    Guard guard(lock_);
    const uint8_t *in = static_cast<const uint8_t *>(data);
    size_t size = queue->size;
    for (;;) {
        uint16_t status = 0;
        size_t done = 0;
        bool first = true;
        // Replies come for the first chunk and the last one; the chunks between go unanswered.
        do {
            size_t chunk = std::min<size_t>(size - done, DXI_QUEUE_CHUNK);
            bool last = done + chunk >= size;
            uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
            std::memcpy(message + DXI_QUEUE_AT_DATA, in + done, chunk);
            status = exchange(DXI_QUEUE_WRITE, queue, message, first || last);
            done += chunk;
            if (status == DXI_QUEUE_EXCHANGE || (first && status != 0 && !last)) break;
            first = false;
        } while (done < size);
        if (status != DXI_QUEUE_FULL || no_wait) return status;
        fxi_conn_wait(10);
    }
}

uint16_t CXI_QUEUE_SYSTEM::sem_make(const char *name, TXI_QUEUE *queue) {
    if (!present_) return DXI_SEM_NO_SYSTEM;
    std::string part = fxi_queue_name_part(name);
    if (part.empty()) return DXI_SEM_MAKE_NO_NAME;
    TXI_QUEUE request;
    set_name(&request, part);
    request.size = 0;
    request.taken = 1;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_MAKE, &request, message, true);
    if (status == 0) {
        fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, queue);
        queue->open = 1;
        queue->taken = 1; // the maker holds the new semaphore
    }
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::sem_open(const char *name, TXI_QUEUE *queue) {
    if (!present_) return DXI_SEM_NO_SYSTEM;
    std::string part = fxi_queue_name_part(name);
    if (part.empty()) return DXI_SEM_OPEN_NO_NAME;
    *queue = TXI_QUEUE{};
    set_name(queue, part);
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_OPEN, queue, message, true);
    if (status == 0) {
        fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, queue);
        queue->open = 1;
        queue->taken = 0;
    }
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::sem_read(TXI_QUEUE *queue, uint16_t no_wait) {
    if (queue->taken) return 0;
    if (!queue->open) return DXI_SEM_NO_SYSTEM;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_READ, queue, message, true);
    uint32_t units = 10;
    while (status == DXI_SEM_BUSY && !no_wait) {
        fxi_conn_wait(units);
        units = next_wait(units);
        std::memset(message, 0, sizeof message);
        status = exchange(DXI_QUEUE_READ, queue, message, true);
    }
    if (status == 0) queue->taken = 1;
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::sem_write(TXI_QUEUE *queue, uint16_t no_wait) {
    if (!queue->taken) return DXI_SEM_NOT_HELD;
    if (!queue->open) return DXI_SEM_NO_SYSTEM;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_WRITE, queue, message, true);
    while (status == DXI_SEM_BUSY && !no_wait) {
        fxi_conn_wait(10);
        std::memset(message, 0, sizeof message);
        status = exchange(DXI_QUEUE_WRITE, queue, message, true);
    }
    if (status == 0) queue->taken = 0;
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::sem_close(TXI_QUEUE *queue) {
    if (!queue->taken) return DXI_SEM_NOT_HELD;
    uint8_t message[DXI_CONN_QUEUE_SIZE] = {};
    uint16_t status = exchange(DXI_QUEUE_CLOSE, queue, message, true);
    // The manager gives a closed semaphore back; this process no longer holds it.
    if (status == 0) queue->taken = 0;
    return status;
}

uint16_t CXI_QUEUE_SYSTEM::brun_command(const char *command) {
    TXI_QUEUE commands, replies;
    uint16_t status = open("BRUNC", DXI_BRUN_SIZE, &commands);
    if (status == DXI_QUEUE_NOT_FOUND) return DXI_BRUN_ABSENT;
    if (status) return status;
    if ((status = open("BRUNR", DXI_BRUN_SIZE, &replies)) != 0) return status;
    // The executor reads the command as a NUL-terminated text; what follows it is not looked at.
    std::vector<uint8_t> buffer(std::max<size_t>({commands.size, replies.size, DXI_BRUN_SIZE}), 0);
    std::strncpy(reinterpret_cast<char *>(buffer.data()), command ? command : "",
                 DXI_BRUN_SIZE - 1);
    if ((status = write(&commands, buffer.data(), 0)) != 0) return status;
    if (command && equal_nocase(command, "exit")) return 0;
    if ((status = read(&replies, buffer.data(), 0)) != 0) return status;
    return fxi_conn_get16(buffer.data());
}

// ---- The process's operations ----

uint16_t fxi_queue_make(const char *name, uint16_t size, uint16_t taken, TXI_QUEUE *queue) {
    return fxi_queue_system().make(name, size, taken, queue);
}
uint16_t fxi_queue_open(const char *name, uint16_t size, TXI_QUEUE *queue) {
    return fxi_queue_system().open(name, size, queue);
}
uint16_t fxi_queue_close(TXI_QUEUE *queue) {
    return fxi_queue_system().close(queue);
}
uint16_t fxi_queue_read(TXI_QUEUE *queue, void *buffer, uint16_t no_wait) {
    return fxi_queue_system().read(queue, buffer, no_wait);
}
uint16_t fxi_queue_write(TXI_QUEUE *queue, const void *data, uint16_t no_wait) {
    return fxi_queue_system().write(queue, data, no_wait);
}
uint16_t fxi_sem_make(const char *name, TXI_QUEUE *queue) {
    return fxi_queue_system().sem_make(name, queue);
}
uint16_t fxi_sem_open(const char *name, TXI_QUEUE *queue) {
    return fxi_queue_system().sem_open(name, queue);
}
uint16_t fxi_sem_read(TXI_QUEUE *queue, uint16_t no_wait) {
    return fxi_queue_system().sem_read(queue, no_wait);
}
uint16_t fxi_sem_write(TXI_QUEUE *queue, uint16_t no_wait) {
    return fxi_queue_system().sem_write(queue, no_wait);
}
uint16_t fxi_sem_close(TXI_QUEUE *queue) {
    return fxi_queue_system().sem_close(queue);
}
uint16_t fxi_brun_command(const char *command) {
    return fxi_queue_system().brun_command(command);
}
