// The screen-lock trigger, resume and time-zone events, and the automation as a whole, against
// a fake logind on a private bus.

#include "host/automation/Automation.h"
#include "host/automation/LockMonitor.h"
#include "host/automation/LoopBus.h"
#include "host/automation/WallClockEvents.h"

#include "host/HostSettingsStore.h"
#include "host/automation/AutomationTestSupport.h"
#include "menubar/BusTestSupport.h"
#include "platform/Clock.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "schedules/ZonedCalendar.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {
namespace {

using namespace std::chrono_literals;
using testing::FakeHostController;
using Change = FakeHostController::ModeChange;

constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* sessionPath = "/org/freedesktop/login1/session/_37";

// logind as far as the host uses it: one session "7" with its lock signals and LockedHint,
// and the manager's session lookups and PrepareForSleep.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        connection_->requestName("org.freedesktop.login1");
        manager_ = sdbus::createObject(*connection_, "/org/freedesktop/login1");
        manager_->registerMethod("GetSessionByPID").onInterface(managerInterface).implementedAs([](std::uint32_t) {
            return sdbus::ObjectPath(sessionPath);
        });
        manager_->registerMethod("GetSession").onInterface(managerInterface).implementedAs([](const std::string& id) {
            if (id != "7")
                throw sdbus::Error("org.freedesktop.login1.NoSuchSession", "No session '" + id + "' known");
            return sdbus::ObjectPath(sessionPath);
        });
        manager_->registerSignal("PrepareForSleep").onInterface(managerInterface).withParameters<bool>();
        manager_->finishRegistration();
        session_ = sdbus::createObject(*connection_, sessionPath);
        session_->registerSignal("Lock").onInterface(sessionInterface);
        session_->registerSignal("Unlock").onInterface(sessionInterface);
        session_->registerProperty("LockedHint").onInterface(sessionInterface).withGetter([this] {
            return lockedHint_.load();
        });
        session_->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakeLogind() { connection_->leaveEventLoop(); }

    void lock() { session_->emitSignal("Lock").onInterface(sessionInterface); }
    void unlock() { session_->emitSignal("Unlock").onInterface(sessionInterface); }
    void setLockedHint(bool locked)
    {
        lockedHint_ = locked;
        session_->emitPropertiesChangedSignal(sessionInterface, {"LockedHint"});
    }
    void resume() { manager_->emitSignal("PrepareForSleep").onInterface(managerInterface).withArguments(false); }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> manager_;
    std::unique_ptr<sdbus::IObject> session_;
    std::atomic<bool> lockedHint_{false};
};

// Points this process's system bus at the private bus for the test's duration.
class SystemBusOverride {
public:
    explicit SystemBusOverride(const std::string& address)
    {
        if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
            previous_ = old;
        if (const char* old = std::getenv("XDG_SESSION_ID"))
            previousSession_ = old;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ::unsetenv("XDG_SESSION_ID");
    }
    ~SystemBusOverride()
    {
        previous_ ? (void)::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_->c_str(), 1)
                  : (void)::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (previousSession_)
            ::setenv("XDG_SESSION_ID", previousSession_->c_str(), 1);
    }

private:
    std::optional<std::string> previous_, previousSession_;
};

