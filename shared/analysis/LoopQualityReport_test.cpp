#include "analysis/LoopMetrics.h"
#include "analysis/LoopQualityReport.h"

#include <gtest/gtest.h>
#include <cmath>
#include <limits>

namespace quellon {
namespace {

using Hint = LoopQualityReport::Hint;
using Grade = LoopQualityReport::Grade;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(LoopQualityReport, HintsFollowStrictThresholdsInOrder)
{
    struct Case {
        const char* what;
        double brightness, motion, jump;
        std::vector<Hint> hints;
        Grade grade;
    };
    const Case cases[] = {
        {"each exactly at its threshold", 0.12, 0.004, 0.18, {}, Grade::a},
        {"everything wrong", 0.05, 0.002, 0.5, {Hint::tooDark, Hint::lowMotion, Hint::largeBoundaryJump}, Grade::c},
        {"only the jump", 0.5, 0.05, 0.19, {Hint::largeBoundaryJump}, Grade::b},
        {"only dark", 0.1, 0.05, 0.0, {Hint::tooDark}, Grade::b},
        {"dark and still", 0.1, 0.001, 0.0, {Hint::tooDark, Hint::lowMotion}, Grade::c},
        {"NaN trips nothing", nan, nan, nan, {}, Grade::a},
    };
    for (const Case& c : cases) {
        const LoopQualityReport report = LoopQualityReport::evaluate(c.brightness, c.motion, c.jump);
        EXPECT_EQ(report.hints, c.hints) << c.what;
        EXPECT_EQ(report.grade(), c.grade) << c.what;
        EXPECT_EQ(report.isHealthy(), c.hints.empty()) << c.what;
    }
    const LoopQualityReport stored = LoopQualityReport::evaluate(0.2, 0.01, 0.1);
    EXPECT_EQ(stored, (LoopQualityReport{0.2, 0.01, 0.1, {}})) << "inputs are stored unchanged";
}

// A loop under 3 s needs another take however good it looks otherwise.
TEST(LoopQualityReport, TooShortALoopIsAlwaysGradedC)
{
    const struct {
        double seconds;
        std::vector<Hint> hints;
        Grade grade;
    } cases[] = {
        {0.04, {Hint::tooShort}, Grade::c},
        {2.0, {Hint::tooShort}, Grade::c},
        {2.999, {Hint::tooShort}, Grade::c},
        {3.0 - 1e-9, {}, Grade::a}, // frame times summed in floating point
        {3.0, {}, Grade::a},
        {15.0, {}, Grade::a},
        {nan, {Hint::tooShort}, Grade::c},
    };
    for (const auto& c : cases) {
        const LoopQualityReport report = LoopQualityReport::evaluate(0.5, 0.05, 0.0, c.seconds);
        EXPECT_EQ(report.hints, c.hints) << c.seconds;
        EXPECT_EQ(report.grade(), c.grade) << c.seconds;
    }
    // Listed after the other problems, and the score still weighs only the metrics.
    const LoopQualityReport dark = LoopQualityReport::evaluate(0.05, 0.05, 0.0, 1.0);
    EXPECT_EQ(dark.hints, (std::vector<Hint>{Hint::tooDark, Hint::tooShort}));
    EXPECT_EQ(dark.score(), LoopQualityReport::evaluate(0.05, 0.05, 0.0).score());
}

TEST(LoopQualityReport, ScoreWeighsMetricsAndRoundsHalvesAwayFromZero)
{
    struct Case {
        double brightness, motion, jump;
        std::int64_t score;
    };
    const Case cases[] = {
        {0.3, 0.02, 0, 100},
        {0.15, 0.01, 0.15, 50},
        {0.3, 0.01, 0.3, 58},     // 57.5
        {0, 0, 0.6, 0},           // the jump is clamped to 1 from above
        {1, 1, 0, 100},           // so are motion and brightness
        {0.0, 0.0, 0.0, 25},
        {0, 0, 0.15, 13},         // 12.5: away from zero, not to even
        {-0.3, 0, 0.3, -40},      // a negative input lowers the score
        {0, -0.01, 0.3, -18},     // -17.5: away from zero, not up
        {nan, 0.02, 0, 100},      // a NaN quotient counts as 1
    };
    for (const Case& c : cases)
        EXPECT_EQ(LoopQualityReport::evaluate(c.brightness, c.motion, c.jump).score(), c.score)
            << c.brightness << " " << c.motion << " " << c.jump;
    // The hints do not enter the score.
    LoopQualityReport report = LoopQualityReport::evaluate(0.3, 0.02, 0);
    report.hints = {Hint::tooDark, Hint::lowMotion};
    EXPECT_EQ(report.score(), 100);
}

TEST(LoopQualityReport, HintsAndGradesCarryTheirTexts)
{
    EXPECT_EQ(LoopQualityReport::message(Hint::tooDark),
              "This loop looks dark \xE2\x80\x94 try better lighting for a more natural feel.");
    EXPECT_EQ(LoopQualityReport::message(Hint::lowMotion),
              "Very little movement \xE2\x80\x94 the loop may look frozen. Blink and shift slightly while recording.");
    EXPECT_EQ(LoopQualityReport::message(Hint::largeBoundaryJump),
              "The start and end differ a lot, so a Forward loop may show a visible jump. Ping-pong (the default) "
              "hides this, or trim to a steadier section.");
    const std::pair<Grade, const char*> titles[] = {
        {Grade::a, "Great loop"}, {Grade::b, "Good loop"}, {Grade::c, "Needs another take"}};
    for (const auto& [grade, title] : titles) {
        EXPECT_EQ(LoopQualityReport::title(grade), title);
        EXPECT_EQ(LoopQualityReport::gradeFromRawValue(LoopQualityReport::rawValue(grade)), grade);
    }
    for (Hint hint : LoopQualityReport::allHints)
        EXPECT_EQ(LoopQualityReport::hintFromRawValue(LoopQualityReport::rawValue(hint)), hint);
    EXPECT_EQ(LoopQualityReport::rawValue(Grade::b), "B");
    EXPECT_EQ(LoopQualityReport::rawValue(Hint::largeBoundaryJump), "largeBoundaryJump");
    EXPECT_EQ(LoopQualityReport::rawValue(Hint::tooShort), "tooShort");
    EXPECT_EQ(LoopQualityReport::message(Hint::tooShort),
              "This loop is shorter than 3 seconds, so its repeats are easy to notice. Record at least 3 seconds.");
    for (const char* raw : {"a", "D", "", "tooBright", "TooDark", "lowMotion "}) {
        EXPECT_EQ(LoopQualityReport::gradeFromRawValue(raw), std::nullopt) << raw;
        EXPECT_EQ(LoopQualityReport::hintFromRawValue(raw), std::nullopt) << raw;
    }
}

TEST(LoopMetrics, ReduceSignaturesToBrightnessMotionAndJump)
{
    const FrameSignature a{0.2, 0.4}, b{0.2, 0.4}, c{0.6, 0.8};
    EXPECT_DOUBLE_EQ(LoopMetrics::frameDifference(a, c), 0.4);
    EXPECT_EQ(LoopMetrics::frameDifference({}, c), 0);
    EXPECT_EQ(LoopMetrics::frameDifference(a, {0.1}), 0);

    EXPECT_EQ(LoopMetrics::averageMotion({}), 0);
    EXPECT_EQ(LoopMetrics::averageMotion({c}), 0);
    EXPECT_DOUBLE_EQ(LoopMetrics::averageMotion({a, b, c}), 0.2) << "only the last differs: d / 2";
    EXPECT_EQ(LoopMetrics::averageMotion({a, {}, c}), 0) << "both pairs add 0, divisor 2";
    EXPECT_DOUBLE_EQ(LoopMetrics::averageMotion({a, c, a, c}), 0.4);

    EXPECT_EQ(LoopMetrics::boundaryJump({}), 0);
    EXPECT_EQ(LoopMetrics::boundaryJump({c}), 0);
    EXPECT_DOUBLE_EQ(LoopMetrics::boundaryJump({a, c, b}), 0) << "first against last only";
    EXPECT_DOUBLE_EQ(LoopMetrics::boundaryJump({a, b, c}), 0.4);

    EXPECT_EQ(LoopMetrics::meanLuminance({}), 0);
    EXPECT_DOUBLE_EQ(LoopMetrics::meanLuminance({0.1, 0.2, 0.6}), 0.3);
}

} // namespace
} // namespace quellon
