// Playback racing loads on one loop provider: run by the ThreadSanitizer job too.

#include "playback/LoopFrameProviderTesting.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace quellon {
namespace {

using namespace testing::loop_frames;

TEST(LoopFrameProviderTest, PlaybackNeverSeesATornLoopWhileOthersLoad)
{
    Fixture forward(LoopMode::forward);
    forward.decoder->clips["a"] = {std::vector<int>(7, 50)};
    forward.decoder->clips["b"] = {std::vector<int>(11, 150)};
    forward.provider.load("a", 240, 0);

    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::thread player([&] {
        while (!done) {
            const int level = levelOf(forward.provider.nextFrame());
            const auto count = forward.provider.frameCount();
            EXPECT_TRUE(level == 50 || level == 150) << level;
            EXPECT_TRUE(count == 7 || count == 11) << count;
            ++served;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Two loaders at once on the same provider, each installing one clip or the other.
    auto loader = [&](const char* first, const char* second) {
        // Loads start once playback runs, or the race would not be run at all.
        while (served == 0)
            std::this_thread::yield();
        for (int i = 0; i < 40; ++i)
            forward.provider.load(i % 2 ? first : second, 240, 0);
    };
    std::thread one(loader, "a", "b"), two(loader, "b", "a");
    one.join();
    two.join();
    done = true;
    player.join();

    // Whichever installed last, the loop is that clip whole.
    const auto count = forward.provider.frameCount();
    const std::vector<int> levels = forward.play(static_cast<int>(count));
    EXPECT_EQ(levels, std::vector<int>(static_cast<std::size_t>(count), count == 7 ? 50 : 150));
}

} // namespace
} // namespace quellon
