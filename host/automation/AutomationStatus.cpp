#include "host/automation/AutomationStatus.h"

#include "platform/LocalClock.h"
#include "platform/TerminalText.h"
#include "schedules/Calendar.h"
#include "schedules/LoopScheduler.h"

#include <chrono>

namespace quellon::host {

std::optional<ScheduleChange> nextScheduleChange(Date now, const std::vector<LoopSchedule>& schedules,
                                                 const Calendar& calendar)
{
    using namespace std::chrono;
    if (schedules.empty())
        return std::nullopt;
    const auto covering = [&](Date date) { return LoopScheduler::activeSchedule(date, schedules, calendar); };
    const auto current = covering(now);
    // Windows repeat weekly; eight days also covers a daylight-saving shift.
    Date minute = floor<minutes>(now);
    for (int step = 1; step <= 8 * 24 * 60; ++step) {
        minute += minutes(1);
        const auto next = covering(minute);
        const bool same = (current && next) ? current->id == next->id : !current && !next;
        if (!same) {
            if (next)
                return ScheduleChange{minute, next->name, true};
            return ScheduleChange{minute, current->name, false};
        }
    }
    return std::nullopt;
}

std::string describe(const AutomationStatus& status, const Calendar& calendar)
{
    std::string text = "Automatic: ";
    if (status.armedTriggers.empty())
        text += "off";
    for (std::size_t i = 0; i < status.armedTriggers.size(); ++i)
        text += (i > 0 ? ", " : "") + status.armedTriggers[i];
    text += "\n";
    if (const auto& change = status.nextScheduleChange) {
        // The same clock as every other time the user is shown: the locale's.
        const auto when = LoopScheduler::weekdayAndMinute(change->at, calendar);
        text += "Next schedule change: " + visibleText(change->scheduleName) + (change->begins ? " begins " : " ends ")
            + LocalClock::weekdayAndTime(when.weekday, when.minute) + "\n";
    }
    return text;
}

} // namespace quellon::host
