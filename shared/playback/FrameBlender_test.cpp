#include "playback/FrameBlender.h"

#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quellon {
namespace {

using testing::Pixel;

std::uint8_t u8(int value)
{
    return static_cast<std::uint8_t>(value);
}

TEST(FrameBlender, CrossfadeWeights)
{
    const std::pair<std::int64_t, std::vector<double>> cases[] = {
        {-3, {}}, {0, {}}, {1, {0.5}}, {3, {0.25, 0.5, 0.75}}, {4, {0.2, 0.4, 0.6, 0.8}}};
    for (const auto& [steps, expected] : cases) {
        const auto weights = FrameBlender::crossfadeWeights(steps);
        ASSERT_EQ(weights.size(), expected.size()) << steps;
        for (std::size_t i = 0; i < weights.size(); ++i)
            EXPECT_DOUBLE_EQ(weights[i], expected[i]) << steps;
    }
}

TEST(FrameBlender, BlendBytesRoundsHalvesUpAndClampsTheWeight)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    using Bytes = std::vector<std::uint8_t>;
    const struct { Bytes a, b; double t; Bytes expected; } cases[] = {
        {{10, 0, 11}, {11, 255, 10}, 0.5, {11, 128, 11}}, // 10.5 and 127.5 go up
        {{0, 100, 255}, {255, 200, 0}, -1, {0, 100, 255}}, {{0, 100, 255}, {255, 200, 0}, nan, {0, 100, 255}},
        {{0, 100, 255}, {255, 200, 0}, 1, {255, 200, 0}}, {{0, 100, 255}, {255, 200, 0}, 2, {255, 200, 0}},
        {{0, 3, 200}, {3, 0, 100}, 0.25, {1, 2, 175}}, // 0.75 and 2.25 and 175
        // 1/6 is a hair off in binary: every half still rounds up, whatever the pair.
        {{0, 10, 200, 3, 13, 203}, {3, 13, 203, 0, 10, 200}, 1.0 / 6, {1, 11, 201, 3, 13, 203}},
        {{0, 100, 250, 10}, {10, 0, 245, 5}, 0.95, {10, 5, 245, 5}}, // 9.5, 5, 245.25, 5.25
        {{1, 2, 3}, {4, 5, 6, 7}, 0.5, {1, 2, 3}},     // lengths differ: the first list
        {{}, {}, 0.5, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FrameBlender::blendBytes(c.a, c.b, c.t), c.expected) << "t = " << c.t;
}

/// A 256 × 256 frame pair holding every combination of two byte values: the fast blend must agree
/// with the plain definition (blendBytes) everywhere, for weights that hit exact halves
/// (1/2, 1/4, 1/6, …) and for ones that do not.
TEST(FrameBlender, BlendMatchesTheByteDefinitionForEveryPairOfValues)
{
    auto a = testing::makeFrame(256, 256, [](int x, int y) { return Pixel{u8(x), u8(y), u8(255 - x), u8(x ^ y)}; });
    auto b = testing::makeFrame(256, 256, [](int x, int y) { return Pixel{u8(y), u8(x), u8(y), u8(255 - y)}; });
    // Fits of 0.7995987277261966, 0.6673327727930946, 0.33266129032258063 and
    // 0.66733870967741937 need a fraction: without one, a 16-bit factor misses an entry near
    // |b − a| = 250, in one direction or both.
    const double weights[] = {0, 0.5, 0.25, 0.75, 1.0 / 3, 2.0 / 3, 1.0 / 6, 5.0 / 6, 1.0 / 7, 0.1, 0.3, 0.7,
                              0.123456789, 1.0 / 10, 0.2, 0.4, 1.0 / 14, 1.0 / 18, 1.0 / 26, 0.375, 1.0 / 256,
                              17.0 / 54, 100.0 / 257, 255.0 / 256, 1e-6, 0.999999, 0.7995987277261966,
                              0.6673327727930946, 0.33266129032258063, 0.66733870967741937, 1};
    for (double t : weights) {
        auto out = FrameBlender::blend(a, b, t);
        ASSERT_NE(out, a);
        auto la = a->lockForReading(), lb = b->lockForReading(), lo = out->lockForReading();
        for (int y = 0; y < 256; ++y) {
            const auto expected = FrameBlender::blendBytes({la.row(y), 1024}, {lb.row(y), 1024}, t);
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), lo.row(y))) << "t = " << t << ", row " << y;
        }
    }
}

/// Rows whose length is no multiple of the vector width end in the scalar loop.
TEST(FrameBlender, RowsOfAnyWidthMatchTheByteDefinition)
{
    std::uint32_t noise = 7;
    auto random = [&noise](int, int) {
        noise = noise * 1664525u + 1013904223u;
        return Pixel{u8(noise >> 24), u8(noise >> 16), u8(noise >> 8), u8(noise >> 3)};
    };
    for (int width : {1, 7, 8, 9, 33, 61}) {
        auto a = testing::makeFrame(width, 3, random);
        auto b = testing::makeFrame(width, 3, random);
        for (double t : {0.5, 1.0 / 3, 0.7995987277261966}) {
            auto out = FrameBlender::blend(a, b, t);
            auto la = a->lockForReading(), lb = b->lockForReading(), lo = out->lockForReading();
            const auto bytes = static_cast<std::size_t>(width) * 4;
            for (int y = 0; y < 3; ++y) {
                const auto expected = FrameBlender::blendBytes({la.row(y), bytes}, {lb.row(y), bytes}, t);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), lo.row(y))) << width << " wide, t = " << t;
            }
        }
    }
}

TEST(FrameBlender, RowsOfDifferentLengthsBlendPixelForPixelAndKeepThePaddingOfA)
{
    auto pattern = [](int x, int y) { return Pixel{u8(x * 9), u8(y * 40), 77, 255}; };
    auto a = testing::makeFrame(5, 4, pattern, 256); // 256-byte rows, padding filled with 0xEE
    auto b = testing::makeFrame(5, 4, [](int, int) { return Pixel{255, 255, 255, 255}; });
    ASSERT_NE(a->bytesPerRow(), b->bytesPerRow());
    auto out = FrameBlender::blend(a, b, 2); // clamps to 1: b's pixels
    auto copy = FrameBlender::blend(a, b, -1);
    ASSERT_NE(out, a);
    auto lo = out->lockForReading();
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(testing::pixelOf(*out, x, y), (Pixel{255, 255, 255, 255}));
            EXPECT_EQ(testing::pixelOf(*copy, x, y), pattern(x, y));
        }
        for (std::size_t i = 20; i < out->bytesPerRow(); ++i)
            ASSERT_EQ(lo.row(y)[i], 0xEE);
    }
}

TEST(FrameBlender, MismatchedInputsGiveTheFirstFrameItself)
{
    auto frame = [](int w, int h) { return testing::makeFrame(w, h, [](int, int) { return Pixel{1, 2, 3, 4}; }); };
    auto a = frame(4, 4);
    auto grey = PixelBuffer::create(4, 4, kPixelFormatGray8);
    for (const PixelBufferRef& other : {frame(5, 4), frame(4, 5), grey, PixelBufferRef{}})
        EXPECT_EQ(FrameBlender::blend(a, other, 0.5), a);
    EXPECT_EQ(FrameBlender::blend(grey, grey, 0.5), grey);
    // Blending a frame with itself works (and does not deadlock on its lock).
    auto self = FrameBlender::blend(a, a, 0.5);
    ASSERT_NE(self, a);
    EXPECT_EQ(testing::pixelOf(*self, 3, 3), (Pixel{1, 2, 3, 4}));
}

} // namespace
} // namespace quellon
