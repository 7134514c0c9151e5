#pragma once

#include "backends/CameraBackend.h"
#include "backends/FrameConverter.h"
#include "backends/V4L2Syscalls.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

class LogSink;

/// The production camera: a v4l2loopback device that every Linux meeting app sees. A device is
/// added through the control node with the camera name as its card label and removed the same
/// way; its output format is set once (1280 × 720, YUYV or I420) and every frame is converted
/// from BGRA, scaled when its size differs. Clients are counted from the driver's client-usage
/// event; a driver without it counts as one client for as long as the device exists.
class V4L2LoopbackBackend final : public CameraProvider {
public:
    V4L2LoopbackBackend(V4L2Syscalls& syscalls, LogSink& log, OutputPixelFormat pixelFormat = OutputPixelFormat::yuyv,
                        std::string controlNode = V4L2Loopback::kControlNode);
    /// Withdraws the devices still published.
    ~V4L2LoopbackBackend() override;

    /// True when the control node can be opened for reading and writing.
    static bool controlNodeUsable(V4L2Syscalls& syscalls = V4L2Syscalls::system(),
                                  const std::string& controlNode = V4L2Loopback::kControlNode);
    /// The name as a card label: at most 31 bytes, cut before a character rather than inside it.
    static std::string cardLabel(std::string_view name);

    std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) override;
    void addDevice(const std::shared_ptr<CameraDevice>& device) override;
    void removeDevice(const std::shared_ptr<CameraDevice>& device) override;
    /// "v4l2:/dev/videoN" of the device published now; "v4l2" without one.
    std::string sinkDescription() const override;

    class Device;

private:
    int openControlNode();

    V4L2Syscalls& syscalls_;
    LogSink& log_;
    OutputPixelFormat pixelFormat_;
    std::string controlNode_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> published_;
};

} // namespace quellon
