#include "playback/FramePool.h"

#include <algorithm>
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

} // namespace

FramePool::FramePool(Limits limits) : limits_(limits)
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

std::uint8_t* FramePool::obtain(std::size_t bytes, std::size_t alignment)
{
    if (poolable(bytes)) {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < limits_.blocks; ++i)
            if (held_[i].memory && held_[i].bytes == bytes) {
                ++reused_;
                return std::exchange(held_[i].memory, nullptr);
            }
        ++allocated_;
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
    if (poolable(bytes)) {
        std::lock_guard lock(mutex_);
        Block* empty = nullptr;
        Block* stale = nullptr;
        for (std::size_t i = 0; i < limits_.blocks; ++i) {
            if (!held_[i].memory)
                empty = empty ? empty : &held_[i];
            else if (held_[i].bytes != bytes)
                stale = stale ? stale : &held_[i];
        }
        if (Block* slot = empty ? empty : stale) {
            std::free(std::exchange(slot->memory, block));
            slot->bytes = bytes;
            return;
        }
    }
    std::free(block);
}

void FramePool::drain()
{
    std::lock_guard lock(mutex_);
    for (Block& block : held_)
        std::free(std::exchange(block.memory, nullptr));
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
