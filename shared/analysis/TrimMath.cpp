#include "analysis/TrimMath.h"

#include <algorithm>
#include <utility>

namespace quellon::TrimMath {

namespace {

// Negative and NaN handles count as 0.
double clampHandle(double value, double duration)
{
    if (!(value > 0))
        return 0;
    return value > duration ? duration : value;
}

} // namespace

Window resolve(double start, double end, double duration, double maxDuration)
{
    if (!(duration > 0))
        return {0, 0};
    if (!(duration > minDuration))
        return {0, duration};
    double s = clampHandle(start, duration);
    double e = clampHandle(end, duration);
    if (e < s)
        std::swap(s, e);
    if (e - s > maxDuration)
        e = s + maxDuration;
    if (e - s < minDuration) {
        e = std::min(s + minDuration, duration);
        if (e - s < minDuration)
            s = std::max(e - minDuration, 0.0);
    }
    return {s, e};
}

double resolvedDuration(double start, double end, double duration, double maxDuration)
{
    const Window window = resolve(start, end, duration, maxDuration);
    return window.end - window.start;
}

} // namespace quellon::TrimMath
