#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/FaceObservation.h"
#include "analysis/FrameSignature.h"

namespace quellon {

class FaceDetector;
class PixelBuffer;

/// Describes the main face of a frame and picks the loop frame that best continues another
/// frame: where playback of a loop begins.
namespace LoopEntry {

/// The main face of a frame: its normalised box and, when measured, its roll in radians.
struct FaceGeometry {
    NormalizedRect box;
    std::optional<double> roll;
    bool operator==(const FaceGeometry&) const = default;
};

/// The frame's signature on a grid × grid lattice; absent for a grid below 1, a buffer that is
/// neither BGRA nor J420 (read by its luma), or an empty buffer.
std::optional<FrameSignature> signature(const PixelBuffer& frame, int grid);

/// The largest face in the frame, absent when none is found or detection fails. Uses the
/// calling thread's detector, which finds boxes only: the roll is absent.
std::optional<FaceGeometry> faceGeometry(const PixelBuffer& frame);

/// As above, with a given detector instead of the calling thread's, and looking only near a face
/// found in a neighbouring frame when `near` is given (FaceDetector::detectNear).
std::optional<FaceGeometry> faceGeometry(const PixelBuffer& frame, FaceDetector& detector,
                                         const std::optional<NormalizedRect>& near = std::nullopt);

/// The face with the largest box area (the first among equals); absent for an empty list.
std::optional<FaceGeometry> largestFaceGeometry(const std::vector<FaceObservation>& faces);

/// The index of the signature nearest the target; signatures of another length are skipped.
std::optional<std::int64_t> bestEntryIndex(const std::vector<FrameSignature>& signatures,
                                           const FrameSignature& target);

/// The index whose face best continues the target face (position, size, roll); falls back to
/// the signatures when there is no face to compare.
std::optional<std::int64_t> bestEntryIndex(const std::vector<std::optional<FaceGeometry>>& faceGeometries,
                                           const std::optional<FaceGeometry>& targetGeometry,
                                           const std::vector<FrameSignature>& signatures,
                                           const FrameSignature& targetSignature);

} // namespace LoopEntry
} // namespace quellon
