// The PipeWire camera as a desktop app sees it: a private PipeWire session (session bus,
// pipewire, WirePlumber) started here, the real daemon publishing its node, and GStreamer's
// pipewiresrc reading it back. Skipped, saying why, where PipeWire cannot start.

#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonStorage.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 160;
constexpr int kHeight = 90;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 3;

bool commandExists(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

/// True once command exits 0; tries for about seconds.
bool waitFor(const std::string& command, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) == 0)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::string quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

class PipeWireCameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"pipewire", "wireplumber", "dbus-daemon", "pw-cli", "gst-launch-1.0", "ffmpeg"})
            if (!commandExists(tool))
                GTEST_SKIP() << tool << " is not installed; the PipeWire camera cannot be checked here";

        // A private session: nothing here may reach or disturb a real one.
        fs::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        fs::create_directories(home / "config");
        fs::create_directories(container);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"})
            ::unsetenv(name);

        // WirePlumber 0.4 will not run without a session bus; it finds this one by itself.
        FILE* bus = ::popen(("dbus-daemon --session --fork --address=unix:path=" + (runtime / "bus").string()
                             + " --print-pid=1").c_str(), "r");
        char line[32] = {};
        if (bus && std::fgets(line, sizeof line, bus))
            busPid = static_cast<pid_t>(std::atoi(line));
        if (bus)
            ::pclose(bus);
        if (busPid <= 0)
            GTEST_SKIP() << "PipeWire cannot start here: no private session bus";

        if (const std::string failure = startPipeWire(); !failure.empty())
            GTEST_SKIP() << "PipeWire cannot start here: " << failure;

        const pid_t camera = spawn({QUELLON_EXTENSION_PATH, "--sink", "pipewire"}, home / "camera.log");
        daemonIndex = pids.size() - 1;
        ASSERT_GT(camera, 0);
        ASSERT_TRUE(waitFor("pw-cli ls Node | grep -q 'node.name = \"quellon-camera\"'", 10))
            << "the camera's node was not published: " << tail(home / "camera.log");
        ASSERT_TRUE(waitFor("test -S " + quoted(socket), 10));
    }

    void TearDown() override
    {
        pusher = std::jthread();
        // Reverse start order, by pid; the camera must exit cleanly.
        for (std::size_t i = pids.size(); i-- > 0;) {
            const int status = stop(i);
            if (i == daemonIndex) {
                EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "camera status " << status;
            }
        }
        if (busPid > 0) {
            ::kill(busPid, SIGTERM);
            for (int n = 0; n < 500 && ::kill(busPid, 0) == 0; ++n)
                std::this_thread::sleep_for(10ms);
        }
    }

    /// Starts PipeWire and WirePlumber, at the places they had if they ran before; empty
    /// when both are ready, else what failed.
    std::string startPipeWire()
    {
        const pid_t pipewire = spawn({"pipewire"}, home / "pipewire.log");
        const pid_t wireplumber = spawn({"wireplumber"}, home / "wireplumber.log");
        if (pipewireIndex != SIZE_MAX) {
            pids.resize(pids.size() - 2);
            pids[pipewireIndex] = pipewire;
            pids[pipewireIndex + 1] = wireplumber;
        } else {
            pipewireIndex = pids.size() - 2;
        }
        if (!waitFor("test -S " + quoted(runtime / "pipewire-0"), 10))
            return "its socket never appeared (" + tail(home / "pipewire.log") + ")";
        if (!waitFor("pw-cli ls Metadata | grep -q 'metadata.name = \"default\"'", 15))
            return "WirePlumber never got ready (" + tail(home / "wireplumber.log") + ")";
        return {};
    }

    /// Stops the process at index (TERM, then KILL) and reaps it; returns its wait status.
    int stop(std::size_t index)
    {
        ::kill(pids[index], SIGTERM);
        int status = 0;
        pid_t done = 0;
        for (int n = 0; n < 500 && (done = ::waitpid(pids[index], &status, WNOHANG)) == 0; ++n)
            std::this_thread::sleep_for(10ms);
        if (done == 0) {
            ::kill(pids[index], SIGKILL);
            ::waitpid(pids[index], &status, 0);
        }
        return done == 0 ? -1 : status;
    }

    pid_t spawn(std::vector<std::string> args, const fs::path& log)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid > 0)
            pids.push_back(pid);
        return pid;
    }

    static std::string tail(const fs::path& log)
    {
        auto text = readRegularFile(log).value_or("");
        return text.size() > 400 ? text.substr(text.size() - 400) : text;
    }

    /// count frames read by pipewiresrc, scaled to 160 × 90 RGB; empty when the client failed.
    std::vector<std::string> readFrames(int count)
    {
        const fs::path out = home / "frames.rgb";
        fs::remove(out);
        // The caps filter lets WirePlumber link the client; timeout, because an unlinked client hangs.
        const std::string command = "timeout 30 gst-launch-1.0 -q pipewiresrc target-object=quellon-camera num-buffers="
            + std::to_string(count) + " ! video/x-raw ! videoconvert ! videoscale ! video/x-raw,format=RGB,width="
            + std::to_string(kWidth) + ",height=" + std::to_string(kHeight) + " ! filesink location=" + quoted(out)
            + " >" + quoted(home / "gst.log") + " 2>&1";
        if (std::system(command.c_str()) != 0)
            return {};
        const std::string bytes = readRegularFile(out).value_or("");
        std::vector<std::string> frames;
        for (std::size_t at = 0; at + kFrameBytes <= bytes.size(); at += kFrameBytes)
            frames.push_back(bytes.substr(at, kFrameBytes));
        return frames;
    }

    static bool isRed(const std::string& frame, int x, int y)
    {
        const auto* p = reinterpret_cast<const unsigned char*>(frame.data()) + (y * kWidth + x) * 3;
        return p[0] > 180 && p[1] < 70 && p[2] < 70;
    }
    static bool isPushedPicture(const std::string& frame)
    {
        return isRed(frame, 2, 2) && isRed(frame, kWidth / 2, kHeight / 2) && isRed(frame, kWidth - 3, kHeight - 3);
    }

    std::string sink() { return CameraClient(socket).cameraInfo().sink; }

    /// Waits until the heartbeat stands still (a daemon that serves nobody stops refreshing it,
    /// and `quellon status` then says "not streaming"); true once it did.
    bool heartbeatStops()
    {
        for (int attempt = 0; attempt < 8; ++attempt) {
            const auto before = heartbeat();
            std::this_thread::sleep_for(1200ms);
            if (before && heartbeat() == before)
                return true;
        }
        return false;
    }

    std::optional<Date> heartbeat()
    {
        MapEnvironment environment({{"XDG_DATA_HOME", (home / "data").string()}});
        XdgDirectories directories(environment);
        return QuellonStorage::readHeartbeat(ContainerPlatform{environment, directories});
    }

    TemporaryDirectory directory{"quellon-pipewire-e2e"};
    fs::path home = directory.path();
    fs::path runtime = home / "run";
    fs::path container = home / "data" / "group.com.quellon.shared";
    fs::path socket = container / "camera.sock";
    std::vector<pid_t> pids;
    std::size_t pipewireIndex = SIZE_MAX; // WirePlumber follows it
    std::size_t daemonIndex = SIZE_MAX;
    pid_t busPid = -1;
    std::jthread pusher;
};

