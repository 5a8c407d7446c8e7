// The alarm data lock: recursive like FairRecursiveMutex, but handed over in the order
// the threads asked for it.
//
// A source thread in a flood lets go of the lock and takes it again within microseconds;
// with an ordinary mutex it wins nearly every time, and an operator's command, a list
// request or the periodic save could wait for seconds. Here a thread that asks gets its
// turn after those already waiting, and before the one that just let go asks again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace heraldon {

class FairRecursiveMutex {
public:
    FairRecursiveMutex() = default;
    FairRecursiveMutex(const FairRecursiveMutex&) = delete;
    FairRecursiveMutex& operator=(const FairRecursiveMutex&) = delete;

    void lock() {
        std::thread::id me = std::this_thread::get_id();
        std::unique_lock<std::mutex> guard(state_);
        if (depth_ > 0 && owner_ == me) {
            ++depth_;
            return;
        }
        uint64_t ticket = nextTicket_++;
        if (ticket != serving_) {
            ++waiting_;
            turn_.wait(guard, [&] { return ticket == serving_; });
            --waiting_;
        }
        owner_ = me;
        depth_ = 1;
    }

    void unlock() {
        std::lock_guard<std::mutex> guard(state_);
        if (--depth_ > 0) return;
        owner_ = std::thread::id();
        ++serving_;
        if (waiting_ > 0) turn_.notify_all();
    }

private:
    std::mutex state_;
    std::condition_variable turn_;
    uint64_t nextTicket_ = 0;  // guarded by state_
    uint64_t serving_ = 0;     // guarded by state_: the ticket that may hold the lock
    int waiting_ = 0;          // guarded by state_
    std::thread::id owner_;    // guarded by state_
    int depth_ = 0;            // guarded by state_
};

}  // namespace heraldon
