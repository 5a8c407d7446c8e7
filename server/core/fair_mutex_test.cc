#include "server/core/fair_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using heraldon::FairRecursiveMutex;

TEST(FairRecursiveMutex, AWaitingThreadGoesBeforeTheOneThatLetGo) {
    FairRecursiveMutex lock;
    std::atomic<int> order{0};
    int waiterTurn = 0;
    lock.lock();
    lock.lock();  // recursive: one unlock below still holds it
    std::thread waiter([&] {
        std::lock_guard<FairRecursiveMutex> guard(lock);
        waiterTurn = ++order;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // until it waits
    lock.unlock();
    EXPECT_EQ(order.load(), 0) << "still held once";
    // A flooding thread lets go and asks again at once; the waiter must come first.
    lock.unlock();
    lock.lock();
    int mine = ++order;
    lock.unlock();
    waiter.join();
    EXPECT_EQ(waiterTurn, 1);
    EXPECT_EQ(mine, 2);
}

}  // namespace