TEST_F(PipeWireCameraTest, ServesTheCardThenAPushedPictureAndStopsWithTheReader)
{
    const CameraInfo info = CameraClient(socket).cameraInfo();
    EXPECT_EQ(info.sink, "pipewire:quellon-camera");

    // Before any push: the standby card, not red, and steady.
    const auto cards = readFrames(3);
    ASSERT_EQ(cards.size(), 3u) << tail(home / "gst.log") << tail(home / "camera.log");
    EXPECT_FALSE(isRed(cards[0], kWidth / 2, kHeight / 2));
    EXPECT_EQ(cards[1], cards[2]);

    // A pushed picture (the real `quellon push` path: JPEG over the socket) reaches the reader.
    const fs::path jpeg = home / "red.jpg";
    ASSERT_EQ(std::system(("ffmpeg -loglevel error -y -f lavfi -i color=c=red:s=640x360 -frames:v 1 " + quoted(jpeg)).c_str()), 0);
    pusher = std::jthread([this, bytes = readRegularFile(jpeg).value_or("")](std::stop_token stop) {
        CameraClient client(socket);
        for (; !stop.stop_requested(); std::this_thread::sleep_for(40ms))
            client.setProperty(QuellonCMIOChannel::frameSelector, bytes);
    });
    const auto pushed = readFrames(30);
    ASSERT_EQ(pushed.size(), 30u) << tail(home / "gst.log");
    EXPECT_TRUE(std::any_of(pushed.begin(), pushed.end(), isPushedPicture));
    pusher = std::jthread();

    // The reader has gone: the pump stops, so the heartbeat (refreshed each second while frames
    // are sent) stands still. PipeWire takes a moment to tell the stream, so wait until it does,
    // then check that it stays still.
    ASSERT_TRUE(heartbeatStops()) << "the heartbeat kept moving with no reader";
    const auto stopped = heartbeat();
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(heartbeat(), stopped);
}

