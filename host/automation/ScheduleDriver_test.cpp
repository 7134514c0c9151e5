#include "host/automation/ScheduleDriver.h"

#include "host/automation/AutomationStatus.h"
#include "host/automation/AutomationTestSupport.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "schedules/ZonedCalendar.h"

#include <gtest/gtest.h>

namespace quellon::host {
namespace {

using namespace std::chrono;
using testing::FakeHostController;
using Change = FakeHostController::ModeChange;

// Monday 7 December 2026, 00:00 UTC.
constexpr double mondayMidnight = 1796601600;
const std::set<std::int64_t> everyDay{1, 2, 3, 4, 5, 6, 7};

double at(int day, int hour, int minute)
{
    return mondayMidnight + day * 86400.0 + hour * 3600.0 + minute * 60.0;
}

class ScheduleDriverTest : public ::testing::Test {
protected:
    ScheduleDriverTest()
    {
        settings.schedules.push_back(LoopSchedule(UUID::random(), "Lunch", 12 * 60, 13 * 60, everyDay, true));
        // Monday (2) only, running into Tuesday morning.
        settings.schedules.push_back(LoopSchedule(UUID::random(), "Night", 22 * 60, 2 * 60, {2}, true));
    }
    ~ScheduleDriverTest() override
    {
        loop.call([this] { driver.reset(); });
    }

    void start(double now)
    {
        clock.setNow(now);
        loop.call([this] {
            driver = std::make_unique<ScheduleDriver>(
                controller, loop.loop, clock, log, [this] { return std::make_unique<ZonedCalendar>(zone); },
                [this](const ScheduleDriver::Memory& memory) { remembered.push_back(memory); });
            driver->start(settings);
        });
    }
    // What the minute timer does when the clock reaches now.
    void tick(double now)
    {
        clock.setNow(now);
        loop.call([this] { driver->evaluate(); });
    }

    testing::LoopThread loop;
    FakeHostController controller;
    ManualClock clock;
    CapturingLogSink log;
    ZonedCalendar zone = ZonedCalendar::utc();
    HostSettings settings;
    std::unique_ptr<ScheduleDriver> driver;
    std::vector<ScheduleDriver::Memory> remembered;
};

TEST_F(ScheduleDriverTest, AWindowEntersAwayAtItsStartAndReturnsAtItsEnd)
{
    start(at(0, 11, 59));
    EXPECT_TRUE(controller.modeChanges().empty());
    tick(at(0, 12, 0));
    tick(at(0, 12, 30));
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "schedule Lunch"}}));
    tick(at(0, 13, 0));
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "schedule Lunch"},
                                                         {QuellonMode::live, "schedule Lunch"}}));
    EXPECT_EQ(remembered, (std::vector<ScheduleDriver::Memory>{{true, std::nullopt}, {false, std::nullopt}}));
    EXPECT_TRUE(log.contains("schedule Lunch begins: entering Away"));
}

TEST_F(ScheduleDriverTest, AWindowAcrossMidnightEndsTheNextMorning)
{
    start(at(0, 21, 59));
    tick(at(0, 22, 0));
    tick(at(1, 0, 0));
    tick(at(1, 1, 59));
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "schedule Night"}}));
    tick(at(1, 2, 0));
    EXPECT_EQ(controller.mode(), QuellonMode::live);
    tick(at(1, 22, 0));
    EXPECT_EQ(controller.modeChanges().size(), 2u) << "Night is for Mondays only";
}

TEST_F(ScheduleDriverTest, LeavingAScheduledAwayByHandDismissesTheWindowUntilItsNextTime)
{
    start(at(0, 12, 0));
    ASSERT_EQ(controller.mode(), QuellonMode::away);
    controller.setModeByHand(QuellonMode::live);
    tick(at(0, 12, 1));
    tick(at(0, 12, 59));
    tick(at(0, 13, 0));
    EXPECT_EQ(controller.modeChanges().size(), 1u) << "the dismissed window neither re-enters nor ends anything";
    ASSERT_GE(remembered.size(), 2u);
    EXPECT_EQ(remembered[1], (ScheduleDriver::Memory{false, settings.schedules[0].id}));
    EXPECT_EQ(driver->memory(), ScheduleDriver::Memory{}) << "forgotten once the window is over";
    tick(at(1, 12, 0));
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::away, "schedule Lunch"})) << "the next day acts again";
}

TEST_F(ScheduleDriverTest, AnAwayTheUserChoseIsNotEndedByAWindow)
{
    controller.setModeByHand(QuellonMode::away);
    start(at(0, 11, 59));
    tick(at(0, 12, 0));
    tick(at(0, 13, 0));
    EXPECT_TRUE(controller.modeChanges().empty());
    EXPECT_EQ(controller.mode(), QuellonMode::away);
    // The next day's window again finds the user Away; their return to Live inside it stands.
    tick(at(1, 12, 0));
    controller.setModeByHand(QuellonMode::live);
    tick(at(1, 12, 1));
    tick(at(1, 12, 59));
    EXPECT_TRUE(controller.modeChanges().empty()) << "not pulled back into Away";
}

