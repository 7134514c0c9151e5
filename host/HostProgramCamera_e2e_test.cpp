// Everything real: the camera daemon (FIFO sink) read by ffmpeg, `quellon host` with an FFmpeg
// input as the physical camera, and the quellon commands on a private session bus.

#include "CameraDaemonFixture.h"
#include "menubar/BusTestSupport.h"
#include "playback/TestClips.h"

#include "cli/ChildProgram.h"

#include "channel/CameraClient.h"
#include "channel/QuellonCMIOChannel.h"
#include "capture/CameraListing.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
bool isRed(const Frame& frame) { return isColour(frame, 255, 0, 0); }

/// A session bus at a fixed address, so that it can be killed and started again where the
/// host looks for it.
class RestartableBus {
public:
    explicit RestartableBus(fs::path directory) : directory_(std::move(directory))
    {
        std::ofstream(directory_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << (directory_ / "bus").string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        start();
    }
    ~RestartableBus() { kill(); }

    std::string address() const { return "unix:path=" + (directory_ / "bus").string(); }

    void start()
    {
        fs::remove(directory_ / "bus");
        const std::string config = "--config-file=" + (directory_ / "bus.conf").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0) {
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(directory_ / "bus"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    fs::path directory_;
    pid_t pid_ = -1;
};

/// The host logs its start-up on standard error too; its ready line comes last.
bool waitUntilServing(testing::ChildProgram& host)
{
    for (std::string line = host.readErrorLine(); !line.empty(); line = host.readErrorLine())
        if (line == "quellon: host running")
            return true;
    return false;
}

/// Reads the host's log until a line holding text; false when the host's output ends first.
bool waitForLogLine(testing::ChildProgram& host, const std::string& text)
{
    for (std::string line = host.readErrorLine(); !line.empty(); line = host.readErrorLine())
        if (line.find(text) != std::string::npos)
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

    /// Asks `quellon status` until its output holds text; the last output.
    std::string statusUntil(const std::string& text, int attempts = 200) const
    {
        std::string seen;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            seen = quellon({"status"}).out;
            if (seen.find(text) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return seen;
    }

    void makeClip(const std::string& colour, const std::string& name)
    {
        fs::create_directories(container / "Clips");
        ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=" + colour + ":s=320x180:r=30:d=1 -c:v ffv1", container / "Clips" / name));
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

TEST_F(HostProgramCameraTest, ALoopChosenWhileTheHostRunsIsWhatAwayPlays)
{
    makeClip("blue", "blue.mkv");
    makeClip("red", "imported-a.mkv");
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"},
                               environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_TRUE(framesUntil(300, isLime));

    // Nothing playable: refused with the reason, from the command and on the bus; Live stays.
    const auto refused = quellon({"away"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("there is no loop to play"), std::string::npos) << refused.err;
    {
        auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
        auto proxy = sdbus::createProxy(*connection, "com.pennaveld.quellon", "/com/pennaveld/quellon");
        try {
            proxy->callMethod("SetMode").onInterface("com.pennaveld.quellon.Host").withArguments(std::string("away"));
            ADD_FAILURE() << "Away was taken without a loop";
        } catch (const sdbus::Error& error) {
            EXPECT_EQ(error.getName(), "org.freedesktop.DBus.Error.Failed");
            EXPECT_NE(error.getMessage().find("there is no loop to play"), std::string::npos) << error.getMessage();
        }
    }
    EXPECT_NE(quellon({"status"}).out.find("mode: live"), std::string::npos);
    EXPECT_TRUE(framesUntil(30, isLime)) << "Live goes on";

    // Chosen by the name `loops list` shows, without the extension.
    const auto chosen = quellon({"loops", "use", "blue"});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, "active loop: blue.mkv\n");
    EXPECT_EQ(quellon({"loops", "use", "nothing-like-it"}).status, 1);
    ASSERT_NE(statusUntil("loop: blue.mkv (30 frames").find("loop: blue.mkv (30 frames"), std::string::npos);
    const auto away = quellon({"away"});
    ASSERT_EQ(away.status, 0) << away.err;
    EXPECT_TRUE(framesUntil(300, isBlue)) << "the chosen loop plays";

    // Another program's state: `quellon state set` while the host runs is taken, not stamped over.
    const auto set = quellon({"state", "set", "--clip", "imported-a.mkv"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(framesUntil(30 * 20, isRed)) << "the clip set from outside plays";
    const auto stored = quellon({"state", "show"}).out;
    EXPECT_NE(stored.find("\"activeClipFilename\": \"imported-a.mkv\""), std::string::npos) << stored;

    // And a record sent straight to the camera by yet another writer.
    QuellonState sent = *QuellonCMIOChannel::decodeState(*CameraClient(socket).property(QuellonCMIOChannel::stateSelector));
    sent.revision += 1;
    sent.activeClipFilename = "blue.mkv";
    sent.updatedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    CameraClient(socket).sendState(sent);
    EXPECT_TRUE(framesUntil(30 * 20, isBlue)) << "the clip the camera was told plays";
    EXPECT_NE(statusUntil("loop: blue.mkv").find("mode: away (command)"), std::string::npos);

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, ACameraChosenOrPluggedInLaterIsPickedUp)
{
    if (!listCameras().empty())
        GTEST_SKIP() << "a camera is connected: the host would take it";
    // No camera at start: the host waits for one.
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray"}, environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    EXPECT_NE(statusUntil("mode: error").find("mode: error"), std::string::npos);

    // A camera that is not there yet: an input that appears later, as a camera plugged in.
    const fs::path late = home / "late-camera.mkv";
    const auto chosen = quellon({"cameras", "use", late.string()});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(quellon({"cameras", "use", "/dev/video77"}).status, 1) << "a device that is not listed";
    const fs::path made = home / "made.mkv";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=lime:s=320x180:r=30:d=2 -c:v ffv1", made));
    fs::rename(made, late);
    EXPECT_TRUE(framesUntil(30 * 20, isLime)) << "plugged in: Live shows it";
    EXPECT_NE(statusUntil("mode: live").find("mode: live"), std::string::npos);

    // Unplugged and plugged in again: back to Live by itself.
    fs::rename(late, made);
    EXPECT_NE(statusUntil("mode: error").find("mode: error"), std::string::npos);
    fs::rename(made, late);
    EXPECT_NE(statusUntil("mode: live").find("mode: live"), std::string::npos);
    EXPECT_TRUE(framesUntil(30 * 20, isLime));

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, TheHostOutlivesItsSessionAndSystemBusAndTheFeedNeverStops)
{
    makeClip("blue", "blue.mkv");
    ASSERT_EQ(quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"}).status, 0);
    fs::create_directories(home / "session-bus");
    fs::create_directories(home / "system-bus");
    RestartableBus restartable(home / "session-bus");
    RestartableBus systemBus(home / "system-bus");
    std::vector<std::string> env = environment();
    for (auto& variable : env)
        if (variable.starts_with("DBUS_SESSION_BUS_ADDRESS="))
            variable = "DBUS_SESSION_BUS_ADDRESS=" + restartable.address();
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus.address());
    const auto run = [&](const std::vector<std::string>& args) { return testing::ChildProgram(QUELLON_CLI_PATH, args, env).finish(); };

    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"}, env);
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    std::string status;
    for (int attempt = 0; attempt < 200 && status.find("loop: blue.mkv (30 frames") == std::string::npos; ++attempt) {
        status = run({"status"}).out;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(run({"away"}).status, 0);
    ASSERT_TRUE(framesUntil(300, isBlue));

    restartable.kill();
    // Three seconds of frames after the bus went: every one the loop, none the card.
    for (int i = 0; i < 90; ++i)
        ASSERT_TRUE(isBlue(nextFrame())) << "frame " << i << " after the bus went";
    EXPECT_NE(run({"status"}).out.find("host: not running"), std::string::npos) << "no bus, no host to ask";

    restartable.start();
    status.clear();
    for (int attempt = 0; attempt < 200 && status.find("host: running") == std::string::npos; ++attempt) {
        status = run({"status"}).out;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(status.find("host: running\nmode: away (command)"), std::string::npos) << status;
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: connected to the session bus again"));

    // The system bus goes too (the automation's): the feed goes on, and so does the session.
    systemBus.kill();
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: lost a bus connection"));
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(isBlue(nextFrame())) << "frame " << i << " after the system bus went";
    systemBus.start();
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: the system bus is back"));
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: connected to the session bus again"));
    ASSERT_EQ(run({"live"}).status, 0) << "commands reach it again";
    EXPECT_TRUE(framesUntil(300, isLime));

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

} // namespace
} // namespace quellon
