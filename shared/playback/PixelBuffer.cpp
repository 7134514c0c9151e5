#include "playback/PixelBuffer.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace quellon {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUELLON_RECYCLE_PIXELS 0 // a recycled block would hide a use after free
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELLON_RECYCLE_PIXELS 0
#endif
#endif
#ifndef QUELLON_RECYCLE_PIXELS
#define QUELLON_RECYCLE_PIXELS 1
#endif

/// Frames of one size come and go up to 30 times a second, and the allocator hands blocks this
/// large back to the system, so every new frame would pay for fresh pages. A few freed blocks
/// of camera sizes (1 MiB up to 1920 × 1088 BGRA) wait here for the next frame of the same size:
/// at most kBlocks × kMaxBytes (25 MiB) stay held.
class BlockRecycler {
public:
    static constexpr std::size_t kBlocks = 3;
    static constexpr std::size_t kMinBytes = 1u << 20;
    static constexpr std::size_t kMaxBytes = 1920u * 1088 * 4;

    static BlockRecycler& shared()
    {
        // Never destroyed: buffers may be freed by other static objects' destructors.
        static auto* recycler = new BlockRecycler;
        return *recycler;
    }

    std::uint8_t* take(std::size_t size)
    {
        if (!QUELLON_RECYCLE_PIXELS || size < kMinBytes || size > kMaxBytes)
            return nullptr;
        std::lock_guard lock(mutex_);
        for (auto& block : blocks_)
            if (block.memory && block.size == size)
                return std::exchange(block.memory, nullptr);
        return nullptr;
    }

    /// True when the block is kept; otherwise the caller frees it.
    bool keep(std::uint8_t* memory, std::size_t size)
    {
        if (!QUELLON_RECYCLE_PIXELS || size < kMinBytes || size > kMaxBytes)
            return false;
        std::lock_guard lock(mutex_);
        for (auto& block : blocks_)
            if (!block.memory) {
                block = {memory, size};
                return true;
            }
        // Full: the newest size wins over the oldest block, which a size change left behind.
        std::free(std::exchange(blocks_[next_].memory, memory));
        blocks_[next_].size = size;
        next_ = (next_ + 1) % kBlocks;
        return true;
    }

private:
    struct Block {
        std::uint8_t* memory = nullptr;
        std::size_t size = 0;
    };
    std::mutex mutex_;
    std::array<Block, kBlocks> blocks_{};
    std::size_t next_ = 0;
};

/// Pixels are allocated with one alignment unit in front that records their size, so the
/// deleter knows what it frees.
std::uint8_t* allocatePixels(std::size_t size)
{
    std::uint8_t* block = BlockRecycler::shared().take(size);
    if (!block)
        block = static_cast<std::uint8_t*>(std::aligned_alloc(PixelBuffer::kRowAlignment, size + PixelBuffer::kRowAlignment));
    if (!block)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + PixelBuffer::kRowAlignment;
}

} // namespace

void PixelBuffer::AlignedFree::operator()(std::uint8_t* p) const
{
    if (!p)
        return;
    std::uint8_t* block = p - kRowAlignment;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    if (!BlockRecycler::shared().keep(block, size))
        std::free(block);
}

PixelBuffer::PixelBuffer(int width, int height, std::size_t bytesPerRow, PixelFormatCode format,
                         std::unique_ptr<std::uint8_t[], AlignedFree> data)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), format_(format), data_(std::move(data))
{
}

std::size_t PixelBuffer::bytesPerPixel(PixelFormatCode format)
{
    switch (format) {
    case kPixelFormatBGRA: return 4;
    case kPixelFormatYUYV: return 2;
    case kPixelFormatGray8: return 1;
    default: return 0;
    }
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(std::int64_t width, std::int64_t height, PixelFormatCode format,
                                                 std::size_t minimumBytesPerRow)
{
    const std::size_t pixelBytes = bytesPerPixel(format);
    if (pixelBytes == 0 || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        return nullptr;
    const std::size_t rowBytes = std::max(static_cast<std::size_t>(width) * pixelBytes, minimumBytesPerRow);
    const std::size_t bytesPerRow = (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    const std::size_t total = bytesPerRow * static_cast<std::size_t>(height);
    // A stride far beyond the row is as absurd as a huge size: no more memory than the largest
    // BGRA frame.
    if (minimumBytesPerRow > static_cast<std::size_t>(kMaxSide) * 4 || (minimumBytesPerRow > 0 && total > static_cast<std::size_t>(kMaxPixels) * 4))
        return nullptr;
    std::uint8_t* memory = allocatePixels(total);
    if (!memory)
        return nullptr;
    std::unique_ptr<std::uint8_t[], AlignedFree> data(memory);
    // Memory short for the object or its shared count is an allocation failure like any other.
    try {
        return std::shared_ptr<PixelBuffer>(
            new PixelBuffer(static_cast<int>(width), static_cast<int>(height), bytesPerRow, format, std::move(data)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace quellon
