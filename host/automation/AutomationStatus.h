#pragma once
// What `quellon status` shows of the automatic behaviour: the armed triggers and when the
// schedules next change the picture.

#include "platform/DateTime.h"
#include "schedules/LoopSchedule.h"

#include <optional>
#include <string>
#include <vector>

namespace quellon {
class Calendar;
} // namespace quellon

namespace quellon::host {

/// A moment at which the window covering the present changes.
struct ScheduleChange {
    Date at;
    std::string scheduleName;
    /// The window begins then (else it ends).
    bool begins = false;
    bool operator==(const ScheduleChange&) const = default;
};

struct AutomationStatus {
    /// "schedules (2)", "meeting-app profiles (1)", "screen lock", "auto return".
    std::vector<std::string> armedTriggers;
    std::optional<ScheduleChange> nextScheduleChange;
    bool operator==(const AutomationStatus&) const = default;
};

/// The first minute boundary after now, within eight days, at which a different window (or
/// none) covers the moment. Nothing when no window ever changes.
std::optional<ScheduleChange> nextScheduleChange(Date now, const std::vector<LoopSchedule>& schedules,
                                                 const Calendar& calendar);

/// Two lines for people: "Automatic: schedules (2), screen lock" (or "Automatic: off") and,
/// when one is due, "Next schedule change: Lunch begins Mon 12:00" in the calendar's time.
std::string describe(const AutomationStatus& status, const Calendar& calendar);

} // namespace quellon::host
