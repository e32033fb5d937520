#include "core/Clock.h"
#include "support/Clock.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace kestrel;

TEST(Clock, TheSystemClockGivesTheStoredPattern) {
    EXPECT_TRUE(std::regex_match(CurrentTimeStamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(LocalTimeText("%H:%M:%S"), std::regex(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d)")));
}

TEST(Clock, AFixedClockIsWhatEveryReaderSees) {
    {
        testsupport::FixedClock clock("2024-02-29 23:59:58");
        EXPECT_EQ(CurrentTimeStamp(), "2024-02-29 23:59:58");
        EXPECT_EQ(LocalTimeText("%m/%d/%Y"), "02/29/2024");
        EXPECT_EQ(Now(), clock.Time());
        // Workers read the same clock.
        std::string seen;
        std::thread([&] { seen = CurrentTimeStamp(); }).join();
        EXPECT_EQ(seen, "2024-02-29 23:59:58");
        clock.Set("2025-01-01 00:00:00");
        EXPECT_EQ(CurrentTimeStamp(), "2025-01-01 00:00:00");
    }
    // Released: the system clock again, which is long past those days.
    EXPECT_GT(CurrentTimeStamp(), "2025-01-01 00:00:00");
}
