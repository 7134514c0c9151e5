#pragma once

// What the loop library commands and the recorder share: finding clips by name, analysing a
// clip file, and printing a quality report.

#include "analysis/LoopClipAnalysis.h"
#include "capture/CaptureSource.h"
#include "capture/LoopSaving.h"

#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>

namespace quellon {
class FaceDetector;
}

namespace quellon::cli {

/// The clip file of a loop name given on the command line. Throws UsageError for a name that
/// is not a bare file name, names a sidecar or hidden file, or (when mustExist) no clip.
std::filesystem::path loopFile(const std::string& name, bool mustExist = true);

/// The file names in the clips directory (for choosing a name that does not collide).
std::set<std::string> clipNames();

/// A clip read once, front to back, as fast as it decodes.
struct ClipAnalysisResult {
    LoopClipAnalysis analysis;
    CaptureFormat format;
    double duration = 0; // the last frame's time plus one frame
};
/// Throws CommandError when the file cannot be decoded.
ClipAnalysisResult analyseClip(const std::filesystem::path& file);

/// "Grade B (Good loop), score 71" and one line per hint.
std::string describeReport(const LoopQualityReport& report);
nlohmann::json reportJSON(const LoopQualityReport& report);

} // namespace quellon::cli
