#include "playback/AliveMotion.h"

#include "playback/SplitMix64.h"
#include "playback/VectorKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>

namespace quellon {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

/// Scales every byte of a row by the factor in 16-bit lanes: h = ((i << 8) × multiplier) >> 16
/// is i × factor with 7 fraction bits, then rounded with `offset` and limited to 255. Close to the
/// table but not always equal; see BrightnessPlan.
QUELLON_KERNEL_BODY void scaleRow16Kernel(const std::uint8_t* __restrict in, std::uint8_t* __restrict out,
                                          std::size_t count, std::uint16_t multiplier, std::uint16_t offset)
{
    for (std::size_t i = 0; i < count; ++i) {
        const auto high = static_cast<std::uint16_t>(
            (static_cast<std::uint32_t>(static_cast<std::uint16_t>(in[i] << 8)) * multiplier) >> 16);
        const auto value = static_cast<std::uint16_t>(static_cast<std::uint16_t>(high + offset) >> 7);
        out[i] = static_cast<std::uint8_t>(value > 255 ? 255 : value);
    }
}
QUELLON_VECTOR_KERNEL(scaleRow16,
                      (const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t count,
                       std::uint16_t multiplier, std::uint16_t offset),
                      (in, out, count, multiplier, offset))

constexpr std::size_t kMaxCorrections = 8; // correctRow spells out this many

/// Replaces the output of every input byte equal to from[k] by to[k].
QUELLON_KERNEL_BODY void correctRowKernel(const std::uint8_t* __restrict in, std::uint8_t* __restrict out,
                                          std::size_t count, const std::uint8_t* __restrict from,
                                          const std::uint8_t* __restrict to)
{
    // Spelt out with the pairs in locals so the vectoriser sees straight-line selects.
    const std::uint8_t f0 = from[0], f1 = from[1], f2 = from[2], f3 = from[3];
    const std::uint8_t f4 = from[4], f5 = from[5], f6 = from[6], f7 = from[7];
    const std::uint8_t t0 = to[0], t1 = to[1], t2 = to[2], t3 = to[3];
    const std::uint8_t t4 = to[4], t5 = to[5], t6 = to[6], t7 = to[7];
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t x = in[i];
        std::uint8_t r = out[i];
        r = x == f0 ? t0 : r;
        r = x == f1 ? t1 : r;
        r = x == f2 ? t2 : r;
        r = x == f3 ? t3 : r;
        r = x == f4 ? t4 : r;
        r = x == f5 ? t5 : r;
        r = x == f6 ? t6 : r;
        r = x == f7 ? t7 : r;
        out[i] = r;
    }
}
QUELLON_VECTOR_KERNEL(correctRow,
                      (const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t count,
                       const std::uint8_t* __restrict from, const std::uint8_t* __restrict to),
                      (in, out, count, from, to))

/// Puts each pixel's alpha back from the input.
QUELLON_KERNEL_BODY void keepAlphaKernel(const std::uint8_t* __restrict in, std::uint8_t* __restrict out,
                                         std::size_t pixels)
{
    // Rows are 64-byte aligned; whole pixels as words let the loop run on full vectors.
    using Word = std::uint32_t __attribute__((may_alias));
    const Word* source = reinterpret_cast<const Word*>(in);
    Word* target = reinterpret_cast<Word*>(out);
    for (std::size_t p = 0; p < pixels; ++p)
        target[p] = (target[p] & 0x00FFFFFFu) | (source[p] & 0xFF000000u);
}
QUELLON_VECTOR_KERNEL(keepAlpha, (const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t pixels),
                      (in, out, pixels))

/// The fast way to apply one factor exactly as the table says. The 16-bit scaling misses the
/// table for a few input values whose product lies near a half; since the result depends on the
/// input byte alone, those values are found by trying all 256 and then patched. More than a
/// handful of misses, or a factor outside 0…2, falls back to the table itself.
struct BrightnessPlan {
    std::uint16_t multiplier = 0;
    std::uint16_t offset = 64;
    std::size_t corrections = 0;
    std::array<std::uint8_t, kMaxCorrections> from{};
    std::array<std::uint8_t, kMaxCorrections> to{};

