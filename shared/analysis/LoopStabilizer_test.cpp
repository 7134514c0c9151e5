#include "analysis/LoopStabilizer.h"

#include "analysis/AnalysisTestImages.h"
#include "playback/FramePool.h"
#include "playback/YuvFrames.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <thread>

namespace quellon {
namespace {

using LoopStabilizer::Offset;

TEST(LoopStabilizer, ClampAndCropMargin)
{
    const struct { Offset offset; double maxMagnitude; Offset expected; } clamps[] = {
        {{0.03, -0.04}, 0.05, {0.03, -0.04}},               // magnitude exactly at the limit
        {{0.03, -0.04}, std::nextafter(0.05, 0.0), {0, 0}}, // a hair above it: not corrected at all
        {{-0.01, 0.0}, 0.03, {-0.01, 0.0}},
        {{0.0, 0.0}, 0.0, {0.0, 0.0}},
    };
    for (const auto& c : clamps)
        EXPECT_EQ(LoopStabilizer::clampedOffset(c.offset, c.maxMagnitude), c.expected) << c.maxMagnitude;

    const struct { std::vector<Offset> offsets; Offset margin; } margins[] = {
        {{}, {0, 0}},
        {{{0.01, -0.03}, {-0.02, 0.01}}, {0.02, 0.03}},
        {{{0, 0}, {-0.05, 0}, {0.01, -0.001}}, {0.05, 0.001}},
    };
    for (const auto& c : margins)
        EXPECT_EQ(LoopStabilizer::cropMargin(c.offsets), c.margin) << c.offsets.size();
}

class LoopStabilizerOnAPhoto : public ::testing::Test {
protected:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;

