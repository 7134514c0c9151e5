#include "playback/LightDrift.h"

#include "playback/AliveMotion.h"
#include "playback/VectorKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quellon::LightDrift {

namespace {

constexpr double kOne = 32768; // multipliers are factors in units of 2^-15

/// out = in × multiplier / 2^15 in 16-bit lanes, as AliveMotion's brightness kernel does:
/// h = ((i << 8) × m) >> 16 is i × factor with 7 fraction bits, rounded and limited to 255.
/// A byte's multiplier is its column's plus the row's offset where the mask is set (colour,
/// not alpha); the sums wrap in 16 bits and come out right because every factor lies in 0…2.
QUELLON_KERNEL_BODY void lightRowKernel(const std::uint8_t* __restrict in, std::uint8_t* __restrict out,
                                        const std::uint16_t* __restrict column, const std::uint16_t* __restrict colourMask,
                                        std::uint16_t rowOffset, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const auto multiplier = static_cast<std::uint16_t>(column[i] + (rowOffset & colourMask[i]));
        const auto high = static_cast<std::uint16_t>(
            (static_cast<std::uint32_t>(static_cast<std::uint16_t>(in[i] << 8)) * multiplier) >> 16);
        const auto value = static_cast<std::uint16_t>(static_cast<std::uint16_t>(high + 64) >> 7);
        out[i] = static_cast<std::uint8_t>(value > 255 ? 255 : value);
    }
}
QUELLON_VECTOR_KERNEL(lightRow,
                      (const std::uint8_t* __restrict in, std::uint8_t* __restrict out, const std::uint16_t* __restrict column,
                       const std::uint16_t* __restrict colourMask, std::uint16_t rowOffset, std::size_t count),
                      (in, out, column, colourMask, rowOffset, count))

// Luma scaled by the field, the chroma planes copied whole (padding too), so colours keep their
// hue and saturation as the light changes.
PixelBufferRef applyPlanar(const LightField& field, const PixelBufferRef& buffer)
{
    PixelBufferRef output = PixelBuffer::create(buffer->width(), buffer->height(), kPixelFormatJ420);
    if (!output || output->bytesPerRow() != buffer->bytesPerRow())
        return buffer;
    auto input = buffer->lockForReading();
    auto target = output->lockForWriting();
    if (!input.baseAddress() || !target.baseAddress())
        return buffer;
    const auto width = static_cast<std::size_t>(buffer->width());
    const auto height = buffer->height();
    std::vector<std::uint16_t> column(width), mask(width, 0xFFFF);
    for (std::size_t x = 0; x < width; ++x) {
        const double u = (static_cast<double>(x) + 0.5) / static_cast<double>(width) - 0.5;
        column[x] = static_cast<std::uint16_t>(std::lround((field.gain + field.tiltX * u) * kOne));
    }
    const std::size_t rowBytes = buffer->bytesPerRow();
    for (int y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height - 0.5;
        const auto rowOffset = static_cast<std::uint16_t>(static_cast<std::int32_t>(std::lround(field.tiltY * v * kOne)));
        const std::uint8_t* in = input.row(y);
        std::uint8_t* out = target.row(y);
        if (rowBytes > width)
            std::memcpy(out + width, in + width, rowBytes - width);
        lightRow(in, out, column.data(), mask.data(), rowOffset, width);
    }
    const std::size_t chroma = buffer->plane(1).offset;
    std::memcpy(target.baseAddress() + chroma, input.baseAddress() + chroma, buffer->byteCount() - chroma);
    return output;
}

} // namespace

PixelBufferRef apply(const LightField& field, const PixelBufferRef& buffer)
{
    if (!buffer || !(buffer->isBGRA() || buffer->isJ420()))
        return buffer;
    if (!std::isfinite(field.gain) || !std::isfinite(field.tiltX) || !std::isfinite(field.tiltY))
        return buffer;
    if (field.tiltX == 0 && field.tiltY == 0)
        return AliveMotion::applyBrightness(field.gain, buffer);
    // The corners hold the extreme factors; the margins keep every 16-bit sum from wrapping.
    const double corners[] = {field.factorAt(-0.5, -0.5), field.factorAt(0.5, -0.5), field.factorAt(-0.5, 0.5),
                              field.factorAt(0.5, 0.5)};
    if (std::any_of(std::begin(corners), std::end(corners), [](double f) { return !(f >= 0.01 && f <= 1.99); }))
        return buffer;
    if (buffer->isJ420())
        return applyPlanar(field, buffer);
    const auto width = static_cast<std::size_t>(buffer->width());
    const auto height = buffer->height();
    PixelBufferRef output = PixelBuffer::create(buffer->width(), height, kPixelFormatBGRA);
    if (!output || width == 0 || height <= 0)
        return buffer;
    auto input = buffer->lockForReading();
    auto target = output->lockForWriting();
    if (!input.baseAddress() || !target.baseAddress())
        return buffer;
    const std::size_t pixelBytes = width * 4;
    const std::size_t copyBytes = std::min(buffer->bytesPerRow(), output->bytesPerRow());
    // Gain and horizontal tilt per byte (alpha's multiplier is exactly one); each row adds its
    // share of the vertical tilt to the colour bytes.
    std::vector<std::uint16_t> column(pixelBytes), colourMask(pixelBytes, 0xFFFF);
    for (std::size_t x = 0; x < width; ++x) {
        const double u = (static_cast<double>(x) + 0.5) / static_cast<double>(width) - 0.5;
        const auto multiplier = static_cast<std::uint16_t>(std::lround((field.gain + field.tiltX * u) * kOne));
        column[4 * x] = column[4 * x + 1] = column[4 * x + 2] = multiplier;
        column[4 * x + 3] = static_cast<std::uint16_t>(kOne);
        colourMask[4 * x + 3] = 0;
    }
    for (int y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height - 0.5;
        const auto rowOffset = static_cast<std::uint16_t>(static_cast<std::int32_t>(std::lround(field.tiltY * v * kOne)));
        const std::uint8_t* in = input.row(y);
        std::uint8_t* out = target.row(y);
        if (copyBytes > pixelBytes)
            std::memcpy(out + pixelBytes, in + pixelBytes, copyBytes - pixelBytes);
        lightRow(in, out, column.data(), colourMask.data(), rowOffset, pixelBytes);
    }
    return output;
}

} // namespace quellon::LightDrift
