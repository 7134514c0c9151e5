#include "playback/FrameBlender.h"

#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quellon {
namespace {

using testing::Pixel;

TEST(FrameBlender, CrossfadeWeights)
{
    const struct {
        std::int64_t steps;
        std::vector<double> weights;
    } cases[] = {
        {-3, {}}, {0, {}}, {1, {0.5}}, {3, {0.25, 0.5, 0.75}}, {4, {0.2, 0.4, 0.6, 0.8}},
    };
    for (const auto& c : cases) {
        const auto weights = FrameBlender::crossfadeWeights(c.steps);
        ASSERT_EQ(weights.size(), c.weights.size()) << c.steps;
        for (std::size_t i = 0; i < weights.size(); ++i)
            EXPECT_DOUBLE_EQ(weights[i], c.weights[i]);
    }
}

TEST(FrameBlender, BlendBytesRoundsHalvesUpAndClampsTheWeight)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<std::uint8_t> a, b;
        double t;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {{10, 0, 11}, {11, 255, 10}, 0.5, {11, 128, 11}}, // 10.5 and 127.5 go up
        {{0, 100, 255}, {255, 200, 0}, -1, {0, 100, 255}},
        {{0, 100, 255}, {255, 200, 0}, nan, {0, 100, 255}},
        {{0, 100, 255}, {255, 200, 0}, 1, {255, 200, 0}},
        {{0, 100, 255}, {255, 200, 0}, 2, {255, 200, 0}},
        {{0, 3, 200}, {3, 0, 100}, 0.25, {1, 2, 175}}, // 0.75 and 2.25 and 175
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
    auto a = testing::makeFrame(256, 256, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(255 - x),
                     static_cast<std::uint8_t>(x ^ y)};
    });
    auto b = testing::makeFrame(256, 256, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                     static_cast<std::uint8_t>(255 - y)};
    });
    const double weights[] = {0, 0.5, 0.25, 0.75, 1.0 / 3, 2.0 / 3, 1.0 / 6, 5.0 / 6, 1.0 / 7, 0.1, 0.3, 0.7,
                              0.123456789, 1.0 / 10, 0.2, 0.4, 1.0 / 14, 1.0 / 18, 1.0 / 26, 0.375, 1.0 / 256, 1};
    for (double t : weights) {
        auto out = FrameBlender::blend(a, b, t);
        ASSERT_NE(out, a);
        auto la = a->lockForReading();
        auto lb = b->lockForReading();
        auto lo = out->lockForReading();
        for (int y = 0; y < 256; ++y) {
            const auto expected = FrameBlender::blendBytes({la.row(y), 1024}, {lb.row(y), 1024}, t);
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), lo.row(y))) << "t = " << t << ", row " << y;
        }
    }
}

TEST(FrameBlender, RowsOfDifferentLengthsBlendPixelForPixelAndKeepThePaddingOfA)
{
    auto pattern = [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 9), static_cast<std::uint8_t>(y * 40), 77, 255};
    };
    auto a = testing::makeFrame(5, 4, pattern, 256); // 256-byte rows
    auto b = testing::makeFrame(5, 4, [](int, int) { return Pixel{255, 255, 255, 255}; });
    ASSERT_NE(a->bytesPerRow(), b->bytesPerRow());
    auto out = FrameBlender::blend(a, b, 2); // clamps to 1: b's pixels
    ASSERT_NE(out, a);
    auto lo = out->lockForReading();
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(testing::pixelOf(*out, x, y), (Pixel{255, 255, 255, 255}));
        // The bytes after the pixels still come from a (filled with 0xEE).
        for (std::size_t i = 20; i < out->bytesPerRow(); ++i)
            ASSERT_EQ(lo.row(y)[i], 0xEE);
    }
    auto copy = FrameBlender::blend(a, b, -1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(testing::pixelOf(*copy, x, y), pattern(x, y));
}

TEST(FrameBlender, MismatchedInputsGiveTheFirstFrameItself)
{
    auto a = testing::makeFrame(4, 4, [](int, int) { return Pixel{1, 2, 3, 4}; });
    auto wider = testing::makeFrame(5, 4, [](int, int) { return Pixel{1, 2, 3, 4}; });
    auto taller = testing::makeFrame(4, 5, [](int, int) { return Pixel{1, 2, 3, 4}; });
    auto grey = PixelBuffer::create(4, 4, kPixelFormatGray8);
    EXPECT_EQ(FrameBlender::blend(a, wider, 0.5), a);
    EXPECT_EQ(FrameBlender::blend(a, taller, 0.5), a);
    EXPECT_EQ(FrameBlender::blend(a, grey, 0.5), a);
    EXPECT_EQ(FrameBlender::blend(grey, grey, 0.5), grey);
    EXPECT_EQ(FrameBlender::blend(a, nullptr, 0.5), a);
    // Blending a frame with itself works (and does not deadlock on its lock).
    auto self = FrameBlender::blend(a, a, 0.5);
    ASSERT_NE(self, a);
    EXPECT_EQ(testing::pixelOf(*self, 3, 3), (Pixel{1, 2, 3, 4}));
}

} // namespace
} // namespace quellon
