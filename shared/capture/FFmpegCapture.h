#pragma once

#include "capture/CaptureInput.h"
#include "capture/CaptureSource.h"

#include <memory>

namespace quellon {

struct CaptureOptions {
    /// Deliver frames no faster than their timestamps, as a camera would. Cameras are paced by
    /// themselves; files and filter graphs are paced only when this is set.
    bool realtime = true;
    /// Longest wait for a frame (and for a camera to open) before read() gives up.
    double stallSeconds = 5;
};

/// Opens an input with FFmpeg: a camera through libavdevice's v4l2 input (asking for MJPEG at
/// 1280×720 and 30 fps, and taking what the camera offers when it has not that), a filter
/// graph through the lavfi input, anything else as a media file. Frames come out as BGRA.
/// Throws CaptureError with a message for the user: missing, busy, unplugged, or undecodable.
std::unique_ptr<CaptureSource> openCapture(const CaptureInput& input, const CaptureOptions& options = {});

} // namespace quellon
