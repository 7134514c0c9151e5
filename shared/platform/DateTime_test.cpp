#include "platform/DateTime.h"

#include <gtest/gtest.h>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace quellon {
namespace {

using namespace std::chrono;

TEST(InternetDateTime, FormatsUtcWholeSecondsAndDropsTheFraction)
{
    EXPECT_EQ(InternetDateTime::format(Date{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(InternetDateTime::format(Date(seconds(1765000000))), "2025-12-06T05:46:40Z");
    EXPECT_EQ(InternetDateTime::format(Date(seconds(1765000000) + milliseconds(999))), "2025-12-06T05:46:40Z");
    // Before 1970 the fraction still rounds down, to the earlier second.
    EXPECT_EQ(InternetDateTime::format(Date(milliseconds(-1))), "1969-12-31T23:59:59Z");
    EXPECT_EQ(InternetDateTime::format(Date(sys_days(year(2024) / February / 29))), "2024-02-29T00:00:00Z");
}

TEST(InternetDateTime, ParsesWhatItFormats)
{
    for (auto text : {"1970-01-01T00:00:00Z", "2024-02-29T23:59:59Z", "1999-12-31T12:30:05Z", "2262-04-11T00:00:00Z",
                      "2262-04-11T23:47:16Z", "1677-09-21T00:12:44Z"}) {
        auto date = InternetDateTime::parse(text);
        ASSERT_TRUE(date) << text;
        EXPECT_EQ(InternetDateTime::format(*date), text);
    }
}

TEST(InternetDateTime, RejectsEveryOtherForm)
{
    for (auto text : {
             "", "1970-01-01", "1970-01-01T00:00:00", "1970-01-01T00:00:00z", "1970-01-01t00:00:00Z",
             "1970-01-01 00:00:00Z", "1970-01-01T00:00:00.000Z", "1970-01-01T00:00:00+00:00",
             " 1970-01-01T00:00:00Z", "1970-01-01T00:00:00Z ", "1970-1-01T00:00:00Z", "1970-13-01T00:00:00Z",
             "1970-00-10T00:00:00Z", "2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z", "1970-01-01T24:00:00Z",
             "1970-01-01T00:60:00Z", "1970-01-01T00:00:60Z", "+970-01-01T00:00:00Z", "197O-01-01T00:00:00Z",
             // Well formed, but beyond what a Date holds: they used to come back as other years.
             "2300-01-01T00:00:00Z", "2262-04-11T23:47:17Z", "1677-09-21T00:12:43Z", "0000-01-01T00:00:00Z",
             "9999-12-31T23:59:59Z"}) {
        EXPECT_FALSE(InternetDateTime::parse(text)) << '"' << text << '"';
    }
}

// Inputs a fuzzer found, kept beside the shared checkout; skipped where it is not there.
TEST(InternetDateTime, RefusesTheYearOverflowFoundByFuzzing)
{
    const std::filesystem::path path = std::filesystem::path(QUELLON_SOURCE_DIR) / "../shared/fuzz-findings/datetime-year-overflow";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        GTEST_SKIP() << "no fuzz finding at " << path;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(InternetDateTime::parse(text)) << text;
}

TEST(DateSeconds, ConvertsBothWaysAndRefusesWhatADateCannotHold)
{
    EXPECT_DOUBLE_EQ(secondsSince1970(Date(milliseconds(1500))), 1.5);
    auto date = dateFromSecondsSince1970(1765000000.25);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->time_since_epoch(), seconds(1765000000) + milliseconds(250));
    EXPECT_FALSE(dateFromSecondsSince1970(std::nan("")));
    EXPECT_FALSE(dateFromSecondsSince1970(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(dateFromSecondsSince1970(1e300));
    EXPECT_FALSE(dateFromSecondsSince1970(-1e300));
}

} // namespace
} // namespace quellon