template <class Predicate>
bool eventually(Predicate predicate)
{
    for (int i = 0; i < 500; ++i) {
        if (predicate())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class LockMonitorTest : public ::testing::Test {
protected:
    LockMonitorTest()
    {
        loop.call([this] {
            systemBus = openSystemBus();
            attachment = std::make_unique<LoopBusAttachment>(loop.loop, *systemBus);
            monitor = std::make_unique<LockMonitor>(controller, log);
        });
    }
    ~LockMonitorTest() override
    {
        loop.call([this] {
            monitor.reset();
            attachment.reset();
            systemBus.reset();
        });
    }
    void attach(std::optional<std::string> sessionID = std::nullopt, bool active = true)
    {
        loop.call([&] {
            monitor->attach(systemBus.get(), systemBus.get(), sessionID);
            monitor->setActive(active);
        });
    }
    bool locked() { return loop.call([this] { return monitor->screenLocked(); }); }

    testing::PrivateSessionBus bus;
    SystemBusOverride systemOverride{bus.address()};
    FakeLogind logind{bus.address()};
    testing::LoopThread loop;
    FakeHostController controller;
    CapturingLogSink log;
    std::unique_ptr<sdbus::IConnection> systemBus;
    std::unique_ptr<LoopBusAttachment> attachment;
    std::unique_ptr<LockMonitor> monitor;
};

TEST_F(LockMonitorTest, ALockWhileLiveEntersAwayAndItsUnlockReturns)
{
    attach();
    EXPECT_TRUE(loop.call([this] { return monitor->followsLogind(); }));
    logind.lock();
    ASSERT_TRUE(controller.waitForChanges(1));
    // The locker confirming the lock is the same news, not a second event.
    logind.setLockedHint(true);
    logind.unlock();
    ASSERT_TRUE(controller.waitForChanges(2));
    logind.setLockedHint(false);
    ASSERT_TRUE(eventually([&] { return !locked(); }));
    EXPECT_EQ(controller.modeChanges(), (std::vector<Change>{{QuellonMode::away, "screen locked"},
                                                         {QuellonMode::live, "screen unlocked"}}));
    EXPECT_TRUE(log.contains("screen locked: entering Away"));
}

TEST_F(LockMonitorTest, TheLockedHintAloneIsFollowedToo)
{
    attach("7");
    logind.setLockedHint(true);
    ASSERT_TRUE(controller.waitForChanges(1));
    logind.setLockedHint(false);
    ASSERT_TRUE(controller.waitForChanges(2));
    EXPECT_EQ(controller.mode(), QuellonMode::live);
}

TEST_F(LockMonitorTest, AManualAwaySurvivesALockAndUnlock)
{
    controller.setModeByHand(QuellonMode::away);
    attach();
    logind.lock();
    ASSERT_TRUE(eventually([&] { return locked(); }));
    logind.unlock();
    ASSERT_TRUE(eventually([&] { return !locked(); }));
    EXPECT_TRUE(controller.modeChanges().empty());
    EXPECT_EQ(controller.mode(), QuellonMode::away);
}

TEST_F(LockMonitorTest, SwitchingTheTriggerOffEndsALockCausedAwayAndOffIgnoresLocks)
{
    attach();
    logind.lock();
    ASSERT_TRUE(controller.waitForChanges(1));
    loop.call([this] { monitor->setActive(false); });
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::live, "screen lock trigger off"}));
    logind.unlock();
    ASSERT_TRUE(eventually([&] { return !locked(); }));
    logind.lock();
    ASSERT_TRUE(eventually([&] { return locked(); }));
    EXPECT_EQ(controller.modeChanges().size(), 2u);
}

TEST_F(LockMonitorTest, TheDesktopScreenSaverCountsWhereItIsPresent)
{
    attach();
    auto saver = sdbus::createSessionBusConnectionWithAddress(bus.address());
    auto object = sdbus::createObject(*saver, "/org/freedesktop/ScreenSaver");
    object->registerSignal("ActiveChanged").onInterface("org.freedesktop.ScreenSaver").withParameters<bool>();
    object->finishRegistration();
    object->emitSignal("ActiveChanged").onInterface("org.freedesktop.ScreenSaver").withArguments(true);
    ASSERT_TRUE(controller.waitForChanges(1));
    EXPECT_EQ(controller.mode(), QuellonMode::away);
}

TEST_F(LockMonitorTest, AnUnknownSessionIsLoggedAndTheHostCarriesOn)
{
    attach("99");
    EXPECT_FALSE(loop.call([this] { return monitor->followsLogind(); }));
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].message.find("logind is not available"), std::string::npos) << lines[0].message;
    logind.lock();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(controller.modeChanges().empty());
}

