#pragma once

// The camera daemon as a meeting app sees it, for end-to-end tests: the real program started
// in a private container with its FIFO sink, read by the real ffmpeg, driven through the
// property socket. Test targets that use it define QUELLON_EXTENSION_PATH and
// QUELLON_LSAN_SUPPRESSIONS.

#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <functional>
#include <optional>
#include <unistd.h>

namespace quellon::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 160;
constexpr int kHeight = 90;

/// One frame as ffmpeg hands it over, scaled down to 160 × 90 RGB.
struct Frame {
    std::string bytes;

    bool isRed(int x, int y) const
    {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + (y * kWidth + x) * 3;
        return p[0] > 180 && p[1] < 70 && p[2] < 70;
    }
    /// The pushed red picture, filling the frame to its corners.
    bool isPushedPicture() const { return isRed(2, 2) && isRed(kWidth / 2, kHeight / 2) && isRed(kWidth - 3, kHeight - 3); }
    /// Mean absolute difference per byte over rows [firstRow, endRow).
    double difference(const Frame& other, int firstRow = 0, int endRow = kHeight) const
    {
        double sum = 0;
        for (std::size_t i = firstRow * kWidth * 3; i < std::size_t(endRow * kWidth * 3); ++i)
            sum += std::abs(int(static_cast<unsigned char>(bytes[i])) - int(static_cast<unsigned char>(other.bytes[i])));
        return sum / ((endRow - firstRow) * kWidth * 3);
    }
    /// The same over the card's caption line.
    double captionDifference(const Frame& other) const { return difference(other, kHeight * 58 / 100, kHeight * 66 / 100); }
};

class CameraDaemonFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0)
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        fs::create_directories(container);
        fs::create_directories(home / "config");
        daemon = spawnDaemon();
        ASSERT_GT(daemon, 0);
        for (int i = 0; i < 500 && !(fs::exists(socket) && fs::exists(fifo)); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::exists(socket) && fs::exists(fifo));
    }

    /// Starts the real daemon on this test's private container; its pid, or -1.
    pid_t spawnDaemon()
    {
        const std::string dataHome = "XDG_DATA_HOME=" + (home / "data").string();
        const std::string configHome = "XDG_CONFIG_HOME=" + (home / "config").string();
        const std::string homeVar = "HOME=" + home.string();
        const char* args[] = {QUELLON_EXTENSION_PATH, "--sink", "y4m", nullptr};
        // Under the address sanitizer the exit status also reports leaks; one inside fontconfig's
        // own start-up is not ours to fix.
        const std::string leakOptions = std::string("LSAN_OPTIONS=suppressions=") + QUELLON_LSAN_SUPPRESSIONS;
        const char* env[] = {dataHome.c_str(), configHome.c_str(), homeVar.c_str(), "PATH=/usr/bin:/bin",
                             leakOptions.c_str(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, QUELLON_EXTENSION_PATH, nullptr, nullptr, const_cast<char**>(args), const_cast<char**>(env)) != 0)
            return -1;
        return pid;
    }

    // Every test ends with a clean stop, so a sanitizer build checks the daemon for leaks.
    void TearDown() override
    {
        pusher = std::jthread(); // stops and joins a pusher still running
        if (daemon > 0)
            stop(SIGTERM);
        if (reader)
            ::pclose(reader);
    }

    /// Stops the daemon with signal: it must exit cleanly, removing its socket and FIFO.
    void stop(int signal)
    {
        ::kill(daemon, signal);
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 1000 && (done = ::waitpid(daemon, &status, WNOHANG)) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (done == 0) {
            ::kill(daemon, SIGKILL);
            ::waitpid(daemon, nullptr, 0);
        }
        daemon = -1;
        EXPECT_TRUE(done != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signal << ", status " << status;
        EXPECT_FALSE(fs::exists(socket) || fs::exists(fifo)) << "signal " << signal;
    }

    void openReader(const std::string& extra = "")
    {
        reader = ::popen(("ffmpeg -loglevel error -f yuv4mpegpipe -i '" + fifo.string() + "' " + extra + " -vf scale="
                          + std::to_string(kWidth) + ":" + std::to_string(kHeight) + " -f rawvideo -pix_fmt rgb24 -")
                             .c_str(),
                         "r");
        ASSERT_TRUE(reader);
    }

    Frame nextFrame()
    {
        Frame frame{std::string(kWidth * kHeight * 3, '\0')};
        if (std::fread(frame.bytes.data(), 1, frame.bytes.size(), reader) != frame.bytes.size())
            throw std::runtime_error("the stream ended");
        return frame;
    }

    /// Reads up to limit frames until one satisfies condition; gives how many were read, or nothing.
    std::optional<int> framesUntil(int limit, const std::function<bool(const Frame&)>& condition)
    {
        for (int i = 1; i <= limit; ++i)
            if (condition(nextFrame()))
                return i;
        return std::nullopt;
    }

    void startPushing()
    {
        const fs::path jpeg = home / "red.jpg";
        ASSERT_EQ(std::system(("ffmpeg -loglevel error -y -f lavfi -i color=c=red:s=640x360 -frames:v 1 '" + jpeg.string() + "'").c_str()), 0);
        pusher = std::jthread([this, bytes = readRegularFile(jpeg).value_or("")](std::stop_token stop) {
            CameraClient client(socket);
            for (; !stop.stop_requested(); std::this_thread::sleep_for(40ms))
                client.setProperty(QuellonCMIOChannel::frameSelector, bytes);
        });
    }

    void sendState(QuellonMode mode, std::int64_t revision)
    {
        QuellonState state;
        state.mode = mode;
        state.revision = revision;
        CameraClient(socket).sendState(state);
    }

    std::optional<Date> heartbeat()
    {
        MapEnvironment environment({{"XDG_DATA_HOME", (home / "data").string()}});
        XdgDirectories directories(environment);
        return QuellonStorage::readHeartbeat(ContainerPlatform{environment, directories});
    }

    TemporaryDirectory directory{"quellon-daemon-e2e"};
    fs::path home = directory.path();
    fs::path container = home / "data" / "group.com.quellon.shared";
    fs::path socket = container / "camera.sock";
    fs::path fifo = container / "camera.y4m";
    pid_t daemon = -1;
    FILE* reader = nullptr;
    std::jthread pusher;
};

} // namespace quellon::testing
