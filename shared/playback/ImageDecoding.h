#pragma once

#include "playback/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
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

/// The largest picture a decode may produce. The decoder's own working memory scales with it:
/// a progressive JPEG keeps about 6 bytes of coefficients per pixel besides the frame's 4, so
/// progressive JPEGs are held to kPushedImageLimit whatever the limit.
struct ImageSizeLimit {
    std::int64_t maxSide = 0;
    std::int64_t maxPixels = 0;

    bool operator==(const ImageSizeLimit&) const = default;
};

/// Clips and loop frames: what a PixelBuffer holds at most (16384 on a side, 64 Mpx; a
/// baseline frame of 256 MiB).
inline constexpr ImageSizeLimit kClipImageLimit{PixelBuffer::kMaxSide, PixelBuffer::kMaxPixels};

/// Pushed frames and "standby.png", which any process of the user can hand the camera and which
/// feed a 1280×720 camera: 4096×4096 (a 64 MiB frame; a progressive decode needs about 100 MiB
/// more for its coefficients).
inline constexpr ImageSizeLimit kPushedImageLimit{4096, 4096LL * 4096};

/// PNG scratch beyond this size is released after the decode, so one huge picture does not pin
/// its memory for the life of the context.
inline constexpr std::size_t kRetainedScratchBytes = 16u * 1024 * 1024;

/// Decodes a JPEG (through TurboJPEG) or a PNG (through libspng) held in memory. Anything else,
/// damaged data, a size below 1 pixel, or a declared size beyond the limit gives nothing; the
/// size check comes before any pixel memory is allocated. PNG chunks a frame never uses (text,
/// profiles, metadata) are skipped unread.
std::optional<DecodedImage> decodeImage(std::span<const std::uint8_t> bytes, ImageContext& context,
                                        ImageSizeLimit limit = kClipImageLimit);

/// The width and height a JPEG or PNG declares in its header, read without decoding it;
/// nothing for anything else or a header that does not parse.
std::optional<std::pair<std::int64_t, std::int64_t>> declaredImageSize(std::span<const std::uint8_t> bytes,
                                                                       ImageContext& context);

/// Whether a declared image size is one this system is willing to allocate.
bool isAcceptableImageSize(std::int64_t width, std::int64_t height, ImageSizeLimit limit = kClipImageLimit);

} // namespace quellon
