// quellon-fuzz-seeds DIRECTORY: writes a small seed corpus for every fuzz target into
// DIRECTORY/<target>/, made with the project's own encoders so each seed is well-formed.

#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"
#include "platform/FileIO.h"
#include "playback/PNGWriter.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonState.h"

#include <turbojpeg.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace quellon;
using namespace quellon::PropertyFraming;
namespace fs = std::filesystem;

namespace {

void write(const fs::path& directory, const std::vector<std::string>& seeds)
{
    fs::create_directories(directory);
    for (std::size_t i = 0; i < seeds.size(); ++i)
        replaceFileAtomically(directory / ("seed-" + std::to_string(i)), seeds[i], Durability::fast);
}

PixelBufferRef gradient(int width, int height, std::uint8_t alpha)
{
    PixelBufferRef frame = PixelBuffer::create(width, height, kPixelFormatBGRA);
    auto lock = frame->lockForWriting();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = lock.row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(x * 255 / width * alpha / 255);
            p[1] = static_cast<std::uint8_t>(y * 255 / height * alpha / 255);
            p[2] = static_cast<std::uint8_t>(90 * alpha / 255);
            p[3] = alpha;
        }
    return frame;
}

std::string jpeg(int width, int height, int flags)
{
    const PixelBufferRef frame = gradient(width, height, 255);
    auto lock = frame->lockForReading();
    tjhandle compressor = tjInitCompress();
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    std::string result;
    if (compressor && tjCompress2(compressor, lock.baseAddress(), width, static_cast<int>(frame->bytesPerRow()), height,
                                  TJPF_BGRA, &bytes, &size, TJSAMP_420, 80, flags) == 0)
        result.assign(reinterpret_cast<const char*>(bytes), size);
    tjFree(bytes);
    if (compressor)
        tjDestroy(compressor);
    return result;
}

std::string png(const fs::path& scratch, int width, int height, std::uint8_t alpha)
{
    const fs::path path = scratch / "seed.png";
    PNGWriter::writePNG(gradient(width, height, alpha), path);
    return readRegularFile(path).value_or("");
}

std::string headerBytes(Operation operation, std::uint32_t selector, std::uint32_t length)
{
    const auto bytes = encodeRequestHeader({operation, selector, length});
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quellon-fuzz-seeds DIRECTORY\n");
        return 2;
    }
    const fs::path root = argv[1];
    fs::create_directories(root);
    using QuellonCMIOChannel::frameSelector;
    using QuellonCMIOChannel::nameSelector;
    using QuellonCMIOChannel::stateSelector;

    QuellonState away;
    away.mode = QuellonMode::away;
    away.revision = 7;
    away.activeClipFilename = "clip.mov";
    away.varietyClipFilenames = {"a.mov", "b.mov"};
    away.updatedAt = Date(std::chrono::seconds(1765000000));
    const std::string state = *QuellonCMIOChannel::encodeState(away);
    const std::string defaultState = *QuellonCMIOChannel::encodeState(QuellonState{});

    const std::string smallJPEG = jpeg(32, 18, 0);
    const std::string smallPNG = png(root, 24, 16, 200);

    write(root / "framing",
          {headerBytes(Operation::get, stateSelector, 0), headerBytes(Operation::set, frameSelector, kMaxFrameBytes),
           headerBytes(Operation::set, nameSelector, 12), std::string(encodeReplyHeader({ReplyStatus::rejected, 5}).size(), '\0')});
    write(root / "channels", {std::string(1, '\0') + state, std::string(1, '\0') + defaultState, "\x01Studio Cam",
                              "\x01  Caf\xC3\xA9 \n", "\x01\xE2\x80\xAE" "abc"});
    write(root / "record_state", {state, defaultState});
    write(root / "record_clip",
          {R"({"clipType":"loop","createdAt":"2026-12-06T05:46:40Z","displayName":"Desk","duration":12.5,)"
           R"("filename":"clip.mov","fps":30,"loopMode":"pingpong","resolution":"1280x720"})"});
    write(root / "record_schedule",
          {R"({"endMinute":1020,"id":"0E8A2C4F-3B1D-4E5A-9F00-1234567890AB","isEnabled":true,"name":"Lunch",)"
           R"("startMinute":720,"weekdays":[2,3,4,5,6]})"});
    write(root / "record_profile",
          {R"({"appBundleID":"us.zoom.xos","appDisplayName":"Zoom","id":"0E8A2C4F-3B1D-4E5A-9F00-1234567890AB",)"
           R"("isEnabled":true,"preferredLoopFilename":"clip.mov"})"});
    write(root / "record_hotkey", {R"({"keyCode":0,"modifiers":1048840})", R"({"keyCode":105,"modifiers":0})"});
    write(root / "record_panel_anchor",
          {R"({"h":24.5,"w":30.0,"x":812.5,"y":3.0})", R"({"x":1.5,"y":-2,"w":3,"h":4,"scale":2})"});
    write(root / "record_settings",
          {R"({"schedules":[{"endMinute":1020,"id":"0E8A2C4F-3B1D-4E5A-9F00-1234567890AB","isEnabled":true,)"
           R"("name":"Lunch","startMinute":720,"weekdays":[2,3,4,5,6]}],"meetingAppProfiles":[{"appBundleID":)"
           R"("us.zoom.xos","appDisplayName":"Zoom","id":"0E8A2C4F-3B1D-4E5A-9F00-1234567890AC","isEnabled":true,)"
           R"("preferredLoopFilename":"clip.mov"}],"schedulesEnabled":false,"lockTriggerEnabled":true,)"
           R"("autoReturnEnabled":true,"autoReturnTolerance":0.4,"hotkeys":{"standby":{"keyCode":1,)"
           R"("modifiers":1048840}},"scheduleAwayIsScheduled":true,)"
           R"("scheduleDismissedWindowID":"0E8A2C4F-3B1D-4E5A-9F00-1234567890AB","otherDefault":[1,2]})",
           "{}"});
    CameraInfo info{"Quellon Camera", "LEGACY", "DEVICE-UUID", "STREAM-UUID", 30, "y4m:/tmp/camera.y4m"};
    write(root / "record_camera_info", {encodeJSON(info)});
    write(root / "date", {"2026-12-07T02:00:00Z", "1970-01-01T00:00:00Z", "2000-02-29T23:59:59Z"});
    write(root / "heartbeat", {"1765000000.0", "1765000000.25\n", "-9200000000", "1.765e9"});
    // Both lengths' parities, so both limits see a JPEG and a PNG.
    write(root / "image", {smallJPEG, smallJPEG + std::string(1, '\0'), jpeg(40, 30, TJFLAG_PROGRESSIVE), smallPNG,
                           smallPNG + std::string(1, '\0')});
    write(root / "socket_connection",
          {encodeRequest(Operation::set, stateSelector, state) + encodeRequest(Operation::get, stateSelector, {}),
           encodeRequest(Operation::set, nameSelector, "Desk Cam") + encodeRequest(Operation::get, kCameraInfoSelector, {}),
           encodeRequest(Operation::set, frameSelector, smallJPEG) + encodeRequest(Operation::get, frameSelector, {}),
           encodeRequest(Operation::get, nameSelector, {}) + headerBytes(Operation::set, stateSelector, 40) + "{",
           encodeRequest(Operation::get, QuellonCMIOChannel::rawFrameSelector, {})
               + encodeRequest(Operation::set, QuellonCMIOChannel::rawFrameSelector, RawFrameChannel::encodeLayout({64, 36, 256}))
               + encodeRequest(Operation::set, stateSelector, state)});
    fs::remove(root / "seed.png");
    return 0;
}
