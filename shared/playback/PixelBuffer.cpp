#include "playback/PixelBuffer.h"

#include "playback/FramePool.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace quellon {

namespace {

/// Pixels are allocated with one alignment unit in front that records their size, so the
/// deleter knows what it frees.
std::uint8_t* allocatePixels(std::size_t size)
{
    std::uint8_t* block = FramePool::shared().obtain(size + PixelBuffer::kRowAlignment, PixelBuffer::kRowAlignment);
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
    FramePool::shared().recycle(block, size + kRowAlignment);
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
