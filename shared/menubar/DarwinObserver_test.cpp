#include "menubar/DarwinObserver.h"

#include "menubar/BusTestSupport.h"
#include "menubar/MainLoop.h"
#include "menubar/MenuBarBridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace quellon {
namespace {

using namespace std::chrono_literals;
using testing::NotificationRecorder;
using testing::PrivateSessionBus;

/// A MainLoop running on a thread of its own, standing in for a program's main thread.
class LoopThread {
public:
    LoopThread()
        : thread_([this] {
              bus_ = std::make_unique<NotificationBus>(loop_);
              ready_.set_value();
              loop_.run();
              bus_.reset();
          })
    {
        ready_.get_future().wait();
    }
    ~LoopThread()
    {
        loop_.quit();
        thread_.join();
    }

    /// Runs task on the loop thread and waits for it.
    template <typename F>
    void call(F task)
    {
        std::promise<void> done;
        loop_.post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

    NotificationBus& bus() { return *bus_; }
    std::thread::id id() const { return thread_.get_id(); }

private:
    MainLoop loop_;
    std::unique_ptr<NotificationBus> bus_;
    std::promise<void> ready_;
    std::thread thread_;
};

/// Counts deliveries of one name, remembering the threads they ran on.
struct Counter {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return threads.size();
    }
    std::function<void()> handler()
    {
        return [this] {
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
        };
    }
};

/// Waits until counter reaches at least n, for at most 5 s.
bool waitForCount(Counter& counter, std::size_t n)
{
    for (int i = 0; i < 500 && counter.count() < n; ++i)
        std::this_thread::sleep_for(10ms);
    return counter.count() >= n;
}

constexpr const char* sentinel = "com.quellon.menubar.test.sentinel";

TEST(MenuBarBridgeOnBus, PostsTheProtocolNamesExactly)
{
    PrivateSessionBus bus;
    NotificationRecorder recorder(bus.address());
    MenuBarBridge::publishMode("away");
    MenuBarBridge::publishMode("Sleeping");
    MenuBarBridge::publishAutoReturn(false);
    MenuBarBridge::publishAutoReturn(true);
    MenuBarBridge::publishHasLoops(true);
    MenuBarBridge::publishHasLoops(false);
    for (auto command : MenuBarBridge::allCommands)
        MenuBarBridge::send(command);
    MenuBarBridge::post(MenuBarBridge::helperReady);
    MenuBarBridge::post(MenuBarBridge::mainTerminating);
    ASSERT_TRUE(recorder.waitFor("com.quellon.menubar.terminating"));
    const std::vector<std::string> expected{"com.quellon.menubar.mode.away", "com.quellon.menubar.mode.Sleeping",
        "com.quellon.menubar.ar.off", "com.quellon.menubar.ar.on", "com.quellon.menubar.loops.yes",
        "com.quellon.menubar.loops.no", "com.quellon.menubar.cmd.setLive", "com.quellon.menubar.cmd.setAway",
        "com.quellon.menubar.cmd.setStandby", "com.quellon.menubar.cmd.record", "com.quellon.menubar.cmd.manageLoops",
        "com.quellon.menubar.cmd.showApp", "com.quellon.menubar.cmd.toggleAutoReturn", "com.quellon.menubar.cmd.quit",
        "com.quellon.menubar.cmd.togglePanel", "com.quellon.menubar.ready", "com.quellon.menubar.terminating"};
    EXPECT_EQ(recorder.names(), expected);
}

TEST(DarwinObserver, SeesOnlyItsOwnNameOnTheLoopThread)
{
    PrivateSessionBus bus;
    LoopThread loop;
    std::map<std::string, Counter> counters;
    for (const char* mode : MenuBarBridge::modes)
        counters[std::string(MenuBarBridge::modePrefix) + mode];
    counters[sentinel];
    std::vector<std::unique_ptr<DarwinObserver>> observers;
    loop.call([&] {
        for (auto& [name, counter] : counters)
            observers.push_back(std::make_unique<DarwinObserver>(loop.bus(), name, counter.handler()));
    });

    // From this thread and from another one: neither is the loop thread.
    MenuBarBridge::publishMode("live");
    std::thread([] {
        MenuBarBridge::publishMode("away");
        MenuBarBridge::publishMode("Away");
        MenuBarBridge::publishMode("unknown");
        MenuBarBridge::publishMode("away'");
    }).join();
    MenuBarBridge::post(sentinel);
    ASSERT_TRUE(waitForCount(counters[sentinel], 1));

    EXPECT_EQ(counters["com.quellon.menubar.mode.live"].count(), 1u);
    EXPECT_EQ(counters["com.quellon.menubar.mode.away"].count(), 1u);
    EXPECT_EQ(counters["com.quellon.menubar.mode.standby"].count(), 0u);
    EXPECT_EQ(counters["com.quellon.menubar.mode.error"].count(), 0u);
    for (auto& [name, counter] : counters)
        for (auto thread : counter.threads)
            EXPECT_EQ(thread, loop.id()) << name;
    loop.call([&] { observers.clear(); });
}

TEST(DarwinObserver, HandlerNeverRunsAfterDestructionEvenWhenAlreadyQueued)
{
    PrivateSessionBus bus;
    LoopThread loop;
    const std::string name = std::string(MenuBarBridge::modePrefix) + "standby";
    Counter counter, sentinelCounter;
    std::unique_ptr<DarwinObserver> observer, sentinelObserver;
    loop.call([&] {
        observer = std::make_unique<DarwinObserver>(loop.bus(), name, counter.handler());
        sentinelObserver = std::make_unique<DarwinObserver>(loop.bus(), sentinel, sentinelCounter.handler());
    });
    EXPECT_EQ(bus.matchRulesContaining("arg0='" + name + "'"), 1u);
    MenuBarBridge::post(name);
    ASSERT_TRUE(waitForCount(counter, 1));

    // The notification reaches this process while the loop is busy; the observer goes away
    // before the loop gets to read it.
    loop.call([&] {
        MenuBarBridge::post(name);
        std::this_thread::sleep_for(200ms);
        observer.reset();
    });
    MenuBarBridge::post(name);
    MenuBarBridge::post(sentinel);
    ASSERT_TRUE(waitForCount(sentinelCounter, 1));
    EXPECT_EQ(counter.count(), 1u);
    EXPECT_EQ(bus.matchRulesContaining("arg0='" + name + "'"), 0u) << "the bus still delivers the name";
    loop.call([&] { sentinelObserver.reset(); });
}

TEST(MenuBarBridgeWithoutBus, PostingIsASilentNoOpWithOneDebugLine)
{
    const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("QUELLON_DEBUG", "1", 1);
    for (const char* address : {static_cast<const char*>(nullptr), "unix:path=/nonexistent/quellon-bus"}) {
        if (address)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::testing::internal::CaptureStderr();
        EXPECT_NO_THROW(MenuBarBridge::send(MenuBarBridge::Command::togglePanel));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("[debug]"), std::string::npos) << err;
        EXPECT_NE(err.find("com.quellon.menubar.cmd.togglePanel"), std::string::npos) << err;

        MainLoop loop;
        EXPECT_THROW(NotificationBus{loop}, NotificationBusError);
    }
    ::unsetenv("QUELLON_DEBUG");
    ::testing::internal::CaptureStderr();
    MenuBarBridge::send(MenuBarBridge::Command::quit);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    if (saved)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved->c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

} // namespace
} // namespace quellon
