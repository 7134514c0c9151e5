#include "playback/PlaneResampling.h"

#include "playback/VectorKernels.h"

#include <algorithm>
#include <cmath>

namespace quellon::PlaneResampling {

namespace {

QUELLON_KERNEL_BODY void mixRowsVectorKernel(const std::uint8_t* __restrict upper, const std::uint8_t* __restrict lower,
                                       std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t weight)
{
    const auto upperWeight = static_cast<std::uint16_t>(kWeightOne - weight);
    for (std::size_t i = 0; i < count; ++i)
        mixed[i] = static_cast<std::uint16_t>(upper[i] * upperWeight + lower[i] * weight);
}
QUELLON_VECTOR_KERNEL(mixRowsVector,
                      (const std::uint8_t* __restrict upper, const std::uint8_t* __restrict lower,
                       std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t weight),
                      (upper, lower, mixed, count, weight))

/// One run across a mixed row: out[i] from source[i] and source[i + 1], the second weighing
/// weight[i], rounded back from 65536ths to bytes.
QUELLON_KERNEL_BODY void mixAcrossKernel(const std::uint16_t* __restrict source, const std::uint16_t* __restrict weight,
                                         std::uint8_t* __restrict out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t second = weight[i];
        const std::uint32_t value = source[i] * (kWeightOne - second) + source[i + 1] * second;
        out[i] = static_cast<std::uint8_t>((value + kWeightOne * kWeightOne / 2) / (kWeightOne * kWeightOne));
    }
}
QUELLON_VECTOR_KERNEL(mixAcross,
                      (const std::uint16_t* __restrict source, const std::uint16_t* __restrict weight,
                       std::uint8_t* __restrict out, std::size_t count),
                      (source, weight, out, count))

} // namespace

Taps tapsOf(int outputSize, int sourceSize, Axis axis)
{
    Taps taps;
    if (outputSize <= 0 || sourceSize <= 0)
        return taps;
    taps.first.resize(static_cast<std::size_t>(outputSize));
    taps.weight.resize(static_cast<std::size_t>(outputSize));
    for (int i = 0; i < outputSize; ++i) {
        const double position = std::clamp(i * axis.scale + axis.start, 0.0, sourceSize - 1.0);
        auto low = static_cast<std::int32_t>(std::floor(position));
        auto fraction = static_cast<int>(std::lround((position - low) * kWeightOne));
        if (fraction == kWeightOne) {
            ++low;
            fraction = 0;
        }
        const auto index = static_cast<std::size_t>(i);
        taps.first[index] = std::min(low, sourceSize - 1);
        taps.weight[index] = static_cast<std::uint16_t>(taps.first[index] == sourceSize - 1 ? 0 : fraction);
        const std::ptrdiff_t offset = taps.first[index] - i;
        if (taps.runs.empty() || taps.runs.back().offset != offset)
            taps.runs.push_back({index, 0, offset});
        ++taps.runs.back().count;
    }
    return taps;
}

void mixRows(const std::uint8_t* upper, const std::uint8_t* lower, std::uint16_t* mixed, std::size_t count, std::uint16_t weight)
{
    mixRowsVector(upper, lower, mixed, count, weight);
}

void resamplePlane(const std::uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight,
                   std::uint8_t* target, std::size_t targetStride, int width, int height, Axis across, Axis down)
{
    if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0)
        return;
    const Taps columns = tapsOf(width, sourceWidth, across);
    const Taps rows = tapsOf(height, sourceHeight, down);
    const auto sourceCount = static_cast<std::size_t>(sourceWidth);
    // One sample more than the row, so the last sample's second tap is there to read.
    std::vector<std::uint16_t> mixed(sourceCount + 1);
    for (int y = 0; y < height; ++y) {
        const auto row = static_cast<std::size_t>(y);
        const auto upper = static_cast<std::size_t>(rows.first[row]);
        const std::size_t lower = std::min(upper + 1, static_cast<std::size_t>(sourceHeight - 1));
        mixRowsVector(source + upper * sourceStride, source + lower * sourceStride, mixed.data(), sourceCount, rows.weight[row]);
        mixed[sourceCount] = mixed[sourceCount - 1];
        std::uint8_t* line = target + row * targetStride;
        for (const Taps::Run& run : columns.runs)
            mixAcross(mixed.data() + static_cast<std::ptrdiff_t>(run.start) + run.offset, columns.weight.data() + run.start,
                      line + run.start, run.count);
    }
}

} // namespace quellon::PlaneResampling
