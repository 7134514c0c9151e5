#include "analysis/FrameSignature.h"
#include "analysis/LoopEntry.h"

#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace quellon {
namespace {

using testing::Pixel;

std::vector<int> every(int first, int step, int count)
{
    std::vector<int> values(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k)
        values[static_cast<std::size_t>(k)] = first + k * step;
    return values;
}

/// Frames white exactly at the expected sample points and black elsewhere give a signature of
/// all ones; a single sample taken anywhere else would read black.
TEST(FrameSignature, SamplesTheCentrePixelOfEveryCell)
{
    const struct {
        int width, height, grid;
        std::vector<int> columns, rows;
        std::size_t padding;
    } cases[] = {
        {1280, 720, 12, {53, 159, 266, 373, 479, 586, 693, 799, 906, 1013, 1119, 1226}, every(30, 60, 12), 0},
        {1280, 720, 12, {53, 159, 266, 373, 479, 586, 693, 799, 906, 1013, 1119, 1226}, every(30, 60, 12), 6000},
        {7, 5, 3, {1, 3, 5}, {0, 1, 3}, 0},     // hx = 1, hy = 0
        {3, 2, 4, {0, 0, 1, 2}, {0, 0, 1, 1}, 0}, // cells thinner than a pixel sample one pixel twice
        {5, 5, 1, {2}, {2}, 0},
    };
    for (const auto& c : cases) {
        const auto frame = testing::makeFrame(c.width, c.height, [&](int x, int y) {
            const bool sampled = std::count(c.columns.begin(), c.columns.end(), x) && std::count(c.rows.begin(), c.rows.end(), y);
            return sampled ? Pixel{255, 255, 255, 255} : Pixel{0, 0, 0, 255};
        }, c.width * 4 + c.padding);
        const auto signature = LoopEntry::signature(*frame, c.grid);
        ASSERT_TRUE(signature) << c.width << "x" << c.height;
        ASSERT_EQ(signature->size(), static_cast<std::size_t>(c.grid * c.grid));
        for (double value : *signature)
            EXPECT_NEAR(value, 1.0, 1e-12) << c.width << "x" << c.height << " grid " << c.grid;
    }
}

TEST(FrameSignature, LumaWeightsTheChannelsAndIgnoresAlpha)
{
    const struct { Pixel pixel; double luma; } cases[] = {
        {{255, 255, 255, 255}, 1.0}, {{0, 0, 0, 255}, 0.0},   {{0, 0, 0, 0}, 0.0},
        {{255, 0, 0, 0}, 0.114},     {{0, 255, 0, 255}, 0.587}, {{0, 0, 255, 17}, 0.299},
        {{51, 102, 204, 255}, 0.114 * 0.2 + 0.587 * 0.4 + 0.299 * 0.8},
    };
    for (const auto& c : cases) {
        for (const auto& [width, height] : {std::pair{1, 1}, std::pair{64, 36}}) {
            const auto frame = testing::makeFrame(width, height, [&](int, int) { return c.pixel; });
            const auto signature = LoopEntry::signature(*frame, 12);
            ASSERT_TRUE(signature);
            ASSERT_EQ(signature->size(), 144u);
            for (double value : *signature)
                ASSERT_NEAR(value, c.luma, 1e-12) << int(c.pixel[0]) << "," << int(c.pixel[1]) << "," << int(c.pixel[2]);
        }
    }
}

TEST(FrameSignature, IsAbsentForAGridBelowOneOrAnotherFormat)
{
    const auto bgra = testing::makeFrame(16, 16, [](int, int) { return Pixel{1, 2, 3, 4}; });
    EXPECT_FALSE(LoopEntry::signature(*bgra, 0));
    EXPECT_FALSE(LoopEntry::signature(*bgra, -3));
    for (PixelFormatCode format : {kPixelFormatGray8, kPixelFormatYUYV}) {
        const auto other = PixelBuffer::create(16, 16, format);
        ASSERT_TRUE(other);
        EXPECT_FALSE(LoopEntry::signature(*other, 12));
    }
}

TEST(FrameSignature, DistanceIsTheMeanAbsoluteDifferenceOfComparableSignatures)
{
    const struct { FrameSignature a, b; double distance; } cases[] = {
        {{0.0, 1.0}, {1.0, 1.0}, 0.5},
        {{0.2, 0.8, 0.5, 0.5}, {0.8, 0.2, 0.5, 0.5}, 0.3},
        {{0.25}, {0.25}, 0.0},
        {{}, {}, 0.0},
        {{}, {0.5}, 0.0},          // nothing to compare
        {{0.0, 1.0}, {1.0}, 0.0},  // lengths differ
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(signatureDistance(c.a, c.b), c.distance);
        if (c.a.size() == c.b.size() && !c.a.empty()) {
            EXPECT_DOUBLE_EQ(signatureDistance(c.b, c.a), c.distance);
        }
    }
}

} // namespace
} // namespace quellon
