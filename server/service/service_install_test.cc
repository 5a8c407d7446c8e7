// Installing and removing the systemd unit, against a temporary unit folder and a stand-in
// systemctl that records how it was called.

#include "server/service/service_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "server/service/heraldon_service.h"
#include "server/service/service_test_support.h"
#include "tests/support/temp_folder.h"

namespace heraldon::service {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
using testing_support::TempFolder;
using testing_support::WriteFile;

class ServiceInstall : public ::testing::Test {
protected:
    ServiceInstall() {
        fs::create_directory(units_);
        // Records each call's arguments as one line; the exit status is the test's choice.
        WriteFile(systemctl_, "#!/bin/sh\necho \"$@\" >> '" + folder_ / "systemctl.calls" +
                                  "'\nexit ${FAKE_SYSTEMCTL_STATUS:-0}\n");
        fs::permissions(systemctl_, fs::perms::owner_all);
    }

    ServiceSetup Setup(const std::string& name = "Heraldon") const {
        return {name,
                "Heraldon (Klaxora) Server",
                "/opt/nor vane/heraldon",
                "/opt/nor vane",
                units_,
                systemctl_};
    }

    std::string Unit(const std::string& name = "Heraldon") const {
        return units_ + "/" + name + ".service";
    }
    std::string Link(const std::string& name = "Heraldon") const {
        return units_ + "/multi-user.target.wants/" + name + ".service";
    }
    std::string Calls() const { return ReadFile(folder_ / "systemctl.calls"); }
    std::string Events() const { return ReadFile(folder_ / "events"); }
    size_t UnitFolderEntries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(units_), {}));
    }

    TempFolder folder_;
    std::string units_ = folder_ / "units";
    std::string systemctl_ = folder_ / "systemctl";
    ScopedEnv sink_{"HERALDON_EVENT_SINK", folder_ / "events"};
};

