#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Stockholm: CET (UTC+1) in winter, CEST (UTC+2) from the last Sunday of March 01:00 UTC
// to the last Sunday of October 01:00 UTC.
class StockholmTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr) saved_ = tz, hadTz_ = true;
        setenv("TZ", "Europe/Stockholm", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", saved_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string saved_;
    bool hadTz_ = false;
};

struct Instant {
    const char* what;
    int64_t utc;
    int64_t expectedLocal;
};

TEST_F(StockholmTime, LocalTimestampAddsTheSummerHourOnlyWhileItIsInForce) {
    // 2024-03-31 01:00 UTC and 2024-10-27 01:00 UTC are the two changes of 2024.
    const int64_t spring = 1711846800;
    const int64_t autumn = 1729990800;
    const Instant cases[] = {
        {"winter", 1704067200, 1704067200 + 3600},           // 2024-01-01 00:00 UTC
        {"just before spring", spring - 1, spring - 1 + 3600},
        {"spring change", spring, spring + 7200},
        {"just before autumn", autumn - 1, autumn - 1 + 7200},
        {"autumn change", autumn, autumn + 3600},
    };
    for (const Instant& c : cases) {
        EXPECT_EQ(platform::clock::LocalTimestamp(c.utc), c.expectedLocal) << c.what;
    }
}

TEST_F(StockholmTime, CalendarOfLocalTimestampReadsTheWallClock) {
    // 2024-07-01 10:00 UTC is 12:00 in Stockholm.
    int64_t local = platform::clock::LocalTimestamp(1719828000);
    std::tm t = platform::clock::CalendarOfLocalTimestamp(local);
    EXPECT_EQ(t.tm_hour, 12);
    EXPECT_EQ(t.tm_mday, 1);
    EXPECT_EQ(t.tm_mon, 6);
}

}  // namespace
