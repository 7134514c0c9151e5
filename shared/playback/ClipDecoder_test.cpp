// The FFmpeg clip decoder on clips made by the real ffmpeg: which frames it picks, rotation,
// the rate rule, and hostile files.

#include "capture/ClipEncoder.h"
#include "playback/ClipDecoder.h"
#include "playback/ClipSampling.h"
#include "playback/LoopLoadError.h"
#include "playback/TestClips.h"
#include "playback/TestFrames.h"
#include "playback/YuvFrames.h"
#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using Case = LoopLoadError::Case;

TEST(ClipSamplingTest, RateCountTimesAndTolerance)
{
    struct RateRow {
        std::int64_t num, den;
        double rate;
    };
    for (const RateRow& row : {RateRow{30, 1, 30}, {30000, 1001, 30000.0 / 1001}, {25, 1, 25}, {0, 1, 30}, {0, 0, 30},
                               {1, 0, 30}, {-30, 1, 30}, {30, -1, 30}})
        EXPECT_DOUBLE_EQ(ClipSampling::nominalRate(row.num, row.den), row.rate) << row.num << "/" << row.den;

    constexpr double inf = std::numeric_limits<double>::infinity();
    struct CountRow {
        double seconds, fps;
        std::int64_t maxFrames;
        std::optional<std::int64_t> count;
    };
    for (const CountRow& row : {CountRow{2, 30, 24, 24}, {2, 30, 1000, 60}, {0.5, 30, 240, 15}, {0, 30, 240, 1},
                                {0.01, 30, 240, 1}, {2, 30, 0, 0}, {2, 30, -1, std::nullopt}, {-1, 30, 24, std::nullopt},
                                {inf, 30, 24, std::nullopt}, {std::nan(""), 30, 24, std::nullopt},
                                {1e300, 30, 24, std::nullopt}, {2, 0, 24, std::nullopt}})
        EXPECT_EQ(ClipSampling::frameCount(row.seconds, row.fps, row.maxFrames), row.count)
            << row.seconds << " s at " << row.fps << " max " << row.maxFrames;

    // One sample in the middle of every tick of the output rate, from the start: never spread
    // over a longer span, which would play the clip faster.
    EXPECT_EQ(ClipSampling::paceTimes(0), std::vector<double>{});
    EXPECT_EQ(ClipSampling::paceTimes(3, 0), std::vector<double>{});
    EXPECT_EQ(ClipSampling::paceTimes(3, 15), (std::vector<double>{2 / 60.0, 6 / 60.0, 10 / 60.0}));
    const auto times = ClipSampling::paceTimes(24);
    ASSERT_EQ(times.size(), 24u);
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_DOUBLE_EQ(times[i], (20.0 * double(i) + 10) / 600) << i;
}

class ClipDecoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testing::haveFFmpeg())
            GTEST_SKIP() << "ffmpeg is needed";
    }

    static int grey(const PixelBufferRef& frame)
    {
        return testing::pixelOf(*frame, frame->width() / 2, frame->height() / 2)[1];
    }

    // The frame a player shows at time t: the last whose stored start is at or before it.
    static int shownAt(const std::vector<double>& starts, double t)
    {
        int shown = 0;
        for (std::size_t k = 0; k < starts.size(); ++k)
            if (starts[k] <= t + 1e-9)
                shown = static_cast<int>(k);
        return shown;
    }

    // Matroska stores times in milliseconds: frame k of a 30 fps clip starts at round(k / 30 s).
    static std::vector<double> millisecondStarts(int frames, double fps)
    {
        std::vector<double> starts;
        for (int k = 0; k < frames; ++k)
            starts.push_back(std::round(k * 1000 / fps) / 1000);
        return starts;
    }

    // Each frame of a counting clip is the one shown at its sample time.
    static void expectShownFrames(const std::vector<PixelBufferRef>& frames, const std::vector<double>& times,
                                  const std::vector<double>& starts)
    {
        ASSERT_EQ(frames.size(), times.size());
        for (std::size_t i = 0; i < times.size(); ++i) {
            ASSERT_TRUE(frames[i] && frames[i]->isBGRA());
            EXPECT_EQ(testing::greyLevelIndex(grey(frames[i])), shownAt(starts, times[i])) << "sample " << i << " at " << times[i];
        }
    }

    TemporaryDirectory temp{"quellon-clip-test"};
    FFmpegClipDecoder decoder;
};

