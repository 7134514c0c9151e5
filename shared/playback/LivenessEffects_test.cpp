#include "playback/AliveMotion.h"
#include "playback/LoopJitter.h"
#include "playback/SimulatedLag.h"
#include "playback/SplitMix64.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <set>

namespace quellon {
namespace {

using testing::Pixel;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::vector<bool> holds(auto effect, int calls)
{
    std::vector<bool> answers;
    for (int i = 0; i < calls; ++i)
        answers.push_back(effect.shouldHold());
    return answers;
}

TEST(SplitMix64, KnownOutputsForSeedZero)
{
    SplitMix64 rng(0);
    EXPECT_EQ(rng.next(), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(rng.next(), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(rng.next(), 0x06C45D188009454FULL);
    EXPECT_EQ(rng.state, 3 * 0x9E3779B97F4A7C15ULL);
}

TEST(LoopJitter, PresetsAndClamping)
{
    const auto disabled = LoopJitter::disabled();
    EXPECT_FALSE(disabled.isActive());
    EXPECT_EQ(disabled.minGapFrames(), kMax);
    EXPECT_EQ(disabled.framesSinceHold(), kMax);
    EXPECT_EQ(disabled.rng().state, 0u);
    EXPECT_EQ(LoopJitter(1.5, 0, 0).holdProbability(), 1.0);
    EXPECT_EQ(LoopJitter(-0.5, 0, 0).holdProbability(), 0.0);
    EXPECT_EQ(LoopJitter(std::nan(""), 0, 0).holdProbability(), 0.0);
}

TEST(LoopJitter, CertainHoldsAlternateWithNormalFrames)
{
    EXPECT_EQ(holds(LoopJitter(1, 0, 42), 6), (std::vector<bool>{true, false, true, false, true, false}));
    // With a gap of 3, two more normal frames pass after each hold's follow-up.
    EXPECT_EQ(holds(LoopJitter(1, 3, 42), 9),
              (std::vector<bool>{true, false, false, false, true, false, false, false, true}));
    EXPECT_EQ(holds(LoopJitter::disabled(), 100), std::vector<bool>(100, false));
}

TEST(LoopJitter, GentleCanHoldOnItsFirstCall)
{
    auto jitter = LoopJitter::gentle(1);
    const bool held = jitter.shouldHold();
    EXPECT_EQ(jitter.framesSinceHold(), 16);
    // A draw was made on the very first call.
    EXPECT_NE(jitter.rng(), SplitMix64(1));
    EXPECT_EQ(held, jitter.holdingNow());
}

TEST(SimulatedLag, StallsOfSixWithAGapOfSixty)
{
    const auto answers = holds(SimulatedLag(1, 6, 6, 60, 9), 72);
    for (int call = 1; call <= 72; ++call) {
        const bool expected = call <= 6 || call >= 67;
        EXPECT_EQ(answers[call - 1], expected) << "call " << call;
    }
}

TEST(SimulatedLag, StallLengthsStayWithinTheirRange)
{
    // A gap of 1 puts exactly one normal frame between stalls.
    SimulatedLag lag(1, 2, 5, 1, 1234);
    int run = 0;
    std::set<int> lengths;
    for (int i = 0; i < 2000; ++i) {
        if (lag.shouldHold()) {
            ++run;
        } else if (run > 0) {
            lengths.insert(run);
            run = 0;
        }
    }
    EXPECT_EQ(lengths, (std::set<int>{2, 3, 4, 5}));
}

TEST(SimulatedLag, PresetsAndClamping)
{
    const SimulatedLag negative(0.5, -3, -1, 10, 0);
    EXPECT_EQ(negative.minStallFrames(), 0);
    EXPECT_EQ(negative.maxStallFrames(), 0);
    EXPECT_FALSE(negative.isActive());
    EXPECT_EQ(holds(negative, 50), std::vector<bool>(50, false));
    EXPECT_EQ(SimulatedLag(0.5, 8, 3, 10, 0).maxStallFrames(), 8);
    EXPECT_FALSE(SimulatedLag::disabled().isActive());
    EXPECT_EQ(holds(SimulatedLag::disabled(), 100), std::vector<bool>(100, false));
    // The largest possible stall range must not overflow.
    SimulatedLag huge(1, 0, kMax, 0, 5);
    EXPECT_TRUE(huge.shouldHold());
    EXPECT_GE(huge.stallRemaining(), 0);
}

TEST(AliveMotion, PresetsAndClamping)
{
    const auto disabled = AliveMotion::disabled();
    EXPECT_EQ(disabled.amplitude(), 0);
    EXPECT_EQ(disabled.periodFrames(), 1);
    EXPECT_DOUBLE_EQ(disabled.phase(), 4.734380128959818);
    EXPECT_DOUBLE_EQ(disabled.detune(), 0.366);
    EXPECT_EQ(AliveMotion(0.5, 10, 0).amplitude(), 0.08);
    EXPECT_EQ(AliveMotion(-1, 10, 0).amplitude(), 0);
    EXPECT_EQ(AliveMotion(0.01, 0.25, 0).periodFrames(), 1);
}

TEST(AliveMotion, DriftStaysWithinItsAmplitudeAndAdvancesThePhase)
{
    auto motion = AliveMotion::gentle(99);
    const double start = motion.phase();
    motion.nextFactor();
    const double step = 2 * std::numbers::pi / 240;
    EXPECT_NEAR(std::fmod(motion.phase() - start + 2 * std::numbers::pi, 2 * std::numbers::pi), step, 1e-12);
    double low = 2, high = 0;
    for (int i = 0; i < 2000; ++i) {
        const double f = motion.nextFactor();
        low = std::min(low, f);
        high = std::max(high, f);
        ASSERT_GT(motion.phase(), 0);
        ASSERT_LE(motion.phase(), 2 * std::numbers::pi);
    }
    EXPECT_GE(low, 1 - 0.035);
    EXPECT_LE(high, 1 + 0.035);
    EXPECT_LT(low, 0.99);
    EXPECT_GT(high, 1.01);

    auto still = AliveMotion::disabled();
    EXPECT_EQ(still.nextFactor(), 1.0);
    EXPECT_EQ(still, AliveMotion::disabled());
}

TEST(AliveMotion, BrightnessTableOverAllInputs)
{
    // Reference values in integer arithmetic, rounding halves up.
    const struct {
        double factor;
        int (*expected)(int);
    } cases[] = {
        {1.1, [](int i) { return std::min(255, (11 * i + 5) / 10); }},
        {0.9, [](int i) { return (9 * i + 5) / 10; }},
        {0.5, [](int i) { return (i + 1) / 2; }},
        {1.0, [](int i) { return i; }},
        {3.0, [](int i) { return std::min(255, 3 * i); }},
        {-0.5, [](int) { return 0; }},
        {0.0, [](int) { return 0; }},
    };
    for (const auto& c : cases) {
        const auto table = AliveMotion::brightnessLUT(c.factor);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(table[static_cast<std::size_t>(i)], c.expected(i)) << "factor " << c.factor << ", input " << i;
    }
}

TEST(AliveMotion, ApplyBrightnessScalesColourKeepsAlphaAndSkipsTinyFactors)
{
    auto frame = testing::makeFrame(3, 2, [](int x, int y) {
        return Pixel{200, 250, static_cast<std::uint8_t>(x * 100), static_cast<std::uint8_t>(y * 100 + 7)};
    });
    EXPECT_EQ(AliveMotion::applyBrightness(1.0004, frame), frame);
    EXPECT_EQ(AliveMotion::applyBrightness(0.9996, frame), frame);
    EXPECT_EQ(AliveMotion::applyBrightness(std::nan(""), frame), frame);
    auto grey = PixelBuffer::create(3, 2, kPixelFormatGray8);
    EXPECT_EQ(AliveMotion::applyBrightness(1.1, grey), grey);

    auto brighter = AliveMotion::applyBrightness(1.1, frame);
    ASSERT_NE(brighter, frame);
    EXPECT_EQ(testing::pixelOf(*brighter, 0, 0), (Pixel{220, 255, 0, 7}));
    EXPECT_EQ(testing::pixelOf(*brighter, 2, 1), (Pixel{220, 255, 220, 107}));
    EXPECT_EQ(testing::pixelOf(*frame, 0, 0), (Pixel{200, 250, 0, 7})) << "the input stays as it was";
}

/// Every byte value in every channel, against the table, for factors from a real drift and
/// beyond its range: the fast per-row path must agree with the table exactly.
TEST(AliveMotion, ApplyBrightnessMatchesTheTableForEveryByte)
{
    auto frame = testing::makeFrame(256, 4, [](int x, int y) {
        const auto v = static_cast<std::uint8_t>(x);
        return Pixel{v, static_cast<std::uint8_t>(255 - x), static_cast<std::uint8_t>(x * 7 + y), static_cast<std::uint8_t>(y * 60)};
    }, 2048);
    std::vector<double> factors = {1.1, 0.9, 0.92, 1.08, 2.5, 0.25};
    auto motion = AliveMotion(0.08, 37, 5);
    for (int i = 0; i < 60; ++i)
        factors.push_back(motion.nextFactor());
    for (double factor : factors) {
        auto out = AliveMotion::applyBrightness(factor, frame);
        if (out == frame)
            continue;
        const auto table = AliveMotion::brightnessLUT(factor);
        auto in = frame->lockForReading();
        auto lo = out->lockForReading();
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 256 * 4; ++x) {
                const std::uint8_t expected = x % 4 == 3 ? in.row(y)[x] : table[in.row(y)[x]];
                ASSERT_EQ(lo.row(y)[x], expected) << "factor " << factor << ", byte " << x;
            }
            for (std::size_t x = 1024; x < out->bytesPerRow(); ++x)
                ASSERT_EQ(lo.row(y)[x], 0xEE);
        }
    }
}

} // namespace
} // namespace quellon
