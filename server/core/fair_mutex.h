// The alarm data lock: recursive like std::recursive_mutex, but handed over in the order
// the threads asked for it.
//
// A source thread in a flood lets go of the lock and takes it again within microseconds;
// with an ordinary mutex it wins nearly every time, and an operator's command, a list
// request or the periodic save could wait for seconds. Here the lock passes straight to the
// longest waiter, and only that one thread is woken: with a hundred source threads waiting,
// waking them all for every hand-over would cost more than the events themselves.
#pragma once

#include <condition_variable>
#include <deque>
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
        if (depth_ == 0 && waiters_.empty()) {
            owner_ = me;
            depth_ = 1;
            return;
        }
        Waiter waiter;
        waiters_.push_back(&waiter);
        // unlock() makes this thread the owner before it wakes it.
        waiter.turn.wait(guard, [&] { return waiter.granted; });
    }

    void unlock() {
        std::lock_guard<std::mutex> guard(state_);
        if (--depth_ > 0) return;
        if (waiters_.empty()) {
            owner_ = std::thread::id();
            return;
        }
        Waiter* next = waiters_.front();
        waiters_.pop_front();
        owner_ = next->id;
        depth_ = 1;
        next->granted = true;
        next->turn.notify_one();
    }

private:
    struct Waiter {
        std::thread::id id = std::this_thread::get_id();
        std::condition_variable turn;
        bool granted = false;  // guarded by state_
    };

    std::mutex state_;
    std::deque<Waiter*> waiters_;  // guarded by state_: oldest first
    std::thread::id owner_;        // guarded by state_
    int depth_ = 0;                // guarded by state_
};

}  // namespace heraldon