TEST_F(ClipDecoderTest, PicksTheFrameShownAtEachSampleTime)
{
    const fs::path clip = temp.path() / "count.mkv";
    ASSERT_TRUE(testing::makeCountingClip(clip, 64, 48, 30, 2));
    const auto starts = millisecondStarts(60, 30);

    // Fewer frames than the clip holds: its first 24 frames, so it keeps its pace.
    const DecodedClip decoded = decoder.decode(clip, 24);
    EXPECT_EQ(std::tuple(decoded.width, decoded.height, decoded.fps, decoded.seconds), std::tuple(64, 48, 30.0, 2.0));
    ASSERT_EQ(decoded.frames.size(), 24u);
    expectShownFrames(decoded.frames, ClipSampling::paceTimes(24), starts);
    for (int k = 0; k < 24; ++k)
        EXPECT_EQ(testing::greyLevelIndex(grey(decoded.frames[std::size_t(k)])), k);
    for (const PixelBufferRef& frame : decoded.frames) {
        const auto pixel = testing::pixelOf(*frame, 3, 40);
        EXPECT_EQ(pixel[3], 255);
        EXPECT_EQ(pixel[0], pixel[2]);
    }

    // As many samples as frames: every frame once, in order, though the container rounds
    // their times to milliseconds.
    const DecodedClip all = decoder.decode(clip, 1000);
    ASSERT_EQ(all.frames.size(), 60u);
    expectShownFrames(all.frames, ClipSampling::paceTimes(60), starts);
    for (int k = 0; k < 60; ++k)
        EXPECT_EQ(testing::greyLevelIndex(grey(all.frames[std::size_t(k)])), k);

    // A 15 fps clip at the 30 fps output: each frame twice, as long as it lasts.
    const fs::path slow = temp.path() / "slow.mkv";
    ASSERT_TRUE(testing::makeCountingClip(slow, 64, 48, 15, 2));
    const DecodedClip halfRate = decoder.decode(slow, 1000);
    ASSERT_EQ(halfRate.frames.size(), 60u);
    for (int k = 0; k < 60; ++k)
        EXPECT_EQ(testing::greyLevelIndex(grey(halfRate.frames[std::size_t(k)])), k / 2) << k;
}

// Frames are scaled into the request's bounds as they are decoded, proportions kept and never
// enlarged; a byte budget cuts the clip shorter, keeping its first frames.
TEST_F(ClipDecoderTest, RequestsBoundTheFrameSizeAndTheBytes)
{
    const fs::path clip = temp.path() / "count.mkv";
    ASSERT_TRUE(testing::makeCountingClip(clip, 320, 180, 30, 1));
    struct Row {
        std::int64_t maxWidth, maxHeight;
        int width, height;
    };
    for (const Row& row : {Row{160, 160, 160, 90}, {1280, 90, 160, 90}, {0, 45, 80, 45}, {1280, 720, 320, 180}, {0, 0, 320, 180}}) {
        const DecodedClip decoded = decoder.decode(clip, ClipRequest{.maxFrames = 3, .maxWidth = row.maxWidth, .maxHeight = row.maxHeight});
        EXPECT_EQ(std::pair(decoded.width, decoded.height), (std::pair<std::int64_t, std::int64_t>(row.width, row.height)))
            << row.maxWidth << "x" << row.maxHeight;
        ASSERT_EQ(decoded.frames.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(std::pair(decoded.frames[k]->width(), decoded.frames[k]->height()), std::pair(row.width, row.height));
            EXPECT_EQ(testing::greyLevelIndex(grey(decoded.frames[k])), int(k));
        }
    }

    const PixelBufferRef probe = PixelBuffer::create(160, 90);
    const auto frameBytes = static_cast<std::int64_t>(probe->bytesPerRow()) * 90;
    const DecodedClip budgeted =
        decoder.decode(clip, ClipRequest{.maxFrames = 1000, .maxBytes = 10 * frameBytes + 100, .maxWidth = 160, .maxHeight = 90});
    ASSERT_EQ(budgeted.frames.size(), 10u);
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(testing::greyLevelIndex(grey(budgeted.frames[std::size_t(k)])), k) << "cut, not thinned";
    try {
        (void)decoder.decode(clip, ClipRequest{.maxFrames = 1000, .maxBytes = frameBytes / 2});
        ADD_FAILURE() << "a budget below one frame decoded";
    } catch (const LoopLoadError& error) {
        EXPECT_EQ(error.kind(), Case::empty);
    }
}

