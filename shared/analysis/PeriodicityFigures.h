#pragma once

#include <cstdint>
#include <vector>

namespace quellon {

/// How plainly a stream of frames shows that it repeats, on thumbnails: 32 × 18 grey, area
/// filtered, each with its mean removed, so a brightness drift alone does not count. d(i, j) is
/// the RMS difference of two thumbnails and `step` the median of d(t, t + 1). Live footage
/// scores around 1, 0.4 and 2; a loop scores near 0 on the figure that gives it away.
namespace PeriodicityFigures {

inline constexpr int kWidth = 32;
inline constexpr int kHeight = 18;
/// Frames closer in time than this are never compared for a repeat.
inline constexpr std::int64_t kMinSeparation = 30;
/// The length of the windows compared with far windows played backwards.
inline constexpr std::int64_t kMirrorWindow = 11;

using Thumbnail = std::vector<float>;

/// The thumbnail of an 8-bit grey plane (a Y4M frame's luma): each cell the mean of the pixels
/// it covers, then the mean of all cells taken off. Empty for a plane smaller than 32 × 18.
Thumbnail thumbnail(const std::uint8_t* plane, int width, int height, std::int64_t stride);

struct Figures {
    /// Median over t of min d(t, t′) for |t − t′| > 30, over step: 0 when every frame comes back.
    double repeatRatio = 0;
    /// The smallest mean d(t, t + L) over lags L from 30 to N/2, over the median over L of that
    /// mean: near 0 when the stream has a period.
    double lagContrast = 0;
    /// The lag L where that smallest mean lies: the stream's period, when it has one.
    std::int64_t contrastLag = 0;
    /// As the repeat ratio, for 11-frame windows against far windows played backwards, the RMS
    /// over step·√11: near 0 when the stream plays back and forth.
    double mirroredRatio = 0;
    bool operator==(const Figures&) const = default;
};

/// The figures of a stream of thumbnails of one size; all 0 for fewer than 2·30 + 11 frames.
Figures measure(const std::vector<Thumbnail>& frames);

} // namespace PeriodicityFigures
} // namespace quellon
