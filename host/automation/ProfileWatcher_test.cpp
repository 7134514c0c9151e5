#include "host/automation/AutomationTestSupport.h"
#include "host/automation/CameraReaders.h"
#include "host/automation/FrontmostApp.h"
#include "host/automation/ProfileWatcher.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <atomic>

namespace quellon::host {
namespace {

namespace fs = std::filesystem;
using testing::addProcess;
using testing::FakeHostController;
using testing::LoopThread;
using Switches = std::vector<std::pair<std::string, std::string>>;

MeetingAppProfile profile(std::string app, std::optional<std::string> loop, bool enabled = true)
{
    return MeetingAppProfile{UUID::random(), app, app, std::move(loop), enabled};
}

// The watcher against a fake proc tree in which the test starts and ends meeting apps; the
// fake host switches its active loop as the real one does.
class ProfileWatcherTest : public ::testing::Test {
protected:
    ProfileWatcherTest()
        : proc_(directory_.path() / "proc"), fifo_(directory_.path() / "camera.y4m"),
          readers_(ProcessTable(proc_), [this] { return std::vector<fs::path>{fifo_}; }, 1)
    {
        fs::create_directories(proc_);
        settings_.profilesActive = true;
        settings_.profiles = {profile("us.zoom.Zoom", "zoom.mov"), profile("com.slack.Slack", "slack.mov")};
        HostStatus status;
        status.mode = QuellonMode::away;
        status.activeLoop = "default.mov";
        host_.setStatus(status);
    }

    void start()
    {
        watcher_ = std::make_unique<ProfileWatcher>(
            loop_.loop, host_,
            [this] {
                ++looks_;
                std::lock_guard lock(mutex_);
                return settings_;
            },
            [this] { return frontmostApp(readers_.readers(), std::nullopt); },
            log_, std::chrono::milliseconds(10));
        loop_.call([this] { watcher_->start(); });
    }

    ~ProfileWatcherTest() override
    {
        loop_.call([this] { watcher_.reset(); });
    }

    void openCamera(int pid, const std::string& exe, const std::string& unit)
    {
        addProcess(proc_, {pid, exe, "0::/user.slice/user@1000.service/app.slice/" + unit + "\n", {fifo_}});
    }

    // Waits for some looks to pass, so that what did not happen would have had its chance.
    void letLooksPass(int count = 5)
    {
        const int until = looks_ + count;
        ASSERT_TRUE(host_.waitUntil([&] { return looks_ >= until; }));
    }

    TemporaryDirectory directory_;
    fs::path proc_, fifo_;
    CameraReaders readers_;
    FakeHostController host_;
    CapturingLogSink log_;
    std::mutex mutex_;
    ProfileWatcher::Settings settings_;
    std::atomic<int> looks_{0};
    LoopThread loop_;
    std::unique_ptr<ProfileWatcher> watcher_;
};

TEST_F(ProfileWatcherTest, TheMeetingAppReadingTheCameraGetsItsLoopOnce)
{
    start();
    letLooksPass();
    EXPECT_TRUE(host_.loopSwitches().empty()) << "nobody reads the camera";

    openCamera(400, "zoom", "app-gnome-us.zoom.Zoom-7.scope");
    ASSERT_TRUE(host_.waitUntil([&] { return !host_.loopSwitches().empty(); }));
    letLooksPass();
    EXPECT_EQ(host_.loopSwitches(), (Switches{{"zoom.mov", "profile us.zoom.Zoom"}})) << "switched once";

    // Zoom quits, Slack starts a call: its loop replaces Zoom's.
    fs::remove_all(proc_ / "400");
    openCamera(401, "slack", "app-com.slack.Slack-8.scope");
    ASSERT_TRUE(host_.waitUntil([&] { return host_.loopSwitches().size() == 2; }));
    EXPECT_EQ(host_.loopSwitches().back(), (std::pair<std::string, std::string>{"slack.mov", "profile com.slack.Slack"}));
    EXPECT_EQ(host_.status().activeLoop, "slack.mov");
}

TEST_F(ProfileWatcherTest, NothingSwitchesWhileRecordingOrWithProfilesOff)
{
    HostStatus status = host_.status();
    status.recording = true;
    host_.setStatus(status);
    openCamera(400, "zoom", "app-us.zoom.Zoom-7.scope");
    start();
    letLooksPass();
    EXPECT_TRUE(host_.loopSwitches().empty()) << "a recording is never disturbed";

    {
        std::lock_guard lock(mutex_);
        settings_.profilesActive = false;
    }
    // A look that read the settings before the change must also see the recording.
    letLooksPass();
    status.recording = false;
    host_.setStatus(status);
    letLooksPass();
    EXPECT_TRUE(host_.loopSwitches().empty()) << "profiles are off";

    {
        std::lock_guard lock(mutex_);
        settings_.profilesActive = true;
    }
    ASSERT_TRUE(host_.waitUntil([&] { return host_.loopSwitches().size() == 1; })) << "edits apply at the next look";
}

TEST_F(ProfileWatcherTest, ARefusedSwitchIsLoggedOnceAndNotRetried)
{
    host_.missingClips = {"zoom.mov"};
    openCamera(400, "zoom", "app-us.zoom.Zoom-7.scope");
    start();
    ASSERT_TRUE(host_.waitUntil([&] { return !host_.loopSwitches().empty(); }));
    letLooksPass();
    EXPECT_EQ(host_.loopSwitches().size(), 1u);
    std::size_t errors = 0;
    for (const auto& line : log_.lines())
        errors += line.level == LogLevel::error;
    EXPECT_EQ(errors, 1u);
    EXPECT_TRUE(log_.contains("profile us.zoom.Zoom: cannot switch to the loop \"zoom.mov\": no clip named zoom.mov"));

    // Another application's switch is a new attempt.
    fs::remove_all(proc_ / "400");
    openCamera(401, "slack", "app-com.slack.Slack-8.scope");
    ASSERT_TRUE(host_.waitUntil([&] { return host_.loopSwitches().size() == 2; }));
}

} // namespace
} // namespace quellon::host