TEST_F(ClipDecoderTest, AVariableRateClipGivesTheFrameShownAtEveryTickOfTheOutputRate)
{
    // 90 frames held alternately 20 and 47 ms, the irregular timing of a phone clip: every
    // tick gets the frame on screen at its time, never a gap.
    const fs::path clip = temp.path() / "variable.mkv";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i \"color=c=black:s=64x48:r=30:d=3,format=yuv444p,geq=lum='16+2*N':cb=128:cr=128,"
                                "settb=1/1000,setpts='floor(N/2)*67+mod(N,2)*20'\" -fps_mode passthrough -c:v ffv1",
                                clip));
    std::vector<double> starts;
    for (int k = 0; k < 90; ++k)
        starts.push_back((k / 2 * 67 + k % 2 * 20) / 1000.0);

    const DecodedClip decoded = decoder.decode(clip, 1000);
    const auto count = ClipSampling::frameCount(decoded.seconds, ClipSampling::kOutputRate, 1000);
    ASSERT_TRUE(count);
    ASSERT_EQ(decoded.frames.size(), std::size_t(*count)) << "one frame for every sample";
    const auto times = ClipSampling::paceTimes(*count);
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(testing::greyLevelIndex(grey(decoded.frames[i]), 2), shownAt(starts, times[i])) << "sample " << i << " at " << times[i];
}

// Our own recordings: H.264 with millisecond timestamps, as the recorder writes them. Frame n
// shows n / 16 and n % 16 as two grey levels, 14 apart, that survive the compression.
TEST_F(ClipDecoderTest, RecordingsWithMillisecondTimesGiveEveryFrameOnce)
{
    auto level = [](int digit) { return static_cast<std::uint8_t>(20 + 14 * digit); };
    auto digit = [](int grey) { return static_cast<int>(std::lround((grey - 20) / 14.0)); };
    for (int seconds : {4, 6, 8}) {
        SCOPED_TRACE(std::to_string(seconds) + " s");
        const fs::path clip = temp.path() / ("recording" + std::to_string(seconds) + ".mov");
        const int frames = seconds * 30;
        {
            ClipEncoder encoder(clip, 96, 64, 30);
            for (int n = 0; n < frames; ++n) {
                const auto frame = testing::makeFrame(96, 64, [&](int x, int) {
                    const std::uint8_t g = level(x < 48 ? n / 16 : n % 16);
                    return testing::Pixel{g, g, g, 255};
                });
                encoder.write(*frame, n / 30.0);
            }
            encoder.finish();
        }
        const DecodedClip decoded = decoder.decode(clip, 1000);
        ASSERT_EQ(decoded.frames.size(), std::size_t(frames)) << decoded.seconds << " s at " << decoded.fps << " fps";
        int inOrder = 0;
        for (int n = 0; n < frames; ++n) {
            const PixelBuffer& frame = *decoded.frames[std::size_t(n)];
            const int shown = 16 * digit(testing::pixelOf(frame, 24, 32)[1]) + digit(testing::pixelOf(frame, 72, 32)[1]);
            inOrder += shown == n;
            EXPECT_EQ(shown, n) << "frame " << n;
        }
        std::printf("%d s recording: %d of %d frames, each once and in order\n", seconds, inOrder, frames);
    }
}

