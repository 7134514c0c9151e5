#include "analysis/LoopStabilizer.h"

#include "playback/ParallelFor.h"
#include "playback/PlaneResampling.h"
#include "playback/VectorKernels.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace quellon::LoopStabilizer {

namespace {

/// Peak height of the phase correlation (1 for identical pictures, near 0 for unrelated ones)
/// below which the measured shift is not trusted. Frames of one scene moved by a few pixels
/// score above 0.9 even with the picture partly changed; a frame of noise or of another scene
/// scores below 0.01.
constexpr double kMinimumResponse = 0.05;

/// Grey copies whose standard deviation is below this (on a 0–255 scale) carry no structure
/// to register: a flat frame would otherwise "match" at any shift.
constexpr double kMinimumContrast = 1.0;

/// Registration looks at grey copies. The still part of the scene is searched for the best
/// whole-pixel match on an eighth-size copy, then on a quarter-size one; gradient steps on the
/// half-size copy refine that to well under a quarter of a full-size pixel.
constexpr int kCoarseDivisor = 4;
constexpr int kFineDivisor = 2;
/// Smallest quarter-size copy worth registering.
constexpr int kMinimumSide = 16;
/// How far the search looks, as a fraction of the width: beyond the largest shift a clip is
/// corrected by, so a shift just over it is measured (and then refused) rather than mistaken.
constexpr double kSearchFraction = 0.04;
/// The still part must cover at least this share of the frame to be measured on its own;
/// otherwise the ring along the top and the sides is used.
constexpr double kMinimumStillShare = 0.1;

/// A match whose difference over the still part is below this share of that part's variance
/// is one scene moved: the whole-picture check by phase correlation, which costs more than the
/// rest of a measurement, is then not needed.
constexpr double kWellMatched = 0.25;

bool registrable(const PixelBuffer& frame)
{
    return frame.isBGRA() || frame.isJ420();
}

// Sums over float rows, eight lanes at a time: the measurement's hot loops. Plain loops would
// stay scalar, as float sums may not be reordered without leave.
using Floats = float __attribute__((vector_size(32)));
constexpr std::size_t kLanes = sizeof(Floats) / sizeof(float);

/// *sum = Σ weight·(a − b)² over count floats.
QUELLON_KERNEL_BODY void weightedSquaredDifferenceKernel(const float* __restrict a, const float* __restrict b,
                                                         const float* __restrict weight, std::size_t count,
                                                         float* __restrict sum)
{
    Floats total = {};
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Floats x, y, w;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        std::memcpy(&w, weight + i, sizeof w);
        const Floats d = x - y;
        total += w * d * d;
    }
    float result = 0;
    for (std::size_t k = 0; k < kLanes; ++k)
        result += total[k];
    for (; i < count; ++i)
        result += weight[i] * (a[i] - b[i]) * (a[i] - b[i]);
    *sum = result;
}
QUELLON_VECTOR_KERNEL(weightedSquaredDifference,
                      (const float* __restrict a, const float* __restrict b, const float* __restrict weight,
                       std::size_t count, float* __restrict sum),
                      (a, b, weight, count, sum))

/// One row of the refinement's sums: two source rows (count + 1 floats each) resampled
/// bilinearly at the weights (ax, ay), less the reference; sums[0] and sums[1] get the error
/// projected on the masked gradients, sums[2] its square under the mask.
QUELLON_KERNEL_BODY void residualRowKernel(const float* __restrict upper, const float* __restrict lower, float ax, float ay,
                                           const float* __restrict reference, const float* __restrict gx,
                                           const float* __restrict gy, const float* __restrict mask, std::size_t count,
                                           float* __restrict sums)
{
    const float bx = 1 - ax, by = 1 - ay;
    Floats sx = {}, sy = {}, ss = {};
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Floats u0, u1, l0, l1, r, g, h, m;
        std::memcpy(&u0, upper + i, sizeof u0);
        std::memcpy(&u1, upper + i + 1, sizeof u1);
        std::memcpy(&l0, lower + i, sizeof l0);
        std::memcpy(&l1, lower + i + 1, sizeof l1);
        std::memcpy(&r, reference + i, sizeof r);
        std::memcpy(&g, gx + i, sizeof g);
        std::memcpy(&h, gy + i, sizeof h);
        std::memcpy(&m, mask + i, sizeof m);
        const Floats error = by * (bx * u0 + ax * u1) + ay * (bx * l0 + ax * l1) - r;
        sx += g * error;
        sy += h * error;
        ss += m * error * error;
    }
    float x = 0, y = 0, s = 0;
    for (std::size_t k = 0; k < kLanes; ++k) {
        x += sx[k];
        y += sy[k];
        s += ss[k];
    }
    for (; i < count; ++i) {
        const float error = by * (bx * upper[i] + ax * upper[i + 1]) + ay * (bx * lower[i] + ax * lower[i + 1]) - reference[i];
        x += gx[i] * error;
        y += gy[i] * error;
        s += mask[i] * error * error;
    }
    sums[0] = x;
    sums[1] = y;
    sums[2] = s;
}
QUELLON_VECTOR_KERNEL(residualRow,
                      (const float* __restrict upper, const float* __restrict lower, float ax, float ay,
                       const float* __restrict reference, const float* __restrict gx, const float* __restrict gy,
                       const float* __restrict mask, std::size_t count, float* __restrict sums),
                      (upper, lower, ax, ay, reference, gx, gy, mask, count, sums))

