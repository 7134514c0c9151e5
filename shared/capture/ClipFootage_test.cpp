// Footage like users bring, through every path a clip takes: capture (as the trim and the
// analysis read it), trim (copied and re-encoded), our encoder, and the loop decoder. Colours
// and rotation must come out as the clip shows them; HDR is refused with a reason.

#include "analysis/AnalysisTestImages.h"
#include "analysis/LoopStabilizer.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "capture/TestFootage.h"
#include "playback/ClipDecoder.h"
#include "playback/LoopLoadError.h"
#include "playback/TestFrames.h"
#include "platform/TemporaryDirectory.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

class ClipFootageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testing::haveFFmpeg())
            GTEST_SKIP() << "ffmpeg is needed";
        ASSERT_TRUE(testing::havePhotographs()) << "python3-skimage's photographs are missing";
    }

    // R, G, B at (x, y).
    static std::array<int, 3> colourAt(const PixelBuffer& frame, int x, int y)
    {
        const auto p = testing::pixelOf(frame, x, y);
        return {p[2], p[1], p[0]};
    }

    static int worstError(const std::array<int, 3>& colour)
    {
        int worst = 0;
        for (int i = 0; i < 3; ++i)
            worst = std::max(worst, std::abs(colour[std::size_t(i)] - testing::kKnownColour[std::size_t(i)]));
        return worst;
    }

    static std::string text(const std::array<int, 3>& c)
    {
        return "(" + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]) + ")";
    }

    static PixelBufferRef firstFrame(const fs::path& clip)
    {
        FFmpegClipDecoder decoder;
        const DecodedClip decoded = decoder.decode(clip, 1);
        return decoded.frames.empty() ? nullptr : decoded.frames.front();
    }

    TemporaryDirectory temp{"quellon-footage-test"};
};

TEST_F(ClipFootageTest, TaggedColoursSurviveCaptureTrimEncodingAndPlayback)
{
    for (auto matrix : {testing::Matrix::bt709, testing::Matrix::bt601}) {
        const std::string name = matrix == testing::Matrix::bt709 ? "BT.709" : "BT.601";
        SCOPED_TRACE(name);
        const fs::path source = temp.path() / (name + ".mov");
        ASSERT_TRUE(testing::makeTaggedColourClip(source, matrix));

        // Playback of the clip as imported (an import keeps the bytes).
        const auto played = colourAt(*firstFrame(source), 160, 120);
        EXPECT_LE(worstError(played), 3) << text(played);

        // Capture, as trim and analysis read clips.
        auto capture = openCapture(CaptureInput{CaptureInput::Kind::file, source.string()}, {.realtime = false});
        const auto captured = capture->read();
        ASSERT_TRUE(captured);
        const auto read = colourAt(*captured->image, 160, 120);
        EXPECT_LE(worstError(read), 3) << text(read);
        capture.reset();

        // A trim from a keyframe copies, one from elsewhere re-encodes: both keep the colour.
        const fs::path copied = temp.path() / (name + "-copied.mov");
        const fs::path encoded = temp.path() / (name + "-encoded.mov");
        EXPECT_TRUE(cutClip(source, copied, 1, 1.9));
        EXPECT_FALSE(cutClip(source, encoded, 0.5, 1.5));
        const auto afterCopy = colourAt(*firstFrame(copied), 160, 120);
        const auto afterEncode = colourAt(*firstFrame(encoded), 160, 120);
        EXPECT_LE(worstError(afterCopy), 3) << text(afterCopy);
        EXPECT_LE(worstError(afterEncode), 3) << text(afterEncode);
        EXPECT_NE(testing::probeStream(encoded, "color_space,color_range").find("color_range=tv\ncolor_space=bt709"),
                  std::string::npos)
            << testing::probeStream(encoded, "color_space,color_range");
        std::printf("%s (192,64,32): played %s, captured %s, trimmed by copy %s, re-encoded %s\n", name.c_str(),
                    text(played).c_str(), text(read).c_str(), text(afterCopy).c_str(), text(afterEncode).c_str());
    }
}

