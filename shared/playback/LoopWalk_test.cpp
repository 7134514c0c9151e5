// The natural walk: its transition table and the walk over it, on clips whose frames are points
// of a known motion (so look-alike frames, their directions and the clip's end are known) and on
// seeded random distances.

#include "playback/LoopWalk.h"

#include <gtest/gtest.h>
#include <cmath>
#include <set>

namespace quellon {
namespace {

using namespace LoopWalk;

// A frame showing an object at `position`: its signature changes smoothly with the position.
FrameSignature signatureAt(double position)
{
    FrameSignature signature;
    for (int k = 0; k < 16; ++k)
        signature.push_back(0.5 + 0.4 * std::sin(3.1 * position + k));
    return signature;
}

// A motion with no period: two incommensurate sines.
double drift(std::int64_t t)
{
    return std::sin(0.07 * static_cast<double>(t)) + 0.6 * std::sin(0.173 * static_cast<double>(t));
}

// Up over 40 frames, down over 40, twice: every frame has a twin moving the other way.
double triangle(std::int64_t t)
{
    const std::int64_t phase = t % 80;
    return phase < 40 ? phase / 40.0 : (80 - phase) / 40.0;
}

template <typename Motion>
std::vector<double> distancesOf(std::int64_t count, Motion motion)
{
    std::vector<FrameSignature> signatures;
    for (std::int64_t t = 0; t < count; ++t)
        signatures.push_back(signatureAt(motion(t)));
    return distanceMatrix(signatures);
}

std::vector<double> randomDistances(std::int64_t count, std::uint64_t seed)
{
    SplitMix64 random(seed);
    std::vector<double> distances(static_cast<std::size_t>(count * count), 0.0);
    for (std::int64_t i = 0; i < count; ++i)
        for (std::int64_t j = i + 1; j < count; ++j)
            distances[static_cast<std::size_t>(i * count + j)] = distances[static_cast<std::size_t>(j * count + i)] = random.nextUnit();
    return distances;
}

std::vector<Step> walk(const TransitionTable& table, std::uint64_t seed, int steps)
{
    Walker walker(std::make_shared<const TransitionTable>(table), seed);
    std::vector<Step> result;
    for (int i = 0; i < steps; ++i)
        result.push_back(walker.next());
    return result;
}

const Transition* findTransition(const TransitionTable& table, std::int64_t from, std::int64_t to)
{
    for (const auto& transition : table.transitions[static_cast<std::size_t>(from)])
        if (transition.target == to)
            return &transition;
    return nullptr;
}

TEST(LoopWalkTest, TheTableKeepsCheapJumpsThatLeaveRoomForTheirCrossfade)
{
    const Parameters parameters;
    for (const auto& [name, distances, count] : {std::tuple{"drift", distancesOf(150, drift), std::int64_t{150}},
                                                 std::tuple{"random", randomDistances(120, 7), std::int64_t{120}}}) {
        SCOPED_TRACE(name);
        const TransitionTable table = buildTransitionTable(distances, count, parameters);
        ASSERT_EQ(table.transitions.size(), static_cast<std::size_t>(count));
        std::int64_t jumps = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            const auto& row = table.transitions[static_cast<std::size_t>(i)];
            double total = 0;
            for (std::size_t k = 0; k < row.size(); ++k) {
                const Transition& transition = row[k];
                total += transition.probability;
                if (k == 0 && i + 1 < count) {
                    EXPECT_EQ(transition.target, i + 1);
                    continue;
                }
                ++jumps;
                EXPECT_LT(transition.cost, table.thresholds[static_cast<std::size_t>(i)]) << i << " -> " << transition.target;
                EXPECT_GE(transition.target, 1);
                EXPECT_LE(transition.target + parameters.crossfadeFrames, count) << "the crossfade would run past the end";
                EXPECT_GE(std::abs(transition.target - (i + 1)), parameters.minJumpFrames);
            }
            EXPECT_NEAR(total, 1.0, 1e-9) << i;
        }
        // The dead end has several ways out, so the walk leaving it varies.
        EXPECT_GE(static_cast<std::int64_t>(table.transitions.back().size()), parameters.minExitsAtEnd);
        EXPECT_GT(jumps, count / 2) << "a walk with few jumps would settle into a period";
    }

