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

namespace {

constexpr std::size_t alignedRow(std::size_t bytes)
{
    return (bytes + PixelBuffer::kRowAlignment - 1) / PixelBuffer::kRowAlignment * PixelBuffer::kRowAlignment;
}

bool sizeIsSane(std::int64_t width, std::int64_t height)
{
    return width >= 1 && height >= 1 && width <= PixelBuffer::kMaxSide && height <= PixelBuffer::kMaxSide
        && width * height <= PixelBuffer::kMaxPixels;
}

// Chroma rows are half the luma row, so with 64-byte luma rows they stay 32-byte aligned, as
// libyuv's vector paths like them.
std::size_t planarTotal(std::size_t lumaBytesPerRow, std::int64_t height)
{
    const auto chromaRows = static_cast<std::size_t>((height + 1) / 2);
    return lumaBytesPerRow * static_cast<std::size_t>(height) + 2 * (lumaBytesPerRow / 2) * chromaRows;
}

} // namespace

int PixelBuffer::planeCount() const
{
    return format_ == kPixelFormatJ420 ? 3 : 1;
}

PixelBuffer::Plane PixelBuffer::plane(int index) const
{
    if (index < 0 || index >= planeCount())
        return {};
    if (format_ != kPixelFormatJ420)
        return {0, bytesPerRow_, static_cast<std::size_t>(width_) * bytesPerPixel(format_), height_};
    if (index == 0)
        return {0, bytesPerRow_, static_cast<std::size_t>(width_), height_};
    const std::size_t lumaBytes = bytesPerRow_ * static_cast<std::size_t>(height_);
    const int chromaRows = (height_ + 1) / 2;
    const std::size_t chromaBytesPerRow = bytesPerRow_ / 2;
    const std::size_t offset = lumaBytes + (index == 2 ? chromaBytesPerRow * static_cast<std::size_t>(chromaRows) : 0);
    return {offset, chromaBytesPerRow, static_cast<std::size_t>((width_ + 1) / 2), chromaRows};
}

std::size_t PixelBuffer::byteCount() const
{
    return format_ == kPixelFormatJ420 ? planarTotal(bytesPerRow_, height_) : bytesPerRow_ * static_cast<std::size_t>(height_);
}

std::size_t PixelBuffer::byteCount(std::int64_t width, std::int64_t height, PixelFormatCode format)
{
    if (!sizeIsSane(width, height))
        return 0;
    if (format == kPixelFormatJ420)
        return planarTotal(alignedRow(static_cast<std::size_t>(width)), height);
    return alignedRow(static_cast<std::size_t>(width) * bytesPerPixel(format)) * static_cast<std::size_t>(height);
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(std::int64_t width, std::int64_t height, PixelFormatCode format,
                                                 std::size_t minimumBytesPerRow)
{
    const bool planar = format == kPixelFormatJ420;
    const std::size_t pixelBytes = planar ? 1 : bytesPerPixel(format);
    if (pixelBytes == 0 || !sizeIsSane(width, height))
        return nullptr;
    const std::size_t rowBytes = std::max(static_cast<std::size_t>(width) * pixelBytes, minimumBytesPerRow);
    const std::size_t bytesPerRow = alignedRow(rowBytes);
    const std::size_t total = planar ? planarTotal(bytesPerRow, height) : bytesPerRow * static_cast<std::size_t>(height);
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
