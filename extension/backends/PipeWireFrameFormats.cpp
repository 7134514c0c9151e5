#include "backends/PipeWireFrameFormats.h"

#include <cstring>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace quellon {

namespace {

spa_video_format spaFormat(PipeWirePixelFormat format)
{
    switch (format) {
    case PipeWirePixelFormat::bgra:
        return SPA_VIDEO_FORMAT_BGRA;
    case PipeWirePixelFormat::i420:
        return SPA_VIDEO_FORMAT_I420;
    case PipeWirePixelFormat::yuy2:
        return SPA_VIDEO_FORMAT_YUY2;
    case PipeWirePixelFormat::bgrx:
        return SPA_VIDEO_FORMAT_BGRx;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

bool isYUV(PipeWirePixelFormat format)
{
    return format == PipeWirePixelFormat::i420 || format == PipeWirePixelFormat::yuy2;
}

int chromaWidth(int width)
{
    return (width + 1) / 2;
}

} // namespace

int PipeWireFrameLayout::stride() const
{
    switch (format) {
    case PipeWirePixelFormat::i420:
        return width;
    case PipeWirePixelFormat::yuy2:
        return chromaWidth(width) * 4;
    case PipeWirePixelFormat::bgra:
    case PipeWirePixelFormat::bgrx:
        break;
    }
    return width * 4;
}

std::size_t PipeWireFrameLayout::frameBytes() const
{
    const auto rows = static_cast<std::size_t>(height);
    if (format == PipeWirePixelFormat::i420)
        return static_cast<std::size_t>(width) * rows + 2 * static_cast<std::size_t>(chromaWidth(width)) * ((rows + 1) / 2);
    return static_cast<std::size_t>(stride()) * rows;
}

std::vector<PipeWireFrameLayout> offeredLayouts(int width, int height)
{
    std::vector<PipeWireFrameLayout> layouts;
    for (auto format : {PipeWirePixelFormat::bgra, PipeWirePixelFormat::i420, PipeWirePixelFormat::yuy2, PipeWirePixelFormat::bgrx})
        layouts.push_back({format, width, height});
    return layouts;
}

std::vector<const spa_pod*> buildEnumFormats(spa_pod_builder& builder, int width, int height, int fps)
{
    std::vector<const spa_pod*> params;
    for (const PipeWireFrameLayout& layout : offeredLayouts(width, height)) {
        spa_video_info_raw info{};
        info.format = spaFormat(layout.format);
        info.size = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        info.framerate = {static_cast<std::uint32_t>(fps), 1};
        if (isYUV(layout.format)) {
            info.color_range = SPA_VIDEO_COLOR_RANGE_16_235;
            info.color_matrix = SPA_VIDEO_COLOR_MATRIX_BT601;
            info.transfer_function = SPA_VIDEO_TRANSFER_BT709;
            info.color_primaries = SPA_VIDEO_COLOR_PRIMARIES_SMPTE170M;
        } else {
            info.color_range = SPA_VIDEO_COLOR_RANGE_0_255;
            info.color_matrix = SPA_VIDEO_COLOR_MATRIX_RGB;
        }
        params.push_back(spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info));
    }
    return params;
}

NegotiatedLayout parseNegotiatedFormat(const spa_pod* format, int width, int height)
{
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (!format || spa_format_parse(format, &mediaType, &mediaSubtype) < 0)
        return {std::nullopt, "the format cannot be read"};
    if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return {std::nullopt, "the format is not raw video"};
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(format, &info) < 0)
        return {std::nullopt, "the raw video format cannot be read"};
    if (info.size.width != static_cast<std::uint32_t>(width) || info.size.height != static_cast<std::uint32_t>(height))
        return {std::nullopt, "the size " + std::to_string(info.size.width) + "x" + std::to_string(info.size.height)
                                  + " is not offered"};
    for (const PipeWireFrameLayout& layout : offeredLayouts(width, height))
        if (spaFormat(layout.format) == info.format)
            return {layout, {}};
    return {std::nullopt, "pixel format " + std::to_string(info.format) + " is not offered"};
}

bool PipeWireFrameWriter::write(const PixelBuffer& frame, const PipeWireFrameLayout& layout, std::uint8_t* destination)
{
    if (!frame.isBGRA())
        return false;
    const int W = layout.width;
    const int H = layout.height;
    auto pixels = frame.lockForReading();
    const std::uint8_t* source = pixels.baseAddress();
    int sourceStride = static_cast<int>(frame.bytesPerRow());
    const bool sameSize = frame.width() == W && frame.height() == H;
    const bool packed = layout.format == PipeWirePixelFormat::bgra || layout.format == PipeWirePixelFormat::bgrx;

    if (packed) {
        // BGRA in memory is libyuv's "ARGB" (named by its little-endian word).
        if (!sameSize) {
            libyuv::ARGBScale(source, sourceStride, frame.width(), frame.height(), destination, layout.stride(), W, H,
                              libyuv::kFilterBilinear);
        } else if (sourceStride == layout.stride()) {
            std::memcpy(destination, source, layout.frameBytes());
        } else {
            for (int y = 0; y < H; ++y)
                std::memcpy(destination + static_cast<std::size_t>(y) * layout.stride(), pixels.row(y), static_cast<std::size_t>(W) * 4);
        }
        std::vector<std::uint8_t>().swap(scaled_);
        return true;
    }

    if (sameSize) {
        std::vector<std::uint8_t>().swap(scaled_);
    } else {
        scaled_.resize(static_cast<std::size_t>(W) * H * 4);
        libyuv::ARGBScale(source, sourceStride, frame.width(), frame.height(), scaled_.data(), W * 4, W, H, libyuv::kFilterBilinear);
        source = scaled_.data();
        sourceStride = W * 4;
    }
    // libyuv's ARGBTo* without a J are BT.601 limited range.
    if (layout.format == PipeWirePixelFormat::yuy2) {
        libyuv::ARGBToYUY2(source, sourceStride, destination, layout.stride(), W, H);
        return true;
    }
    const int chromaStride = chromaWidth(W);
    std::uint8_t* yPlane = destination;
    std::uint8_t* uPlane = yPlane + static_cast<std::size_t>(W) * H;
    std::uint8_t* vPlane = uPlane + static_cast<std::size_t>(chromaStride) * ((H + 1) / 2);
    libyuv::ARGBToI420(source, sourceStride, yPlane, W, uPlane, chromaStride, vPlane, chromaStride, W, H);
    return true;
}

} // namespace quellon
