#pragma once

#include <optional>
#include <vector>

#include "analysis/FaceObservation.h"
#include "playback/PixelBuffer.h"

namespace quellon {

/// Removes small whole-frame translations from a recorded clip: measures each frame's shift
/// against the first, moves it back, crops the exposed borders and scales the common inner
/// rectangle back to the full size.
///
/// The shift is measured where the scene holds still, not on the person moving in front of
/// it: outside the person when their face is known (the face's box widened threefold and
/// extended to the bottom of the frame), otherwise on a ring along the top and the sides.
/// A shift is kept only if it makes that still part match the reference better than no shift.
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
/// confidence: the frames differ in size or are neither BGRA nor J420 (measured on its luma),
/// one is featureless, or the two do not correlate as one moved picture.
/// `face` is the person's face in the reference, when known.
std::optional<Offset> detectOffset(const PixelBuffer& frame, const PixelBuffer& reference,
                                   const std::optional<NormalizedRect>& face = std::nullopt);

/// The offset itself, or zero when its length exceeds maxMagnitude (a failed measurement).
Offset clampedOffset(Offset offset, double maxMagnitude);

/// The largest |dx| and the largest |dy| of the list, taken separately.
Offset cropMargin(const std::vector<Offset>& offsets);

/// Shifts shorter than this many pixels of the full frame are not corrected: moving a frame by
/// less than half a pixel would only soften it.
inline constexpr double kSmallestCorrectedShift = 0.5;

/// The frames stabilised, or the input unchanged when any measurement fails, nothing moved by
/// kSmallestCorrectedShift or more, more than a tenth of the frames moved beyond
/// maxShiftFraction (the camera moved on purpose), or the crop would exceed maxCropFraction.
/// A frame moved beyond maxShiftFraction (a knock, a bad measurement) takes the offset between
/// its nearest neighbours within it, so it moves with them instead of jumping. Each copy keeps
/// its frame's format; a J420 frame's chroma planes move by half its luma's pixels. Input buffers
/// are never modified; each is let go once its stabilised copy is made, so frames moved in
/// (not copied) are freed one by one while the copies are made. `face` is the person's face
/// in the first frame, when known.
std::vector<PixelBufferRef> stabilize(std::vector<PixelBufferRef> frames,
                                      double maxShiftFraction, double maxCropFraction,
                                      const std::optional<NormalizedRect>& face = std::nullopt);

} // namespace LoopStabilizer
} // namespace quellon
