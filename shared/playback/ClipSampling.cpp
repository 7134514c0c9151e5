#include "playback/ClipSampling.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quellon::ClipSampling {

double nominalRate(std::int64_t numerator, std::int64_t denominator)
{
    if (numerator <= 0 || denominator <= 0)
        return kFallbackRate;
    const double rate = static_cast<double>(numerator) / static_cast<double>(denominator);
    return std::isfinite(rate) && rate > 0 ? rate : kFallbackRate;
}

double onTimescale(double seconds)
{
    return std::round(seconds * kTimescale) / kTimescale;
}

std::optional<std::int64_t> frameCount(double seconds, double rate, std::int64_t maxFrames)
{
    if (maxFrames < 0 || !std::isfinite(seconds) || seconds < 0 || !std::isfinite(rate) || rate <= 0)
        return std::nullopt;
    const double total = std::trunc(seconds * rate);
    // 2^63 is the first double beyond the range; anything at or above it cannot be a count.
    if (!std::isfinite(total) || total >= 9223372036854775808.0)
        return std::nullopt;
    return std::min(maxFrames, std::max(static_cast<std::int64_t>(total), std::int64_t{1}));
}

std::vector<double> paceTimes(std::int64_t count, double rate)
{
    std::vector<double> times;
    if (count < 1 || !std::isfinite(rate) || rate <= 0)
        return times;
    times.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
        times.push_back(onTimescale((static_cast<double>(i) + 0.5) / rate));
    return times;
}

} // namespace quellon::ClipSampling