TEST(ServiceCommandLine, OnlyTheFirstArgumentCountsInAnyCase) {
    struct Case {
        std::vector<const char*> args;
        ServiceCommand expected;
    };
    const Case cases[] = {
        {{"-i"}, ServiceCommand::Install},    {{"/i"}, ServiceCommand::Install},
        {{"-I"}, ServiceCommand::Install},    {{"/I", "-u"}, ServiceCommand::Install},
        {{"-u"}, ServiceCommand::Remove},     {{"/U"}, ServiceCommand::Remove},
        {{"-U"}, ServiceCommand::Remove},     {{}, ServiceCommand::None},
        {{""}, ServiceCommand::None},         {{"i"}, ServiceCommand::None},
        {{"-iu"}, ServiceCommand::None},      {{"--i"}, ServiceCommand::None},
        {{"-x", "-i"}, ServiceCommand::None}, {{"\\i"}, ServiceCommand::None},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"heraldon"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(ParseServiceCommand(static_cast<int>(argv.size()), argv.data()), c.expected)
            << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST_F(ServiceInstall, WritesAnEnabledNotifyUnitAndReloadsSystemd) {
    mode_t oldMask = ::umask(077);
    CommandResult result = InstallService(Setup());
    ::umask(oldMask);

    EXPECT_EQ(result.message, "Heraldon installed\n");
    EXPECT_EQ(result.exitCode, 0);
    std::string unit = ReadFile(Unit());
    for (const char* line :
         {"# Norvane Heraldon (Klaxora) Alarm Server", "[Unit]",
          "Description=Heraldon (Klaxora) Server", "After=network-online.target",
          "Wants=network-online.target", "[Service]", "Type=notify",
          "ExecStart=\"/opt/nor vane/heraldon\"", "Environment=HERALDON_SERVICE=1",
          "WorkingDirectory=/opt/nor vane", "TimeoutStopSec=120", "Restart=on-failure", "[Install]",
          "WantedBy=multi-user.target"}) {
        EXPECT_NE(("\n" + unit).find("\n" + std::string(line) + "\n"), std::string::npos)
            << line << " missing in:\n"
            << unit;
    }
    // systemd reads units as root, but "systemctl cat" and every user must read it too.
    EXPECT_EQ(fs::status(Unit()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    ASSERT_TRUE(fs::is_symlink(Link()));
    EXPECT_EQ(fs::read_symlink(Link()), Unit());
    EXPECT_EQ(Calls(), "daemon-reload\n");
    EXPECT_EQ(Events(), "100 information service installed: Heraldon\n");
    EXPECT_TRUE(IsInstalled(Setup()));
}

TEST(ServiceUnitText, ValuesAreQuotedAndEscapedForSystemd) {
    ServiceSetup setup{"Heraldon", "100% \"up\"", "/opt/a\"b\\c%d/heraldon", "/srv/50%", "/u", ""};
    std::string unit = UnitText(setup);
    for (const char* line :
         {"Description=100%% \"up\"", "ExecStart=\"/opt/a\\\"b\\\\c%%d/heraldon\"",
          "WorkingDirectory=/srv/50%%"}) {
        EXPECT_NE(unit.find(std::string(line) + "\n"), std::string::npos) << line << " in:\n"
                                                                          << unit;
    }
}

TEST_F(ServiceInstall, InstallingTwiceChangesNothing) {
    ASSERT_EQ(InstallService(Setup()).exitCode, 0);
    std::string before = ReadFile(Unit());

    ServiceSetup moved = Setup();
    moved.executable = "/elsewhere/heraldon";
    CommandResult again = InstallService(moved);
    EXPECT_EQ(again.message, "Heraldon is already installed\n");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(ReadFile(Unit()), before);
    EXPECT_EQ(Calls(), "daemon-reload\n");
    EXPECT_EQ(Events(), "100 information service installed: Heraldon\n");
}

TEST_F(ServiceInstall, RemoveDeletesUnitAndLinkOnceThenSaysNotInstalled) {
    ASSERT_EQ(InstallService(Setup()).exitCode, 0);

    CommandResult removed = RemoveService(Setup());
    EXPECT_EQ(removed.message,
              "Heraldon removed. (You must uninstall the program (/opt/nor vane/heraldon) "
              "yourself.)\n");
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Unit())));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
    EXPECT_FALSE(IsInstalled(Setup()));
    EXPECT_EQ(Calls(), "daemon-reload\ndaemon-reload\n");

    CommandResult again = RemoveService(Setup());
    EXPECT_EQ(again.message, "Heraldon is not installed\n");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(Calls(), "daemon-reload\ndaemon-reload\n");
    EXPECT_EQ(Events(),
              "100 information service installed: Heraldon\n"
              "101 information service removed: Heraldon\n");
}

TEST_F(ServiceInstall, NamesSystemdWouldRefuseOrThatLeaveTheFolderAreNeverWritten) {
    // Something a name with a path in it could reach.
    WriteFile(folder_ / "x.service", "not ours");
    for (const std::string& name :
         {std::string(), std::string("a b"), std::string("a/b"), std::string("../x"),
          std::string(248, 'a'), std::string("-i"), std::string(".hidden"), std::string("a@b"),
          std::string("Heral\xc3\xb0on"), std::string("a\nb")}) {
        CommandResult result = InstallService(Setup(name));
        EXPECT_EQ(result.message, name + " failed to install. Error 22\n") << name;
        EXPECT_EQ(result.exitCode, 1) << name;
        EXPECT_FALSE(IsInstalled(Setup(name))) << name;
        EXPECT_EQ(RemoveService(Setup(name)).message, name + " is not installed\n") << name;
    }
    EXPECT_EQ(UnitFolderEntries(), 0u);
    EXPECT_EQ(ReadFile(folder_ / "x.service"), "not ours");
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(Events(), "");

    // The longest name that still fits, and every character systemd allows.
    for (const std::string& name : {std::string(247, 'a'), std::string("Az09:-_.\\x")}) {
        EXPECT_EQ(InstallService(Setup(name)).message, name + " installed\n");
    }
}

TEST_F(ServiceInstall, AFailureHalfWayLeavesNothingBehind) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        int error;
    };
    const Case cases[] = {
        {"no unit folder", [&] { fs::remove(units_); }, ENOENT},
        {"wants folder is a file", [&] { WriteFile(units_ + "/multi-user.target.wants", ""); },
         ENOTDIR},
        {"link taken by another unit",
         [&] {
             fs::create_directory(units_ + "/multi-user.target.wants");
             fs::create_symlink("/lib/systemd/system/other.service", Link());
         },
         EEXIST},
    };
    for (const Case& c : cases) {
        fs::remove_all(units_);
        fs::create_directory(units_);
        c.arrange();
        CommandResult result = InstallService(Setup());
        EXPECT_EQ(result.message,
                  "Heraldon failed to install. Error " + std::to_string(c.error) + "\n")
            << c.what;
        EXPECT_EQ(result.exitCode, 1) << c.what;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Unit()))) << c.what;
        EXPECT_FALSE(IsInstalled(Setup())) << c.what;
    }
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(Events(), "");

    // With the obstacle gone the next attempt installs rather than finding a half install.
    fs::remove_all(units_);
    fs::create_directory(units_);
    EXPECT_EQ(InstallService(Setup()).message, "Heraldon installed\n");
}

