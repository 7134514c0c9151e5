#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quellon {

/// Which moments of a clip become loop frames: the rate, the frame count and the sample times,
/// spread evenly over the whole clip so that a long clip is thinned rather than cut.
namespace ClipSampling {

/// Sample times are kept as multiples of 1/600 s, a timescale that holds every common frame
/// rate's frame duration exactly.
inline constexpr std::int64_t kTimescale = 600;
/// The rate assumed when a clip states none.
inline constexpr double kFallbackRate = 30;

/// num / den when that is a finite rate above 0, else kFallbackRate.
double nominalRate(std::int64_t numerator, std::int64_t denominator);

/// seconds rounded to the nearest 1/600 s (halves away from zero).
double onTimescale(double seconds);

/// min(maxFrames, max(trunc(seconds × fps), 1)); absent when seconds is negative or not finite,
/// fps is not a positive finite number, seconds × fps leaves the 64-bit range, or maxFrames is
/// negative.
std::optional<std::int64_t> frameCount(double seconds, double fps, std::int64_t maxFrames);

/// For i = 0 … count − 1: the middle of the i-th of count equal slots, seconds × (i + ½) / count,
/// on the timescale. A sample in the middle of a frame's time is as far as it can be from its
/// neighbours, so rounded timestamps (milliseconds) never move it onto another frame, and as
/// many samples as frames take each frame once. Empty for a count below 1.
std::vector<double> sampleTimes(double seconds, std::int64_t count);

} // namespace ClipSampling

} // namespace quellon
