#pragma once

#include "playback/PixelBuffer.h"

namespace quellon {

/// The light on one frame: an overall gain and how it rises from left to right (tiltX) and
/// from top to bottom (tiltY). The factor at normalised position (u, v), each from −0.5 at the
/// left/top edge to 0.5 at the right/bottom, is gain + tiltX·u + tiltY·v.
struct LightField {
    double gain = 1;
    double tiltX = 0;
    double tiltY = 0;

    double factorAt(double u, double v) const { return gain + tiltX * u + tiltY * v; }
    bool operator==(const LightField&) const = default;
};

namespace LightDrift {

/// A new frame with blue, green and red scaled by the field's factor at each pixel (rounded to
/// the nearest value, or its neighbour where the product lies within 1/128 of a half; limited
/// to 255) and alpha kept; for a J420 frame only luma is scaled, so colours keep their hue. The
/// frame itself comes back when it is neither BGRA nor J420, when the field is
/// flat (no tilt) and its gain within 0.0005 of 1, when a value is not finite or a corner's
/// factor outside 0.01…1.99, or when no new frame can be made. A flat field gives exactly
/// what AliveMotion::applyBrightness gives.
PixelBufferRef apply(const LightField& field, const PixelBufferRef& buffer);

} // namespace LightDrift
} // namespace quellon
