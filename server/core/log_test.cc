#include "server/core/log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::TempFolder;

class ServerLogTest : public ::testing::Test {
protected:
    void SetUp() override { heraldon::TheLog().Configure(temp_.Path(), 90, false); }
    void TearDown() override { heraldon::TheLog().Configure("", 0, false); }

    // The files as they are, without asking the log to write what it gathers.
    std::string OnDisk() const {
        std::string text;
        for (const std::string& name : platform::fs::ListFiles(temp_.Path())) {
            text += testing_support::ReadFile(temp_ / name);
        }
        return text;
    }

    TempFolder temp_;
};

TEST_F(ServerLogTest, ALineAfterAQuietSpellIsInTheFileWhenLogReturns) {
    heraldon::Log("first %d", 1);
    EXPECT_NE(OnDisk().find(" first 1\r\n"), std::string::npos);
    platform::clock::SleepMs(static_cast<int>(heraldon::kLogGatherMs) + 5);
    heraldon::Log("second");
    EXPECT_NE(OnDisk().find(" second\r\n"), std::string::npos);
}

TEST_F(ServerLogTest, AFloodIsGatheredButKeepsEveryLineInOrder) {
    constexpr int kLines = 20000;
    for (int i = 0; i < kLines; ++i) heraldon::Log("line %d", i);
    // Far fewer writes than lines is the point; what was not written yet is still held.
    std::string text = testing_support::LogFolderText(temp_.Path());
    size_t at = 0;
    for (int i = 0; i < kLines; ++i) {
        std::string line = " line " + std::to_string(i) + "\r\n";
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "line " << i;
        at = found + line.size();
    }
}

}  // namespace
