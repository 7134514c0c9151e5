#include "playback/AliveMotion.h"
#include "playback/LightDrift.h"
#include "playback/LoopJitter.h"
#include "playback/SimulatedLag.h"
#include "playback/SplitMix64.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(AliveMotion, LightStaysWithinItsBoundsAndChangesSlowly)
{
    EXPECT_EQ(AliveMotion(0.5, 1, 600, 0).amplitude(), AliveMotion::maxAmplitude);
    EXPECT_EQ(AliveMotion(0.5, 1, 600, 0).tilt(), AliveMotion::maxTilt);
    const AliveMotion invalid(std::nan(""), -1, std::nan(""), 0);
    EXPECT_EQ(invalid.amplitude(), 0);
    EXPECT_EQ(invalid.tilt(), 0);
    EXPECT_EQ(invalid.periodFrames(), 30);
    EXPECT_EQ(AliveMotion(0.01, 0, 2, 0).periodFrames(), 30);

    auto motion = AliveMotion::gentle(99);
    const double amplitude = motion.amplitude(), tilt = motion.tilt();
    ASSERT_GT(amplitude, 0);
    ASSERT_GT(tilt, 0);
    LightField previous = motion.nextLight();
    double lowGain = 2, highGain = 0, highTilt = 0, fastest = 0;
    for (int i = 0; i < 10000; ++i) {
        const LightField light = motion.nextLight();
        ASSERT_LE(std::fabs(light.gain - 1), amplitude) << i;
        ASSERT_LE(std::max(std::fabs(light.tiltX), std::fabs(light.tiltY)), tilt) << i;
        lowGain = std::min(lowGain, light.gain), highGain = std::max(highGain, light.gain);
        highTilt = std::max({highTilt, std::fabs(light.tiltX), std::fabs(light.tiltY)});
        for (double u : {-0.5, 0.5})
            for (double v : {-0.5, 0.5})
                fastest = std::max(fastest, std::fabs(light.factorAt(u, v) - previous.factorAt(u, v)));
        previous = light;
    }
    EXPECT_EQ(motion.tick(), 10001);
    // It uses its range, ...
    EXPECT_LT(lowGain, 1 - amplitude / 2);
    EXPECT_GT(highGain, 1 + amplitude / 2);
    EXPECT_GT(highTilt, tilt / 2);
    // ... but slowly: even a corner, where gain and tilts add up, changes by less than 3.5 %
    // a second at 30 fps (the sines' slopes all at their steepest and in step). No step, no
    // flicker.
    EXPECT_LT(fastest, 0.035 / 30);

    auto still = AliveMotion::disabled();
    EXPECT_FALSE(still.isActive());
    EXPECT_EQ(still.nextLight(), LightField{});
    EXPECT_EQ(still, AliveMotion::disabled()) << "a still light does not change";
}

TEST(AliveMotion, LightIsSeededAndNeverSettlesIntoAPeriod)
{
    auto a = AliveMotion::gentle(5), b = AliveMotion::gentle(5), c = AliveMotion::gentle(6);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        const LightField light = a.nextLight();
        ASSERT_EQ(light, b.nextLight());
        differs = differs || light != c.nextLight();
    }
    EXPECT_TRUE(differs) << "another seed gives another light";

    // The mean distance between the light now and `lag` ticks later, for every lag up to far
    // beyond any clip's length. Once the light has moved away from where it was, it must not
    // come back: a period, or a near one, shows as a lag where the distance falls again.
    constexpr int ticks = 10000, longestLag = 5000;
    std::vector<LightField> lights;
    for (int i = 0; i < ticks; ++i)
        lights.push_back(a.nextLight());
    auto distance = [](const LightField& x, const LightField& y) {
        // Tilts reach half their value at an edge.
        return std::hypot(x.gain - y.gain, (x.tiltX - y.tiltX) / 2, (x.tiltY - y.tiltY) / 2);
    };
    std::vector<double> means;
    for (int lag = 1; lag <= longestLag; ++lag) {
        double sum = 0;
        for (int t = 0; t + lag < ticks; ++t)
            sum += distance(lights[static_cast<std::size_t>(t)], lights[static_cast<std::size_t>(t + lag)]);
        means.push_back(sum / (ticks - lag));
    }
    std::vector<double> sorted = means;
    std::sort(sorted.begin(), sorted.end());
    const double typical = sorted[sorted.size() / 2];
    const auto away = std::find_if(means.begin(), means.end(), [&](double mean) { return mean >= typical; });
    ASSERT_NE(away, means.end());
    const auto movedAwayAfter = away - means.begin() + 1;
    EXPECT_LT(movedAwayAfter, 30 * 20) << "the light moves away within a clip's length";
    for (auto it = away; it != means.end(); ++it)
        ASSERT_GT(*it, 0.5 * typical) << "the light comes back after " << (it - means.begin() + 1) << " ticks";
}

