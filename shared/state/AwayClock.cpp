#include "state/AwayClock.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace quellon::AwayClock {

std::string formatElapsed(double seconds)
{
    // Clamp in floating point first: NaN and out-of-range values must not reach a conversion.
    const double floored = std::floor(seconds);
    const int n = std::isnan(floored) ? 0 : static_cast<int>(std::clamp(floored, 0.0, 5999.0));
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", n / 60, n % 60);
    return text;
}

double elapsedSeconds(std::optional<Date> start, Date now)
{
    if (!start)
        return 0;
    const double elapsed = std::chrono::duration<double>(now - *start).count();
    return elapsed < 0 ? 0 : elapsed;
}

bool hasReached(double threshold, double elapsed)
{
    return threshold > 0 && threshold <= elapsed;
}

std::string thresholdLabel(double seconds)
{
    const double truncated = std::trunc(seconds);
    std::int64_t n = 0;
    if (!std::isnan(truncated))
        n = static_cast<std::int64_t>(std::clamp(truncated, -9.2233720368547748e18, 9.2233720368547748e18));
    return std::to_string(n / 60) + " min";
}

std::string menuBarTitle(bool isAway, double elapsed)
{
    return isAway ? " " + formatElapsed(elapsed) : std::string();
}

bool shouldFireLongAwayReminder(bool isAway, double elapsed, double threshold, bool alreadyFired)
{
    return isAway && !alreadyFired && hasReached(threshold, elapsed);
}

} // namespace quellon::AwayClock