TEST_F(ClipDecoderTest, DisplayRotationTurnsTheSizeAndTheFrames)
{
    const fs::path upright = temp.path() / "upright.mp4";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc2=s=64x32:r=30:d=0.5 -c:v mjpeg -q:v 1", upright));
    for (int degrees : {90, 180, 270}) {
        SCOPED_TRACE(degrees);
        const fs::path clip = temp.path() / ("turned" + std::to_string(degrees) + ".mp4");
        ASSERT_TRUE(testing::ffmpeg("-i '" + upright.string() + "' -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees), clip));
        // ffmpeg's own player-side rotation is the reference picture.
        const fs::path reference = temp.path() / ("turned" + std::to_string(degrees) + ".bgra");
        ASSERT_TRUE(testing::ffmpeg("-i '" + clip.string() + "' -frames:v 1 -f rawvideo -pix_fmt bgra", reference));
        const std::string expected = readRegularFile(reference, 1 << 20).value_or("");

        const DecodedClip decoded = decoder.decode(clip, 1);
        const int width = degrees == 180 ? 64 : 32, height = degrees == 180 ? 32 : 64;
        ASSERT_EQ(decoded.width, width);
        ASSERT_EQ(decoded.height, height);
        ASSERT_EQ(decoded.frames.size(), 1u);
        const PixelBuffer& frame = *decoded.frames[0];
        ASSERT_EQ(std::pair(frame.width(), frame.height()), std::pair(width, height));
        ASSERT_EQ(expected.size(), std::size_t(width * height * 4));
        double difference = 0;
        auto lock = frame.lockForReading();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width * 4; ++x)
                difference += std::abs(int(lock.row(y)[x]) - int(static_cast<unsigned char>(expected[std::size_t(y * width * 4 + x)])));
        EXPECT_LT(difference / (width * height * 4), 4.0);

        // Bounds apply to the turned picture: half the display size on each side.
        const DecodedClip half = decoder.decode(clip, ClipRequest{.maxFrames = 1, .maxWidth = width / 2, .maxHeight = height / 2});
        ASSERT_EQ(half.frames.size(), 1u);
        ASSERT_EQ(std::pair(half.frames[0]->width(), half.frames[0]->height()), std::pair(width / 2, height / 2));
        double halfDifference = 0;
        auto small = half.frames[0]->lockForReading();
        for (int y = 0; y < height / 2; ++y)
            for (int x = 0; x < width / 2 * 4; ++x) {
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx)
                        sum += static_cast<unsigned char>(expected[std::size_t((2 * y + dy) * width * 4 + (2 * (x / 4) + dx) * 4 + x % 4)]);
                halfDifference += std::abs(int(small.row(y)[x]) - sum / 4);
            }
        EXPECT_LT(halfDifference / (width * height), 12.0) << "the same picture, turned the same way";

        // Loops take J420: the same picture, turned the same way, within what halved chroma
        // costs at the test card's sharp edges.
        const DecodedClip compact = decoder.decode(clip, ClipRequest{.maxFrames = 1, .format = kPixelFormatJ420});
        ASSERT_EQ(compact.frames.size(), 1u);
        ASSERT_TRUE(compact.frames[0]->isJ420());
        const PixelBufferRef shown = YuvFrames::bgra(compact.frames[0]);
        ASSERT_EQ(std::pair(shown->width(), shown->height()), std::pair(width, height));
        double compactDifference = 0;
        auto compactLock = shown->lockForReading();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width * 4; ++x)
                if (x % 4 != 3)
                    compactDifference += std::abs(int(compactLock.row(y)[x]) - int(static_cast<unsigned char>(expected[std::size_t(y * width * 4 + x)])));
        EXPECT_LT(compactDifference / (width * height * 3), 8.0);
    }
}

