#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quellon {

/// The in-between frames of a crossfade: between two joined clips and from the end of a forward
/// loop back to its start.
namespace FrameBlender {

/// k / (steps + 1) for k = 1 … steps: never 0 or 1, so no inserted frame copies an end frame.
/// Empty for steps below 1.
std::vector<double> crossfadeWeights(std::int64_t steps);

/// A new frame (1 − t) × a + t × b, every byte (alpha too, and in J420 every plane's) rounded
/// as blendBytes does; t is clamped to 0…1 (not a number counts as 0). Padding bytes of a row
/// keep a's values (rows of different strides blend alike). When the frames differ in size or
/// format, are neither BGRA nor J420, or no output can be made, the answer is `a` itself: a
/// crossfade then at worst repeats the outgoing frame.
PixelBufferRef blend(const PixelBufferRef& a, const PixelBufferRef& b, double t);

/// The same blend on plain bytes, and its definition: a + t × (b − a) rounded to nearest with
/// halves up, where a value within 1e-9 below a half counts as the half. A weight such as 1/6 is
/// not exact in binary, and without that margin its halves would round up for some pairs and
/// down for others. Lists of different lengths give `a` unchanged. t below 0 (or not a number)
/// gives a, t of 1 or more gives b.
std::vector<std::uint8_t> blendBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, double t);

} // namespace FrameBlender

} // namespace quellon
