#include "server/core/thread_counter.h"

#include <system_error>

#include "platform/clock.h"
#include "server/core/log.h"

namespace heraldon {

void ThreadCounter::WaitForZero() {
    while (Count() > 0) platform::clock::SleepMs(20);
}

bool StartCounted(ThreadCounter& counter, std::thread& slot, const char* what,
                  std::function<void()> body) {
    counter.Add();
    try {
        slot = std::thread([&counter, body = std::move(body)] {
            body();
            counter.Release();
        });
        return true;
    } catch (const std::system_error& error) {
        counter.Release();
        Log("Could not start the %s thread: %s", what, error.what());
        return false;
    }
}

}  // namespace heraldon
