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
#include <vector>

namespace quellon {
class FaceDetector;
}

namespace quellon::cli {

/// A loop in the clips directory: its file name and the name `loops list` shows.
struct LibraryLoop {
    std::string filename;
    std::string displayName;
    bool operator==(const LibraryLoop&) const = default;
};

/// The loops in the clips directory, sorted by file name (sidecars and hidden files left out).
std::vector<LibraryLoop> libraryLoops();

/// A loop named on the command line: its file, and the library's entry when it is in the
/// library (nothing for a file elsewhere).
struct LoopArgument {
    std::filesystem::path file;
    std::optional<LibraryLoop> loop;

    /// 'Morning' for a library loop, the path otherwise; control characters made visible.
    std::string shownName() const;
};

enum class LoopPlaces {
    library,  // only loops in the clips directory
    anywhere, // any readable file too, by its path
};

/// What a loop argument means, for every command that takes one: the file name of a clip in
/// the library, with or without ".mov"; the display name `loops list` shows, when only one
/// loop has it; or a path (to a file in the library unless places is anywhere). Throws
/// UsageError for something that cannot name a loop, or a display name several loops share,
/// and CommandError when there is no such loop.
LoopArgument resolveLoop(const std::string& argument, LoopPlaces places);

/// The file names in the clips directory (for choosing a name that does not collide).
std::set<std::string> clipNames();

/// A clip read once, front to back, as fast as it decodes.
struct ClipAnalysisResult {
    LoopClipAnalysis analysis;
    CaptureFormat format;
    double duration = 0; // the last frame's time plus one frame
};
/// Throws CommandError when the file cannot be decoded. No grey copies are kept unless asked
/// for: findSeam reads the eye test's frames again from the file.
ClipAnalysisResult analyseClip(const std::filesystem::path& file,
                               LoopClipAnalysis::EyeFrames eyeFrames = LoopClipAnalysis::EyeFrames::none);

/// "Grade B (Good loop), score 71" and one line per hint.
std::string describeReport(const LoopQualityReport& report);
nlohmann::json reportJSON(const LoopQualityReport& report);

} // namespace quellon::cli
