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

/// The offset from the smaller byte to the result, for e = |b − a|, in 16-bit fixed point:
/// (((e × 256 + fraction) × factor) >> 16 + bias) >> 8. A factor and bias for b ≥ a (rising),
/// another pair for a > b (falling), and one `fraction` for both: a low byte below e that nudges
/// the product before its rounding down, which some weights need to be reproduced exactly.
struct LinearOffset {
    std::uint16_t factor = 0;
    std::uint16_t bias = 0;
};

struct LinearFit {
    LinearOffset rising;
    LinearOffset falling;
    std::uint8_t fraction = 0;
};

inline std::uint32_t scaledDifference(std::uint32_t e, std::uint8_t fraction, std::uint16_t factor)
{
    return (((e << 8) | fraction) * factor) >> 16;
}

inline std::uint8_t linearByte(std::uint8_t a, std::uint8_t b, const LinearFit& fit)
{
    const bool rises = b >= a;
    const std::uint8_t low = rises ? a : b;
    const auto e = static_cast<std::uint32_t>((rises ? b : a) - low);
    const LinearOffset& offset = rises ? fit.rising : fit.falling;
    return static_cast<std::uint8_t>(low + ((scaledDifference(e, fit.fraction, offset.factor) + offset.bias) >> 8));
}

void blendRowLinearScalar(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count,
                          const LinearFit& fit)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = linearByte(a[i], b[i], fit);
}

#if QUELLON_HAS_AVX2_KERNELS
/// The same 32 bytes at a time: the byte minimum, the difference and its direction stay in
/// bytes, and only the product needs 16-bit lanes.
__attribute__((target("avx2"))) void blendRowLinearAVX2(const std::uint8_t* a, const std::uint8_t* b,
                                                        std::uint8_t* out, std::size_t count, const LinearFit& fit)
{
    const __m256i riseFactor = _mm256_set1_epi16(static_cast<short>(fit.rising.factor));
    const __m256i fallFactor = _mm256_set1_epi16(static_cast<short>(fit.falling.factor));
    const __m256i riseBias = _mm256_set1_epi16(static_cast<short>(fit.rising.bias));
    const __m256i fallBias = _mm256_set1_epi16(static_cast<short>(fit.falling.bias));
    const __m256i fraction = _mm256_set1_epi8(static_cast<char>(fit.fraction));
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i low = _mm256_min_epu8(va, vb);
        const __m256i high = _mm256_max_epu8(va, vb);
        const __m256i rises = _mm256_cmpeq_epi8(high, vb);
        const __m256i e = _mm256_sub_epi8(high, low);
        // Unpacking e above the fraction byte gives e × 256 + fraction in 16-bit lanes.
        const __m256i eLow = _mm256_unpacklo_epi8(fraction, e);
        const __m256i eHigh = _mm256_unpackhi_epi8(fraction, e);
        const __m256i risesLow = _mm256_unpacklo_epi8(rises, rises);
        const __m256i risesHigh = _mm256_unpackhi_epi8(rises, rises);
        __m256i offsetLow = _mm256_mulhi_epu16(eLow, _mm256_blendv_epi8(fallFactor, riseFactor, risesLow));
        __m256i offsetHigh = _mm256_mulhi_epu16(eHigh, _mm256_blendv_epi8(fallFactor, riseFactor, risesHigh));
        offsetLow = _mm256_srli_epi16(_mm256_add_epi16(offsetLow, _mm256_blendv_epi8(fallBias, riseBias, risesLow)), 8);
        offsetHigh = _mm256_srli_epi16(_mm256_add_epi16(offsetHigh, _mm256_blendv_epi8(fallBias, riseBias, risesHigh)), 8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi8(low, _mm256_packus_epi16(offsetLow, offsetHigh)));
    }
    blendRowLinearScalar(a + i, b + i, out + i, count - i, fit);
}
#endif

void blendRowLinear(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count,
                    const LinearFit& fit)
{
#if QUELLON_HAS_AVX2_KERNELS
    if (vector_kernels::hasAVX2())
        return blendRowLinearAVX2(a, b, out, count, fit);
#endif
    blendRowLinearScalar(a, b, out, count, fit);
}

/// The definition itself, byte by byte: for a weight no fit reproduces.
void blendRowByDefinition(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t count, double t)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>(a[i] + roundedOffset(t, b[i] - a[i]));
}

