#include "analysis/FaceDetector.h"
#include "analysis/LoopClipAnalysis.h"
#include "analysis/LoopMetrics.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace quellon {
namespace {

PixelBufferRef level(std::uint8_t value)
{
    return testing::makeFrame(640, 360, [value](int, int) { return testing::Pixel{value, value, value, value}; });
}

// Finds one face everywhere; its eyes are shut in frames whose grey level is below 110.
class FakeFaces final : public FaceDetector {
public:
    std::optional<std::vector<FaceObservation>> detect(const PixelBuffer& frame, Detail detail) override
    {
        ++(detail == Detail::landmarks ? landmarkCalls : boxCalls);
        FaceObservation face{{0.3, 0.3, 0.4, 0.4}, std::nullopt, std::nullopt};
        if (detail == Detail::landmarks) {
            const bool shut = frame.lockForReading().row(0)[0] < 110;
            const double height = shut ? 0.01 : 0.3;
            const std::vector<NormalizedPoint> eye{{0, 0}, {1, height}};
            face.landmarks = FaceLandmarks{eye, eye};
        }
        return std::vector<FaceObservation>{face};
    }
    int boxCalls = 0;
    int landmarkCalls = 0;
};

TEST(LoopClipAnalysis, SeamSkipsClosedEyesAndReportsTheWindow)
{
    // 50 frames at 10 fps whose brightness repeats every 40 frames: frame i matches i + 40.
    LoopClipAnalysis analysis;
    for (int i = 0; i < 50; ++i)
        analysis.add(*level(static_cast<std::uint8_t>(100 + (i % 40) * 3)), i / 10.0);
    ASSERT_EQ(analysis.frameCount(), 50);
    // Copies are made smaller, never larger: these 360 lines stay 360.
    static_assert(LoopClipAnalysis::kEyeFrameShortSide > 360);
    EXPECT_EQ(analysis.eyeFrame(0)->height(), 360);
    EXPECT_EQ(analysis.eyeFrame(50), nullptr);

    FakeFaces faces;
    int landmarkModelAsked = 0;
    const auto seam = analysis.seam(3, 15, faces, [&]() -> FaceDetector& {
        ++landmarkModelAsked;
        return faces;
    });
    ASSERT_TRUE(seam);
    // (0, 4.0) is the first perfect match, but frame 0 (level 100) has its eyes shut.
    EXPECT_DOUBLE_EQ(seam->start, 0.4);
    EXPECT_DOUBLE_EQ(seam->end, 4.4);
    EXPECT_NEAR(seam->boundaryJump, 0, 1e-12);
    EXPECT_GT(landmarkModelAsked, 0);

    std::vector<FrameSignature> window(analysis.signatures().begin() + 4, analysis.signatures().begin() + 45);
    const LoopQualityReport report = analysis.report(0.4, 4.4);
    EXPECT_DOUBLE_EQ(report.motion, LoopMetrics::averageMotion(window));
    EXPECT_NEAR(report.boundaryJump, 0, 1e-12);
    EXPECT_NEAR(report.brightness, LoopMetrics::meanLuminance([&] {
        std::vector<double> all;
        for (const auto& s : window)
            all.insert(all.end(), s.begin(), s.end());
        return all;
    }()), 1e-12);

    // No seam fits a window longer than the clip.
    EXPECT_EQ(analysis.seam(6, 15, faces, [&]() -> FaceDetector& { return faces; }), std::nullopt);
}

// Without grey copies the analysis holds no frame; the eye test reads again only the boundary
// frames of the best seams (at most 48, however long the clip) and chooses as with the copies.
TEST(LoopClipAnalysis, WithoutGreyCopiesTheEyeTestRereadsOnlyItsFrames)
{
    // 200 frames at 10 fps repeating every 40: many perfect seams, the first ones with shut eyes.
    auto levelAt = [](int i) { return static_cast<std::uint8_t>(100 + (i % 40) * 3); };
    LoopClipAnalysis kept, streamed{LoopClipAnalysis::EyeFrames::none};
    for (int i = 0; i < 200; ++i) {
        kept.add(*level(levelAt(i)), i / 10.0);
        streamed.add(*level(levelAt(i)), 2.5 + i / 10.0); // a recorder's clock need not start at 0
    }
    EXPECT_EQ(streamed.eyeFrame(0), nullptr);

    const std::vector<std::int64_t> wanted = streamed.eyeTestFrames(3, 15);
    EXPECT_LE(wanted.size(), 2u * LoopClipAnalysis::kMaxSeamCandidates);
    EXPECT_TRUE(std::is_sorted(wanted.begin(), wanted.end()));

    std::vector<double> asked;
    int handed = 0;
    auto source = [&](const std::vector<double>& times, const std::function<void(std::size_t, const PixelBuffer&)>& use) {
        asked = times;
        for (std::size_t k = 0; k < times.size(); ++k) {
            use(k, *level(levelAt(static_cast<int>(std::lround(times[k] * 10)))));
            ++handed;
        }
    };
    FakeFaces faces;
    auto landmarks = [&]() -> FaceDetector& { return faces; };
    const auto seam = streamed.seam(3, 15, faces, landmarks, source);
    ASSERT_EQ(asked.size(), wanted.size());
    for (std::size_t k = 0; k < wanted.size(); ++k)
        EXPECT_NEAR(asked[k], wanted[k] / 10.0, 1e-9);
    const auto withCopies = kept.seam(3, 15, faces, landmarks);
    ASSERT_TRUE(seam && withCopies);
    EXPECT_NEAR(seam->start - 2.5, withCopies->start, 1e-9);
    EXPECT_NEAR(seam->end - 2.5, withCopies->end, 1e-9);
    EXPECT_GE(levelAt(static_cast<int>(std::lround(withCopies->start * 10))), 110) << "open eyes at the start";

    // A source that finds nothing leaves the smallest jump, unchecked.
    const auto unchecked = streamed.seam(3, 15, faces, landmarks, [](const auto&, const auto&) {});
    ASSERT_TRUE(unchecked);
    EXPECT_DOUBLE_EQ(unchecked->start, 2.5);
}

// The window's length is its frames' count times their spacing: one frame has none.
TEST(LoopClipAnalysis, ReportCallsAWindowUnderThreeSecondsTooShort)
{
    LoopClipAnalysis analysis;
    for (int i = 0; i < 100; ++i)
        analysis.add(*level(static_cast<std::uint8_t>(100 + i % 7)), i / 25.0);
    const auto tooShort = [&](double start, double end) {
        const auto& hints = analysis.report(start, end).hints;
        return std::find(hints.begin(), hints.end(), LoopQualityReport::Hint::tooShort) != hints.end();
    };
    EXPECT_TRUE(tooShort(0, 0.02)) << "one frame";
    EXPECT_TRUE(tooShort(0, 1.96)) << "50 frames, 2 s";
    EXPECT_TRUE(tooShort(0, 2.90)) << "73 frames, 2.92 s";
    EXPECT_FALSE(tooShort(0, 2.96)) << "75 frames, 3 s";
    EXPECT_FALSE(tooShort(0, 10)) << "all 100 frames, 4 s";
    EXPECT_TRUE(tooShort(5, 10)) << "no frames";
    EXPECT_EQ(analysis.report(0, 0.02).grade(), LoopQualityReport::Grade::c);
}

TEST(LoopClipAnalysis, WithoutAFaceTheLandmarkModelIsNeverAsked)
{
    struct NoFaces final : FaceDetector {
        std::optional<std::vector<FaceObservation>> detect(const PixelBuffer&, Detail) override
        {
            return std::vector<FaceObservation>{};
        }
    } none;
    LoopClipAnalysis analysis;
    for (int i = 0; i < 40; ++i)
        analysis.add(*level(static_cast<std::uint8_t>(50 + i)), i / 10.0);
    bool asked = false;
    const auto seam = analysis.seam(3, 15, none, [&]() -> FaceDetector& {
        asked = true;
        return none;
    });
    ASSERT_TRUE(seam);
    EXPECT_FALSE(asked);
}

} // namespace
} // namespace quellon
