#pragma once

#include "backends/CameraBackend.h"
#include "backends/FrameConverter.h"
#include "backends/V4L2Syscalls.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellon {

class DeviceOpeners;
class LogSink;

/// How the v4l2loopback camera finds and feeds its devices.
struct V4L2LoopbackOptions {
    OutputPixelFormat pixelFormat = OutputPixelFormat::yuyv;
    std::string controlNode = V4L2Loopback::kControlNode;
    /// Write into this existing loopback device instead of adding one.
    std::optional<std::string> staticDevice;
    /// Who holds a node open; the system's /proc when null.
    DeviceOpeners* openers = nullptr;
};

/// The production camera: a v4l2loopback device that every Linux meeting app sees.
///
/// Two driver generations. Where the control node exists (0.13 and later) a device is added
/// through it with the camera name as its card label and removed the same way. Where it does
/// not (0.12, Debian 12's), the module's own devices are used: the one named on the command
/// line, else the loopback device whose card label is the camera name, else the first one;
/// such a device cannot be relabelled while the module is loaded.
///
/// On every device the output format is set once (1280 × 720, YUYV or I420), the driver is
/// asked to keep it, the rate is set, and one frame (the standby card) is written at once, so
/// that a device with exclusive capabilities announces capture and clients can find it.
/// Frames are then written only while readers are counted: from the driver's client-usage
/// event where it has one, else from the other processes holding the node open.
class V4L2LoopbackBackend final : public CameraProvider {
public:
    using Options = V4L2LoopbackOptions;

    V4L2LoopbackBackend(V4L2Syscalls& syscalls, LogSink& log, Options options = {});
    /// Withdraws the devices still published.
    ~V4L2LoopbackBackend() override;

    /// True when this backend can drive something here: a usable control node, or an existing
    /// loopback device.
    static bool probe(V4L2Syscalls& syscalls = V4L2Syscalls::system(),
                      const std::string& controlNode = V4L2Loopback::kControlNode);
    /// True when the control node can be opened for reading and writing.
    static bool controlNodeUsable(V4L2Syscalls& syscalls = V4L2Syscalls::system(),
                                  const std::string& controlNode = V4L2Loopback::kControlNode);
    /// True when node is a loopback device (VIDIOC_QUERYCAP); its card label in label.
    static bool isLoopbackDevice(V4L2Syscalls& syscalls, const std::string& node, std::string* label = nullptr);
    /// The name as a card label: at most 31 bytes, cut before a character rather than inside it.
    static std::string cardLabel(std::string_view name);

    /// True when devices are the module's own rather than added through the control node.
    bool staticDevices() const { return staticDevices_; }

    std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) override;
    void addDevice(const std::shared_ptr<CameraDevice>& device) override;
    void removeDevice(const std::shared_ptr<CameraDevice>& device) override;
    /// "v4l2:/dev/videoN" of the device published now; "v4l2" without one.
    std::string sinkDescription() const override;
    /// A static device keeps the label the module was loaded with: renaming fails unless some
    /// loopback device is labelled with the new name already.
    void checkRenamable(const std::string& newName) const override;
    /// Where name takes effect while the static device in use carries another label.
    std::string deferredRenameHint(const std::string& name) const override;

    class Device;

private:
    int openControlNode();
    std::pair<std::string, std::string> findStaticDevice(const std::string& name);

    V4L2Syscalls& syscalls_;
    LogSink& log_;
    Options options_;
    DeviceOpeners& openers_;
    bool staticDevices_ = false;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> published_;
};

} // namespace quellon
