#include "analysis/LoopEyeOpenness.h"

#include "analysis/FaceDetector.h"

#include <algorithm>

namespace quellon::LoopEyeOpenness {

std::optional<double> aspectRatio(const std::vector<NormalizedPoint>& eyePoints)
{
    if (eyePoints.size() < 2)
        return std::nullopt;
    const auto [minX, maxX] = std::minmax_element(eyePoints.begin(), eyePoints.end(),
                                                  [](const auto& a, const auto& b) { return a.x < b.x; });
    const auto [minY, maxY] = std::minmax_element(eyePoints.begin(), eyePoints.end(),
                                                  [](const auto& a, const auto& b) { return a.y < b.y; });
    const double width = maxX->x - minX->x;
    if (!(width > 0))
        return std::nullopt;
    return (maxY->y - minY->y) / width;
}

std::optional<bool> areEyesClosed(const std::vector<NormalizedPoint>& leftEyePoints,
                                  const std::vector<NormalizedPoint>& rightEyePoints, double threshold)
{
    double sum = 0;
    int count = 0;
    for (const auto* points : {&leftEyePoints, &rightEyePoints}) {
        if (const auto ratio = aspectRatio(*points)) {
            sum += *ratio;
            ++count;
        }
    }
    if (count == 0)
        return std::nullopt;
    return sum / count < threshold;
}

std::optional<bool> eyesClosed(const PixelBuffer& frame, FaceDetector& detector)
{
    const auto faces = detector.detect(frame, FaceDetector::Detail::landmarks);
    if (!faces)
        return std::nullopt;
    return eyesClosed(*faces);
}

std::optional<bool> eyesClosed(const std::vector<FaceObservation>& faces)
{
    if (faces.empty())
        return std::nullopt;
    const FaceObservation* largest = &faces.front();
    for (const FaceObservation& face : faces)
        if (face.boundingBox.area() > largest->boundingBox.area())
            largest = &face;
    if (!largest->landmarks)
        return std::nullopt;
    static const std::vector<NormalizedPoint> none;
    const FaceLandmarks& landmarks = *largest->landmarks;
    return areEyesClosed(landmarks.leftEye ? *landmarks.leftEye : none, landmarks.rightEye ? *landmarks.rightEye : none,
                         closedThreshold);
}

std::optional<bool> eyesClosed(const PixelBuffer& frame)
{
    return eyesClosed(frame, threadFaceDetector());
}

} // namespace quellon::LoopEyeOpenness
