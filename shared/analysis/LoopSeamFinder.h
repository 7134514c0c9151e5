#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "analysis/FrameSignature.h"

namespace quellon {

/// Chooses the window of a recording whose first and last frames look most alike, so that the
/// jump from the end back to the start is as small as possible.
namespace LoopSeamFinder {

struct Seam {
    double start = 0;
    double end = 0;
    double boundaryJump = 0;
    bool operator==(const Seam&) const = default;
};

/// Answers whether the eyes are closed in frame `index`: true, false, or no answer.
using EyesClosedAt = std::function<std::optional<bool>(std::int64_t index)>;

/// The window of duration minDuration ... maxDuration (inclusive) with the smallest jump.
std::optional<Seam> bestSeam(const std::vector<FrameSignature>& signatures,
                             const std::vector<double>& frameTimes,
                             double minDuration, double maxDuration);

/// As above, but of the maxCandidates best windows the first whose boundary frames both have
/// open eyes wins (no answer counts as open); each frame is asked at most once, a window's end
/// only after its start was open. With none open, or maxCandidates 0 or below, the smallest
/// jump wins.
std::optional<Seam> bestSeam(const std::vector<FrameSignature>& signatures,
                             const std::vector<double>& frameTimes,
                             double minDuration, double maxDuration,
                             std::int64_t maxCandidates, const EyesClosedAt& eyesClosedAt);

} // namespace LoopSeamFinder
} // namespace quellon
