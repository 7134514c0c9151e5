#include "playback/FrameBlender.h"

#include "playback/VectorKernels.h"

#if QUELLON_HAS_AVX2_KERNELS
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace quellon {

namespace {

/// t × d rounded to nearest, halves up, counting values within 1e-9 below a half as the half:
/// the definition every faster path below must reproduce exactly. It depends on d = b − a alone.
inline int roundedOffset(double t, int d)
{
    return static_cast<int>(std::floor(t * d + (0.5 + 1e-9)));
}

/// The weight clamped to 0…1, not a number counting as 0.
inline double clampedWeight(double t)
{
    return t >= 0 ? std::min(t, 1.0) : 0;
}

/// t = 0.5 exactly: (a + b) / 2 with halves rounded up is the byte average.
QUELLON_KERNEL_BODY void blendRowHalfKernel(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b,
                                            std::uint8_t* __restrict out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>((a[i] + b[i] + 1) >> 1);
}
QUELLON_VECTOR_KERNEL(blendRowHalf,
                      (const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, std::uint8_t* __restrict out,
                       std::size_t count),
                      (a, b, out, count))

/// t × 256 a whole number k: (a × (256 − k) + b × k + 128) >> 8 is the definition exactly, and
/// the plainest loop of all (16-bit lanes, no direction to tell apart).
QUELLON_KERNEL_BODY void blendRowEighthsKernel(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b,
                                               std::uint8_t* __restrict out, std::size_t count, std::uint16_t weightA,
                                               std::uint16_t weightB)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(a[i] * weightA + b[i] * weightB + 128) >> 8);
}
QUELLON_VECTOR_KERNEL(blendRowEighths,
                      (const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, std::uint8_t* __restrict out,
                       std::size_t count, std::uint16_t weightA, std::uint16_t weightB),
                      (a, b, out, count, weightA, weightB))

/// The offset from the smaller byte lo to the result, for e = |b − a|, in 16-bit fixed point:
/// ((e × 256 × factor) >> 16 + bias) >> 8. One pair for b ≥ a (rising), one for a > b (falling).
struct LinearOffset {
    std::uint16_t factor = 0;
    std::uint16_t bias = 0;
};

inline std::uint8_t linearByte(std::uint8_t a, std::uint8_t b, LinearOffset rising, LinearOffset falling)
{
    const bool rises = b >= a;
    const std::uint8_t low = rises ? a : b;
    const auto e = static_cast<std::uint32_t>((rises ? b : a) - low);
    const LinearOffset& offset = rises ? rising : falling;
    const std::uint32_t scaled = ((e << 8) * offset.factor) >> 16;
    return static_cast<std::uint8_t>(low + ((scaled + offset.bias) >> 8));
}

void blendRowLinearScalar(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count,
                          LinearOffset rising, LinearOffset falling)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = linearByte(a[i], b[i], rising, falling);
}

