#include "FrameFactory.h"

#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/LoopFrameProvider.h"
#include "playback/StandbyFrameRenderer.h"

#include <algorithm>
#include <array>

namespace quellon {

namespace {

constexpr std::array<std::uint8_t, 8> kPNGSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

} // namespace

PlaybackFrameFactory::PlaybackFrameFactory() = default;
PlaybackFrameFactory::~PlaybackFrameFactory() = default;

PixelBufferRef PlaybackFrameFactory::decodePushedFrame(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(jpegMutex_);
    if (!jpegContext_)
        jpegContext_ = std::make_unique<ImageContext>();
    auto image = decodeImage(bytes, *jpegContext_, kPushedImageLimit);
    if (!image || image->width < 1 || image->height < 1)
        return nullptr;
    return LoopFrameProvider::pixelBuffer(std::move(*image), *jpegContext_);
}

PixelBufferRef PlaybackFrameFactory::decodeStandbyPNG(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kPNGSignature.size() || !std::equal(kPNGSignature.begin(), kPNGSignature.end(), bytes.begin()))
        return nullptr;
    ImageContext context;
    auto image = decodeImage(bytes, context, kPushedImageLimit);
    if (!image)
        return nullptr;
    return LoopFrameProvider::pixelBuffer(std::move(*image), context);
}

PixelBufferRef PlaybackFrameFactory::renderStandbyCard(std::int64_t width, std::int64_t height, std::string_view title,
                                                       std::string_view subtitle)
{
    return StandbyFrameRenderer::makeFrame(width, height, title, subtitle);
}

} // namespace quellon
