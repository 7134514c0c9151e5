// The host service against the real camera daemon (FIFO sink) read by the real ffmpeg as a
// meeting app would, with an FFmpeg input standing in for the physical camera.

#include "CameraDaemonFixture.h"
#include "host/HostService.h"
#include "platform/Log.h"
#include "host/HostSettingsStore.h"
#include "platform/TemporaryDirectory.h"
#include "state/ClipMetadata.h"
#include "playback/TestClips.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <gtest/gtest.h>

namespace quellon {
namespace {

using testing::Frame;
using testing::kHeight;
using testing::kWidth;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const unsigned char* pixel(const Frame& frame, int x, int y)
{
    return reinterpret_cast<const unsigned char*>(frame.bytes.data()) + (y * kWidth + x) * 3;
}

// The "physical camera" is lime, the loop blue; both fill the frame.
bool isColour(const Frame& frame, int r, int g, int b)
{
    for (auto [x, y] : {std::pair{4, 4}, std::pair{kWidth / 2, kHeight / 2}, std::pair{kWidth - 5, kHeight - 5}}) {
        const auto* p = pixel(frame, x, y);
        if (std::abs(p[0] - r) > 60 || std::abs(p[1] - g) > 60 || std::abs(p[2] - b) > 60)
            return false;
    }
    return true;
}
bool isLive(const Frame& frame) { return isColour(frame, 0, 255, 0); }
bool isLoop(const Frame& frame) { return isColour(frame, 0, 0, 255); }

class HostServiceTest : public testing::CameraDaemonFixture {
protected:
    void SetUp() override
    {
        CameraDaemonFixture::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        // The service in this process finds the same private container as the daemon.
        ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("QUELLON_NO_APP_GROUP");
        fs::create_directories(container / "Clips");
        ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=blue:s=320x180:r=30:d=1 -c:v ffv1", container / "Clips" / "blue.mkv"));
        openReader();
        card = nextFrame(); // before any host: the "Camera paused" card
    }

    void TearDown() override
    {
        if (host)
            host->stop();
        host.reset();
        CameraDaemonFixture::TearDown();
    }

    void startHost(std::string input)
    {
        host::HostOptions options;
        options.inputURL = std::move(input);
        options.socketPath = socket;
        options.log = &log;
        options.settings = &settings;
        host = std::make_unique<host::HostService>(options);
        host->start();
    }

    // Makes blue.mkv the active loop and waits until it is loaded.
    void loadLoop()
    {
        host->setActiveLoop("blue.mkv", "test");
        for (int i = 0; i < 600 && host->status().loopFrames == 0; ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_GT(host->status().loopFrames, 0) << host->status().loopError.value_or("");
    }

    std::optional<QuellonState> cameraState()
    {
        try {
            const auto bytes = CameraClient(socket).property(QuellonCMIOChannel::stateSelector);
            return bytes ? QuellonCMIOChannel::decodeState(*bytes) : std::nullopt;
        } catch (const CameraClientError&) {
            return std::nullopt;
        }
    }

    // Waits (up to seconds) until the camera holds a state of this mode.
    bool cameraReaches(QuellonMode mode, double seconds = 10)
    {
        for (auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds); std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(50ms))
            if (auto state = cameraState(); state && state->mode == mode)
                return true;
        return false;
    }

    // The two cards differ only in their caption ("Camera paused", "Camera unavailable").
    bool isPausedCard(const Frame& frame) const { return frame.difference(card) < 1.0 && frame.captionDifference(card) < 0.5; }
    bool isErrorCard(const Frame& frame) const { return frame.difference(card) < 3.0 && frame.captionDifference(card) > 1.0; }

