// kvqm: the queue manager. Keeps named queues (one message each) and semaphores for the suite's
// programs, answers their connection requests, and publishes its address in the data home.
#include "kernel/coord/conn_server.h"
#include "kernel/coord/queue.h"
#include "services/service_main.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

namespace {

struct Queue {
    std::string name;
    uint16_t size = 0; // 0: a semaphore
    uint16_t id = 0;
    bool has_message = false;
    std::vector<uint8_t> data;
    uint16_t holder = 0; // semaphore: the client holding it
    uint16_t writer = 0; // queue: the client whose message of several chunks is arriving
    std::vector<uint8_t> incoming;
    // Readers that found it taken, in order of their first try, with the times of their first
    // and last try. Clients poll: left alone, a busy client that gives it back and takes it
    // again at once could keep the others waiting for ever. A reader that has waited long is
    // therefore served first, while it still tries.
    struct Waiter {
        uint16_t client;
        ULONGLONG since, last;
    };
    std::deque<Waiter> waiters;
};

// A waiter retries at least every second: one silent for longer has given up. One that has
// waited this long gets the next turn.
constexpr ULONGLONG waiter_patience = 1500;
constexpr ULONGLONG waiter_priority = 1000;

// What a client has under way: a message of several chunks it is writing, and the message it
// last took, which goes back to its queue if the client disappears before receiving it.
struct ClientState {
    std::string writing;
    std::string loan_queue;
    std::vector<uint8_t> loan;
};

class QueueManager : public CXI_MANAGER {
public:
    QueueManager() : CXI_MANAGER("kvqm", DXI_CONN_QUEUE_MANAGER, DXI_CONN_QUEUE_SIZE) {}

protected:
    bool request(TXI_MANAGER_CLIENT &client, uint8_t *message) override;
    void closed(TXI_MANAGER_CLIENT &client, bool undelivered) override;

private:
    void answer(TXI_MANAGER_CLIENT &client, uint8_t *message, uint16_t status,
                const Queue *queue = nullptr);
    bool read(TXI_MANAGER_CLIENT &client, Queue &queue, uint8_t *message);
    bool write(TXI_MANAGER_CLIENT &client, Queue &queue, uint8_t *message);

