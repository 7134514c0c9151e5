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

TEST_F(AutoReturnWatcherTest, ReturnsToLiveOnlyOnceTheUserHasLeftAndComeBack)
{
    // The user went Away with their face at the left of the picture (face centre at x ≈ 0.10).
    using Seen = std::vector<std::optional<int>>;
    const std::optional<int> nobody;
    const struct {
        const char* name;
        Seen first;  // what the camera shows once, sample by sample, after arming
        Seen camera; // then in turn, for ever
        bool returns;
    } cases[] = {
        {"left, then sat down a little to the side", {nobody, nobody, nobody}, {-380}, true},
        {"someone else far to the right meanwhile, then the user back", {500, 500, 500}, {-380}, true},
        // Away chosen while seated (a hotkey, a lock before standing up): no bounce.
        {"never left, sat a little to the side", {}, {-380}, false},
        {"never left, exactly in place", {}, {-400}, false},
        {"gone for only two samples", {nobody, nobody}, {-380}, false},
        {"left, then the face far to the right (centre x ≈ 0.81)", {nobody, nobody, nobody}, {500}, false},
        {"left, nobody back", {}, {nobody}, false},
        {"left, then the face only every other sample", {nobody, nobody, nobody}, {-400, nobody}, false},
    };
    for (const auto& c : cases) {
        std::vector<PixelBufferRef> first, camera;
        for (const auto& x : c.first)
            first.push_back(scene(photo_, x));
        for (const auto& x : c.camera)
            camera.push_back(scene(photo_, x));
        host_.setFrames(scene(photo_, -400), camera, first);
        host_.setModeByHand(QuellonMode::away);
        auto sampler = watcher();
        const auto before = host_.modeChanges().size();
        sampler->statusChanged(away(true));
        if (c.returns) {
            ASSERT_TRUE(host_.waitUntil([&] { return host_.modeChanges().size() > before; })) << c.name;
            EXPECT_EQ(host_.modeChanges().back(), (Change{QuellonMode::live, "presence confirmed"})) << c.name;
            EXPECT_GE(sampler->samplesTaken(), 6) << c.name << ": three away, then three back";
            EXPECT_TRUE(host_.waitUntil([&] { return !sampler->armed(); })) << c.name;
        } else {
            ASSERT_TRUE(host_.waitUntil([&] { return sampler->samplesTaken() >= 10; })) << c.name;
            EXPECT_EQ(host_.modeChanges().size(), before) << c.name;
            EXPECT_TRUE(sampler->armed()) << c.name;
        }
    }
}

TEST(ReturnJudge, AbsenceMustComeInARowAndBeforePresence)
{
    // true: presence confirmed in that sample.
    const struct {
        std::vector<bool> samples;
        int dueAt; // index of the sample at which the return is due; -1: never
    } cases[] = {
        {{false, false, true, true, true}, 3},
        {{true, true, true, true, true, true}, -1},
        {{false, true, false, true, false, true, true}, -1},
        {{false, false, true, false, false, true, true}, 6},
        {{false, false, true, false, true, true}, 5},
        {{false, false, false, false, true, true}, 5},
    };
    for (const auto& c : cases) {
        ReturnJudge judge(2, 2);
        int due = -1;
        for (std::size_t i = 0; i < c.samples.size() && due < 0; ++i)
            if (judge.sample(c.samples[i]))
                due = static_cast<int>(i);
        EXPECT_EQ(due, c.dueAt) << ::testing::PrintToString(c.samples);
    }

    // Seated through as many samples as a return takes, before leaving: what the log reports.
    const std::pair<std::vector<bool>, bool> seated[] = {
        {{true, true}, true}, {{true, false, true}, false}, {{false, false, true, true}, false}};
    for (const auto& [samples, stayed] : seated) {
        ReturnJudge judge(2, 2);
        for (bool sample : samples)
            judge.sample(sample);
        EXPECT_EQ(judge.stayedSeated(), stayed) << ::testing::PrintToString(samples);
    }
}

TEST_F(AutoReturnWatcherTest, AnAwayThatComesDuringTheReturnArmsItAgain)
{
    // Each arming sees the seat empty, then the user back.
    const auto empty = scene(photo_, std::nullopt), back = scene(photo_, -380);
    host_.setFrames(scene(photo_, -400), {empty, empty, empty, back, back, back});
    host_.setModeByHand(QuellonMode::away);
    auto sampler = watcher();
    std::atomic<int> returns = 0;
    // The user steps away again at the very moment the watcher brings Live back.
    host_.afterSetMode = [&](QuellonMode mode) {
        if (mode == QuellonMode::live && ++returns == 1) {
            host_.setModeByHand(QuellonMode::away);
            sampler->statusChanged(away(true));
        }
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
