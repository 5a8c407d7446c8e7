// The server's life from the outside: start-up, the console keys, stop signals and the
// maintenance modes, on the real binary in a temporary installation.

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/e2e/heraldon_fixture.h"

namespace {

using testing_support::HeraldonInstallation;
using testing_support::InOrder;
using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr int kTimeoutMs = 10000;
const std::string kHyphens(66, '-');

void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::string missing;
    EXPECT_TRUE(InOrder(text, lines, &missing)) << "missing or out of order: \"" << missing
                                                << "\" in:\n"
                                                << text;
}

TEST(HeraldonLife, StartsInOrderAndEscStopsIt) {
    HeraldonInstallation installation;
    auto server = installation.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs)) << server->Output();

    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    EXPECT_TRUE(InOrder(server->Output(),
                        {"Heraldon is starting as normal application (not installed as service)",
                         "Norvane Heraldon (Klaxora) Server is running", "Press ESC key to exit",
                         "Heraldon is closing due to user exit, please wait..."}))
        << server->Output();
    ExpectInOrder(installation.LogText(),
                  {kHyphens, "Heraldon is starting (version ",
                   "Initially copied and renamed '" + installation.Folder("Templates/Areas.org") +
                       "' to project folder",
                   "System Alarm Source 'System' was added", "Alarm Source 'Plant' was added",
                   "Starting all alarm threads", "Closing all alarm threads",
                   "Heraldon was shut down"});
    EXPECT_TRUE(std::filesystem::is_directory(installation.Data("Plant/Historic")));
    EXPECT_TRUE(std::filesystem::is_directory(installation.Data("System/Comment")));
}

TEST(HeraldonLife, StopSignalsShutDownInOrder) {
    for (int signal : {SIGTERM, SIGINT}) {
        HeraldonInstallation installation;
        auto server = installation.Start();
        ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
        server->Signal(signal);
        EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0) << "signal " << signal;
        ExpectInOrder(installation.LogText(),
                      {"Starting all alarm threads", "Closing all alarm threads",
                       "Heraldon was shut down"});
    }
}

TEST(HeraldonLife, AlarmObjectFilesAreLoadedBeforeStartUpEndsAndClosedAtStop) {
    HeraldonInstallation installation;
    auto server = installation.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
    std::string log = installation.LogText();
    ExpectInOrder(log, {"Starting all alarm threads",
                        "AlarmSource 'Plant': Read 0 alarm objects in use (0 unused)"});
    EXPECT_NE(log.find("AlarmSource 'System': Read 0 alarm objects in use (0 unused)"),
              std::string::npos);
    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    EXPECT_EQ(std::filesystem::file_size(installation.Data("Plant/AlarmObjects.dat")), 1024u);
}

TEST(HeraldonLife, InactiveAndActiveKeysStopAndStartTheAlarmThreads) {
    HeraldonInstallation installation;
    auto server = installation.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
    server->Write("I");
    ASSERT_TRUE(server->WaitForOutput("Closing all alarm threads", kTimeoutMs));
    server->Write("a");
    ASSERT_TRUE(server->WaitForOutput("Starting all alarm threads", kTimeoutMs, 2));
    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    ExpectInOrder(installation.LogText(),
                  {"Starting all alarm threads", "Closing all alarm threads",
                   "Starting all alarm threads", "Closing all alarm threads",
                   "Heraldon was shut down"});
}

