#pragma once

#include "schedules/Calendar.h"

#include <optional>
#include <string>
#include <string_view>

namespace date {
class time_zone;
}

namespace quellon {

class Environment;

/// The calendar of one IANA time zone from the system's zone database (/usr/share/zoneinfo),
/// daylight-saving changes included.
class ZonedCalendar final : public Calendar {
public:
    /// The zone of that name ("Europe/Berlin"), or nothing when the name is unknown or the
    /// zone database cannot be read.
    static std::optional<ZonedCalendar> named(std::string_view zoneName);
    /// Coordinated Universal Time; works even without a zone database.
    static ZonedCalendar utc();
    /// The user's zone: $TZ when it names a known zone (an optional leading ':' is allowed),
    /// else the system's (/etc/localtime), else UTC. Looked up afresh on every call, so a
    /// changed zone takes effect at the next decision.
    static ZonedCalendar current(const Environment& environment);
    static ZonedCalendar current();

    CalendarComponents components(Date date) const override;

    /// The zone's name, "UTC" for utc().
    std::string zoneName() const;

private:
    explicit ZonedCalendar(const date::time_zone* zone) : zone_(zone) {}

    // Owned by the zone database, which lives as long as the process; null means plain UTC.
    const date::time_zone* zone_;
};

} // namespace quellon
