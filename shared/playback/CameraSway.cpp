#include "playback/CameraSway.h"

#include "playback/PlaneResampling.h"
#include "playback/SplitMix64.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quellon {

namespace {

constexpr double kSwayTwoPi = 2 * std::numbers::pi;

// Per component (across, down, zoom): three sines with periods in irrational ratios to the base
// period and to each other, the slower ones weighing more.
constexpr std::array<double, 9> kSwayPeriodRatios = {1.0,          0.6180339887, 0.3779644730,  // 1, 1/φ, 1/√7
                                                     0.8660254038, 0.5411961001, 0.3183098862,  // √3/2, …, 1/π
                                                     0.9390625058, 0.4472135955, 0.2718281828}; // …, 1/√5, e/10
constexpr std::array<double, 3> kSwayWeights = {1.0, 0.6, 0.35};
constexpr double kSwayWeightSum = 1.95;
// The shifts' sums bent through tanh(k x) / tanh(k): left as they are, they would keep near
// the middle (a spread of 0.44 of the reach), and every clip frame shown again would sit
// near where it sat before; bent, they spend more time out towards the reach that the crop
// already pays for (0.6 of it), moving faster where they cross the middle.
constexpr double kSwaySpread = 2.0;

double swayFiniteOr(double value, double fallback)
{
    return std::isfinite(value) ? value : fallback;
}

/// One plane resampled at the pose: a zoom about the centre and a shift, in the plane's own
/// samples. Positions are held at the plane's edge (the covering zoom keeps a pose's reach from
/// ever getting there).
void swayPlane(const std::uint8_t* source, std::uint8_t* target, const PixelBuffer::Plane& plane, double centreX,
               double centreY, double shiftX, double shiftY, double zoom)
{
    const int width = static_cast<int>(plane.rowBytes);
    // Output sample i reads CameraSway::sourceCoordinate(i, …): affine in i, with slope 1 / zoom.
    const PlaneResampling::Axis across{1 / zoom, CameraSway::sourceCoordinate(0, centreX, shiftX, zoom)};
    const PlaneResampling::Axis down{1 / zoom, CameraSway::sourceCoordinate(0, centreY, shiftY, zoom)};
    PlaneResampling::resamplePlane(source + plane.offset, plane.bytesPerRow, width, plane.rows, target + plane.offset,
                                   plane.bytesPerRow, width, plane.rows, across, down);
}

} // namespace

CameraSway::CameraSway(double reach, double breath, double periodFrames, std::uint64_t seed)
    : reach_(std::clamp(swayFiniteOr(reach, 0), 0.0, maxReach)),
      breath_(std::clamp(swayFiniteOr(breath, 0), 0.0, maxBreath)),
      periodFrames_(std::max(swayFiniteOr(periodFrames, 30), 30.0))
{
    SplitMix64 rng(seed);
    detune_ = 0.9 + 0.2 * rng.nextUnit();
    for (double& phase : phases_)
        phase = kSwayTwoPi * rng.nextUnit();
}

CameraSway CameraSway::gentle(std::uint64_t seed)
{
    return CameraSway(20.0 / 1280, 0.01, 1200, seed);
}

CameraSway CameraSway::disabled()
{
    return CameraSway(0, 0, 30, 0);
}

double CameraSway::coverZoom(int width, int height) const
{
    if (!isActive() || width <= 0 || height <= 0)
        return 1;
    // A shift of `reach` needs the picture magnified until the half-size shrunk by the zoom
    // leaves that many pixels, and one more for the filter's second tap, at each edge.
    auto needed = [&](int size) {
        const double half = size / 2.0;
        const double margin = reach_ * size + 1;
        return margin < half ? half / (half - margin) : 1.5;
    };
    return std::min(std::max(needed(width), needed(height)), 1.5 - 2 * maxBreath);
}

SwayPose CameraSway::poseAt(std::int64_t tick, int width, int height) const
{
    if (!isActive())
        return {};
    // From the tick itself rather than an accumulated phase: no wrap, no drift, no jump.
    const double t = static_cast<double>(tick) / (periodFrames_ * detune_);
    auto component = [&](std::size_t first) {
        double sum = 0;
        for (std::size_t k = 0; k < 3; ++k)
            sum += kSwayWeights[k] * std::sin(kSwayTwoPi * t / kSwayPeriodRatios[first + k] + phases_[first + k]);
        return sum / kSwayWeightSum;
    };
    auto spread = [](double sum) { return std::tanh(kSwaySpread * sum) / std::tanh(kSwaySpread); };
    return {reach_ * spread(component(0)), reach_ * spread(component(3)), coverZoom(width, height) + breath_ * (1 + component(6))};
}

double CameraSway::sourceCoordinate(int index, double centre, double shift, double zoom)
{
    return centre + (index + 0.5 - centre) / zoom - shift - 0.5;
}

PixelBufferRef CameraSway::apply(const SwayPose& pose, const PixelBufferRef& buffer)
{
    if (!buffer || !buffer->isJ420() || buffer->width() <= 0 || buffer->height() <= 0)
        return buffer;
    if (!std::isfinite(pose.shiftX) || !std::isfinite(pose.shiftY) || !(pose.zoom >= 1 && pose.zoom <= 1.5))
        return buffer;
    if (pose.shiftX == 0 && pose.shiftY == 0 && pose.zoom == 1)
        return buffer;
    PixelBufferRef output = PixelBuffer::create(buffer->width(), buffer->height(), kPixelFormatJ420);
    if (!output || output->byteCount() != buffer->byteCount() || output->plane(2) != buffer->plane(2))
        return buffer;
    auto input = buffer->lockForReading();
    auto target = output->lockForWriting();
    if (!input.baseAddress() || !target.baseAddress())
        return buffer;
    const double width = buffer->width(), height = buffer->height();
    for (int index = 0; index < 3; ++index) {
        // Chroma samples sit between luma pairs, so a chroma plane's coordinates are the luma's halved.
        const double scale = index == 0 ? 1.0 : 0.5;
        swayPlane(input.baseAddress(), target.baseAddress(), buffer->plane(index), width / 2 * scale, height / 2 * scale,
                  pose.shiftX * width * scale, pose.shiftY * height * scale, pose.zoom);
    }
    return output;
}

} // namespace quellon
