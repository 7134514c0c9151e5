#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace quellon {

/// A backend could not publish or withdraw a device or stream; what() is the localized
/// description that the daemon logs.
class CameraBackendError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// object as the backend's own type: a device or stream made by another backend is refused.
/// what names it in the error ("device", "stream").
template <class Own, class Base>
std::shared_ptr<Own> ownedByThisBackend(const std::shared_ptr<Base>& object, const char* what)
{
    if (auto own = std::dynamic_pointer_cast<Own>(object))
        return own;
    throw CameraBackendError(std::string("The ") + what + " belongs to another camera system.");
}

/// Who a published device claims to be.
struct DeviceIdentity {
    std::string localizedName;
    /// Random upper-case UUID text, new for every device source.
    std::string deviceID;
    std::string legacyID;
    std::string model;
    std::string manufacturer;
    /// Four-character transport type, 'virt' for a virtual device.
    std::uint32_t transportType = 0;

    bool operator==(const DeviceIdentity&) const = default;
};

/// Who a stream claims to be.
struct StreamIdentity {
    std::string localizedName;
    std::string streamID;

    bool operator==(const StreamIdentity&) const = default;
};

/// The side of a stream that reacts to clients: the backend calls startStream when a client
/// starts reading and stopStream when it leaves, from a thread of its own.
class CameraStreamHandler {
public:
    virtual ~CameraStreamHandler() = default;
    virtual void startStream() = 0;
    virtual void stopStream() = 0;
    /// The picture a sink shows before any client streams (the standby card), for sinks that
    /// must hold a frame to be offered at all; none when there is nothing to show.
    virtual PixelBufferRef primeFrame() { return nullptr; }
};

/// Where a stream's frames go. Called on the frames queue only; must never block it for long.
class CameraStream {
public:
    virtual ~CameraStream() = default;
    virtual const StreamIdentity& identity() const = 0;
    /// One BGRA frame of any size, stamped with the host time in nanoseconds.
    virtual void send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos) = 0;
    /// The rate the frames are sent at, for sinks whose format carries one.
    virtual void setFrameRate(int fps) { (void)fps; }
};

/// One published camera. A device carries at most one stream.
class CameraDevice {
public:
    virtual ~CameraDevice() = default;
    virtual const DeviceIdentity& identity() const = 0;
    /// A new stream of this device whose clients are reported to handler (held weakly).
    virtual std::shared_ptr<CameraStream> makeStream(StreamIdentity identity,
                                                     std::weak_ptr<CameraStreamHandler> handler) = 0;
    /// Attaches the stream; throws CameraBackendError.
    virtual void addStream(const std::shared_ptr<CameraStream>& stream) = 0;
};

/// The camera system: makes devices and publishes or withdraws them. Devices are published
/// by addDevice and withdrawn by removeDevice, both throwing CameraBackendError. Withdrawing a
/// device reports a stop for each of its clients, so a device added again starts from none.
class CameraProvider {
public:
    virtual ~CameraProvider() = default;
    virtual std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) = 0;
    virtual void addDevice(const std::shared_ptr<CameraDevice>& device) = 0;
    virtual void removeDevice(const std::shared_ptr<CameraDevice>& device) = 0;
    /// Which sink serves the frames, e.g. "y4m:/path/camera.y4m" or "v4l2:/dev/video4".
    virtual std::string sinkDescription() const = 0;
    /// Throws CameraBackendError saying why when a published device cannot take the name
    /// newName live (a device whose name is fixed outside the daemon).
    virtual void checkRenamable(const std::string& newName) const { (void)newName; }
    /// Where a name that cannot be applied live takes effect, for hosts to show; empty when
    /// renames are live.
    virtual std::string deferredRenameHint(const std::string& name) const
    {
        (void)name;
        return {};
    }
};

} // namespace quellon
