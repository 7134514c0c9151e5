#include "playback/ImageDecoding.h"

#include "playback/ImageContext.h"

#include <spng.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace quellon {

namespace {

// libspng holds ancillary chunks it keeps in memory within these; it refuses a chunk limit
// above the cache limit. The chunks it would allocate for are stripped before it sees them
// (see essentialPNGChunks), so these are a second line.
constexpr std::size_t kMaxChunkBytes = 8u * 1024 * 1024;
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

/// Whether the JPEG's frame header is a progressive (or otherwise multi-scan) one; true as
/// well when the markers cannot be walked, so an odd file gets the lower limit.
bool isProgressiveJPEG(std::span<const std::uint8_t> bytes)
{
    std::size_t at = 2;
    while (at + 4 <= bytes.size()) {
        if (bytes[at] != 0xFF)
            return true;
        const std::uint8_t marker = bytes[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            at += 2;
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return marker != 0xC0 && marker != 0xC1 && marker != 0xC3;
        if (marker == 0xDA || marker == 0xD9)
            return true;
        at += 2 + ((static_cast<std::size_t>(bytes[at + 2]) << 8) | bytes[at + 3]);
    }
    return true;
}

std::optional<DecodedImage> decodeJPEG(std::span<const std::uint8_t> bytes, ImageContext& context,
                                       ImageSizeLimit limit)
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
    if (!isAcceptableImageSize(width, height, limit))
        return std::nullopt;
    // Progressive decoding keeps every coefficient of the image besides the frame.
    if (!isAcceptableImageSize(width, height, kPushedImageLimit) && isProgressiveJPEG(bytes))
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

std::uint32_t bigEndian32(const std::uint8_t* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

/// The PNG with only the chunks a frame needs: every critical chunk and tRNS. Text (whose
/// compressed form inflates without bound), profiles and the rest are dropped whole, so libspng
/// never reads or allocates for them. A chunk that does not fit the bytes is passed on as it is
/// for libspng to refuse. Empty when nothing had to be dropped.
std::vector<std::uint8_t> essentialPNGChunks(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint8_t> kept;
    std::size_t copiedUpTo = 0;
    std::size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const std::size_t length = bigEndian32(&bytes[at]);
        if (length > bytes.size() - at - 12)
            break;
        const std::uint8_t* type = &bytes[at + 4];
        const std::size_t end = at + 12 + length;
        const bool ancillary = (type[0] & 0x20) != 0;
        if (ancillary && std::memcmp(type, "tRNS", 4) != 0) {
            if (kept.empty())
                kept.reserve(bytes.size());
            kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(copiedUpTo),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at));
            copiedUpTo = end;
        }
        at = end;
        if (std::memcmp(type, "IEND", 4) == 0)
            break;
    }
    if (copiedUpTo == 0)
        return {};
    kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(copiedUpTo), bytes.end());
    return kept;
}

std::optional<DecodedImage> decodePNG(std::span<const std::uint8_t> bytes, ImageContext& context,
                                      ImageSizeLimit limit)
{
    const std::vector<std::uint8_t> stripped = essentialPNGChunks(bytes);
    if (!stripped.empty())
        bytes = stripped;
    std::unique_ptr<spng_ctx, SpngContextFree> png(spng_ctx_new(0));
    if (!png)
        return std::nullopt;
    const auto side = static_cast<std::uint32_t>(std::min(limit.maxSide, PixelBuffer::kMaxSide));
    if (spng_set_image_limits(png.get(), side, side) != 0
        || spng_set_chunk_limits(png.get(), kMaxChunkBytes, kMaxChunkCacheBytes) != 0
        || spng_set_png_buffer(png.get(), bytes.data(), bytes.size()) != 0)
        return std::nullopt;
    spng_ihdr header{};
    if (spng_get_ihdr(png.get(), &header) != 0)
        return std::nullopt;
    if (!isAcceptableImageSize(header.width, header.height, limit))
        return std::nullopt;
    std::size_t decodedSize = 0;
    if (spng_decoded_image_size(png.get(), SPNG_FMT_RGBA8, &decodedSize) != 0)
        return std::nullopt;
    std::uint8_t* rgba = context.scratch(decodedSize);
    if (!rgba)
        return std::nullopt;
    const int decoded = spng_decode_image(png.get(), rgba, decodedSize, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
    if (decoded != 0) {
        context.releaseScratchAbove(kRetainedScratchBytes);
        return std::nullopt;
    }

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
    context.releaseScratchAbove(kRetainedScratchBytes);
    return DecodedImage{width, height, std::move(buffer)};
}

} // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> declaredImageSize(std::span<const std::uint8_t> bytes,
                                                                       ImageContext& context)
{
    if (looksLikeJPEG(bytes)) {
        auto handle = static_cast<tjhandle>(context.jpegDecompressor());
        int width = 0, height = 0, subsampling = 0, colorspace = 0;
        if (!handle || bytes.size() > static_cast<std::size_t>(~0UL)
            || tjDecompressHeader3(handle, bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                                   &subsampling, &colorspace) != 0)
            return std::nullopt;
        // A damaged header can read as zero by zero: that is no size.
        if (width < 1 || height < 1)
            return std::nullopt;
        return std::pair<std::int64_t, std::int64_t>{width, height};
    }
    // The IHDR chunk always comes first: length, "IHDR", width, height.
    if (looksLikePNG(bytes) && bytes.size() >= 24 && std::memcmp(bytes.data() + 12, "IHDR", 4) == 0) {
        const std::int64_t width = bigEndian32(bytes.data() + 16), height = bigEndian32(bytes.data() + 20);
        if (width >= 1 && height >= 1)
            return std::pair<std::int64_t, std::int64_t>{width, height};
    }
    return std::nullopt;
}

bool isAcceptableImageSize(std::int64_t width, std::int64_t height, ImageSizeLimit limit)
{
    const std::int64_t maxSide = std::min(limit.maxSide, PixelBuffer::kMaxSide);
    const std::int64_t maxPixels = std::min(limit.maxPixels, PixelBuffer::kMaxPixels);
    return width >= 1 && height >= 1 && width <= maxSide && height <= maxSide && width * height <= maxPixels;
}

std::optional<DecodedImage> decodeImage(std::span<const std::uint8_t> bytes, ImageContext& context,
                                        ImageSizeLimit limit)
{
    if (looksLikeJPEG(bytes))
        return decodeJPEG(bytes, context, limit);
    if (looksLikePNG(bytes))
        return decodePNG(bytes, context, limit);
    return std::nullopt;
}

} // namespace quellon
