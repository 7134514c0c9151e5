// The loop frame provider: the cursor rules, crossfades, effects and loads, on frames whose grey
// level names them, decoded by a fake decoder (and once by FFmpeg).

#include "playback/ClipDecoder.h"
#include "playback/LoopFrameProviderTesting.h"
#include "playback/LoopRotation.h"
#include "playback/TestClips.h"
#include "playback/TestFrames.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <cmath>
#include <map>
#include <set>

namespace quellon {
namespace {

using Case = LoopLoadError::Case;
using namespace testing::loop_frames;

std::vector<int> tens(int count)
{
    std::vector<int> levels;
    for (int i = 0; i < count; ++i)
        levels.push_back(10 * i);
    return levels;
}

TEST(LoopFrameProviderTest, AdvanceOverEveryRowOfItsTable)
{
    using M = LoopMode;
    struct Row {
        std::int64_t cursor;
        bool ascending;
        std::int64_t count;
        LoopMode mode;
        std::int64_t newCursor;
        bool newAscending;
    };
    for (const Row& row : {
             Row{0, true, 0, M::pingpong, 0, true}, {0, false, 1, M::forward, 0, true}, {0, false, 1, M::freeze, 0, true},
             {3, true, 5, M::forward, 4, true}, {4, true, 5, M::forward, 0, true}, {2, false, 5, M::forward, 3, true},
             {3, true, 5, M::freeze, 0, true}, {0, false, 5, M::freeze, 0, true},
             {1, true, 5, M::pingpong, 2, true},   // ascending, cursor + 1 < count − 1
             {3, true, 5, M::pingpong, 4, false},  // ascending, reaching the end
             {4, true, 5, M::pingpong, 4, false},  // ascending, past it
             {3, false, 5, M::pingpong, 2, false}, // descending, cursor − 1 ≥ 1
             {1, false, 5, M::pingpong, 0, true},  // descending, reaching the start
             {0, true, 2, M::pingpong, 1, false}, {1, false, 2, M::pingpong, 0, true},
         }) {
        EXPECT_EQ(LoopFrameProvider::advance(row.cursor, row.ascending, row.count, row.mode), std::pair(row.newCursor, row.newAscending))
            << row.cursor << (row.ascending ? " up " : " down ") << row.count << " " << int(row.mode);
    }
}

TEST(LoopFrameProviderTest, PlaybackOrderOfEachMode)
{
    Fixture empty(LoopMode::pingpong);
    EXPECT_EQ(empty.provider.nextFrame(), nullptr);
    empty.provider.startNear(greyFrame(5));
    EXPECT_EQ(empty.provider.frameCount(), 0);

    Fixture pingpong(LoopMode::pingpong);
    pingpong.provider.installFramesForTesting(greyFrames({0, 1, 2, 3}));
    EXPECT_EQ(pingpong.play(10), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1, 2, 3}));
    pingpong.provider.reset();
    EXPECT_EQ(pingpong.play(2), (std::vector<int>{0, 1}));
    EXPECT_EQ(std::pair(pingpong.provider.width(), pingpong.provider.height()), (std::pair<std::int64_t, std::int64_t>(0, 0)));

    Fixture forward(LoopMode::forward);
    forward.provider.installFramesForTesting(greyFrames({0, 1, 2}));
    EXPECT_EQ(forward.play(7), (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));

    // Frozen loops show frame 0 however they were started or asked to start.
    Fixture freeze(LoopMode::freeze);
    freeze.provider.setRandomizeStart(true);
    for (int i = 0; i < 5; ++i) {
        freeze.provider.installFramesForTesting(greyFrames({0, 1, 2, 3, 4, 5, 6, 7}));
        freeze.provider.startNear(greyFrame(7));
        EXPECT_EQ(freeze.play(3), (std::vector<int>{0, 0, 0}));
    }

    // One frame: always that frame, and the effects that hold are never asked.
    Fixture single(LoopMode::forward, LoopJitter(1, 0, 1), SimulatedLag(1, 6, 6, 0, 1));
    single.provider.installFramesForTesting(greyFrames({9}));
    EXPECT_EQ(single.play(3), (std::vector<int>{9, 9, 9}));
}