TEST_F(ClipFootageTest, OurEncoderWritesBT709TagsAndMatchingPictures)
{
    const fs::path clip = temp.path() / "ours.mov";
    {
        ClipEncoder encoder(clip, 64, 48, 30);
        const auto frame = testing::makeFrame(64, 48, [](int, int) {
            return testing::Pixel{std::uint8_t(testing::kKnownColour[2]), std::uint8_t(testing::kKnownColour[1]),
                                  std::uint8_t(testing::kKnownColour[0]), 255};
        });
        for (int n = 0; n < 10; ++n)
            encoder.write(*frame, n / 30.0);
        encoder.finish();
    }
    const std::string tags = testing::probeStream(clip, "color_space,color_transfer,color_primaries,color_range");
    EXPECT_EQ(tags, "color_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\ncolor_primaries=bt709\n");
    const auto colour = colourAt(*firstFrame(clip), 32, 24);
    EXPECT_LE(worstError(colour), 3) << text(colour);
    std::printf("our encoder (192,64,32): played %s\n", text(colour).c_str());
}

TEST_F(ClipFootageTest, HDRClipsAreRefusedWithAReason)
{
    const fs::path clip = temp.path() / "hlg.mov";
    ASSERT_TRUE(testing::makeHLGClip(clip));
    try {
        FFmpegClipDecoder().decode(clip, 24);
        ADD_FAILURE() << "an HLG clip was decoded";
    } catch (const LoopLoadError& error) {
        EXPECT_EQ(error.kind(), LoopLoadError::Case::decodeFailed);
        EXPECT_NE(std::string(error.what()).find("HDR video (HLG)"), std::string::npos) << error.what();
    }
    EXPECT_THROW(openCapture(CaptureInput{CaptureInput::Kind::file, clip.string()}, {.realtime = false}), CaptureError);
    EXPECT_THROW(cutClip(clip, temp.path() / "cut.mov", 0, 0.5), CaptureError);
    EXPECT_FALSE(fs::exists(temp.path() / "cut.mov"));
}

// The band of the known colour lies across the top of the upright picture.
class PortraitTrimTest : public ClipFootageTest {
protected:
    static void expectUpright(const fs::path& clip)
    {
        const PixelBufferRef frame = firstFrame(clip);
        ASSERT_TRUE(frame);
        ASSERT_EQ(std::pair(frame->width(), frame->height()), std::pair(1080, 1920)) << "shown as portrait";
        const auto top = colourAt(*frame, 540, 100);
        EXPECT_LE(worstError(top), 6) << "the band is at the top: " << text(top);
        for (auto [x, y] : {std::pair(540, 1820), std::pair(40, 960), std::pair(1040, 960)})
            EXPECT_GT(worstError(colourAt(*frame, x, y)), 20) << "no band at " << x << "," << y;
    }
};

TEST_F(PortraitTrimTest, ReencodingAPhoneClipWithBFramesKeepsItUpright)
{
    const fs::path phone = temp.path() / "phone.mov";
    ASSERT_TRUE(testing::makePortraitPhoneClip(phone, true));
    expectUpright(phone);
    const fs::path trimmed = temp.path() / "trimmed.mov";
    EXPECT_FALSE(cutClip(phone, trimmed, 0.2, 0.8)) << "reordered frames cannot be copied";
    expectUpright(trimmed);
}

TEST_F(PortraitTrimTest, CopyingAPhoneClipKeepsItUpright)
{
    const fs::path phone = temp.path() / "phone.mov";
    ASSERT_TRUE(testing::makePortraitPhoneClip(phone, false, 15));
    const fs::path trimmed = temp.path() / "trimmed.mov";
    EXPECT_TRUE(cutClip(phone, trimmed, 0.5, 0.9)) << "starts on a keyframe";
    expectUpright(trimmed);
}

TEST_F(ClipFootageTest, APersonSwayingOverAStillWallLeavesTheWallUntouched)
{
    // Encoded footage: the wall is still, but no longer identical from frame to frame.
    const fs::path clip = temp.path() / "person.mp4";
    ASSERT_TRUE(testing::makePersonClip(clip, cv::Size(640, 360), 0.25, 1));
    FFmpegClipDecoder decoder;
    const DecodedClip decoded = decoder.decode(clip, 30);
    ASSERT_EQ(decoded.frames.size(), 30u);
    double largest = 0;
    for (std::size_t k = 1; k < decoded.frames.size(); ++k) {
        const auto offset = LoopStabilizer::detectOffset(*decoded.frames[k], *decoded.frames[0]);
        ASSERT_TRUE(offset) << k;
        largest = std::max(largest, std::hypot(offset->dx * 640, offset->dy * 360));
    }
    EXPECT_LT(largest, LoopStabilizer::kSmallestCorrectedShift);
    EXPECT_EQ(LoopStabilizer::stabilize(decoded.frames, 0.03, 0.08), decoded.frames);
}

} // namespace
} // namespace quellon
