#include "capture/CameraListing.h"
#include "capture/CaptureInput.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "platform/TemporaryDirectory.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/LoopFrameProvider.h"

#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sys/stat.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using Kind = CaptureInput::Kind;

double meanAbsoluteDifference(const PixelBuffer& a, const PixelBuffer& b)
{
    auto lockA = a.lockForReading();
    auto lockB = b.lockForReading();
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 4; ++x)
            sum += std::abs(int(lockA.baseAddress()[y * a.bytesPerRow() + x]) - int(lockB.baseAddress()[y * b.bytesPerRow() + x]));
    return sum / (a.width() * 4.0 * a.height());
}

TEST(CaptureInput, OneSpellingForCamerasFilesAndGraphs)
{
    const std::pair<const char*, std::optional<CaptureInput>> cases[] = {
        {"lavfi:testsrc2=size=1280x720:rate=30", CaptureInput{Kind::filterGraph, "testsrc2=size=1280x720:rate=30"}},
        {"/dev/video0", CaptureInput{Kind::camera, "/dev/video0"}},
        {"/dev/v4l/by-id/usb-Cam-video-index0", CaptureInput{Kind::camera, "/dev/v4l/by-id/usb-Cam-video-index0"}},
        {"/dev/null", CaptureInput{Kind::camera, "/dev/null"}},
        {"clip.mov", CaptureInput{Kind::file, "clip.mov"}},
        {"lavfi:", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [spelling, expected] : cases)
        EXPECT_EQ(CaptureInput::parse(spelling), expected) << spelling;
}

std::string captureError(const std::string& spelling)
{
    try {
        auto source = openCapture(*CaptureInput::parse(spelling), {.realtime = false, .stallSeconds = 2});
        while (source->read()) {
        }
        return "(no error)";
    } catch (const CaptureError& error) {
        return error.what();
    }
}

TEST(FFmpegCapture, UnusableInputsGiveClearErrorsWithoutHanging)
{
    TemporaryDirectory temp;
    std::ofstream(temp.path() / "text.mov") << "this is not a movie";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(captureError("/dev/video97"), "No camera at /dev/video97: is it plugged in?");
    EXPECT_EQ(captureError("/dev/null"), "Cannot open the camera /dev/null: Inappropriate ioctl for device");
    EXPECT_EQ(captureError((temp.path() / "missing.mov").string()), "No such file: " + (temp.path() / "missing.mov").string());
    EXPECT_TRUE(captureError((temp.path() / "text.mov").string()).starts_with("The file " + (temp.path() / "text.mov").string()))
        << captureError((temp.path() / "text.mov").string());
    ::mkfifo((temp.path() / "fifo.mov").c_str(), 0600);
    EXPECT_EQ(captureError((temp.path() / "fifo.mov").string()), "The file " + (temp.path() / "fifo.mov").string() + " is not a regular file.");
    EXPECT_TRUE(captureError("lavfi:nosuchfilter").starts_with("The filter graph \"nosuchfilter\" cannot be opened"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST(FFmpegCapture, AFilterGraphDeliversTimedBGRAFrames)
{
    auto source = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=320x240:rate=25:duration=1"), {.realtime = false});
    EXPECT_EQ(source->format(), (CaptureFormat{320, 240, 25, "rawvideo"}));
    std::vector<double> times;
    while (auto frame = source->read()) {
        ASSERT_TRUE(frame->image->isBGRA());
        EXPECT_EQ(frame->image->width(), 320);
        times.push_back(frame->time);
    }
    ASSERT_EQ(times.size(), 25u);
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(times[i], i / 25.0, 1e-9);

    // Paced like a camera: half a second of frames takes about half a second; interrupt ends it.
    auto paced = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=160x120:rate=20"));
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 11; ++i)
        ASSERT_TRUE(paced->read());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(450));
    paced->interrupt();
    EXPECT_FALSE(paced->read());
}

TEST(FFmpegCapture, MJPEGFramesCarryTheirOwnBytesAndOthersNone)
{
    TemporaryDirectory temp;
    const fs::path clip = temp.path() / "camera.avi";
    ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=1 "
                           "-c:v mjpeg '" + clip.string() + "'").c_str()),
              0);
    auto source = openCapture(*CaptureInput::parse(clip.string()), {.realtime = false});
    EXPECT_EQ(source->format().codec, "mjpeg");
    ImageContext context;
    int frames = 0;
    std::set<std::string> distinct;
    while (auto frame = source->read()) {
        ++frames;
        ASSERT_TRUE(frame->jpeg);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame->jpeg->data());
        const auto image = decodeImage(std::span(bytes, frame->jpeg->size()), context);
        ASSERT_TRUE(image) << "frame " << frames << " is a whole JPEG";
        const auto decoded = LoopFrameProvider::pixelBuffer(*image, context);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width(), frame->image->width());
        EXPECT_EQ(decoded->height(), frame->image->height());
        // The bytes belong to this frame, not a neighbour: the test pattern moves every frame.
        EXPECT_LT(meanAbsoluteDifference(*decoded, *frame->image), 3.0) << "frame " << frames;
        distinct.insert(*frame->jpeg);
    }
    EXPECT_EQ(frames, 10);
    EXPECT_EQ(distinct.size(), 10u);

    auto raw = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=160x120:rate=10:duration=0.2"), {.realtime = false});
    while (auto frame = raw->read())
        EXPECT_FALSE(frame->jpeg);
}

