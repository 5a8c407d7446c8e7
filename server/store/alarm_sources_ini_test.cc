#include "server/store/alarm_sources_ini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "server/core/log.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace heraldon {
namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

constexpr char kSystemName[] = "System";

class LoadAlarmSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        TheLog().Configure(logs_.Path(), 90, false);
        AlarmSourceSettings system;
        system.name = kSystemName;
        sources_.push_back(std::make_unique<AlarmSource>(system, 0, data_ / "System/"));
    }
    void TearDown() override { TheLog().Configure("", 0, false); }

    // iniText is what a person writes: UTF-8.
    void Load(const std::string& iniText, bool resetFolders = false) {
        std::string ini = config_ / "AlarmSources.ini";
        testing_support::WriteFile(ini, iniText);
        LoadAlarmSources(ini, data_.Path(), resetFolders, localNow_, sources_);
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& source : sources_) names.push_back(source->name);
        return names;
    }

    // Every message logged so far, without its time stamp, in UTF-8. Reads every day's
    // file, in case the test ran across midnight.
    std::vector<std::string> Logged() const {
        std::vector<std::string> messages;
        std::string text = testing_support::LogFolderText(logs_.Path());
        for (size_t at = 0, end; at < text.size(); at = end + 2) {
            end = text.find("\r\n", at);
            if (end == std::string::npos) end = text.size();
            messages.push_back(text.substr(at + 9, end - at - 9));  // "hh:mm:ss "
        }
        return messages;
    }

    size_t TimesLogged(const std::string& message) const {
        std::vector<std::string> messages = Logged();
        return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
    }

    // Plain names in the data folder, sorted.
    std::vector<std::string> DataFolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(data_.Path())) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectPlacedInOrder() const {
        for (size_t i = 0; i < sources_.size(); ++i) {
            EXPECT_EQ(sources_[i]->index, static_cast<int>(i)) << sources_[i]->name;
            EXPECT_EQ(sources_[i]->handleBase, static_cast<uint32_t>(i) << 24) << sources_[i]->name;
        }
    }

    TempFolder data_;
    TempFolder config_;
    TempFolder logs_;
    std::tm localNow_ = {};
    std::vector<std::unique_ptr<AlarmSource>> sources_;
};

TEST_F(LoadAlarmSourcesTest, AddsEverySectionWithThePrefixInFileOrder) {
    Load("; the sources of the plant\n"
         "[General]\n"
         "DataFolder=/elsewhere\n"
         "[AlarmSource_North]\n"
         "Description=North plant\n"
         "TagPrefix=N_\n"
         "CategoryWhenConnectionFailed=12\n"
         "AreaWhenConnectionFailed=3\n"
         "KeepAliveInterval=30\n"
         "[AlarmSources]\n"
         "[alarmsource_south]\n"
         "[AlarmSourceWest]\n"
         "[ALARMSOURCE_Pumpstation \xC3\x85]\n"  // Å in UTF-8
         "[XAlarmSource_East]\n"
         "[AlarmSource]\n"
         "Description=not a source\n");

    ASSERT_EQ(Names(), (std::vector<std::string>{kSystemName, "North", "south",
                                                 "Pumpstation \xC5"}));
    ExpectPlacedInOrder();

    const AlarmSource& north = *sources_[1];
    EXPECT_EQ(north.description, "North plant");
    EXPECT_EQ(north.tagPrefix, "N_");
    EXPECT_EQ(north.failedCategory, 12);
    EXPECT_EQ(north.failedArea, 3);
    EXPECT_EQ(north.keepAliveInterval, 30);
    const AlarmSource& south = *sources_[2];
    EXPECT_EQ(south.description, "");
    EXPECT_EQ(south.tagPrefix, "");
    EXPECT_EQ(south.failedCategory, 0);
    EXPECT_EQ(south.failedArea, 0);
    EXPECT_EQ(south.keepAliveInterval, 0);

    // Folder names are UTF-8 like every other path on disk.
    const std::vector<std::string> folders = {"North", "south", "Pumpstation \xC3\x85"};
    for (size_t i = 0; i < folders.size(); ++i) {
        const AlarmSource& source = *sources_[i + 1];
        EXPECT_EQ(source.folder, data_ / (folders[i] + "/"));
        EXPECT_TRUE(fs::is_directory(source.HistoricFolder())) << source.folder;
        EXPECT_TRUE(fs::is_directory(source.CommentFolder())) << source.folder;
    }
    EXPECT_EQ(DataFolderEntries(), (std::vector<std::string>{"North", "Pumpstation \xC3\x85",
                                                             "south"}));
    EXPECT_EQ(TimesLogged("Alarm Source 'Pumpstation \xC3\x85' was added"), 1u);
}

struct Refusal {
    const char* what;
    const char* section;  // UTF-8, as in the file
    std::string message;  // UTF-8, as in the log
};