/// The pictures one measurement works in. A worker keeps one from frame to frame: fresh ones
/// for every frame cost more in page faults than the arithmetic done in them.
struct Scratch {
    cv::Mat grey, fine, coarse, small, blurred;
    cv::Mat correlated; // the coarse copy phase correlation windows in place
    cv::Mat padded;     // a source window with its edges repeated, where it leaves the frame
};

/// Scratch handed between the workers of one stabilisation, so each reuses what it made.
class ScratchShelf {
public:
    std::unique_ptr<Scratch> take()
    {
        std::lock_guard lock(mutex_);
        if (kept_.empty())
            return std::make_unique<Scratch>();
        std::unique_ptr<Scratch> scratch = std::move(kept_.back());
        kept_.pop_back();
        return scratch;
    }

    void put(std::unique_ptr<Scratch> scratch)
    {
        std::lock_guard lock(mutex_);
        kept_.push_back(std::move(scratch));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Scratch>> kept_;
};

/// A grey float copy of a BGRA or J420 frame at the given size, into `result` (`grey` holds the
/// 8-bit step). J420's luma plane is the grey picture already (the same weights as the BGRA
/// conversion, to within a level).
void greyCopy(const PixelBuffer& frame, cv::Size size, cv::Mat& grey, cv::Mat& result)
{
    {
        const auto lock = frame.lockForReading();
        auto* pixels = const_cast<std::uint8_t*>(lock.baseAddress());
        if (frame.isJ420()) {
            const cv::Mat luma(frame.height(), frame.width(), CV_8UC1, pixels + frame.plane(0).offset, frame.plane(0).bytesPerRow);
            cv::resize(luma, grey, size, 0, 0, cv::INTER_AREA);
        } else {
            const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, pixels, frame.bytesPerRow());
            cv::Mat full;
            cv::cvtColor(bgra, full, cv::COLOR_BGRA2GRAY);
            cv::resize(full, grey, size, 0, 0, cv::INTER_AREA);
        }
    }
    grey.convertTo(result, CV_32F);
}

bool hasStructure(const cv::Mat& grey)
{
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    return deviation[0] >= kMinimumContrast;
}

/// 1 where the scene is taken to hold still, 0 elsewhere, at the given size. A person sits
/// centred, head in the upper half, shoulders reaching the bottom edge and often most of its
/// width: without their face, only a band along the top and the upper parts of the sides are
/// trusted; with it, everything outside the person.
cv::Mat stillMask(cv::Size size, const std::optional<NormalizedRect>& face)
{
    const double w = size.width, h = size.height;
    const auto area = [&](double left, double top, double right, double bottom) {
        return cv::Rect(cv::Point(static_cast<int>(std::floor(left * w)), static_cast<int>(std::floor(top * h))),
                        cv::Point(static_cast<int>(std::ceil(right * w)), static_cast<int>(std::ceil(bottom * h))))
            & cv::Rect(0, 0, size.width, size.height);
    };
    if (face && face->width > 0 && face->height > 0) {
        cv::Mat mask(size, CV_32F, cv::Scalar(1));
        const double top = 1 - (face->y + face->height) - face->height / 2;
        mask(area(face->x - face->width, top, face->x + 2 * face->width, 1)).setTo(0);
        if (cv::sum(mask)[0] >= kMinimumStillShare * w * h)
            return mask;
    }
    cv::Mat mask(size, CV_32F, cv::Scalar(0));
    mask(area(0, 0, 1, 0.12)).setTo(1);
    mask(area(0, 0, 0.18, 0.65)).setTo(1);
    mask(area(0.82, 0, 1, 0.65)).setTo(1);
    return mask;
}

