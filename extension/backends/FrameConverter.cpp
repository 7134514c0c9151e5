#include "backends/FrameConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace quellon {

std::size_t OutputFormat::frameBytes() const
{
    const auto pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return pixelFormat == OutputPixelFormat::yuyv ? pixels * 2 : pixels + 2 * (pixels / 4);
}

FrameConverter::FrameConverter(OutputFormat format) : format_(format), output_(format.frameBytes()) {}

const std::vector<std::uint8_t>* FrameConverter::convert(const PixelBufferRef& frame)
{
    if (!frame || !frame->isBGRA())
        return nullptr;
    if (lastFrame_.lock() == frame)
        return &output_;

    const int W = format_.width;
    const int H = format_.height;
    auto pixels = frame->lockForReading();
    const int stride = static_cast<int>(frame->bytesPerRow());
    if (frame->width() == W && frame->height() == H) {
        convertInto(pixels.baseAddress(), stride, W, H, 0, 0);
        std::vector<std::uint8_t>().swap(scaled_);
    } else {
        // Fit inside the output, keeping proportions; sizes and offsets even for 4:2:x chroma.
        const double scale = std::min(static_cast<double>(W) / frame->width(), static_cast<double>(H) / frame->height());
        const int w = std::clamp(static_cast<int>(std::lround(frame->width() * scale / 2)) * 2, 2, W);
        const int h = std::clamp(static_cast<int>(std::lround(frame->height() * scale / 2)) * 2, 2, H);
        const int x = ((W - w) / 2) & ~1;
        const int y = ((H - h) / 2) & ~1;
        scaled_.resize(static_cast<std::size_t>(w) * h * 4);
        libyuv::ARGBScale(pixels.baseAddress(), stride, frame->width(), frame->height(), scaled_.data(), w * 4, w, h,
                          libyuv::kFilterBilinear);
        if (w != W || h != H) {
            // Black in limited range: Y 16, chroma 128.
            if (format_.pixelFormat == OutputPixelFormat::yuyv) {
                for (std::size_t i = 0; i < output_.size(); i += 2) {
                    output_[i] = 16;
                    output_[i + 1] = 128;
                }
            } else {
                const std::size_t luma = static_cast<std::size_t>(W) * H;
                std::memset(output_.data(), 16, luma);
                std::memset(output_.data() + luma, 128, output_.size() - luma);
            }
        }
        convertInto(scaled_.data(), w * 4, w, h, x, y);
    }
    lastFrame_ = frame;
    return &output_;
}

void FrameConverter::convertInto(const std::uint8_t* bgra, int stride, int width, int height, int x, int y)
{
    // BGRA in memory is libyuv's "ARGB" (named by its little-endian word).
    const int W = format_.width;
    const int H = format_.height;
    if (format_.pixelFormat == OutputPixelFormat::yuyv) {
        std::uint8_t* dst = output_.data() + (static_cast<std::size_t>(y) * W + x) * 2;
        libyuv::ARGBToYUY2(bgra, stride, dst, W * 2, width, height);
        return;
    }
    std::uint8_t* yPlane = output_.data();
    std::uint8_t* uPlane = yPlane + static_cast<std::size_t>(W) * H;
    std::uint8_t* vPlane = uPlane + static_cast<std::size_t>(W / 2) * (H / 2);
    libyuv::ARGBToI420(bgra, stride, yPlane + static_cast<std::size_t>(y) * W + x, W,
                       uPlane + static_cast<std::size_t>(y / 2) * (W / 2) + x / 2, W / 2,
                       vPlane + static_cast<std::size_t>(y / 2) * (W / 2) + x / 2, W / 2, width, height);
}

} // namespace quellon
