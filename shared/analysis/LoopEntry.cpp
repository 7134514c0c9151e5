#include "analysis/LoopEntry.h"

#include "analysis/FaceDetector.h"
#include "playback/PixelBuffer.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace quellon::LoopEntry {

namespace {

constexpr double kRollWeight = 0.1;
constexpr double kAreaWeight = 0.5;

/// Index of the smallest finite score; a later index wins only when strictly smaller.
template <typename Score>
std::optional<std::int64_t> argmin(std::size_t count, Score&& score)
{
    std::optional<std::int64_t> best;
    double bestScore = std::numeric_limits<double>::max();
    for (std::size_t k = 0; k < count; ++k) {
        const std::optional<double> s = score(k);
        if (s && *s < bestScore) {
            bestScore = *s;
            best = static_cast<std::int64_t>(k);
        }
    }
    return best;
}

/// |a − b| folded into 0 … π, so that angles either side of ±π are close.
double rollDifference(double a, double b)
{
    double r = std::fmod(a - b, 2 * std::numbers::pi);
    if (r > std::numbers::pi)
        r -= 2 * std::numbers::pi;
    if (r < -std::numbers::pi)
        r += 2 * std::numbers::pi;
    return std::fabs(r);
}

} // namespace

std::optional<FrameSignature> signature(const PixelBuffer& frame, int grid)
{
    if (grid < 1 || !(frame.isBGRA() || frame.isJ420()))
        return std::nullopt;
    const std::int64_t w = frame.width();
    const std::int64_t h = frame.height();
    if (w < 1 || h < 1)
        return std::nullopt;
    const auto lock = frame.lockForReading();
    if (!lock.baseAddress())
        return std::nullopt;
    const std::int64_t hx = w / (2 * grid);
    const std::int64_t hy = h / (2 * grid);
    FrameSignature values;
    values.reserve(static_cast<std::size_t>(grid) * static_cast<std::size_t>(grid));
    for (std::int64_t r = 0; r < grid; ++r) {
        const std::int64_t y = std::min(r * h / grid + hy, h - 1);
        const std::uint8_t* row = lock.row(static_cast<int>(y));
        for (std::int64_t c = 0; c < grid; ++c) {
            const std::int64_t x = std::min(c * w / grid + hx, w - 1);
            // J420 luma is this weighting already, to within a level.
            if (frame.isJ420()) {
                values.push_back(row[x] / 255.0);
                continue;
            }
            const std::uint8_t* p = row + 4 * x;
            const double b = p[0] / 255.0, g = p[1] / 255.0, red = p[2] / 255.0;
            values.push_back(0.114 * b + (0.587 * g + 0.299 * red));
        }
    }
    return values;
}

std::optional<FaceGeometry> faceGeometry(const PixelBuffer& frame, FaceDetector& detector,
                                         const std::optional<NormalizedRect>& near)
{
    const auto faces = near ? detector.detectNear(frame, *near, FaceDetector::Detail::rectangles)
                            : detector.detect(frame, FaceDetector::Detail::rectangles);
    if (!faces)
        return std::nullopt;
    return largestFaceGeometry(*faces);
}

std::optional<FaceGeometry> faceGeometry(const PixelBuffer& frame)
{
    return faceGeometry(frame, threadFaceDetector());
}

std::optional<FaceGeometry> largestFaceGeometry(const std::vector<FaceObservation>& faces)
{
    if (faces.empty())
        return std::nullopt;
    const FaceObservation* largest = &faces.front();
    for (const FaceObservation& face : faces)
        if (face.boundingBox.area() > largest->boundingBox.area())
            largest = &face;
    return FaceGeometry{largest->boundingBox, largest->roll};
}

std::optional<std::int64_t> bestEntryIndex(const std::vector<FrameSignature>& signatures, const FrameSignature& target)
{
    if (signatures.empty() || target.empty())
        return std::nullopt;
    return argmin(signatures.size(), [&](std::size_t k) -> std::optional<double> {
        if (signatures[k].size() != target.size())
            return std::nullopt;
        return signatureDistance(signatures[k], target);
    });
}

std::optional<std::int64_t> bestEntryIndex(const std::vector<std::optional<FaceGeometry>>& faceGeometries,
                                           const std::optional<FaceGeometry>& targetGeometry,
                                           const std::vector<FrameSignature>& signatures,
                                           const FrameSignature& targetSignature)
{
    if (targetGeometry && !faceGeometries.empty()) {
        const FaceGeometry& t = *targetGeometry;
        const auto best = argmin(faceGeometries.size(), [&](std::size_t k) -> std::optional<double> {
            if (!faceGeometries[k])
                return std::nullopt;
            const FaceGeometry& g = *faceGeometries[k];
            const double centre = std::hypot(g.box.midX() - t.box.midX(), g.box.midY() - t.box.midY());
            const double area = kAreaWeight * std::fabs(g.box.area() - t.box.area());
            const double roll = g.roll && t.roll ? kRollWeight * rollDifference(*g.roll, *t.roll) : 0.0;
            return (centre + area) + roll;
        });
        if (best)
            return best;
    }
    return bestEntryIndex(signatures, targetSignature);
}

} // namespace quellon::LoopEntry
