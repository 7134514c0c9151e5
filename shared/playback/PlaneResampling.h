#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellon {

/// Bilinear resampling of 8-bit planes in fixed point, for warps that move and scale each axis
/// on its own (the stabiliser's shift and crop, the camera's sway): every output row mixes the
/// same two source rows and every output column the same two source columns, so the rows are
/// mixed once, then the columns, with weights in 256ths.
namespace PlaneResampling {

inline constexpr int kWeightOne = 256;

/// Output sample i reads source position i · scale + start, in source samples (sample k's
/// centre at k).
struct Axis {
    double scale = 1;
    double start = 0;
    bool operator==(const Axis&) const = default;
};

/// The taps of one axis: for each output sample, the source sample at or before where it reads
/// (the next one is the second tap) and the second's weight. Positions beyond the source are
/// held at its edge; at the last sample the weight is 0. Output samples whose first tap lies
/// the same distance from them form a run, which the kernel reads as one straight stretch, with
/// no gathering: a scale near 1 makes runs of dozens of samples.
struct Taps {
    struct Run {
        std::size_t start = 0;
        std::size_t count = 0;
        std::ptrdiff_t offset = 0; // first tap minus output index
        bool operator==(const Run&) const = default;
    };
    std::vector<std::int32_t> first;
    std::vector<std::uint16_t> weight;
    std::vector<Run> runs;
    bool operator==(const Taps&) const = default;
};

/// The taps of outputSize samples read from sourceSize ones (both at least 1) along axis.
Taps tapsOf(int outputSize, int sourceSize, Axis axis);

/// mixed[i] = upper[i] · (256 − weight) + lower[i] · weight, for count bytes (a row of any
/// layout).
void mixRows(const std::uint8_t* upper, const std::uint8_t* lower, std::uint16_t* mixed, std::size_t count,
             std::uint16_t weight);

/// A plane of one byte a sample, sourceWidth × sourceHeight at source, resampled into the
/// width × height plane at target (each with its own row stride) along the two axes. Does
/// nothing when a size is not positive.
void resamplePlane(const std::uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight,
                   std::uint8_t* target, std::size_t targetStride, int width, int height, Axis across, Axis down);

} // namespace PlaneResampling
} // namespace quellon
