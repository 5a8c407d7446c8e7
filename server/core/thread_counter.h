// Counts running threads of one kind, so that a stop can wait until all of them are gone.
//
// The starter adds one just before it starts a thread and the thread takes it away as its
// last action. StartCounted() keeps that pairing even when the thread can not be made.
#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace heraldon {

class ThreadCounter {
public:
    void Add() {
        std::lock_guard<std::mutex> guard(lock_);
        ++count_;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock_);
        --count_;
    }
    int Count() {
        std::lock_guard<std::mutex> guard(lock_);
        return count_;
    }
    // Polls in 20 ms steps until no counted thread runs.
    void WaitForZero();

private:
    std::mutex lock_;
    int count_ = 0;  // guarded by lock_
};

// Starts body on a new thread counted by counter and keeps the thread in slot, so that its
// owner can join it. When the thread can not be created the count is given back, the
// failure is logged with what, and false is returned.
bool StartCounted(ThreadCounter& counter, std::thread& slot, const char* what,
                  std::function<void()> body);

}  // namespace heraldon
