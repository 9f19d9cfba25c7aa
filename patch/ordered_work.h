// A ring of work slots that threads work on while the caller fills the next ones, handed back
// in the order they were submitted. Building compresses blocks through it and reading expands
// them, so that a patch's bytes and a reader's results do not depend on the number of cores.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class OrderedWork {
public:
    // `work(slot)` runs on one of `threads` threads, or on the caller's own when there are
    // fewer than two: one thread beside the caller would only add hand-offs. `depth` slots
    // may be in flight at once.
    OrderedWork(unsigned threads, size_t depth, std::function<void(size_t)> work);
    // Waits for the slots in flight, so that no thread still uses a slot's buffers.
    ~OrderedWork();
    OrderedWork(const OrderedWork &) = delete;
    OrderedWork &operator=(const OrderedWork &) = delete;

    size_t depth() const { return depth_; }
    size_t in_flight() const { return static_cast<size_t>(submitted_ - delivered_); }
    bool full() const { return in_flight() == depth_; }
    // The slot the caller fills before the next submit().
    size_t next_slot() const { return static_cast<size_t>(submitted_ % depth_); }

    // Hands next_slot() over to be worked on. Not when full().
    void submit();
    // Waits for the oldest slot in flight, working on it itself when no thread has started
    // it, and answers it: it is the caller's again, to read, until it fills it anew. Not when
    // nothing is in flight.
    size_t take();

private:
    void run();

    const size_t depth_;
    const std::function<void(size_t)> work_;
    std::vector<std::thread> threads_;
    std::vector<uint8_t> done_; // per slot, under mutex_
    std::mutex mutex_;
    std::condition_variable to_do_, finished_;
    uint64_t submitted_ = 0, started_ = 0, delivered_ = 0;
    bool stopping_ = false;
};

// How many threads may work for this process: the processors its affinity allows.
unsigned patch_worker_threads();