TEST(HeraldonLife, FolderResetMovesEveryFolderAsideWritesZeroBackAndExits) {
    HeraldonInstallation installation("ResetAllAlarmSourceFolders=1\n");
    std::filesystem::create_directories(installation.Data("System"));
    std::filesystem::create_directories(installation.Data("Plant"));
    WriteFile(installation.Data("Plant/AlarmObjects.dat"), "old");

    auto server = installation.Start();
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    std::string log = installation.LogText();
    ExpectInOrder(log, {"Renamed folder " + installation.Data("System") + " to " +
                            installation.Data("System_"),
                        "Renamed folder " + installation.Data("Plant") + " to " +
                            installation.Data("Plant_"),
                        "Heraldon is exiting due to ResetAllAlarmSourceFolders setting"});
    EXPECT_EQ(log.find("Starting all alarm threads"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(installation.Data("Plant/AlarmObjects.dat")));
    EXPECT_NE(ReadFile(installation.Folder("Heraldon.ini")).find("ResetAllAlarmSourceFolders=0"),
              std::string::npos);

    // The next start runs normally with the fresh folders.
    auto again = installation.Start();
    ASSERT_TRUE(again->WaitForOutput("Press ESC key to exit", kTimeoutMs));
    again->Write("\x1b");
    EXPECT_EQ(again->WaitForExit(kTimeoutMs), 0);
}

TEST(HeraldonLife, RepairModeWritesZeroBackAndExitsWithoutListening) {
    HeraldonInstallation installation("RepairHistoricEvents=2\n");
    auto server = installation.Start();
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    std::string log = installation.LogText();
    ExpectInOrder(log, {"Heraldon will scan and reindex all historic event files",
                        "AlarmSource 'System': Read 0 alarm objects in use (0 unused)",
                        "AlarmSource 'Plant': Read 0 alarm objects in use (0 unused)",
                        "Heraldon scanned and reindexed all historic event files, we will now exit"});
    EXPECT_EQ(log.find("Starting all alarm threads"), std::string::npos);
    EXPECT_NE(ReadFile(installation.Folder("Heraldon.ini")).find("RepairHistoricEvents=0"),
              std::string::npos);
}

TEST(HeraldonLife, SystemSourceNameThatEscapesTheDataFolderEndsStartUp) {
    for (const char* name : {"a/b", "..", "a\\b"}) {
        HeraldonInstallation installation(std::string("SystemAlarmSourceName=") + name + "\n");
        auto server = installation.Start();
        EXPECT_NE(server->WaitForExit(kTimeoutMs), 0) << name;
        EXPECT_NE(installation.LogText().find(std::string("System Alarm Source '") + name +
                                              "' has an invalid name (directory could not be "
                                              "created) - exiting application"),
                  std::string::npos)
            << name;
    }
}

TEST(HeraldonLife, ConfiguredSourcesWithBadOrDuplicateNamesAreLeftOut) {
    HeraldonInstallation installation(
        "", "[AlarmSource_Plant]\n[alarmsource_PLANT]\n[AlarmSource_..]\n[AlarmSource_system]\n"
            "[Other]\n[ALARMSOURCE_Line2]\n");
    auto server = installation.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    ExpectInOrder(installation.LogText(),
                  {"Alarm Source 'Plant' was added", "Alarm Source 'PLANT' is already defined",
                   "Alarm Source '..' has an invalid name (directory could not be created)",
                   "Alarm Source 'system' is already defined", "Alarm Source 'Line2' was added"});
}

TEST(HeraldonLife, TemplateIsCopiedOnceAndNeverOverwritesAnEditedFile) {
    HeraldonInstallation installation;
    for (int run = 0; run < 2; ++run) {
        auto server = installation.Start();
        ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
        server->Write("\x1b");
        ASSERT_EQ(server->WaitForExit(kTimeoutMs), 0);
        if (run == 0) {
            EXPECT_EQ(ReadFile(installation.Data("Areas.ini")), "[Areas]\n1=Pumps\n");
            WriteFile(installation.Data("Areas.ini"), "edited");
        }
    }
    EXPECT_EQ(ReadFile(installation.Data("Areas.ini")), "edited");
    std::string log = installation.LogText();
    size_t first = log.find("Initially copied");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Initially copied", first + 1), std::string::npos);
}

TEST(HeraldonLife, LogOffWritesNoLogFile) {
    HeraldonInstallation installation("DaysToKeepLogFiles=0\n");
    auto server = installation.Start();
    ASSERT_TRUE(server->WaitForOutput("Press ESC key to exit", kTimeoutMs));
    server->Write("\x1b");
    EXPECT_EQ(server->WaitForExit(kTimeoutMs), 0);
    EXPECT_EQ(installation.LogText(), "");
    EXPECT_EQ(server->Output().find("Starting all alarm threads"), std::string::npos);
}

}  // namespace
