// The daemon as a meeting app sees it: the real program serving its FIFO to the real ffmpeg,
// driven through the property socket.

#include "CameraDaemonFixture.h"
#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/SocketTestSupport.h"
#include "playback/PixelBuffer.h"

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace quellon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::Frame;
using testing::kHeight;
using testing::kWidth;
using CameraDaemonTest = testing::CameraDaemonFixture;

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

    // The card returns once the last push is no longer fresh (0.7 s, 21 frames; the exact
    // moment is tested on a manual clock). The bound leaves room for a late last push and what
    // sits in the pipes; a card that never returned, or a frame kept for good, fails it.
    pusher.request_stop();
    pusher.join();
    auto frames = framesUntil(90, [&](const Frame& f) { return f.difference(card) < 2.0; });
    ASSERT_TRUE(frames);
    EXPECT_LE(*frames, 45);

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

// Sockets and memory files: what raw frames open and must close. Files the process opens for a
// moment (the heartbeat's replacement, the runtime's own) are not counted.
std::size_t openChannels(const std::string& process)
{
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/" + process + "/fd")) {
        std::error_code ignored;
        const std::string target = fs::read_symlink(entry.path(), ignored).string();
        if (target.starts_with("socket:") || target.starts_with("/memfd:"))
            count += 1;
    }
    return count;
}

// Raw frames go without JPEG from the host's memory to the reader; ten thousand of them in a
// row leave the descriptors of both sides as they were.
TEST_F(CameraDaemonTest, RawFramesReachTheReaderAndLeaveNoDescriptorBehind)
{
    const PixelBufferRef red = PixelBuffer::create(160, 90);
    ASSERT_TRUE(red);
    {
        const auto pixels = red->lockForWriting();
        for (int y = 0; y < 90; ++y)
            for (int x = 0; x < 160; ++x)
                std::memcpy(pixels.row(y) + x * 4, "\x00\x00\xff\xff", 4);
    }
    openReader();
    const Frame card = nextFrame();
    CameraClient client(socket);
    ASSERT_TRUE(client.setRawFrame(*red));
    const std::string daemonID = std::to_string(daemon);
    const std::size_t daemonBefore = openChannels(daemonID);
    const std::size_t ownBefore = openChannels("self");

    constexpr int kFrames = 10000;
    std::atomic<int> sent{0};
    pusher = std::jthread([&](std::stop_token stop) {
        for (; sent < kFrames && !stop.stop_requested(); ++sent)
            if (!client.setRawFrame(*red))
                break;
    });
    EXPECT_TRUE(framesUntil(90, [](const Frame& f) { return f.isPushedPicture(); }));
    pusher.join();
    EXPECT_EQ(sent.load(), kFrames);
    EXPECT_TRUE(testing::eventually([&] { return openChannels(daemonID) == daemonBefore; }))
        << openChannels(daemonID) << " open in the daemon, " << daemonBefore << " before";
    EXPECT_EQ(openChannels("self"), ownBefore);
    // Fresh no more, the frame gives way to the card as a JPEG would.
    EXPECT_TRUE(framesUntil(60, [&](const Frame& f) { return f.difference(card) < 2.0; }));
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


struct Exit {
    int status = -1; // the exit status; -1 when it did not exit by itself within 20 s
    std::string errors;
};

/// Runs the daemon with args in a private home whose runtime directory holds no PipeWire.
Exit runDaemon(const fs::path& home, std::vector<std::string> args)
{
    fs::create_directories(home / "runtime");
    fs::permissions(home / "runtime", fs::perms::owner_all);
    const fs::path errors = home / "stderr.txt";
    std::vector<std::string> environment = {"XDG_DATA_HOME=" + (home / "data").string(),
                                            "XDG_CONFIG_HOME=" + (home / "config").string(),
                                            "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                            "HOME=" + home.string(), "PATH=/usr/bin:/bin",
                                            std::string("LSAN_OPTIONS=suppressions=") + QUELLON_LSAN_SUPPRESSIONS};
    args.insert(args.begin(), QUELLON_EXTENSION_PATH);
    std::vector<char*> argv, envp;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, QUELLON_EXTENSION_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Exit result;
    if (spawned != 0)
        return result;
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 2000 && (done = ::waitpid(pid, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.errors = readRegularFile(errors).value_or("");
    return result;
}

// A sink the user names either works or ends the daemon with status 1 and its reason, instead
// of a daemon that serves nothing while its service manager thinks all is well.
TEST(CameraDaemonStartTest, ANamedSinkThatCannotBeSetUpEndsTheDaemonWithItsReason)
{
    TemporaryDirectory directory{"quellon-daemon-start"};
    const fs::path home = directory.path();
    const fs::path notes = home / "notes.txt";
    { std::ofstream(notes) << "my notes"; }
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    std::vector<Case> cases = {
        {{"--sink", "v4l2:/dev/video-none"}, "camera sink unavailable: /dev/video-none is not a v4l2loopback device."},
        {{"--sink", "pipewire"}, "camera sink unavailable: No PipeWire daemon answers"},
        {{"--sink", "y4m:" + notes.string()}, "camera sink unavailable: " + notes.string() + " is a regular file"},
    };
    // Without the module, `v4l2` finds nothing to write into.
    if (!fs::exists("/dev/v4l2loopback"))
        cases.push_back({{"--sink", "v4l2"}, "camera sink unavailable: No v4l2loopback device is labelled \"Quellon Camera\""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const Exit exit = runDaemon(home, c.args);
        EXPECT_EQ(exit.status, 1);
        EXPECT_NE(exit.errors.find(c.reason), std::string::npos) << exit.errors;
        EXPECT_FALSE(fs::exists(home / "data" / "group.com.quellon.shared" / "camera.sock"));
    }
    std::ifstream in(notes);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "my notes");
}

} // namespace
} // namespace quellon
