#include "playback/FramePool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace quellon {
namespace {

constexpr FramePool::Limits kTwoBlocks{2, 4096, 65536};

TEST(FramePool, ABlockGivenBackServesTheNextRequestOfItsSizeOnly)
{
    FramePool pool(kTwoBlocks);
    std::uint8_t* first = pool.obtain(8192);
    ASSERT_NE(first, nullptr);
    std::memset(first, 0x5A, 8192); // the whole size is usable
    pool.recycle(first, 8192);
    std::uint8_t* other = pool.obtain(16384);
    EXPECT_NE(other, first) << "another size gets a block of its own";
    std::uint8_t* again = pool.obtain(8192);
    EXPECT_EQ(again, first);
    std::uint8_t* extra = pool.obtain(8192);
    EXPECT_NE(extra, again) << "a block is handed out once";
    EXPECT_EQ(pool.statistics(), (FramePool::Statistics{1, 3, 0, 0}));
    pool.recycle(other, 16384);
    pool.recycle(again, 8192);
    pool.recycle(extra, 8192); // full: replaces the block of the size no longer asked for
    EXPECT_EQ(pool.statistics(), (FramePool::Statistics{1, 3, 2, 16384}));
    pool.drain();
    EXPECT_EQ(pool.statistics().heldBlocks, 0u);
}

TEST(FramePool, HoldsOnlyPoolableSizesAndAtMostItsBlocks)
{
    const struct {
        const char* what;
        std::vector<std::size_t> given; // all obtained, then recycled in this order
        std::size_t heldBlocks, heldBytes;
    } cases[] = {
        {"below the smallest size", {4095}, 0, 0},
        {"above the largest size", {65537}, 0, 0},
        {"the bounds themselves", {4096, 65536}, 2, 69632},
        {"a third block of a held size is freed", {8192, 8192, 8192}, 2, 16384},
        {"a new size replaces one left behind", {8192, 8192, 12288}, 2, 20480},
        {"and then stays", {8192, 12288, 12288, 12288}, 2, 24576},
    };
    for (const auto& c : cases) {
        FramePool pool(kTwoBlocks);
        std::vector<std::uint8_t*> blocks;
        for (std::size_t bytes : c.given)
            blocks.push_back(pool.obtain(bytes));
        for (std::size_t i = 0; i < blocks.size(); ++i)
            pool.recycle(blocks[i], c.given[i]);
        const auto statistics = pool.statistics();
        EXPECT_EQ(std::pair(statistics.heldBlocks, statistics.heldBytes), std::pair(c.heldBlocks, c.heldBytes)) << c.what;
    }
}

TEST(FramePool, BlocksAreAlignedWhateverTheirSize)
{
    FramePool pool(kTwoBlocks);
    for (std::size_t bytes : {1, 63, 4097, 70001}) {
        std::uint8_t* block = pool.obtain(bytes);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 64, 0u) << bytes;
        pool.recycle(block, bytes);
    }
    EXPECT_EQ(pool.obtain(SIZE_MAX), nullptr) << "a size that cannot be rounded up";
}

FramePool::Clock::time_point fakeNow;
FramePool::Clock::time_point fakeClock()
{
    return fakeNow;
}

/// After a moment with two frames in flight, one frame at a time is the steady state again: the
/// block no longer needed is freed once idle for the release time, and only then.
TEST(FramePool, ABlockLeftIdleIsFreedOnceItsTimeHasPassed)
{
    using std::chrono::seconds;
    fakeNow = FramePool::Clock::time_point{} + seconds(100);
    FramePool pool({2, 4096, 65536, std::chrono::milliseconds(10'000)}, &fakeClock);
    std::uint8_t* spare = pool.obtain(8192);
    std::uint8_t* steady = pool.obtain(8192);
    pool.recycle(spare, 8192);
    fakeNow += seconds(1);
    pool.recycle(steady, 8192);
    for (int second = 2; second <= 9; ++second) {
        fakeNow = FramePool::Clock::time_point{} + seconds(100 + second);
        std::uint8_t* block = pool.obtain(8192);
        EXPECT_EQ(block, steady) << "the block given back last is taken, at second " << second;
        pool.recycle(block, 8192);
        EXPECT_EQ(pool.statistics().heldBlocks, 2u) << "the spare stays within the release time, at " << second;
    }
    fakeNow = FramePool::Clock::time_point{} + seconds(110);
    std::uint8_t* block = pool.obtain(8192);
    EXPECT_EQ(block, steady);
    EXPECT_EQ(pool.statistics().heldBlocks, 0u) << "the spare, idle for 10 s, is freed";
    pool.recycle(block, 8192);
    EXPECT_EQ(pool.statistics(), (FramePool::Statistics{9, 2, 1, 8192}));
}

// A loop frame and the frame served from it come and go in turn; blocks left over from a burst
// of one size must not keep pushing the other size out.
TEST(FramePool, TwoSizesInTurnAreBothReusedAfterABurstOfOne)
{
    using std::chrono::seconds;
    fakeNow = FramePool::Clock::time_point{} + seconds(200);
    FramePool pool({2, 4096, 65536, std::chrono::milliseconds(10'000)}, &fakeClock);
    std::uint8_t* burst[] = {pool.obtain(8192), pool.obtain(8192)};
    for (std::uint8_t* block : burst)
        pool.recycle(block, 8192);
    for (int round = 0; round < 4; ++round) {
        fakeNow += seconds(1);
        std::uint8_t* served = pool.obtain(12288);
        std::uint8_t* frame = pool.obtain(8192);
        pool.recycle(served, 12288);
        pool.recycle(frame, 8192);
    }
    const auto statistics = pool.statistics();
    EXPECT_EQ(statistics.allocated, 3u) << "the burst's two, and one of the other size";
    EXPECT_EQ(statistics.reused, 7u);
    EXPECT_EQ(std::pair(statistics.heldBlocks, statistics.heldBytes), std::pair(std::size_t{2}, std::size_t{8192 + 12288}));
}

TEST(FramePool, NoMoreThanItsFixedMaximumOfBlocks)
{
    FramePool pool({100, 4096, 65536});
    std::vector<std::uint8_t*> blocks;
    for (int i = 0; i < 20; ++i)
        blocks.push_back(pool.obtain(4096));
    for (std::uint8_t* block : blocks)
        pool.recycle(block, 4096);
    EXPECT_EQ(pool.statistics().heldBlocks, FramePool::kMaxBlocks);
}

} // namespace
} // namespace quellon
