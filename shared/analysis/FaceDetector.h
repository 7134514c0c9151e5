#pragma once

#include <optional>
#include <vector>

#include "analysis/FaceObservation.h"

namespace quellon {

class PixelBuffer;

/// Finds faces in a frame. Boxes and points are normalised with the origin at the lower left.
class FaceDetector {
public:
    enum class Detail {
        rectangles, ///< boxes (and roll where the detector measures it without landmarks)
        landmarks,  ///< boxes, roll and eye contours: costlier
    };

    virtual ~FaceDetector() = default;

    /// The faces in a BGRA or J420 frame in the detector's order; absent when detection failed
    /// (for example a frame in another format). An empty list means the detector looked and
    /// found nobody.
    virtual std::optional<std::vector<FaceObservation>> detect(const PixelBuffer& frame, Detail detail) = 0;

    /// The faces near `near`, a face found in a neighbouring frame: only the part of the frame
    /// reaching the box's own size beyond it on every side is looked at, and only at the scale
    /// that finds a face of about that size or larger. Far quicker than detect for small faces;
    /// faces elsewhere go unseen. This base searches the whole frame.
    virtual std::optional<std::vector<FaceObservation>> detectNear(const PixelBuffer& frame, const NormalizedRect& near,
                                                                   Detail detail)
    {
        (void)near;
        return detect(frame, detail);
    }
};

/// The detector of the calling thread (dlib's HOG detector with the shared landmark model).
/// Each thread gets its own, so callers on several threads never wait for each other. The
/// shared landmark model is read when landmarks are first asked for.
FaceDetector& threadFaceDetector();

/// Reads the shared landmark model now (it takes about a second), for callers that know they
/// will ask for landmarks soon and have time to spare.
void preloadFaceLandmarks();

} // namespace quellon
