#include "playback/PixelBuffer.h"

#include <cstdlib>
#include <new>

namespace quellon {

void PixelBuffer::AlignedFree::operator()(std::uint8_t* p) const
{
    std::free(p);
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

std::shared_ptr<PixelBuffer> PixelBuffer::create(std::int64_t width, std::int64_t height, PixelFormatCode format)
{
    const std::size_t pixelBytes = bytesPerPixel(format);
    if (pixelBytes == 0 || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        return nullptr;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * pixelBytes;
    const std::size_t bytesPerRow = (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    const std::size_t total = bytesPerRow * static_cast<std::size_t>(height);
    auto* memory = static_cast<std::uint8_t*>(std::aligned_alloc(kRowAlignment, total));
    if (!memory)
        return nullptr;
    std::unique_ptr<std::uint8_t[], AlignedFree> data(memory);
    return std::shared_ptr<PixelBuffer>(new (std::nothrow) PixelBuffer(static_cast<int>(width), static_cast<int>(height),
                                                                       bytesPerRow, format, std::move(data)));
}

} // namespace quellon