TEST_F(ScheduleDriverTest, AWindowThatEndsWhileTheScreenIsLockedHandsItsAwayToTheLock)
{
    bool locked = true;
    int takenOver = 0;
    start(at(0, 12, 0));
    loop.call([&] {
        driver->setLockHandover({[&] { return locked; }, [&] { ++takenOver; }});
    });
    tick(at(0, 13, 0));
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "schedule Lunch"}})) << "no empty desk";
    EXPECT_EQ(takenOver, 1);
    EXPECT_EQ(driver->memory(), ScheduleDriver::Memory{}) << "the Away is no longer the schedule's";
    EXPECT_TRUE(log.contains("schedule Lunch is over while the screen is locked: Away lasts until the unlock"));
    // The unlock returns to Live; the next window's end, unlocked, returns to Live as before.
    locked = false;
    controller.setModeByHand(QuellonMode::live);
    tick(at(1, 12, 0));
    tick(at(1, 13, 0));
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::live, "schedule Lunch"}));
    EXPECT_EQ(takenOver, 1);
}

TEST_F(ScheduleDriverTest, ARecordingIsNeverInterrupted)
{
    start(at(0, 12, 0));
    controller.setRecording(true);
    tick(at(0, 13, 0));
    EXPECT_EQ(controller.mode(), QuellonMode::away);
    controller.setRecording(false);
    tick(at(0, 13, 1));
    EXPECT_EQ(controller.mode(), QuellonMode::live);
}

TEST_F(ScheduleDriverTest, TheRememberedPairCarriesOverARestart)
{
    start(at(0, 12, 0));
    ASSERT_EQ(remembered.back(), (ScheduleDriver::Memory{true, std::nullopt}));
    // A new host, started from the settings that kept the pair.
    settings.scheduleAwayIsScheduled = remembered.back().awayIsScheduled;
    loop.call([this] { driver.reset(); });
    start(at(0, 13, 5));
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::live, "schedule"}));
}

TEST_F(ScheduleDriverTest, SwitchingSchedulesOffEndsAScheduledAway)
{
    start(at(0, 12, 0));
    HostSettings off = settings;
    off.schedulesEnabled = false;
    loop.call([&] { driver->settingsChanged(off); });
    EXPECT_EQ(controller.modeChanges().back().mode, QuellonMode::live);
    tick(at(0, 12, 30));
    EXPECT_EQ(controller.mode(), QuellonMode::live);
}

TEST_F(ScheduleDriverTest, ANewTimeZoneTakesEffectWhenTheClockIsReadAgain)
{
    // 11:30 UTC is 12:30 in Berlin: inside Lunch once the zone changes.
    start(at(0, 11, 30));
    ASSERT_TRUE(controller.modeChanges().empty());
    auto berlin = ZonedCalendar::named("Europe/Berlin");
    ASSERT_TRUE(berlin) << "tzdata is missing";
    loop.call([&] {
        zone = *berlin;
        driver->wallClockChanged();
    });
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "schedule Lunch"}}));
}

TEST(ScheduleTimer, WakesJustAfterTheNextMinuteBegins)
{
    const Date base = Date(seconds(static_cast<long long>(mondayMidnight)));
    const struct {
        milliseconds offset;
        milliseconds delay;
    } cases[] = {
        {0ms, 60050ms},
        {59500ms, 550ms},
        {30250ms, 29800ms},
        {59999ms, 51ms},
    };
    for (const auto& test : cases)
        EXPECT_EQ(ScheduleDriver::delayToNextMinute(base + test.offset), test.delay) << test.offset.count();
}

TEST(ScheduleForecast, FindsTheNextBeginningOrEnd)
{
    const auto utc = ZonedCalendar::utc();
    const LoopSchedule lunch(UUID::random(), "Lunch", 720, 780, {2, 3, 4, 5, 6}, true);
    const LoopSchedule tea(UUID::random(), "Tea", 780, 800, {2}, true);
    const LoopSchedule off(UUID::random(), "Off", 0, 600, everyDay, false);
    const auto date = [](double seconds) { return Date(duration_cast<Date::duration>(duration<double>(seconds))); };
    const struct {
        double now;
        std::vector<LoopSchedule> schedules;
        std::optional<ScheduleChange> expected;
    } cases[] = {
        {at(0, 9, 0), {lunch}, ScheduleChange{date(at(0, 12, 0)), "Lunch", true}},
        {at(0, 12, 0) + 30, {lunch}, ScheduleChange{date(at(0, 13, 0)), "Lunch", false}},
        {at(0, 12, 30), {lunch, tea}, ScheduleChange{date(at(0, 13, 0)), "Tea", true}},
        // Friday afternoon: the next lunch is Monday's.
        {at(4, 14, 0), {lunch}, ScheduleChange{date(at(7, 12, 0)), "Lunch", true}},
        {at(0, 9, 0), {off}, std::nullopt},
        {at(0, 9, 0), {}, std::nullopt},
    };
    for (const auto& test : cases)
        EXPECT_EQ(nextScheduleChange(date(test.now), test.schedules, utc), test.expected) << test.now;

    AutomationStatus status{{"schedules (1)", "screen lock"}, ScheduleChange{date(at(4, 12, 0)), "Lunch", false}};
    EXPECT_EQ(describe(status, utc), "Automatic: schedules (1), screen lock\nNext schedule change: Lunch ends Fri 12:00\n");
    EXPECT_EQ(describe(AutomationStatus{}, utc), "Automatic: off\n");
}

} // namespace
} // namespace quellon::host
