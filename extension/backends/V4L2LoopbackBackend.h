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
    /// Card labels besides the camera name's that mark a device as ours.
    std::vector<std::string> ownLabels = {V4L2Loopback::kDefaultCardLabel};
    /// Who holds a node open; the system's /proc when null.
    DeviceOpeners* openers = nullptr;
};

/// The production camera: a v4l2loopback device that every Linux meeting app sees.
///
/// Two driver generations. Where the control node exists (0.13 and later) a device is added
/// through it with the camera name as its card label, exclusive capabilities asked for
/// explicitly, and removed the same way. Devices with our label left by an earlier run are
/// removed first, or, while a reader still holds one, taken over again. Where there is no
/// control node (0.12, Debian 12's), the module's own devices are used: the one named on the
/// command line, else the one labelled with the camera name or the default name. A loopback
/// device with any other label belongs to another program and is never touched.
///
/// On every device the output format is asked for (1280 × 720, YUYV or I420); the driver may
/// answer with the format it keeps (keep_format, or a reader holding the device), which is
/// then used when it is YUYV or I420 and refused otherwise. The driver is asked to keep the
/// format, the rate is set, and one frame (the standby card) is written at once, so that a
/// device with exclusive capabilities announces capture and clients can find it. Frames are
/// then written only while readers are counted: from the driver's client-usage event where it
/// has one, else from the other processes holding the node open. Letting go of a device writes
/// the standby card (black without one) over the last picture and clears keep_format, so no
/// reader is left with a frozen picture of the user.
class V4L2LoopbackBackend final : public CameraProvider {
public:
    using Options = V4L2LoopbackOptions;

    V4L2LoopbackBackend(V4L2Syscalls& syscalls, LogSink& log, Options options = {});
    /// Withdraws the devices still published.
    ~V4L2LoopbackBackend() override;

    /// True when this backend can drive something here: a usable control node, or an existing
    /// loopback device carrying one of labels (as cardLabel makes them).
    static bool probe(const std::vector<std::string>& labels, V4L2Syscalls& syscalls = V4L2Syscalls::system(),
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
    bool isOwnLabel(const std::string& label, const std::string& name) const;
    /// Removes the devices with our label that nobody holds; gives those with the camera's
    /// label still held (node and number), to be taken over.
    std::vector<std::pair<std::string, int>> clearLeftovers(int control, const std::string& name);

    V4L2Syscalls& syscalls_;
    LogSink& log_;
    Options options_;
    DeviceOpeners& openers_;
    bool staticDevices_ = false;
    /// Leftovers of an earlier run are looked for once, before the first device is added.
    bool leftoversCleared_ = false;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> published_;
};

} // namespace quellon