    void SetUp() override
    {
        const cv::Mat photo = testing::astronaut();
        ASSERT_FALSE(photo.empty()) << "python3-skimage's astronaut.png is missing";
        cv::resize(photo, scene_, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
    }

    /// The scene with its content moved right by dx and down by dy pixels.
    PixelBufferRef moved(double dx, double dy) const { return testing::frameOf(testing::shifted(scene_, dx, dy)); }

    cv::Mat scene_;
};

TEST_F(LoopStabilizerOnAPhoto, MeasuresSubPixelShiftsAsTheMoveBackWithYUp)
{
    const auto reference = moved(0, 0);
    const std::pair<double, double> moves[] = {{0, 0}, {3.25, 0}, {0, 2.5}, {-4.75, 1.5}, {0.4, -0.3}, {-12.6, -7.2}, {20.3, 14.1}};
    for (const auto& [mx, my] : moves) {
        const auto offset = LoopStabilizer::detectOffset(*moved(mx, my), *reference);
        ASSERT_TRUE(offset) << mx << ", " << my;
        // Content moved right is moved back left; content moved down (y down) moves back up.
        EXPECT_NEAR(offset->dx * kWidth, -mx, 0.25) << mx << ", " << my;
        EXPECT_NEAR(offset->dy * kHeight, my, 0.25) << mx << ", " << my;
    }
}

/// Mean absolute difference of the inner parts of two frames, away from the edges.
double innerDifference(const PixelBuffer& a, const PixelBuffer& b)
{
    const cv::Rect inner(100, 100, a.width() - 200, a.height() - 200);
    cv::Mat difference;
    cv::absdiff(testing::matOf(a)(inner), testing::matOf(b)(inner), difference);
    const cv::Scalar mean = cv::mean(difference);
    return (mean[0] + mean[1] + mean[2]) / 3;
}

TEST_F(LoopStabilizerOnAPhoto, MovedFramesComeOutAlignedAndTheInputIsUntouched)
{
    const std::vector<PixelBufferRef> frames{moved(0, 0), moved(6.5, -3.25), moved(-9.75, 8.5), moved(2.25, 4.0)};
    std::vector<cv::Mat> before;
    for (const auto& frame : frames)
        before.push_back(testing::matOf(*frame));

    const auto result = LoopStabilizer::stabilize(frames, 0.03, 0.08);
    ASSERT_EQ(result.size(), frames.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
        ASSERT_NE(result[k], frames[k]) << k;
        EXPECT_EQ(result[k]->width(), kWidth);
        EXPECT_EQ(result[k]->height(), kHeight);
        EXPECT_EQ(cv::norm(before[k], testing::matOf(*frames[k]), cv::NORM_INF), 0) << "input " << k << " changed";
    }
    for (std::size_t k = 1; k < frames.size(); ++k) {
        const double was = innerDifference(*frames[k], *frames[0]);
        const double is = innerDifference(*result[k], *result[0]);
        EXPECT_LT(is, 1.5) << k;
        EXPECT_LT(is, was / 5) << k;
        // Nothing is left to correct between the outputs.
        const auto rest = LoopStabilizer::detectOffset(*result[k], *result[0]);
        ASSERT_TRUE(rest);
        EXPECT_LT(std::hypot(rest->dx * kWidth, rest->dy * kHeight), 0.3) << k;
    }
    // The crop is centred: the middle of the reference stays where it was, only slightly zoomed.
    const cv::Rect middle(kWidth / 2 - 16, kHeight / 2 - 16, 32, 32);
    cv::Mat difference;
    cv::absdiff(testing::matOf(*result[0])(middle), testing::matOf(*frames[0])(middle), difference);
    const cv::Scalar mean = cv::mean(difference);
    EXPECT_LT((mean[0] + mean[1] + mean[2]) / 3, 2.0);
}

TEST_F(LoopStabilizerOnAPhoto, FramesHandedOverAreLetGoAsTheirCopiesAreMade)
{
    FramePool& pool = FramePool::shared();
    pool.drain();
    (void)moved(0, 0); // a frame made and dropped: held by the pool, unless it pools nothing (ASan)
    const bool pooling = pool.statistics().heldBlocks == 1;
    pool.drain();

    // Each worker lets go of its input once its copy is made, so with two frames more than
    // workers at least two copies take an input's memory instead of fresh pages.
    const std::size_t workers = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t count = workers + 2;
    const auto clipOf = [&] {
        constexpr double shifts[][2] = {{4.5, -2.0}, {-3.0, 5.25}, {1.5, 2.5}};
        std::vector<PixelBufferRef> clip{moved(0, 0)};
        for (std::size_t k = 1; k < count; ++k)
            clip.push_back(moved(shifts[k % 3][0], shifts[k % 3][1]));
        return clip;
    };
    std::vector<PixelBufferRef> frames = clipOf();
    pool.drain();
    const std::uint64_t reusedBefore = pool.statistics().reused;
    const auto result = LoopStabilizer::stabilize(std::move(frames), 0.03, 0.08);
    ASSERT_EQ(result.size(), count);
    if (pooling) {
        EXPECT_GE(pool.statistics().reused - reusedBefore, 2u);
    }
    // Reused memory shows the frame it now holds, not the one it held before.
    for (std::size_t k = 1; k < result.size(); ++k)
        EXPECT_LT(innerDifference(*result[k], *result[0]), 1.5) << k;

    // J420 frames, as a load hands them over, alike: the load peaks at about the loop it makes.
    std::vector<PixelBufferRef> compact;
    for (const PixelBufferRef& frame : clipOf())
        compact.push_back(YuvFrames::compact(frame));
    pool.drain();
    const std::uint64_t reusedBeforeCompact = pool.statistics().reused;
    const auto compactResult = LoopStabilizer::stabilize(std::move(compact), 0.03, 0.08);
    ASSERT_EQ(compactResult.size(), count);
    if (pooling) {
        EXPECT_GE(pool.statistics().reused - reusedBeforeCompact, 2u);
    }
    for (std::size_t k = 1; k < compactResult.size(); ++k) {
        ASSERT_TRUE(compactResult[k]->isJ420()) << k;
        EXPECT_LT(innerDifference(*YuvFrames::bgra(compactResult[k]), *YuvFrames::bgra(compactResult[0])), 1.5) << k;
    }

    // Frames that need no correction come back as they went in.
    std::vector<PixelBufferRef> still{moved(0, 0), moved(0, 0)};
    const std::vector<PixelBufferRef> kept = still;
    EXPECT_EQ(LoopStabilizer::stabilize(std::move(still), 0.03, 0.08), kept);
}

TEST_F(LoopStabilizerOnAPhoto, AKnockBeyondTheLimitMovesWithItsNeighboursAndDoesNotWidenTheCrop)
{
    // A slow drift of 0.6 px a frame, and one frame knocked 60 px (4.7 % of the width, above the
    // 3 % limit).
    std::vector<PixelBufferRef> frames;
    for (int k = 0; k <= 10; ++k)
        frames.push_back(moved(k == 5 ? 60 : 0.6 * k, 0));
    const auto result = LoopStabilizer::stabilize(frames, 0.03, 0.08);
    ASSERT_EQ(result.size(), frames.size());
    for (std::size_t k = 1; k < frames.size(); ++k) {
        if (k != 5) {
            EXPECT_LT(innerDifference(*result[k], *result[0]), 1.5) << k;
        }
    }
    // The knocked frame took its neighbours' correction (3 px, between 2.4 and 3.6), not its
    // own and not none: only the knock itself is left, zoomed with the others by the 6 px margin.
    const auto left = LoopStabilizer::detectOffset(*result[5], *result[0]);
    ASSERT_TRUE(left);
    const double zoom = kWidth / (kWidth - 2 * 6.0);
    EXPECT_NEAR(left->dx * kWidth, -(60 - 3.0) * zoom, 0.5);
}

TEST_F(LoopStabilizerOnAPhoto, APanBeyondTheLimitIsLeftAsRecorded)
{
    // 6 px a frame: from the sixth frame on beyond the 3 % limit. Holding the first frames still
    // would make the clip stop and start.
    std::vector<PixelBufferRef> frames;
    for (int k = 0; k < 12; ++k)
        frames.push_back(moved(6.0 * k, 0));
    EXPECT_EQ(LoopStabilizer::stabilize(frames, 0.03, 0.08), frames);
}

TEST_F(LoopStabilizerOnAPhoto, CropsAMarginExactlyAtTheLimitButNotAbove)
{
    const std::vector<PixelBufferRef> frames{moved(0, 0), moved(-14.5, 3), moved(4, -8.25)};
    std::vector<Offset> offsets{Offset::zero()};
    for (std::size_t k = 1; k < frames.size(); ++k)
        offsets.push_back(LoopStabilizer::detectOffset(*frames[k], *frames[0]).value());
    const Offset margin = LoopStabilizer::cropMargin(offsets);
    const double limit = std::max(margin.dx, margin.dy);

    const auto atLimit = LoopStabilizer::stabilize(frames, 0.03, limit);
    const auto aboveLimit = LoopStabilizer::stabilize(frames, 0.03, std::nextafter(limit, 0.0));
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_NE(atLimit[k], frames[k]) << k;
        EXPECT_EQ(aboveLimit[k], frames[k]) << k;
    }
}

/// A copy of one plane of a J420 frame.
cv::Mat planeOf(const PixelBuffer& frame, int index)
{
    const PixelBuffer::Plane plane = frame.plane(index);
    const auto lock = frame.lockForReading();
    return cv::Mat(plane.rows, static_cast<int>(plane.rowBytes), CV_8UC1, const_cast<std::uint8_t*>(lock.baseAddress()) + plane.offset,
                   plane.bytesPerRow)
        .clone();
}

// Loops are stabilised in J420: measured on the luma plane as on the BGRA picture, and each
// plane moved, chroma by half the luma's pixels, so the result is the BGRA result's J420 form.
TEST_F(LoopStabilizerOnAPhoto, J420FramesAreMeasuredAndMovedLikeTheirBGRAForm)
{
    const std::vector<PixelBufferRef> wide{moved(0, 0), moved(6.5, -3.25), moved(-9.75, 8.5), moved(2.25, 4.0)};
    std::vector<PixelBufferRef> compact;
    for (const auto& frame : wide)
        compact.push_back(YuvFrames::compact(frame));
    for (std::size_t k = 1; k < wide.size(); ++k) {
        const auto fromWide = LoopStabilizer::detectOffset(*wide[k], *wide[0]);
        const auto fromCompact = LoopStabilizer::detectOffset(*compact[k], *compact[0]);
        ASSERT_TRUE(fromWide && fromCompact) << k;
        EXPECT_NEAR(fromCompact->dx * kWidth, fromWide->dx * kWidth, 0.05) << k;
        EXPECT_NEAR(fromCompact->dy * kHeight, fromWide->dy * kHeight, 0.05) << k;
    }

    const auto wideResult = LoopStabilizer::stabilize(wide, 0.03, 0.08);
    const auto compactResult = LoopStabilizer::stabilize(compact, 0.03, 0.08);
    ASSERT_EQ(compactResult.size(), compact.size());
    for (std::size_t k = 0; k < compact.size(); ++k) {
        ASSERT_TRUE(compactResult[k]->isJ420()) << k;
        EXPECT_NE(compactResult[k], compact[k]) << "every frame is cropped alike";
        const PixelBufferRef expected = YuvFrames::compact(wideResult[k]);
        for (int index = 0; index < 3; ++index) {
            const int border = index == 0 ? 60 : 30;
            const cv::Mat actualPlane = planeOf(*compactResult[k], index), expectedPlane = planeOf(*expected, index);
            const cv::Rect inner(border, border, actualPlane.cols - 2 * border, actualPlane.rows - 2 * border);
            cv::Mat difference;
            cv::absdiff(actualPlane(inner), expectedPlane(inner), difference);
            EXPECT_LT(cv::mean(difference)[0], 0.6) << "frame " << k << " plane " << index;
        }
    }
}

TEST_F(LoopStabilizerOnAPhoto, ReturnsTheInputWhenAnyFrameCannotBeRegisteredOrNothingMoved)
{
    cv::Mat noise(kHeight, kWidth, CV_8UC4);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
    const cv::Mat grey(kHeight, kWidth, CV_8UC4, cv::Scalar(128, 128, 128, 255));
    const auto other = testing::frameOf(grey);

    const struct { const char* name; std::vector<PixelBufferRef> frames; } cases[] = {
        {"a frame of noise", {moved(0, 0), moved(4, 2), testing::frameOf(noise), moved(-3, 1)}},
        {"a flat grey frame", {moved(0, 0), moved(4, 2), testing::frameOf(grey)}},
        {"a flat grey reference", {other, moved(4, 2)}},
        {"a frame of another size", {moved(0, 0), testing::frameOf(scene_(cv::Rect(0, 0, 640, 360)).clone())}},
        {"nothing moved", {moved(0, 0), moved(0, 0), moved(0, 0)}},
        {"one frame", {moved(4, 2)}},
        {"no frame", {}},
    };
    for (const auto& c : cases) {
        const auto result = LoopStabilizer::stabilize(c.frames, 0.03, 0.08);
        EXPECT_EQ(result, c.frames) << c.name;
    }
    EXPECT_FALSE(LoopStabilizer::detectOffset(*testing::frameOf(noise), *moved(0, 0)));
}

/// A person moving in front of a still wall: the wall is what must hold still.
class LoopStabilizerOnAPerson : public ::testing::Test {
protected:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 360;

