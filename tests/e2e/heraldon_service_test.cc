// Heraldon as a systemd service, on the real binary: the notify messages and events of a
// service run and its stop by signal, and installing and removing the unit from the command
// line. A test notify socket, event file and unit folder stand in for systemd.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "server/service/service_test_support.h"
#include "tests/e2e/heraldon_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::HeraldonInstallation;
using testing_support::InOrder;
using testing_support::NotifyTestSocket;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
using testing_support::WriteFile;

constexpr int kTimeoutMs = 10000;

void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::string missing;
    EXPECT_TRUE(InOrder(text, lines, &missing))
        << "missing or out of order: \"" << missing << "\" in:\n"
        << text;
}

// Polls until the installation's log holds text; false when it did not within timeoutMs.
bool WaitForLog(const HeraldonInstallation& installation, const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (installation.LogText().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

// An installation started the way the unit starts it: service mode, with systemd's
// notify socket, and events and trace lines in files of the installation.
class ServiceRun {
public:
    explicit ServiceRun(const std::string& general = "") : installation(general) {}

    std::unique_ptr<ChildProcess> Start() { return installation.Start(); }
    std::string Events() const { return ReadFile(installation.Folder("events")); }
    std::string TraceText() const { return ReadFile(installation.Folder("trace")); }

    HeraldonInstallation installation;
    NotifyTestSocket supervisor{installation.Folder("notify")};
    ScopedEnv serviceMode{"HERALDON_SERVICE", "1"};
    ScopedEnv sink{"HERALDON_EVENT_SINK", installation.Folder("events")};
    ScopedEnv trace{"HERALDON_TRACE", installation.Folder("trace")};
};

TEST(HeraldonService, ReportsReadyAnswersStatusAndStopsInOrderOnSigterm) {
    ServiceRun run;
    ASSERT_TRUE(run.supervisor.Bound());
    auto server = run.Start();
    ASSERT_TRUE(run.supervisor.WaitFor("READY=1", kTimeoutMs)) << server->Output();
    ASSERT_TRUE(WaitForLog(run.installation, "Starting all alarm threads", kTimeoutMs));

    server->Signal(SIGHUP);
    EXPECT_TRUE(run.supervisor.WaitFor("STATUS=Heraldon is running", kTimeoutMs));
    server->Signal(SIGTERM);
    EXPECT_TRUE(run.supervisor.WaitFor("STOPPING=1", kTimeoutMs));
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0) << server->Output();
    EXPECT_TRUE(run.supervisor.WaitFor("STATUS=Heraldon has stopped", kTimeoutMs));

    EXPECT_EQ(run.Events(),
              "105 information service started\n"
              "108 information service stopped by a stop request\n");
    std::string log = run.installation.LogText();
    ExpectInOrder(log, {"Starting all alarm threads", "Closing all alarm threads"});
    EXPECT_NE(LastLine(log).find("Heraldon was shut down"), std::string::npos) << log;
    // The orderly stop saved the alarm object file.
    EXPECT_EQ(fs::file_size(run.installation.Data("Plant/AlarmObjects.dat")), 1024u);
    // The journal gets neither the console greeting nor a second copy of the log.
    std::string output = server->Output();
    EXPECT_EQ(output.find("Heraldon is starting as normal application"), std::string::npos);
    EXPECT_EQ(output.find("Heraldon was shut down"), std::string::npos) << output;
    ExpectInOrder(
        run.TraceText(),
        {"Calling StartServiceCtrlDispatcher()", "Entering CHeraldon_Service::ServiceMain()",
         "Entering CHeraldon_Service::Initialize()", ", 2)\n",
         "Leaving CHeraldon_Service::Initialize()", "CHeraldon_Service::Handler(4)",
         "CHeraldon_Service::Handler(1)", "CHeraldon_Service::SetStatus(", ", 3)\n",
         "CHeraldon_Service::SetStatus(", ", 1)\n", "Leaving CHeraldon_Service::ServiceMain()",
         "Returned from StartServiceCtrlDispatcher()"});
}

TEST(HeraldonService, AStopRightAfterReadyStillShutsDownInOrder) {
    // READY comes before the server's start-up, so this stop lands in the middle of it.
    for (int signal : {SIGTERM, SIGINT}) {
        ServiceRun run;
        auto server = run.Start();
        ASSERT_TRUE(run.supervisor.WaitFor("READY=1", kTimeoutMs)) << server->Output();
        server->Signal(signal);
        EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0) << "signal " << signal;
        EXPECT_NE(LastLine(run.installation.LogText()).find("Heraldon was shut down"),
                  std::string::npos)
            << "signal " << signal << ":\n"
            << run.installation.LogText();
    }
}