class RefusedSectionTest : public LoadAlarmSourcesTest,
                           public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedSectionTest, IsLoggedAndTakesNoPlace) {
    const Refusal& r = GetParam();
    Load("[AlarmSource_Pump \xC3\x85]\n"
         "[" + std::string(r.section) + "]\n"
         "Description=refused\n"
         "[AlarmSource_After]\n");

    EXPECT_EQ(Names(), (std::vector<std::string>{kSystemName, "Pump \xC5", "After"}));
    ExpectPlacedInOrder();
    EXPECT_EQ(TimesLogged(r.message), 1u);
    // Nothing was made for the refused section, inside the data folder or below it.
    EXPECT_EQ(DataFolderEntries(), (std::vector<std::string>{"After", "Pump \xC3\x85"}));
}

std::string Duplicate(const std::string& name) {
    return "Alarm Source '" + name + "' is already defined";
}
std::string Invalid(const std::string& name) {
    return "Alarm Source '" + name + "' has an invalid name (directory could not be created)";
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedSectionTest,
    ::testing::Values(
        Refusal{"ascii_case", "AlarmSource_PUMP \xC3\x85", Duplicate("PUMP \xC3\x85")},
        Refusal{"a_ring_case", "AlarmSource_Pump \xC3\xA5", Duplicate("Pump \xC3\xA5")},
        Refusal{"prefix_case", "alarmsource_pump \xC3\xA5", Duplicate("pump \xC3\xA5")},
        Refusal{"system_name", "AlarmSource_SYSTEM", Duplicate("SYSTEM")},
        Refusal{"dot", "AlarmSource_.", Invalid(".")},
        Refusal{"dot_dot", "AlarmSource_..", Invalid("..")},
        Refusal{"slash", "AlarmSource_a/b", Invalid("a/b")},
        Refusal{"backslash", "AlarmSource_a\\b", Invalid("a\\b")},
        Refusal{"empty", "AlarmSource_", Invalid("")}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.what); });

TEST_F(LoadAlarmSourcesTest, StopsAtTheLastHandleIndex) {
    std::string ini;
    for (int i = 1; i <= 127; ++i) {
        char section[32];
        std::snprintf(section, sizeof section, "[AlarmSource_S%03d]\n", i);
        ini += section;
        // Refused sections take no place, so they must not bring the limit nearer.
        if (i == 10) ini += "[AlarmSource_s010]\n[AlarmSource_..]\n";
    }
    ini += "[AlarmSource_Extra1]\n[General]\n[AlarmSource_Extra2]\n";
    Load(ini);

    ASSERT_EQ(sources_.size(), 128u);
    EXPECT_EQ(sources_.back()->name, "S127");
    EXPECT_EQ(sources_.back()->handleBase, 0x7F000000u);
    ExpectPlacedInOrder();
    EXPECT_EQ(TimesLogged("More than 127 Alarm Sources, will ignore section 'AlarmSource_Extra1'!"),
              1u);
    for (const std::string& message : Logged()) {
        EXPECT_EQ(message.find("Extra2"), std::string::npos) << message;
    }
    EXPECT_FALSE(fs::exists(data_ / "Extra1"));
    EXPECT_FALSE(fs::exists(data_ / "Extra2"));
}

TEST_F(LoadAlarmSourcesTest, ResetMovesOnlyUsableFoldersAside) {
    fs::create_directories(data_ / "North");
    testing_support::WriteFile(data_ / "North/AlarmObjects.dat", "old");
    // What "a/b" would name if the name were taken as a path.
    fs::create_directories(data_ / "a/b");
    localNow_.tm_year = 2024 - 1900;
    localNow_.tm_mon = 2;
    localNow_.tm_mday = 5;
    localNow_.tm_hour = 6;
    localNow_.tm_min = 7;
    localNow_.tm_sec = 8;

    Load("[AlarmSource_North]\n[AlarmSource_a/b]\n[AlarmSource_Fresh]\n", true);

    ASSERT_EQ(Names(), (std::vector<std::string>{kSystemName, "North", "Fresh"}));
    EXPECT_EQ(testing_support::ReadFile(data_ / "North_20240305_060708/AlarmObjects.dat"), "old");
    EXPECT_FALSE(fs::exists(data_ / "North/AlarmObjects.dat"));
    EXPECT_TRUE(fs::is_directory(data_ / "North/Historic"));
    EXPECT_TRUE(fs::is_directory(data_ / "a/b"));
    EXPECT_EQ(DataFolderEntries(), (std::vector<std::string>{"Fresh", "North",
                                                             "North_20240305_060708", "a"}));
    EXPECT_EQ(TimesLogged("Renamed folder " + data_ / "North to " + data_ /
                          "North_20240305_060708"),
              1u);
    EXPECT_EQ(TimesLogged("Failed to rename folder " + data_ / "Fresh to " + data_ /
                          "Fresh_20240305_060708"),
              1u);
}

}  // namespace
}  // namespace heraldon
