#include "menubar/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quellon {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, RunsPostedWorkAndTimersOnItsThreadInOrder)
{
    MainLoop loop;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    loop.runAfter(60ms, [&] {
        events.push_back("late");
        loop.quit(7);
    });
    loop.runAfter(20ms, [&] { events.push_back("early"); });
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
    EXPECT_EQ(events, (std::vector<std::string>{"posted 0", "posted 1", "posted 2", "early", "late"}));
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
