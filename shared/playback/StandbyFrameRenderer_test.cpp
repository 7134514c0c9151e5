#include "playback/StandbyFrameRenderer.h"

#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace quellon {
namespace {

using testing::Pixel;

/// A colour given as components 0…1 in red, green, blue order, as BGRA bytes.
Pixel bytesOf(double red, double green, double blue)
{
    auto byte = [](double v) { return static_cast<std::uint8_t>(std::lround(v * 255)); };
    return {byte(blue), byte(green), byte(red), 255};
}

int largestChannelDifference(const Pixel& a, const Pixel& b)
{
    int largest = 0;
    for (int c = 0; c < 4; ++c)
        largest = std::max(largest, std::abs(a[c] - b[c]));
    return largest;
}

struct CardSize {
    int width;
    int height;
    double radius;
};

class StandbyCard : public ::testing::TestWithParam<CardSize> {};

TEST_P(StandbyCard, GradientRunsFromTopColourToBottomColour)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "Quellon", "Camera paused");
    ASSERT_NE(card, nullptr);
    ASSERT_TRUE(card->isBGRA());
    ASSERT_EQ(card->width(), W);
    ASSERT_EQ(card->height(), H);
    for (int x = 0; x < W; x += 7) {
        EXPECT_LE(largestChannelDifference(testing::pixelOf(*card, x, 0), bytesOf(0.10, 0.11, 0.16)), 1) << x;
        EXPECT_LE(largestChannelDifference(testing::pixelOf(*card, x, H - 1), bytesOf(0.06, 0.07, 0.10)), 1) << x;
    }
    // Halfway down, halfway between.
    EXPECT_LE(largestChannelDifference(testing::pixelOf(*card, 0, H / 2), bytesOf(0.08, 0.09, 0.13)), 1);
}

TEST_P(StandbyCard, DotSitsCentredAboveTheTitleWithItsRadius)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "", "");
    ASSERT_NE(card, nullptr);
    // Centre in top-left pixel coordinates: the lower edge of its square is at H × 0.62 from the
    // bottom.
    const double cx = W * 0.5;
    const double cy = H - (H * 0.62 + r);
    const Pixel dot = bytesOf(0.38, 0.51, 0.94);
    auto at = [&](double x, double y) {
        return testing::pixelOf(*card, static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
    };
    EXPECT_LE(largestChannelDifference(at(cx, cy), dot), 1);
    for (auto [dx, dy] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
        EXPECT_LE(largestChannelDifference(at(cx + dx * (r - 1.5), cy + dy * (r - 1.5)), dot), 1) << dx << "," << dy;
        const Pixel outside = at(cx + dx * (r + 1.5), cy + dy * (r + 1.5));
        const Pixel background = at(0, cy + dy * (r + 1.5));
        EXPECT_LE(largestChannelDifference(outside, background), 1) << dx << "," << dy;
    }
}

TEST_P(StandbyCard, TextInkLiesOnlyInTheTitleAndSubtitleBands)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "Quellon", "Camera paused");
    auto empty = StandbyFrameRenderer::makeFrame(W, H, "", "");
    ASSERT_NE(card, nullptr);
    ASSERT_NE(empty, nullptr);
    // Bands in bottom-up coordinates: from below the baseline (descenders) to above the cap height.
    const double titleSize = H * 0.085;
    const double subtitleSize = H * 0.04;
    const double titleLow = H * 0.46 - 0.3 * titleSize;
    const double titleHigh = H * 0.46 + 0.85 * titleSize;
    const double subtitleLow = H * 0.37 - 0.3 * subtitleSize;
    const double subtitleHigh = H * 0.37 + 0.85 * subtitleSize;

    int titleInk = 0;
    int subtitleInk = 0;
    int brightestTitle = 0;
    double titleLeft = W, titleRight = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const Pixel p = testing::pixelOf(*card, x, y);
            if (largestChannelDifference(p, testing::pixelOf(*empty, x, y)) <= 2)
                continue;
            const double up = H - (y + 0.5);
            if (up >= titleLow && up <= titleHigh) {
                ++titleInk;
                brightestTitle = std::max<int>(brightestTitle, p[0]);
                titleLeft = std::min<double>(titleLeft, x);
                titleRight = std::max<double>(titleRight, x + 1);
            } else if (up >= subtitleLow && up <= subtitleHigh) {
                ++subtitleInk;
            } else {
                ADD_FAILURE() << "ink outside the text bands at " << x << "," << y;
                return;
            }
        }
    EXPECT_GT(titleInk, 0);
    EXPECT_GT(subtitleInk, 0);
    // Solid strokes of the title reach its text colour (blue channel 255).
    EXPECT_GE(brightestTitle, 254);
    EXPECT_NEAR((titleLeft + titleRight) / 2, W / 2.0, std::max(2.0, W * 0.01));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StandbyCard,
                         ::testing::Values(CardSize{1280, 720, 11.52}, CardSize{320, 240, 8.0}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST(StandbyFrameRenderer, GivesNothingWhenNoFrameCanBeMade)
{
    EXPECT_EQ(StandbyFrameRenderer::makeFrame(0, 720, "Quellon", "Camera paused"), nullptr);
    EXPECT_EQ(StandbyFrameRenderer::makeFrame(1280, -1, "Quellon", "Camera paused"), nullptr);
    EXPECT_EQ(StandbyFrameRenderer::makeFrame(20000, 20000, "Quellon", "Camera paused"), nullptr);
}

TEST(StandbyFrameRenderer, DrawsAnyTextWithoutFailing)
{
    // Invalid UTF-8, an embedded NUL and a title far wider than the card.
    const std::string odd("Qu\xC3\x28llon\xFF", 9);
    const std::string withNul("Camera\0paused", 13);
    for (auto [title, subtitle] : {std::pair<std::string, std::string>{odd, withNul},
                                   {std::string(300, 'W'), "Camera unavailable"}}) {
        auto card = StandbyFrameRenderer::makeFrame(64, 48, title, subtitle);
        ASSERT_NE(card, nullptr);
    }
    // The overflowing title is centred and runs over both edges.
    auto wide = StandbyFrameRenderer::makeFrame(320, 240, std::string(60, 'W'), "");
    auto plain = StandbyFrameRenderer::makeFrame(320, 240, "", "");
    const int titleRow = 240 - static_cast<int>(240 * 0.46 + 240 * 0.085 * 0.3);
    bool leftInk = false, rightInk = false;
    for (int y = titleRow - 2; y <= titleRow + 2; ++y) {
        leftInk |= largestChannelDifference(testing::pixelOf(*wide, 0, y), testing::pixelOf(*plain, 0, y)) > 2
            || largestChannelDifference(testing::pixelOf(*wide, 3, y), testing::pixelOf(*plain, 3, y)) > 2;
        rightInk |= largestChannelDifference(testing::pixelOf(*wide, 319, y), testing::pixelOf(*plain, 319, y)) > 2
            || largestChannelDifference(testing::pixelOf(*wide, 316, y), testing::pixelOf(*plain, 316, y)) > 2;
    }
    EXPECT_TRUE(leftInk);
    EXPECT_TRUE(rightInk);
}

} // namespace
} // namespace quellon