TEST(LoopFrameProviderTest, StoredModesKeepTheirPlaybackAndNewRecordsWalk)
{
    // A record stored before the walk existed names its mode and keeps playing it.
    const QuellonState stored = decodeQuellonState(
        R"({"mode":"away","loopMode":"pingpong","targetFPS":30,"targetWidth":1280,"targetHeight":720,"revision":3,)"
        R"("updatedAt":"2025-12-06T05:46:40Z"})");
    Fixture pingpong(stored.loopMode);
    pingpong.provider.installFramesForTesting(greyFrames({0, 1, 2, 3}));
    EXPECT_EQ(pingpong.play(10), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1, 2, 3}));

    // A new record walks: only the clip's frames or blends between them,
    // never the step-by-step reversal of ping-pong.
    ASSERT_EQ(QuellonState{}.loopMode, LoopMode::natural);
    Fixture natural(QuellonState{}.loopMode);
    const int count = 60;
    std::vector<PixelBufferRef> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(greyFrame(static_cast<int>(std::lround(120 + 100 * std::sin(i * 0.21) * std::cos(i * 0.047)))));
    natural.provider.installFramesForTesting(frames);
    const std::vector<int> levels = natural.play(600);
    int reversals = 0;
    for (std::size_t t = 1; t < levels.size(); ++t) {
        EXPECT_GE(levels[t], 20);
        EXPECT_LE(levels[t], 220);
    }
    std::vector<int> clip;
    for (const auto& frame : frames)
        clip.push_back(levelOf(frame));
    auto playsAt = [&](std::size_t t, int i, int direction) {
        for (int k = 0; k < 4; ++k)
            if (levels[t + static_cast<std::size_t>(k)] != clip[static_cast<std::size_t>(i + direction * k)])
                return false;
        return true;
    };
    for (std::size_t t = 0; t + 3 < levels.size(); ++t) {
        // Around a peak the clip's levels read the same either way; only a run that no forward
        // stretch of the clip explains is a reversal.
        bool forward = false, backward = false;
        for (int i = 0; i < count; ++i) {
            forward = forward || (i + 3 < count && playsAt(t, i, 1));
            backward = backward || (i >= 3 && playsAt(t, i, -1));
        }
        reversals += backward && !forward;
    }
    EXPECT_EQ(reversals, 0);
}

TEST(LoopFrameProviderTest, RandomStartLandsOnEveryFrameOfAMovingLoop)
{
    Fixture forward(LoopMode::forward);
    forward.provider.setRandomizeStart(true);
    std::set<int> starts;
    for (int i = 0; i < 200 && starts.size() < 4; ++i) {
        forward.provider.installFramesForTesting(greyFrames({0, 1, 2, 3}));
        starts.insert(forward.play(1)[0]);
    }
    EXPECT_EQ(starts, (std::set<int>{0, 1, 2, 3}));
}

TEST(LoopFrameProviderTest, StartNearMovesToTheNearestFrame)
{
    Fixture forward(LoopMode::forward);
    forward.provider.installFramesForTesting(greyFrames({0, 60, 120, 180, 240}));
    forward.provider.startNear(greyFrame(170));
    EXPECT_EQ(forward.play(2), (std::vector<int>{180, 240}));
    forward.provider.startNear(nullptr);
    EXPECT_EQ(forward.play(1), (std::vector<int>{0}));
}

TEST(LoopFrameProviderTest, ForwardLoadsEndWithAWrapCrossfade)
{
    Fixture forward(LoopMode::forward);
    forward.decoder->clips["ten.mov"] = {tens(10)};
    forward.provider.load("ten.mov", 240, 3);
    ASSERT_EQ(forward.provider.frameCount(), 13);
    // 0 … 90, then 90 blended towards 0 at 0.25, 0.5, 0.75, then the start again.
    std::vector<int> expected = tens(10);
    expected.insert(expected.end(), {68, 45, 23, 0}); // 67.5 and 22.5 round up
    EXPECT_EQ(forward.play(14), expected);

    Fixture pingpong(LoopMode::pingpong);
    pingpong.decoder->clips["ten.mov"] = {tens(10)};
    pingpong.provider.load("ten.mov", 240, 3);
    EXPECT_EQ(pingpong.provider.frameCount(), 10);
    EXPECT_EQ(std::pair(pingpong.provider.width(), pingpong.provider.height()), (std::pair<std::int64_t, std::int64_t>(16, 16)));

    std::vector<PixelBufferRef> one = greyFrames({7});
    LoopFrameProvider::appendWrapCrossfade(one, 3);
    EXPECT_EQ(one.size(), 1u);

    // The wrap takes no more blended frames than a crossfade between clips may.
    std::vector<PixelBufferRef> two = greyFrames({0, 90});
    LoopFrameProvider::appendWrapCrossfade(two, 100000);
    EXPECT_EQ(two.size(), 2u + LoopRotation::kMaxCrossfadeFrames);
}

