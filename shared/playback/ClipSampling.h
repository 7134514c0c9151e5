#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quellon {

/// Which moments of a clip become loop frames: one per tick of the output rate, from the clip's
/// start, so a loop plays at the clip's own pace. A clip longer than the budget is cut (its first
/// seconds are kept), never thinned: thinning would play it faster.
namespace ClipSampling {

/// Sample times are kept as multiples of 1/600 s, a timescale that holds every common frame
/// rate's frame duration exactly.
inline constexpr std::int64_t kTimescale = 600;
/// The rate assumed when a clip states none.
inline constexpr double kFallbackRate = 30;
/// The rate loop frames are taken at: the camera's rate, one loop frame per served frame.
inline constexpr double kOutputRate = 30;

/// num / den when that is a finite rate above 0, else kFallbackRate.
double nominalRate(std::int64_t numerator, std::int64_t denominator);

/// seconds rounded to the nearest 1/600 s (halves away from zero).
double onTimescale(double seconds);

/// min(maxFrames, max(trunc(seconds × rate), 1)); absent when seconds is negative or not finite,
/// rate is not a positive finite number, seconds × rate leaves the 64-bit range, or maxFrames is
/// negative.
std::optional<std::int64_t> frameCount(double seconds, double rate, std::int64_t maxFrames);

/// For i = 0 … count − 1: (i + ½) / rate, on the timescale: the middle of the i-th tick. A sample
/// in the middle of a frame's time is as far as it can be from its neighbours, so rounded
/// timestamps (milliseconds) never move it onto another frame, and a clip at the output rate
/// gives each of its frames once. Empty for a count below 1 or a rate that is not positive.
std::vector<double> paceTimes(std::int64_t count, double rate = kOutputRate);

} // namespace ClipSampling

} // namespace quellon
