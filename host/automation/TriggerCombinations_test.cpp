// The automatic triggers together, as the host runs them: schedules, the screen lock, meeting-app
// profiles, hotkeys and auto return against one host, with the user's own commands in between.

#include "analysis/AnalysisTestImages.h"
#include "analysis/FaceDetector.h"
#include "host/automation/AutoReturnWatcher.h"
#include "host/automation/AutomationTestSupport.h"
#include "host/automation/HotkeyActions.h"
#include "host/automation/LockMonitor.h"
#include "host/automation/ProfileWatcher.h"
#include "host/automation/ScheduleDriver.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "schedules/ZonedCalendar.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace quellon::host {
namespace {

using testing::FakeHostController;

constexpr int kWidth = 640, kHeight = 360, kSide = 602;
// Monday 7 December 2026, 00:00 UTC; the schedule "Lunch" runs from 12:00 to 13:00 every day.
constexpr double mondayMidnight = 1796601600;

// The astronaut photograph scaled so the face is a third of the frame tall, at its left (as the
// user sits), or the empty backdrop.
PixelBufferRef scene(const cv::Mat& photo, bool seated)
{
    cv::Mat canvas(kHeight, kWidth, CV_8UC4, cv::Scalar(90, 110, 120, 255));
    if (seated) {
        constexpr int x = -200, y = -50;
        cv::Mat scaled;
        cv::resize(photo, scaled, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
        const cv::Rect target = cv::Rect(x, y, kSide, kSide) & cv::Rect(0, 0, kWidth, kHeight);
        scaled(cv::Rect(target.x - x, target.y - y, target.width, target.height)).copyTo(canvas(target));
    }
    return testing::frameOf(canvas);
}

// The real detector, asked once per scene: the table shows the same two frames thousands of
// times, and what the triggers do with a face is the point here, not finding it again.
class RememberingFaceDetector : public FaceDetector {
public:
    std::optional<std::vector<FaceObservation>> detect(const PixelBuffer& frame, Detail detail) override
    {
        std::lock_guard lock(mutex_);
        const auto key = std::pair(&frame, detail);
        auto found = seen_.find(key);
        if (found == seen_.end())
            found = seen_.emplace(key, threadFaceDetector().detect(frame, detail)).first;
        return found->second;
    }

private:
    std::mutex mutex_;
    std::map<std::pair<const PixelBuffer*, Detail>, std::optional<std::vector<FaceObservation>>> seen_;
};

// Every trigger switched on, fed by hand: each step is one thing happening, after which a
// minute passes (the schedules decide at every minute) and auto return has sampled enough to
// act. Steps: "M+" / "M-" the user's `quellon away` / `quellon live`; "S+" / "S-" the window
// begins / ends; "L+" / "L-" lock / unlock; "P+" / "P-" the meeting app comes to the front /
// leaves it; "H" the toggle-Away hotkey; "R+" / "R-" the user stands up and leaves / sits back
// down (the camera shows an empty seat / their face where it was).
class TriggerCombinationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        photo_ = testing::astronaut();
        ASSERT_FALSE(photo_.empty()) << "python3-skimage's astronaut.png is missing";
        seated_ = scene(photo_, true);
        empty_ = scene(photo_, false);
    }

    void TearDown() override
    {
        loop_.call([this] {
            profiles_.reset();
            schedules_.reset();
            lock_.reset();
        });
        autoReturn_.reset();
    }

    void start(QuellonMode mode)
    {
        HostStatus status;
        status.mode = mode;
        status.autoReturn = true;
        status.activeLoop = "default.mov";
        host_.setStatus(status);
        host_.setFrames(seated_, {seated_});
        minute_ = 0;
        window_ = Window::before;
        frontmost_ = "org.gnome.Terminal";
        AutoReturnWatcher::Options options;
        options.interval = std::chrono::milliseconds(10);
        options.tolerance = [] { return 0.5; };
        options.detector = &detector_;
        autoReturn_ = std::make_unique<AutoReturnWatcher>(host_, log_, options);
        loop_.call([this] {
            HostSettings settings;
            settings.schedules.push_back(
                LoopSchedule(UUID::random(), "Lunch", 12 * 60, 13 * 60, {1, 2, 3, 4, 5, 6, 7}, true));
            clock_.setNow(now());
            schedules_ = std::make_unique<ScheduleDriver>(
                host_, loop_.loop, clock_, log_, [] { return std::make_unique<ZonedCalendar>(ZonedCalendar::utc()); },
                [](const ScheduleDriver::Memory&) {});
            lock_ = std::make_unique<LockMonitor>(host_, log_);
            lock_->setActive(true);
            schedules_->setLockHandover({[this] { return lock_->holdsAway(); }, [this] { lock_->takeOverAway(); }});
            schedules_->start(settings);
            ProfileWatcher::Settings profileSettings{true, {MeetingAppProfile{UUID::random(), "us.zoom.Zoom", "Zoom",
                                                                              "zoom.mov", true}}};
            profiles_ = std::make_unique<ProfileWatcher>(
                loop_.loop, host_, [profileSettings] { return profileSettings; },
                [this] { return std::optional(frontmost_); }, log_);
        });
        settle();
    }

