// Threads working on a ring of slots, handed back in order.
#include "patch/ordered_work.h"

#include "platform/win32.h"

#include <algorithm>
#include <bit>

OrderedWork::OrderedWork(unsigned threads, size_t depth, std::function<void(size_t)> work)
    : depth_(std::max<size_t>(1, depth)), work_(std::move(work)), done_(depth_, 1) {
    if (threads < 2) return;
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back(&OrderedWork::run, this);
        } catch (...) {
            break; // fewer threads: the same results, a little later
        }
    }
}

OrderedWork::~OrderedWork() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    to_do_.notify_all();
    for (std::thread &thread : threads_) thread.join();
}

void OrderedWork::submit() {
    size_t slot = next_slot();
    if (threads_.empty()) {
        ++submitted_;
        work_(slot);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        done_[slot] = 0;
        ++submitted_;
    }
    to_do_.notify_one();
}

size_t OrderedWork::take() {
    size_t slot = static_cast<size_t>(delivered_ % depth_);
    if (!threads_.empty()) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (started_ == delivered_) {
            // No thread has got to the slot yet (they may all be busy, or not scheduled on a
            // loaded machine): the caller works on it rather than wait idle.
            ++started_;
            hold.unlock();
            work_(slot);
            hold.lock();
            done_[slot] = 1;
        }
        finished_.wait(hold, [&] { return done_[slot] != 0; });
    }
    ++delivered_;
    return slot;
}

void OrderedWork::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        // Slots already submitted are worked on even when stopping, so that the destructor
        // returns only once no thread touches them.
        to_do_.wait(hold, [&] { return stopping_ || started_ < submitted_; });
        if (started_ >= submitted_) return;
        size_t slot = static_cast<size_t>(started_++ % depth_);
        hold.unlock();
        work_(slot);
        hold.lock();
        done_[slot] = 1;
        finished_.notify_all();
    }
}

unsigned patch_worker_threads() {
    DWORD_PTR allowed = 0, present = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &allowed, &present) && allowed)
        return static_cast<unsigned>(std::popcount(static_cast<uint64_t>(allowed)));
    return std::max(1u, std::thread::hardware_concurrency());
}
