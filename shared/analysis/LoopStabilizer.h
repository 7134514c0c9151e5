#pragma once

#include <optional>
#include <vector>

#include "playback/PixelBuffer.h"

namespace quellon {

/// Removes small whole-frame translations from a recorded clip: measures each frame's shift
/// against the first, moves it back, crops the exposed borders and scales the common inner
/// rectangle back to the full size.
namespace LoopStabilizer {

/// A shift as fractions of the reference frame's width and height, y axis pointing up: the
/// translation that aligns the measured frame to the reference.
struct Offset {
    double dx = 0;
    double dy = 0;
    static constexpr Offset zero() { return {}; }
    bool operator==(const Offset&) const = default;
};

/// The offset that aligns `frame` to `reference`, or absent when it cannot be measured with
/// confidence: the frames differ in size or are not BGRA, one is featureless, or the two do
/// not correlate as one moved picture.
std::optional<Offset> detectOffset(const PixelBuffer& frame, const PixelBuffer& reference);

/// The offset itself, or zero when its length exceeds maxMagnitude (a failed measurement).
Offset clampedOffset(Offset offset, double maxMagnitude);

/// The largest |dx| and the largest |dy| of the list, taken separately.
Offset cropMargin(const std::vector<Offset>& offsets);

/// The frames stabilised, or the input unchanged when any measurement fails, nothing moved or
/// the crop would exceed maxCropFraction. Input buffers are never modified.
std::vector<PixelBufferRef> stabilize(const std::vector<PixelBufferRef>& frames,
                                      double maxShiftFraction, double maxCropFraction);

} // namespace LoopStabilizer
} // namespace quellon