TEST(CameraListing, ListsOnlyCaptureDevices)
{
    TemporaryDirectory temp;
    EXPECT_TRUE(listCameras(temp.path()).empty());
    // Nodes that answer no V4L2 query are not cameras; names that are not videoN are ignored.
    fs::create_symlink("/dev/null", temp.path() / "video0");
    std::ofstream(temp.path() / "video1") << "";
    std::ofstream(temp.path() / "videocard") << "";
    EXPECT_TRUE(listCameras(temp.path()).empty());
    EXPECT_TRUE(listCameras(temp.path() / "missing").empty());
}

TEST(CameraListing, VirtualCamerasAreNeverOfferedAsThePhysicalCamera)
{
    const std::vector<std::string> ours{"Quellon Camera", "Desk Cam \u2014 mine"};
    const CameraDescription webcam{"HD Pro Webcam C920", "/dev/v4l/by-id/usb-046d-video-index0", "/dev/video2", {}, "uvcvideo"};
    const CameraDescription ourLoopback{"Quellon Camera", "/dev/video0", "/dev/video0", {}, "v4l2 loopback"};
    const CameraDescription otherLoopback{"OBS Virtual Camera", "/dev/video9", "/dev/video9", {}, "v4l2 loopback"};
    // Ours under the custom name, through a driver that is not v4l2loopback.
    const CameraDescription renamed{"Desk Cam \u2014 mine", "/dev/video5", "/dev/video5", {}, "vivid"};
    // A busy device could not be asked: its driver is unknown, so it stays.
    const CameraDescription busy{"(cannot open: Device or resource busy)", "/dev/video4", "/dev/video4", {}, ""};

    const auto kept = physicalCameras({ourLoopback, webcam, otherLoopback, renamed, busy}, ours);
    EXPECT_EQ(kept, (std::vector<CameraDescription>{webcam, busy}));
    EXPECT_TRUE(physicalCameras({ourLoopback}, ours).empty());

    EXPECT_EQ(findCamera(kept, "/dev/video2"), &kept[0]) << "by device path";
    EXPECT_EQ(findCamera(kept, "/dev/v4l/by-id/usb-046d-video-index0"), &kept[0]) << "by stable id";
    EXPECT_EQ(findCamera(kept, "/dev/video0"), nullptr);
}

TEST(CameraListing, OurNamesIncludeTheStoredCustomNameAsItsLabelReadsIt)
{
    TemporaryDirectory temp;
    ::setenv("XDG_CONFIG_HOME", temp.path().c_str(), 1);
    EXPECT_EQ(ourCameraNames(), std::vector<std::string>{"Quellon Camera"});
    const std::string longName = "A very long camera name that V4L2 cuts";
    std::ofstream(temp.path() / "com.pennaveld.quellon.CameraExtension.json")
        << R"({"QuellonCustomCameraName": "  )" << longName << R"(  "})";
    EXPECT_EQ(ourCameraNames(), (std::vector<std::string>{"Quellon Camera", longName, longName.substr(0, 31)}));
    ::unsetenv("XDG_CONFIG_HOME");
}

int countFrames(const fs::path& clip)
{
    auto source = openCapture(CaptureInput{Kind::file, clip.string()}, {.realtime = false});
    int frames = 0;
    while (source->read())
        ++frames;
    return frames;
}

TEST(ClipEncoder, WritesAClipThatCutsAtKeyframesWithoutReencoding)
{
    TemporaryDirectory temp;
    const fs::path clip = temp.path() / "clip.mov";
    {
        auto source = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=320x240:rate=10:duration=4"), {.realtime = false});
        ClipEncoder encoder(clip, 320, 240, 10);
        EXPECT_EQ(encoder.codecName(), "h264");
        while (auto frame = source->read())
            encoder.write(*frame->image, frame->time);
        encoder.finish();
    }
    EXPECT_EQ(countFrames(clip), 40);

    struct Case {
        double start, end;
        bool copied;
        int frames;
    };
    for (const Case& c : {Case{1.0, 3.0, true, 21}, Case{1.3, 3.0, false, 18}, Case{0, 3.9, true, 40}}) {
        const fs::path cut = temp.path() / "cut.mov";
        EXPECT_EQ(cutClip(clip, cut, c.start, c.end), c.copied) << c.start;
        EXPECT_EQ(countFrames(cut), c.frames) << c.start;
    }
    for (const auto& entry : fs::directory_iterator(temp.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}

} // namespace
} // namespace quellon