TEST(HeraldonService, AFailedStartUpEndsWithAnErrorStatus) {
    ServiceRun run("SystemAlarmSourceName=a/b\n");
    auto server = run.Start();
    int status = server->WaitForExit(kTimeoutMs);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "had to be killed";
    EXPECT_TRUE(run.supervisor.WaitFor("STATUS=Heraldon has stopped (exit code 1)", kTimeoutMs));
    EXPECT_EQ(run.Events().find("108 "), std::string::npos) << run.Events();
}

class HeraldonUnitCommands : public ::testing::Test {
protected:
    HeraldonUnitCommands() {
        fs::create_directory(units_);
        WriteFile(systemctl_,
                  "#!/bin/sh\necho \"$@\" >> '" + installation_.Folder("systemctl.calls") + "'\n");
        fs::permissions(systemctl_, fs::perms::owner_all);
    }

    // Runs the program with args to its end; its exit status and output.
    std::pair<int, std::string> RunWith(const std::string& arg) {
        ChildProcess child(installation_.Folder("heraldon"), {arg}, installation_.Folder());
        int status = child.WaitForExit(kTimeoutMs);
        child.WaitForOutput("\n", 1000);
        return {status, child.Output()};
    }

    HeraldonInstallation installation_{"ServiceName=AlarmTest\n"};
    std::string units_ = installation_.Folder("units");
    std::string systemctl_ = installation_.Folder("systemctl");
    ScopedEnv unitDir_{"HERALDON_UNIT_DIR", units_};
    ScopedEnv systemctlEnv_{"HERALDON_SYSTEMCTL", systemctl_};
    ScopedEnv noService_{"HERALDON_SERVICE", nullptr};
};

TEST_F(HeraldonUnitCommands, InstallRunByHandAndRemove) {
    EXPECT_EQ(RunWith("-I"), std::make_pair(0, std::string("AlarmTest installed\n")));
    std::string unit = ReadFile(units_ + "/AlarmTest.service");
    EXPECT_NE(unit.find("\nExecStart=\"" + installation_.Folder("heraldon") + "\"\n"),
              std::string::npos)
        << unit;
    std::string folder = installation_.Folder();
    folder.pop_back();
    EXPECT_NE(unit.find("\nWorkingDirectory=" + folder + "\n"), std::string::npos) << unit;
    EXPECT_TRUE(fs::is_symlink(units_ + "/multi-user.target.wants/AlarmTest.service"));

    // Started by hand while installed: the reminder, then an ordinary console run.
    auto server = installation_.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs)) << server->Output();
    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    ExpectInOrder(server->Output(),
                  {"Heraldon is installed as service, have you started from the Service "
                   "Control Manager?\n",
                   "Norvane Heraldon (Klaxora) Server is running"});
    EXPECT_EQ(server->Output().find("not installed as service"), std::string::npos);

    EXPECT_EQ(RunWith("/U"),
              std::make_pair(0, "AlarmTest removed. (You must uninstall the program (" +
                                    installation_.Folder("heraldon") + ") yourself.)\n"));
    EXPECT_FALSE(fs::exists(units_ + "/AlarmTest.service"));
    EXPECT_EQ(RunWith("-u"), std::make_pair(0, std::string("AlarmTest is not installed\n")));
    EXPECT_EQ(ReadFile(installation_.Folder("systemctl.calls")), "daemon-reload\ndaemon-reload\n");
}

TEST_F(HeraldonUnitCommands, AFailedInstallEndsWithAnErrorStatus) {
    fs::remove(units_);
    EXPECT_EQ(RunWith("/i"),
              std::make_pair(1, std::string("AlarmTest failed to install. Error 2\n")));
}

}  // namespace