    static std::optional<BrightnessPlan> make(double factor, const std::array<std::uint8_t, 256>& table)
    {
        if (!(factor > 0) || factor >= 2.0)
            return std::nullopt;
        BrightnessPlan best;
        best.corrections = kMaxCorrections + 1;
        const auto multiplier = static_cast<std::uint16_t>(std::min<long long>(std::llround(factor * 32768.0), 65535));
        // The truncating multiply biases the result down; nudging the rounding offset can leave
        // fewer values to patch.
        for (std::uint16_t offset : {64, 65, 66, 63, 67}) {
            BrightnessPlan plan;
            plan.multiplier = multiplier;
            plan.offset = offset;
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint8_t in = static_cast<std::uint8_t>(i), out = 0;
                scaleRow16(&in, &out, 1, multiplier, offset);
                if (out == table[i])
                    continue;
                if (plan.corrections == kMaxCorrections) {
                    plan.corrections = kMaxCorrections + 1;
                    break;
                }
                plan.from[plan.corrections] = in;
                plan.to[plan.corrections] = table[i];
                ++plan.corrections;
            }
            if (plan.corrections < best.corrections)
                best = plan;
            if (best.corrections == 0)
                break;
        }
        if (best.corrections > kMaxCorrections)
            return std::nullopt;
        // Unused slots repeat the first correction (or map a value to what it already gives).
        for (std::size_t k = best.corrections; k < kMaxCorrections; ++k) {
            best.from[k] = best.corrections ? best.from[0] : 0;
            best.to[k] = best.corrections ? best.to[0] : table[0];
        }
        return best;
    }

    void applyRow(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const
    {
        scaleRow16(in, out, pixels * 4, multiplier, offset);
        if (corrections)
            correctRow(in, out, pixels * 4, from.data(), to.data());
        keepAlpha(in, out, pixels);
    }
};

} // namespace

namespace {

// Per light component (gain, tilt across, tilt down): three sines with periods in irrational
// ratios to the base period and to each other, the slower ones weighing more.
constexpr std::array<double, 9> kPeriodRatios = {1.0,         0.6180339887, 0.3779644730,  // 1, 1/φ, 1/√7
                                                 0.8660254038, 0.5411961001, 0.3183098862,  // √3/2, …, 1/π
                                                 0.9390625058, 0.4472135955, 0.2718281828}; // …, 1/√5, e/10
constexpr std::array<double, 3> kWeights = {1.0, 0.6, 0.35};
constexpr double kWeightSum = 1.95;

double finiteOr(double value, double fallback)
{
    return std::isfinite(value) ? value : fallback;
}

} // namespace

AliveMotion::AliveMotion(double amplitude, double tilt, double periodFrames, std::uint64_t seed)
    : amplitude_(std::clamp(finiteOr(amplitude, 0), 0.0, maxAmplitude)),
      tilt_(std::clamp(finiteOr(tilt, 0), 0.0, maxTilt)),
      periodFrames_(std::max(finiteOr(periodFrames, 30), 30.0))
{
    SplitMix64 rng(seed);
    detune_ = 0.9 + 0.2 * rng.nextUnit();
    for (double& phase : phases_)
        phase = kTwoPi * rng.nextUnit();
}

AliveMotion AliveMotion::gentle(std::uint64_t seed)
{
    // The sway's own seed, so its path shares no phase with the light's.
    return AliveMotion(0.03, 0.08, 1200, seed).withSway(CameraSway::gentle(SplitMix64(seed ^ 0x5357415953574159ULL).next()));
}

AliveMotion AliveMotion::withSway(const CameraSway& sway) const
{
    AliveMotion motion = *this;
    motion.sway_ = sway;
    return motion;
}

AliveMotion AliveMotion::disabled()
{
    return AliveMotion(0, 0, 30, 0);
}

