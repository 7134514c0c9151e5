#include "analysis/RecordingGuidance.h"
#include "analysis/TrimMath.h"

#include <gtest/gtest.h>
#include <cmath>
#include <limits>

namespace quellon {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(TrimMath, ResolvesRequestedWindowsIntoTheRecording)
{
    struct Case {
        const char* what;
        double start, end, duration, maxDuration;
        TrimMath::Window expected;
    };
    const Case cases[] = {
        {"no recording", 1, 2, 0, 15, {0, 0}},
        {"negative duration", 1, 2, -4, 15, {0, 0}},
        {"NaN duration", 1, 2, nan, 15, {0, 0}},
        {"short recording used whole", 1, 2, 2.5, 15, {0, 2.5}},
        {"recording of exactly the minimum", 1, 2, 3, 15, {0, 3}},
        {"both handles negative", -5, -1, 20, 15, {0, 3}},
        {"crossed handles exchanged", 12, 4, 20, 15, {4, 12}},
        {"too long: the end moves in", 2, 19, 20, 15, {2, 17}},
        {"too short: the end moves out", 5, 6, 20, 15, {5, 8}},
        {"too short at the end: the start moves back", 18.5, 19.5, 20, 15, {17, 20}},
        {"end beyond the recording", -1, 25, 10, 15, {0, 10}},
        {"exactly the minimum is kept", 4, 7, 20, 15, {4, 7}},
        {"exactly the maximum is kept", 1, 16, 20, 15, {1, 16}},
        {"maximum below the minimum", 0, 10, 20, 1, {0, 3}},
        {"NaN handles count as 0", nan, nan, 20, 15, {0, 3}},
        {"start beyond the end of the recording", 30, 40, 20, 15, {17, 20}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrimMath::resolve(c.start, c.end, c.duration, c.maxDuration), c.expected) << c.what;
        EXPECT_DOUBLE_EQ(TrimMath::resolvedDuration(c.start, c.end, c.duration, c.maxDuration),
                         c.expected.end - c.expected.start)
            << c.what;
    }
}

TEST(RecordingGuidance, JudgesLightBeforeTheFace)
{
    using Hint = RecordingGuidance::Hint;
    struct Case {
        double luminance;
        bool face;
        std::optional<Hint> expected;
    };
    const Case cases[] = {
        {0.05, false, Hint::tooDark},
        {0.05, true, Hint::tooDark},
        {0.95, true, Hint::tooBright},
        {0.5, false, Hint::noFaceDetected},
        {0.5, true, std::nullopt},
        {0.12, true, std::nullopt},
        {0.9, true, std::nullopt},
        {nan, true, std::nullopt},
        {nan, false, Hint::noFaceDetected},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RecordingGuidance::evaluate(c.luminance, c.face), c.expected) << c.luminance << " " << c.face;
}

TEST(RecordingGuidance, MessagesAreTheUsersOwnWords)
{
    using Hint = RecordingGuidance::Hint;
    EXPECT_EQ(RecordingGuidance::message(Hint::tooDark), "Move into better light");
    EXPECT_EQ(RecordingGuidance::message(Hint::tooBright), "Too bright \xE2\x80\x94 try softer or indirect light");
    EXPECT_EQ(RecordingGuidance::message(Hint::noFaceDetected), "Center yourself in frame");
}

} // namespace
} // namespace quellon
