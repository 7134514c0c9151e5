#include "analysis/LoopClipAnalysis.h"

#include "analysis/FaceDetector.h"
#include "analysis/LoopEntry.h"
#include "analysis/LoopEyeOpenness.h"
#include "analysis/LoopMetrics.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace quellon {

namespace {

// A nearest-neighbour grey copy whose shorter side is at most shortSide.
PixelBufferRef greyCopy(const PixelBuffer& frame, int shortSide)
{
    const int side = std::min(frame.width(), frame.height());
    const double scale = side > shortSide ? static_cast<double>(shortSide) / side : 1.0;
    const int width = std::max(1, static_cast<int>(std::lround(frame.width() * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(frame.height() * scale)));
    PixelBufferRef grey = PixelBuffer::create(width, height, kPixelFormatGray8);
    if (!grey)
        return nullptr;
    auto in = frame.lockForReading();
    auto out = grey->lockForWriting();
    std::vector<int> columns(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x)
        columns[static_cast<std::size_t>(x)] = std::min(frame.width() - 1, static_cast<int>(x / scale));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = in.row(std::min(frame.height() - 1, static_cast<int>(y / scale)));
        std::uint8_t* target = out.row(y);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = source + 4 * columns[static_cast<std::size_t>(x)];
            target[x] = static_cast<std::uint8_t>((29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8);
        }
    }
    return grey;
}

// A grey copy as a BGRA buffer, which the face detectors take.
PixelBufferRef asBGRA(const PixelBuffer& grey)
{
    PixelBufferRef frame = PixelBuffer::create(grey.width(), grey.height());
    if (!frame)
        return nullptr;
    auto in = grey.lockForReading();
    auto out = frame->lockForWriting();
    for (int y = 0; y < grey.height(); ++y) {
        const std::uint8_t* source = in.row(y);
        std::uint8_t* target = out.row(y);
        for (int x = 0; x < grey.width(); ++x) {
            target[4 * x] = target[4 * x + 1] = target[4 * x + 2] = source[x];
            target[4 * x + 3] = 255;
        }
    }
    return frame;
}

} // namespace

void LoopClipAnalysis::add(const PixelBuffer& frame, double time)
{
    signatures_.push_back(LoopEntry::signature(frame, kSignatureGrid).value_or(FrameSignature{}));
    times_.push_back(time);
    greys_.push_back(eyeFrames_ == EyeFrames::kept && frame.isBGRA() ? greyCopy(frame, kEyeFrameShortSide) : nullptr);
}

LoopQualityReport LoopClipAnalysis::report(double start, double end) const
{
    std::vector<FrameSignature> window;
    std::vector<double> lumas;
    for (std::size_t i = 0; i < times_.size(); ++i) {
        if (times_[i] < start || times_[i] > end)
            continue;
        window.push_back(signatures_[i]);
        lumas.insert(lumas.end(), signatures_[i].begin(), signatures_[i].end());
    }
    return LoopQualityReport::evaluate(LoopMetrics::meanLuminance(lumas), LoopMetrics::averageMotion(window),
                                       LoopMetrics::boundaryJump(window), seconds(start, end));
}

double LoopClipAnalysis::seconds(double start, double end) const
{
    std::optional<double> first, last;
    std::size_t count = 0;
    for (double time : times_) {
        if (time < start || time > end)
            continue;
        first = first.value_or(time);
        last = time;
        ++count;
    }
    if (count < 2)
        return 0;
    return (*last - *first) * static_cast<double>(count) / static_cast<double>(count - 1);
}

namespace {

// Closed eyes in a frame where the box detector sees a face; nothing where it sees none.
std::optional<bool> eyesClosedIn(const PixelBufferRef& frame, FaceDetector& faces, const std::function<FaceDetector&()>& landmarks)
{
    if (!frame)
        return std::nullopt;
    const auto found = faces.detect(*frame, FaceDetector::Detail::rectangles);
    if (!found || found->empty())
        return std::nullopt;
    return LoopEyeOpenness::eyesClosed(*frame, landmarks());
}

} // namespace

std::optional<LoopSeamFinder::Seam> LoopClipAnalysis::seam(double minDuration, double maxDuration,
                                                           FaceDetector& faces,
                                                           const std::function<FaceDetector&()>& landmarks) const
{
    return LoopSeamFinder::bestSeam(signatures_, times_, minDuration, maxDuration, kMaxSeamCandidates,
                                    [&](std::int64_t index) { return eyesClosedIn(eyeFrame(index), faces, landmarks); });
}

std::optional<LoopSeamFinder::Seam> LoopClipAnalysis::seam(double minDuration, double maxDuration, FaceDetector& faces,
                                                           const std::function<FaceDetector&()>& landmarks,
                                                           const FrameSource& source) const
{
    const std::vector<std::int64_t> wanted = eyeTestFrames(minDuration, maxDuration);
    std::vector<double> times;
    for (std::int64_t index : wanted)
        times.push_back(times_[static_cast<std::size_t>(index)] - times_.front());
    std::map<std::int64_t, PixelBufferRef> greys;
    if (source && !wanted.empty())
        source(times, [&](std::size_t k, const PixelBuffer& frame) {
            if (k < wanted.size() && frame.isBGRA())
                greys[wanted[k]] = greyCopy(frame, kEyeFrameShortSide);
        });
    return LoopSeamFinder::bestSeam(signatures_, times_, minDuration, maxDuration, kMaxSeamCandidates,
                                    [&](std::int64_t index) -> std::optional<bool> {
                                        const auto found = greys.find(index);
                                        if (found == greys.end() || !found->second)
                                            return std::nullopt;
                                        return eyesClosedIn(asBGRA(*found->second), faces, landmarks);
                                    });
}

std::vector<std::int64_t> LoopClipAnalysis::eyeTestFrames(double minDuration, double maxDuration) const
{
    // The best candidates as the seam finder ranks them: by jump, ties in scan order. Only
    // those are kept, so a long clip's many pairs cost no memory.
    struct Candidate {
        double jump;
        std::int64_t start, end;
    };
    const auto limit = static_cast<std::size_t>(kMaxSeamCandidates);
    std::vector<Candidate> best;
    const auto count = static_cast<std::int64_t>(times_.size());
    for (std::int64_t i = 0; i + 1 < count; ++i)
        for (std::int64_t j = i + 1; j < count; ++j) {
            const double duration = times_[static_cast<std::size_t>(j)] - times_[static_cast<std::size_t>(i)];
            if (!(minDuration <= duration && duration <= maxDuration))
                continue;
            const Candidate candidate{LoopMetrics::frameDifference(signatures_[static_cast<std::size_t>(i)], signatures_[static_cast<std::size_t>(j)]), i, j};
            if (best.size() == limit && !(candidate.jump < best.back().jump))
                continue;
            const auto at = std::upper_bound(best.begin(), best.end(), candidate.jump,
                                             [](double jump, const Candidate& kept) { return jump < kept.jump; });
            best.insert(at, candidate);
            if (best.size() > limit)
                best.pop_back();
        }
    const std::size_t kept = best.size();
    auto& candidates = best;
    std::set<std::int64_t> frames;
    for (std::size_t k = 0; k < kept; ++k) {
        frames.insert(candidates[k].start);
        frames.insert(candidates[k].end);
    }
    return {frames.begin(), frames.end()};
}

PixelBufferRef LoopClipAnalysis::eyeFrame(std::int64_t index) const
{
    if (index < 0 || index >= frameCount() || !greys_[static_cast<std::size_t>(index)])
        return nullptr;
    return asBGRA(*greys_[static_cast<std::size_t>(index)]);
}

} // namespace quellon