/// The best whole-pixel match of reference's inner part (margin pixels in from every edge)
/// in frame, looking within radius of centre: the move of frame's content and the mean
/// squared difference over the mask there. Absent when the search would leave the frame.
struct Match {
    cv::Point moved;
    double difference = 0;
};
std::optional<Match> search(const cv::Mat& reference, const cv::Mat& frame, const cv::Mat& mask, int margin,
                            cv::Point centre, int radius)
{
    if (std::abs(centre.x) + radius > margin || std::abs(centre.y) + radius > margin)
        return std::nullopt;
    const cv::Rect inner(margin, margin, reference.cols - 2 * margin, reference.rows - 2 * margin);
    if (inner.width < 4 || inner.height < 4)
        return std::nullopt;
    const double weight = cv::sum(mask(inner))[0];
    if (!(weight > 0))
        return std::nullopt;
    const auto count = static_cast<std::size_t>(inner.width);
    std::optional<Match> best;
    for (int y = -radius; y <= radius; ++y) {
        for (int x = -radius; x <= radius; ++x) {
            const cv::Point moved = centre + cv::Point(x, y);
            double sum = 0;
            for (int row = inner.y; row < inner.br().y; ++row) {
                float rowSum = 0;
                weightedSquaredDifference(frame.ptr<float>(row + moved.y) + inner.x + moved.x, reference.ptr<float>(row) + inner.x,
                                          mask.ptr<float>(row) + inner.x, count, &rowSum);
                sum += rowSum;
            }
            if (!best || sum < best->difference)
                best = Match{moved, sum};
        }
    }
    best->difference /= weight;
    return best;
}

