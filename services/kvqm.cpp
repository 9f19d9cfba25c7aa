// kvqm: the queue manager. Keeps named queues (one message each) and semaphores for the suite's
// programs, answers their connection requests, and publishes its address in the data home.
#include "services/kvqm.h"
#include "kernel/coord/conn_server.h"
#include "kernel/coord/queue.h"
#include "services/service_main.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <vector>

namespace {

// A read of a busy semaphore or an empty queue is answered when it is the asker's turn. One
// that waits this long is answered busy (or empty) instead, so that the client gets control
// back within a second; it keeps its place in the order while it retries.
constexpr ULONGLONG longest_parked = 900;
// The documented client retries at least every second: one that has been silent this long
// since its busy answer has given up and loses its place.
constexpr ULONGLONG place_kept = 2500;

// Freed message bytes worth handing back to the system at the next tick.
constexpr size_t heap_compact_bytes = size_t{1} << 20;

// The system's own objects, known by name to every program of the suite: the user table and
// the system semaphore, which record who is signed on, and the background executor's command
// queues, which the update tool writes to whether or not the executor runs. They outlive the
// programs that use them; every other queue goes when the last client that made or used it
// has left.
constexpr const char *lasting_queues[] = {"KOVAUSER", "MXKOVA", "BRUNC", "BRUNR"};

struct Queue {
    std::string name;
    uint16_t size = 0; // 0: a semaphore
    uint16_t id = 0;
    bool has_message = false;
    std::vector<uint8_t> data;
    uint16_t holder = 0; // semaphore: the client holding it
    uint16_t writer = 0; // queue: the client whose message of several chunks is arriving
    std::vector<uint8_t> incoming;
    uint16_t maker = 0;       // the client it counts against; 0 once that client has left
    std::set<uint16_t> users; // clients that made, opened or used it: it lives while any do
    // Readers that found it taken, in the order they first asked. A parked reader's request
    // waits here for its answer; one that was answered busy keeps its place while it retries.
    struct Waiter {
        TXI_MANAGER_CLIENT *client;
        ULONGLONG parked_at = 0;      // when its waiting request arrived
        ULONGLONG answered_at = 0;    // when it was last answered busy
        std::vector<uint8_t> request; // the waiting request; empty while it retries
        bool parked() const { return !request.empty(); }
    };
    std::deque<Waiter> waiters;

    bool semaphore() const { return size == 0; }
    bool available() const { return semaphore() ? holder == 0 : has_message && writer == 0; }
};

// What a client has under way: a message of several chunks it is writing, the message it
// last took, which goes back to its queue if the client disappears before receiving it, the
// queue whose read waits for its turn, and the queues it holds.
struct ClientState {
    std::string writing;
    std::string loan_queue;
    std::vector<uint8_t> loan;
    std::string parked;
    std::set<std::string> uses;
    size_t made = 0;      // queues counted against it
    bool refused = false; // told the log about a refused make already
};

class QueueManager : public CXI_MANAGER {
public:
    QueueManager() : CXI_MANAGER("kvqm", DXI_CONN_QUEUE_MANAGER, DXI_CONN_QUEUE_SIZE) {}

protected:
    bool request(TXI_MANAGER_CLIENT &client, uint8_t *message) override;
    void closed(TXI_MANAGER_CLIENT &client, bool undelivered) override;
    void tick(ULONGLONG now) override;

private:
    void answer(TXI_MANAGER_CLIENT &client, uint8_t *message, uint16_t status,
                const Queue *queue = nullptr);
    bool make(TXI_MANAGER_CLIENT &client, const TXI_QUEUE &handle, const std::string &key,
              uint8_t *message);
    void read(TXI_MANAGER_CLIENT &client, Queue &queue, uint8_t *message);
    void write(TXI_MANAGER_CLIENT &client, Queue &queue, uint8_t *message);
    void grant(TXI_MANAGER_CLIENT &client, Queue &queue, uint8_t *message);
    void serve(Queue &queue);
    void answer_waiting(Queue &queue, Queue::Waiter &waiter, ULONGLONG now);
    void use(TXI_MANAGER_CLIENT &client, const std::string &key, Queue &queue);
    void leave(uint16_t client, const std::string &key);

