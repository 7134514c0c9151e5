// The daemon as a meeting app sees it: the real program serving its FIFO to the real ffmpeg,
// driven through the property socket.

#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"
#include "platform/Environment.h"
#include "platform/PlatformDirectories.h"

#include <atomic>
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

extern char** environ;

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 160;
constexpr int kHeight = 90;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 3;

struct RGB {
    int r, g, b;
};

/// One frame as ffmpeg hands it over, scaled down to 160 × 90 RGB.
struct Frame {
    std::string bytes;

    RGB at(int x, int y) const
    {
        const std::size_t i = (static_cast<std::size_t>(y) * kWidth + x) * 3;
        return {static_cast<unsigned char>(bytes[i]), static_cast<unsigned char>(bytes[i + 1]),
                static_cast<unsigned char>(bytes[i + 2])};
    }
    bool isRed(int x, int y) const
    {
        const RGB p = at(x, y);
        return p.r > 180 && p.g < 70 && p.b < 70;
    }
    /// The pushed red picture, filling the frame to its corners.
    bool isPushedPicture() const { return isRed(2, 2) && isRed(kWidth / 2, kHeight / 2) && isRed(kWidth - 3, kHeight - 3); }
    /// Mean absolute difference per byte over rows [firstRow, endRow).
    double difference(const Frame& other, int firstRow = 0, int endRow = kHeight) const
    {
        const std::size_t begin = static_cast<std::size_t>(firstRow) * kWidth * 3;
        const std::size_t end = static_cast<std::size_t>(endRow) * kWidth * 3;
        double sum = 0;
        for (std::size_t i = begin; i < end; ++i)
            sum += std::abs(int(static_cast<unsigned char>(bytes[i])) - int(static_cast<unsigned char>(other.bytes[i])));
        return sum / static_cast<double>(end - begin);
    }
    /// The same over the card's caption line.
    double captionDifference(const Frame& other) const { return difference(other, kHeight * 58 / 100, kHeight * 66 / 100); }
};

bool haveProgram(const char* name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

class CameraDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveProgram("ffmpeg") || !haveProgram("ffprobe"))
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        fs::create_directories(container);
        fs::create_directories(home / "config");
        const std::string dataHome = "XDG_DATA_HOME=" + (home / "data").string();
        const std::string configHome = "XDG_CONFIG_HOME=" + (home / "config").string();
        const std::string homeVar = "HOME=" + home.string();
        const char* args[] = {QUELLON_EXTENSION_PATH, "--sink", "y4m", nullptr};
        // Under the address sanitizer the daemon's exit status also reports leaks; one inside
        // fontconfig's own start-up is not ours to fix.
        const std::string leakOptions = std::string("LSAN_OPTIONS=suppressions=") + QUELLON_LSAN_SUPPRESSIONS;
        const char* env[] = {dataHome.c_str(), configHome.c_str(), homeVar.c_str(), "PATH=/usr/bin:/bin",
                             leakOptions.c_str(), nullptr};
        ASSERT_EQ(posix_spawn(&daemon, QUELLON_EXTENSION_PATH, nullptr, nullptr, const_cast<char**>(args),
                              const_cast<char**>(env)),
                  0);
        for (int i = 0; i < 500 && !(fs::exists(socket) && fs::exists(fifo)); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::exists(socket));
        ASSERT_TRUE(fs::exists(fifo));
    }

    void TearDown() override
    {
        stopPushing();
        if (reader)
            ::pclose(reader);
        if (daemon > 0) {
            // Every test ends with a clean stop, so a sanitizer build checks the daemon for leaks.
            ::kill(daemon, SIGTERM);
            int status = 0;
            pid_t done = 0;
            for (int i = 0; i < 1000 && done == 0; ++i) {
                done = ::waitpid(daemon, &status, WNOHANG);
                if (done == 0)
                    std::this_thread::sleep_for(10ms);
            }
            if (done == 0) {
                ::kill(daemon, SIGKILL);
                ::waitpid(daemon, nullptr, 0);
                ADD_FAILURE() << "the daemon did not stop on SIGTERM";
            } else {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            }
        }
    }

    void openReader(const std::string& extra = "")
    {
        const std::string command = "ffmpeg -loglevel error -f yuv4mpegpipe -i '" + fifo.string() + "' " + extra
            + " -vf scale=" + std::to_string(kWidth) + ":" + std::to_string(kHeight) + " -f rawvideo -pix_fmt rgb24 -";
        reader = ::popen(command.c_str(), "r");
        ASSERT_TRUE(reader);
    }

    Frame nextFrame()
    {
        Frame frame{std::string(kFrameBytes, '\0')};
        const std::size_t n = std::fread(frame.bytes.data(), 1, kFrameBytes, reader);
        if (n != kFrameBytes)
            throw std::runtime_error("the stream ended");
        return frame;
    }

    /// Reads up to limit frames until one satisfies condition; gives how many were read, or
    /// nothing when none did.
    std::optional<int> framesUntil(int limit, const std::function<bool(const Frame&)>& condition)
    {
        for (int i = 1; i <= limit; ++i)
            if (condition(nextFrame()))
                return i;
        return std::nullopt;
    }

    std::string makeJPEG()
    {
        const fs::path jpeg = home / "red.jpg";
        const std::string command = "ffmpeg -loglevel error -y -f lavfi -i color=c=red:s=640x360 -frames:v 1 '"
            + jpeg.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return readRegularFile(jpeg).value_or("");
    }

    void startPushing(std::string jpeg)
    {
        pushing = true;
        pusher = std::thread([this, jpeg] {
            CameraClient client(socket);
            while (pushing) {
                client.setProperty(QuellonCMIOChannel::frameSelector, jpeg);
                std::this_thread::sleep_for(40ms);
            }
        });
    }

    void stopPushing()
    {
        pushing = false;
        if (pusher.joinable())
            pusher.join();
    }

    void sendState(QuellonMode mode, std::int64_t revision)
    {
        QuellonState state;
        state.mode = mode;
        state.revision = revision;
        CameraClient(socket).sendState(state);
    }

    TemporaryDirectory directory{"quellon-daemon-e2e"};
    fs::path home = directory.path();
    fs::path container = home / "data" / "group.com.quellon.shared";
    fs::path socket = container / "camera.sock";
    fs::path fifo = container / "camera.y4m";
    pid_t daemon = -1;
    FILE* reader = nullptr;
    std::atomic<bool> pushing{false};
    std::thread pusher;
};