TEST(LoopFrameProviderTest, AStallKeepsTheJitterCountersStill)
{
    // The lag stalls the first 6 calls, then waits more than 60. The jitter (always, 3 apart) is
    // first asked on call 7 and holds; had it been asked during the stall it would now be in
    // its gap and call 8 would move on.
    Fixture forward(LoopMode::forward, LoopJitter(1, 3, 7), SimulatedLag(1, 6, 6, 60, 7));
    forward.provider.installFramesForTesting(greyFrames({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(forward.play(13), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 3, 4}));
}

TEST(LoopFrameProviderTest, LoadMultipleCapsEachClipAndKeepsTheFirstSize)
{
    Fixture pingpong(LoopMode::pingpong);
    auto& clips = pingpong.decoder->clips;
    clips["a"] = {tens(30), 1280, 720};
    clips["b"] = {tens(30), 640, 480};
    clips["c"] = {{200, 201, 202}, 1280, 720};
    clips["empty"] = {{}, 1280, 720};
    pingpong.provider.loadMultiple({"broken", "a", "b", "empty", "c"}, 30, 0);
    // 30 / 5 clips is 6, raised to 24 for each; b has another size, broken and empty fail.
    for (const auto& [file, maxFrames] : pingpong.decoder->requests)
        EXPECT_EQ(maxFrames, 24) << file;
    EXPECT_EQ(pingpong.decoder->requests.size(), 5u);
    EXPECT_EQ(pingpong.provider.frameCount(), 24 + 3);
    EXPECT_EQ(std::pair(pingpong.provider.width(), pingpong.provider.height()), (std::pair<std::int64_t, std::int64_t>(1280, 720)));

    pingpong.decoder->requests.clear();
    pingpong.provider.loadMultiple({"a", "c", "a", "c"}, 240, 2);
    EXPECT_EQ(pingpong.decoder->requests.front().second, 60);
    EXPECT_EQ(pingpong.provider.frameCount(), 30 + 2 + 3 + 2 + 30 + 2 + 3) << "crossfades between clips in every mode";

    Fixture forward(LoopMode::forward);
    forward.decoder->clips = clips;
    forward.provider.loadMultiple({"a", "c"}, 60, 2);
    EXPECT_EQ(forward.provider.frameCount(), 30 + 2 + 3 + 2) << "and a wrap crossfade in forward loops";
}

// A decoder that cannot scale or count bytes: it gives the whole clip in BGRA, as a fake may.
class UnboundedClipDecoder final : public ClipDecoder {
public:
    DecodedClip decode(const std::filesystem::path&, std::int64_t maxFrames) override
    {
        DecodedClip clip{{}, 16, 16, 30, 8.0 / 30};
        for (int level = 10; level <= 80 && static_cast<std::int64_t>(clip.frames.size()) < maxFrames; level += 10)
            clip.frames.push_back(greyFrame(level));
        handedOut.assign(clip.frames.begin(), clip.frames.end());
        return clip;
    }

    std::vector<std::weak_ptr<PixelBuffer>> handedOut; // the BGRA frames of the last decode
};

// The budget counts frames as kept (J420), and the decoder gets them in that form within that
// very budget, so a load never holds more than the loop it makes plus a few frames in flight;
// whatever is cut off is logged.
TEST(LoopFrameProviderTest, TheByteBudgetHoldsTwentySecondsOf720pAndLogsWhatItCuts)
{
    const LoopFrameProvider::LoadLimits defaults;
    const auto compactFrame = static_cast<std::int64_t>(PixelBuffer::byteCount(1280, 720, kPixelFormatJ420));
    EXPECT_EQ(defaults.maxBytes / compactFrame, 600) << "20 s at 30 fps, and not a frame more";

    Fixture loop(LoopMode::pingpong);
    loop.decoder->clips["/clips/a.mov"] = {{10, 20, 30, 40, 50, 60, 70, 80}};
    loop.provider.load("/clips/a.mov", 600, 0);
    ASSERT_EQ(loop.decoder->budgets.size(), 1u);
    EXPECT_EQ(loop.decoder->budgets.front().format, kPixelFormatJ420) << "decoded straight into the kept form";
    EXPECT_EQ(loop.decoder->budgets.front().maxBytes, defaults.maxBytes) << "the decoder may hold no more than the loop";
    EXPECT_LE(defaults.maxBytes, FFmpegClipDecoder::kMaxDecodedBytes) << "and its own cap does not cut them shorter";

    CapturingLogSink log;
    loop.provider.setLog(&log);
    const auto smallFrame = static_cast<std::int64_t>(PixelBuffer::byteCount(16, 16, kPixelFormatJ420));
    loop.provider.setLimits({.maxBytes = 3 * smallFrame});
    loop.provider.load("/clips/a.mov", 600, 0);
    EXPECT_EQ(loop.decoder->budgets.back().maxBytes, 3 * smallFrame);
    EXPECT_EQ(loop.play(6), (std::vector<int>{10, 20, 30, 20, 10, 20}));
    EXPECT_EQ(loop.provider.byteCount(), 3 * smallFrame);
    EXPECT_TRUE(log.contains("loop: a.mov cut to 0.1 s of its 0.3 s: the loop's memory budget of 4.5 KiB holds no more"));
    EXPECT_EQ(log.lines().size(), 1u);

    // A decoder that ignores the budget and gives BGRA: the frames are compacted and cut to the
    // budget all the same.
    const auto bgraDecoder = std::make_shared<UnboundedClipDecoder>();
    LoopFrameProvider unbounded(LoopMode::pingpong, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::disabled(),
                                bgraDecoder, [](const PixelBuffer&, const std::optional<NormalizedRect>&) { return std::nullopt; });
    unbounded.setLog(&log);
    unbounded.setLimits({.maxBytes = 3 * smallFrame});
    unbounded.load("/clips/a.mov", 600, 0);
    EXPECT_EQ(unbounded.frameCount(), 3);
    EXPECT_EQ(unbounded.byteCount(), 3 * smallFrame);
    EXPECT_TRUE(log.contains("loop: a.mov cut to 0.1 s of 0.3 s decoded: the loop's memory budget of 4.5 KiB holds no more"));
    ASSERT_FALSE(bgraDecoder->handedOut.empty());
    for (const auto& decoded : bgraDecoder->handedOut)
        EXPECT_TRUE(decoded.expired()) << "no BGRA frame the decoder gave outlives its load";
}

TEST(LoopFrameProviderTest, AFailedLoadKeepsTheLoopThatPlays)
{
    Fixture forward(LoopMode::forward);
    forward.decoder->clips["a"] = {{10, 20, 30, 40}, 32, 24};
    forward.decoder->clips["none"] = {{}, 32, 24};
    forward.provider.load("a", 240, 0);
    EXPECT_EQ(forward.play(2), (std::vector<int>{10, 20}));

    struct Row {
        std::string what;
        std::function<void()> load;
        Case error;
    };
    for (const Row& row : {
             Row{"a clip that fails", [&] { forward.provider.load("broken", 240, 0); }, Case::decodeFailed},
             Row{"a clip without frames", [&] { forward.provider.load("none", 240, 0); }, Case::empty},
             Row{"no clips", [&] { forward.provider.loadMultiple({}, 240, 0); }, Case::empty},
             Row{"only clips that fail", [&] { forward.provider.loadMultiple({"broken", "none"}, 240, 0); }, Case::empty},
         }) {
        try {
            row.load();
            ADD_FAILURE() << row.what << " loaded";
        } catch (const LoopLoadError& error) {
            EXPECT_EQ(error.kind(), row.error) << row.what;
        }
        EXPECT_EQ(forward.provider.frameCount(), 4) << row.what;
        EXPECT_EQ(forward.provider.width(), 32) << row.what;
    }
    EXPECT_EQ(forward.play(3), (std::vector<int>{30, 40, 10})) << "the cursor ran on";
}

TEST(LoopFrameProviderTest, LoadsARealClip)
{
    if (!testing::haveFFmpeg())
        GTEST_SKIP() << "ffmpeg is needed";
    TemporaryDirectory temp{"quellon-provider-test"};
    const auto clip = temp.path() / "count.mkv";
    ASSERT_TRUE(testing::makeCountingClip(clip, 64, 48, 30, 2));
    LoopFrameProvider forward(LoopMode::forward, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::disabled());
    forward.load(clip, 24, 2);
    EXPECT_EQ(forward.frameCount(), 24 + 2);
    EXPECT_EQ(std::pair(forward.width(), forward.height()), (std::pair<std::int64_t, std::int64_t>(64, 48)));
    // The first 24 frames, one per tick.
    EXPECT_EQ(testing::greyLevelIndex(levelOf(forward.nextFrame())), 0);
    EXPECT_EQ(testing::greyLevelIndex(levelOf(forward.nextFrame())), 1);
}

// A marker crosses a still, textured wall by a known number of pixels per frame of the clip;
// served at 30 fps it must move as far per served frame as the clip's own rate gives, however
// long the clip and however many clips share the loop.
class LoopPaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testing::haveFFmpeg())
            GTEST_SKIP() << "ffmpeg is needed";
    }

    // pixelsPerFrame to the right at each frame of a clip at fps.
    std::filesystem::path markerClip(const std::string& name, int fps, double seconds, int pixelsPerFrame)
    {
        const auto clip = temp.path() / name;
        const std::string marker = "between(X," + std::to_string(pixelsPerFrame) + "*N," + std::to_string(pixelsPerFrame) + "*N+7)*lt(Y,20)";
        EXPECT_TRUE(testing::ffmpeg("-f lavfi -i \"color=c=black:s=320x180:r=" + std::to_string(fps) + ":d=" + std::to_string(seconds)
                                        + ",format=yuv444p,geq=lum='if(" + marker + ",235,60+40*mod(floor(X/16)+floor(Y/16),2))'"
                                        + ":cb=128:cr=128\" -c:v ffv1",
                                    clip));
        return clip;
    }

    // The marker's left edge in a served frame (-1 when it is not in the picture).
    static int markerX(const PixelBufferRef& frame)
    {
        auto lock = frame->lockForReading();
        const std::uint8_t* row = lock.row(frame->height() * 10 / 180);
        for (int x = 0; x < frame->width(); ++x)
            if (row[4 * x + 1] > 200)
                return x;
        return -1;
    }

    static std::vector<int> servedSteps(LoopFrameProvider& provider, int frames)
    {
        std::vector<int> steps;
        int previous = markerX(provider.nextFrame());
        for (int i = 1; i < frames; ++i) {
            const int x = markerX(provider.nextFrame());
            steps.push_back(x - previous);
            previous = x;
        }
        return steps;
    }

    LoopFrameProvider forwardProvider()
    {
        return LoopFrameProvider(LoopMode::forward, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::disabled(),
                                 std::make_shared<FFmpegClipDecoder>(), [](const PixelBuffer&, const std::optional<NormalizedRect>&) { return std::nullopt; });
    }

    TemporaryDirectory temp{"quellon-pace-test"};
};