    std::map<std::string, Queue> queues_;
    std::map<uint16_t, ClientState> clients_;
    uint16_t last_id_ = 0;
    size_t message_bytes_ = 0;
    size_t freed_ = 0; // bytes of messages freed since the heap was last compacted
    ULONGLONG next_tick_ = 0;
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
    // A client waits for the answer to its read before it asks anything else; one that asks
    // anyway gets the waiting read answered first, so that its answers stay in order.
    if (!state.parked.empty()) {
        auto q = queues_.find(state.parked);
        state.parked.clear();
        if (q != queues_.end())
            for (Queue::Waiter &w : q->second.waiters)
                if (w.client == &client && w.parked())
                    answer_waiting(q->second, w, GetTickCount64());
    }
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
    case DXI_QUEUE_MAKE:
        if (key.empty()) {
            answer(client, message, semaphore ? DXI_SEM_MAKE_NO_NAME : DXI_QUEUE_MAKE_NO_NAME);
            return true;
        }
        if (found != queues_.end()) {
            answer(client, message, semaphore ? DXI_SEM_EXISTS : DXI_QUEUE_EXISTS, &found->second);
            return true;
        }
        return make(client, handle, key, message);
    case DXI_QUEUE_OPEN:
        if (key.empty()) {
            answer(client, message, semaphore ? DXI_SEM_OPEN_NO_NAME : DXI_QUEUE_OPEN_NO_NAME);
            return true;
        }
        if (found == queues_.end()) {
            answer(client, message, DXI_QUEUE_NOT_FOUND);
            return true;
        }
        use(client, key, found->second);
        answer(client, message, 0, &found->second);
        return true;
    case DXI_QUEUE_CLOSE: {
        if (found == queues_.end()) {
            answer(client, message, DXI_QUEUE_NOT_FOUND);
            return true;
        }
        Queue &q = found->second;
        if (q.semaphore() && q.holder == client.number) {
            q.holder = 0;
            log("client %word%,5 closed semaphore %str% and gave it back",
                static_cast<int>(client.number), q.name.c_str());
            serve(q);
        }
        answer(client, message, 0, &q);
        leave(client.number, key);
        return true;
    }
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
        use(client, key, found->second);
        if (operation == DXI_QUEUE_READ)
            read(client, found->second, message);
        else
            write(client, found->second, message);
        return true;
    default:
        log("client %word%,5 sent unknown operation %word%,5", static_cast<int>(client.number),
            static_cast<int>(operation));
        return false;
    }
}

bool QueueManager::make(TXI_MANAGER_CLIENT &client, const TXI_QUEUE &handle, const std::string &key,
                        uint8_t *message) {
    ClientState &state = clients_[client.number];
    bool semaphore = handle.size == 0;
    if (state.made >= DXS_QUEUES_PER_CLIENT || queues_.size() >= DXS_QUEUES_IN_TOTAL ||
        message_bytes_ + handle.size > DXS_MESSAGE_BYTES_IN_TOTAL) {
        // Logged once per client: a program that tries again and again would flood the log.
        if (!state.refused)
            log("client %word%,5 refused %str% %str%: it has %dword%,5 of at most %dword%,5; "
                "%dword%,5 of at most %dword%,5 in all, %dword%,5 KB of messages",
                static_cast<int>(client.number), semaphore ? "semaphore" : "queue", handle.name,
                static_cast<uint32_t>(state.made), static_cast<uint32_t>(DXS_QUEUES_PER_CLIENT),
                static_cast<uint32_t>(queues_.size()), static_cast<uint32_t>(DXS_QUEUES_IN_TOTAL),
                static_cast<uint32_t>(message_bytes_ / 1024));
        state.refused = true;
        answer(client, message, DXS_NO_ROOM);
        return true;
    }
    Queue &q = queues_[key];
    q.name = handle.name;
    q.size = handle.size;
    q.id = ++last_id_;
    q.data.assign(q.size, 0);
    q.maker = client.number;
    message_bytes_ += q.size;
    ++state.made;
    use(client, key, q);
    // The maker either holds the new message (or semaphore) or leaves it for a reader.
    if (semaphore)
        q.holder = handle.taken ? client.number : 0;
    else
        q.has_message = handle.taken == 0;
    log("client %word%,5 made %str% %str% (%word%,5 bytes%str%)", static_cast<int>(client.number),
        semaphore ? "semaphore" : "queue", q.name.c_str(), static_cast<int>(q.size),
        handle.taken ? ", taken" : "");
    answer(client, message, 0, &q);
    return true;
}

