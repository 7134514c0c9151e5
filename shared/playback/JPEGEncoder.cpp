#include "playback/JPEGEncoder.h"

#include "playback/PixelBuffer.h"

#include <string>
#include <turbojpeg.h>

namespace quellon {

JPEGEncoder::JPEGEncoder() : handle_(tjInitCompress())
{
    if (!handle_)
        throw JPEGEncodingError("cannot start the JPEG encoder");
}

JPEGEncoder::~JPEGEncoder()
{
    tjFree(buffer_);
    tjDestroy(static_cast<tjhandle>(handle_));
}

std::string_view JPEGEncoder::encode(const PixelBuffer& frame)
{
    const unsigned long capacity = tjBufSize(frame.width(), frame.height(), TJSAMP_420);
    if (capacity > capacity_) {
        tjFree(buffer_);
        buffer_ = tjAlloc(static_cast<int>(capacity));
        capacity_ = buffer_ ? capacity : 0;
        if (!buffer_)
            throw JPEGEncodingError("no memory to encode a frame");
    }
    auto lock = frame.lockForReading();
    unsigned long size = capacity_;
    if (tjCompress2(static_cast<tjhandle>(handle_), lock.baseAddress(), frame.width(), static_cast<int>(frame.bytesPerRow()),
                    frame.height(), TJPF_BGRA, &buffer_, &size, TJSAMP_420, kQuality, TJFLAG_NOREALLOC)
        != 0)
        throw JPEGEncodingError(std::string("cannot encode a frame as JPEG: ") + tjGetErrorStr2(static_cast<tjhandle>(handle_)));
    return {reinterpret_cast<const char*>(buffer_), size};
}

} // namespace quellon
