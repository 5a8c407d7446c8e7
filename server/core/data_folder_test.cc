#include "server/core/data_folder.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::ResolveDataFolder;
using testing_support::TempFolder;

TEST(DataFolder, ConfiguredPathEndsInExactlyOneSlashWithOrWithoutOne) {
    TempFolder temp;
    EXPECT_EQ(ResolveDataFolder(temp / "data", "/prog/", "", "").folder, temp / "data/");
    EXPECT_EQ(ResolveDataFolder(temp / "data/", "/prog/", "", "").folder, temp / "data/");
    EXPECT_TRUE(platform::fs::IsDirectory(temp / "data"));
}

TEST(DataFolder, RelativePathIsTakenFromTheProgramFolder) {
    TempFolder temp;
    EXPECT_EQ(ResolveDataFolder("data", temp.Path(), "", "").folder, temp / "data/");
    EXPECT_TRUE(platform::fs::IsDirectory(temp / "data"));
}

TEST(DataFolder, EmptyPathUsesTheMachineFolder) {
    TempFolder machine;
    auto choice = ResolveDataFolder("", "/prog/", machine.Path(), "/nonexistent/");
    EXPECT_EQ(choice.folder, machine / "Norvane/Heraldon/");
    EXPECT_TRUE(choice.fallback.empty());
    EXPECT_TRUE(platform::fs::IsDirectory(machine / "Norvane/Heraldon"));
}

TEST(DataFolder, UnwritableMachineFolderFallsBackToTheUsersNeverToRoot) {
    TempFolder temp;
    testing_support::WriteFile(temp / "file", "");  // a folder below a file can not be made
    std::string machine = temp / "file/";
    auto choice = ResolveDataFolder("", "/prog/", machine, temp / "home/.local/share/");
    EXPECT_EQ(choice.folder, temp / "home/.local/share/Norvane/Heraldon/");
    EXPECT_EQ(choice.fallback, machine + "Norvane/Heraldon/");

    auto nothing = ResolveDataFolder("", "/prog/", machine, "");
    EXPECT_EQ(nothing.folder, "");
}

}  // namespace
