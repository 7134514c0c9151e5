// The periodicity figures on streams whose answer is known: a loop, the same loop played back
// and forth, and footage that never comes back.

#include "analysis/PeriodicityFigures.h"
#include "playback/SplitMix64.h"

#include <gtest/gtest.h>
#include <cmath>

namespace quellon {
namespace {

using namespace PeriodicityFigures;

// A picture that slides as `position` changes, as a grey plane twice the thumbnail's size, with
// sensor noise of the given amplitude.
Thumbnail thumbnailAt(double position, double noise, SplitMix64& random)
{
    std::vector<std::uint8_t> plane(64 * 36);
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 64; ++x)
            plane[static_cast<std::size_t>(y * 64 + x)] = static_cast<std::uint8_t>(
                128 + 60 * std::sin(0.21 * x + position) * std::cos(0.17 * y - 0.6 * position)
                + 30 * std::sin(0.05 * x * y + position) + noise * (random.nextUnit() - 0.5));
    return thumbnail(plane.data(), 64, 36, 64);
}

template <typename Motion>
std::vector<Thumbnail> stream(int count, Motion motion, double noise = 0)
{
    SplitMix64 random(3);
    std::vector<Thumbnail> frames;
    for (int t = 0; t < count; ++t)
        frames.push_back(thumbnailAt(motion(t), noise, random));
    return frames;
}

TEST(PeriodicityFiguresTest, ThumbnailsAverageCellsAndDropTheMean)
{
    // Left half dark, right half bright: cells are 0 − 50 and 100 − 50.
    std::vector<std::uint8_t> plane(72 * 36, 0);
    for (int y = 0; y < 36; ++y)
        for (int x = 32; x < 64; ++x)
            plane[static_cast<std::size_t>(y * 72 + x)] = 100; // a stride wider than the row
    const Thumbnail cells = thumbnail(plane.data(), 64, 36, 72);
    ASSERT_EQ(cells.size(), 32u * 18u);
    EXPECT_FLOAT_EQ(cells[0], -50);
    EXPECT_FLOAT_EQ(cells[31], 50);
    EXPECT_FLOAT_EQ(cells[32 * 17 + 15], -50);
    EXPECT_TRUE(thumbnail(plane.data(), 31, 36, 72).empty());
}

TEST(PeriodicityFiguresTest, ALoopAndAPingPongGiveThemselvesAway)
{
    const int period = 90;
    const auto forward = stream(600, [&](int t) { return 0.08 * (t % period); });
    const auto pingpong = stream(600, [&](int t) {
        const int phase = t % (2 * period);
        return 0.08 * (phase < period ? phase : 2 * period - phase);
    });
    // Drifting along incommensurate sines, with sensor noise: nothing comes back exactly.
    const auto live = stream(
        600, [&](int t) { return 2.0 * std::sin(0.031 * t) + 1.3 * std::sin(0.0731 * t + 1); }, 16);

    const Figures loop = measure(forward), back = measure(pingpong), footage = measure(live);
    EXPECT_LT(loop.repeatRatio, 0.01);
    EXPECT_LT(loop.lagContrast, 0.01);
    EXPECT_EQ(loop.contrastLag % period, 0) << "the dip is at the loop's period";
    EXPECT_LT(back.repeatRatio, 0.01);
    EXPECT_LT(back.mirroredRatio, 0.01);
    EXPECT_GT(loop.mirroredRatio, 0.3) << "a forward loop never plays backwards";
    EXPECT_GT(footage.repeatRatio, 0.3);
    EXPECT_GT(footage.lagContrast, 0.2);
    EXPECT_GT(footage.mirroredRatio, 0.3);
    EXPECT_EQ(measure(stream(60, [](int t) { return 0.1 * t; })), Figures{}) << "too short to judge";
}

} // namespace
} // namespace quellon
