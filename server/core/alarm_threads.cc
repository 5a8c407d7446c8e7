// Starting and stopping the alarm threads: one thread per Alarm Source, then the
// listeners. Alarm objects exist only while these threads run.

#include "platform/clock.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/store/historic_files.h"

namespace heraldon {

void CHeraldon::StartAlarmThreads() {
    if (AlarmThreadsStarted()) return;
    alarmThreadsRunning_.store(1);
    Log("Starting all alarm threads");
    userNames_.Load(alarmSources_[0]->folder + "UserNames.dat");

    std::vector<AlarmSource*> loading;
    for (auto& source : alarmSources_) {
        source->threadStarted.store(0);
        AlarmSource* s = source.get();
        if (StartThread("alarm source", [this, s] { SourceThread(*s); })) loading.push_back(s);
    }
    // Sources connect only after every alarm object file is loaded: the Alarm Source
    // listener is started last, once all source threads have reported.
    for (AlarmSource* s : loading) {
        while (s->threadStarted.load() == 0) platform::clock::SleepMs(50);
    }
    clientListener_.Reset();
    StartThread("client listener", ClientListenerThread);
    feedListener_.Reset();
    StartThread("text feed listener", RunTextFeedListener);
    sourceListener_.Reset();
    StartThread("Alarm Source listener", SourceListenerThread);
    alarmThreadsStarted_.store(1);
}

bool CHeraldon::StartThread(const char* what, std::function<void()> body) {
    alarmThreads_.emplace_back();
    if (StartCounted(alarmThreadCounter_, alarmThreads_.back(), what, std::move(body))) return true;
    alarmThreads_.pop_back();
    return false;
}

void CHeraldon::StopAlarmThreads() {
    if (!AlarmThreadsStarted()) return;
    Log("Closing all alarm threads");
    alarmThreadsStarted_.store(0);
    alarmThreadsRunning_.store(0);

    clientListener_.Stop();
    feedListener_.Stop();
    sourceListener_.Stop();
    {
        std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
        for (auto& connection : clientConnections_) connection->CloseSocket();
        for (auto& connection : sourceConnections_) connection->CloseSocket();
    }
    CloseTextFeedClients();
    // Connection threads need the alarm data lock to end, so it is not held while waiting.
    alarmThreadCounter_.WaitForZero();
    for (std::thread& thread : alarmThreads_) thread.join();
    alarmThreads_.clear();

    std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
    clientConnections_.clear();
    for (auto& source : alarmSources_) {
        CloseHistoricFiles(*source);
        source->FreeObjects();
    }
    sourceConnections_.clear();
}

bool LoadAlarmObjectFile(AlarmSource& source) {
    if (source.Load()) {
        Log("AlarmSource '%s': Read %d alarm objects in use (%d unused)", source.name.c_str(),
            static_cast<int>(source.inUse.size()), static_cast<int>(source.removed.size()));
        source.Save(true, 0);
        return true;
    }
    // The source still runs, its objects in memory only; the periodic save keeps trying to
    // open the file, so nothing stays unsaved once the disk is back.
    Log("AlarmSource '%s': Failed to open or create alarm file in folder %s - we will exit!",
        source.name.c_str(), source.folder.c_str());
    return false;
}

void CHeraldon::SourceThread(AlarmSource& source) {
    {
        std::lock_guard<FairRecursiveMutex> guard(alarmDataLock_);
        LoadAlarmObjectFile(source);
    }
    source.threadStarted.store(1);
    int steps = 0;
    while (AlarmThreadsRunning()) {
        platform::clock::SleepMs(100);
        if (++steps < 100) continue;
        steps = 0;
        std::unique_lock<FairRecursiveMutex> guard(alarmDataLock_);
        source.ReopenObjectFile();
        CleanupEventStatistics(source);
        source.CheckDisableExpiry();
        source.SaveInSteps(guard, 1);
    }
}

}  // namespace heraldon
