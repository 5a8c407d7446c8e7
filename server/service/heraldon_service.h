// The process side of the server: the command line that installs and removes the service,
// the service's life under systemd, the running flag and the exit status.
//
// CHeraldon derives from it and overrides Run with the server's whole life. In service mode
// ServiceMain brackets Run: it tells systemd when the server is ready and when it stops,
// and turns the supervisor's control requests (signals) into the virtual operations below.
//
// Threads: ServiceMain runs on the main thread; the control requests are handled on a
// control thread of their own. The two share only the running flag, the exit code and the
// current state, each one atomic value.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace heraldon {

class CHeraldon_Service {
public:
    // Service states as they are traced and reported.
    static constexpr unsigned long kStopped = 1;
    static constexpr unsigned long kStartPending = 2;
    static constexpr unsigned long kStopPending = 3;
    static constexpr unsigned long kRunning = 4;

    CHeraldon_Service();
    virtual ~CHeraldon_Service();
    CHeraldon_Service(const CHeraldon_Service&) = delete;
    CHeraldon_Service& operator=(const CHeraldon_Service&) = delete;

    // Sleeps in steps of 100 ms while the running flag is 1.
    virtual void Run();
    // Called before Run in service mode; false ends the service without running it.
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    // Control codes from 128 up; false when the code means nothing to the server.
    virtual bool OnUserControl(unsigned long code);

    // "-i"/"/i" installs, "-u"/"/u" removes (first argument, any case). True when the
    // command line was such a request: the message is printed and the exit code set.
    bool HandleCommandLine(int argc, const char* const* argv);

    // Whether the unit file of ServiceName exists.
    bool IsInstalled() const;

    // True when systemd started us through our unit, which marks it with HERALDON_SERVICE=1.
    static bool ServiceModeRequested();

    // Service mode: runs ServiceMain and returns when the service has stopped.
    void StartDispatcher();
    void ServiceMain();

    // One control request (signal), as the control thread delivers it.
    void Handler(unsigned long code);

    unsigned long CurrentState() const { return state_.load(); }

    bool IsRunning() const { return running_.load() != 0; }
    void SetRunning(bool running) { running_.store(running ? 1 : 0); }

    int ExitCode() const { return exitCode_.load(); }
    void SetExitCode(int code) { exitCode_.store(code); }

    const std::string& ServiceName() const { return serviceName_; }
    const std::string& DisplayName() const { return displayName_; }

protected:
    // Reads ServiceName and DisplayName from "Heraldon.ini" beside the program.
    void ReadServiceNames(const std::string& iniPath);

private:
    bool Initialize();
    void SetStatus(unsigned long state);
    void ReportStatus();
    void StartStopWatch();
    void EndStopWatch();
    void StopWatch();

    std::atomic<int> running_{0};
    std::atomic<int> exitCode_{0};
    std::atomic<unsigned long> state_{kStopped};
    std::atomic<unsigned long> statusHandle_{0};  // 0 until the control handler is registered
    std::string serviceName_ = "Heraldon";
    std::string displayName_ = "Heraldon (Klaxora) Server";

    // The stop watch runs from a stop request until Run has returned; guarded by
    // stopWatchLock_.
    std::mutex stopWatchLock_;
    std::condition_variable stopWatchChanged_;
    bool stopWatchEnd_ = false;
    std::thread stopWatch_;
};

}  // namespace heraldon