/// The source pixels that a bilinear resampling of `area` by a pure translation reads: frame
/// from area's corner + floor(shift), one pixel wider and taller than area (edge pixels
/// repeated beyond the frame), and the fractions of the shift that weigh the second column and
/// row. One weight pair serves every pixel, so the resampling is four shifted windows mixed
/// rather than a per-pixel warp.
struct SourceWindow {
    cv::Mat pixels;
    float ax = 0;
    float ay = 0;
};
SourceWindow sourceWindow(const cv::Mat& frame, cv::Point2d shift, cv::Rect area, cv::Mat& scratch)
{
    const double left = std::floor(shift.x), top = std::floor(shift.y);
    SourceWindow window{cv::Mat(), static_cast<float>(shift.x - left), static_cast<float>(shift.y - top)};
    const cv::Rect source(area.x + static_cast<int>(left), area.y + static_cast<int>(top), area.width + 1, area.height + 1);
    const cv::Rect inside = source & cv::Rect(0, 0, frame.cols, frame.rows);
    if (inside == source) {
        window.pixels = frame(source);
    } else if (!inside.empty()) {
        cv::copyMakeBorder(frame(inside), scratch, inside.y - source.y, source.br().y - inside.br().y, inside.x - source.x,
                           source.br().x - inside.br().x, cv::BORDER_REPLICATE);
        window.pixels = scratch;
    } else {
        // Moved wholly off the frame: every pixel is the nearest edge pixel, resampled already.
        const cv::Matx23d sample(1, 0, shift.x, 0, 1, shift.y);
        cv::Mat whole;
        cv::warpAffine(frame, whole, cv::Mat(sample), frame.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
        cv::copyMakeBorder(whole(area), scratch, 0, 1, 0, 1, cv::BORDER_REPLICATE);
        window = SourceWindow{scratch, 0, 0};
    }
    return window;
}

/// What a registration needs of the reference frame, prepared once for a whole clip.
class Reference {
public:
    /// Absent when the frame cannot be registered against (too small, neither BGRA nor J420,
    /// featureless).
    static std::optional<Reference> of(const PixelBuffer& frame, const std::optional<NormalizedRect>& face)
    {
        if (!registrable(frame) || frame.width() / kCoarseDivisor < kMinimumSide ||
            frame.height() / kCoarseDivisor < kMinimumSide)
            return std::nullopt;
        Reference r;
        r.width_ = frame.width();
        r.height_ = frame.height();
        r.fineSize_ = cv::Size(r.width_ / kFineDivisor, r.height_ / kFineDivisor);
        r.coarseSize_ = cv::Size(r.width_ / kCoarseDivisor, r.height_ / kCoarseDivisor);
        r.searchSize_ = cv::Size(r.coarseSize_.width / 2, r.coarseSize_.height / 2);
        cv::Mat grey, fine;
        greyCopy(frame, r.fineSize_, grey, fine);
        cv::resize(fine, r.coarse_, r.coarseSize_, 0, 0, cv::INTER_AREA);
        if (!hasStructure(r.coarse_))
            return std::nullopt;
        cv::resize(r.coarse_, r.search_, r.searchSize_, 0, 0, cv::INTER_AREA);
        cv::createHanningWindow(r.window_, r.coarseSize_, CV_32F);

        // The search covers kSearchFraction of the width on the eighth-size copy; the quarter-size
        // copy then looks one pixel around the doubled answer, and around phase correlation's.
        r.searchRadius_ = std::max(2, static_cast<int>(std::ceil(kSearchFraction * r.searchSize_.width)));
        r.coarseMargin_ = 2 * r.searchRadius_ + 2;
        const cv::Mat still = stillMask(r.fineSize_, face);
        cv::resize(still, r.coarseMask_, r.coarseSize_, 0, 0, cv::INTER_NEAREST);
        cv::resize(still, r.searchMask_, r.searchSize_, 0, 0, cv::INTER_NEAREST);
        cv::Scalar mean, deviation;
        cv::meanStdDev(r.coarse_, mean, deviation, r.coarseMask_ > 0);
        r.stillVariance_ = deviation[0] * deviation[0];

        cv::GaussianBlur(fine, r.fine_, cv::Size(5, 5), 1.0);
        cv::Sobel(r.fine_, r.gx_, CV_32F, 1, 0, 3, 1.0 / 8);
        cv::Sobel(r.fine_, r.gy_, CV_32F, 0, 1, 3, 1.0 / 8);
        // The borders hold what a move brought in or pushed out, so they take no part.
        const int margin = std::max(2, std::max(r.fineSize_.width / 20, 2 * r.coarseMargin_));
        r.fineMask_ = cv::Mat::zeros(r.fineSize_, CV_32F);
        const cv::Rect inner = cv::Rect(margin, margin, r.fineSize_.width - 2 * margin, r.fineSize_.height - 2 * margin)
            & cv::Rect(0, 0, r.fineSize_.width, r.fineSize_.height);
        if (inner.width > 0 && inner.height > 0) {
            still(inner).copyTo(r.fineMask_(inner));
            r.still_ = inner;
        }
        r.gxMasked_ = r.gx_.mul(r.fineMask_);
        r.gyMasked_ = r.gy_.mul(r.fineMask_);
        r.axx_ = r.gxMasked_.dot(r.gx_);
        r.axy_ = r.gxMasked_.dot(r.gy_);
        r.ayy_ = r.gyMasked_.dot(r.gy_);
        r.determinant_ = r.axx_ * r.ayy_ - r.axy_ * r.axy_;
        return r;
    }

    /// The offset that aligns frame to this reference, or absent. `scratch` is the caller's to
    /// reuse for the next frame.
    std::optional<Offset> offsetOf(const PixelBuffer& frame, Scratch& scratch) const
    {
        if (!registrable(frame) || frame.width() != width_ || frame.height() != height_)
            return std::nullopt;
        greyCopy(frame, fineSize_, scratch.grey, scratch.fine);
        cv::resize(scratch.fine, scratch.coarse, coarseSize_, 0, 0, cv::INTER_AREA);
        if (!hasStructure(scratch.coarse))
            return std::nullopt;
        cv::resize(scratch.coarse, scratch.small, searchSize_, 0, 0, cv::INTER_AREA);

        // Where the still part of the scene went.
        std::optional<Match> best;
        const auto consider = [&](const std::optional<Match>& match) {
            if (match && (!best || match->difference < best->difference))
                best = match;
        };
        const auto rough = search(search_, scratch.small, searchMask_, searchRadius_, {0, 0}, searchRadius_);
        if (rough)
            consider(search(coarse_, scratch.coarse, coarseMask_, coarseMargin_, rough->moved * 2, 1));
        // A close match well inside the search is the scene itself. Otherwise phase correlation
        // of the whole picture says whether the frames are one scene at all, and gives the
        // answer to try when the whole picture moved further than the search looks.
        const bool inside = rough && std::abs(rough->moved.x) < searchRadius_ && std::abs(rough->moved.y) < searchRadius_;
        if (!(inside && best && best->difference <= kWellMatched * stillVariance_)) {
            double response = 0;
            // In coarse pixels, y down. phaseCorrelate multiplies its inputs by the window in
            // place, so it gets copies.
            scratch.coarse.copyTo(scratch.correlated);
            const cv::Point2d whole = cv::phaseCorrelate(coarse_.clone(), scratch.correlated, window_, &response);
            if (!(response >= kMinimumResponse) || !std::isfinite(whole.x) || !std::isfinite(whole.y))
                return std::nullopt;
            const cv::Point wholeRounded(static_cast<int>(std::lround(whole.x)), static_cast<int>(std::lround(whole.y)));
            const int reach = std::max(std::abs(wholeRounded.x), std::abs(wholeRounded.y)) + 1;
            consider(search(coarse_, scratch.coarse, coarseMask_, std::max(coarseMargin_, reach), wholeRounded, 1));
        }
        if (!best)
            return std::nullopt;

        cv::GaussianBlur(scratch.fine, scratch.blurred, cv::Size(5, 5), 1.0);
        const cv::Point2d start(best->moved.x * static_cast<double>(fineSize_.width) / coarseSize_.width,
                                best->moved.y * static_cast<double>(fineSize_.height) / coarseSize_.height);
        const cv::Point2d refined = refine(scratch.blurred, start, scratch);
        // A move is kept only where it makes the still part match better than standing still:
        // a background that did not move at all stays exactly where it is.
        cv::Point2d ignored;
        if (!(residual(scratch.blurred, refined, ignored, scratch) < residual(scratch.blurred, {0, 0}, ignored, scratch)))
            return Offset::zero();
        const double movedX = refined.x * width_ / fineSize_.width;
        const double movedY = refined.y * height_ / fineSize_.height;
        // Aligning moves the content back: left by movedX, and up by movedY, which with y
        // pointing up is a positive dy.
        return Offset{-movedX / width_, movedY / height_};
    }

private:
    /// The squared difference over the still part left after moving the (blurred) frame back by
    /// `shift` (fine pixels, y down), and in `step` how far the gradients say the shift is off.
    /// Only the still part's bounding rectangle is resampled: everything outside it weighs zero.
    double residual(const cv::Mat& frame, cv::Point2d shift, cv::Point2d& step, Scratch& scratch) const
    {
        step = {0, 0};
        if (still_.empty())
            return 0;
        const SourceWindow window = sourceWindow(frame, shift, still_, scratch.padded);
        const auto count = static_cast<std::size_t>(still_.width);
        double bx = 0, by = 0, squared = 0;
        for (int row = 0; row < still_.height; ++row) {
            const int y = still_.y + row;
            float sums[3];
            residualRow(window.pixels.ptr<float>(row), window.pixels.ptr<float>(row + 1), window.ax, window.ay,
                        fine_.ptr<float>(y) + still_.x, gxMasked_.ptr<float>(y) + still_.x, gyMasked_.ptr<float>(y) + still_.x,
                        fineMask_.ptr<float>(y) + still_.x, count, sums);
            bx += sums[0];
            by += sums[1];
            squared += sums[2];
        }
        // error ≈ ∇reference · (shift − true move)
        if (determinant_ > 0)
            step = {(ayy_ * bx - axy_ * by) / determinant_, (axx_ * by - axy_ * bx) / determinant_};
        return squared;
    }

    /// Lucas–Kanade steps for a pure translation, from the whole-pixel match to a fraction of a
    /// pixel: with the frame moved back by the current estimate, the difference left to the
    /// reference, projected on the reference's gradients, says how far the estimate is still
    /// off. `moved` is in fine pixels, y down.
    cv::Point2d refine(const cv::Mat& frame, cv::Point2d moved, Scratch& scratch) const
    {
        constexpr int kSteps = 6;
        constexpr double kSettled = 0.02; // fine pixels
        constexpr double kMaxCorrection = 2.5;
        if (!(determinant_ > 1e-9 * axx_ * ayy_) || !(axx_ > 0))
            return moved;
        cv::Point2d step;
        const double start = residual(frame, moved, step, scratch);
        cv::Point2d estimate = moved;
        double last = start;
        for (int k = 0; k < kSteps; ++k) {
            estimate -= step;
            if (!std::isfinite(estimate.x) || !std::isfinite(estimate.y) || cv::norm(estimate - moved) > kMaxCorrection)
                return moved;
            const double stepLength = cv::norm(step);
            last = residual(frame, estimate, step, scratch);
            if (stepLength < kSettled)
                break;
        }
        // Where the pictures differ by more than a move (something in them changed), the
        // gradients can lead astray; the refinement is kept only when it fits better.
        return last <= start ? estimate : moved;
    }

    int width_ = 0;
    int height_ = 0;
    cv::Size fineSize_, coarseSize_, searchSize_;
    cv::Mat coarse_, window_, coarseMask_;
    cv::Mat search_, searchMask_;
    double stillVariance_ = 0; // of coarse_ over the still part
    int searchRadius_ = 0, coarseMargin_ = 0;
    cv::Mat fine_, gx_, gy_;      // blurred half-size copy and its gradients
    cv::Mat fineMask_;            // the still part, away from the borders
    cv::Rect still_;              // fineMask_'s bounding rectangle
    cv::Mat gxMasked_, gyMasked_; // the gradients over it
    double axx_ = 0, axy_ = 0, ayy_ = 0, determinant_ = 0;
};

} // namespace

