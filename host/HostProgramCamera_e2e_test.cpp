// Everything real: the camera daemon (FIFO sink) read by ffmpeg, `quellon host` with an FFmpeg
// input as the physical camera, and the quellon commands on a private session bus.

#include "CameraDaemonFixture.h"
#include "menubar/BusTestSupport.h"
#include "playback/TestClips.h"

#include "cli/ChildProgram.h"

#include <thread>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace quellon {
namespace {

using testing::Frame;
using testing::kHeight;
using testing::kWidth;
namespace fs = std::filesystem;

// The "physical camera" is lime, the loop blue; both fill the frame.
bool isColour(const Frame& frame, int r, int g, int b)
{
    for (auto [x, y] : {std::pair{4, 4}, std::pair{kWidth / 2, kHeight / 2}, std::pair{kWidth - 5, kHeight - 5}}) {
        const auto* p = reinterpret_cast<const unsigned char*>(frame.bytes.data()) + (y * kWidth + x) * 3;
        if (std::abs(p[0] - r) > 60 || std::abs(p[1] - g) > 60 || std::abs(p[2] - b) > 60)
            return false;
    }
    return true;
}
bool isLime(const Frame& frame) { return isColour(frame, 0, 255, 0); }
bool isBlue(const Frame& frame) { return isColour(frame, 0, 0, 255); }

/// The host logs its start-up on standard error too; its ready line comes last.
bool waitUntilServing(testing::ChildProgram& host)
{
    for (std::string line = host.readErrorLine(); !line.empty(); line = host.readErrorLine())
        if (line == "quellon: host running")
            return true;
    return false;
}

class HostProgramCameraTest : public testing::CameraDaemonFixture {
protected:
    std::vector<std::string> environment() const
    {
        return {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
                "XDG_CONFIG_HOME=" + (home / "config").string(), "PATH=/usr/bin:/bin",
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                std::string("LSAN_OPTIONS=suppressions=") + QUELLON_LSAN_SUPPRESSIONS};
    }

    testing::ProgramResult quellon(const std::vector<std::string>& args) const
    {
        return testing::ChildProgram(QUELLON_CLI_PATH, args, environment()).finish();
    }

    testing::PrivateSessionBus bus;
};

TEST_F(HostProgramCameraTest, TheHostFeedsTheCameraAndFollowsTheCommands)
{
    // Away needs a loop to play: a blue clip, chosen in the stored state.
    fs::create_directories(container / "Clips");
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=blue:s=320x180:r=30:d=1 -c:v ffv1", container / "Clips" / "blue.mkv"));
    const auto chosen = quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"});
    ASSERT_EQ(chosen.status, 0) << chosen.err;

    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"},
                               environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_EQ(quellon({"live"}).status, 0);
    EXPECT_TRUE(framesUntil(300, isLime)) << "the live input reaches the meeting app";

    // The chosen loop loads in the background and its report repeats the mode: wait for it, so
    // that the one notification watched is the switch.
    std::string loaded;
    for (int attempt = 0; attempt < 200; ++attempt) {
        loaded = quellon({"status"}).out;
        if (loaded.find("loop: blue.mkv (") != std::string::npos && loaded.find("loop: blue.mkv (0 frames") == std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(loaded.find("loop: blue.mkv (30 frames"), std::string::npos) << loaded;
    testing::ChildProgram watch(QUELLON_CLI_PATH, {"watch", "--count", "1", "--timeout", "20"}, environment());
    ASSERT_EQ(watch.readErrorLine(), "quellon: watching");
    const auto away = quellon({"away"});
    EXPECT_EQ(away.status, 0) << away.err;
    const auto watched = watch.finish();
    EXPECT_EQ(watched.out, "com.quellon.menubar.mode.away\n") << watched.err;
    EXPECT_TRUE(framesUntil(300, isBlue)) << "the loop replaces the live picture";

    const auto status = quellon({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("host: running\nmode: away (command)\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("physical camera: lavfi:color=c=lime:s=320x180:r=30"), std::string::npos) << status.out;

    // The settings commands reach the running host through its settings file: the tray's
    // auto-return switch follows, and the status tells what is armed and what comes next.
    ASSERT_EQ(quellon({"settings", "set", "auto-return", "on"}).status, 0);
    ASSERT_EQ(quellon({"schedules", "add", "Lunch", "--start", "12:00", "--end", "13:00"}).status, 0);
    std::string seen;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seen = quellon({"status"}).out;
        if (seen.find("auto return: on") != std::string::npos && seen.find("Next schedule change: Lunch") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(seen.find("auto return: on"), std::string::npos) << seen;
    EXPECT_NE(seen.find("Automatic: "), std::string::npos) << seen;
    EXPECT_NE(seen.find("Next schedule change: Lunch"), std::string::npos) << seen;

    host.signal(SIGTERM);
    const auto ended = host.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
}

} // namespace
} // namespace quellon