    std::map<std::string, Queue> queues_;
    std::map<uint16_t, ClientState> clients_;
    uint16_t last_id_ = 0;
};

// Queue names are looked up without regard to case, as the suite's file names are.
std::string key_of(const char *name) {
    std::string key = name;
    for (char &c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

void QueueManager::answer(TXI_MANAGER_CLIENT &client, uint8_t *message, uint16_t status,
                          const Queue *queue) {
    fxi_conn_put16(message, status);
    if (queue) {
        TXI_QUEUE handle;
        fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, &handle);
        std::memset(handle.name, 0, sizeof handle.name);
        std::memcpy(handle.name, queue->name.data(), std::min<size_t>(queue->name.size(), 8));
        handle.size = queue->size;
        handle.manager = queue->id;
        fxi_queue_handle_encode(handle, message + DXI_QUEUE_AT_HANDLE);
    }
    reply(client, message);
}

bool QueueManager::request(TXI_MANAGER_CLIENT &client, uint8_t *message) {
    uint16_t operation = fxi_conn_get16(message);
    TXI_QUEUE handle;
    fxi_queue_handle_decode(message + DXI_QUEUE_AT_HANDLE, &handle);
    ClientState &state = clients_[client.number];
    // A new request shows that the client received everything before it.
    state.loan_queue.clear();
    state.loan.clear();
    std::string key = key_of(handle.name);
    if (!state.writing.empty() && (operation != DXI_QUEUE_WRITE || key != state.writing)) {
        log("client %word%,5 interrupted its message to %str%", static_cast<int>(client.number),
            state.writing.c_str());
        return false;
    }
    bool semaphore = handle.size == 0;
    auto found = queues_.find(key);
    switch (operation) {
    case DXI_QUEUE_MAKE: {
        if (key.empty()) {
            answer(client, message, semaphore ? DXI_SEM_MAKE_NO_NAME : DXI_QUEUE_MAKE_NO_NAME);
            return true;
        }
        if (found != queues_.end()) {
            answer(client, message, semaphore ? DXI_SEM_EXISTS : DXI_QUEUE_EXISTS, &found->second);
            return true;
        }
        Queue &q = queues_[key];
        q.name = handle.name;
        q.size = handle.size;
        q.id = ++last_id_;
        q.data.assign(q.size, 0);
        // The maker either holds the new message (or semaphore) or leaves it for a reader.
        if (semaphore)
            q.holder = handle.taken ? client.number : 0;
        else
            q.has_message = handle.taken == 0;
        log("client %word%,5 made %str% %str% (%word%,5 bytes%str%)",
            static_cast<int>(client.number), semaphore ? "semaphore" : "queue", q.name.c_str(),
            static_cast<int>(q.size), handle.taken ? ", taken" : "");
        answer(client, message, 0, &q);
        return true;
    }
    case DXI_QUEUE_OPEN:
        if (key.empty()) {
            answer(client, message, semaphore ? DXI_SEM_OPEN_NO_NAME : DXI_QUEUE_OPEN_NO_NAME);
            return true;
        }
        if (found == queues_.end()) {
            answer(client, message, DXI_QUEUE_NOT_FOUND);
            return true;
        }
        answer(client, message, 0, &found->second);
        return true;
    case DXI_QUEUE_CLOSE:
        if (found == queues_.end()) {
            answer(client, message, DXI_QUEUE_NOT_FOUND);
            return true;
        }
        if (found->second.size == 0 && found->second.holder == client.number) {
            found->second.holder = 0;
            log("client %word%,5 closed semaphore %str% and gave it back",
                static_cast<int>(client.number), found->second.name.c_str());
        }
        answer(client, message, 0, &found->second);
        return true;
    case DXI_QUEUE_READ:
    case DXI_QUEUE_WRITE:
        if (found == queues_.end()) {
            answer(client, message, DXI_QUEUE_NOT_FOUND);
            return true;
        }
        // The client cuts and joins messages by the size its handle gives: a handle of another
        // size would leave both sides waiting for chunks that never come.
        if (handle.size != found->second.size) {
            log("client %word%,5 used %str% with %word%,5 bytes instead of %word%,5",
                static_cast<int>(client.number), found->second.name.c_str(),
                static_cast<int>(handle.size), static_cast<int>(found->second.size));
            return false;
        }
        return operation == DXI_QUEUE_READ ? read(client, found->second, message)
                                           : write(client, found->second, message);
    default:
        log("client %word%,5 sent unknown operation %word%,5", static_cast<int>(client.number),
            static_cast<int>(operation));
        return false;
    }
}

bool QueueManager::read(TXI_MANAGER_CLIENT &client, Queue &q, uint8_t *message) {
    bool semaphore = q.size == 0;
    bool available = semaphore ? q.holder == 0 : q.has_message && q.writer == 0;
    ULONGLONG now = GetTickCount64();
    while (!q.waiters.empty() && now - q.waiters.front().last > waiter_patience)
        q.waiters.pop_front();
    auto me = std::find_if(q.waiters.begin(), q.waiters.end(),
                           [&](const Queue::Waiter &w) { return w.client == client.number; });
    bool reserved = !q.waiters.empty() && q.waiters.front().client != client.number &&
                    now - q.waiters.front().since >= waiter_priority;
    if (!available || reserved) {
        if (me == q.waiters.end())
            q.waiters.push_back({client.number, now, now});
        else
            me->last = now;
        answer(client, message, semaphore ? DXI_SEM_BUSY : DXI_QUEUE_EMPTY, &q);
        return true;
    }
    if (me != q.waiters.end()) q.waiters.erase(me);
    if (semaphore) {
        q.holder = client.number;
        answer(client, message, 0, &q);
        return true;
    }
    q.has_message = false;
    ClientState &state = clients_[client.number];
    state.loan_queue = key_of(q.name.c_str());
    state.loan = q.data;
    // The first chunk answers the request; the rest follow unasked.
    size_t done = 0;
    do {
        size_t chunk = std::min<size_t>(q.size - done, DXI_QUEUE_CHUNK);
        std::memset(message + DXI_QUEUE_AT_DATA, 0, message_size() - DXI_QUEUE_AT_DATA);
        std::memcpy(message + DXI_QUEUE_AT_DATA, q.data.data() + done, chunk);
        answer(client, message, 0, &q);
        done += chunk;
    } while (done < q.size);
    return true;
}

bool QueueManager::write(TXI_MANAGER_CLIENT &client, Queue &q, uint8_t *message) {
    if (q.size == 0) {
        if (q.holder != client.number) {
            answer(client, message, DXI_SEM_NOT_HELD, &q);
            return true;
        }
        q.holder = 0;
        answer(client, message, 0, &q);
        return true;
    }
    ClientState &state = clients_[client.number];
    bool first = state.writing.empty();
    if (first) {
        if (q.has_message || q.writer != 0) {
            answer(client, message, DXI_QUEUE_FULL, &q);
            return true;
        }
        q.writer = client.number;
        q.incoming.clear();
        state.writing = key_of(q.name.c_str());
    }
    size_t chunk = std::min<size_t>(q.size - q.incoming.size(), DXI_QUEUE_CHUNK);
    q.incoming.insert(q.incoming.end(), message + DXI_QUEUE_AT_DATA,
                      message + DXI_QUEUE_AT_DATA + chunk);
    bool last = q.incoming.size() >= q.size;
    if (last) {
        // Only a complete message replaces the queue's content.
        q.data.swap(q.incoming);
        q.incoming.clear();
        q.has_message = true;
        q.writer = 0;
        state.writing.clear();
    }
    if (first || last) answer(client, message, 0, &q);
    return true;
}

void QueueManager::closed(TXI_MANAGER_CLIENT &client, bool undelivered) {
    auto it = clients_.find(client.number);
    for (auto &[key, q] : queues_) {
        std::erase_if(q.waiters, [&](const Queue::Waiter &w) { return w.client == client.number; });
        if (q.size == 0 && q.holder == client.number) {
            q.holder = 0;
            log("semaphore %str% held by client %word%,5 given back", q.name.c_str(),
                static_cast<int>(client.number));
        }
        if (q.writer == client.number) {
            q.writer = 0;
            q.incoming.clear();
            log("unfinished message of client %word%,5 to %str% discarded",
                static_cast<int>(client.number), q.name.c_str());
        }
    }
    if (it == clients_.end()) return;
    ClientState &state = it->second;
    if (undelivered && !state.loan_queue.empty()) {
        auto q = queues_.find(state.loan_queue);
        if (q != queues_.end() && !q->second.has_message && q->second.writer == 0) {
            q->second.data = state.loan;
            q->second.has_message = true;
            log("message of %str% never reached client %word%,5: put back", q->second.name.c_str(),
                static_cast<int>(client.number));
        }
    }
    clients_.erase(it);
}

} // namespace

int main(int argc, char **argv) {
    TXS_SERVICE_ARGS args;
    if (!service_arguments("kvqm", argc, argv, &args)) return 2;
    QueueManager manager;
    return run_manager(manager, args);
}