    // One step, then a minute, and what the camera shows with who owns an Away.
    std::string step(const std::string& what)
    {
        ++minute_;
        loop_.call([&] {
            clock_.setNow(now());
            if (what == "M+")
                host_.setMode(QuellonMode::away, "command");
            else if (what == "M-")
                host_.setMode(QuellonMode::live, "command");
            else if (what == "S+")
                window_ = Window::open;
            else if (what == "S-")
                window_ = Window::over;
            else if (what == "L+" || what == "L-")
                lock_->screenLockChanged(what == "L+");
            else if (what == "P+" || what == "P-") {
                frontmost_ = what == "P+" ? "us.zoom.Zoom" : "org.gnome.Terminal";
                profiles_->check();
            } else if (what == "H")
                HotkeyActions::perform(host_, HotkeyAction::toggleAway);
            else if (what == "R+" || what == "R-")
                host_.setFrames(seated_, {what == "R+" ? empty_ : seated_});
            else
                ADD_FAILURE() << "no step " << what;
            clock_.setNow(now());
            schedules_->evaluate();
        });
        settle();
        // What auto return did is the schedules' news at the next minute.
        ++minute_;
        loop_.call([&] {
            clock_.setNow(now());
            schedules_->evaluate();
        });
        settle();
        return describe();
    }

    std::string run(const std::string& steps)
    {
        std::istringstream words(steps);
        std::string word, seen;
        while (words >> word)
            seen += (seen.empty() ? "" : " ") + step(word);
        return seen;
    }

    // Auto return follows the host's status; once armed, it has seen an empty seat, or taken
    // enough samples of the user in place to have bounced if it were going to, or returned.
    void settle()
    {
        for (;;) {
            const HostStatus status = host_.status();
            autoReturn_->statusChanged(status);
            const bool arm = status.mode == QuellonMode::away && status.autoReturn;
            ASSERT_TRUE(host_.waitUntil([&] { return autoReturn_->armed() == arm; }));
            if (!arm)
                return;
            if (host_.latestCameraFrame() == empty_) {
                ASSERT_TRUE(host_.waitUntil([&] { return autoReturn_->absenceSeen(); }));
                return;
            }
            if (!autoReturn_->absenceSeen()) {
                // Three samples would bounce; four must not.
                const auto taken = autoReturn_->samplesTaken();
                ASSERT_TRUE(host_.waitUntil([&] { return autoReturn_->samplesTaken() >= taken + 4; }));
                ASSERT_EQ(host_.mode(), QuellonMode::away) << "auto return ended an Away nobody had left";
                return;
            }
            ASSERT_TRUE(host_.waitUntil([&] { return host_.mode() != QuellonMode::away; }));
        }
    }

    std::string describe()
    {
        const HostStatus status = host_.status();
        if (status.mode != QuellonMode::away)
            return std::string(rawValue(status.mode));
        const auto [locked, scheduled] = loop_.call([this] {
            return std::pair(lock_->awayIsLocked(), schedules_->memory().awayIsScheduled);
        });
        EXPECT_FALSE(locked && scheduled) << "two owners of one Away";
        if (locked)
            return "away:lock";
        if (scheduled)
            return "away:schedule";
        if (status.modeCause == "command")
            return "away:manual";
        if (status.modeCause.rfind("hotkey", 0) == 0)
            return "away:hotkey";
        return "away:" + status.modeCause;
    }

    double now() const
    {
        const int hour = window_ == Window::before ? 11 : window_ == Window::open ? 12 : 13;
        return mondayMidnight + hour * 3600.0 + minute_ * 60.0;
    }

    enum class Window { before, open, over };

    cv::Mat photo_;
    PixelBufferRef seated_, empty_;
    RememberingFaceDetector detector_; // outlives the watcher that samples with it
    FakeHostController host_;
    CapturingLogSink log_;
    ManualClock clock_;
    testing::LoopThread loop_;
    std::unique_ptr<ScheduleDriver> schedules_;
    std::unique_ptr<LockMonitor> lock_;
    std::unique_ptr<ProfileWatcher> profiles_;
    std::unique_ptr<AutoReturnWatcher> autoReturn_;
    int minute_ = 0;
    Window window_ = Window::before;
    std::string frontmost_;
};

