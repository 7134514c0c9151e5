#include "backends/InMemoryCameraBackend.h"

#include <algorithm>

namespace quellon {

std::shared_ptr<CameraDevice> InMemoryCameraBackend::makeDevice(DeviceIdentity identity)
{
    {
        std::lock_guard lock(mutex_);
        if (makeDeviceFailures_ > 0) {
            --makeDeviceFailures_;
            throw CameraBackendError("The device could not be made.");
        }
    }
    return std::make_shared<Device>(*this, std::move(identity));
}

void InMemoryCameraBackend::addDevice(const std::shared_ptr<CameraDevice>& device)
{
    auto ours = std::dynamic_pointer_cast<Device>(device);
    std::lock_guard lock(mutex_);
    if (addDeviceFailures_ > 0) {
        --addDeviceFailures_;
        throw CameraBackendError("The device could not be added.");
    }
    if (!ours || std::find(published_.begin(), published_.end(), ours) != published_.end())
        throw CameraBackendError("The device is already published.");
    published_.push_back(ours);
    events_.push_back("add " + ours->identity().localizedName);
}

void InMemoryCameraBackend::removeDevice(const std::shared_ptr<CameraDevice>& device)
{
    std::shared_ptr<Device> removed;
    {
        std::lock_guard lock(mutex_);
        if (removeDeviceFailures_ > 0) {
            --removeDeviceFailures_;
            throw CameraBackendError("The device could not be removed.");
        }
        auto it = std::find(published_.begin(), published_.end(), device);
        if (it == published_.end())
            throw CameraBackendError("The device is not published.");
        removed = *it;
        published_.erase(it);
        events_.push_back("remove " + removed->identity().localizedName);
    }
    if (auto stream = removed->stream())
        stream->stopAllClients();
}

void InMemoryCameraBackend::failMakeDevice(int times)
{
    std::lock_guard lock(mutex_);
    makeDeviceFailures_ = times;
}

void InMemoryCameraBackend::failAddDevice(int times)
{
    std::lock_guard lock(mutex_);
    addDeviceFailures_ = times;
}

void InMemoryCameraBackend::failRemoveDevice(int times)
{
    std::lock_guard lock(mutex_);
    removeDeviceFailures_ = times;
}

void InMemoryCameraBackend::failAddStream(int times)
{
    std::lock_guard lock(mutex_);
    addStreamFailures_ = times;
}

std::vector<std::string> InMemoryCameraBackend::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> InMemoryCameraBackend::publishedNames() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& device : published_)
        names.push_back(device->identity().localizedName);
    return names;
}

std::vector<std::shared_ptr<InMemoryCameraBackend::Device>> InMemoryCameraBackend::publishedDevices() const
{
    std::lock_guard lock(mutex_);
    return published_;
}

void InMemoryCameraBackend::Stream::send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos)
{
    std::lock_guard lock(mutex_);
    sent_.push_back({frame, hostTimeNanos});
}

void InMemoryCameraBackend::Stream::setFrameRate(int fps)
{
    std::lock_guard lock(mutex_);
    frameRate_ = fps;
}

void InMemoryCameraBackend::Stream::startClient()
{
    {
        std::lock_guard lock(mutex_);
        ++clients_;
    }
    if (auto handler = handler_.lock())
        handler->startStream();
}

void InMemoryCameraBackend::Stream::stopClient()
{
    {
        std::lock_guard lock(mutex_);
        clients_ = std::max(clients_ - 1, 0);
    }
    if (auto handler = handler_.lock())
        handler->stopStream();
}

void InMemoryCameraBackend::Stream::stopAllClients()
{
    int count = 0;
    {
        std::lock_guard lock(mutex_);
        count = clients_;
        clients_ = 0;
    }
    auto handler = handler_.lock();
    for (int i = 0; handler && i < count; ++i)
        handler->stopStream();
}

int InMemoryCameraBackend::Stream::clients() const
{
    std::lock_guard lock(mutex_);
    return clients_;
}

std::vector<InMemoryCameraBackend::SentFrame> InMemoryCameraBackend::Stream::sent() const
{
    std::lock_guard lock(mutex_);
    return sent_;
}

std::size_t InMemoryCameraBackend::Stream::sentCount() const
{
    std::lock_guard lock(mutex_);
    return sent_.size();
}

int InMemoryCameraBackend::Stream::frameRate() const
{
    std::lock_guard lock(mutex_);
    return frameRate_;
}

std::shared_ptr<CameraStream> InMemoryCameraBackend::Device::makeStream(StreamIdentity identity,
                                                                         std::weak_ptr<CameraStreamHandler> handler)
{
    return std::make_shared<Stream>(std::move(identity), std::move(handler));
}

void InMemoryCameraBackend::Device::addStream(const std::shared_ptr<CameraStream>& stream)
{
    auto ours = std::dynamic_pointer_cast<Stream>(stream);
    {
        std::lock_guard lock(backend_.mutex_);
        if (backend_.addStreamFailures_ > 0) {
            --backend_.addStreamFailures_;
            throw CameraBackendError("The stream could not be added.");
        }
        if (!ours)
            throw CameraBackendError("The stream belongs to another camera system.");
        backend_.events_.push_back("add stream " + ours->identity().localizedName);
    }
    std::lock_guard lock(mutex_);
    stream_ = ours;
}

std::shared_ptr<InMemoryCameraBackend::Stream> InMemoryCameraBackend::Device::stream() const
{
    std::lock_guard lock(mutex_);
    return stream_;
}

} // namespace quellon