TEST_F(ServiceInstall, ALeftOverLinkToTheSameUnitIsKept) {
    fs::create_directory(units_ + "/multi-user.target.wants");
    fs::create_symlink(Unit(), Link());
    EXPECT_EQ(InstallService(Setup()).message, "Heraldon installed\n");
    EXPECT_EQ(fs::read_symlink(Link()), Unit());
}

TEST_F(ServiceInstall, RemoveThatFailsKeepsTheUnitAndSaysWhy) {
    ASSERT_EQ(InstallService(Setup()).exitCode, 0);
    // unlink() refuses a folder even for root, unlike missing permissions.
    fs::remove(Link());
    fs::create_directories(Link() + "/keep");

    CommandResult result = RemoveService(Setup());
    EXPECT_EQ(result.message, "Could not remove Heraldon. Error 21\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(IsInstalled(Setup()));
    EXPECT_EQ(Events(),
              "100 information service installed: Heraldon\n"
              "102 error service could not be removed: Heraldon\n");
}

TEST_F(ServiceInstall, AFailedReloadIsReportedButTheChangeStays) {
    ScopedEnv failing("FAKE_SYSTEMCTL_STATUS", "1");
    std::string note = "Note: \"" + systemctl_ + " daemon-reload\" failed; run it yourself\n";
    EXPECT_EQ(InstallService(Setup()).message, "Heraldon installed\n" + note);
    EXPECT_TRUE(IsInstalled(Setup()));
    EXPECT_EQ(RemoveService(Setup()).message.substr(0, 17), "Heraldon removed.");
    EXPECT_FALSE(IsInstalled(Setup()));

    ServiceSetup missing = Setup();
    missing.systemctl = folder_ / "no-such-systemctl";
    EXPECT_EQ(InstallService(missing).message, "Heraldon installed\nNote: \"" + missing.systemctl +
                                                   " daemon-reload\" failed; run it yourself\n");

    // Without systemd there is nobody to tell.
    ServiceSetup quiet = Setup("Quiet");
    quiet.systemctl.clear();
    EXPECT_EQ(InstallService(quiet).message, "Quiet installed\n");
    EXPECT_EQ(Calls(), "daemon-reload\ndaemon-reload\n");
}

TEST_F(ServiceInstall, SetupComesFromTheRunningProgramAndTheEnvironment) {
    {
        ScopedEnv unitDir("HERALDON_UNIT_DIR", units_);
        ScopedEnv systemctl("HERALDON_SYSTEMCTL", systemctl_);
        ServiceSetup setup = SetupFromEnvironment("Name", "Display");
        EXPECT_EQ(setup.serviceName, "Name");
        EXPECT_EQ(setup.displayName, "Display");
        EXPECT_EQ(setup.unitFolder, units_);
        EXPECT_EQ(setup.systemctl, systemctl_);
        EXPECT_EQ(setup.executable, fs::read_symlink("/proc/self/exe").string());
        EXPECT_EQ(setup.programFolder, fs::path(setup.executable).parent_path().string());
    }
    ScopedEnv unitDir("HERALDON_UNIT_DIR", nullptr);
    ScopedEnv systemctl("HERALDON_SYSTEMCTL", nullptr);
    ServiceSetup setup = SetupFromEnvironment("Name", "Display");
    EXPECT_EQ(setup.unitFolder, "/etc/systemd/system");
    EXPECT_EQ(setup.systemctl, fs::is_directory("/run/systemd/system") ? "systemctl" : "");
}

TEST_F(ServiceInstall, TheCommandLineInstallsAndRemovesThroughTheServiceObject) {
    ScopedEnv unitDir("HERALDON_UNIT_DIR", units_);
    ScopedEnv systemctl("HERALDON_SYSTEMCTL", systemctl_);
    CHeraldon_Service service;  // named "Heraldon" without an ini file
    const char* install[] = {"heraldon", "-I"};
    const char* remove[] = {"heraldon", "/U"};
    const char* none[] = {"heraldon", "-x"};

    EXPECT_FALSE(service.HandleCommandLine(2, none));
    EXPECT_FALSE(service.IsInstalled());
    EXPECT_TRUE(service.HandleCommandLine(2, install));
    EXPECT_EQ(service.ExitCode(), 0);
    EXPECT_TRUE(service.IsInstalled());
    EXPECT_TRUE(service.HandleCommandLine(2, remove));
    EXPECT_EQ(service.ExitCode(), 0);
    EXPECT_FALSE(service.IsInstalled());

    // A failure is the process's exit status, so scripts notice it.
    fs::remove_all(units_);
    EXPECT_TRUE(service.HandleCommandLine(2, install));
    EXPECT_EQ(service.ExitCode(), 1);
}

}  // namespace
}  // namespace heraldon::service