TEST_F(LoopPaceTest, AClipLongerThanTheBudgetPlaysAtItsOwnPace)
{
    // 4 s at 30 fps, 48 frames kept: spread over the clip they would step 10 px.
    const auto clip = markerClip("long.mkv", 30, 4, 4);
    LoopFrameProvider provider = forwardProvider();
    provider.load(clip, 48, 0);
    ASSERT_EQ(provider.frameCount(), 48);
    EXPECT_EQ(servedSteps(provider, 48), std::vector<int>(47, 4));
    EXPECT_EQ(markerX(provider.nextFrame()), 0) << "the loop holds the clip's first 1.6 s";
}

TEST_F(LoopPaceTest, ClipsOfARotationShareTheTimeAndKeepTheirRates)
{
    const auto fast = markerClip("fast.mkv", 30, 2, 4);
    const auto slow = markerClip("slow.mkv", 15, 2, 4);
    LoopFrameProvider provider = forwardProvider();
    provider.loadMultiple({fast, slow}, 48, 0);
    ASSERT_EQ(provider.frameCount(), 48);
    const std::vector<int> steps = servedSteps(provider, 48);
    // 24 ticks of each: the 30 fps clip moves every tick, the 15 fps clip every other one.
    std::vector<int> expected(23, 4);
    expected.push_back(-92); // back to the start in the second clip
    for (int k = 1; k < 24; ++k)
        expected.push_back(k % 2 == 0 ? 4 : 0);
    EXPECT_EQ(steps, expected);
}