    void SetUp() override { ASSERT_FALSE(scene_.empty()) << "python3-skimage's photographs are missing"; }

    testing::PersonScene scene_{cv::Size(kWidth, kHeight), 0.3};
};

TEST_F(LoopStabilizerOnAPerson, TheWallStaysPutWhileThePersonMoves)
{
    const double moves[] = {0, 6, 12, -10, 20, -20};
    std::vector<PixelBufferRef> frames;
    for (double dx : moves)
        frames.push_back(testing::frameOf(scene_.frame(dx)));
    for (const auto& face : {std::optional<NormalizedRect>(), std::optional(scene_.face())}) {
        for (std::size_t k = 1; k < frames.size(); ++k) {
            const auto offset = LoopStabilizer::detectOffset(*frames[k], *frames[0], face);
            ASSERT_TRUE(offset) << moves[k];
            EXPECT_LT(std::hypot(offset->dx * kWidth, offset->dy * kHeight), 1.0) << moves[k] << " face " << face.has_value();
            // Measured on J420's luma, as loops are, the wall holds as still.
            const auto onLuma = LoopStabilizer::detectOffset(*YuvFrames::compact(frames[k]), *YuvFrames::compact(frames[0]), face);
            ASSERT_TRUE(onLuma) << moves[k];
            EXPECT_NEAR(onLuma->dx * kWidth, offset->dx * kWidth, 0.1) << moves[k] << " face " << face.has_value();
            EXPECT_NEAR(onLuma->dy * kHeight, offset->dy * kHeight, 0.1) << moves[k] << " face " << face.has_value();
        }
        // Nothing is resampled, so a strip of wall is what it was in every frame.
        const auto result = LoopStabilizer::stabilize(frames, 0.03, 0.08, face);
        ASSERT_EQ(result.size(), frames.size());
        const cv::Rect wall(0, 0, kWidth / 6, kHeight);
        for (std::size_t k = 0; k < frames.size(); ++k)
            EXPECT_LE(cv::norm(testing::matOf(*result[k])(wall), testing::matOf(*frames[0])(wall), cv::NORM_INF), 2)
                << moves[k] << " face " << face.has_value();
    }
}

TEST_F(LoopStabilizerOnAPerson, AShakingCameraIsFollowedByTheWallNotByThePerson)
{
    const auto reference = testing::frameOf(scene_.frame());
    const struct { double personDx, sceneDx, sceneDy; } cases[] = {{15, 4, -3}, {-18, -2.5, 1.5}, {0, 0.75, 0}};
    for (const auto& face : {std::optional<NormalizedRect>(), std::optional(scene_.face())}) {
        for (const auto& c : cases) {
            const auto offset =
                LoopStabilizer::detectOffset(*testing::frameOf(scene_.frame(c.personDx, c.sceneDx, c.sceneDy)), *reference, face);
            ASSERT_TRUE(offset) << c.personDx;
            EXPECT_NEAR(offset->dx * kWidth, -c.sceneDx, 0.3) << c.personDx << " face " << face.has_value();
            EXPECT_NEAR(offset->dy * kHeight, c.sceneDy, 0.3) << c.personDx << " face " << face.has_value();
        }
    }
    // Frames that moved less than half a pixel are passed through; the others are corrected.
    const std::vector<PixelBufferRef> still{reference, testing::frameOf(scene_.frame(10, 0.3, 0)),
                                            testing::frameOf(scene_.frame(-10, 0, -0.35))};
    EXPECT_EQ(LoopStabilizer::stabilize(still, 0.03, 0.08), still);
    const std::vector<PixelBufferRef> shaken{reference, testing::frameOf(scene_.frame(10, 0.3, 0)),
                                             testing::frameOf(scene_.frame(-10, 3, -2))};
    const auto result = LoopStabilizer::stabilize(shaken, 0.03, 0.08);
    for (std::size_t k = 0; k < shaken.size(); ++k)
        EXPECT_NE(result[k], shaken[k]) << k;
    const auto rest = LoopStabilizer::detectOffset(*result[2], *result[0]);
    ASSERT_TRUE(rest);
    EXPECT_LT(std::hypot(rest->dx * kWidth, rest->dy * kHeight), 0.3);
}

} // namespace
} // namespace quellon
