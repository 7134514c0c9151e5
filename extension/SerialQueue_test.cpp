#include "SerialQueue.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace quellon {
namespace {

using namespace std::chrono_literals;

// A queue destroyed by its own work item leaves its thread to finish that item; a program
// stopping must be able to wait for it before its statics go away.
TEST(SerialQueue, WaitsForAThreadLeftToFinishItsLastItem)
{
    std::atomic<bool> itemFinished = false;
    auto* queue = new SerialQueue("test.detached");
    std::atomic<bool> destroyed = false;
    std::atomic<bool> release = false; // the item runs on until the test has looked
    queue->async([&] {
        delete queue;
        destroyed = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
        itemFinished = true;
    });
    while (!destroyed)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(SerialQueue::waitForDetachedThreads(10ms));
    release = true;
    EXPECT_TRUE(SerialQueue::waitForDetachedThreads(5s));
    EXPECT_TRUE(itemFinished);
}

TEST(SerialQueue, QueuesJoinedFromOutsideLeaveNothingToWaitFor)
{
    {
        SerialQueue queue("test.joined");
        queue.sync([] {});
    }
    EXPECT_TRUE(SerialQueue::waitForDetachedThreads(0ms));
}

} // namespace
} // namespace quellon