    Frame card;
    CapturingLogSink log;
    TemporaryDirectory settingsDirectory{"quellon-host-settings"};
    host::HostSettingsStore settings{settingsDirectory.path() / "settings.json"};
    std::unique_ptr<host::HostService> host;
};

TEST_F(HostServiceTest, LiveAwayAndStandbyReachTheMeeting)
{
    startHost("lavfi:color=c=lime:s=320x180:r=30");
    ASSERT_TRUE(framesUntil(30 * 20, isLive)) << "the live camera never reached the stream";
    loadLoop();
    // Live keeps showing the source while the loop loads.
    ASSERT_TRUE(framesUntil(30, isLive));

    host->setMode(QuellonMode::away, "command");
    // How soon it arrives is measured by quellon-host-bench, not bounded here: on a loaded
    // machine any bound would be a bound on the scheduler.
    ASSERT_TRUE(framesUntil(30 * 5, isLoop)) << "the loop never reached the stream";
    EXPECT_TRUE(framesUntil(30, isLoop)) << "the loop keeps playing";

    host->setMode(QuellonMode::standby, "tray");
    EXPECT_TRUE(framesUntil(30 * 2, [&](const Frame& f) { return isPausedCard(f); })) << "standby shows the card";

    host->setMode(QuellonMode::live, "hotkey");
    EXPECT_TRUE(framesUntil(30 * 20, isLive));

    const auto stored = QuellonStorage::readState();
    EXPECT_EQ(stored.mode, QuellonMode::live);
    EXPECT_EQ(stored.activeClipFilename, "blue.mkv");
    ASSERT_TRUE(cameraReaches(QuellonMode::live));
    EXPECT_EQ(cameraState()->revision, stored.revision);
    EXPECT_TRUE(log.contains("host: mode away -> standby (tray)"));
    EXPECT_TRUE(log.contains("host: mode live -> away (command)"));
    const host::HostStatus status = host->status();
    EXPECT_TRUE(status.cameraConnected);
    EXPECT_TRUE(status.physicalCameraAvailable);
    EXPECT_TRUE(status.hasLoops);
    EXPECT_TRUE(status.appStreaming);
    EXPECT_EQ(status.rotationClips, 1);
    // Kept as J420: 320-pixel luma rows, 160-pixel chroma rows at half the height.
    EXPECT_EQ(status.loopBytes, status.loopFrames * (320 * 180 + 2 * 160 * 90));
}

TEST_F(HostServiceTest, ARestartedCameraAndARenameGetTheModeBackByThemselves)
{
    startHost("lavfi:color=c=lime:s=320x180:r=30");
    loadLoop();
    host->setMode(QuellonMode::away, "command");
    ASSERT_TRUE(framesUntil(30 * 5, isLoop));

    ::pclose(reader);
    reader = nullptr;
    stop(SIGTERM);
    daemon = spawnDaemon();
    for (int i = 0; i < 500 && !(fs::exists(socket) && fs::exists(fifo)); ++i)
        std::this_thread::sleep_for(10ms);
    openReader();
    EXPECT_TRUE(framesUntil(30 * 10, isLoop)) << "the loop is back without a command";
    EXPECT_TRUE(cameraReaches(QuellonMode::away));

    CameraClient(socket).setProperty(QuellonCMIOChannel::nameSelector, "Renamed Camera");
    EXPECT_TRUE(cameraReaches(QuellonMode::away));
    EXPECT_EQ(host->mode(), QuellonMode::away);
}

TEST_F(HostServiceTest, AMissingPhysicalCameraShowsTheErrorCardUntilItReturns)
{
    // A two-second MJPEG file: its end is the camera going away unless it is there to reopen.
    const fs::path input = home / "camera.avi";
    const fs::path away = home / "camera.avi.gone";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=lime:s=320x180:r=30:d=2 -c:v mjpeg -q:v 3", input));
    startHost(input.string());
    ASSERT_TRUE(framesUntil(30 * 20, isLive));
    fs::rename(input, away);
    ASSERT_TRUE(framesUntil(30 * 10, [&](const Frame& f) { return isErrorCard(f); })) << "the error card";
    EXPECT_EQ(host->mode(), QuellonMode::error);
    EXPECT_TRUE(host->status().physicalCameraError.has_value());
    EXPECT_FALSE(host->latestCameraFrame());
    EXPECT_TRUE(cameraReaches(QuellonMode::error));

    fs::rename(away, input);
    EXPECT_TRUE(framesUntil(30 * 10, isLive)) << "live again once the camera is back";
    EXPECT_EQ(host->mode(), QuellonMode::live);
    EXPECT_TRUE(log.contains("host: mode live -> error (camera lost)"));
    EXPECT_TRUE(log.contains("host: mode error -> live (camera back)"));
}

TEST_F(HostServiceTest, ACameraThatAppliedAHigherRevisionStillTakesTheHostsState)
{
    sendState(QuellonMode::standby, 1000);
    startHost("lavfi:color=c=lime:s=320x180:r=30");
    EXPECT_TRUE(framesUntil(30 * 20, isLive));
    ASSERT_TRUE(cameraReaches(QuellonMode::live));
    EXPECT_GT(cameraState()->revision, 1000);

    // Another writer goes higher still; the host's next change lands all the same.
    sendState(QuellonMode::standby, cameraState()->revision + 500);
    loadLoop();
    host->setMode(QuellonMode::away, "command");
    EXPECT_TRUE(cameraReaches(QuellonMode::away));
    EXPECT_TRUE(framesUntil(30 * 5, isLoop));
    EXPECT_EQ(QuellonStorage::readState().revision, cameraState()->revision);
}

TEST_F(HostServiceTest, APhysicalCameraLargerThanTheChannelStillReachesTheMeeting)
{
    // 4096 × 2304 BGRA is 37.7 MB, above the 32 MiB a raw frame may carry: fitted to the
    // camera's 1280 × 720 first, never dropped.
    startHost("lavfi:color=c=lime:s=4096x2304:r=5");
    EXPECT_TRUE(framesUntil(30 * 30, isLive));
    for (const auto& line : log.lines())
        EXPECT_FALSE(line.message.starts_with("host: a frame was not sent")) << line.message;
}

TEST_F(HostServiceTest, RecordsALoopFromTheCameraItHoldsWhileLiveGoesOn)
{
    startHost("lavfi:testsrc2=size=320x240:rate=15");
    std::mutex seenMutex;
    std::vector<bool> recordingSeen;
    host->setChangeHandler([&](const host::HostStatus& status) {
        std::lock_guard lock(seenMutex);
        recordingSeen.push_back(status.recording);
    });
    EXPECT_THROW(host->startRecording(0), host::HostError);
    EXPECT_THROW(host->startRecording(601), host::HostError);
    host->startRecording(3.5);
    EXPECT_THROW(host->startRecording(3), host::HostError) << "one recording at a time";
    EXPECT_TRUE(host->status().recording);
    // Live keeps going while the recording taps the same capture.
    EXPECT_TRUE(framesUntil(30 * 20, [&](const Frame& f) { return f.difference(card) > 20; }));
    for (int i = 0; i < 1200 && host->status().recording; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_FALSE(host->status().recording);

    std::vector<std::string> clips;
    for (const auto& entry : fs::directory_iterator(container / "Clips"))
        clips.push_back(entry.path().filename().string());
    std::sort(clips.begin(), clips.end());
    ASSERT_EQ(clips.size(), 3u) << "blue.mkv, the new clip and its sidecar, nothing half-written";
    ASSERT_TRUE(clips[1].starts_with("loop-") && clips[1].ends_with(".json")) << clips[1];
    const std::string clip = clips[2];
    ASSERT_TRUE(clip.starts_with("loop-") && clip.ends_with(".mov")) << clip;
    const auto metadata = QuellonStorage::readMetadata(clip);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->resolution, "320x240");
    EXPECT_EQ(metadata->fps, 15);
    // The seam trims the take to at least three seconds.
    EXPECT_GE(metadata->duration, 3.0);
    EXPECT_LE(metadata->duration, 3.6);
    // None was chosen, so the new clip is the active loop, and the status says so.
    const host::HostStatus after = host->status();
    EXPECT_EQ(after.activeLoop, clip);
    EXPECT_EQ(after.lastRecording, clip);
    EXPECT_TRUE(after.lastRecordingActivated);
    EXPECT_EQ(after.recordingsFinished, 1);
    EXPECT_TRUE(log.contains("host: active loop " + clip + " (recorded)"));
    // The new clip plays as a loop.
    host->setActiveLoop(clip, "test");
    for (int i = 0; i < 600 && host->status().loopFrames == 0; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_GT(host->status().loopFrames, 24);
    std::lock_guard lock(seenMutex);
    // A report from the loop loaded at start may come before the recording's own.
    ASSERT_GE(recordingSeen.size(), 2u);
    EXPECT_NE(std::find(recordingSeen.begin(), recordingSeen.end(), true), recordingSeen.end());
    EXPECT_FALSE(recordingSeen.back());
}

} // namespace
} // namespace quellon
