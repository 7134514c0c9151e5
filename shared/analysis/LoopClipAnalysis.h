#pragma once

#include "analysis/FrameSignature.h"
#include "analysis/LoopQualityReport.h"
#include "analysis/LoopSeamFinder.h"
#include "playback/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quellon {

class FaceDetector;

/// Everything the loop library needs to know about a clip, gathered one frame at a time so a
/// recording or a stored clip is looked at once, front to back, without keeping it in memory:
/// each frame's signature and time, and a small grey copy for the eye test of seam candidates.
class LoopClipAnalysis {
public:
    /// Signatures are taken on this grid, as the loop player takes them.
    static constexpr int kSignatureGrid = 12;
    /// The grey copies' shorter side: the face detector's finest scan, where a face 15 % of the
    /// height is the smallest it finds and its eyes are still large enough to be judged.
    static constexpr int kEyeFrameShortSide = 540;
    /// How many of the best seams may be tested for closed eyes.
    static constexpr std::int64_t kMaxSeamCandidates = 24;

    /// Whether grey copies are kept for the eye test. A grade alone needs none, and without
    /// them the analysis holds only each frame's signature and time.
    enum class EyeFrames { kept, none };
    explicit LoopClipAnalysis(EyeFrames eyeFrames = EyeFrames::kept) : eyeFrames_(eyeFrames) {}

    /// Records frame (BGRA) shown at time; frames that cannot be sampled are kept with an empty
    /// signature so the positions stay aligned.
    void add(const PixelBuffer& frame, double time);

    std::int64_t frameCount() const { return static_cast<std::int64_t>(times_.size()); }
    const std::vector<FrameSignature>& signatures() const { return signatures_; }
    const std::vector<double>& times() const { return times_; }

    /// Brightness (the mean of every signature sample), motion and boundary jump of the frames
    /// from start to end (seconds, inclusive), judged, and whether those frames make too short
    /// a loop.
    LoopQualityReport report(double start, double end) const;
    /// How long the frames from start to end last: each as long as their mean spacing; a single
    /// frame counts as no length at all.
    double seconds(double start, double end) const;

    /// Reads the clip again and hands use(k, frame) the frame shown at times[k], for every k
    /// (times ascending, counted from the first frame added, as a reader of the written clip
    /// counts them from its first picture); a frame it cannot find is left out.
    using FrameSource = std::function<void(const std::vector<double>& times,
                                           const std::function<void(std::size_t, const PixelBuffer&)>& use)>;

    /// The seam between minDuration and maxDuration whose boundary frames look most alike,
    /// preferring one where the eyes are open at both ends. Frames are first searched for a face
    /// with `faces` (boxes only); `landmarks` is asked for only when one is found, so a clip
    /// without faces never waits for the landmark model to load.
    std::optional<LoopSeamFinder::Seam> seam(double minDuration, double maxDuration, FaceDetector& faces,
                                             const std::function<FaceDetector&()>& landmarks) const;
    /// The same for an analysis that kept no grey copies: the boundary frames of the best
    /// kMaxSeamCandidates seams (at most twice as many frames) are read again from `source`, so
    /// the eye test holds those frames only, however long the clip.
    std::optional<LoopSeamFinder::Seam> seam(double minDuration, double maxDuration, FaceDetector& faces,
                                             const std::function<FaceDetector&()>& landmarks, const FrameSource& source) const;

    /// The frames the eye test may look at: the boundary frames of the best kMaxSeamCandidates
    /// seams between minDuration and maxDuration, ascending.
    std::vector<std::int64_t> eyeTestFrames(double minDuration, double maxDuration) const;

    /// Frame index's grey copy as a BGRA buffer, or nothing for an index out of range (or when
    /// no grey copies are kept).
    PixelBufferRef eyeFrame(std::int64_t index) const;

private:
    EyeFrames eyeFrames_;
    std::vector<FrameSignature> signatures_;
    std::vector<double> times_;
    std::vector<PixelBufferRef> greys_;
};

} // namespace quellon
