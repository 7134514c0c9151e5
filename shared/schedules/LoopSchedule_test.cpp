#include "schedules/LoopSchedule.h"

#include "state/JSONCoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace quellon {
namespace {

constexpr std::int64_t kSunday = 1, kMonday = 2, kTuesday = 3, kFriday = 6, kSaturday = 7;

const UUID kID = *UUID::fromString("6F1C2B3A-0D4E-4F50-8A61-7B8C9D0E1F20");

LoopSchedule window(std::int64_t start, std::int64_t end, std::set<std::int64_t> weekdays, bool enabled = true)
{
    return LoopSchedule(kID, "Window", start, end, std::move(weekdays), enabled);
}

TEST(LoopScheduleTest, CoversWeekdayAndMinute)
{
    const LoopSchedule fridayNight = window(1320, 120, {kFriday}), weekendNights = window(1320, 120, {kFriday, kSaturday});
    const LoopSchedule sundayNight = window(1320, 120, {kSunday}), saturdayNight = window(1320, 120, {kSaturday});
    const LoopSchedule mondayMorning = window(540, 600, {kMonday});
    struct Case { const char* what; LoopSchedule schedule; std::int64_t weekday, minute; bool expected; };
    const Case cases[] = {
        {"overnight: evening part", fridayNight, kFriday, 1410, true}, {"overnight: before start", fridayNight, kFriday, 1319, false},
        {"overnight: last morning minute", fridayNight, kSaturday, 119, true}, {"overnight: end", fridayNight, kSaturday, 120, false},
        {"overnight: next evening not listed", fridayNight, kSaturday, 1380, false},
        {"overnight: morning of the listed day belongs to the day before", fridayNight, kFriday, 60, false},
        {"Saturday's window reaches Sunday", weekendNights, kSunday, 60, true},
        {"Sunday night covers Monday", sundayNight, kMonday, 60, true}, {"Saturday night covers Sunday", saturdayNight, kSunday, 119, true},
        {"same day: start", mondayMorning, kMonday, 540, true}, {"same day: last minute", mondayMorning, kMonday, 599, true},
        {"same day: end", mondayMorning, kMonday, 600, false}, {"same day: other weekday", mondayMorning, kTuesday, 560, false},
        {"start equal to end is empty", window(600, 600, {1, 2, 3, 4, 5, 6, 7}), kMonday, 600, false},
        {"no weekdays", window(0, 1439, {}), kMonday, 600, false}, {"disabled", window(0, 1439, {1, 2, 3, 4, 5, 6, 7}, false), kMonday, 600, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.schedule.covers(c.weekday, c.minute), c.expected);
    }
}

TEST(LoopScheduleTest, WeekdaysOutsideTheWeekNeverMatch)
{
    // 0 and 8 are neighbours of the real days only by arithmetic; Sunday looks back to 7, not 0.
    for (const LoopSchedule& schedule : {window(1320, 120, {0, 8}), window(0, 1439, {0, 8, -1})})
        for (std::int64_t weekday = 1; weekday <= 7; ++weekday)
            for (std::int64_t minute = 0; minute < 1440; minute += 30)
                EXPECT_FALSE(schedule.covers(weekday, minute)) << weekday << " " << minute;
}

TEST(LoopScheduleTest, ConstructorClampsMinutesButKeepsWeekdays)
{
    using Limits = std::numeric_limits<std::int64_t>;
    const std::int64_t cases[][4] = {{-5, 2000, 0, 1439}, {1440, -1, 1439, 0}, {Limits::min(), Limits::max(), 0, 1439}, {720, 780, 720, 780}};
    for (const auto& c : cases) {
        LoopSchedule schedule = window(c[0], c[1], {0, 3, 9});
        EXPECT_EQ(std::pair(schedule.startMinute, schedule.endMinute), std::pair(c[2], c[3])) << c[0] << " " << c[1];
        EXPECT_EQ(schedule.weekdays, (std::set<std::int64_t>{0, 3, 9}));
    }
}

// The clock follows the locale (see LocalClock's tests); the C locale's is the 24-hour one.
TEST(LoopScheduleTest, TimeRangeDescriptionUsesTheLocalesClockAndEnDash)
{
    ::setenv("LC_ALL", "C", 1);
    const std::pair<LoopSchedule, const char*> cases[] = {
        {window(0, 720, {1}), "00:00 \u2013 12:00"}, {window(750, 1439, {1}), "12:30 \u2013 23:59"},
        {window(540, 1050, {1}), "09:00 \u2013 17:30"}, {window(719, 65, {1}), "11:59 \u2013 01:05"},
    };
    for (const auto& [schedule, expected] : cases)
        EXPECT_EQ(schedule.timeRangeDescription(), expected);
    ::unsetenv("LC_ALL");
}

TEST(LoopScheduleTest, EncodesSortedKeysAndUpperCaseID)
{
    LoopSchedule schedule(*UUID::fromString("6f1c2b3a-0d4e-4f50-8a61-7b8c9d0e1f20"), "Lunch \u2615", 720, 780, {4, 2, 3}, true);
    EXPECT_EQ(encodeJSON(schedule, JSONStyle::compact),
              R"({"endMinute":780,"id":"6F1C2B3A-0D4E-4F50-8A61-7B8C9D0E1F20","isEnabled":true,)"
              R"("name":"Lunch )" "\u2615" R"(","startMinute":720,"weekdays":[2,3,4]})");
    EXPECT_EQ(decodeLoopSchedule(encodeJSON(schedule, JSONStyle::pretty)), schedule);
    schedule.name = "Lunch \xFF";
    EXPECT_THROW(encodeJSON(schedule, JSONStyle::compact), EncodingError);
}

TEST(LoopScheduleTest, DecodingKeepsStoredValuesAsTheyAre)
{
    const LoopSchedule schedule = decodeLoopSchedule(R"({"isEnabled":false,"weekdays":[7,1,7,9],"endMinute":2000,"startMinute":-5,)"
                                                     R"("name":"","id":"6f1c2b3a-0d4e-4f50-8a61-7b8c9d0e1f20","unknown":[1,2]})");
    EXPECT_EQ(schedule.id, kID);
    EXPECT_EQ(schedule.name, "");
    EXPECT_EQ(schedule.startMinute, -5);
    EXPECT_EQ(schedule.endMinute, 2000);
    EXPECT_EQ(schedule.weekdays, (std::set<std::int64_t>{1, 7, 9}));
    EXPECT_FALSE(schedule.isEnabled);
    // Stored minutes outside the day show as the times they act as, not "12:-5 AM".
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(schedule.timeRangeDescription(), "00:00 \u2013 23:59");
    ::unsetenv("LC_ALL");
}

TEST(LoopScheduleTest, DecodingFailsWholeOnAMissingKeyOrWrongType)
{
    using Json = nlohmann::json;
    const Json valid = Json::parse(R"({"id":"6F1C2B3A-0D4E-4F50-8A61-7B8C9D0E1F20","name":"Lunch","startMinute":720,)"
                                   R"("endMinute":780,"weekdays":[2,3],"isEnabled":true})");
    ASSERT_NO_THROW(decodeLoopSchedule(valid.dump()));
    // A key paired with nothing is removed; otherwise it is given the wrong value.
    const std::pair<const char*, std::optional<Json>> cases[] = {
        {"id", std::nullopt}, {"name", std::nullopt}, {"startMinute", std::nullopt}, {"endMinute", std::nullopt},
        {"weekdays", std::nullopt}, {"isEnabled", std::nullopt}, {"id", 5}, {"id", "lunch"}, {"name", 3},
        {"startMinute", "720"}, {"endMinute", 780.5}, {"weekdays", "2,3"}, {"weekdays", Json::array({2, "3"})},
        {"weekdays", Json::array({2, nullptr})}, {"weekdays", Json::array({2.5})}, {"isEnabled", 1},
    };
    for (const auto& [key, value] : cases) {
        Json changed = valid;
        value ? void(changed[key] = *value) : void(changed.erase(key));
        EXPECT_THROW(decodeLoopSchedule(changed.dump()), DecodingError) << key << " " << (value ? value->dump() : "absent");
    }
    for (const char* text : {"", "[]", "\"x\"", "{", "{\"id\":}"})
        EXPECT_THROW(decodeLoopSchedule(text), DecodingError) << text;
}

} // namespace
} // namespace quellon