void QueueManager::use(TXI_MANAGER_CLIENT &client, const std::string &key, Queue &queue) {
    queue.users.insert(client.number);
    clients_[client.number].uses.insert(key);
}

// The client no longer uses the queue; the last one to go takes it and its memory away.
void QueueManager::leave(uint16_t client, const std::string &key) {
    auto found = queues_.find(key);
    if (found == queues_.end()) return;
    Queue &q = found->second;
    q.users.erase(client);
    auto state = clients_.find(client);
    if (state != clients_.end()) state->second.uses.erase(key);
    if (q.maker == client) {
        q.maker = 0;
        if (state != clients_.end() && state->second.made > 0) --state->second.made;
    }
    // Every reader and writer is a user: nobody waits for a queue that nobody uses.
    if (!q.users.empty() || std::ranges::find(lasting_queues, key) != std::end(lasting_queues))
        return;
    message_bytes_ -= q.size;
    freed_ += q.size;
    queues_.erase(found);
}

void QueueManager::read(TXI_MANAGER_CLIENT &client, Queue &q, uint8_t *message) {
    // The holder asking again already has it: answered at once, never made to wait for itself.
    if (q.semaphore() && q.holder == client.number) {
        answer(client, message, 0, &q);
        return;
    }
    auto me = std::find_if(q.waiters.begin(), q.waiters.end(),
                           [&](const Queue::Waiter &w) { return w.client == &client; });
    if (me == q.waiters.end()) {
        // Nobody earlier waits for it: the asker takes it at once.
        if (q.available() && std::none_of(q.waiters.begin(), q.waiters.end(),
                                          [](const Queue::Waiter &w) { return w.parked(); })) {
            grant(client, q, message);
            return;
        }
        me = q.waiters.insert(q.waiters.end(), Queue::Waiter{&client, 0, 0, {}});
    }
    me->parked_at = GetTickCount64();
    me->request.assign(message, message + message_size());
    clients_[client.number].parked = key_of(q.name.c_str());
    serve(q);
}