/// How one weight is blended fast yet exactly. 0, 1 and 1/2 have loops of their own. Otherwise,
/// since the definition depends only on the difference, two tables of 256 offsets from the
/// smaller byte hold every result, and a linear fit in 16-bit fixed point reproduces both: with
/// a fraction of 0 for all but about 3 in 10^5 weights, and of 1 for the rest (4 million
/// weights tried: random ones, k / n up to n = 2000, and weights within 10^-3 of 0 and 1). Every
/// fit is checked here against all 256 entries of its table; a weight that none reproduced would
/// be blended by the definition itself.
class BlendPlan {
public:
    explicit BlendPlan(double t) : t_(clampedWeight(t))
    {
        if (t_ == 0 || t_ == 1 || t_ == 0.5)
            return;
        // The offsets from the smaller byte, by |b − a|: when b ≥ a (rising), and when a > b.
        std::array<std::uint8_t, 256> rising{};
        std::array<std::uint8_t, 256> falling{};
        for (int e = 0; e < 256; ++e) {
            rising[static_cast<std::size_t>(e)] = static_cast<std::uint8_t>(roundedOffset(t_, e));
            falling[static_cast<std::size_t>(e)] = static_cast<std::uint8_t>(e + roundedOffset(t_, -e));
        }
        for (int fraction = 0; fraction < kFractions && !fit_; ++fraction) {
            const auto risingFit = fit(rising.data(), t_, static_cast<std::uint8_t>(fraction));
            const auto fallingFit =
                risingFit ? fit(falling.data(), 1 - t_, static_cast<std::uint8_t>(fraction)) : std::nullopt;
            if (risingFit && fallingFit)
                fit_ = LinearFit{*risingFit, *fallingFit, static_cast<std::uint8_t>(fraction)};
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
        else if (fit_)
            blendRowLinear(a, b, out, count, *fit_);
        else
            blendRowByDefinition(a, b, out, count, t_);
    }

private:
    /// Fractions tried, from 0 up; every weight tried so far needs 0 or 1.
    static constexpr int kFractions = 16;

    /// A factor near weight × 2^16 and the smallest bias that give every entry of the table.
    static std::optional<LinearOffset> fit(const std::uint8_t* table, double weight, std::uint8_t fraction)
    {
        const long nearest = std::lround(weight * 65536);
        for (long step = 0; step <= 8; ++step)
            for (long factor : {nearest + step, nearest - step}) {
                if (factor < 0 || factor > 65535)
                    continue;
                // Each entry bounds the bias from both sides.
                long lowest = 0;
                long highest = 65535;
                for (long e = 0; e < 256 && lowest <= highest; ++e) {
                    const long scaled = scaledDifference(static_cast<std::uint32_t>(e), fraction,
                                                         static_cast<std::uint16_t>(factor));
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
    std::optional<LinearFit> fit_;
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
    if (!a || !b || a->width() != b->width() || a->height() != b->height() || a->pixelFormat() != b->pixelFormat()
        || !(a->isBGRA() || a->isJ420()))
        return a;
    PixelBufferRef output = PixelBuffer::create(a->width(), a->height(), a->pixelFormat());
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
    // Same format and size: the planes match in rows and pixel bytes, only the strides may differ.
    for (int index = 0; index < a->planeCount(); ++index) {
        const PixelBuffer::Plane planeA = a->plane(index), planeB = b->plane(index), planeOut = output->plane(index);
        const std::size_t copyBytes = std::min(planeOut.bytesPerRow, planeA.bytesPerRow);
        for (int y = 0; y < planeA.rows; ++y) {
            const std::uint8_t* rowA = lockA.baseAddress() + planeA.offset + static_cast<std::size_t>(y) * planeA.bytesPerRow;
            const std::uint8_t* rowB = readB.baseAddress() + planeB.offset + static_cast<std::size_t>(y) * planeB.bytesPerRow;
            std::uint8_t* out = lockOut.baseAddress() + planeOut.offset + static_cast<std::size_t>(y) * planeOut.bytesPerRow;
            if (copyBytes > planeA.rowBytes)
                std::memcpy(out + planeA.rowBytes, rowA + planeA.rowBytes, copyBytes - planeA.rowBytes);
            plan.blendRow(rowA, rowB, out, planeA.rowBytes);
        }
    }
    return output;
}

std::vector<std::uint8_t> blendBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, double t)
{
    if (a.size() != b.size())
        return {a.begin(), a.end()};
    t = clampedWeight(t);
    std::vector<std::uint8_t> out(a.size());
    blendRowByDefinition(a.data(), b.data(), out.data(), a.size(), t);
    return out;
}

} // namespace FrameBlender

} // namespace quellon
