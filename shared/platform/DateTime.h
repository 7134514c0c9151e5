#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// A point in wall-clock time with sub-second precision.
using Date = std::chrono::system_clock::time_point;

/// ISO 8601 internet date-time in the one form Quellon writes and accepts:
/// "YYYY-MM-DDTHH:MM:SSZ", always UTC, no fractional seconds.
namespace InternetDateTime {

/// The date's text; the sub-second part is dropped (rounded down). Gives nothing for dates
/// outside the years 0000 to 9999, which the form cannot hold.
std::optional<std::string> format(Date date);

/// Strict parse: exactly the form above with a valid calendar date and time, nothing else
/// (no offset, no fraction, no lower-case letters, no surrounding white space).
std::optional<Date> parse(std::string_view text);

} // namespace InternetDateTime

/// Seconds since 1970-01-01T00:00:00Z as a double.
double secondsSince1970(Date date);

/// The date that many seconds after 1970; nothing when the value is not finite or lies beyond
/// what a Date can hold.
std::optional<Date> dateFromSecondsSince1970(double seconds);

} // namespace quellon
