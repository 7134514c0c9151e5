#include "playback/PNGWriter.h"

#include <spng.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace quellon {

namespace {

struct SpngEncoderFree {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

/// Straight (not premultiplied) RGBA rows, as PNG stores them.
std::vector<std::uint8_t> straightRGBA(const PixelBuffer& buffer)
{
    const int width = buffer.width();
    const int height = buffer.height();
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    auto lock = buffer.lockForReading();
    std::uint8_t* out = rgba.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = lock.row(y);
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            const unsigned alpha = in[3];
            if (alpha == 255) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            } else if (alpha == 0) {
                out[0] = out[1] = out[2] = 0;
            } else {
                auto unpremultiply = [alpha](unsigned c) {
                    const unsigned value = (c * 255 + alpha / 2) / alpha;
                    return static_cast<std::uint8_t>(value > 255 ? 255 : value);
                };
                out[0] = unpremultiply(in[2]);
                out[1] = unpremultiply(in[1]);
                out[2] = unpremultiply(in[0]);
            }
            out[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return rgba;
}

/// The whole PNG file in memory, or nothing.
std::vector<std::uint8_t> encode(const PixelBuffer& buffer)
{
    std::vector<std::uint8_t> rgba = straightRGBA(buffer);
    std::unique_ptr<spng_ctx, SpngEncoderFree> png(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!png)
        return {};
    spng_set_option(png.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(buffer.width());
    header.height = static_cast<std::uint32_t>(buffer.height());
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_ihdr(png.get(), &header) != 0)
        return {};
    if (spng_encode_image(png.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0)
        return {};
    std::size_t size = 0;
    int error = 0;
    void* bytes = spng_get_png_buffer(png.get(), &size, &error);
    if (!bytes || error != 0)
        return {};
    std::vector<std::uint8_t> file(static_cast<std::uint8_t*>(bytes), static_cast<std::uint8_t*>(bytes) + size);
    std::free(bytes);
    return file;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

namespace PNGWriter {

std::error_code tryWritePNG(const PixelBuffer& buffer, const std::filesystem::path& url)
{
    if (!buffer.isBGRA())
        return std::make_error_code(std::errc::invalid_argument);
    std::vector<std::uint8_t> file;
    try {
        file = encode(buffer);
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
    if (file.empty())
        return std::make_error_code(std::errc::io_error);
    const int fd = ::open(url.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::error_code(errno, std::generic_category());
    std::error_code result;
    if (!writeAll(fd, file))
        result = std::error_code(errno, std::generic_category());
    if (::close(fd) != 0 && !result)
        result = std::error_code(errno, std::generic_category());
    // A partial PNG would be shown as a broken standby picture; better none at all.
    if (result)
        ::unlink(url.c_str());
    return result;
}

std::vector<std::uint8_t> encodedPNG(const PixelBuffer& buffer)
{
    if (!buffer.isBGRA())
        return {};
    try {
        return encode(buffer);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void writePNG(const PixelBuffer& buffer, const std::filesystem::path& url)
{
    (void)tryWritePNG(buffer, url);
}

void writePNG(const PixelBufferRef& buffer, const std::filesystem::path& url)
{
    if (buffer)
        writePNG(*buffer, url);
}

} // namespace PNGWriter

} // namespace quellon
