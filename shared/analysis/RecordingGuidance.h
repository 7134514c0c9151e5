#pragma once

#include <optional>
#include <string_view>

namespace quellon {

/// The one hint, if any, for the person being recorded: light first, then the face.
namespace RecordingGuidance {

inline constexpr double darkThreshold = 0.12;
inline constexpr double brightThreshold = 0.9;

enum class Hint { tooDark, tooBright, noFaceDetected };

std::string_view message(Hint hint);

/// Both light thresholds are strict; a NaN luminance passes them and only the face decides.
std::optional<Hint> evaluate(double meanLuminance, bool faceDetected);

} // namespace RecordingGuidance
} // namespace quellon
