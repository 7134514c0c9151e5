#pragma once

#include "playback/PixelBuffer.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace quellon {

/// What a capture delivers: the picture size, the nominal frame rate and the codec it arrives in.
struct CaptureFormat {
    int width = 0;
    int height = 0;
    double fps = 0;
    std::string codec; // the input's own codec name, e.g. "mjpeg", "rawvideo", "h264"
    bool operator==(const CaptureFormat&) const = default;
};

/// One captured picture, BGRA, and its time in seconds since the first frame.
struct CapturedFrame {
    PixelBufferRef image;
    double time = 0;
    /// The picture's own JPEG bytes when the input delivers MJPEG, so it can be passed on
    /// without encoding it again; nothing for other codecs.
    std::shared_ptr<const std::string> jpeg = nullptr;
};

/// A camera or other input that cannot be opened or stops working: missing, busy, unplugged,
/// undecodable. The message is for the user.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A source of frames: a physical camera, a file, a filter graph, or a fake in tests.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;

    virtual CaptureFormat format() const = 0;

    /// The next frame; nothing at the end of the input or after interrupt(). Throws
    /// CaptureError when the input fails (a camera unplugged, or silent for too long).
    virtual std::optional<CapturedFrame> read() = 0;

    /// Makes a read() in progress, and every later one, return nothing promptly. Safe to call
    /// from any thread (and from a signal handler's helper thread).
    virtual void interrupt() = 0;
};

} // namespace quellon
