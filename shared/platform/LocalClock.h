#pragma once
// Times of day and weekdays as the user's locale writes them (LC_TIME): one formatter for
// every place that shows a schedule's time, so lists and status agree.

#include <cstdint>
#include <string>

namespace quellon::LocalClock {

/// Whether the locale in the environment (LC_ALL, LC_TIME, LANG) writes times on a 12-hour
/// clock. A locale that is not installed counts as the C locale: 24-hour.
bool usesTwelveHourClock();

/// A minute of the day (clamped into 0...1439) as "23:05", or "11:05 PM" where the locale
/// uses a 12-hour clock, with the locale's own AM/PM words.
std::string timeOfDay(std::int64_t minuteOfDay);

/// "Mon 23:05": the locale's short weekday name (1 = Sunday ... 7 = Saturday; "?" for any
/// other value) and timeOfDay.
std::string weekdayAndTime(std::int64_t weekday, std::int64_t minuteOfDay);

} // namespace quellon::LocalClock
