// CHeraldon, the alarm server: owns every list, lock, path and setting of the server and
// runs its life: start-up, the supervisory loop, the alarm threads and the shutdown.
//
// Exactly one exists per process; threads reach it through TheServer().
//
// Locking: the alarm data lock (re-entrant) guards the alarm sources and everything they
// own, the connection lists and every send on a client or Alarm Source socket. A thread
// that holds it may take the feed, historic, user name and log locks, never the reverse.
// The flags are atomics written by one thread and polled by the others at least every
// 100 ms.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/config.h"
#include "server/core/fair_mutex.h"
#include "server/core/housekeeping.h"
#include "server/core/thread_counter.h"
#include "server/net/client_connection.h"
#include "server/net/listener.h"
#include "server/net/source_connection.h"
#include "server/net/text_feed.h"
#include "server/redundancy/redundancy.h"
#include "server/service/heraldon_service.h"
#include "server/store/alarm_source.h"
#include "server/store/user_names.h"

namespace heraldon {

class CHeraldon : public CHeraldon_Service {
public:
    // programFolder holds "Heraldon.ini" and "AlarmSources.ini"; empty means the folder of
    // the running program.
    explicit CHeraldon(std::string programFolder = "");
    ~CHeraldon() override;

    // Start-up, supervisory loop and shutdown. Sets a non-zero exit code when start-up
    // fails.
    void Run() override;

    // The parts of Run, for an embedding test: StartUp() returns Run when the supervisory
    // loop is to follow; SupervisoryPass() is one 100 ms pass without its sleep.
    enum class StartOutcome { Run, Finished, Failed };
    StartOutcome StartUp();
    void SupervisoryPass();
    void Shutdown();

    // Both do nothing when the alarm threads are already in the state asked for.
    void StartAlarmThreads();
    void StopAlarmThreads();

    const std::string& ProgramFolder() const { return programFolder_; }
    const std::string& IniPath() const { return iniPath_; }
    const std::string& DataPath() const { return dataPath_; }
    const std::string& CommonFilterPath() const { return commonFilterPath_; }
    const std::string& VersionText() const { return versionText_; }
    const GeneralConfig& Config() const { return config_; }
    const RedundancyConfig& RedundancySettings() const { return redundancy_; }
    uint32_t InstanceId() const { return instanceId_; }

    bool ConsoleMode() const { return consoleMode_.load() != 0; }
    void SetConsoleMode(bool on) { consoleMode_.store(on ? 1 : 0); }
    bool IsActive() const { return active_.load() != 0; }
    void SetActive(bool on) { active_.store(on ? 1 : 0); }
    bool AlarmThreadsRunning() const { return alarmThreadsRunning_.load() != 0; }
    bool AlarmThreadsStarted() const { return alarmThreadsStarted_.load() != 0; }

    FairRecursiveMutex& AlarmDataLock() { return alarmDataLock_; }
    std::mutex& FeedLock() { return feedLock_; }
    std::mutex& HistoricLock() { return historicLock_; }

    // Element 0 is the system alarm source. Filled during start-up and never changed while
    // the server runs, so reading the list itself needs no lock.
    std::vector<std::unique_ptr<AlarmSource>>& AlarmSources() { return alarmSources_; }

    // Guarded by the alarm data lock.
    std::vector<std::unique_ptr<SourceConnection>>& SourceConnections() { return sourceConnections_; }
    net::ListenerSlot& SourceListener() { return sourceListener_; }
    // Guarded by the alarm data lock.
    std::vector<std::unique_ptr<ClientConnection>>& ClientConnections() { return clientConnections_; }
    net::ListenerSlot& ClientListener() { return clientListener_; }
    // Guarded by the feed lock.
    std::vector<std::unique_ptr<FeedClient>>& FeedClients() { return feedClients_; }
    net::ListenerSlot& FeedListener() { return feedListener_; }

    UserNameStore& UserNames() { return userNames_; }
    class Redundancy& Pair() { return pair_; }

    ThreadCounter& AlarmThreadCounter() { return alarmThreadCounter_; }
    ThreadCounter& RedundancyThreadCounter() { return redundancyThreadCounter_; }

private:
    bool PrepareDataFolder();
    void CopyTemplates();
    bool CreateSystemAlarmSource();
    void RunRepairMode();
    void SupervisoryLoop();
    void HandleKey(int key);
    void SourceConnectionTimers();
    void ClientConnectionTimers();
    void SourceThread(AlarmSource& source);
    bool StartThread(const char* what, std::function<void()> body);

    std::string programFolder_;
    std::string iniPath_;
    std::string dataPath_;
    std::string commonFilterPath_;
    std::string dataFallback_;  // the machine folder we could not use, if any
    std::string versionText_;
    GeneralConfig config_;
    RedundancyConfig redundancy_;
    uint32_t instanceId_ = 0;

    std::atomic<int> consoleMode_{0};
    std::atomic<int> active_{0};
    std::atomic<int> alarmThreadsRunning_{0};
    std::atomic<int> alarmThreadsStarted_{0};

    FairRecursiveMutex alarmDataLock_;
    std::mutex feedLock_;
    std::mutex historicLock_;

    std::vector<std::unique_ptr<AlarmSource>> alarmSources_;
    std::vector<std::string> historicFolders_;  // of alarmSources_, for the housekeeping
    std::vector<std::unique_ptr<SourceConnection>> sourceConnections_;
    net::ListenerSlot sourceListener_;
    std::vector<std::unique_ptr<ClientConnection>> clientConnections_;
    net::ListenerSlot clientListener_;
    int subscriptionCountdown_ = 0;  // main thread only
    std::vector<std::unique_ptr<FeedClient>> feedClients_;
    net::ListenerSlot feedListener_;

    ThreadCounter alarmThreadCounter_;
    ThreadCounter redundancyThreadCounter_;
    // Threads started by StartAlarmThreads, joined by StopAlarmThreads. Touched only by
    // the main thread.
    std::vector<std::thread> alarmThreads_;

    Housekeeping housekeeping_;
    UserNameStore userNames_;
    class Redundancy pair_;
};

// Loads a source's alarm object file and logs the outcome; the start of every source thread
// and of the repair mode.
bool LoadAlarmObjectFile(AlarmSource& source);

// The one server of this process; null before it is made and after it is gone.
CHeraldon* TheServer();

}  // namespace heraldon
