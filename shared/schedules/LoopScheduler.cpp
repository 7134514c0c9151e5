#include "schedules/LoopScheduler.h"

#include "schedules/Calendar.h"
#include "schedules/ZonedCalendar.h"

#include <algorithm>

namespace quellon::LoopScheduler {

WeekdayAndMinute weekdayAndMinute(Date date, const Calendar& calendar)
{
    const CalendarComponents components = calendar.components(date);
    return WeekdayAndMinute{
        .weekday = components.weekday.value_or(1),
        .minute = std::int64_t{components.hour.value_or(0)} * 60 + components.minute.value_or(0),
    };
}

bool shouldBeAway(Date date, const std::vector<LoopSchedule>& schedules, const Calendar& calendar)
{
    const WeekdayAndMinute now = weekdayAndMinute(date, calendar);
    return std::ranges::any_of(schedules, [&](const LoopSchedule& schedule) {
        return schedule.covers(now.weekday, now.minute);
    });
}

std::optional<LoopSchedule> activeSchedule(Date date, const std::vector<LoopSchedule>& schedules,
                                           const Calendar& calendar)
{
    const WeekdayAndMinute now = weekdayAndMinute(date, calendar);
    for (const LoopSchedule& schedule : schedules) {
        if (schedule.covers(now.weekday, now.minute))
            return schedule;
    }
    return std::nullopt;
}

WeekdayAndMinute weekdayAndMinute(Date date)
{
    return weekdayAndMinute(date, ZonedCalendar::current());
}

bool shouldBeAway(Date date, const std::vector<LoopSchedule>& schedules)
{
    return shouldBeAway(date, schedules, ZonedCalendar::current());
}

std::optional<LoopSchedule> activeSchedule(Date date, const std::vector<LoopSchedule>& schedules)
{
    return activeSchedule(date, schedules, ZonedCalendar::current());
}

} // namespace quellon::LoopScheduler
