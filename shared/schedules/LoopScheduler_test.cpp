#include "schedules/LoopScheduler.h"

#include "platform/Environment.h"
#include "schedules/Calendar.h"
#include "schedules/ZonedCalendar.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace quellon {
namespace {

using namespace std::chrono_literals;

Date at(const char* isoText)
{
    std::optional<Date> date = InternetDateTime::parse(isoText);
    EXPECT_TRUE(date.has_value()) << isoText;
    return date.value_or(Date{});
}

ZonedCalendar zone(const char* name)
{
    // The zone database comes from the tzdata package; without it nothing here is meaningful.
    const std::optional<ZonedCalendar> calendar = ZonedCalendar::named(name);
    EXPECT_TRUE(calendar) << "time zone " << name << " is not in the zone database";
    return calendar.value_or(ZonedCalendar::utc());
}

LoopSchedule window(const char* name, std::int64_t start, std::int64_t end, std::set<std::int64_t> weekdays, bool enabled = true)
{
    return LoopSchedule(UUID::random(), name, start, end, std::move(weekdays), enabled);
}

TEST(LoopSchedulerTest, WeekdayAndMinuteInTheCalendarsZone)
{
    struct Case { const char* zone; const char* instant; LoopScheduler::WeekdayAndMinute expected; };
    const Case cases[] = {
        {"UTC", "2025-03-28T23:30:00Z", {6, 1410}}, {"Europe/Berlin", "2025-03-28T23:30:00Z", {7, 30}},
        // The spring-forward night: 01:59 CET is followed by 03:00 CEST.
        {"Europe/Berlin", "2025-03-30T00:59:00Z", {1, 119}}, {"Europe/Berlin", "2025-03-30T01:00:00Z", {1, 180}},
        // The fall-back night in New York shows 01:30 twice, an hour apart.
        {"America/New_York", "2025-11-02T05:30:00Z", {1, 90}}, {"America/New_York", "2025-11-02T06:30:00Z", {1, 90}},
        {"Asia/Kolkata", "2025-06-01T18:45:00Z", {2, 15}}, {"Pacific/Kiritimati", "2025-06-01T10:00:00Z", {2, 0}},
        // Before 1970: the day still starts at local midnight.
        {"UTC", "1969-12-31T23:59:00Z", {4, 1439}}, {"UTC", "2025-03-28T23:59:59Z", {6, 1439}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.instant);
        EXPECT_EQ(LoopScheduler::weekdayAndMinute(at(c.instant), zone(c.zone)), c.expected);
    }
}

TEST(LoopSchedulerTest, MissingCalendarPartsCountAsSundayMidnight)
{
    constexpr auto none = std::nullopt;
    const std::pair<CalendarComponents, LoopScheduler::WeekdayAndMinute> cases[] = {
        {{none, none, none}, {1, 0}}, {{3, none, none}, {3, 0}}, {{none, 2, none}, {1, 120}}, {{none, none, 7}, {1, 7}}, {{7, 13, 5}, {7, 785}},
    };
    for (const auto& [components, expected] : cases)
        EXPECT_EQ(LoopScheduler::weekdayAndMinute(Date{}, FixedCalendar(components)), expected);
}

TEST(LoopSchedulerTest, FirstCoveringWindowInListOrderWins)
{
    const LoopSchedule lunch = window("Lunch", 720, 780, {2, 3, 4, 5, 6});
    const LoopSchedule longLunch = window("Long lunch", 690, 810, {2});
    const LoopSchedule offLunch = window("Off", 0, 1439, {2}, false);
    const FixedCalendar mondayAt1230({2, 12, 30}), mondayAt1150({2, 11, 50}), sundayAt1230({1, 12, 30});

    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {lunch, longLunch}, mondayAt1230), lunch);
    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {longLunch, lunch}, mondayAt1230), longLunch);
    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {offLunch, lunch, longLunch}, mondayAt1230), lunch);
    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {lunch, longLunch}, mondayAt1150), longLunch);
    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {lunch, longLunch}, sundayAt1230), std::nullopt);
    EXPECT_EQ(LoopScheduler::activeSchedule(Date{}, {}, mondayAt1230), std::nullopt);

    EXPECT_TRUE(LoopScheduler::shouldBeAway(Date{}, {offLunch, longLunch}, mondayAt1150));
    EXPECT_FALSE(LoopScheduler::shouldBeAway(Date{}, {offLunch, lunch}, mondayAt1150));
    EXPECT_FALSE(LoopScheduler::shouldBeAway(Date{}, {lunch, longLunch}, sundayAt1230));
}

