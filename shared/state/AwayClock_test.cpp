#include "state/AwayClock.h"

#include <gtest/gtest.h>
#include <cmath>
#include <limits>

namespace quellon {
namespace {

using namespace std::chrono;

TEST(AwayClock, FormatsElapsedTimeWithinItsRange)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},    {59.9, "0:59"},     {61, "1:01"},     {3725, "62:05"}, {5999, "99:59"},
        {10000, "99:59"}, {-5, "0:00"},     {1e300, "99:59"}, {inf, "99:59"},  {-inf, "0:00"},
        {std::nan(""), "0:00"},
    };
    for (auto [seconds, text] : cases)
        EXPECT_EQ(AwayClock::formatElapsed(seconds), text) << seconds;
}

TEST(AwayClock, ThresholdLabelsTruncateToWholeMinutes)
{
    const std::pair<double, const char*> cases[] = {
        {300, "5 min"}, {90, "1 min"}, {59, "0 min"}, {59.99, "0 min"}, {-120, "-2 min"}, {std::nan(""), "0 min"},
    };
    for (auto [seconds, text] : cases)
        EXPECT_EQ(AwayClock::thresholdLabel(seconds), text) << seconds;
}

TEST(AwayClock, ElapsedTimeIsNeverNegative)
{
    const Date now = Date(seconds(1000));
    EXPECT_EQ(AwayClock::elapsedSeconds(std::nullopt, now), 0);
    EXPECT_EQ(AwayClock::elapsedSeconds(now + seconds(5), now), 0);
    EXPECT_DOUBLE_EQ(AwayClock::elapsedSeconds(now - milliseconds(1500), now), 1.5);
}

TEST(AwayClock, ThresholdsReminderAndTitle)
{
    EXPECT_FALSE(AwayClock::hasReached(0, 10));
    EXPECT_TRUE(AwayClock::hasReached(10, 10));
    EXPECT_FALSE(AwayClock::hasReached(10, 9.99));

    EXPECT_TRUE(AwayClock::shouldFireLongAwayReminder(true, 600, 600, false));
    EXPECT_FALSE(AwayClock::shouldFireLongAwayReminder(true, 600, 600, true));
    EXPECT_FALSE(AwayClock::shouldFireLongAwayReminder(false, 600, 600, false));
    EXPECT_FALSE(AwayClock::shouldFireLongAwayReminder(true, 600, 0, false));

    EXPECT_EQ(AwayClock::menuBarTitle(false, 100), "");
    EXPECT_EQ(AwayClock::menuBarTitle(true, 125), " 2:05");
}

} // namespace
} // namespace quellon
