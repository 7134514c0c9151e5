#include "playback/LoopFrameProvider.h"

#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"

#include <cstring>

namespace quellon {

namespace {

bool holdsItsPixels(const DecodedImage& image)
{
    return image.pixels && image.pixels->isBGRA() && image.pixels->width() == image.width
        && image.pixels->height() == image.height;
}

} // namespace

PixelBufferRef LoopFrameProvider::pixelBuffer(const DecodedImage& image, ImageContext&)
{
    if (!holdsItsPixels(image))
        return nullptr;
    PixelBufferRef frame = PixelBuffer::create(image.width, image.height, kPixelFormatBGRA);
    if (!frame)
        return nullptr;
    auto source = image.pixels->lockForReading();
    auto target = frame->lockForWriting();
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 4;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(target.row(y), source.row(y), rowBytes);
    return frame;
}

PixelBufferRef LoopFrameProvider::pixelBuffer(DecodedImage&& image, ImageContext& context)
{
    if (!holdsItsPixels(image))
        return nullptr;
    // Another holder of the same pixels could still write them; only a sole owner hands over.
    if (image.pixels.use_count() != 1)
        return pixelBuffer(static_cast<const DecodedImage&>(image), context);
    image.width = 0;
    image.height = 0;
    return std::move(image.pixels);
}

} // namespace quellon
