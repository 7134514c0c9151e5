#pragma once

#include "platform/DateTime.h"

#include <optional>
#include <string>

namespace quellon {

/// The away timer's arithmetic and text, for the host's menus and reminders.
namespace AwayClock {

/// "m:ss" of the whole seconds, clamped to 0:00…99:59.
std::string formatElapsed(double seconds);
/// now − start, never negative; 0 without a start.
double elapsedSeconds(std::optional<Date> start, Date now);
/// True when threshold > 0 and threshold ≤ elapsed.
bool hasReached(double threshold, double elapsed);
/// Whole minutes of the seconds, truncated: "5 min".
std::string thresholdLabel(double seconds);
/// " m:ss" while away, "" otherwise.
std::string menuBarTitle(bool isAway, double elapsed);
bool shouldFireLongAwayReminder(bool isAway, double elapsed, double threshold, bool alreadyFired);

} // namespace AwayClock

} // namespace quellon
