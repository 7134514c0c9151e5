#include "analysis/PresenceMatch.h"

#include <cmath>

namespace quellon::PresenceMatch {

namespace {
constexpr double kAreaWeight = 0.5;
}

double distance(const LoopEntry::FaceGeometry& a, const LoopEntry::FaceGeometry& b)
{
    const double centre = std::hypot(a.box.midX() - b.box.midX(), a.box.midY() - b.box.midY());
    return centre + kAreaWeight * std::fabs(a.box.area() - b.box.area());
}

bool matches(const LoopEntry::FaceGeometry& candidate, const LoopEntry::FaceGeometry& reference, double tolerance)
{
    return distance(candidate, reference) <= tolerance;
}

bool isPresenceConfirmed(const std::optional<LoopEntry::FaceGeometry>& candidate,
                         const std::optional<LoopEntry::FaceGeometry>& reference, double tolerance)
{
    if (!candidate)
        return false;
    if (!reference)
        return true;
    return matches(*candidate, *reference, tolerance);
}

} // namespace quellon::PresenceMatch
