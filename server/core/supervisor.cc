// The supervisory loop, which drives every timer of the server in 100 ms passes, and the
// orderly shutdown that follows it.

#include <optional>

#include "platform/clock.h"
#include "platform/console.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"

namespace heraldon {

void CHeraldon::SupervisoryLoop() {
    std::optional<platform::console::ConsoleKeys> keys;
    if (ConsoleMode()) keys.emplace();

    while (IsRunning()) {
        // A stop signal ends the loop exactly like Esc or a service stop.
        if (platform::console::StopRequested()) SetRunning(false);
        if (keys) {
            int key = keys->PollKey();
            if (key != platform::console::kNoKey) HandleKey(key);
        }

        if (IsActive()) {
            StartAlarmThreads();
        } else {
            StopAlarmThreads();
        }

        HousekeepingSettings settings{config_.daysToKeepLogFiles, config_.daysToKeepHistoricFiles};
        housekeeping_.Run(platform::clock::LocalCalendarNow(), settings, dataPath_ + "LogFiles/",
                          historicFolders_);

        platform::clock::SleepMs(100);
    }
}

void CHeraldon::HandleKey(int key) {
    switch (key) {
        case platform::console::kEsc:
            platform::console::Print("\n\nHeraldon is closing due to user exit, please wait...\n");
            SetRunning(false);
            break;
        case 'A':
        case 'a':
            SetActive(true);
            break;
        case 'I':
        case 'i':
            SetActive(false);
            break;
        default:
            break;
    }
}

void CHeraldon::Shutdown() {
    SetRunning(false);
    SetActive(false);
    redundancyThreadCounter_.WaitForZero();
    StopAlarmThreads();
    Log("Heraldon was shut down");
}

}  // namespace heraldon
