#pragma once

#include <vector>

namespace quellon {

/// Luma values (0 to 1) sampled one pixel per cell of a square grid laid over a frame, row by
/// row. Two frames look alike when their signatures are close.
using FrameSignature = std::vector<double>;

/// Mean absolute difference of two signatures, summed in index order. Signatures that cannot
/// be compared (the first is empty, or the lengths differ) are 0 apart.
double signatureDistance(const FrameSignature& a, const FrameSignature& b);

} // namespace quellon