TEST_F(CameraDaemonTest, ServesCardPictureAndErrorCardToFFmpeg)
{
    CameraClient client(socket);
    const CameraInfo info = client.cameraInfo();
    EXPECT_EQ(info.name, "Quellon Camera");
    EXPECT_EQ(info.sink, "y4m:" + fifo.string());
    EXPECT_EQ(info.fps, 30);

    openReader();
    // The standby card arrives before any push.
    const Frame card = nextFrame();
    EXPECT_FALSE(card.isRed(kWidth / 2, kHeight / 2));
    EXPECT_LT(card.difference(nextFrame()), 1.0);

    // A pushed 640 × 360 JPEG appears, scaled to fill the 1280 × 720 stream.
    startPushing(makeJPEG());
    EXPECT_TRUE(framesUntil(90, [](const Frame& f) { return f.isPushedPicture(); }));

    // The card returns within 0.7 s and a tick of the last push (30 fps; a few frames of slack
    // for what sits in the pipes).
    stopPushing();
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
}

TEST_F(CameraDaemonTest, ProbesAsA1280By720Stream)
{
    const std::string command = "ffprobe -v error -select_streams v:0 -show_entries stream=width,height,pix_fmt "
                                "-of csv=p=0 -f yuv4mpegpipe '" + fifo.string() + "'";
    FILE* probe = ::popen(command.c_str(), "r");
    ASSERT_TRUE(probe);
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, probe) != nullptr;
    ::pclose(probe);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::string(line), "1280,720,yuv420p\n");
}

TEST_F(CameraDaemonTest, RefreshesTheHeartbeatWhileServing)
{
    MapEnvironment environment({{"XDG_DATA_HOME", (home / "data").string()}});
    XdgDirectories directories(environment);
    ContainerPlatform platform{environment, directories};
    openReader();
    nextFrame();
    const auto first = QuellonStorage::readHeartbeat(platform);
    ASSERT_TRUE(first);
    auto later = first;
    for (int i = 0; i < 120 && later == first; ++i) {
        nextFrame();
        later = QuellonStorage::readHeartbeat(platform);
    }
    ASSERT_TRUE(later);
    EXPECT_GT(*later, *first);
}

TEST_F(CameraDaemonTest, ReadersComeAndGoAndHostileConnectionsAreShrugged)
{
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
    CameraClient client(socket);
    EXPECT_EQ(client.cameraInfo().name, "Quellon Camera");
    EXPECT_EQ(::waitpid(daemon, nullptr, WNOHANG), 0) << "the daemon died";
}

TEST_F(CameraDaemonTest, ExitsCleanlyOnSignals)
{
    for (int signal : {SIGTERM, SIGINT}) {
        if (daemon < 0)
            SetUp();
        openReader();
        nextFrame();
        ASSERT_EQ(::kill(daemon, signal), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(daemon, &status, 0), daemon);
        daemon = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signal;
        EXPECT_FALSE(fs::exists(socket));
        EXPECT_FALSE(fs::exists(fifo));
        ::pclose(reader);
        reader = nullptr;
    }
}

} // namespace
} // namespace quellon