std::optional<Offset> detectOffset(const PixelBuffer& frame, const PixelBuffer& reference,
                                   const std::optional<NormalizedRect>& face)
{
    try {
        const auto prepared = Reference::of(reference, face);
        Scratch scratch;
        return prepared ? prepared->offsetOf(frame, scratch) : std::nullopt;
    } catch (const cv::Exception&) {
        return std::nullopt;
    }
}

Offset clampedOffset(Offset offset, double maxMagnitude)
{
    const double magnitude = std::hypot(offset.dx, offset.dy);
    if (maxMagnitude < magnitude)
        return Offset::zero();
    return offset;
}

Offset cropMargin(const std::vector<Offset>& offsets)
{
    Offset margin;
    for (const Offset& o : offsets) {
        margin.dx = std::max(margin.dx, std::fabs(o.dx));
        margin.dy = std::max(margin.dy, std::fabs(o.dy));
    }
    return margin;
}

namespace {

/// Each BGRA output pixel u from its two mixed source pixels: first[u] and first[u] + 1
/// (given as the second's weight in 256ths, so an edge pixel repeats with weight 0), rounded
/// back from 65536ths.
QUELLON_KERNEL_BODY void mixColumnsKernel(const std::uint16_t* __restrict mixed, const std::uint32_t* __restrict first,
                                          const std::uint32_t* __restrict weight, std::uint8_t* __restrict target,
                                          std::size_t pixels)
{
    // One pixel's four channels at a time, as one short vector: the two source pixels sit at
    // a different distance for every column, which the vectoriser cannot follow on its own.
    using Channels16 = std::uint16_t __attribute__((vector_size(8)));
    using Channels32 = std::uint32_t __attribute__((vector_size(16)));
    using Bytes = std::uint8_t __attribute__((vector_size(16)));
#if !defined(__clang__)
    const Bytes lowBytes{0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12};
#endif
    for (std::size_t u = 0; u < pixels; ++u) {
        Channels16 left, right;
        std::memcpy(&left, mixed + first[u], sizeof left);
        std::memcpy(&right, mixed + first[u] + 4, sizeof right);
        const std::uint32_t rightWeight = weight[u], leftWeight = 256 - rightWeight;
        const Channels32 sum = __builtin_convertvector(left, Channels32) * leftWeight
            + __builtin_convertvector(right, Channels32) * rightWeight + 32768u;
        // Each channel ends below 256: its low byte is the whole value.
        const Bytes wide = reinterpret_cast<Bytes>(sum >> 16);
#if defined(__clang__)
        const Bytes pixel = __builtin_shufflevector(wide, wide, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12);
#else
        const Bytes pixel = __builtin_shuffle(wide, lowBytes);
#endif
        std::memcpy(target + u * 4, &pixel, 4);
    }
}
QUELLON_VECTOR_KERNEL(mixColumns,
                      (const std::uint16_t* __restrict mixed, const std::uint32_t* __restrict first,
                       const std::uint32_t* __restrict weight, std::uint8_t* __restrict target, std::size_t pixels),
                      (mixed, first, weight, target, pixels))

using PlaneResampling::Axis;

/// Resamples a BGRA picture (width × height pixels) from source to target, both with their own
/// row strides, along the given axes. A pixel's four channels share their taps, so each output
/// pixel gathers its two mixed source pixels.
void warpBGRA(const std::uint8_t* source, std::size_t sourceStride, std::uint8_t* target, std::size_t targetStride,
              int width, int height, Axis horizontal, Axis vertical)
{
    const PlaneResampling::Taps columns = PlaneResampling::tapsOf(width, width, horizontal);
    const PlaneResampling::Taps rows = PlaneResampling::tapsOf(height, height, vertical);
    // Each column reads a source pixel and the one after it; the row of mixed values has one
    // pixel more, a copy of the last, so the last column may read past it with weight 0.
    const auto count = static_cast<std::size_t>(width);
    constexpr std::size_t kPixelBytes = 4;
    std::vector<std::uint32_t> first(count), weight(count);
    for (std::size_t u = 0; u < count; ++u) {
        first[u] = static_cast<std::uint32_t>(columns.first[u]) * kPixelBytes;
        weight[u] = columns.weight[u];
    }
    std::vector<std::uint16_t> mixed((count + 1) * kPixelBytes);
    for (int v = 0; v < height; ++v) {
        const auto row = static_cast<std::size_t>(v);
        const auto upper = static_cast<std::size_t>(rows.first[row]);
        const std::size_t lower = std::min(upper + 1, static_cast<std::size_t>(height - 1));
        PlaneResampling::mixRows(source + upper * sourceStride, source + lower * sourceStride, mixed.data(), count * kPixelBytes,
                                 rows.weight[row]);
        std::copy_n(&mixed[(count - 1) * kPixelBytes], kPixelBytes, &mixed[count * kPixelBytes]);
        mixColumns(mixed.data(), first.data(), weight.data(), target + row * targetStride, count);
    }
}

/// The frame moved by its offset, cropped to the centred rectangle that keeps (mx, my) of the
/// size on every side and scaled back to full size, in one bilinear resampling pass, in the
/// frame's own format (BGRA or J420). Null when the new buffer cannot be made.
PixelBufferRef warp(const PixelBuffer& frame, Offset offset, Offset margin)
{
    const int w = frame.width();
    const int h = frame.height();
    auto out = PixelBuffer::create(w, h, frame.pixelFormat());
    if (!out)
        return nullptr;
    const double cropX = margin.dx * w;
    const double cropY = margin.dy * h;
    const double scaleX = (w - 2 * cropX) / w; // source pixels per output pixel
    const double scaleY = (h - 2 * cropY) / h;
    // Output pixel centre u + 0.5 comes from source position (u + 0.5)·scale + crop − shift;
    // the crop is centred, so it is the same from the top as from the bottom. The shift is
    // y up, which in rows (y down) is a move by −dy·h.
    const double shiftX = offset.dx * w;
    const double shiftYDown = -offset.dy * h;
    // A plane at 1/divisor of the full size takes the crop and the shift divided alike: a
    // chroma plane moves by half the luma's pixels.
    const auto axes = [&](double divisor) {
        return std::pair(Axis{scaleX, 0.5 * scaleX - 0.5 + (cropX - shiftX) / divisor},
                         Axis{scaleY, 0.5 * scaleY - 0.5 + (cropY - shiftYDown) / divisor});
    };
    const auto in = frame.lockForReading();
    const auto dst = out->lockForWriting();
    if (frame.isBGRA()) {
        const auto [horizontal, vertical] = axes(1);
        warpBGRA(in.baseAddress(), frame.bytesPerRow(), dst.baseAddress(), out->bytesPerRow(), w, h, horizontal, vertical);
        return out;
    }
    for (int index = 0; index < frame.planeCount(); ++index) {
        const PixelBuffer::Plane from = frame.plane(index), to = out->plane(index);
        const auto [horizontal, vertical] = axes(index == 0 ? 1 : 2);
        const auto columns = static_cast<int>(from.rowBytes);
        PlaneResampling::resamplePlane(in.baseAddress() + from.offset, from.bytesPerRow, columns, from.rows,
                                       dst.baseAddress() + to.offset, to.bytesPerRow, columns, to.rows, horizontal, vertical);
    }
    return out;
}

/// At most one frame in this many may be measured beyond the limit; more, and the clip is left
/// as recorded.
constexpr std::size_t kBeyondLimitShare = 10;

/// Gives each frame measured beyond the limit the offset between its nearest neighbours within
/// it (held at the clip's end), so it moves with them: corrected on its own it would jump, left
/// uncorrected it would jump back. Frame 0, the reference, is never beyond.
void followNeighbours(std::vector<Offset>& offsets, const std::vector<std::uint8_t>& beyond)
{
    const std::size_t n = offsets.size();
    for (std::size_t first = 1; first < n; ++first) {
        if (!beyond[first])
            continue;
        std::size_t end = first;
        while (end < n && beyond[end])
            ++end;
        const Offset before = offsets[first - 1];
        const Offset after = end < n ? offsets[end] : before;
        const double span = static_cast<double>(end - first + 1);
        for (std::size_t k = first; k < end; ++k) {
            const double t = static_cast<double>(k - first + 1) / span;
            offsets[k] = {before.dx + (after.dx - before.dx) * t, before.dy + (after.dy - before.dy) * t};
        }
        first = end;
    }
}

} // namespace

