#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quellon {

/// One picture format a camera offers.
struct CameraMode {
    std::string pixelFormat; // the V4L2 four-character code, e.g. "MJPG", "YUYV"
    int width = 0;
    int height = 0;
    std::vector<double> fps; // the discrete rates offered, highest first; empty when not listed
    bool operator==(const CameraMode&) const = default;
};

/// A video capture device.
struct CameraDescription {
    std::string name; // the driver's card name, e.g. "HD Pro Webcam C920"
    /// Stable across reboots and replugging where the system provides one (/dev/v4l/by-id/...),
    /// else the device path. Either is accepted wherever a camera is chosen.
    std::string id;
    std::string path; // /dev/videoN
    std::vector<CameraMode> modes;
    std::string driver; // the V4L2 driver's name, e.g. "uvcvideo"; empty when it could not be asked
    bool operator==(const CameraDescription&) const = default;
};

/// Every capture device under devDirectory ("/dev"), in device order. Metadata and output-only
/// nodes are skipped; a device that cannot be opened (busy, no permission) is listed with its
/// name unknown and no modes, so the user still sees it. Virtual cameras (see
/// isVirtualCamera) are left out: feeding one to our camera would show it its own picture.
std::vector<CameraDescription> listCameras(const std::filesystem::path& devDirectory = "/dev");

/// A v4l2loopback device (ours or anyone's) or a device labelled with one of ourNames (the
/// names our camera goes by). Once primed, our own loopback device announces capture and is
/// often the first video device.
bool isVirtualCamera(const CameraDescription& camera, const std::vector<std::string>& ourNames);

/// The names our camera may carry: the default and the stored custom name.
std::vector<std::string> ourCameraNames();

/// cameras without the virtual ones.
std::vector<CameraDescription> physicalCameras(std::vector<CameraDescription> cameras,
                                               const std::vector<std::string>& ourNames);

/// The camera that id names (its stable id or its device path), if listed.
const CameraDescription* findCamera(const std::vector<CameraDescription>& cameras, const std::string& id);

} // namespace quellon