// Windows are wall-clock times: on the night the clocks change, a window across midnight lasts
// as long as the local clock spends inside it.
TEST(LoopSchedulerTest, WindowAcrossMidnightFollowsTheLocalClockThroughDaylightSavingChanges)
{
    const ZonedCalendar berlin = zone("Europe/Berlin");
    const LoopSchedule springNight = window("Spring", 1320, 120, {7}), autumnNight = window("Autumn", 1320, 150, {7});
    struct Case { const LoopSchedule* schedule; const char* instant; bool covered; };
    const Case cases[] = {
        {&springNight, "2025-03-29T20:59:00Z", false}, {&springNight, "2025-03-29T21:00:00Z", true}, // Sat 21:59, 22:00 CET
        {&springNight, "2025-03-30T00:59:00Z", true}, {&springNight, "2025-03-30T01:00:00Z", false}, // 01:59 CET, 03:00 CEST
        {&autumnNight, "2025-10-25T19:59:00Z", false}, {&autumnNight, "2025-10-25T20:00:00Z", true}, // Sat 21:59, 22:00 CEST
        {&autumnNight, "2025-10-26T00:15:00Z", true}, {&autumnNight, "2025-10-26T00:45:00Z", false}, // Sun 02:15, 02:45 CEST
        {&autumnNight, "2025-10-26T01:15:00Z", true}, {&autumnNight, "2025-10-26T01:30:00Z", false}, // 02:15, 02:30 CET: repeated
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.instant);
        EXPECT_EQ(LoopScheduler::shouldBeAway(at(c.instant), {*c.schedule}, berlin), c.covered);
        EXPECT_EQ(LoopScheduler::activeSchedule(at(c.instant), {*c.schedule}, berlin).has_value(), c.covered);
    }

    auto coveredMinutes = [&](const LoopSchedule& schedule, const char* from, const char* to) {
        int minutes = 0;
        for (Date t = at(from); t < at(to); t += 1min)
            minutes += LoopScheduler::shouldBeAway(t, {schedule}, berlin);
        return minutes;
    };
    // 22:00 to 02:00 loses no time when 02:00 jumps to 03:00; 22:00 to 02:30 gains the repeated
    // half hour 02:00 to 02:30 when 03:00 falls back to 02:00.
    EXPECT_EQ(coveredMinutes(springNight, "2025-03-29T12:00:00Z", "2025-03-30T12:00:00Z"), 240);
    EXPECT_EQ(coveredMinutes(autumnNight, "2025-10-25T12:00:00Z", "2025-10-26T12:00:00Z"), 300);
}

TEST(ZonedCalendarTest, ResolvesZoneNamesAndTheUsersZone)
{
    auto withTZ = [](const char* value) {
        MapEnvironment environment;
        environment.set("TZ", value);
        return environment;
    };
    for (const char* unknown : {"Mars/Olympus_Mons", "", "../../etc/passwd"})
        EXPECT_FALSE(ZonedCalendar::named(unknown).has_value()) << unknown;

    EXPECT_EQ(ZonedCalendar::current(withTZ("Asia/Kolkata")).zoneName(), "Asia/Kolkata");
    EXPECT_EQ(ZonedCalendar::current(withTZ(":Europe/Berlin")).zoneName(), "Europe/Berlin");
    // A TZ that names no zone falls back to the system's zone, as if TZ were unset.
    const std::string systemZone = ZonedCalendar::current(MapEnvironment()).zoneName();
    EXPECT_EQ(ZonedCalendar::current(withTZ("Nowhere/Else")).zoneName(), systemZone);
    EXPECT_EQ(ZonedCalendar::current(withTZ("")).zoneName(), systemZone);
}

} // namespace
} // namespace quellon
