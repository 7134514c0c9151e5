#pragma once

#include <filesystem>
#include <memory>

#include "analysis/FaceDetector.h"

namespace quellon {

class LogSink;

/// Face detection with dlib: its HOG frontal face detector on a downscaled grey copy, and its
/// 68-point shape predictor for the eyes and the roll.
///
/// Landmark numbering follows the iBUG 68-point scheme. `FaceLandmarks::leftEye` is the
/// person's own left eye (points 42–47, on the right of an unmirrored picture) and `rightEye`
/// the person's right eye (points 36–41). Eye points are normalised to the face's box (0 to 1
/// across it, origin at its lower left) so that their height-to-width ratio is the one in
/// pixels: the boxes are square in pixels.
///
/// Roll is the angle, in radians, of the line from the person's right eye centre to their left
/// eye centre, with y pointing up: 0 for an upright face, positive when the face tilts
/// counter-clockwise in the picture. It is measured only with landmarks: placing them costs
/// half as much again as finding the face, too much for every frame of a loop. Absent when
/// the landmark model could not be loaded.
namespace DlibFaceDetection {

/// Where Debian's libdlib-data puts the 68-point landmark model.
inline constexpr const char* kDefaultModelPath = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
/// Environment variable that, when set, names another landmark model file.
inline constexpr const char* kModelPathVariable = "QUELLON_FACE_LANDMARKS_MODEL";

/// HOG scans an 80 × 80 window, so the smallest face it finds is about 80 pixels tall in the
/// image it looks at. Frames are scaled so that a face kSmallestFaceShare of the frame height
/// tall is that large: faces at laptop framing (a fifth to a third of the height) are found,
/// and a 720p frame is scanned at about three quarters of its size.
inline constexpr double kSmallestFaceShare = 0.15;
inline constexpr int kSmallestScannedFace = 80;
inline constexpr int kScanHeight = 534; // kSmallestScannedFace / kSmallestFaceShare
/// Smaller frames are enlarged for the scan, by at most this much.
inline constexpr double kMaxEnlargement = 2.0;
/// A frame is first scanned at this height, a fifth of the cost, which finds faces a third of
/// the frame tall and larger; when it finds one, smaller faces are not looked for.
inline constexpr double kQuickScanHeight = 240;
/// A search near a known face scans where that face is this many pixels tall: above the
/// window's 80, so the face may shrink by a fifth (leaning back) and still be found, and it
/// may grow as much as it likes.
inline constexpr double kNearScanFace = 100;

/// A detector using the landmark model at modelPath, loaded now. When the model cannot be
/// read, one error line says why and every answer comes without landmarks and without roll.
/// (The detector of each thread, threadFaceDetector(), reads the shared model only when
/// landmarks are first asked for: reading it takes about a second.)
std::unique_ptr<FaceDetector> make(const std::filesystem::path& modelPath, LogSink& log);

} // namespace DlibFaceDetection
} // namespace quellon
