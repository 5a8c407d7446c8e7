#include "server/service/heraldon_service.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/ini.h"
#include "server/core/log.h"
#include "server/service/service_control.h"
#include "server/service/service_events.h"
#include "server/service/service_install.h"
#include "server/service/service_notify.h"

namespace heraldon {

namespace {

// While the shutdown still runs, systemd is told every few seconds to wait a while longer
// than TimeoutStopSec; a shutdown that hangs for good is no longer covered after the cap,
// and systemd ends it.
constexpr auto kStopWatchTick = std::chrono::milliseconds(100);
constexpr auto kExtendEvery = std::chrono::seconds(5);
constexpr auto kMaxStopExtension = std::chrono::minutes(10);
constexpr const char* kExtendTimeout = "EXTEND_TIMEOUT_USEC=30000000";

}  // namespace

CHeraldon_Service::CHeraldon_Service() = default;

CHeraldon_Service::~CHeraldon_Service() {
    Trace("CHeraldon_Service::~CHeraldon_Service()");
    EndStopWatch();
    service::CloseEventSource();
}

void CHeraldon_Service::Run() {
    Trace("Entering CHeraldon_Service::Run()");
    while (IsRunning()) platform::clock::SleepMs(100);
    Trace("Leaving CHeraldon_Service::Run()");
}

bool CHeraldon_Service::OnInit() {
    Trace("CHeraldon_Service::OnInit()");
    return true;
}

void CHeraldon_Service::OnStop() {
    Trace("CHeraldon_Service::OnStop()");
}
void CHeraldon_Service::OnInterrogate() {
    Trace("CHeraldon_Service::OnInterrogate()");
}
void CHeraldon_Service::OnPause() {
    Trace("CHeraldon_Service::OnPause()");
}
void CHeraldon_Service::OnContinue() {
    Trace("CHeraldon_Service::OnContinue()");
}
void CHeraldon_Service::OnShutdown() {
    Trace("CHeraldon_Service::OnShutdown()");
}

bool CHeraldon_Service::OnUserControl(unsigned long code) {
    Trace("CHeraldon_Service::OnUserControl(%lu)", code);
    return false;
}

void CHeraldon_Service::ReadServiceNames(const std::string& iniPath) {
    serviceName_ = platform::ini::ReadString(iniPath, "General", "ServiceName", "Heraldon");
    if (serviceName_.size() > 63) serviceName_.resize(63);
    displayName_ =
        platform::ini::ReadString(iniPath, "General", "DisplayName", "Heraldon (Klaxora) Server");
    if (displayName_.size() > 255) displayName_.resize(255);
    SetTraceName(serviceName_);
}

bool CHeraldon_Service::HandleCommandLine(int argc, const char* const* argv) {
    service::ServiceCommand command = service::ParseServiceCommand(argc, argv);
    if (command == service::ServiceCommand::None) return false;
    service::ServiceSetup setup = service::SetupFromEnvironment(serviceName_, displayName_);
    service::CommandResult result = command == service::ServiceCommand::Install
                                        ? service::InstallService(setup)
                                        : service::RemoveService(setup);
    platform::console::Print(result.message);
    SetExitCode(result.exitCode);
    return true;
}

bool CHeraldon_Service::IsInstalled() const {
    return service::IsInstalled(service::SetupFromEnvironment(serviceName_, displayName_));
}

bool CHeraldon_Service::ServiceModeRequested() {
    const char* mark = std::getenv("HERALDON_SERVICE");
    return mark != nullptr && std::strcmp(mark, "1") == 0;
}

void CHeraldon_Service::StartDispatcher() {
    // systemd has already started the process as the service; there is no dispatcher to
    // hand over to, the names stay for the trace readers who know them.
    Trace("Calling StartServiceCtrlDispatcher()");
    ServiceMain();
    Trace("Returned from StartServiceCtrlDispatcher()");
}

void CHeraldon_Service::ServiceMain() {
    Trace("Entering CHeraldon_Service::ServiceMain()");
    // stdout goes to the journal; the log file holds every line already, a copy there would
    // only double it.
    TheLog().SetEcho(false);
    state_.store(kStartPending);

    service::ControlChannel channel;
    if (!channel.Open([this](unsigned long code) { Handler(code); })) {
        int error = errno;
        service::WriteEvent(serviceName_, service::kEventHandlerFailed);
        SetExitCode(error != 0 ? error : 1);
        return;
    }
    statusHandle_.store(static_cast<unsigned long>(::getpid()));

    if (!Initialize()) {
        channel.Close();
        return;
    }

    SetRunning(true);
    SetExitCode(0);
    Run();

    // No control request may start anything once Run is over.
    channel.Close();
    EndStopWatch();
    SetStatus(kStopped);
    Trace("Leaving CHeraldon_Service::ServiceMain()");
}

bool CHeraldon_Service::Initialize() {
    Trace("Entering CHeraldon_Service::Initialize()");
    SetStatus(kStartPending);
    errno = 0;
    bool ok = OnInit();
    int error = errno;
    if (!ok) {
        service::WriteEvent(serviceName_, service::kEventInitFailed);
        // A failed start must never look like an orderly stop to systemd.
        SetExitCode(error != 0 ? error : 1);
        SetStatus(kStopped);
        return false;
    }
    SetExitCode(0);
    service::WriteEvent(serviceName_, service::kEventStarted);
    SetStatus(kRunning);
    Trace("Leaving CHeraldon_Service::Initialize()");
    return true;
}

void CHeraldon_Service::Handler(unsigned long code) {
    Trace("CHeraldon_Service::Handler(%lu)", code);
    switch (code) {
        case service::kControlStop:
            SetStatus(kStopPending);
            OnStop();
            SetRunning(false);
            service::WriteEvent(serviceName_, service::kEventStopped);
            StartStopWatch();
            break;
        case service::kControlPause:
            OnPause();
            break;
        case service::kControlContinue:
            OnContinue();
            break;
        case service::kControlInterrogate:
            OnInterrogate();
            break;
        case service::kControlShutdown:
            OnShutdown();
            break;
        default:
            if (code < service::kFirstUserControl || !OnUserControl(code)) {
                service::WriteEvent(serviceName_, service::kEventBadControl);
            }
            break;
    }
    Trace("Updating status (%lu, %lu)", statusHandle_.load(), state_.load());
    ReportStatus();
}

void CHeraldon_Service::SetStatus(unsigned long state) {
    state_.store(state);
    Trace("CHeraldon_Service::SetStatus(%lu, %lu)", statusHandle_.load(), state);
    ReportStatus();
}

void CHeraldon_Service::ReportStatus() {
    switch (state_.load()) {
        case kStartPending:
            service::Notify("STATUS=Heraldon is starting");
            break;
        case kRunning:
            service::Notify("READY=1\nSTATUS=Heraldon is running");
            break;
        case kStopPending:
            service::Notify("STOPPING=1\nSTATUS=Heraldon is shutting down");
            break;
        default:
            service::Notify(ExitCode() == 0 ? std::string("STATUS=Heraldon has stopped")
                                            : "STATUS=Heraldon has stopped (exit code " +
                                                  std::to_string(ExitCode()) + ")");
            break;
    }
}

void CHeraldon_Service::StartStopWatch() {
    std::lock_guard<std::mutex> guard(stopWatchLock_);
    if (stopWatch_.joinable()) return;
    stopWatchEnd_ = false;
    stopWatch_ = std::thread([this] { StopWatch(); });
}

void CHeraldon_Service::EndStopWatch() {
    std::thread watch;
    {
        std::lock_guard<std::mutex> guard(stopWatchLock_);
        stopWatchEnd_ = true;
        watch = std::move(stopWatch_);
    }
    stopWatchChanged_.notify_all();
    if (watch.joinable()) watch.join();
}

void CHeraldon_Service::StopWatch() {
    auto started = std::chrono::steady_clock::now();
    auto nextExtension = started + kExtendEvery;
    std::unique_lock<std::mutex> lock(stopWatchLock_);
    while (!stopWatchChanged_.wait_for(lock, kStopWatchTick, [this] { return stopWatchEnd_; })) {
        // A stop that comes while Run is still starting up would be undone when the
        // start-up sets the running flag: a stop, once asked for, stays asked for.
        if (IsRunning()) SetRunning(false);
        auto now = std::chrono::steady_clock::now();
        if (now >= nextExtension && now - started < kMaxStopExtension) {
            service::Notify(kExtendTimeout);
            nextExtension += kExtendEvery;
        }
    }
}

}  // namespace heraldon
