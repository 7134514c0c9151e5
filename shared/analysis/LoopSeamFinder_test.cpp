#include "analysis/LoopSeamFinder.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>

namespace quellon {
namespace {

using LoopSeamFinder::Seam;

/// One-value signatures: the jump between frames i and j is |v[i] − v[j]|.
std::vector<FrameSignature> values(std::initializer_list<double> list)
{
    std::vector<FrameSignature> signatures;
    for (double v : list)
        signatures.push_back({v});
    return signatures;
}

/// An eye callback answering from a table (no entry: no answer) and recording what it was asked.
struct Eyes {
    std::map<std::int64_t, std::optional<bool>> answers;
    std::vector<std::int64_t> asked;

    LoopSeamFinder::EyesClosedAt callback()
    {
        return [this](std::int64_t index) {
            asked.push_back(index);
            const auto it = answers.find(index);
            return it == answers.end() ? std::nullopt : it->second;
        };
    }
};

TEST(LoopSeamFinder, BothOverloadsPickTheFirstSmallestJumpInsideTheWindow)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        std::vector<FrameSignature> signatures;
        std::vector<double> times;
        double minDuration, maxDuration;
        std::optional<Seam> expected;
    } cases[] = {
        {"one frame", values({0.5}), {0}, 0, 10, std::nullopt},
        {"lists of different lengths", values({0.1, 0.2, 0.3}), {0, 1}, 0, 10, std::nullopt},
        {"no pair in the window", values({0.1, 0.2, 0.3}), {0, 1, 2}, 2.5, 9, std::nullopt},
        {"bounds are inclusive, (0,2) is outside", values({0, 0.5, 0.125}), {0, 1, 2}, 1, 1, Seam{1, 2, 0.375}},
        {"equal jumps: smallest start, then end", values({0.3, 0.3, 0.3, 0.3}), {0, 1, 2, 3}, 1, 3, Seam{0, 1, 0}},
        {"equal jumps further in", values({0.9, 0.2, 0.6, 0.2, 0.6}), {0, 1, 2, 3, 4}, 2, 2, Seam{1, 3, 0}},
        {"the scan goes on past the window", values({0.5, 0.1, 0.9, 0.1}), {0, 5, 1, 6}, 1, 1, Seam{5, 6, 0}},
        {"a NaN time makes no candidate", values({0.0, 0.0, 0.5}), {0, nan, 2}, 0, 10, Seam{0, 2, 0.5}},
        {"an empty signature is 0 from any", {{0.1}, {}, {0.9}}, {0, 1, 2}, 1, 2, Seam{0, 1, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LoopSeamFinder::bestSeam(c.signatures, c.times, c.minDuration, c.maxDuration), c.expected) << c.name;
        Eyes eyes;
        EXPECT_EQ(LoopSeamFinder::bestSeam(c.signatures, c.times, c.minDuration, c.maxDuration, 5, eyes.callback()),
                  c.expected)
            << c.name;
    }
}

/// Candidates of values {0.50, 0.52, 0.55, 0.90, 0.505} at times 0…4, window 1…4. Sorted by
/// jump: (0,4) .005, (1,4) .015, (0,1) .02, (1,2) .03, (2,4) .045, (0,2) .05, (2,3), (1,3),
/// (3,4), (0,3).
TEST(LoopSeamFinder, TheEyeTestWalksTheBestCandidatesAskingEachFrameOnce)
{
    const auto signatures = values({0.50, 0.52, 0.55, 0.90, 0.505});
    const std::vector<double> times{0, 1, 2, 3, 4};
    const struct {
        const char* name;
        std::int64_t maxCandidates;
        std::map<std::int64_t, std::optional<bool>> answers;
        Seam expected;
        std::vector<std::int64_t> asked;
    } cases[] = {
        {"open eyes: the best, start asked before end", 5, {{0, false}, {4, false}}, {0, 4, 0.005}, {0, 4}},
        {"no answer counts as open", 5, {}, {0, 4, 0.005}, {0, 4}},
        {"closed end: the next open pair", 5, {{4, true}}, {0, 1, 0.02}, {0, 4, 1}},
        {"closed start: its end is not asked", 5, {{0, true}}, {1, 4, 0.015}, {0, 1, 4}},
        {"closed start asked once though it starts later pairs", 5, {{0, true}, {4, true}}, {1, 2, 0.03}, {0, 1, 4, 2}},
        {"every tested candidate closed: the best anyway", 3, {{4, true}, {1, true}}, {0, 4, 0.005}, {0, 4, 1}},
        {"no candidates to test", 0, {{0, true}}, {0, 4, 0.005}, {}},
        {"a negative count tests nothing", -2, {{0, true}}, {0, 4, 0.005}, {}},
        {"more allowed than there are", 100, {{0, true}, {1, true}, {2, true}, {3, true}, {4, true}}, {0, 4, 0.005}, {0, 1, 2, 3}},
    };
    for (const auto& c : cases) {
        Eyes eyes{c.answers, {}};
        const auto seam = LoopSeamFinder::bestSeam(signatures, times, 1, 4, c.maxCandidates, eyes.callback());
        ASSERT_TRUE(seam) << c.name;
        EXPECT_EQ(seam->start, c.expected.start) << c.name;
        EXPECT_EQ(seam->end, c.expected.end) << c.name;
        EXPECT_NEAR(seam->boundaryJump, c.expected.boundaryJump, 1e-12) << c.name;
        EXPECT_EQ(eyes.asked, c.asked) << c.name;
    }
}

TEST(LoopSeamFinder, WithoutCandidatesTheEyesAreNeverAsked)
{
    Eyes eyes;
    EXPECT_FALSE(LoopSeamFinder::bestSeam(values({0.1, 0.2}), {0, 1}, 2, 3, 5, eyes.callback()));
    EXPECT_TRUE(eyes.asked.empty());
}

} // namespace
} // namespace quellon