/// Every pixel against the field's factor there, for a tilted field and a flat one: alpha,
/// padding and the input stay as they were, and a field that cannot be applied leaves the frame.
TEST(LightDrift, ScalesEachPixelByTheFieldThere)
{
    constexpr int width = 61, height = 6; // an odd width leaves a tail after the vector loop
    auto frame = testing::makeFrame(width, height, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(4 * x), static_cast<std::uint8_t>(255 - 3 * x),
                     static_cast<std::uint8_t>(40 * y + x), static_cast<std::uint8_t>(y * 50)};
    }, 512);
    const auto before = testing::pixelOf(*frame, 10, 3);
    for (const LightField field : {LightField{1.03, 0.16, -0.12}, LightField{0.95, -0.08, 0.0}, LightField{1.2, 0.0, 0.3}}) {
        const auto out = LightDrift::apply(field, frame);
        ASSERT_NE(out, frame);
        auto in = frame->lockForReading();
        auto lit = out->lockForReading();
        for (int y = 0; y < height; ++y) {
            const double v = (y + 0.5) / height - 0.5;
            for (int x = 0; x < width; ++x) {
                const double factor = field.factorAt((x + 0.5) / width - 0.5, v);
                for (int c = 0; c < 3; ++c) {
                    const double expected = std::min(255.0, in.row(y)[4 * x + c] * factor);
                    // The nearest whole value, or its neighbour for a product a hair from a half.
                    ASSERT_NEAR(lit.row(y)[4 * x + c], expected, 0.51 + 1.0 / 128) << x << "," << y << " channel " << c;
                }
                ASSERT_EQ(lit.row(y)[4 * x + 3], in.row(y)[4 * x + 3]);
            }
            for (std::size_t x = width * 4; x < out->bytesPerRow(); ++x)
                ASSERT_EQ(lit.row(y)[x], 0xEE);
        }
    }
    EXPECT_EQ(testing::pixelOf(*frame, 10, 3), before);

    const auto flat = LightDrift::apply(LightField{1.05, 0, 0}, frame);
    const auto brightened = AliveMotion::applyBrightness(1.05, frame);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(testing::pixelOf(*flat, x, y), testing::pixelOf(*brightened, x, y));

    for (const LightField unusable : {LightField{}, LightField{std::nan(""), 0.1, 0}, LightField{1, 0, std::nan("")},
                                      LightField{1.9, 0.4, 0}, LightField{0.1, 0.3, 0}, LightField{1.98, 0, 0.04}})
        EXPECT_EQ(LightDrift::apply(unusable, frame), frame) << unusable.gain << " " << unusable.tiltX;
    auto grey = PixelBuffer::create(3, 2, kPixelFormatGray8);
    EXPECT_EQ(LightDrift::apply(LightField{1, 0.1, 0}, grey), grey);
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
    auto motion = AliveMotion(0.08, 0, 30, 5);
    for (int i = 0; i < 60; ++i)
        factors.push_back(motion.nextLight().gain);
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
