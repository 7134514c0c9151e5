#pragma once

#include "analysis/RecordingGuidance.h"
#include "capture/CaptureSource.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace quellon {

class FaceDetector;
class LoopClipAnalysis;

/// What the person being recorded is told, and how far along the take is.
struct RecordingObserver {
    /// The hint changed (nothing: all is well). Called from the guidance thread.
    std::function<void(std::optional<RecordingGuidance::Hint>)> hintChanged;
    /// Seconds recorded so far, after each frame. Called from the recording thread.
    std::function<void(double elapsed)> progress;
};

struct RecordingSummary {
    CaptureFormat format;
    std::string codec;         // what the clip was encoded as
    std::int64_t frames = 0;   // frames written
    std::int64_t dropped = 0;  // frames lost: gaps in the capture's timestamps
    double duration = 0;       // time of the last frame written
    double encodeSeconds = 0;  // time spent converting and encoding
    bool cancelled = false;    // stopped by the cancel flag before the time was up
};

/// Records seconds of source into file (replacing nothing: the caller picks a fresh hidden
/// name) while feeding every frame to analysis. About twice a second a downscaled copy of the
/// newest frame is judged for light and a face on a thread of its own, so the capture never
/// waits for the detector. Stops early when cancel becomes true or the input ends. Throws
/// CaptureError; the file is then incomplete and the caller removes it.
RecordingSummary recordLoop(CaptureSource& source, const std::filesystem::path& file, double seconds,
                            LoopClipAnalysis& analysis, FaceDetector* detector, const RecordingObserver& observer,
                            const std::atomic<bool>& cancel);

/// The mean luma (0 to 1) of a frame, sampled on a coarse grid.
double meanLuminance(const PixelBuffer& frame);

} // namespace quellon
