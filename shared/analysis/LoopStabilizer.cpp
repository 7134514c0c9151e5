#include "analysis/LoopStabilizer.h"

#include "playback/ParallelFor.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>

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

/// Registration looks at grey copies: phase correlation at a quarter of the frame size finds
/// the shift to about half a pixel of that copy, and gradient steps on the half-size copy
/// refine it to well under a quarter of a full-size pixel.
constexpr int kCoarseDivisor = 4;
constexpr int kFineDivisor = 2;
/// Smallest copy worth registering.
constexpr int kMinimumSide = 16;

/// A grey float copy of a BGRA frame at full / divisor size.
cv::Mat greyCopy(const PixelBuffer& frame, cv::Size size)
{
    cv::Mat grey;
    {
        const auto lock = frame.lockForReading();
        const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, const_cast<std::uint8_t*>(lock.baseAddress()),
                           frame.bytesPerRow());
        cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
    }
    cv::Mat small;
    cv::resize(grey, small, size, 0, 0, cv::INTER_AREA);
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

/// What a registration needs of the reference frame, prepared once for a whole clip.
class Reference {
public:
    /// Absent when the frame cannot be registered against (too small, not BGRA, featureless).
    static std::optional<Reference> of(const PixelBuffer& frame)
    {
        if (!frame.isBGRA() || frame.width() / kCoarseDivisor < kMinimumSide ||
            frame.height() / kCoarseDivisor < kMinimumSide)
            return std::nullopt;
        Reference r;
        r.width_ = frame.width();
        r.height_ = frame.height();
        r.fineSize_ = cv::Size(r.width_ / kFineDivisor, r.height_ / kFineDivisor);
        r.coarseSize_ = cv::Size(r.width_ / kCoarseDivisor, r.height_ / kCoarseDivisor);
        const cv::Mat fine = greyCopy(frame, r.fineSize_);
        if (!hasStructure(fine))
            return std::nullopt;
        cv::resize(fine, r.coarse_, r.coarseSize_, 0, 0, cv::INTER_AREA);
        cv::createHanningWindow(r.window_, r.coarseSize_, CV_32F);

        cv::GaussianBlur(fine, r.fine_, cv::Size(5, 5), 1.0);
        cv::Sobel(r.fine_, r.gx_, CV_32F, 1, 0, 3, 1.0 / 8);
        cv::Sobel(r.fine_, r.gy_, CV_32F, 0, 1, 3, 1.0 / 8);
        // Only the inner part takes part: the borders hold what a move brought in or pushed out.
        const int marginX = std::max(2, r.fineSize_.width / 10);
        const int marginY = std::max(2, r.fineSize_.height / 10);
        r.inner_ = cv::Rect(marginX, marginY, r.fineSize_.width - 2 * marginX, r.fineSize_.height - 2 * marginY);
        const cv::Mat gx = r.gx_(r.inner_), gy = r.gy_(r.inner_);
        r.axx_ = gx.dot(gx);
        r.axy_ = gx.dot(gy);
        r.ayy_ = gy.dot(gy);
        r.determinant_ = r.axx_ * r.ayy_ - r.axy_ * r.axy_;
        return r;
    }

