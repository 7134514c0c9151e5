#include "analysis/LoopStabilizer.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace quellon::LoopStabilizer {

namespace {

/// Registration runs on grey copies at this fraction of the frame size: a quarter of the pixels
/// keeps the two Fourier transforms per frame cheap while the sub-pixel peak, scaled back up,
/// still lands within a quarter of a pixel on photographs.
constexpr double kRegistrationScale = 0.5;

/// Peak height of the phase correlation (1 for identical pictures, near 0 for unrelated ones)
/// below which the measured shift is not trusted. Shifted webcam frames of one scene score
/// well above it; a frame of noise or of another scene scores below.
constexpr double kMinimumResponse = 0.05;

/// Grey copies whose standard deviation is below this (on a 0–255 scale) carry no structure
/// to register: a flat frame would otherwise "match" at any shift.
constexpr double kMinimumContrast = 1.0;

/// A downscaled grey copy of a BGRA frame as 32-bit floats, the input phaseCorrelate wants.
cv::Mat registrationImage(const PixelBuffer& frame, cv::Size size)
{
    const auto lock = frame.lockForReading();
    const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, const_cast<std::uint8_t*>(lock.baseAddress()),
                       frame.bytesPerRow());
    cv::Mat small;
    cv::resize(bgra, small, size, 0, 0, cv::INTER_AREA);
    cv::Mat grey;
    cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
    cv::Mat result;
    grey.convertTo(result, CV_32F);
    return result;
}

/// Phase correlation's sub-pixel peak leans towards whole pixels by up to half a pixel, so its
/// answer is refined by Lucas–Kanade steps for a pure translation: moving the measured copy
/// back by the current estimate, the remaining difference to the reference, projected on the
/// reference's gradients, says how far the estimate is still off. `moved` is how far the
/// measured content moved against the reference (y down); the result is the refined value,
/// or the input when the steps do not settle near it.
cv::Point2d refineShift(const cv::Mat& reference, const cv::Mat& measured, cv::Point2d moved)
{
    constexpr int kSteps = 6;
    constexpr double kSettled = 0.005; // grey-copy pixels
    constexpr double kMaxCorrection = 1.5;
    cv::Mat ref, mov;
    cv::GaussianBlur(reference, ref, cv::Size(5, 5), 1.0);
    cv::GaussianBlur(measured, mov, cv::Size(5, 5), 1.0);
    cv::Mat gx, gy;
    cv::Sobel(ref, gx, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(ref, gy, CV_32F, 0, 1, 3, 1.0 / 8);
    // Only the inner part takes part: the borders hold what the move brought in or pushed out.
    const int marginX = std::max(2, ref.cols / 10);
    const int marginY = std::max(2, ref.rows / 10);
    const cv::Rect inner(marginX, marginY, ref.cols - 2 * marginX, ref.rows - 2 * marginY);
    if (inner.width < 4 || inner.height < 4)
        return moved;
    const cv::Mat gxi = gx(inner), gyi = gy(inner), refi = ref(inner);
    const double axx = gxi.dot(gxi), axy = gxi.dot(gyi), ayy = gyi.dot(gyi);
    const double determinant = axx * ayy - axy * axy;
    if (!(determinant > 1e-9 * (axx * ayy)) || !(axx > 0))
        return moved;

    cv::Mat back, error;
    // The mean squared difference left after moving the measured copy back by `shift`, and
    // the step that the gradients suggest from there.
    const auto residual = [&](cv::Point2d shift, cv::Point2d& step) {
        const cv::Matx23d sample(1, 0, shift.x, 0, 1, shift.y); // back(x) = measured(x + shift)
        cv::warpAffine(mov, back, cv::Mat(sample), mov.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        cv::subtract(back(inner), refi, error);
        const double bx = gxi.dot(error), by = gyi.dot(error);
        // error ≈ ∇reference · (shift − true move)
        step = {(ayy * bx - axy * by) / determinant, (axx * by - axy * bx) / determinant};
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
        const double previousStep = cv::norm(step);
        last = residual(estimate, step);
        if (previousStep < kSettled)
            break;
    }
    // Where the two pictures differ by more than a move (something in them changed), the
    // gradients can lead astray; the refinement is kept only when it fits better.
    return last <= start ? estimate : moved;
}

bool hasStructure(const cv::Mat& grey)
{
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    return deviation[0] >= kMinimumContrast;
}

} // namespace

std::optional<Offset> detectOffset(const PixelBuffer& frame, const PixelBuffer& reference)
{
    const int w = reference.width();
    const int h = reference.height();
    if (w < 1 || h < 1 || !frame.isBGRA() || !reference.isBGRA() || frame.width() != w || frame.height() != h)
        return std::nullopt;
    const cv::Size size(std::max(1, static_cast<int>(std::lround(w * kRegistrationScale))),
                        std::max(1, static_cast<int>(std::lround(h * kRegistrationScale))));
    if (size.width < 8 || size.height < 8)
        return std::nullopt;
    try {
        const cv::Mat ref = registrationImage(reference, size);
        const cv::Mat measured = registrationImage(frame, size);
        if (!hasStructure(ref) || !hasStructure(measured))
            return std::nullopt;
        cv::Mat window;
        cv::createHanningWindow(window, size, CV_32F);
        double response = 0;
        // How far the measured frame's content moved against the reference, in grey-copy
        // pixels, y down.
        const cv::Point2d coarse = cv::phaseCorrelate(ref, measured, window, &response);
        if (!(response >= kMinimumResponse) || !std::isfinite(coarse.x) || !std::isfinite(coarse.y))
            return std::nullopt;
        const cv::Point2d moved = refineShift(ref, measured, coarse);
        const double movedX = moved.x * w / size.width;
        const double movedY = moved.y * h / size.height;
        // Aligning means moving back by that much; with y up, a move down is a negative dy.
        return Offset{-movedX / w, movedY / h};
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
    std::vector<Offset> offsets{Offset::zero()};
    offsets.reserve(frames.size());
    for (std::size_t k = 1; k < frames.size(); ++k) {
        const auto offset = detectOffset(*frames[k], reference);
        if (!offset)
            return frames;
        offsets.push_back(clampedOffset(*offset, maxShiftFraction));
    }
    const Offset margin = cropMargin(offsets);
    if (!(margin.dx <= maxCropFraction && margin.dy <= maxCropFraction))
        return frames;
    if (margin.dx == 0 && margin.dy == 0)
        return frames;
    const int w = reference.width();
    const int h = reference.height();
    const bool rectangleLeft = w - 2 * margin.dx * w > 0 && h - 2 * margin.dy * h > 0;

    std::vector<PixelBufferRef> result;
    result.reserve(frames.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
        PixelBufferRef stabilized;
        if (rectangleLeft) {
            try {
                stabilized = warp(*frames[k], offsets[k], margin);
            } catch (const cv::Exception&) {
                stabilized = nullptr;
            }
        }
        result.push_back(stabilized ? std::move(stabilized) : frames[k]);
    }
    return result;
}

} // namespace quellon::LoopStabilizer
