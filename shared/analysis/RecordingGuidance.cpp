#include "analysis/RecordingGuidance.h"

namespace quellon::RecordingGuidance {

std::string_view message(Hint hint)
{
    switch (hint) {
    case Hint::tooDark: return "Move into better light";
    case Hint::tooBright: return "Too bright \u2014 try softer or indirect light";
    case Hint::noFaceDetected: return "Center yourself in frame";
    }
    return "";
}

std::optional<Hint> evaluate(double meanLuminance, bool faceDetected)
{
    if (meanLuminance < darkThreshold)
        return Hint::tooDark;
    if (meanLuminance > brightThreshold)
        return Hint::tooBright;
    if (!faceDetected)
        return Hint::noFaceDetected;
    return std::nullopt;
}

} // namespace quellon::RecordingGuidance