struct Combination {
    const char* steps;
    const char* seen; // after each step: the mode, and for Away who owns it
};

// Every ordered pair of two triggers, from Live with the user seated: the first begins, the
// second begins, the first ends, the second ends. The hotkey toggles, so it "ends" by toggling
// again; profiles switch the loop and never the mode.
const Combination kPairs[] = {
    {"M+ S+ M- S-", "away:manual away:manual live live"}, // the window stands aside
    {"M+ L+ M- L-", "away:manual away:manual live live"},
    {"M+ P+ M- P-", "away:manual away:manual live live"},
    {"M+ H M- H", "away:manual live live away:hotkey"},
    {"M+ R+ M- R-", "away:manual away:manual live live"}, // Away while seated does not bounce
    {"S+ M+ S- M-", "away:schedule away:schedule live live"},
    {"S+ L+ S- L-", "away:schedule away:schedule away:lock live"}, // handed to the lock
    {"S+ P+ S- P-", "away:schedule away:schedule live live"},
    {"S+ H S- H", "away:schedule live live away:hotkey"},
    {"S+ R+ S- R-", "away:schedule away:schedule live live"},
    {"L+ M+ L- M-", "away:lock away:lock live live"},
    {"L+ S+ L- S-", "away:lock away:lock live live"},
    {"L+ P+ L- P-", "away:lock away:lock live live"},
    {"L+ H L- H", "away:lock live live away:hotkey"}, // the unlock leaves the hotkey's Away alone
    {"L+ R+ L- R-", "away:lock away:lock live live"}, // no bounce while the user stands up
    {"P+ M+ P- M-", "live away:manual away:manual live"},
    {"P+ S+ P- S-", "live away:schedule away:schedule live"},
    {"P+ L+ P- L-", "live away:lock away:lock live"},
    {"P+ H P- H", "live away:hotkey away:hotkey live"},
    {"P+ R+ P- R-", "live live live live"},
    {"H M+ H M-", "away:hotkey away:hotkey live live"},
    {"H S+ H S-", "away:hotkey away:hotkey live live"},
    {"H L+ H L-", "away:hotkey away:hotkey live live"},
    {"H P+ H P-", "away:hotkey away:hotkey live live"},
    {"H R+ H R-", "away:hotkey away:hotkey live live"},
    {"R+ M+ R- M-", "live away:manual live live"}, // gone, then back: presence confirmed
    {"R+ S+ R- S-", "live away:schedule live live"},
    {"R+ L+ R- L-", "live away:lock live live"},
    {"R+ P+ R- P-", "live live live live"},
    {"R+ H R- H", "live away:hotkey live away:hotkey"},
};

TEST_F(TriggerCombinationTest, EveryPairOfTriggers)
{
    std::set<std::pair<char, char>> pairs;
    for (const auto& c : kPairs) {
        SCOPED_TRACE(c.steps);
        pairs.emplace(c.steps[0], std::string(c.steps).substr(std::string(c.steps).find(' ') + 1)[0]);
        start(QuellonMode::live);
        EXPECT_EQ(run(c.steps), c.seen);
        TearDown();
    }
    EXPECT_EQ(pairs.size(), 30u) << "every ordered pair of the six triggers once";
}

TEST_F(TriggerCombinationTest, TheLockKeepsOnlyTheAwayItMade)
{
    const Combination cases[] = {
        // Standby stays Standby through a lock, and the unlock leaves it.
        {"L+ L-", "standby standby"},
        // From Standby, another trigger's Away is its own.
        {"L+ M+ L- M-", "standby away:manual away:manual live"},
        {"L+ H L- H", "standby away:hotkey away:hotkey live"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        start(QuellonMode::standby);
        EXPECT_EQ(run(c.steps), c.seen);
        TearDown();
    }
    // While locked, the lock's Away is left and another Away made: the unlock does not end it.
    const Combination fromLive[] = {
        {"L+ M- M+ L-", "away:lock live away:manual away:manual"},
        {"L+ H H L-", "away:lock live away:hotkey away:hotkey"},
        // A stale flag from an Away someone else ended does not end the next manual one.
        {"L+ M- L- M+ L+ L-", "away:lock live live away:manual away:manual away:manual"},
    };
    for (const auto& c : fromLive) {
        SCOPED_TRACE(c.steps);
        start(QuellonMode::live);
        EXPECT_EQ(run(c.steps), c.seen);
        TearDown();
    }
}

} // namespace
} // namespace quellon::host
