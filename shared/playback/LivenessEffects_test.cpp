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
#include <utility>

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

TEST(LoopJitter, HoldsAlternateWithNormalFramesAndProbabilityIsClamped)
{
    EXPECT_EQ(holds(LoopJitter(1, 0, 42), 6), (std::vector<bool>{true, false, true, false, true, false}));
    // With a gap of 3, two more normal frames pass after each hold's follow-up.
    EXPECT_EQ(holds(LoopJitter(1, 3, 42), 9),
              (std::vector<bool>{true, false, false, false, true, false, false, false, true}));
    EXPECT_EQ(holds(LoopJitter::disabled(), 100), std::vector<bool>(100, false));
    EXPECT_FALSE(LoopJitter::disabled().isActive());
    EXPECT_EQ(LoopJitter(1.5, 0, 0).holdProbability(), 1.0);
    EXPECT_EQ(LoopJitter(-0.5, 0, 0).holdProbability(), 0.0);
    EXPECT_EQ(LoopJitter(std::nan(""), 0, 0).holdProbability(), 0.0);

    // The gentle preset draws on its very first call.
    auto gentle = LoopJitter::gentle(1);
    const bool held = gentle.shouldHold();
    EXPECT_EQ(gentle.framesSinceHold(), 16);
    EXPECT_NE(gentle.rng(), SplitMix64(1));
    EXPECT_EQ(held, gentle.holdingNow());
}

TEST(SimulatedLag, StallsKeepTheirLengthsAndGapsAndClampTheirRange)
{
    const auto answers = holds(SimulatedLag(1, 6, 6, 60, 9), 72);
    for (int call = 1; call <= 72; ++call)
        EXPECT_EQ(answers[call - 1], call <= 6 || call >= 67) << "call " << call;

    // A gap of 1 puts exactly one normal frame between stalls.
    SimulatedLag lag(1, 2, 5, 1, 1234);
    int run = 0;
    std::set<int> lengths;
    for (int i = 0; i < 2000; ++i)
        if (lag.shouldHold())
            ++run;
        else if (run > 0)
            lengths.insert(std::exchange(run, 0));
    EXPECT_EQ(lengths, (std::set<int>{2, 3, 4, 5}));

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

TEST(AliveMotion, DriftStaysWithinItsAmplitudeAndAdvancesThePhase)
{
    EXPECT_EQ(AliveMotion(0.5, 10, 0).amplitude(), 0.08);
    EXPECT_EQ(AliveMotion(-1, 10, 0).amplitude(), 0);
    EXPECT_EQ(AliveMotion(0.01, 0.25, 0).periodFrames(), 1);
    EXPECT_DOUBLE_EQ(AliveMotion::disabled().phase(), 4.734380128959818);
    EXPECT_DOUBLE_EQ(AliveMotion::disabled().detune(), 0.366);

    auto motion = AliveMotion::gentle(99);
    const double start = motion.phase();
    motion.nextFactor();
    const double step = 2 * std::numbers::pi / 240;
    EXPECT_NEAR(std::fmod(motion.phase() - start + 2 * std::numbers::pi, 2 * std::numbers::pi), step, 1e-12);
    double low = 2, high = 0;
    for (int i = 0; i < 2000; ++i) {
        const double f = motion.nextFactor();
        low = std::min(low, f), high = std::max(high, f);
        ASSERT_TRUE(motion.phase() > 0 && motion.phase() <= 2 * std::numbers::pi) << motion.phase();
    }
    EXPECT_TRUE(low >= 1 - 0.035 && low < 0.99) << low;
    EXPECT_TRUE(high <= 1 + 0.035 && high > 1.01) << high;

    auto still = AliveMotion::disabled();
    EXPECT_EQ(still.nextFactor(), 1.0);
    EXPECT_EQ(still, AliveMotion::disabled()) << "a still motion does not change";
}

TEST(AliveMotion, BrightnessTableOverAllInputs)
{
    // Reference values in integer arithmetic, rounding halves up.
    const struct { double factor; int (*expected)(int); } cases[] = {
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

/// Every byte value in every channel, against the table, for factors from a real drift and
/// beyond its range: the fast per-row path must agree with the table exactly and leave alpha,
/// padding and the input alone.
TEST(AliveMotion, ApplyBrightnessMatchesTheTableForEveryByte)
{
    auto frame = testing::makeFrame(256, 4, [](int x, int y) {
        const auto v = static_cast<std::uint8_t>(x);
        return Pixel{v, static_cast<std::uint8_t>(255 - x), static_cast<std::uint8_t>(x * 7 + y), static_cast<std::uint8_t>(y * 60)};
    }, 2048);
    for (double tiny : {1.0004, 0.9996, std::nan("")})
        EXPECT_EQ(AliveMotion::applyBrightness(tiny, frame), frame) << tiny;
    auto grey = PixelBuffer::create(3, 2, kPixelFormatGray8);
    EXPECT_EQ(AliveMotion::applyBrightness(1.1, grey), grey);
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
