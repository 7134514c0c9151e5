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

/// The largest difference in any channel between the pixel of frame at x, y and expected.
int offBy(const PixelBufferRef& frame, int x, int y, const Pixel& expected)
{
    const Pixel p = testing::pixelOf(*frame, x, y);
    int largest = 0;
    for (int c = 0; c < 4; ++c)
        largest = std::max(largest, std::abs(p[c] - expected[c]));
    return largest;
}

struct CardSize {
    int width, height;
    double radius;
};

class StandbyCard : public ::testing::TestWithParam<CardSize> {};

TEST_P(StandbyCard, GradientRunsFromTopColourToBottomColour)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "Quellon", "Camera paused");
    ASSERT_TRUE(card && card->isBGRA());
    ASSERT_EQ(std::pair(card->width(), card->height()), std::pair(W, H));
    for (int x = 0; x < W; x += 7) {
        EXPECT_LE(offBy(card, x, 0, bytesOf(0.10, 0.11, 0.16)), 1) << x;
        EXPECT_LE(offBy(card, x, H - 1, bytesOf(0.06, 0.07, 0.10)), 1) << x;
    }
    EXPECT_LE(offBy(card, 0, H / 2, bytesOf(0.08, 0.09, 0.13)), 1) << "halfway down, halfway between";
}

TEST_P(StandbyCard, DotSitsCentredAboveTheTitleWithItsRadius)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "", "");
    ASSERT_NE(card, nullptr);
    // Centre in top-left pixel coordinates: the lower edge of its square is at H × 0.62 from the bottom.
    const double cx = W * 0.5, cy = H - (H * 0.62 + r);
    const Pixel dot = bytesOf(0.38, 0.51, 0.94);
    auto at = [](double v) { return static_cast<int>(std::floor(v)); };
    EXPECT_LE(offBy(card, at(cx), at(cy), dot), 1);
    for (auto [dx, dy] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
        EXPECT_LE(offBy(card, at(cx + dx * (r - 1.5)), at(cy + dy * (r - 1.5)), dot), 1) << dx << "," << dy;
        const int outsideY = at(cy + dy * (r + 1.5));
        EXPECT_LE(offBy(card, at(cx + dx * (r + 1.5)), outsideY, testing::pixelOf(*card, 0, outsideY)), 1)
            << dx << "," << dy;
    }
}

TEST_P(StandbyCard, TextInkLiesOnlyInTheTitleAndSubtitleBands)
{
    const auto [W, H, r] = GetParam();
    auto card = StandbyFrameRenderer::makeFrame(W, H, "Quellon", "Camera paused");
    auto empty = StandbyFrameRenderer::makeFrame(W, H, "", "");
    ASSERT_TRUE(card && empty);
    // Bands in bottom-up coordinates: from below the baseline (descenders) to above the cap height.
    auto inBand = [H](double up, double base, double size) {
        return up >= H * base - 0.3 * H * size && up <= H * base + 0.85 * H * size;
    };
    int titleInk = 0, subtitleInk = 0, brightestTitle = 0;
    double titleLeft = W, titleRight = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            if (offBy(card, x, y, testing::pixelOf(*empty, x, y)) <= 2)
                continue;
            const double up = H - (y + 0.5);
            if (inBand(up, 0.46, 0.085)) {
                ++titleInk;
                brightestTitle = std::max<int>(brightestTitle, testing::pixelOf(*card, x, y)[0]);
                titleLeft = std::min<double>(titleLeft, x);
                titleRight = std::max<double>(titleRight, x + 1);
            } else if (inBand(up, 0.37, 0.04)) {
                ++subtitleInk;
            } else {
                FAIL() << "ink outside the text bands at " << x << "," << y;
            }
        }
    EXPECT_GT(titleInk, 0);
    EXPECT_GT(subtitleInk, 0);
    EXPECT_GE(brightestTitle, 254) << "solid strokes of the title reach its text colour";
    EXPECT_NEAR((titleLeft + titleRight) / 2, W / 2.0, std::max(2.0, W * 0.01));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StandbyCard, ::testing::Values(CardSize{1280, 720, 11.52}, CardSize{320, 240, 8.0}));

TEST(StandbyFrameRenderer, GivesNothingWhenNoFrameCanBeMade)
{
    for (auto [width, height] : {std::pair{0, 720}, std::pair{1280, -1}, std::pair{20000, 20000}})
        EXPECT_EQ(StandbyFrameRenderer::makeFrame(width, height, "Quellon", "Camera paused"), nullptr) << width;
}

TEST(StandbyFrameRenderer, DrawsAnyTextAndCentresAnOverflowingTitle)
{
    // Invalid UTF-8, an embedded NUL and a title far wider than the card.
    EXPECT_NE(StandbyFrameRenderer::makeFrame(64, 48, std::string("Qu\xC3\x28llon\xFF", 9),
                                              std::string("Camera\0paused", 13)), nullptr);
    EXPECT_NE(StandbyFrameRenderer::makeFrame(64, 48, std::string(300, 'W'), "Camera unavailable"), nullptr);
    // The overflowing title runs over both edges.
    auto wide = StandbyFrameRenderer::makeFrame(320, 240, std::string(60, 'W'), "");
    auto plain = StandbyFrameRenderer::makeFrame(320, 240, "", "");
    auto inked = [&](int x, int y) { return offBy(wide, x, y, testing::pixelOf(*plain, x, y)) > 2; };
    const int titleRow = 240 - static_cast<int>(240 * 0.46 + 240 * 0.085 * 0.3);
    bool leftInk = false, rightInk = false;
    for (int y = titleRow - 2; y <= titleRow + 2; ++y) {
        leftInk |= inked(0, y) || inked(3, y);
        rightInk |= inked(319, y) || inked(316, y);
    }
    EXPECT_TRUE(leftInk && rightInk) << leftInk << rightInk;
}

} // namespace
} // namespace quellon
