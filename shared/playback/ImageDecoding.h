#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <optional>
#include <span>

namespace quellon {

class ImageContext;

/// A decoded still image. The pixels already sit in a frame buffer (32-bit BGRA, alpha
/// premultiplied), so turning the image into a frame needs no second copy.
struct DecodedImage {
    int width = 0;
    int height = 0;
    PixelBufferRef pixels;

    bool operator==(const DecodedImage&) const = default;
};

/// Decodes a JPEG (through TurboJPEG) or a PNG (through libspng) held in memory. Anything else,
/// damaged data, a size below 1 pixel, or a declared size beyond PixelBuffer::kMaxSide on a side
/// or PixelBuffer::kMaxPixels in all gives nothing; the size check comes before any pixel
/// memory is allocated.
std::optional<DecodedImage> decodeImage(std::span<const std::uint8_t> bytes, ImageContext& context);

/// Whether a declared image size is one this system is willing to allocate.
bool isAcceptableImageSize(std::int64_t width, std::int64_t height);

} // namespace quellon
