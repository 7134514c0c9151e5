#include "analysis/LoopClipAnalysis.h"
#include "capture/FakeCaptureSource.h"
#include "capture/FFmpegCapture.h"
#include "capture/LoopRecording.h"
#include "platform/TemporaryDirectory.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>
#include <cstring>
#include <mutex>

namespace quellon {
namespace {

PixelBufferRef grey(std::uint8_t level)
{
    return testing::makeFrame(64, 48, [level](int, int) { return testing::Pixel{level, level, level, level}; });
}

TEST(LoopRecording, RecordsAnalysesAndTellsTheHints)
{
    TemporaryDirectory temp;
    // Dark for the first second, then bright, then fine; a frame is missing at index 25.
    FakeCaptureSource source({64, 48, 10, "rawvideo"}, [](std::int64_t i) -> PixelBufferRef {
        if (i >= 30)
            return nullptr;
        return grey(i < 10 ? 10 : i < 20 ? 250 : 128);
    });
    std::mutex mutex;
    std::vector<std::optional<RecordingGuidance::Hint>> hints;
    double lastProgress = -1;
    RecordingObserver observer{[&](auto hint) {
                                   std::lock_guard lock(mutex);
                                   hints.push_back(hint);
                               },
                               [&](double elapsed) { lastProgress = elapsed; }};
    std::atomic<bool> cancel = false;
    LoopClipAnalysis analysis;
    const RecordingSummary summary = recordLoop(source, temp.path() / "clip.mov", 60, analysis, nullptr, observer, cancel);
    EXPECT_EQ(summary.frames, 30);
    EXPECT_FALSE(summary.cancelled);
    EXPECT_DOUBLE_EQ(lastProgress, 2.9);
    EXPECT_EQ(analysis.frameCount(), 30);
    EXPECT_EQ(analysis.signatures()[0].size(), 144u);
    // The guidance thread sees only the newest frame it is offered, so the dark start may be
    // skipped, but the order of what it reports follows the frames.
    std::lock_guard lock(mutex);
    ASSERT_FALSE(hints.empty());
    EXPECT_EQ(hints.back(), std::nullopt);
    for (std::size_t i = 1; i < hints.size(); ++i)
        EXPECT_NE(hints[i], hints[i - 1]) << "only changes are reported";

    auto decoded = openCapture(CaptureInput{CaptureInput::Kind::file, (temp.path() / "clip.mov").string()}, {.realtime = false});
    int frames = 0;
    while (decoded->read())
        ++frames;
    EXPECT_EQ(frames, 30);
}

TEST(LoopRecording, StopsAtTheTimeOrWhenCancelled)
{
    TemporaryDirectory temp;
    FakeCaptureSource endless({64, 48, 10, "rawvideo"}, [](std::int64_t) { return grey(128); });
    std::atomic<bool> cancel = false;
    LoopClipAnalysis analysis;
    const RecordingSummary timed = recordLoop(endless, temp.path() / "a.mov", 1.0, analysis, nullptr, {}, cancel);
    EXPECT_EQ(timed.frames, 10) << "frames at 0.0 ... 0.9";

    FakeCaptureSource source({64, 48, 10, "rawvideo"}, [](std::int64_t) { return grey(128); });
    RecordingObserver observer{{}, [&](double elapsed) { cancel = elapsed >= 0.5; }};
    LoopClipAnalysis cancelled;
    const RecordingSummary summary = recordLoop(source, temp.path() / "b.mov", 60, cancelled, nullptr, observer, cancel);
    EXPECT_TRUE(summary.cancelled);
    EXPECT_EQ(summary.frames, 6);
}

TEST(LoopRecording, GapsInTheCaptureCountAsDroppedFrames)
{
    TemporaryDirectory temp;
    struct Gappy final : CaptureSource {
        std::int64_t next = 0;
        CaptureFormat format() const override { return {64, 48, 10, "rawvideo"}; }
        std::optional<CapturedFrame> read() override
        {
            if (next >= 10)
                return std::nullopt;
            const std::int64_t index = next++;
            return CapturedFrame{grey(100), (index < 5 ? index : index + 3) / 10.0}; // 3 lost after 0.4 s
        }
        void interrupt() override {}
    } source;
    std::atomic<bool> cancel = false;
    LoopClipAnalysis analysis;
    EXPECT_EQ(recordLoop(source, temp.path() / "c.mov", 60, analysis, nullptr, {}, cancel).dropped, 3);
}

TEST(LoopRecording, MeanLuminanceOfAFrame)
{
    EXPECT_DOUBLE_EQ(meanLuminance(*grey(0)), 0);
    EXPECT_NEAR(meanLuminance(*grey(255)), 1.0, 1e-9);
    EXPECT_NEAR(meanLuminance(*grey(51)), 0.2, 1e-9);
}

} // namespace
} // namespace quellon
