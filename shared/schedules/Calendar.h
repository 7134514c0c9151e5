#pragma once

#include "platform/DateTime.h"

#include <optional>

namespace quellon {

/// The parts of a date that schedules read, as one calendar's time zone sees them. A part the
/// calendar cannot give is absent.
struct CalendarComponents {
    /// 1 = Sunday, 2 = Monday, … 7 = Saturday.
    std::optional<int> weekday;
    /// 0 to 23, local wall-clock time.
    std::optional<int> hour;
    /// 0 to 59.
    std::optional<int> minute;

    bool operator==(const CalendarComponents&) const = default;
};

/// Turns an instant into local weekday and clock time. Schedules are written in wall-clock
/// time, so this is where time zones and daylight saving enter; tests pin a zone or stub it.
class Calendar {
public:
    virtual ~Calendar() = default;
    virtual CalendarComponents components(Date date) const = 0;
};

/// Gives the same components for every date; for tests.
class FixedCalendar final : public Calendar {
public:
    explicit FixedCalendar(CalendarComponents components) : components_(components) {}
    CalendarComponents components(Date) const override { return components_; }

private:
    CalendarComponents components_;
};

} // namespace quellon