#if QUELLON_HAS_AVX2_KERNELS
/// The same 32 bytes at a time: the byte minimum, the difference and its direction stay in
/// bytes, and only the product needs 16-bit lanes.
__attribute__((target("avx2"))) void blendRowLinearAVX2(const std::uint8_t* a, const std::uint8_t* b,
                                                        std::uint8_t* out, std::size_t count, LinearOffset rising,
                                                        LinearOffset falling)
{
    const __m256i riseFactor = _mm256_set1_epi16(static_cast<short>(rising.factor));
    const __m256i fallFactor = _mm256_set1_epi16(static_cast<short>(falling.factor));
    const __m256i riseBias = _mm256_set1_epi16(static_cast<short>(rising.bias));
    const __m256i fallBias = _mm256_set1_epi16(static_cast<short>(falling.bias));
    const __m256i zero = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i low = _mm256_min_epu8(va, vb);
        const __m256i high = _mm256_max_epu8(va, vb);
        const __m256i rises = _mm256_cmpeq_epi8(high, vb);
        const __m256i e = _mm256_sub_epi8(high, low);
        // Unpacking e above zero gives e × 256 in 16-bit lanes.
        const __m256i eLow = _mm256_unpacklo_epi8(zero, e);
        const __m256i eHigh = _mm256_unpackhi_epi8(zero, e);
        const __m256i risesLow = _mm256_unpacklo_epi8(rises, rises);
        const __m256i risesHigh = _mm256_unpackhi_epi8(rises, rises);
        __m256i offsetLow = _mm256_mulhi_epu16(eLow, _mm256_blendv_epi8(fallFactor, riseFactor, risesLow));
        __m256i offsetHigh = _mm256_mulhi_epu16(eHigh, _mm256_blendv_epi8(fallFactor, riseFactor, risesHigh));
        offsetLow = _mm256_srli_epi16(_mm256_add_epi16(offsetLow, _mm256_blendv_epi8(fallBias, riseBias, risesLow)), 8);
        offsetHigh = _mm256_srli_epi16(_mm256_add_epi16(offsetHigh, _mm256_blendv_epi8(fallBias, riseBias, risesHigh)), 8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi8(low, _mm256_packus_epi16(offsetLow, offsetHigh)));
    }
    blendRowLinearScalar(a + i, b + i, out + i, count - i, rising, falling);
}
#endif

void blendRowLinear(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count,
                    LinearOffset rising, LinearOffset falling)
{
#if QUELLON_HAS_AVX2_KERNELS
    if (vector_kernels::hasAVX2())
        return blendRowLinearAVX2(a, b, out, count, rising, falling);
#endif
    blendRowLinearScalar(a, b, out, count, rising, falling);
}

/// How one weight is blended fast yet exactly. 0, 1, 1/2 and multiples of 1/256 have loops of
/// their own. Otherwise, since the definition depends only on the difference, two tables of 256
/// offsets from the smaller byte hold every result. Nearly every
/// weight (every k / n up to n = 257, all but a few in 10^5 of random ones) has a 16-bit
/// fixed-point factor and bias that reproduce both tables, found and checked here for all 256
/// entries; the rare rest looks the tables up byte by byte.
class BlendPlan {
public:
    explicit BlendPlan(double t) : t_(clampedWeight(t))
    {
        if (t_ == 0 || t_ == 1 || t_ == 0.5)
            return;
        const double scaled = t_ * 256;
        if (scaled == std::floor(scaled)) {
            eighths_ = static_cast<std::uint16_t>(scaled);
            return;
        }
        for (int e = 0; e < 256; ++e) {
            offsets_[static_cast<std::size_t>(e)] = static_cast<std::uint8_t>(roundedOffset(t_, e));
            offsets_[static_cast<std::size_t>(256 + e)] = static_cast<std::uint8_t>(e + roundedOffset(t_, -e));
        }
        const auto rising = fit(offsets_.data(), t_);
        const auto falling = fit(offsets_.data() + 256, 1 - t_);
        if (rising && falling) {
            linear_ = true;
            risingOffset_ = *rising;
            fallingOffset_ = *falling;
        }
    }