// J420 frames are the BGRA picture converted: every matrix and range the clip states comes out
// in the same colours, and the byte budget counts J420 bytes.
TEST_F(ClipDecoderTest, J420FramesHaveTheBGRAFramesColoursInEveryMatrix)
{
    const struct { const char *matrix, *range, *tag; } encodings[] = {{"bt709", "tv", "bt709"}, {"bt601", "tv", "smpte170m"}};
    for (const auto& encoding : encodings) {
        SCOPED_TRACE(encoding.tag);
        const fs::path clip = temp.path() / (std::string(encoding.tag) + ".mkv");
        // Broad saturated bars, where a wrong matrix shows most.
        ASSERT_TRUE(testing::ffmpeg(std::string("-f lavfi -i smptebars=s=160x120:r=30:d=0.2 -vf scale=out_color_matrix=")
                                        + encoding.matrix + ":out_range=" + encoding.range + ",format=yuv420p -colorspace "
                                        + encoding.tag + " -color_range " + encoding.range + " -c:v ffv1",
                                    clip));
        // At the clip's size and scaled to half of it.
        for (const std::int64_t maxWidth : {0, 80}) {
            SCOPED_TRACE(maxWidth);
            const DecodedClip wide = decoder.decode(clip, ClipRequest{.maxFrames = 1, .maxWidth = maxWidth});
            const DecodedClip compact = decoder.decode(clip, ClipRequest{.maxFrames = 1, .maxWidth = maxWidth, .format = kPixelFormatJ420});
            ASSERT_EQ(wide.frames.size(), 1u);
            ASSERT_EQ(compact.frames.size(), 1u);
            ASSERT_TRUE(compact.frames[0]->isJ420());
            const PixelBufferRef shown = YuvFrames::bgra(compact.frames[0]);
            const PixelBuffer& reference = *wide.frames[0];
            ASSERT_TRUE(shown && shown->width() == reference.width() && shown->height() == reference.height());
            // Away from the bars' edges, where halved chroma blurs.
            const auto flat = [&](int x, int y) {
                const testing::Pixel centre = testing::pixelOf(reference, x, y);
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx)
                        if (testing::pixelOf(reference, x + dx, y + dy) != centre)
                            return false;
                return true;
            };
            int compared = 0, worst = 0;
            for (int y = 2; y < reference.height() - 2; ++y)
                for (int x = 2; x < reference.width() - 2; ++x) {
                    if (!flat(x, y))
                        continue;
                    ++compared;
                    const testing::Pixel expected = testing::pixelOf(reference, x, y), actual = testing::pixelOf(*shown, x, y);
                    for (int channel = 0; channel < 3; ++channel)
                        worst = std::max(worst, std::abs(int(actual[channel]) - int(expected[channel])));
                }
            EXPECT_GT(compared, reference.width() * reference.height() / 4);
            EXPECT_LE(worst, 3);
        }
    }

    const fs::path counting = temp.path() / "count.mkv";
    ASSERT_TRUE(testing::makeCountingClip(counting, 160, 90, 30, 1));
    const auto frameBytes = static_cast<std::int64_t>(PixelBuffer::byteCount(160, 90, kPixelFormatJ420));
    const DecodedClip budgeted =
        decoder.decode(counting, ClipRequest{.maxFrames = 1000, .maxBytes = 10 * frameBytes + 100, .format = kPixelFormatJ420});
    ASSERT_EQ(budgeted.frames.size(), 10u) << "the budget holds ten J420 frames (four in BGRA)";
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(testing::greyLevelIndex(grey(YuvFrames::bgra(budgeted.frames[std::size_t(k)]))), k);
    try {
        (void)decoder.decode(counting, ClipRequest{.maxFrames = 1, .format = kPixelFormatGray8});
        ADD_FAILURE() << "a format the decoder does not make was decoded";
    } catch (const LoopLoadError& error) {
        EXPECT_EQ(error.kind(), Case::decodeFailed);
    }
}

// A high-dynamic-range clip would come out washed out in either format: refused, not decoded.
TEST_F(ClipDecoderTest, HighDynamicRangeClipsAreRefusedInEitherFormat)
{
    const fs::path clip = temp.path() / "pq.mkv";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc2=s=64x48:r=30:d=0.2 -pix_fmt yuv420p -color_trc smpte2084 -colorspace bt2020nc "
                                "-color_primaries bt2020 -c:v ffv1",
                                clip));
    for (const PixelFormatCode format : {kPixelFormatBGRA, kPixelFormatJ420}) {
        try {
            (void)decoder.decode(clip, ClipRequest{.maxFrames = 1, .format = format});
            ADD_FAILURE() << "an HDR clip was decoded";
        } catch (const LoopLoadError& error) {
            EXPECT_EQ(error.kind(), Case::decodeFailed);
        }
    }
}

