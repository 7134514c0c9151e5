#include "playback/PlaneResampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace quellon {
namespace {

using PlaneResampling::Axis;

/// A plane of exactly width × height bytes (no row slack, so a read past its last sample is an
/// error the sanitizer build reports), holding a smooth pattern with a sharp edge in it.
std::vector<std::uint8_t> testPlane(int width, int height)
{
    std::vector<std::uint8_t> plane(static_cast<std::size_t>(width * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint8_t>(
                std::clamp(128 + 90 * std::sin(x * 0.21) * std::cos(y * 0.17) + (x > width / 2 ? 30 : -30), 0.0, 255.0));
    return plane;
}

/// The plane's value at a source position, bilinear in doubles, positions held at the edge.
double bilinear(const std::vector<std::uint8_t>& plane, int width, int height, double x, double y)
{
    x = std::clamp(x, 0.0, width - 1.0);
    y = std::clamp(y, 0.0, height - 1.0);
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int px, int py) { return static_cast<double>(plane[static_cast<std::size_t>(py * width + px)]); };
    return (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x1, y0)) + fy * ((1 - fx) * at(x0, y1) + fx * at(x1, y1));
}

TEST(PlaneResampling, TapsCoverEveryOutputOnceInRunsAndHoldTheEdge)
{
    for (const Axis axis : {Axis{1, 0.25}, Axis{0.97, 11.6}, Axis{1 / 1.03, -3.2}, Axis{1.5, 2}}) {
        SCOPED_TRACE(axis.scale);
        const PlaneResampling::Taps taps = PlaneResampling::tapsOf(97, 100, axis);
        ASSERT_EQ(taps.first.size(), 97u);
        std::size_t covered = 0;
        for (const auto& run : taps.runs) {
            EXPECT_EQ(run.start, covered) << "runs follow each other without gaps";
            for (std::size_t k = run.start; k < run.start + run.count; ++k)
                EXPECT_EQ(taps.first[k], static_cast<std::int64_t>(k) + run.offset);
            covered += run.count;
        }
        EXPECT_EQ(covered, 97u);
        for (std::size_t k = 0; k < taps.first.size(); ++k) {
            EXPECT_GE(taps.first[k], 0);
            EXPECT_LE(taps.first[k], 99);
            EXPECT_LT(taps.weight[k], PlaneResampling::kWeightOne);
            if (taps.first[k] == 99) {
                EXPECT_EQ(taps.weight[k], 0) << "the last sample has no second";
            }
        }
    }
    // A scale near 1 reads long straight stretches: this is what makes the kernel fast.
    EXPECT_LE(PlaneResampling::tapsOf(1280, 1280, Axis{0.97, 19}).runs.size(), 40u);
}

TEST(PlaneResampling, ResamplesAsBilinearInterpolationRoundedToTheNearestLevel)
{
    constexpr int width = 77, height = 45;
    const std::vector<std::uint8_t> source = testPlane(width, height);
    struct Case {
        Axis across, down;
        int outWidth, outHeight;
    };
    // Crops that scale up (the stabiliser's), a zoom about the centre with a shift (the sway's),
    // a shrink, and shifts that reach past the edges.
    for (const Case c : {Case{{0.94, 2.3}, {0.91, 1.7}, width, height}, Case{{1 / 1.04, 1.1}, {1 / 1.04, -0.6}, width, height},
                         Case{{1.7, 0.35}, {1.9, 0.2}, 40, 20}, Case{{1, -6.5}, {1, 9.25}, width, height},
                         Case{{1, 0.5}, {1, 0.5}, width + 3, height + 2}}) {
        SCOPED_TRACE(c.across.scale);
        std::vector<std::uint8_t> target(static_cast<std::size_t>(c.outWidth * c.outHeight), 0);
        PlaneResampling::resamplePlane(source.data(), width, width, height, target.data(), static_cast<std::size_t>(c.outWidth),
                                       c.outWidth, c.outHeight, c.across, c.down);
        double worst = 0;
        for (int y = 0; y < c.outHeight; ++y)
            for (int x = 0; x < c.outWidth; ++x) {
                const double expected = bilinear(source, width, height, x * c.across.scale + c.across.start,
                                                 y * c.down.scale + c.down.start);
                worst = std::max(worst, std::abs(target[static_cast<std::size_t>(y * c.outWidth + x)] - expected));
            }
        // Rounding to the nearest level, plus the weights' 256ths on the sharpest slope.
        EXPECT_LE(worst, 0.7);
    }
}

TEST(PlaneResampling, WholeSampleMovesCopyTheSamplesExactly)
{
    constexpr int width = 64, height = 36;
    const std::vector<std::uint8_t> source = testPlane(width, height);
    std::vector<std::uint8_t> target(source.size());
    PlaneResampling::resamplePlane(source.data(), width, width, height, target.data(), width, width, height, Axis{1, 3},
                                   Axis{1, -2});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int sx = std::min(x + 3, width - 1), sy = std::max(y - 2, 0);
            ASSERT_EQ(target[static_cast<std::size_t>(y * width + x)], source[static_cast<std::size_t>(sy * width + sx)])
                << x << ", " << y;
        }
}

} // namespace
} // namespace quellon
