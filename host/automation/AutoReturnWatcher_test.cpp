#include "host/automation/AutoReturnWatcher.h"
#include "host/automation/AutomationTestSupport.h"
#include "analysis/AnalysisTestImages.h"
#include "platform/Log.h"

#include <gtest/gtest.h>
#include <atomic>

namespace quellon::host {
namespace {

using testing::FakeHostController;
using Change = FakeHostController::ModeChange;

constexpr int kWidth = 1280, kHeight = 720, kSide = 1205;

// The astronaut photograph, scaled so the face is a third of a 720p frame tall, with its top
// left corner at (x, -100); or the empty backdrop.
PixelBufferRef scene(const cv::Mat& photo, std::optional<int> x)
{
    cv::Mat canvas(kHeight, kWidth, CV_8UC4, cv::Scalar(90, 110, 120, 255));
    if (x) {
        cv::Mat scaled;
        cv::resize(photo, scaled, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
        const cv::Rect target = cv::Rect(*x, -100, kSide, kSide) & cv::Rect(0, 0, kWidth, kHeight);
        scaled(cv::Rect(target.x - *x, target.y + 100, target.width, target.height)).copyTo(canvas(target));
    }
    return testing::frameOf(canvas);
}

HostStatus away(bool autoReturn)
{
    HostStatus status;
    status.mode = QuellonMode::away;
    status.autoReturn = autoReturn;
    return status;
}

class AutoReturnWatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        photo_ = testing::astronaut();
        ASSERT_FALSE(photo_.empty()) << "python3-skimage's astronaut.png is missing";
    }

    std::unique_ptr<AutoReturnWatcher> watcher()
    {
        AutoReturnWatcher::Options options;
        options.interval = std::chrono::milliseconds(20);
        options.tolerance = [] { return 0.5; };
        return std::make_unique<AutoReturnWatcher>(host_, log_, options);
    }

    cv::Mat photo_;
    FakeHostController host_;
    CapturingLogSink log_;
};

TEST_F(AutoReturnWatcherTest, ReturnsToLiveOnlyForTheUsersFaceBackInItsPlace)
{
    // The user left with their face at the left of the picture (face centre at x ≈ 0.10).
    const struct {
        const char* name;
        std::vector<std::optional<int>> camera; // what the camera shows, sample by sample, in turn
        bool returns;
    } cases[] = {
        {"the same face, sat down a little to the side", {-380}, true},
        {"the same face far to the right (centre x ≈ 0.81)", {500}, false},
        {"nobody in the picture", {std::nullopt}, false},
        {"the face only every other sample", {-400, std::nullopt}, false},
    };
    for (const auto& c : cases) {
        std::vector<PixelBufferRef> camera;
        for (const auto& x : c.camera)
            camera.push_back(scene(photo_, x));
        host_.setFrames(scene(photo_, -400), camera);
        auto sampler = watcher();
        const auto before = host_.modeChanges().size();
        sampler->statusChanged(away(true));
        if (c.returns) {
            ASSERT_TRUE(host_.waitUntil([&] { return host_.modeChanges().size() > before; })) << c.name;
            EXPECT_EQ(host_.modeChanges().back(), (Change{QuellonMode::live, "presence confirmed"})) << c.name;
            EXPECT_GE(sampler->samplesTaken(), 3) << c.name << ": three samples in a row";
            EXPECT_TRUE(host_.waitUntil([&] { return !sampler->armed(); })) << c.name;
        } else {
            ASSERT_TRUE(host_.waitUntil([&] { return sampler->samplesTaken() >= 8; })) << c.name;
            EXPECT_EQ(host_.modeChanges().size(), before) << c.name;
            EXPECT_TRUE(sampler->armed()) << c.name;
        }
    }
}

TEST_F(AutoReturnWatcherTest, AnAwayThatComesDuringTheReturnArmsItAgain)
{
    host_.setFrames(scene(photo_, -400), {scene(photo_, -380)});
    auto sampler = watcher();
    std::atomic<int> returns = 0;
    // The user steps away again at the very moment the watcher brings Live back.
    host_.afterSetMode = [&](QuellonMode mode) {
        if (mode == QuellonMode::live && ++returns == 1)
            sampler->statusChanged(away(true));
    };
    sampler->statusChanged(away(true));
    ASSERT_TRUE(host_.waitUntil([&] { return host_.modeChanges().size() >= 2; })) << "armed again, it returns again";
    EXPECT_EQ(host_.modeChanges()[1], (Change{QuellonMode::live, "presence confirmed"}));
}

TEST_F(AutoReturnWatcherTest, TheCameraStaysOpenOnlyWhileArmed)
{
    host_.setFrames(scene(photo_, -400), {scene(photo_, 500)});
    auto sampler = watcher();
    HostStatus live;
    live.mode = QuellonMode::live;
    live.autoReturn = true;
    // Not armed: Live, and Away with auto return off.
    sampler->statusChanged(live);
    sampler->statusChanged(away(false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sampler->samplesTaken(), 0);
    EXPECT_TRUE(host_.keepOpenCalls().empty());

    sampler->statusChanged(away(true));
    ASSERT_TRUE(host_.waitUntil([&] { return sampler->samplesTaken() >= 2; }));
    EXPECT_EQ(host_.keepOpenCalls(), std::vector<bool>{true});
    sampler->statusChanged(live);
    ASSERT_TRUE(host_.waitUntil([&] { return host_.keepOpenCalls().size() == 2; }));
    const auto taken = sampler->samplesTaken();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sampler->samplesTaken(), taken) << "sampling stops in Live";
    EXPECT_EQ(host_.keepOpenCalls(), (std::vector<bool>{true, false}));

    // Destroying it while armed lets the camera close too.
    sampler->statusChanged(away(true));
    ASSERT_TRUE(host_.waitUntil([&] { return host_.keepOpenCalls().size() == 3; }));
    sampler.reset();
    EXPECT_EQ(host_.keepOpenCalls(), (std::vector<bool>{true, false, true, false}));
}

} // namespace
} // namespace quellon::host
