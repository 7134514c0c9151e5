#include "host/HostService.h"

#include <mutex>
#include <stdexcept>

namespace quellon::host {

// Placeholder until the service lands: holds the mode and nothing else.
struct HostService::Impl {
    HostOptions options;
    mutable std::mutex mutex;
    HostStatus status;
    ChangeHandler handler;
};

HostService::HostService(HostOptions options) : impl_(std::make_unique<Impl>())
{
    impl_->options = std::move(options);
}

HostService::~HostService() { stop(); }

void HostService::start() {}
void HostService::stop() {}

void HostService::setMode(QuellonMode mode, const std::string& cause)
{
    if (mode == QuellonMode::error)
        throw std::invalid_argument("the error mode is the host's own");
    std::lock_guard lock(impl_->mutex);
    impl_->status.mode = mode;
    impl_->status.modeCause = cause;
}

QuellonMode HostService::mode() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->status.mode;
}

HostStatus HostService::status() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->status;
}

void HostService::setActiveLoop(const std::string&, const std::string&) {}
void HostService::setAutoReturn(bool on)
{
    std::lock_guard lock(impl_->mutex);
    impl_->status.autoReturn = on;
}
void HostService::startRecording(double) { throw HostError("recording is not available yet"); }
PixelBufferRef HostService::latestCameraFrame() const { return {}; }
PixelBufferRef HostService::lastLiveFrame() const { return {}; }
void HostService::setKeepCameraOpen(bool) {}
void HostService::setChangeHandler(ChangeHandler handler)
{
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

} // namespace quellon::host
