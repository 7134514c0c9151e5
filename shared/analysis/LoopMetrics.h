#pragma once

#include <vector>

#include "analysis/FrameSignature.h"

namespace quellon {

/// Reduces a loop's frame signatures to the numbers its quality report judges: brightness,
/// motion and the jump at the loop boundary.
namespace LoopMetrics {

/// The signature distance the seam finder minimises, so a seam reports the same jump here.
double frameDifference(const FrameSignature& a, const FrameSignature& b);

/// The mean of the values in index order; 0 for an empty list.
double meanLuminance(const std::vector<double>& lumas);

/// The mean distance between consecutive signatures; 0 for fewer than two. A pair that cannot
/// be compared adds 0 but still counts in the divisor.
double averageMotion(const std::vector<FrameSignature>& signatures);

/// The distance between the first and the last signature; 0 for fewer than two.
double boundaryJump(const std::vector<FrameSignature>& signatures);

} // namespace LoopMetrics
} // namespace quellon