TEST_F(LoopPaceTest, FramesAreStoredAtMostAtTheLimitsSizeAndTheByteBudgetIsTheLoads)
{
    const auto fast = markerClip("fast.mkv", 30, 2, 4);
    const auto other = markerClip("other.mkv", 30, 2, 4);
    LoopFrameProvider provider = forwardProvider();
    // The budget counts frames as kept: J420.
    const auto frameBytes = static_cast<std::int64_t>(PixelBuffer::byteCount(160, 90, kPixelFormatJ420));
    provider.setLimits({.maxWidth = 160, .maxHeight = 160, .maxBytes = 30 * frameBytes});
    CapturingLogSink log;
    provider.setLog(&log);
    provider.loadMultiple({fast, other}, 48, 0);
    EXPECT_EQ(std::pair(provider.width(), provider.height()), (std::pair<std::int64_t, std::int64_t>(160, 90)));
    EXPECT_EQ(provider.frameCount(), 30) << "24 frames of the first clip, then the 6 the budget leaves";
    EXPECT_EQ(provider.byteCount(), 30 * frameBytes);
    EXPECT_TRUE(log.contains("loop: other.mkv cut to 0.2 s of its 2.0 s: the loop's memory budget of 759.4 KiB holds no more"));
    EXPECT_EQ(log.lines().size(), 1u) << "the first clip is whole";
    const std::vector<int> steps = servedSteps(provider, 30);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 2), 28) << "half the size, half the step";
}

