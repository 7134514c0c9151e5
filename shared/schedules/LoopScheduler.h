#pragma once

#include "platform/DateTime.h"
#include "schedules/LoopSchedule.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quellon {

class Calendar;

/// Evaluates a list of away windows against a moment. Pure: nothing is kept between calls.
namespace LoopScheduler {

struct WeekdayAndMinute {
    /// 1 = Sunday … 7 = Saturday.
    std::int64_t weekday = 1;
    /// hour × 60 + minute, local time.
    std::int64_t minute = 0;

    bool operator==(const WeekdayAndMinute&) const = default;
};

/// The date's weekday and minute of the day in the calendar's time zone. A part the calendar
/// does not give counts as Sunday, hour 0 or minute 0.
WeekdayAndMinute weekdayAndMinute(Date date, const Calendar& calendar);

/// Whether any of the windows covers the date.
bool shouldBeAway(Date date, const std::vector<LoopSchedule>& schedules, const Calendar& calendar);

/// The first window in list order that covers the date, so the earlier of two overlapping
/// windows wins; nothing outside every window.
std::optional<LoopSchedule> activeSchedule(Date date, const std::vector<LoopSchedule>& schedules,
                                           const Calendar& calendar);

/// The same three, in the user's current time zone (ZonedCalendar::current()).
WeekdayAndMinute weekdayAndMinute(Date date);
bool shouldBeAway(Date date, const std::vector<LoopSchedule>& schedules);
std::optional<LoopSchedule> activeSchedule(Date date, const std::vector<LoopSchedule>& schedules);

} // namespace LoopScheduler

} // namespace quellon