TEST_F(ClipDecoderTest, AClipWithoutAnAverageRateCountsAsThirty)
{
    // A raw MJPEG stream states no average rate (only a guessed 25 fps real rate) and no duration.
    const fs::path clip = temp.path() / "raw.mjpeg";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=red:s=64x48:r=30:d=1 -c:v mjpeg -f mjpeg", clip));
    const DecodedClip decoded = decoder.decode(clip, 24);
    EXPECT_EQ(decoded.fps, 30);
    EXPECT_EQ(decoded.seconds, 0);
    EXPECT_EQ(decoded.frames.size(), 1u) << "no duration: one sample at 0";
}

TEST_F(ClipDecoderTest, HostileFilesAreRefusedWithoutCrashOrHang)
{
    const fs::path good = temp.path() / "good.mp4";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc2=s=64x48:r=30:d=2 -c:v mjpeg", good));
    const std::string goodBytes = readRegularFile(good, 1 << 24).value_or("");
    ASSERT_FALSE(goodBytes.empty());
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(temp.path() / name, std::ios::binary) << bytes;
        return temp.path() / name;
    };

    const fs::path audio = temp.path() / "audio.m4a";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i sine=d=1 -c:a aac", audio));
    const fs::path million = temp.path() / "million.mkv";
    ASSERT_TRUE(testing::makeCountingClip(million, 16, 16, 30, 2));
    {
        // The container's duration (in ms, a big-endian double) says 33 333 334 s: a billion frames.
        std::string bytes = readRegularFile(million, 1 << 24).value_or("");
        const auto at = bytes.find("\x44\x89\x88");
        ASSERT_NE(at, std::string::npos);
        const double declared = 33333334000.0;
        std::uint64_t bits;
        std::memcpy(&bits, &declared, 8);
        for (int i = 0; i < 8; ++i)
            bytes[at + 3 + std::size_t(i)] = static_cast<char>(bits >> (56 - 8 * i));
        write("million.mkv", bytes);
    }
    const fs::path fifo = temp.path() / "fifo.mov";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    struct Row {
        std::string what;
        fs::path file;
        std::int64_t maxFrames;
        std::optional<Case> error; // absent: some frames come out
    };
    const std::vector<Row> rows{
        {"a text file named .mov", write("text.mov", "this is not a movie\n"), 24, Case::decodeFailed},
        {"an empty file", write("empty.mp4", ""), 24, Case::decodeFailed},
        {"a truncated mp4", write("truncated.mp4", goodBytes.substr(0, goodBytes.size() / 2)), 24, std::nullopt},
        {"an audio-only file", audio, 24, Case::noVideoTrack},
        {"100000x100000 pixels", write("huge.y4m", "YUV4MPEG2 W100000 H100000 F30:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80')), 24, Case::decodeFailed},
        {"a billion declared frames", million, std::numeric_limits<std::int64_t>::max(), std::nullopt},
        {"a FIFO", fifo, 24, Case::decodeFailed},
        {"a directory", temp.path(), 24, Case::decodeFailed},
        {"a missing file", temp.path() / "missing.mov", 24, Case::decodeFailed},
        {"a negative frame limit", good, -1, Case::decodeFailed},
        {"a frame limit of 0", good, 0, Case::empty},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        try {
            const DecodedClip clip = decoder.decode(row.file, row.maxFrames);
            EXPECT_FALSE(row.error) << "decoded " << clip.frames.size() << " frames";
            EXPECT_FALSE(clip.frames.empty());
            EXPECT_LE(clip.frames.size(), std::size_t(FFmpegClipDecoder::kMaxFrames));
        } catch (const LoopLoadError& error) {
            // A truncated file may fail as a whole or give what it holds.
            if (row.error) {
                EXPECT_EQ(error.kind(), *row.error) << error.what();
            }
            EXPECT_FALSE(std::string(error.what()).empty());
        }
    }
}

} // namespace
} // namespace quellon
