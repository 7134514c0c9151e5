#pragma once

namespace quellon {

/// Turns a requested loop window (handles possibly crossed or out of range) into a valid one
/// inside the recording. Times are seconds from the start of the recording.
namespace TrimMath {

inline constexpr double minDuration = 3.0;  // shortest window, unless the recording is shorter
inline constexpr double maxDuration = 15.0; // longest window offered

struct Window {
    double start = 0;
    double end = 0;
    bool operator==(const Window&) const = default;
};

/// (0, 0) for a recording of no length; the whole recording when it is at most minDuration
/// long; otherwise the handles clamped into it, ordered, capped at maxDuration and then
/// widened to minDuration (moving the start back when the end hits the recording's end).
Window resolve(double start, double end, double duration, double maxDuration);

/// The length of the window resolve() gives for the same arguments.
double resolvedDuration(double start, double end, double duration, double maxDuration);

} // namespace TrimMath
} // namespace quellon