    /// The offset that aligns frame to this reference, or absent.
    std::optional<Offset> offsetOf(const PixelBuffer& frame) const
    {
        if (!frame.isBGRA() || frame.width() != width_ || frame.height() != height_)
            return std::nullopt;
        const cv::Mat fine = greyCopy(frame, fineSize_);
        if (!hasStructure(fine))
            return std::nullopt;
        cv::Mat coarse;
        cv::resize(fine, coarse, coarseSize_, 0, 0, cv::INTER_AREA);
        double response = 0;
        // How far the frame's content moved against the reference, in coarse pixels, y down.
        // phaseCorrelate multiplies its inputs by the window in place, so it gets a copy of the
        // reference, which serves the next frame too.
        const cv::Point2d moved = cv::phaseCorrelate(coarse_.clone(), coarse, window_, &response);
        if (!(response >= kMinimumResponse) || !std::isfinite(moved.x) || !std::isfinite(moved.y))
            return std::nullopt;
        const cv::Point2d refined =
            refine(fine, {moved.x * fineSize_.width / coarseSize_.width, moved.y * fineSize_.height / coarseSize_.height});
        const double movedX = refined.x * width_ / fineSize_.width;
        const double movedY = refined.y * height_ / fineSize_.height;
        // Aligning moves the content back: left by movedX, and up by movedY, which with y
        // pointing up is a positive dy.
        return Offset{-movedX / width_, movedY / height_};
    }

private:
    /// Phase correlation's sub-pixel peak leans towards whole pixels, so its answer is refined
    /// by Lucas–Kanade steps for a pure translation: with the frame moved back by the current
    /// estimate, the difference left to the reference, projected on the reference's
    /// gradients, says how far the estimate is still off. `moved` is in fine pixels, y down.
    cv::Point2d refine(const cv::Mat& fine, cv::Point2d moved) const
    {
        constexpr int kSteps = 5;
        constexpr double kSettled = 0.02; // fine pixels
        constexpr double kMaxCorrection = 2.0;
        if (!(determinant_ > 1e-9 * axx_ * ayy_) || !(axx_ > 0) || inner_.width < 4 || inner_.height < 4)
            return moved;
        cv::Mat frame, back, error;
        cv::GaussianBlur(fine, frame, cv::Size(5, 5), 1.0);
        const cv::Mat ref = fine_(inner_), gx = gx_(inner_), gy = gy_(inner_);
        // The squared difference left after moving the frame back by `shift`, and the step the
        // gradients suggest from there.
        const auto residual = [&](cv::Point2d shift, cv::Point2d& step) {
            const cv::Matx23d sample(1, 0, shift.x, 0, 1, shift.y); // back(x) = frame(x + shift)
            cv::warpAffine(frame, back, cv::Mat(sample), frame.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                           cv::BORDER_REPLICATE);
            cv::subtract(back(inner_), ref, error);
            const double bx = gx.dot(error), by = gy.dot(error);
            // error ≈ ∇reference · (shift − true move)
            step = {(ayy_ * bx - axy_ * by) / determinant_, (axx_ * by - axy_ * bx) / determinant_};
            return error.dot(error);
        };
        cv::Point2d step;
        const double start = residual(moved, step);
        cv::Point2d estimate = moved;
        double last = start;
        for (int k = 0; k < kSteps; ++k) {
            estimate -= step;
            if (!std::isfinite(estimate.x) || !std::isfinite(estimate.y) || cv::norm(estimate - moved) > kMaxCorrection)
                return moved;
            const double stepLength = cv::norm(step);
            last = residual(estimate, step);
            if (stepLength < kSettled)
                break;
        }
        // Where the pictures differ by more than a move (something in them changed), the
        // gradients can lead astray; the refinement is kept only when it fits better.
        return last <= start ? estimate : moved;
    }

    int width_ = 0;
    int height_ = 0;
    cv::Size fineSize_, coarseSize_;
    cv::Mat coarse_, window_;
    cv::Mat fine_, gx_, gy_; // blurred half-size copy and its gradients
    cv::Rect inner_;
    double axx_ = 0, axy_ = 0, ayy_ = 0, determinant_ = 0;
};

} // namespace

std::optional<Offset> detectOffset(const PixelBuffer& frame, const PixelBuffer& reference)
{
    try {
        const auto prepared = Reference::of(reference);
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

/// The frame moved by its offset, cropped to the centred rectangle that keeps (mx, my) of the
/// size on every side and scaled back to full size, in one bilinear resampling pass. Null
/// when the new buffer cannot be made.
PixelBufferRef warp(const PixelBuffer& frame, Offset offset, Offset margin)
{
    const int w = frame.width();
    const int h = frame.height();
    auto out = PixelBuffer::create(w, h, kPixelFormatBGRA);
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
    const cv::Matx23d sourceOf(scaleX, 0, 0.5 * scaleX - 0.5 + cropX - shiftX, //
                               0, scaleY, 0.5 * scaleY - 0.5 + cropY - shiftYDown);
    const auto in = frame.lockForReading();
    const auto dst = out->lockForWriting();
    const cv::Mat source(h, w, CV_8UC4, const_cast<std::uint8_t*>(in.baseAddress()), frame.bytesPerRow());
    cv::Mat target(h, w, CV_8UC4, dst.baseAddress(), out->bytesPerRow());
    cv::warpAffine(source, target, cv::Mat(sourceOf), target.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);
    return out;
}

} // namespace

std::vector<PixelBufferRef> stabilize(const std::vector<PixelBufferRef>& frames, double maxShiftFraction,
                                      double maxCropFraction)
{
    if (frames.size() < 2)
        return frames;
    for (const auto& frame : frames)
        if (!frame)
            return frames;
    const PixelBuffer& reference = *frames.front();
    std::vector<Offset> offsets(frames.size(), Offset::zero());
    try {
        const auto prepared = Reference::of(reference);
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
            else
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
            } catch (const cv::Exception&) {
                stabilized = nullptr;
            }
        }
        result[k] = stabilized ? std::move(stabilized) : frames[k];
    });
    return result;
}

} // namespace quellon::LoopStabilizer
