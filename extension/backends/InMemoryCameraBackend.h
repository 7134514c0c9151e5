#pragma once

#include "backends/CameraBackend.h"

#include <mutex>
#include <string>
#include <vector>

namespace quellon {

/// A camera system in memory, for tests: records what was added, removed and sent, plays
/// clients starting and stopping, and can be told to fail.
class InMemoryCameraBackend final : public CameraProvider {
public:
    struct SentFrame {
        PixelBufferRef frame;
        std::uint64_t hostTimeNanos = 0;
    };

    class Stream;
    class Device;

    std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) override;
    void addDevice(const std::shared_ptr<CameraDevice>& device) override;
    void removeDevice(const std::shared_ptr<CameraDevice>& device) override;
    std::string sinkDescription() const override { return "memory"; }

    // Failure switches: the next N calls of each kind throw CameraBackendError("…").
    void failMakeDevice(int times = 1);
    void failAddDevice(int times = 1);
    void failRemoveDevice(int times = 1);
    void failAddStream(int times = 1);

    /// "add NAME" / "remove NAME" / "add stream NAME", in call order, successful ones only.
    std::vector<std::string> events() const;
    /// Names of the devices published now.
    std::vector<std::string> publishedNames() const;
    std::vector<std::shared_ptr<Device>> publishedDevices() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<std::shared_ptr<Device>> published_;
    int makeDeviceFailures_ = 0;
    int addDeviceFailures_ = 0;
    int removeDeviceFailures_ = 0;
    int addStreamFailures_ = 0;

    friend class Device;
};

class InMemoryCameraBackend::Stream final : public CameraStream {
public:
    Stream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler)
        : identity_(std::move(identity)), handler_(std::move(handler)) {}

    const StreamIdentity& identity() const override { return identity_; }
    void send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos) override;
    void setFrameRate(int fps) override;

    /// Plays a client starting or stopping, as the camera system's callback would.
    void startClient();
    void stopClient();

    /// Stops every client still counted, as a withdrawn device does.
    void stopAllClients();

    std::vector<SentFrame> sent() const;
    std::size_t sentCount() const;
    int frameRate() const;
    int clients() const;

private:
    StreamIdentity identity_;
    std::weak_ptr<CameraStreamHandler> handler_;
    mutable std::mutex mutex_;
    std::vector<SentFrame> sent_;
    int frameRate_ = 0;
    int clients_ = 0;
};

class InMemoryCameraBackend::Device final : public CameraDevice {
public:
    Device(InMemoryCameraBackend& backend, DeviceIdentity identity) : backend_(backend), identity_(std::move(identity)) {}

    const DeviceIdentity& identity() const override { return identity_; }
    std::shared_ptr<CameraStream> makeStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler) override;
    void addStream(const std::shared_ptr<CameraStream>& stream) override;

    /// The attached stream, or null.
    std::shared_ptr<Stream> stream() const;

private:
    InMemoryCameraBackend& backend_;
    DeviceIdentity identity_;
    mutable std::mutex mutex_;
    std::shared_ptr<Stream> stream_;
};

} // namespace quellon