// Each layout a client may pick carries the card; read raw (no conversion on the client's
// side), so YUV bytes are checked as sent: BT.601 limited range, where the card's dark
// background and white text stay inside 16..235.
TEST_F(PipeWireCameraTest, ServesEveryOfferedFormatToAClientThatAsksForIt)
{
    struct Case {
        const char* format;
        std::size_t bytes;
    };
    for (const Case& c : {Case{"BGRA", 1280u * 720 * 4}, Case{"I420", 1280u * 720 * 3 / 2}, Case{"YUY2", 1280u * 720 * 2},
                          Case{"BGRx", 1280u * 720 * 4}}) {
        const fs::path out = home / "raw.bin";
        fs::remove(out);
        const std::string command = "timeout 30 gst-launch-1.0 -q pipewiresrc target-object=quellon-camera num-buffers=2"
            " ! video/x-raw,format=" + std::string(c.format) + ",width=1280,height=720 ! filesink location=" + quoted(out)
            + " >" + quoted(home / "gst.log") + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << c.format << ": " << tail(home / "gst.log") << tail(home / "camera.log");
        const std::string bytes = readRegularFile(out, 4 * c.bytes).value_or("");
        ASSERT_EQ(bytes.size(), 2 * c.bytes) << c.format;
        EXPECT_NE(readRegularFile(home / "camera.log").value_or("").find(std::string("a client takes ") + c.format),
                  std::string::npos) << c.format;
        const auto* first = reinterpret_cast<const unsigned char*>(bytes.data());
        if (std::string(c.format) == "I420" || std::string(c.format) == "YUY2") {
            // I420's luma is its first plane; YUY2's every other byte.
            const std::size_t step = std::string(c.format) == "I420" ? 1 : 2;
            int low = 255, high = 0;
            for (std::size_t i = 0; i < 1280u * 720 * step; i += step) {
                low = std::min<int>(low, first[i]);
                high = std::max<int>(high, first[i]);
            }
            EXPECT_GE(low, 16) << c.format << ": luma below limited range";
            EXPECT_LE(high, 235) << c.format << ": luma above limited range";
            EXPECT_GT(high - low, 100) << c.format << ": the card's text is missing";
        } else {
            // The card's corner, where the background is, comes as one opaque colour.
            EXPECT_EQ(first[3], 255) << c.format;
        }
        EXPECT_EQ(bytes.substr(0, c.bytes), bytes.substr(c.bytes)) << c.format << ": the card changed between frames";
    }
}

// PipeWire restarts (as `systemctl --user restart pipewire` does, WirePlumber with it) under a
// reading client: the daemon says the node is withdrawn, stops serving, and publishes the node
// again on the new PipeWire, where a new client reads frames.
TEST_F(PipeWireCameraTest, PublishesAgainWhenPipeWireRestarts)
{
    const std::size_t reader = pids.size();
    ASSERT_GT(spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=quellon-camera", "!", "video/x-raw", "!",
                     "fakesink"}, home / "reader.log"), 0);
    // Served: the pump runs and writes its heartbeat.
    for (int i = 0; i < 150 && !heartbeat(); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(heartbeat()) << "the reader was not served: " << tail(home / "reader.log") << tail(home / "camera.log");
    ASSERT_EQ(sink(), "pipewire:quellon-camera");

    stop(pipewireIndex + 1);
    stop(pipewireIndex);
    bool withdrawn = false;
    for (int i = 0; i < 100 && !withdrawn; ++i, std::this_thread::sleep_for(100ms))
        withdrawn = sink().find("withdrawn: PipeWire is not answering") != std::string::npos;
    EXPECT_TRUE(withdrawn) << sink();
    EXPECT_TRUE(heartbeatStops()) << "the heartbeat kept moving while PipeWire was away: " << tail(home / "camera.log");
    stop(reader);
    pids.erase(pids.begin() + static_cast<std::ptrdiff_t>(reader));

    ASSERT_EQ(startPipeWire(), "");
    ASSERT_TRUE(waitFor("pw-cli ls Node | grep -q 'node.name = \"quellon-camera\"'", 10))
        << "the node was not published again: " << tail(home / "camera.log");
    EXPECT_EQ(sink(), "pipewire:quellon-camera");
    const auto frames = readFrames(5);
    ASSERT_EQ(frames.size(), 5u) << tail(home / "gst.log") << tail(home / "camera.log");
    EXPECT_FALSE(isRed(frames[0], kWidth / 2, kHeight / 2));
}

} // namespace
} // namespace quellon
