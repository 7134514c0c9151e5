// The stabiliser's workers measuring frames at once: run by the ThreadSanitizer job too.

#include "analysis/LoopStabilizer.h"

#include "analysis/AnalysisTestImages.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace quellon {
namespace {

// Two neighbouring frames knocked beyond the limit are measured by two workers at the same
// time; both must take their neighbours' correction.
TEST(LoopStabilizerWorkers, NeighbouringKnocksMeasuredAtOnceBothFollowTheirNeighbours)
{
    constexpr int kWidth = 640, kHeight = 360;
    const cv::Mat photo = testing::astronaut();
    ASSERT_FALSE(photo.empty()) << "python3-skimage's astronaut.png is missing";
    cv::Mat scene;
    cv::resize(photo, scene, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_AREA);
    // A drift of 0.6 px a frame; frames 9 and 10 knocked 30 px (4.7 % of the width, above the
    // 3 % limit).
    std::vector<PixelBufferRef> frames;
    for (int k = 0; k <= 20; ++k)
        frames.push_back(testing::frameOf(testing::shifted(scene, k == 9 || k == 10 ? 30 : 0.6 * k, 0)));
    const auto result = LoopStabilizer::stabilize(frames, 0.03, 0.08);
    ASSERT_EQ(result.size(), frames.size());
    // Between frame 8 (4.8 px) and frame 11 (6.6 px): 5.4 px and 6.0 px, zoomed by the 12 px margin.
    const double zoom = kWidth / (kWidth - 2 * 12.0);
    for (const auto& [k, correction] : {std::pair{9, 5.4}, std::pair{10, 6.0}}) {
        const auto left = LoopStabilizer::detectOffset(*result[static_cast<std::size_t>(k)], *result[0]);
        ASSERT_TRUE(left) << k;
        EXPECT_NEAR(left->dx * kWidth, -(30 - correction) * zoom, 0.5) << k;
    }
}

} // namespace
} // namespace quellon
