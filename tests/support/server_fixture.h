// A Heraldon server started inside the test process on a temporary installation, with
// free ports. The test drives its supervisory passes itself, so timers advance exactly
// when it says.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"
#include "server/core/heraldon.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace testing_support {

class InProcessServer {
public:
    explicit InProcessServer(const std::string& general = "",
                             const std::string& sources = "[AlarmSource_Plant]\n[AlarmSource_Line2]\n") {
        WriteFile(folder_ / "Heraldon.ini",
                  "[General]\nDataPath=data\nAlarmSourcePort=0\nClientListenPort=0\n"
                  "TesselListenPort=0\n" + general);
        WriteFile(folder_ / "AlarmSources.ini", sources);
        server_ = std::make_unique<heraldon::CHeraldon>(folder_.Path());
        server_->SetRunning(true);
        outcome_ = server_->StartUp();
    }
    ~InProcessServer() {
        if (outcome_ == heraldon::CHeraldon::StartOutcome::Run) server_->Shutdown();
    }

    heraldon::CHeraldon& Server() { return *server_; }
    bool Started() const { return outcome_ == heraldon::CHeraldon::StartOutcome::Run; }

    // The port of a listener once it is up; 0 when it did not come up in time.
    uint16_t SourcePort() { return PortOf(server_->SourceListener()); }
    uint16_t ClientPort() { return PortOf(server_->ClientListener()); }

    static uint16_t PortOf(heraldon::net::ListenerSlot& slot) {
        for (int i = 0; i < 500; ++i) {
            uint16_t port = platform::net::LocalPort(slot.Socket());
            if (port != 0) return port;
            platform::clock::SleepMs(10);
        }
        return 0;
    }

    std::string Data(const std::string& name = "") const { return folder_ / ("data/" + name); }

    // Runs supervisory passes as if ms had passed.
    void Advance(int ms) {
        for (int t = 0; t < ms; t += 100) server_->SupervisoryPass();
    }

    heraldon::AlarmSource& Source(int index) { return *server_->AlarmSources()[index]; }

    std::string LogText() const { return LogFolderText(folder_ / "data/LogFiles/"); }

    // Polls until condition holds or timeoutMs passes; the server works on other threads.
    template <typename Condition>
    static bool Eventually(Condition condition, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (condition()) return true;
            platform::clock::SleepMs(10);
        }
        return condition();
    }

private:
    TempFolder folder_;
    std::unique_ptr<heraldon::CHeraldon> server_;
    heraldon::CHeraldon::StartOutcome outcome_ = heraldon::CHeraldon::StartOutcome::Failed;
};

}  // namespace testing_support
