#include "playback/YuvFrames.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

namespace quellon::YuvFrames {

PixelBufferRef compact(const PixelBufferRef& frame)
{
    if (!frame || !frame->isBGRA())
        return nullptr;
    PixelBufferRef output = PixelBuffer::create(frame->width(), frame->height(), kPixelFormatJ420);
    if (!output)
        return nullptr;
    const auto from = frame->lockForReading();
    const auto to = output->lockForWriting();
    const auto y = output->plane(0), u = output->plane(1), v = output->plane(2);
    // libyuv's ARGB is a little-endian word: blue, green, red, alpha in memory, our BGRA.
    if (libyuv::ARGBToJ420(from.baseAddress(), static_cast<int>(frame->bytesPerRow()), to.baseAddress() + y.offset,
                           static_cast<int>(y.bytesPerRow), to.baseAddress() + u.offset, static_cast<int>(u.bytesPerRow),
                           to.baseAddress() + v.offset, static_cast<int>(v.bytesPerRow), frame->width(), frame->height())
        != 0)
        return nullptr;
    return output;
}

PixelBufferRef bgra(const PixelBufferRef& frame)
{
    if (!frame || frame->isBGRA())
        return frame;
    if (!frame->isJ420())
        return nullptr;
    PixelBufferRef output = PixelBuffer::create(frame->width(), frame->height(), kPixelFormatBGRA);
    if (!output)
        return nullptr;
    const auto from = frame->lockForReading();
    const auto to = output->lockForWriting();
    const auto y = frame->plane(0), u = frame->plane(1), v = frame->plane(2);
    if (libyuv::J420ToARGB(from.baseAddress() + y.offset, static_cast<int>(y.bytesPerRow), from.baseAddress() + u.offset,
                           static_cast<int>(u.bytesPerRow), from.baseAddress() + v.offset, static_cast<int>(v.bytesPerRow),
                           to.baseAddress(), static_cast<int>(output->bytesPerRow()), frame->width(), frame->height())
        != 0)
        return nullptr;
    return output;
}

} // namespace quellon::YuvFrames
