// The service's control handler, its start inside ServiceMain and the supervisor messages,
// in process. The whole signal path is exercised end to end on the real binary.

#include "server/service/service_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "server/service/heraldon_service.h"
#include "server/service/service_notify.h"
#include "server/service/service_test_support.h"
#include "tests/support/temp_folder.h"

namespace heraldon {
namespace {

using testing_support::NotifyTestSocket;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
using testing_support::TempFolder;

constexpr int kTimeoutMs = 5000;

// Records which virtual operation the base class called.
class RecordingService : public CHeraldon_Service {
public:
    void Run() override { calls += "run;"; }
    bool OnInit() override {
        calls += "init;";
        errno = initErrno;
        return initResult;
    }
    void OnStop() override { calls += "stop;"; }
    void OnInterrogate() override { calls += "interrogate;"; }
    void OnPause() override { calls += "pause;"; }
    void OnContinue() override { calls += "continue;"; }
    void OnShutdown() override { calls += "shutdown;"; }
    bool OnUserControl(unsigned long code) override {
        calls += "user " + std::to_string(code) + ";";
        return code == 200;
    }

    std::string calls;
    bool initResult = true;
    int initErrno = 0;
};

class ServiceControl : public ::testing::Test {
protected:
    std::string Events() const { return ReadFile(folder_ / "events"); }

    TempFolder folder_;
    ScopedEnv sink_{"HERALDON_EVENT_SINK", folder_ / "events"};
    NotifyTestSocket supervisor_{folder_ / "notify"};
};

TEST_F(ServiceControl, EachControlCodeReachesItsOperation) {
    struct Case {
        unsigned long code;
        const char* calls;
        bool notUnderstood;
    };
    const Case cases[] = {
        {2, "pause;", false},
        {3, "continue;", false},
        {4, "interrogate;", false},
        {5, "shutdown;", false},
        {200, "user 200;", false},
        {128, "user 128;", true},
        {0, "", true},
        {6, "", true},
        {127, "", true},
    };
    for (const Case& c : cases) {
        RecordingService service;
        service.SetRunning(true);
        std::string eventsBefore = Events();
        service.Handler(c.code);
        EXPECT_EQ(service.calls, c.calls) << c.code;
        EXPECT_TRUE(service.IsRunning()) << c.code;
        EXPECT_EQ(
            Events(),
            eventsBefore + (c.notUnderstood ? "106 error control request not understood\n" : ""))
            << c.code;
    }
}

TEST_F(ServiceControl, StopReportsStoppingClearsTheFlagAndKeepsItCleared) {
    ASSERT_TRUE(supervisor_.Bound());
    RecordingService service;
    service.SetRunning(true);
    service.Handler(1);
    EXPECT_EQ(service.calls, "stop;");
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(service.CurrentState(), CHeraldon_Service::kStopPending);
    EXPECT_EQ(Events(), "108 information service stopped by a stop request\n");
    EXPECT_EQ(supervisor_.Receive(kTimeoutMs), "STOPPING=1\nSTATUS=Heraldon is shutting down");

    // A start-up still in progress sets the flag again; the stop must win until Run ends.
    service.SetRunning(true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (service.IsRunning() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(service.IsRunning());
}

TEST_F(ServiceControl, ServiceMainRunsTheServerBetweenReadyAndStopped) {
    ASSERT_TRUE(supervisor_.Bound());
    RecordingService service;
    service.ServiceMain();
    EXPECT_EQ(service.calls, "init;run;");
    EXPECT_EQ(service.ExitCode(), 0);
    EXPECT_EQ(service.CurrentState(), CHeraldon_Service::kStopped);
    EXPECT_EQ(Events(), "105 information service started\n");
    for (const char* expected :
         {"STATUS=Heraldon is starting", "READY=1\nSTATUS=Heraldon is running",
          "STATUS=Heraldon has stopped"}) {
        EXPECT_EQ(supervisor_.Receive(kTimeoutMs), expected);
    }
}

TEST_F(ServiceControl, AFailedInitNeverRunsAndEndsWithAnError) {
    for (int error : {EACCES, 0}) {
        RecordingService service;
        service.initResult = false;
        service.initErrno = error;
        service.ServiceMain();
        int expected = error != 0 ? error : 1;
        EXPECT_EQ(service.calls, "init;");
        EXPECT_EQ(service.ExitCode(), expected);
        EXPECT_EQ(service.CurrentState(), CHeraldon_Service::kStopped);
        EXPECT_EQ(supervisor_.Receive(kTimeoutMs), "STATUS=Heraldon is starting");
        EXPECT_EQ(supervisor_.Receive(kTimeoutMs),
                  "STATUS=Heraldon has stopped (exit code " + std::to_string(expected) + ")");
    }
    EXPECT_EQ(Events(), "104 error initialisation failed\n104 error initialisation failed\n");
}

TEST(ServiceControlChannel, OnlyOneChannelOwnsTheSignalsAtATime) {
    service::ControlChannel first;
    service::ControlChannel second;
    ASSERT_TRUE(first.Open([](unsigned long) {}));
    EXPECT_FALSE(second.Open([](unsigned long) {}));
    EXPECT_EQ(errno, EBUSY);
    first.Close();
    EXPECT_TRUE(second.Open([](unsigned long) {}));
}

TEST(ServiceNotify, ReachesPathAndAbstractSocketsAndNothingElse) {
    TempFolder folder;
    for (const std::string& name :
         {folder / "notify", "@klaxora-notify-test-" + std::to_string(::getpid())}) {
        NotifyTestSocket supervisor(name);
        ASSERT_TRUE(supervisor.Bound()) << name;
        EXPECT_TRUE(service::Notify("READY=1\nSTATUS=x"));
        EXPECT_EQ(supervisor.Receive(kTimeoutMs), "READY=1\nSTATUS=x") << name;
    }
    for (const char* name : {"relative/notify", "@", "vsock:2:1"}) {
        ScopedEnv socket("NOTIFY_SOCKET", name);
        EXPECT_FALSE(service::Notify("READY=1")) << name;
    }
    ScopedEnv none("NOTIFY_SOCKET", nullptr);
    EXPECT_FALSE(service::Notify("READY=1"));
}

}  // namespace
}  // namespace heraldon
