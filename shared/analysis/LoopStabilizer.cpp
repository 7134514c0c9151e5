#include "analysis/LoopStabilizer.h"

#include "playback/ParallelFor.h"
#include "playback/VectorKernels.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
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

bool registrable(const PixelBuffer& frame)
{
    return frame.isBGRA() || frame.isJ420();
}

/// A grey float copy of a BGRA or J420 frame at the given size. J420's luma plane is the grey
/// picture already (the same weights as the BGRA conversion, to within a level).
cv::Mat greyCopy(const PixelBuffer& frame, cv::Size size)
{
    cv::Mat small;
    {
        const auto lock = frame.lockForReading();
        auto* pixels = const_cast<std::uint8_t*>(lock.baseAddress());
        if (frame.isJ420()) {
            const cv::Mat luma(frame.height(), frame.width(), CV_8UC1, pixels + frame.plane(0).offset, frame.plane(0).bytesPerRow);
            cv::resize(luma, small, size, 0, 0, cv::INTER_AREA);
        } else {
            const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, pixels, frame.bytesPerRow());
            cv::Mat grey;
            cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
            cv::resize(grey, small, size, 0, 0, cv::INTER_AREA);
        }
    }
    cv::Mat result;
    small.convertTo(result, CV_32F);
    return result;
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
    const cv::Mat ref = reference(inner), weights = mask(inner);
    cv::Mat difference;
    std::optional<Match> best;
    for (int y = -radius; y <= radius; ++y) {
        for (int x = -radius; x <= radius; ++x) {
            const cv::Point moved = centre + cv::Point(x, y);
            cv::subtract(frame(inner + moved), ref, difference);
            const double sum = difference.mul(weights).dot(difference);
            if (!best || sum < best->difference)
                best = Match{moved, sum};
        }
    }
    best->difference /= weight;
    return best;
}

