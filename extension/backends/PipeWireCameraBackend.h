#pragma once

#include "backends/CameraBackend.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quellon {

class LogSink;

/// The camera as a PipeWire video source: a `Video/Source` node with media.role Camera and the
/// camera name as its description, which apps that take cameras from PipeWire (browsers,
/// OBS, GStreamer's pipewiresrc) list without any kernel module. Frames are 1280 × 720 in the
/// layout the client picks from those offered (BGRA, I420, YUY2, BGRx; see
/// PipeWireFrameFormats.h); other sizes are scaled. The node drives its own graph at the rate
/// frames are sent.
///
/// When PipeWire restarts, the node goes with it: its clients are reported gone, and the node
/// is published again as soon as PipeWire answers, retrying at most a second apart.
///
/// Clients are counted from the stream's state and the links to its node: none unless the
/// stream is streaming, then the number of links (at least one). Each send pushes one frame,
/// so frames flow only while a client streams.
class PipeWireCameraBackend final : public CameraProvider {
public:
    /// The node name clients can target (pipewiresrc target-object=…).
    static constexpr const char* kNodeName = "quellon-camera";

    /// Connects to the PipeWire daemon of this session; throws CameraBackendError when none answers.
    explicit PipeWireCameraBackend(LogSink& log);
    /// Withdraws the devices still published and disconnects.
    ~PipeWireCameraBackend() override;

    /// True when a PipeWire daemon answers here.
    static bool probe();

    std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) override;
    void addDevice(const std::shared_ptr<CameraDevice>& device) override;
    void removeDevice(const std::shared_ptr<CameraDevice>& device) override;
    /// "pipewire:quellon-camera", saying so while the node is withdrawn because PipeWire is away.
    std::string sinkDescription() const override;

    class Device;
    class Connection;

private:
    LogSink& log_;
    std::unique_ptr<Connection> connection_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Device>> published_;
};

} // namespace quellon
