#include "menubar/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <vector>
#include <thread>

namespace quellon {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, RunsPostedWorkInOrderAndTimersNoSoonerThanAsked)
{
    MainLoop loop;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    const auto registered = std::chrono::steady_clock::now();
    std::map<std::string, std::chrono::steady_clock::duration> firedAfter;
    // Two timers due in one pass (a loaded machine) may run in either order; each ends the
    // run once both have fired.
    const auto timer = [&](const std::string& name) {
        return [&, name] {
            events.push_back(name);
            firedAfter[name] = std::chrono::steady_clock::now() - registered;
            if (firedAfter.size() == 2)
                loop.quit(7);
        };
    };
    loop.runAfter(60ms, timer("late"));
    loop.runAfter(20ms, timer("early"));
    const auto cancelled = loop.runAfter(30ms, [&] { events.push_back("cancelled"); });
    loop.removeWatch(cancelled);
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i)
            loop.post([&, i] {
                events.push_back("posted " + std::to_string(i));
                threads.push_back(std::this_thread::get_id());
            });
    });
    poster.join();
    EXPECT_EQ(loop.run(), 7);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3),
              (std::vector<std::string>{"posted 0", "posted 1", "posted 2"}));
    EXPECT_GE(firedAfter["early"], 20ms);
    EXPECT_GE(firedAfter["late"], 60ms);
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_FALSE(loop.isLoopThread()) << "only inside run()";
}

TEST(MainLoop, QuitFromAnotherThreadWakesAnIdleLoop)
{
    MainLoop loop;
    std::atomic<bool> running{false};
    loop.post([&] { running = true; });
    std::thread stopper([&] {
        while (!running)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms); // the loop is asleep in poll() by now
        loop.quit(3);
    });
    EXPECT_EQ(loop.run(), 3);
    stopper.join();
}

} // namespace
} // namespace quellon
