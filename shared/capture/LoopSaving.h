#pragma once
// What turns a finished recording into a loop in the clips directory, shared by every recorder:
// the seam, the trim window, the cut and the sidecar.

#include "analysis/LoopClipAnalysis.h"
#include "analysis/LoopQualityReport.h"
#include "analysis/LoopSeamFinder.h"
#include "capture/CaptureSource.h"
#include "platform/FileIO.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace quellon {

class FaceDetector;

/// A face detector that finds boxes only: it needs no landmark model, so it is ready at once.
/// One per thread.
FaceDetector& boxDetector();

/// The best seam inside the trim bounds, checked for open eyes; nothing when the clip is too
/// short for one. An analysis that kept no grey copies has the frames of the eye test read
/// again from `clip` (the file it was made from), and only those.
std::optional<LoopSeamFinder::Seam> findSeam(const LoopClipAnalysis& analysis, const std::filesystem::path& clip = {});

/// "imported-x.mov", "x-1.mov" ...: the first of base + ".mov", base + "-N.mov" not taken.
std::string uniqueName(const std::string& base, const std::set<std::string>& existing);

/// "loop-20261207-054200": a recording's default name, from the local time.
std::string defaultLoopName();

/// A recording was cancelled; nothing was kept.
class RecordingCancelled : public std::runtime_error {
public:
    RecordingCancelled() : std::runtime_error("Recording cancelled; nothing was kept.") {}
};

struct SavedLoop {
    std::string filename;
    double duration = 0;        // of the clip
    double windowStart = 0;     // where it begins in the recording
    bool copied = false;        // cut without re-encoding
    std::optional<LoopSeamFinder::Seam> seam;
    LoopQualityReport report;
};

/// Cuts recording (of format, frames analysed into analysis, the last one at lastFrameTime) at
/// its best seam into clip, from the seam's start frame up to the frame before its end (the
/// loop wraps to the start instead), then writes the clip's sidecar. The clip never replaces a
/// file unless existing is ExistingFile::replace: when clip's name is taken by then, the next
/// free "-N" name is used (SavedLoop::filename). Removes the clip again when
/// anything fails or cancel becomes true (RecordingCancelled); leaves recording alone. Throws
/// CaptureError, or what storage throws.
SavedLoop saveRecordedLoop(const std::filesystem::path& recording, const LoopClipAnalysis& analysis,
                           const CaptureFormat& format, double lastFrameTime, const std::filesystem::path& clip,
                           const std::optional<std::string>& displayName, const std::atomic<bool>& cancel,
                           ExistingFile existing = ExistingFile::replace);

} // namespace quellon
