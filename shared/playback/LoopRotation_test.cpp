#include "playback/LoopRotation.h"

#include "playback/TestFrames.h"

#include <gtest/gtest.h>
#include <limits>

namespace quellon {
namespace {

using testing::Pixel;
using Names = std::vector<std::string>;

TEST(LoopRotation, RotatedLeadOrder)
{
    const Names abcd = {"a", "b", "c", "d"};
    const struct { Names names; std::optional<std::string> previous; Names expected; } cases[] = {
        {abcd, "b", {"c", "d", "a", "b"}}, {abcd, "d", {"a", "b", "c", "d"}}, {abcd, "a", {"b", "c", "d", "a"}},
        {abcd, "x", abcd}, {abcd, std::nullopt, abcd}, {{"a"}, "a", {"a"}}, {{}, "a", {}},
        {{"a", "b", "a", "c"}, "a", {"b", "a", "c", "a"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoopRotation::rotatedLeadOrder(c.names, c.previous), c.expected) << c.previous.value_or("(none)");
}

TEST(LoopRotation, PerClipFrameCap)
{
    const struct { std::int64_t budget, clips, minimum, expected; } cases[] = {
        {240, 4, 24, 60}, {30, 3, 24, 24}, {240, 0, 24, 0}, {240, -2, 24, 0}, {7, 2, 0, 3}, {-10, 3, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoopRotation::perClipFrameCap(c.budget, c.clips, c.minimum), c.expected)
            << c.budget << " over " << c.clips;
}

std::vector<PixelBufferRef> clip(int frames, std::uint8_t firstValue)
{
    std::vector<PixelBufferRef> list;
    for (auto v = firstValue; v < firstValue + frames; ++v)
        list.push_back(testing::makeFrame(2, 2, [v](int, int) { return Pixel{v, v, v, 255}; }));
    return list;
}

TEST(LoopRotation, ConcatenateInsertsCrossfadesBetweenNonEmptyClips)
{
    const auto first = clip(10, 0);   // last frame holds 9
    const auto third = clip(8, 90);   // first frame holds 90
    const auto joined = LoopRotation::concatenate({first, {}, third}, 2);
    ASSERT_EQ(joined.size(), 20u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), joined.begin()));
    // Weights 1/3 and 2/3 from 9 towards 90: 36 and 63.
    EXPECT_EQ(testing::pixelOf(*joined[10], 1, 1), (Pixel{36, 36, 36, 255}));
    EXPECT_EQ(testing::pixelOf(*joined[11], 1, 1), (Pixel{63, 63, 63, 255}));
    EXPECT_TRUE(std::equal(third.begin(), third.end(), joined.begin() + 12));
}

TEST(LoopRotation, ConcatenateWithoutCrossfadeOrWithOneClipAddsNothing)
{
    const auto a = clip(3, 0);
    const auto b = clip(4, 50);
    auto expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(LoopRotation::concatenate({a, b}, 0), expected);
    EXPECT_EQ(LoopRotation::concatenate({a}, 5), a);
    EXPECT_TRUE(LoopRotation::concatenate({{}, {}}, 2).empty());
    EXPECT_TRUE(LoopRotation::concatenate({}, 2).empty());
}

// The count comes from the state record: one clip with an absurd count must not build
// billions of weights, and two clips get no more than the cap.
TEST(LoopRotation, ConcatenateCapsTheCrossfadeAndBuildsItOnlyBetweenClips)
{
    const auto a = clip(3, 0);
    const auto b = clip(4, 50);
    EXPECT_EQ(LoopRotation::concatenate({a}, std::numeric_limits<std::int64_t>::max()), a);
    EXPECT_EQ(LoopRotation::concatenate({a, {}}, 4'000'000'000LL), a);
    const auto joined = LoopRotation::concatenate({a, b}, 1'000'000);
    EXPECT_EQ(joined.size(), a.size() + b.size() + static_cast<std::size_t>(LoopRotation::kMaxCrossfadeFrames));
}

} // namespace
} // namespace quellon
