#pragma once

#include <optional>

#include "analysis/LoopEntry.h"

namespace quellon {

/// Decides whether a face the camera sees is the user back in their usual place.
namespace PresenceMatch {

inline constexpr double defaultTolerance = 0.5;

/// Distance between the box centres plus half the difference of the box areas.
double distance(const LoopEntry::FaceGeometry& a, const LoopEntry::FaceGeometry& b);

bool matches(const LoopEntry::FaceGeometry& candidate, const LoopEntry::FaceGeometry& reference,
             double tolerance);

/// No candidate: false. A candidate and no reference: true. Otherwise `matches`.
bool isPresenceConfirmed(const std::optional<LoopEntry::FaceGeometry>& candidate,
                         const std::optional<LoopEntry::FaceGeometry>& reference,
                         double tolerance);

} // namespace PresenceMatch
} // namespace quellon
