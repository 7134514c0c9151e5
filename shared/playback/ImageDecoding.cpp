#include "playback/ImageDecoding.h"

#include "playback/ImageContext.h"

#include <spng.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace quellon {

namespace {

// Ancillary chunks (text, ICC profiles) are never needed for a frame; these caps keep a
// hostile file from making the decoder hold large ones in memory.
constexpr std::size_t kMaxChunkBytes = 64u * 1024 * 1024;
constexpr std::size_t kMaxChunkCacheBytes = 8u * 1024 * 1024;

bool looksLikeJPEG(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

bool looksLikePNG(std::span<const std::uint8_t> bytes)
{
    static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return bytes.size() >= 8 && std::memcmp(bytes.data(), signature, 8) == 0;
}

std::optional<DecodedImage> decodeJPEG(std::span<const std::uint8_t> bytes, ImageContext& context)
{
    auto handle = static_cast<tjhandle>(context.jpegDecompressor());
    if (!handle || bytes.size() > static_cast<std::size_t>(~0UL))
        return std::nullopt;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle, bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                            &subsampling, &colorspace) != 0)
        return std::nullopt;
    if (!isAcceptableImageSize(width, height))
        return std::nullopt;
    PixelBufferRef buffer = PixelBuffer::create(width, height, kPixelFormatBGRA);
    if (!buffer)
        return std::nullopt;
    {
        auto lock = buffer->lockForWriting();
        // Straight into the frame's rows; TJPF_BGRA fills alpha with 255. A warning (a truncated
        // or damaged stream) fails the decode too: half a picture is not a frame to show.
        // LIMITSCANS stops progressive files built to take minutes to decode.
        const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
        if (tjDecompress2(handle, bytes.data(), static_cast<unsigned long>(bytes.size()), lock.baseAddress(), width,
                          static_cast<int>(buffer->bytesPerRow()), height, TJPF_BGRA, flags)
            != 0)
            return std::nullopt;
    }
    return DecodedImage{width, height, std::move(buffer)};
}

struct SpngContextFree {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

std::optional<DecodedImage> decodePNG(std::span<const std::uint8_t> bytes, ImageContext& context)
{
    std::unique_ptr<spng_ctx, SpngContextFree> png(spng_ctx_new(0));
    if (!png)
        return std::nullopt;
    spng_set_image_limits(png.get(), static_cast<std::uint32_t>(PixelBuffer::kMaxSide),
                          static_cast<std::uint32_t>(PixelBuffer::kMaxSide));
    spng_set_chunk_limits(png.get(), kMaxChunkBytes, kMaxChunkCacheBytes);
    if (spng_set_png_buffer(png.get(), bytes.data(), bytes.size()) != 0)
        return std::nullopt;
    spng_ihdr header{};
    if (spng_get_ihdr(png.get(), &header) != 0)
        return std::nullopt;
    if (!isAcceptableImageSize(header.width, header.height))
        return std::nullopt;
    std::size_t decodedSize = 0;
    if (spng_decoded_image_size(png.get(), SPNG_FMT_RGBA8, &decodedSize) != 0)
        return std::nullopt;
    std::uint8_t* rgba = context.scratch(decodedSize);
    if (!rgba)
        return std::nullopt;
    if (spng_decode_image(png.get(), rgba, decodedSize, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
        return std::nullopt;

    const int width = static_cast<int>(header.width);
    const int height = static_cast<int>(header.height);
    PixelBufferRef buffer = PixelBuffer::create(width, height, kPixelFormatBGRA);
    if (!buffer)
        return std::nullopt;
    auto lock = buffer->lockForWriting();
    const std::size_t sourceRow = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = rgba + static_cast<std::size_t>(y) * sourceRow;
        std::uint8_t* out = lock.row(y);
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            // Premultiplied, rounded to nearest: the layout every frame and the card use.
            const unsigned alpha = in[3];
            out[0] = static_cast<std::uint8_t>((in[2] * alpha + 127) / 255);
            out[1] = static_cast<std::uint8_t>((in[1] * alpha + 127) / 255);
            out[2] = static_cast<std::uint8_t>((in[0] * alpha + 127) / 255);
            out[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return DecodedImage{width, height, std::move(buffer)};
}

} // namespace

bool isAcceptableImageSize(std::int64_t width, std::int64_t height)
{
    return width >= 1 && height >= 1 && width <= PixelBuffer::kMaxSide && height <= PixelBuffer::kMaxSide
        && width * height <= PixelBuffer::kMaxPixels;
}

std::optional<DecodedImage> decodeImage(std::span<const std::uint8_t> bytes, ImageContext& context)
{
    if (looksLikeJPEG(bytes))
        return decodeJPEG(bytes, context);
    if (looksLikePNG(bytes))
        return decodePNG(bytes, context);
    return std::nullopt;
}

} // namespace quellon
