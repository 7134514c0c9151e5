#include "playback/LightDrift.h"

#include "playback/AliveMotion.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quellon::LightDrift {

namespace {

constexpr int kFractionBits = 15;
constexpr std::uint32_t kOne = 1u << kFractionBits;

/// out = in × multiplier / 2^15, rounded and limited to 255; the multipliers run per byte, so
/// alpha's is exactly one.
void scaleRowByMultipliers(const std::uint8_t* __restrict in, std::uint8_t* __restrict out,
                           const std::uint32_t* __restrict multipliers, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t value = (in[i] * multipliers[i] + kOne / 2) >> kFractionBits;
        out[i] = static_cast<std::uint8_t>(value > 255 ? 255 : value);
    }
}

} // namespace

PixelBufferRef apply(const LightField& field, const PixelBufferRef& buffer)
{
    if (!buffer || !buffer->isBGRA())
        return buffer;
    if (!std::isfinite(field.gain) || !std::isfinite(field.tiltX) || !std::isfinite(field.tiltY))
        return buffer;
    if (field.tiltX == 0 && field.tiltY == 0)
        return AliveMotion::applyBrightness(field.gain, buffer);
    // The corners hold the extreme factors.
    const double corners[] = {field.factorAt(-0.5, -0.5), field.factorAt(0.5, -0.5), field.factorAt(-0.5, 0.5),
                              field.factorAt(0.5, 0.5)};
    if (std::any_of(std::begin(corners), std::end(corners), [](double f) { return !(f >= 0 && f <= 2); }))
        return buffer;
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
    // The horizontal part of the factor per column, in units of 2^-15; each row adds its own.
    std::vector<std::int32_t> columnPart(width);
    for (std::size_t x = 0; x < width; ++x)
        columnPart[x] = static_cast<std::int32_t>(
            std::lround(field.tiltX * ((static_cast<double>(x) + 0.5) / static_cast<double>(width) - 0.5) * kOne));
    std::vector<std::uint32_t> multipliers(pixelBytes);
    for (int y = 0; y < height; ++y) {
        const auto rowPart = static_cast<std::int32_t>(std::lround((field.gain + field.tiltY * ((y + 0.5) / height - 0.5)) * kOne));
        for (std::size_t x = 0; x < width; ++x) {
            const auto multiplier = static_cast<std::uint32_t>(std::clamp<std::int32_t>(rowPart + columnPart[x], 0, static_cast<std::int32_t>(2 * kOne)));
            multipliers[4 * x] = multipliers[4 * x + 1] = multipliers[4 * x + 2] = multiplier;
            multipliers[4 * x + 3] = kOne;
        }
        const std::uint8_t* in = input.row(y);
        std::uint8_t* out = target.row(y);
        if (copyBytes > pixelBytes)
            std::memcpy(out + pixelBytes, in + pixelBytes, copyBytes - pixelBytes);
        scaleRowByMultipliers(in, out, multipliers.data(), pixelBytes);
    }
    return output;
}

} // namespace quellon::LightDrift
