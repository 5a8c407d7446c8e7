// The supervisory loop, which drives every timer of the server in 100 ms passes, and the
// orderly shutdown that follows it.

#include <algorithm>
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
        SupervisoryPass();
        platform::clock::SleepMs(100);
    }
}

void CHeraldon::SupervisoryPass() {
    ClientConnectionTimers();
    TextFeedTimers(100);
    SourceConnectionTimers();
    pair_.Tick(100);
    if (IsActive() && IsRunning()) {
        StartAlarmThreads();
    } else {
        StopAlarmThreads();
    }
    HousekeepingSettings settings{config_.daysToKeepLogFiles, config_.daysToKeepHistoricFiles};
    housekeeping_.Run(platform::clock::LocalCalendarNow(), settings, dataPath_ + "LogFiles/",
                      historicFolders_);
    TheLog().Flush();
}

void CHeraldon::ClientConnectionTimers() {
    std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
    auto ended = [](const std::unique_ptr<ClientConnection>& c) { return c->threadAlive.load() == 0; };
    clientConnections_.erase(
        std::remove_if(clientConnections_.begin(), clientConnections_.end(), ended),
        clientConnections_.end());
    for (auto& c : clientConnections_) ClientTimers(*c, 100);
    if (config_.objectStatusUpdateInterval > 0) {
        subscriptionCountdown_ -= 100;
        if (subscriptionCountdown_ < 1) {
            RecalculateSubscriptions();
            subscriptionCountdown_ = config_.objectStatusUpdateInterval;
        }
    }
}

void CHeraldon::SourceConnectionTimers() {
    std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
    for (auto& source : alarmSources_) SourceTimers(*source, 100);
    auto ended = [](const std::unique_ptr<SourceConnection>& c) { return c->threadAlive.load() == 0; };
    sourceConnections_.erase(
        std::remove_if(sourceConnections_.begin(), sourceConnections_.end(), ended),
        sourceConnections_.end());
    for (auto& c : sourceConnections_) {
        if (c->source != nullptr || !c->SocketOpen()) continue;
        c->unidentifiedTime += 100;
        if (c->unidentifiedTime > 10000) {
            c->CloseSocket();
            Log("Alarm Source from %s has not identified itself, we are closing the connection",
                c->address.c_str());
        }
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
    pair_.Stop();
    redundancyThreadCounter_.WaitForZero();
    StopAlarmThreads();
    Log("Heraldon was shut down");
    TheLog().Flush();
}

}  // namespace heraldon
