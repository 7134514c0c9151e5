#pragma once

#include <optional>
#include <vector>

namespace quellon {

/// A rectangle in normalised image coordinates: 0 to 1 on each axis, origin at the lower left.
struct NormalizedRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    double area() const { return width * height; }
    bool operator==(const NormalizedRect&) const = default;
};

/// A point in normalised image coordinates (origin at the lower left).
struct NormalizedPoint {
    double x = 0;
    double y = 0;
    bool operator==(const NormalizedPoint&) const = default;
};

/// The contours of the two eyes of one face, in coordinates normalised to the face's bounding
/// box (0 to 1 across it, origin at its lower left), so that an eye's shape does not depend on
/// the frame's aspect. `leftEye` is the person's own left eye. A region the detector could not
/// place is absent.
struct FaceLandmarks {
    std::optional<std::vector<NormalizedPoint>> leftEye;
    std::optional<std::vector<NormalizedPoint>> rightEye;
    bool operator==(const FaceLandmarks&) const = default;
};

/// One face a detector found in an image.
struct FaceObservation {
    NormalizedRect boundingBox;
    /// Roll in radians, when the detector measures it.
    std::optional<double> roll;
    /// Present only when landmarks were asked for and found.
    std::optional<FaceLandmarks> landmarks;
    bool operator==(const FaceObservation&) const = default;
};

} // namespace quellon