LightField AliveMotion::lightAt(std::int64_t tick) const
{
    if (amplitude_ <= 0 && tilt_ <= 0)
        return {};
    // From the tick itself rather than an accumulated phase: no wrap, no drift, no jump.
    const double t = static_cast<double>(tick) / (periodFrames_ * detune_);
    auto component = [&](std::size_t first) {
        double sum = 0;
        for (std::size_t k = 0; k < 3; ++k)
            sum += kWeights[k] * std::sin(kTwoPi * t / kPeriodRatios[first + k] + phases_[first + k]);
        return sum / kWeightSum;
    };
    return {1 + amplitude_ * component(0), tilt_ * component(3), tilt_ * component(6)};
}

LightField AliveMotion::nextLight()
{
    const LightField light = lightAt(tick_);
    if (isActive())
        ++tick_;
    return light;
}

std::array<std::uint8_t, 256> AliveMotion::brightnessLUT(double factor)
{
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        const double value = std::round(factor * i);
        // Written so that a factor that is not a number maps everything to 0.
        table[static_cast<std::size_t>(i)] = value >= 255 ? 255 : value > 0 ? static_cast<std::uint8_t>(value) : 0;
    }
    return table;
}

namespace {

// Luma through the table (its row padding copied), the chroma planes copied whole (padding too).
PixelBufferRef alivePlanarBrightness(const std::array<std::uint8_t, 256>& table, const PixelBufferRef& buffer)
{
    PixelBufferRef output = PixelBuffer::create(buffer->width(), buffer->height(), kPixelFormatJ420);
    if (!output || output->bytesPerRow() != buffer->bytesPerRow())
        return buffer;
    auto input = buffer->lockForReading();
    auto target = output->lockForWriting();
    if (!input.baseAddress() || !target.baseAddress())
        return buffer;
    const PixelBuffer::Plane luma = buffer->plane(0);
    for (int y = 0; y < luma.rows; ++y) {
        const std::uint8_t* in = input.row(y);
        std::uint8_t* out = target.row(y);
        for (std::size_t x = 0; x < luma.rowBytes; ++x)
            out[x] = table[in[x]];
        if (luma.bytesPerRow > luma.rowBytes)
            std::memcpy(out + luma.rowBytes, in + luma.rowBytes, luma.bytesPerRow - luma.rowBytes);
    }
    const std::size_t chroma = buffer->plane(1).offset;
    std::memcpy(target.baseAddress() + chroma, input.baseAddress() + chroma, buffer->byteCount() - chroma);
    return output;
}

} // namespace

PixelBufferRef AliveMotion::applyBrightness(double factor, const PixelBufferRef& buffer)
{
    if (!buffer || !std::isfinite(factor) || std::fabs(factor - 1) <= 0.0005)
        return buffer;
    if (buffer->isJ420())
        return alivePlanarBrightness(brightnessLUT(factor), buffer);
    if (!buffer->isBGRA())
        return buffer;
    PixelBufferRef output = PixelBuffer::create(buffer->width(), buffer->height(), kPixelFormatBGRA);
    if (!output)
        return buffer;
    auto input = buffer->lockForReading();
    auto target = output->lockForWriting();
    if (!input.baseAddress() || !target.baseAddress())
        return buffer;
    const auto table = brightnessLUT(factor);
    const auto plan = BrightnessPlan::make(factor, table);
    const std::size_t pixels = static_cast<std::size_t>(buffer->width());
    const std::size_t pixelBytes = pixels * 4;
    const std::size_t copyBytes = std::min(buffer->bytesPerRow(), output->bytesPerRow());
    for (int y = 0; y < buffer->height(); ++y) {
        const std::uint8_t* in = input.row(y);
        std::uint8_t* out = target.row(y);
        if (copyBytes > pixelBytes)
            std::memcpy(out + pixelBytes, in + pixelBytes, copyBytes - pixelBytes);
        if (plan) {
            plan->applyRow(in, out, pixels);
        } else {
            for (std::size_t p = 0; p < pixelBytes; p += 4) {
                out[p] = table[in[p]];
                out[p + 1] = table[in[p + 1]];
                out[p + 2] = table[in[p + 2]];
                out[p + 3] = in[p + 3];
            }
        }
    }
    return output;
}

} // namespace quellon