    void blendRow(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count) const
    {
        if (t_ == 0)
            std::memcpy(out, a, count);
        else if (t_ == 1)
            std::memcpy(out, b, count);
        else if (t_ == 0.5)
            blendRowHalf(a, b, out, count);
        else if (eighths_)
            blendRowEighths(a, b, out, count, static_cast<std::uint16_t>(256 - eighths_), eighths_);
        else if (linear_)
            blendRowLinear(a, b, out, count, risingOffset_, fallingOffset_);
        else
            for (std::size_t i = 0; i < count; ++i) {
                // Without branches: the direction of a pair is as random as the picture.
                const std::uint8_t low = std::min(a[i], b[i]);
                const std::size_t e = static_cast<std::size_t>(std::max(a[i], b[i]) - low);
                out[i] = static_cast<std::uint8_t>(low + offsets_[(a[i] > b[i] ? 256 : 0) + e]);
            }
    }

private:
    /// A factor near weight × 2^16 and the smallest bias that give every entry of the table.
    static std::optional<LinearOffset> fit(const std::uint8_t* table, double weight)
    {
        const long nearest = std::lround(weight * 65536);
        for (long step = 0; step <= 8; ++step)
            for (long factor : {nearest + step, nearest - step}) {
                if (factor < 0 || factor > 65535)
                    continue;
                // Each entry bounds the bias from both sides.
                long lowest = 0;
                long highest = 65535;
                for (long e = 0; e < 256; ++e) {
                    const long scaled = ((e << 8) * factor) >> 16;
                    lowest = std::max(lowest, 256 * table[e] - scaled);
                    highest = std::min(highest, 256 * table[e] + 255 - scaled);
                    highest = std::min(highest, 65535 - scaled); // the sum stays in 16 bits
                }
                if (lowest <= highest)
                    return LinearOffset{static_cast<std::uint16_t>(factor), static_cast<std::uint16_t>(lowest)};
            }
        return std::nullopt;
    }

    double t_;
    std::uint16_t eighths_ = 0; // t × 256 when that is a whole number
    bool linear_ = false;
    LinearOffset risingOffset_;
    LinearOffset fallingOffset_;
    /// The offsets from the smaller byte: 256 for b ≥ a, then 256 for a > b, by |b − a|.
    std::array<std::uint8_t, 512> offsets_{};
};

} // namespace

namespace FrameBlender {

std::vector<double> crossfadeWeights(std::int64_t steps)
{
    std::vector<double> weights;
    if (steps < 1)
        return weights;
    weights.reserve(static_cast<std::size_t>(steps));
    for (std::int64_t k = 1; k <= steps; ++k)
        weights.push_back(static_cast<double>(k) / static_cast<double>(steps + 1));
    return weights;
}

PixelBufferRef blend(const PixelBufferRef& a, const PixelBufferRef& b, double t)
{
    if (!a || !b || a->width() != b->width() || a->height() != b->height() || !a->isBGRA() || !b->isBGRA())
        return a;
    PixelBufferRef output = PixelBuffer::create(a->width(), a->height(), kPixelFormatBGRA);
    if (!output)
        return a;
    const BlendPlan plan(t);
    auto lockA = a->lockForReading();
    // A frame blended with itself is read under one lock: taking a shared lock twice on one
    // thread can deadlock behind a waiting writer.
    std::optional<PixelBuffer::ReadLock> lockB;
    if (b != a)
        lockB.emplace(b->lockForReading());
    const PixelBuffer::ReadLock& readB = lockB ? *lockB : lockA;
    auto lockOut = output->lockForWriting();
    if (!lockA.baseAddress() || !readB.baseAddress() || !lockOut.baseAddress())
        return a;
    const std::size_t pixelBytes = static_cast<std::size_t>(a->width()) * 4;
    const std::size_t copyBytes = std::min(output->bytesPerRow(), a->bytesPerRow());
    for (int y = 0; y < a->height(); ++y) {
        std::uint8_t* out = lockOut.row(y);
        if (copyBytes > pixelBytes)
            std::memcpy(out + pixelBytes, lockA.row(y) + pixelBytes, copyBytes - pixelBytes);
        plan.blendRow(lockA.row(y), readB.row(y), out, pixelBytes);
    }
    return output;
}

std::vector<std::uint8_t> blendBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, double t)
{
    if (a.size() != b.size())
        return {a.begin(), a.end()};
    t = clampedWeight(t);
    std::vector<std::uint8_t> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        out[i] = static_cast<std::uint8_t>(a[i] + roundedOffset(t, b[i] - a[i]));
    return out;
}

} // namespace FrameBlender

} // namespace quellon
