#include "server/core/alarm_time.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"

namespace {

using heraldon::FormatAlarmTime;

class FormatAlarmTimeInStockholm : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Europe/Stockholm", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(FormatAlarmTimeInStockholm, PrintsTheWallClockTimeOfStoringInBothSeasons) {
    struct Case {
        const char* what;
        int64_t utc;
        const char* expected;
    };
    const Case cases[] = {
        {"winter", 1704110400, "2024-01-01 13:00:00"},              // 12:00 UTC
        {"summer", 1719835200, "2024-07-01 14:00:00"},              // 12:00 UTC
        {"last winter second", 1711846799, "2024-03-31 01:59:59"},  // before the spring change
        {"first summer second", 1711846800, "2024-03-31 03:00:00"},
        {"last summer second", 1729990799, "2024-10-27 02:59:59"},
        {"first winter second", 1729990800, "2024-10-27 02:00:00"},  // the hour repeats
    };
    for (const Case& c : cases) {
        int64_t stored = platform::clock::LocalTimestamp(c.utc);
        EXPECT_EQ(FormatAlarmTime(stored, true, true), c.expected) << c.what;
    }
}

TEST_F(FormatAlarmTimeInStockholm, PartsAndZero) {
    int64_t stored = platform::clock::LocalTimestamp(1719835200);
    EXPECT_EQ(FormatAlarmTime(stored, true, false), "2024-07-01");
    EXPECT_EQ(FormatAlarmTime(stored, false, true), "14:00:00");
    EXPECT_EQ(FormatAlarmTime(stored, false, false), "");
    EXPECT_EQ(FormatAlarmTime(0, true, true), "");
}

}  // namespace
