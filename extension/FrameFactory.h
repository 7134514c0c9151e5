#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

namespace quellon {

class ImageContext;

/// Makes the pictures the stream source shows: decoded pushed frames and the standby card.
/// Behind an interface so the stream source's tests can count and fail these steps.
class FrameFactory {
public:
    virtual ~FrameFactory() = default;
    /// A BGRA frame of the image's own size, or null when the bytes do not decode.
    virtual PixelBufferRef decodePushedFrame(std::span<const std::uint8_t> bytes) = 0;
    /// The PNG at its own size, or null when the bytes are not a decodable PNG.
    virtual PixelBufferRef decodeStandbyPNG(std::span<const std::uint8_t> bytes) = 0;
    /// The drawn standby card, or null when it cannot be made.
    virtual PixelBufferRef renderStandbyCard(std::int64_t width, std::int64_t height, std::string_view title,
                                             std::string_view subtitle) = 0;
};

/// The real pictures: TurboJPEG/libspng decoding and the Cairo-drawn card. Pushed frames share
/// one decoding context, made on first use; each standby PNG gets a fresh one. Both are held to
/// kPushedImageLimit: any process of the user can send them.
class PlaybackFrameFactory final : public FrameFactory {
public:
    PlaybackFrameFactory();
    ~PlaybackFrameFactory() override;

    PixelBufferRef decodePushedFrame(std::span<const std::uint8_t> bytes) override;
    PixelBufferRef decodeStandbyPNG(std::span<const std::uint8_t> bytes) override;
    PixelBufferRef renderStandbyCard(std::int64_t width, std::int64_t height, std::string_view title,
                                     std::string_view subtitle) override;

private:
    std::mutex jpegMutex_;
    std::unique_ptr<ImageContext> jpegContext_;
};

} // namespace quellon
