// The daemon as a meeting app sees it: the real program serving its FIFO to the real ffmpeg,
// driven through the property socket.

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
#include <unistd.h>

namespace quellon {
namespace {

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

class CameraDaemonTest : public ::testing::Test {
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

TEST_F(CameraDaemonTest, ServesCardPictureAndErrorCardToFFmpegWithAHeartbeat)
{
    const CameraInfo info = CameraClient(socket).cameraInfo();
    EXPECT_EQ(std::tuple(info.name, info.sink, info.fps), std::tuple("Quellon Camera", "y4m:" + fifo.string(), 30));

    openReader();
    // The standby card arrives before any push, and the heartbeat is written.
    const Frame card = nextFrame();
    EXPECT_FALSE(card.isRed(kWidth / 2, kHeight / 2));
    EXPECT_LT(card.difference(nextFrame()), 1.0);
    const auto firstBeat = heartbeat();
    ASSERT_TRUE(firstBeat);

    // A pushed 640 × 360 JPEG appears, scaled to fill the 1280 × 720 stream.
    startPushing();
    EXPECT_TRUE(framesUntil(90, [](const Frame& f) { return f.isPushedPicture(); }));

    // The card returns within 0.7 s and a tick of the last push (30 fps; a few frames of slack
    // for what sits in the pipes).
    pusher.request_stop();
    pusher.join();
    auto frames = framesUntil(60, [&](const Frame& f) { return f.difference(card) < 2.0; });
    ASSERT_TRUE(frames);
    EXPECT_LE(*frames, 21 + 1 + 5);

    // The error mode shows another card; leaving it brings the paused card back.
    sendState(QuellonMode::error, 1);
    EXPECT_TRUE(framesUntil(60, [&](const Frame& f) { return f.captionDifference(card) > 1.0 && !f.isRed(80, 45); }));
    const Frame errorCard = nextFrame();
    EXPECT_LT(errorCard.difference(card, 0, kHeight / 2), 1.0) << "only the caption differs";
    sendState(QuellonMode::standby, 2);
    EXPECT_TRUE(framesUntil(60, [&](const Frame& f) { return f.captionDifference(card) < 0.3; }));
    EXPECT_GT(errorCard.captionDifference(card), 1.0);

    // The heartbeat moves on while serving.
    EXPECT_TRUE(framesUntil(60, [&](const Frame&) { return heartbeat().value_or(Date{}) > *firstBeat; }));
}

TEST_F(CameraDaemonTest, ReadersComeAndGoAndHostileConnectionsAreShrugged)
{
    FILE* probe = ::popen(("ffprobe -v error -select_streams v:0 -show_entries stream=width,height,pix_fmt -of csv=p=0 "
                           "-f yuv4mpegpipe '" + fifo.string() + "'").c_str(), "r");
    ASSERT_TRUE(probe);
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, probe) != nullptr;
    ::pclose(probe);
    EXPECT_TRUE(read);
    EXPECT_STREQ(line, "1280,720,yuv420p\n");

    for (int i = 0; i < 5; ++i) {
        openReader("-frames:v 3");
        nextFrame();
        ::pclose(reader);
        reader = nullptr;
    }
    // Garbage, oversized lengths and connections dropped at once.
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && i % 2 == 0) {
            const char garbage[] = "\xff\xff\xff\xffqlfr\x01\xff\xff\xff\xff garbage";
            [[maybe_unused]] auto ignored = ::write(fd, garbage, sizeof garbage);
        }
        ::close(fd);
    }
    openReader();
    nextFrame();
    EXPECT_EQ(CameraClient(socket).cameraInfo().name, "Quellon Camera");
    EXPECT_EQ(::waitpid(daemon, nullptr, WNOHANG), 0) << "the daemon died";
}

// A second daemon finds the first one answering and leaves without touching its FIFO.
TEST_F(CameraDaemonTest, SecondDaemonLeavesTheRunningOneAlone)
{
    openReader();
    const Frame card = nextFrame();
    const pid_t second = spawnDaemon();
    ASSERT_GT(second, 0);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = ::waitpid(second, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (done == 0) {
        ::kill(second, SIGKILL);
        ::waitpid(second, nullptr, 0);
    }
    EXPECT_TRUE(done == second && WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_TRUE(fs::exists(fifo));
    EXPECT_TRUE(fs::exists(socket));
    EXPECT_EQ(CameraClient(socket).cameraInfo().name, "Quellon Camera");
    // The first daemon still serves: its reader keeps getting frames, and a new one can come.
    EXPECT_LT(card.difference(nextFrame()), 1.0);
    ::pclose(reader);
    reader = nullptr;
    openReader("-frames:v 2");
    EXPECT_LT(card.difference(nextFrame()), 1.0);
}

// SIGTERM ends every test while a reader may be attached.
TEST_F(CameraDaemonTest, ExitsCleanlyOnSIGINTWhileServing)
{
    openReader();
    nextFrame();
    stop(SIGINT);
}

} // namespace
} // namespace quellon