std::vector<PixelBufferRef> stabilize(std::vector<PixelBufferRef> frames, double maxShiftFraction,
                                      double maxCropFraction, const std::optional<NormalizedRect>& face)
{
    if (frames.size() < 2)
        return frames;
    for (const auto& frame : frames)
        if (!frame)
            return frames;
    const PixelBuffer& reference = *frames.front();
    std::vector<Offset> offsets(frames.size(), Offset::zero());
    // Measured beyond maxShiftFraction; bytes, not std::vector<bool>, as workers set neighbouring
    // entries at once.
    std::vector<std::uint8_t> beyond(frames.size(), 0);
    try {
        const auto prepared = Reference::of(reference, face);
        if (!prepared)
            return frames;
        // Frames are measured against the shared reference independently, so they spread over
        // the cores; one failed measurement still makes the whole call give up.
        std::atomic<bool> failed = false;
        ScratchShelf shelf;
        parallelFor(frames.size() - 1, [&](std::size_t i) {
            if (failed)
                return;
            std::unique_ptr<Scratch> scratch = shelf.take();
            const auto offset = prepared->offsetOf(*frames[i + 1], *scratch);
            shelf.put(std::move(scratch));
            if (!offset)
                failed = true;
            else if (std::hypot(offset->dx * reference.width(), offset->dy * reference.height()) < kSmallestCorrectedShift)
                return;
            else if (clampedOffset(*offset, maxShiftFraction) == Offset::zero())
                beyond[i + 1] = 1;
            else
                offsets[i + 1] = *offset;
        });
        if (failed)
            return frames;
    } catch (const cv::Exception&) {
        return frames;
    }
    // Many frames beyond the limit: the camera moved on purpose (a pan), and holding part of the
    // clip still would only make it stop and start.
    const auto beyondCount = static_cast<std::size_t>(std::count(beyond.begin(), beyond.end(), 1));
    if (beyondCount * kBeyondLimitShare > frames.size())
        return frames;
    followNeighbours(offsets, beyond);
    const Offset margin = cropMargin(offsets);
    if (!(margin.dx <= maxCropFraction && margin.dy <= maxCropFraction))
        return frames;
    if (margin.dx == 0 && margin.dy == 0)
        return frames;
    const int w = reference.width();
    const int h = reference.height();
    const bool rectangleLeft = w - 2 * margin.dx * w > 0 && h - 2 * margin.dy * h > 0;

    std::vector<PixelBufferRef> result(frames.size());
    parallelFor(frames.size(), [&](std::size_t k) {
        PixelBufferRef stabilized;
        if (rectangleLeft) {
            try {
                stabilized = warp(*frames[k], offsets[k], margin);
            } catch (const std::bad_alloc&) {
                stabilized = nullptr;
            }
        }
        // A warped input is let go at once: when the caller handed its frames over, its memory
        // goes straight back to the frame pool for the next warp instead of fresh pages.
        result[k] = stabilized ? std::move(stabilized) : frames[k];
        frames[k].reset();
    });
    return result;
}

} // namespace quellon::LoopStabilizer