/// frame(x + shift) over `area`: a bilinear resampling by a pure translation, with the edge
/// pixels repeated beyond the frame. One weight pair serves every pixel, so this is four
/// shifted windows mixed rather than a per-pixel warp.
cv::Mat translated(const cv::Mat& frame, cv::Point2d shift, cv::Rect area)
{
    const double left = std::floor(shift.x), top = std::floor(shift.y);
    const double ax = shift.x - left, ay = shift.y - top;
    const cv::Rect source(area.x + static_cast<int>(left), area.y + static_cast<int>(top), area.width + 1, area.height + 1);
    const cv::Rect inside = source & cv::Rect(0, 0, frame.cols, frame.rows);
    cv::Mat window;
    if (inside == source) {
        window = frame(source);
    } else if (!inside.empty()) {
        cv::copyMakeBorder(frame(inside), window, inside.y - source.y, source.br().y - inside.br().y, inside.x - source.x,
                           source.br().x - inside.br().x, cv::BORDER_REPLICATE);
    } else {
        // Moved wholly off the frame: every pixel is the nearest edge pixel.
        cv::Mat whole;
        const cv::Matx23d sample(1, 0, shift.x, 0, 1, shift.y);
        cv::warpAffine(frame, whole, cv::Mat(sample), frame.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        return whole(area).clone();
    }
    const cv::Size size = area.size();
    const auto at = [&](int dx, int dy) { return window(cv::Rect(cv::Point(dx, dy), size)); };
    cv::Mat upper, lower, result;
    cv::addWeighted(at(0, 0), 1 - ax, at(1, 0), ax, 0, upper);
    cv::addWeighted(at(0, 1), 1 - ax, at(1, 1), ax, 0, lower);
    cv::addWeighted(upper, 1 - ay, lower, ay, 0, result);
    return result;
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
        const cv::Mat fine = greyCopy(frame, r.fineSize_);
        if (!hasStructure(fine))
            return std::nullopt;
        cv::resize(fine, r.coarse_, r.coarseSize_, 0, 0, cv::INTER_AREA);
        cv::resize(r.coarse_, r.search_, r.searchSize_, 0, 0, cv::INTER_AREA);
        cv::createHanningWindow(r.window_, r.coarseSize_, CV_32F);

        // The search covers kSearchFraction of the width on the eighth-size copy; the quarter-size
        // copy then looks one pixel around the doubled answer, and around phase correlation's.
        r.searchRadius_ = std::max(2, static_cast<int>(std::ceil(kSearchFraction * r.searchSize_.width)));
        r.coarseMargin_ = 2 * r.searchRadius_ + 2;
        const cv::Mat still = stillMask(r.fineSize_, face);
        cv::resize(still, r.coarseMask_, r.coarseSize_, 0, 0, cv::INTER_NEAREST);
        cv::resize(still, r.searchMask_, r.searchSize_, 0, 0, cv::INTER_NEAREST);

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

    /// The offset that aligns frame to this reference, or absent.
    std::optional<Offset> offsetOf(const PixelBuffer& frame) const
    {
        if (!registrable(frame) || frame.width() != width_ || frame.height() != height_)
            return std::nullopt;
        const cv::Mat fine = greyCopy(frame, fineSize_);
        if (!hasStructure(fine))
            return std::nullopt;
        cv::Mat coarse, small;
        cv::resize(fine, coarse, coarseSize_, 0, 0, cv::INTER_AREA);
        cv::resize(coarse, small, searchSize_, 0, 0, cv::INTER_AREA);
        double response = 0;
        // How far the whole picture's content moved against the reference, in coarse pixels, y
        // down: it says whether the frames are one scene at all, and it is the answer to try
        // when the whole picture moved further than the search looks. phaseCorrelate
        // multiplies its inputs by the window in place, so it gets copies.
        const cv::Point2d whole = cv::phaseCorrelate(coarse_.clone(), coarse.clone(), window_, &response);
        if (!(response >= kMinimumResponse) || !std::isfinite(whole.x) || !std::isfinite(whole.y))
            return std::nullopt;

        // Where the still part of the scene went.
        std::optional<Match> best;
        const auto consider = [&](const std::optional<Match>& match) {
            if (match && (!best || match->difference < best->difference))
                best = match;
        };
        if (const auto rough = search(search_, small, searchMask_, searchRadius_, {0, 0}, searchRadius_))
            consider(search(coarse_, coarse, coarseMask_, coarseMargin_, rough->moved * 2, 1));
        const cv::Point wholeRounded(static_cast<int>(std::lround(whole.x)), static_cast<int>(std::lround(whole.y)));
        const int reach = std::max(std::abs(wholeRounded.x), std::abs(wholeRounded.y)) + 1;
        consider(search(coarse_, coarse, coarseMask_, std::max(coarseMargin_, reach), wholeRounded, 1));
        if (!best)
            return std::nullopt;

        cv::Mat blurred;
        cv::GaussianBlur(fine, blurred, cv::Size(5, 5), 1.0);
        const cv::Point2d start(best->moved.x * static_cast<double>(fineSize_.width) / coarseSize_.width,
                                best->moved.y * static_cast<double>(fineSize_.height) / coarseSize_.height);
        const cv::Point2d refined = refine(blurred, start);
        // A move is kept only where it makes the still part match better than standing still:
        // a background that did not move at all stays exactly where it is.
        cv::Point2d ignored;
        if (!(residual(blurred, refined, ignored) < residual(blurred, {0, 0}, ignored)))
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
    double residual(const cv::Mat& frame, cv::Point2d shift, cv::Point2d& step) const
    {
        step = {0, 0};
        if (still_.empty())
            return 0;
        cv::Mat error;
        cv::subtract(translated(frame, shift, still_), fine_(still_), error);
        const double bx = gxMasked_(still_).dot(error), by = gyMasked_(still_).dot(error);
        // error ≈ ∇reference · (shift − true move)
        if (determinant_ > 0)
            step = {(ayy_ * bx - axy_ * by) / determinant_, (axx_ * by - axy_ * bx) / determinant_};
        return error.mul(fineMask_(still_)).dot(error);
    }

    /// Lucas–Kanade steps for a pure translation, from the whole-pixel match to a fraction of a
    /// pixel: with the frame moved back by the current estimate, the difference left to the
    /// reference, projected on the reference's gradients, says how far the estimate is still
    /// off. `moved` is in fine pixels, y down.
    cv::Point2d refine(const cv::Mat& frame, cv::Point2d moved) const
    {
        constexpr int kSteps = 6;
        constexpr double kSettled = 0.02; // fine pixels
        constexpr double kMaxCorrection = 2.5;
        if (!(determinant_ > 1e-9 * axx_ * ayy_) || !(axx_ > 0))
            return moved;
        cv::Point2d step;
        const double start = residual(frame, moved, step);
        cv::Point2d estimate = moved;
        double last = start;
        for (int k = 0; k < kSteps; ++k) {
            estimate -= step;
            if (!std::isfinite(estimate.x) || !std::isfinite(estimate.y) || cv::norm(estimate - moved) > kMaxCorrection)
                return moved;
            const double stepLength = cv::norm(step);
            last = residual(frame, estimate, step);
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
        return prepared ? prepared->offsetOf(frame) : std::nullopt;
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

/// Where one output column (or row) reads the source: the two neighbouring source pixels and
/// the second one's weight in 256ths, edge pixels repeated beyond the frame.
struct Tap {
    int first = 0;
    int second = 0;
    int weight = 0;
};

/// Output pixel i reads source position i·scale + start, for count pixels of a source size
/// pixels long.
std::vector<Tap> tapsOf(int count, int size, double scale, double start)
{
    std::vector<Tap> taps(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double position = std::clamp(i * scale + start, 0.0, size - 1.0);
        const int first = std::min(static_cast<int>(position), size - 1);
        taps[static_cast<std::size_t>(i)] = {first, std::min(first + 1, size - 1),
                                             static_cast<int>(std::lround((position - first) * 256))};
    }
    return taps;
}

/// mixed[i] = upper[i]·(256 − weight) + lower[i]·weight: two source rows mixed, in 256ths.
QUELLON_KERNEL_BODY void mixRowsKernel(const std::uint8_t* __restrict upper, const std::uint8_t* __restrict lower,
                                       std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t weight)
{
    const auto upperWeight = static_cast<std::uint16_t>(256 - weight);
    for (std::size_t i = 0; i < count; ++i)
        mixed[i] = static_cast<std::uint16_t>(upper[i] * upperWeight + lower[i] * weight);
}
QUELLON_VECTOR_KERNEL(mixRows,
                      (const std::uint8_t* __restrict upper, const std::uint8_t* __restrict lower,
                       std::uint16_t* __restrict mixed, std::size_t count, std::uint16_t weight),
                      (upper, lower, mixed, count, weight))

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

/// The same for a plane of one channel (J420's luma or a chroma plane).
QUELLON_KERNEL_BODY void mixSingleColumnsKernel(const std::uint16_t* __restrict mixed, const std::uint32_t* __restrict first,
                                                const std::uint32_t* __restrict weight, std::uint8_t* __restrict target,
                                                std::size_t pixels)
{
    for (std::size_t u = 0; u < pixels; ++u) {
        const std::uint32_t rightWeight = weight[u];
        const std::uint32_t sum = mixed[first[u]] * (256 - rightWeight) + mixed[first[u] + 1] * rightWeight + 32768u;
        target[u] = static_cast<std::uint8_t>(sum >> 16);
    }
}
QUELLON_VECTOR_KERNEL(mixSingleColumns,
                      (const std::uint16_t* __restrict mixed, const std::uint32_t* __restrict first,
                       const std::uint32_t* __restrict weight, std::uint8_t* __restrict target, std::size_t pixels),
                      (mixed, first, weight, target, pixels))

/// One axis of a warp: output pixel i reads source position i·scale + start (in the plane's
/// own pixels).
struct Axis {
    double scale = 1;
    double start = 0;
};

/// Resamples one plane of `channels` interleaved bytes a pixel (width × height pixels) from
/// source to target, both with their own row strides, along the given axes.
///
/// The move and the zoom act on each axis alone, so every output row mixes the same two source
/// rows and every output column the same two source columns: the rows are mixed once, then the
/// columns, with fixed-point weights.
void warpPlane(const std::uint8_t* source, std::size_t sourceStride, std::uint8_t* target, std::size_t targetStride,
               int width, int height, int channels, Axis horizontal, Axis vertical)
{
    const std::vector<Tap> columns = tapsOf(width, width, horizontal.scale, horizontal.start);
    const std::vector<Tap> rows = tapsOf(height, height, vertical.scale, vertical.start);
    // Each column reads a source pixel and the one after it; the row of mixed values has one
    // pixel more, a copy of the last, so the last column may read past it with weight 0.
    const auto count = static_cast<std::size_t>(width);
    const auto pixelBytes = static_cast<std::size_t>(channels);
    std::vector<std::uint32_t> first(count), weight(count);
    for (std::size_t u = 0; u < count; ++u) {
        first[u] = static_cast<std::uint32_t>(columns[u].first * channels);
        weight[u] = static_cast<std::uint32_t>(columns[u].second > columns[u].first ? columns[u].weight : 0);
    }
    std::vector<std::uint16_t> mixed((count + 1) * pixelBytes);
    for (int v = 0; v < height; ++v) {
        const Tap& row = rows[static_cast<std::size_t>(v)];
        mixRows(source + static_cast<std::size_t>(row.first) * sourceStride, source + static_cast<std::size_t>(row.second) * sourceStride,
                mixed.data(), count * pixelBytes, static_cast<std::uint16_t>(row.weight));
        std::copy_n(&mixed[(count - 1) * pixelBytes], pixelBytes, &mixed[count * pixelBytes]);
        std::uint8_t* out = target + static_cast<std::size_t>(v) * targetStride;
        if (channels == 4)
            mixColumns(mixed.data(), first.data(), weight.data(), out, count);
        else
            mixSingleColumns(mixed.data(), first.data(), weight.data(), out, count);
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
        warpPlane(in.baseAddress(), frame.bytesPerRow(), dst.baseAddress(), out->bytesPerRow(), w, h, 4, horizontal, vertical);
        return out;
    }
    for (int index = 0; index < frame.planeCount(); ++index) {
        const PixelBuffer::Plane from = frame.plane(index), to = out->plane(index);
        const auto [horizontal, vertical] = axes(index == 0 ? 1 : 2);
        warpPlane(in.baseAddress() + from.offset, from.bytesPerRow, dst.baseAddress() + to.offset, to.bytesPerRow,
                  static_cast<int>(from.rowBytes), from.rows, 1, horizontal, vertical);
    }
    return out;
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
    try {
        const auto prepared = Reference::of(reference, face);
        if (!prepared)
            return frames;
        // Frames are measured against the shared reference independently, so they spread over
        // the cores; one failed measurement still makes the whole call give up.
        std::atomic<bool> failed = false;
        parallelFor(frames.size() - 1, [&](std::size_t i) {
            if (failed)
                return;
            const auto offset = prepared->offsetOf(*frames[i + 1]);
            if (!offset)
                failed = true;
            else if (std::hypot(offset->dx * reference.width(), offset->dy * reference.height()) >= kSmallestCorrectedShift)
                offsets[i + 1] = clampedOffset(*offset, maxShiftFraction);
        });
        if (failed)
            return frames;
    } catch (const cv::Exception&) {
        return frames;
    }
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