    // A clip too short for any jump plays forward; a matrix of the wrong size gives no jumps.
    for (const TransitionTable& table : {buildTransitionTable(distancesOf(12, drift), 12), buildTransitionTable({0.0, 1.0}, 12)}) {
        std::vector<std::int64_t> frames;
        for (const Step& step : walk(table, 1, 26))
            frames.push_back(step.frame);
        std::vector<std::int64_t> expected;
        for (int i = 0; i < 26; ++i)
            expected.push_back(i % 12);
        EXPECT_EQ(frames, expected);
    }
}

TEST(LoopWalkTest, JumpsKeepTheDirectionOfMotion)
{
    // Frames moving up and their twins moving down look the same one by one; only the
    // neighbours tell them apart.
    const std::int64_t count = 160;
    const TransitionTable table = buildTransitionTable(distancesOf(count, triangle), count);
    auto direction = [](std::int64_t t) { return triangle(t + 1) - triangle(t - 1); };
    std::int64_t jumps = 0;
    for (std::int64_t i = 3; i + 4 < count; ++i) {
        if (std::abs(direction(i)) < 0.04 || std::abs(direction(i + 1)) < 0.04)
            continue; // a turning point moves neither way
        for (const auto& transition : table.transitions[static_cast<std::size_t>(i)]) {
            if (transition.target == i + 1 || std::abs(direction(transition.target)) < 0.04)
                continue;
            ++jumps;
            EXPECT_GT(direction(i + 1) * direction(transition.target), 0) << i << " -> " << transition.target;
        }
    }
    EXPECT_GT(jumps, 20);
}

TEST(LoopWalkTest, TheWalkStaysInTheClipAndBlendsEveryJump)
{
    const Parameters parameters;
    const double fade = static_cast<double>(parameters.crossfadeFrames);
    for (const auto& [name, distances, count] : {std::tuple{"drift", distancesOf(150, drift), std::int64_t{150}},
                                                 std::tuple{"random", randomDistances(90, 3), std::int64_t{90}}}) {
        SCOPED_TRACE(name);
        const TransitionTable table = buildTransitionTable(distances, count, parameters);
        const std::vector<Step> steps = walk(table, 42, 10'000);
        int jumps = 0;
        std::set<std::int64_t> seen{steps[0].frame};
        for (std::size_t t = 1; t < steps.size(); ++t) {
            const Step& before = steps[t - 1];
            const Step& step = steps[t];
            ASSERT_GE(step.frame, 0);
            ASSERT_LT(step.frame, count);
            seen.insert(step.frame);
            if (!step.partner) {
                ASSERT_EQ(step.frame, before.frame + 1) << "a jump without a crossfade at " << t;
                continue;
            }
            ASSERT_GE(*step.partner, 0);
            ASSERT_LT(*step.partner, count);
            const bool starts = !before.partner || before.partnerWeight <= 1 / (fade + 1) + 1e-12;
            if (starts) {
                // The jump: a kept transition, the left path continuing under it.
                ++jumps;
                const Transition* transition = findTransition(table, before.frame, step.frame);
                ASSERT_NE(transition, nullptr) << before.frame << " -> " << step.frame;
                EXPECT_LT(transition->cost, table.thresholds[static_cast<std::size_t>(before.frame)]);
                EXPECT_EQ(*step.partner, std::min(before.frame + 1, count - 1));
                EXPECT_DOUBLE_EQ(step.partnerWeight, fade / (fade + 1));
            } else {
                // Inside it: both paths run on, the left one fading by 1 / (frames + 1) a tick.
                EXPECT_EQ(step.frame, before.frame + 1);
                EXPECT_EQ(*step.partner, std::min(*before.partner + 1, count - 1));
                EXPECT_NEAR(step.partnerWeight, before.partnerWeight - 1 / (fade + 1), 1e-12);
            }
        }
        // About one jump per 45 frames away from the end, plus the ones the end forces.
        EXPECT_GT(jumps, 10'000 / 45 / 2);
        EXPECT_LT(jumps, 10'000 / 45 * 3);
        EXPECT_EQ(static_cast<std::int64_t>(seen.size()), count) << "every frame is shown";
    }
}

TEST(LoopWalkTest, NoStretchShorterThanTheClipRepeatsBackToBack)
{
    for (const auto& [name, distances, count] : {std::tuple{"drift", distancesOf(150, drift), std::int64_t{150}},
                                                 std::tuple{"random", randomDistances(60, 11), std::int64_t{60}}}) {
        SCOPED_TRACE(name);
        const TransitionTable table = buildTransitionTable(distances, count);
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const std::vector<Step> steps = walk(table, seed, 10'000);
            // A jump back by p frames shows p frames twice running: a run of p frames equal to
            // the frames p before them. Taking the same jump back again would make the run longer:
            // the cycle repeating.
            for (std::int64_t period = 1; period < count; ++period) {
                std::int64_t run = 0, longest = 0;
                for (std::size_t t = static_cast<std::size_t>(period); t < steps.size(); ++t) {
                    run = steps[t].frame == steps[t - static_cast<std::size_t>(period)].frame ? run + 1 : 0;
                    longest = std::max(longest, run);
                }
                EXPECT_LE(longest, period) << "seed " << seed << ": a cycle of " << period << " frames repeats";
            }
        }
    }
}

TEST(LoopWalkTest, RestartingDropsTheCrossfadeAndKeepsToTheClip)
{
    const TransitionTable table = buildTransitionTable(distancesOf(150, drift), 150);
    Walker walker(std::make_shared<const TransitionTable>(table), 5, 500);
    EXPECT_EQ(walker.next().frame, 149);
    Step step;
    do
        step = walker.next();
    while (!step.partner);
    walker.restartAt(20);
    EXPECT_EQ(walker.next(), (Step{20, std::nullopt, 0}));
    const Step after = walker.next();
    EXPECT_TRUE(after.frame == 21 || after.partner == 21);
}

} // namespace
} // namespace quellon
