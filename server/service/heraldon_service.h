// The process side of the server: the running flag, the exit status and the service name.
// CHeraldon derives from it and overrides Run with the server's whole life.
#pragma once

#include <atomic>
#include <string>

namespace heraldon {

class CHeraldon_Service {
public:
    CHeraldon_Service();
    virtual ~CHeraldon_Service();
    CHeraldon_Service(const CHeraldon_Service&) = delete;
    CHeraldon_Service& operator=(const CHeraldon_Service&) = delete;

    // Sleeps in steps of 100 ms while the running flag is 1.
    virtual void Run();

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
    std::atomic<int> running_{0};
    std::atomic<int> exitCode_{0};
    std::string serviceName_ = "Heraldon";
    std::string displayName_ = "Heraldon (Klaxora) Server";
};

}  // namespace heraldon