// What the meeting sees of a loop is the clip's colour: whatever matrix and range the clip
// declares, a served frame is within 3 levels of the colour it was made from.
TEST(LoopFrameProviderTest, ServedFramesKeepTheClipsColourInEveryMatrixAndRange)
{
    if (!testing::haveFFmpeg())
        GTEST_SKIP() << "ffmpeg is needed";
    TemporaryDirectory temp{"quellon-loop-colour-test"};
    const testing::Pixel colour{32, 64, 192, 255}; // #C04020
    const struct { const char *matrix, *range, *tag; } encodings[] = {
        {"bt709", "tv", "bt709"}, {"bt601", "tv", "smpte170m"}, {"bt601", "pc", "smpte170m"}};
    for (const auto& encoding : encodings) {
        const auto clip = temp.path() / (std::string(encoding.tag) + "-" + encoding.range + ".mkv");
        ASSERT_TRUE(testing::ffmpeg(std::string("-f lavfi -i color=c=0xC04020:s=64x48:r=30:d=0.5 -vf scale=out_color_matrix=")
                                        + encoding.matrix + ":out_range=" + encoding.range + ",format=yuv420p -colorspace "
                                        + encoding.tag + " -color_range " + encoding.range + " -c:v ffv1",
                                    clip));
        LoopFrameProvider provider(LoopMode::forward, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::disabled(),
                                   std::make_shared<FFmpegClipDecoder>(), [](const PixelBuffer&, const std::optional<NormalizedRect>&) { return std::nullopt; });
        provider.load(clip, 15, 4); // the wrap crossfade's frames too
        for (int i = 0; i < 19; ++i) {
            const PixelBufferRef served = provider.nextFrame();
            ASSERT_TRUE(served && served->isBGRA());
            const testing::Pixel pixel = testing::pixelOf(*served, 32, 24);
            for (int channel = 0; channel < 3; ++channel)
                EXPECT_LE(std::abs(pixel[channel] - colour[channel]), 3)
                    << encoding.tag << " " << encoding.range << " frame " << i << " channel " << channel << ": " << int(pixel[channel]);
        }
    }
}

} // namespace
} // namespace quellon