TEST(WallClockEvents, ResumeAndANewTimeZoneAreReported)
{
    testing::PrivateSessionBus bus;
    FakeLogind logind(bus.address());
    TemporaryDirectory etc;
    testing::LoopThread loop;
    CapturingLogSink log;
    std::atomic<int> calls{0};
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<LoopBusAttachment> attachment;
    std::unique_ptr<WallClockEvents> events;
    loop.call([&] {
        connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
        attachment = std::make_unique<LoopBusAttachment>(loop.loop, *connection);
        events = std::make_unique<WallClockEvents>(loop.loop, connection.get(), log, [&] { ++calls; }, etc.path());
    });
    logind.resume();
    EXPECT_TRUE(eventually([&] { return calls == 1; }));
    replaceFileAtomically(etc.path() / "hostname", "unrelated");
    std::filesystem::create_symlink("/usr/share/zoneinfo/Europe/Berlin", etc.path() / "localtime");
    EXPECT_TRUE(eventually([&] { return calls == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 2) << "other files in the directory are no time-zone change";
    loop.call([&] {
        events.reset();
        attachment.reset();
        connection.reset();
    });
}

// The whole: settings from the file, the watcher, the lock trigger and the schedules.
class AutomationTest : public LockMonitorTest {
protected:
    ~AutomationTest() override
    {
        loop.call([this] { automation.reset(); });
    }
    std::filesystem::path file() const { return config.path() / "com.pennaveld.quellon.json"; }
    void start()
    {
        loop.call([this] {
            AutomationOptions options;
            options.clock = &clock;
            options.calendar = [] { return std::make_unique<ZonedCalendar>(ZonedCalendar::utc()); };
            options.zoneDirectory = config.path();
            automation = std::make_unique<Automation>(controller, loop.loop, store, log, options);
            automation->start();
        });
    }
    HostSettings inUse() { return loop.call([this] { return automation->settings(); }); }

    TemporaryDirectory config;
    HostSettingsStore store{file()};
    ManualClock clock;
    std::unique_ptr<Automation> automation;
};

TEST_F(AutomationTest, ACorruptSettingsFileIsPreservedReportedAndPickedUpOnceFixed)
{
    const std::string corrupt = R"({"lockTriggerEnabled": "yes please"})";
    replaceFileAtomically(file(), corrupt);
    start();
    EXPECT_EQ(readRegularFile(file()), corrupt);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, LogLevel::error);
    EXPECT_NE(lines[0].message.find("lockTriggerEnabled"), std::string::npos) << lines[0].message;
    std::size_t copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(config.path()))
        if (entry.path().filename().string().starts_with("com.pennaveld.quellon.json.unreadable-")) {
            ++copies;
            EXPECT_EQ(readRegularFile(entry.path()), corrupt);
        }
    EXPECT_EQ(copies, 1u);
    EXPECT_FALSE(inUse().lockTriggerEnabled);

    // The user repairs it; the running host follows.
    replaceFileAtomically(file(), R"({"lockTriggerEnabled": true})");
    ASSERT_TRUE(eventually([&] { return inUse().lockTriggerEnabled; }));
    logind.lock();
    ASSERT_TRUE(controller.waitForChanges(1));
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::away, "screen locked"}));
}

TEST_F(AutomationTest, ChangesToTheFileReachTheRunningHostButItsOwnWritesDoNot)
{
    clock.setNow(1796601600 + 11 * 3600 + 59 * 60); // Monday 11:59 UTC
    start();
    std::atomic<int> reloads{0};
    loop.call([&] { automation->addSettingsListener([&](const HostSettings&) { ++reloads; }); });

    // What `quellon schedules add` does: the window covers the present, so Away begins.
    store.update([](HostSettings& settings) {
        settings.schedules.push_back(LoopSchedule(UUID::random(), "Now", 11 * 60, 13 * 60, {2}, true));
    });
    ASSERT_TRUE(controller.waitForChanges(1));
    EXPECT_EQ(controller.modeChanges().back(), (Change{QuellonMode::away, "schedule Now"}));
    // The host keeps the scheduled Away in the file; reading that back is no change.
    ASSERT_TRUE(eventually([&] { return store.load().scheduleAwayIsScheduled; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(store.load().schedules.size(), 1u) << "the host's write kept the command's schedule";

    const std::string text = loop.call([this] { return automation->describeStatus(); });
    EXPECT_EQ(text, "Automatic: schedules (1)\nNext schedule change: Now ends Mon 13:00\n");
}

TEST_F(AutomationTest, AutoReturnsToleranceIsReadOnItsOwnThreadWhileTheFileChanges)
{
    start();
    std::atomic<bool> done = false;
    std::atomic<double> seen = -1;
    // Auto return's sampling thread asks at every sample; the loop thread applies new settings.
    std::thread sampler([&] {
        while (!done)
            seen = automation->autoReturnTolerance();
    });
    for (double tolerance : {0.25, 0.75, 0.5}) {
        store.update([&](HostSettings& settings) { settings.autoReturnTolerance = tolerance; });
        EXPECT_TRUE(eventually([&] { return seen == tolerance; })) << tolerance;
    }
    done = true;
    sampler.join();
}

} // namespace
} // namespace quellon::host