// Hands the semaphore or the queue's message to the client, answering its read.
void QueueManager::grant(TXI_MANAGER_CLIENT &client, Queue &q, uint8_t *message) {
    if (q.semaphore()) {
        q.holder = client.number;
        answer(client, message, 0, &q);
        return;
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
}

// While the semaphore or message is free, gives it to the reader that asked first of those
// whose request waits. Readers retrying after a busy answer are passed over rather than kept
// waiting for: the others are not held up, and they are first again once they ask.
void QueueManager::serve(Queue &q) {
    while (q.available()) {
        auto next = std::find_if(q.waiters.begin(), q.waiters.end(),
                                 [](const Queue::Waiter &w) { return w.parked(); });
        if (next == q.waiters.end()) return;
        TXI_MANAGER_CLIENT *client = next->client;
        std::vector<uint8_t> request = std::move(next->request);
        q.waiters.erase(next);
        clients_[client->number].parked.clear();
        // A client that can no longer be reached is on its way out: it gets nothing.
        if (reachable(*client)) grant(*client, q, request.data());
    }
}

void QueueManager::answer_waiting(Queue &q, Queue::Waiter &w, ULONGLONG now) {
    std::vector<uint8_t> request = std::move(w.request);
    w.request.clear();
    w.answered_at = now;
    clients_[w.client->number].parked.clear();
    answer(*w.client, request.data(), q.semaphore() ? DXI_SEM_BUSY : DXI_QUEUE_EMPTY, &q);
}

void QueueManager::tick(ULONGLONG now) {
    if (now < next_tick_) return;
    next_tick_ = now + DXI_MANAGER_TICK;
    // What left clients' queues held goes back to the system, not only to the heap.
    if (freed_ >= heap_compact_bytes) {
        freed_ = 0;
        HeapCompact(GetProcessHeap(), 0);
    }
    for (auto &[key, q] : queues_) {
        for (auto it = q.waiters.begin(); it != q.waiters.end();) {
            if (it->parked() && now - it->parked_at >= longest_parked) {
                answer_waiting(q, *it, now);
                ++it;
            } else if (!it->parked() && now - it->answered_at > place_kept) {
                it = q.waiters.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void QueueManager::write(TXI_MANAGER_CLIENT &client, Queue &q, uint8_t *message) {
    if (q.semaphore()) {
        if (q.holder != client.number) {
            answer(client, message, DXI_SEM_NOT_HELD, &q);
            return;
        }
        q.holder = 0;
        answer(client, message, 0, &q);
        serve(q);
        return;
    }
    ClientState &state = clients_[client.number];
    bool first = state.writing.empty();
    if (first) {
        if (q.has_message || q.writer != 0) {
            answer(client, message, DXI_QUEUE_FULL, &q);
            return;
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
        // Only a complete message replaces the queue's content; the buffer it came in goes.
        q.data.swap(q.incoming);
        std::vector<uint8_t>().swap(q.incoming);
        q.has_message = true;
        q.writer = 0;
        state.writing.clear();
    }
    if (first || last) answer(client, message, 0, &q);
    if (last) serve(q);
}

void QueueManager::closed(TXI_MANAGER_CLIENT &client, bool undelivered) {
    auto it = clients_.find(client.number);
    // Its place among the waiters goes first, so that nothing is handed back to it.
    for (auto &[key, q] : queues_)
        std::erase_if(q.waiters, [&](const Queue::Waiter &w) { return w.client == &client; });
    for (auto &[key, q] : queues_) {
        if (q.semaphore() && q.holder == client.number) {
            q.holder = 0;
            log("semaphore %str% held by client %word%,5 given back", q.name.c_str(),
                static_cast<int>(client.number));
            serve(q);
        }
        if (q.writer == client.number) {
            q.writer = 0;
            std::vector<uint8_t>().swap(q.incoming);
            log("unfinished message of client %word%,5 to %str% discarded",
                static_cast<int>(client.number), q.name.c_str());
            serve(q);
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
            serve(q->second);
        }
    }
    // What it made or used goes with it unless others use it too.
    std::set<std::string> uses = state.uses;
    size_t before = queues_.size();
    for (const std::string &key : uses) leave(client.number, key);
    if (!uses.empty())
        log("client %word%,5 left: %dword%,5 of its queues removed; %dword%,5 queues and %dword%,5 "
            "KB of messages kept",
            static_cast<int>(client.number), static_cast<uint32_t>(before - queues_.size()),
            static_cast<uint32_t>(queues_.size()), static_cast<uint32_t>(message_bytes_ / 1024));
    clients_.erase(client.number);
}

} // namespace

int main(int argc, char **argv) {
    TXS_SERVICE_ARGS args;
    if (!service_arguments("kvqm", argc, argv, &args)) return 2;
    QueueManager manager;
    return run_manager("KOVAQM", manager, args);
}
