#include "playback/FramePool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace quellon {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPoolShared = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPoolShared = false;
#else
constexpr bool kPoolShared = true;
#endif
#else
constexpr bool kPoolShared = true;
#endif

/// Pages of its own for a poolable block: page alignment covers every alignment asked for. The
/// kernel rounds both lengths up to whole pages.
///
/// A block is written whole as soon as it is taken, so its pages are made present at once
/// rather than one fault at a time. A block of 2 MiB or more starts on a 2 MiB boundary and
/// asks for huge pages: a loop load fills hundreds of fresh frame blocks, and faulting them
/// in 4 KiB at a time cost more than decoding the frames. Only whole 2 MiB stretches inside the
/// block become huge pages, so it takes no more memory than before.
std::uint8_t* mapBlock(std::size_t bytes)
{
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t length = (bytes + page - 1) / page * page;
    if (length < kHugePage) {
        void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return memory == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(memory);
    }
    // Over-map by one huge page, then trim the ends so the block starts on a boundary.
    void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto mapped = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (mapped + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t end = mapped + length + kHugePage;
    if (start > mapped)
        ::munmap(raw, start - mapped);
    if (end > start + length)
        ::munmap(reinterpret_cast<void*>(start + length), end - (start + length));
    auto* block = reinterpret_cast<std::uint8_t*>(start);
    // Both are hints: a kernel without them faults the pages in as they are written.
    ::madvise(block, length, MADV_HUGEPAGE);
    ::madvise(block, length, MADV_POPULATE_WRITE);
    return block;
}

void unmapBlock(std::uint8_t* block, std::size_t bytes)
{
    if (block)
        ::munmap(block, bytes);
}

FramePool::Clock::time_point steadyNow()
{
    return FramePool::Clock::now();
}

} // namespace

FramePool::FramePool(Limits limits, Clock::time_point (*now)()) : limits_(limits), now_(now ? now : &steadyNow)
{
    limits_.blocks = std::min(limits_.blocks, kMaxBlocks);
}

FramePool::~FramePool()
{
    drain();
}

FramePool& FramePool::shared()
{
    static auto* pool = new FramePool(kPoolShared ? Limits{} : Limits{0, 0, 0});
    return *pool;
}

bool FramePool::poolable(std::size_t bytes) const
{
    return limits_.blocks > 0 && bytes >= limits_.minBytes && bytes <= limits_.maxBytes;
}

void FramePool::takeIdle(Clock::time_point now, std::array<Block, kMaxBlocks>& released)
{
    for (std::size_t i = 0; i < limits_.blocks; ++i)
        if (held_[i].memory && now - held_[i].heldSince >= limits_.idleRelease)
            released[i] = std::exchange(held_[i], Block{});
}

std::uint8_t* FramePool::obtain(std::size_t bytes, std::size_t alignment)
{
    if (poolable(bytes)) {
        std::array<Block, kMaxBlocks> released{};
        std::uint8_t* reuse = nullptr;
        {
            std::lock_guard lock(mutex_);
            takeIdle(now_(), released);
            // The block given back last: the others then age and are freed once a moment with
            // more frames in flight has passed.
            Block* newest = nullptr;
            for (std::size_t i = 0; i < limits_.blocks; ++i)
                if (held_[i].memory && held_[i].bytes == bytes && (!newest || held_[i].heldSince > newest->heldSince))
                    newest = &held_[i];
            if (newest) {
                ++reused_;
                reuse = std::exchange(newest->memory, nullptr);
            }
        }
        // Unmapping takes a while for a large block: never under the lock.
        for (const Block& block : released)
            unmapBlock(block.memory, block.bytes);
        if (reuse)
            return reuse;
        std::uint8_t* block = mapBlock(bytes);
        if (block) {
            std::lock_guard lock(mutex_);
            ++allocated_;
        }
        return block;
    }
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (rounded < bytes)
        return nullptr;
    return static_cast<std::uint8_t*>(std::aligned_alloc(alignment, rounded));
}

void FramePool::recycle(std::uint8_t* block, std::size_t bytes)
{
    if (!block)
        return;
    if (!poolable(bytes)) {
        std::free(block);
        return;
    }
    std::array<Block, kMaxBlocks> released{};
    Block unheld;
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = now_();
        takeIdle(now, released);
        // A full pool gives up the block held longest, whatever its size: a size no longer asked
        // for goes that way, and so do surplus blocks of one size while two sizes alternate (a
        // loop frame and the frame served from it), which would otherwise push the other out.
        Block* empty = nullptr;
        Block* oldest = nullptr;
        for (std::size_t i = 0; i < limits_.blocks; ++i) {
            if (!held_[i].memory)
                empty = empty ? empty : &held_[i];
            else if (!oldest || held_[i].heldSince < oldest->heldSince)
                oldest = &held_[i];
        }
        Block* slot = empty ? empty : oldest;
        unheld = slot ? std::exchange(*slot, Block{block, bytes, now}) : Block{block, bytes, now};
    }
    for (const Block& idle : released)
        unmapBlock(idle.memory, idle.bytes);
    unmapBlock(unheld.memory, unheld.bytes);
}

void FramePool::drain()
{
    std::array<Block, kMaxBlocks> released{};
    {
        std::lock_guard lock(mutex_);
        released = std::exchange(held_, {});
    }
    for (const Block& block : released)
        unmapBlock(block.memory, block.bytes);
}

FramePool::Statistics FramePool::statistics() const
{
    std::lock_guard lock(mutex_);
    Statistics statistics{reused_, allocated_, 0, 0};
    for (const Block& block : held_)
        if (block.memory) {
            ++statistics.heldBlocks;
            statistics.heldBytes += block.bytes;
        }
    return statistics;
}

} // namespace quellon
