#include "schedules/ZonedCalendar.h"

#include "platform/Environment.h"

#include <date/date.h>
#include <date/tz.h>
#include <exception>

namespace quellon {

namespace {

// Reading the zone database throws when it is missing or damaged; the caller then falls back.
const date::time_zone* locate(std::string_view zoneName)
{
    if (zoneName.empty())
        return nullptr;
    try {
        return date::locate_zone(zoneName);
    } catch (const std::exception&) {
        return nullptr;
    }
}

CalendarComponents componentsOf(date::local_time<Date::duration> local)
{
    const auto day = date::floor<date::days>(local);
    const date::hh_mm_ss clock(local - day);
    CalendarComponents components;
    components.weekday = static_cast<int>(date::weekday(day).c_encoding()) + 1;
    components.hour = static_cast<int>(clock.hours().count());
    components.minute = static_cast<int>(clock.minutes().count());
    return components;
}

} // namespace

std::optional<ZonedCalendar> ZonedCalendar::named(std::string_view zoneName)
{
    if (const date::time_zone* zone = locate(zoneName))
        return ZonedCalendar(zone);
    return std::nullopt;
}

ZonedCalendar ZonedCalendar::utc()
{
    return ZonedCalendar(nullptr);
}

ZonedCalendar ZonedCalendar::current(const Environment& environment)
{
    if (std::optional<std::string> tz = environment.variable("TZ")) {
        std::string_view name = *tz;
        if (!name.empty() && name.front() == ':')
            name.remove_prefix(1);
        if (const date::time_zone* zone = locate(name))
            return ZonedCalendar(zone);
    }
    try {
        return ZonedCalendar(date::current_zone());
    } catch (const std::exception&) {
        return utc();
    }
}

ZonedCalendar ZonedCalendar::current()
{
    return current(Environment::process());
}

CalendarComponents ZonedCalendar::components(Date date) const
{
    if (!zone_)
        return componentsOf(date::local_time<Date::duration>(date.time_since_epoch()));
    return componentsOf(date::zoned_time<Date::duration>(zone_, date).get_local_time());
}

std::string ZonedCalendar::zoneName() const
{
    return zone_ ? std::string(zone_->name()) : std::string("UTC");
}

} // namespace quellon
