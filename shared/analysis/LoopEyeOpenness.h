#pragma once

#include <optional>
#include <vector>

#include "analysis/FaceObservation.h"

namespace quellon {

class FaceDetector;
class PixelBuffer;

/// Whether the eyes are closed in a frame, from the height-to-width ratio of the eye contours.
namespace LoopEyeOpenness {

inline constexpr double closedThreshold = 0.18;

/// Height over width of the points' bounding box; absent for fewer than two points or no width.
std::optional<double> aspectRatio(const std::vector<NormalizedPoint>& eyePoints);

/// True when the mean ratio of the usable eyes is below threshold; absent when neither is usable.
std::optional<bool> areEyesClosed(const std::vector<NormalizedPoint>& leftEyePoints,
                                  const std::vector<NormalizedPoint>& rightEyePoints,
                                  double threshold);

/// The eyes of the largest face in the frame (the first among equal areas); absent when there
/// is no face, no landmarks or no usable eye, or detection failed. Runs the landmark model, the
/// costliest step of the analysis.
std::optional<bool> eyesClosed(const PixelBuffer& frame);

/// As above, with a given detector instead of the calling thread's.
std::optional<bool> eyesClosed(const PixelBuffer& frame, FaceDetector& detector);

/// As above, for faces already found with landmarks: a caller that needs the faces too detects
/// once.
std::optional<bool> eyesClosed(const std::vector<FaceObservation>& faces);

} // namespace LoopEyeOpenness
} // namespace quellon
