#include "playback/CameraSway.h"

#include "playback/SplitMix64.h"
#include "playback/VectorKernels.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

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

constexpr int kWeightOne = 256; // bilinear weights in units of 1/256 of a sample

double swayFiniteOr(double value, double fallback)
{
    return std::isfinite(value) ? value : fallback;
}

/// One output row from two source rows: blended down with weight `down` (of kWeightOne) into
/// `mixed`, then across at the columns' taps.
QUELLON_KERNEL_BODY void swayMixRowsKernel(const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom,
                                           std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t down)
{
    const auto up = static_cast<std::uint16_t>(kWeightOne - down);
    for (std::size_t i = 0; i < count; ++i)
        mixed[i] = static_cast<std::uint16_t>(top[i] * up + bottom[i] * down);
}
QUELLON_VECTOR_KERNEL(swayMixRows,
                      (const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom,
                       std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t down),
                      (top, bottom, mixed, count, down))

/// Across a row from taps that read the two samples at `source` and one on, blended with
/// `weight` (of kWeightOne) of the second; rounded back to bytes.
QUELLON_KERNEL_BODY void swayAcrossKernel(const std::uint16_t* __restrict source, const std::uint16_t* __restrict weight,
                                          std::uint8_t* __restrict out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t right = weight[i];
        const std::uint32_t value = source[i] * (kWeightOne - right) + source[i + 1] * right;
        out[i] = static_cast<std::uint8_t>((value + kWeightOne * kWeightOne / 2) / (kWeightOne * kWeightOne));
    }
}
QUELLON_VECTOR_KERNEL(swayAcross,
                      (const std::uint16_t* __restrict source, const std::uint16_t* __restrict weight,
                       std::uint8_t* __restrict out, std::size_t count),
                      (source, weight, out, count))

/// The taps of one axis: for each output sample, the source sample at or before where it reads
/// (the next one is the second tap) and the weight of the second. Positions outside the plane
/// are held at its edge (the covering zoom keeps a pose's reach from ever getting there).
/// Output samples whose first tap lies the same distance from them form a run, which the
/// vector kernel reads as a straight stretch: a zoom near 1 makes runs of dozens of samples.
struct SwayTaps {
    struct Run {
        std::size_t start = 0, count = 0;
        std::ptrdiff_t offset = 0; // first tap minus output index
    };
    std::vector<std::int32_t> first;
    std::vector<std::uint16_t> weight;
    std::vector<Run> runs;

    SwayTaps(int size, double centre, double shift, double zoom)
        : first(static_cast<std::size_t>(size)), weight(static_cast<std::size_t>(size))
    {
        for (int i = 0; i < size; ++i) {
            const double position = std::clamp(CameraSway::sourceCoordinate(i, centre, shift, zoom), 0.0, size - 1.0);
            auto low = static_cast<std::int32_t>(std::floor(position));
            auto fraction = static_cast<int>(std::lround((position - low) * kWeightOne));
            if (fraction == kWeightOne) {
                ++low;
                fraction = 0;
            }
            const auto index = static_cast<std::size_t>(i);
            // At the last sample the weight is 0 and the second tap a copy of the first.
            first[index] = std::min(low, size - 1);
            weight[index] = static_cast<std::uint16_t>(first[index] == size - 1 ? 0 : fraction);
            const std::ptrdiff_t offset = first[index] - i;
            if (runs.empty() || runs.back().offset != offset)
                runs.push_back({index, 0, offset});
            ++runs.back().count;
        }
    }
};

void swayPlane(const std::uint8_t* source, std::uint8_t* target, const PixelBuffer::Plane& plane, double centreX,
               double centreY, double shiftX, double shiftY, double zoom)
{
    const int width = static_cast<int>(plane.rowBytes);
    if (width <= 0 || plane.rows <= 0)
        return;
    const SwayTaps across(width, centreX, shiftX, zoom);
    const SwayTaps down(plane.rows, centreY, shiftY, zoom);
    // One sample more than the row, so the last sample's second tap is there to read.
    std::vector<std::uint16_t> mixed(plane.rowBytes + 1);
    const std::uint8_t* in = source + plane.offset;
    std::uint8_t* out = target + plane.offset;
    for (int y = 0; y < plane.rows; ++y) {
        const auto row = static_cast<std::size_t>(y);
        const auto top = static_cast<std::size_t>(down.first[row]);
        const std::size_t bottom = std::min(top + 1, static_cast<std::size_t>(plane.rows - 1));
        swayMixRows(in + top * plane.bytesPerRow, in + bottom * plane.bytesPerRow, mixed.data(), plane.rowBytes,
                    down.weight[row]);
        mixed[plane.rowBytes] = mixed[plane.rowBytes - 1];
        std::uint8_t* line = out + row * plane.bytesPerRow;
        for (const SwayTaps::Run& run : across.runs)
            swayAcross(mixed.data() + static_cast<std::ptrdiff_t>(run.start) + run.offset, across.weight.data() + run.start,
                       line + run.start, run.count);
    }
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
    return CameraSway(16.0 / 1280, 0.002, 1200, seed);
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
    return {reach_ * component(0), reach_ * component(3), coverZoom(width, height) + breath_ * (1 + component(6))};
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
