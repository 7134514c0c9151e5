#include "CameraPropertyRouter.h"

#include "QuellonExtensionDeviceSource.h"
#include "QuellonExtensionProviderSource.h"
#include "QuellonExtensionStreamSource.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"

namespace quellon {

namespace {

std::optional<StreamProperty> channelOf(std::uint32_t selector)
{
    switch (selector) {
    case QuellonCMIOChannel::stateSelector:
        return StreamProperty::state;
    case QuellonCMIOChannel::frameSelector:
        return StreamProperty::frame;
    case QuellonCMIOChannel::nameSelector:
        return StreamProperty::name;
    default:
        return std::nullopt;
    }
}

} // namespace

CameraPropertyRouter::CameraPropertyRouter(std::shared_ptr<QuellonExtensionProviderSource> provider,
                                           std::function<std::string()> sinkDescription)
    : provider_(std::move(provider)), sinkDescription_(std::move(sinkDescription))
{
}

void CameraPropertyRouter::setProperty(std::uint32_t selector, std::string bytes)
{
    auto channel = channelOf(selector);
    auto device = provider_->deviceSource();
    if (!channel || !device)
        return;
    device->streamSource()->setStreamProperties({{*channel, std::move(bytes)}});
}

void CameraPropertyRouter::setRawFrame(int memory, std::string_view layout)
{
    // Checked and copied even with no device to show it, so a bad frame is refused alike.
    PixelBufferRef frame = RawFrameChannel::receiveFrame(memory, layout);
    if (auto device = provider_->deviceSource())
        device->streamSource()->setPushedFrame(std::move(frame));
}

std::optional<std::string> CameraPropertyRouter::property(std::uint32_t selector)
{
    if (selector == QuellonCMIOChannel::rawFrameSelector)
        return std::string(RawFrameChannel::kFormatsValue);
    auto device = provider_->deviceSource();
    if (!device)
        return std::nullopt;
    const auto& stream = device->streamSource();
    if (selector == kCameraInfoSelector) {
        CameraInfo info;
        info.name = device->localizedName();
        info.legacyID = device->device()->identity().legacyID;
        info.deviceUUID = device->device()->identity().deviceID;
        info.streamUUID = device->streamID();
        info.fps = stream->fps();
        info.sink = sinkDescription_ ? sinkDescription_() : std::string();
        // Also when the names agree but the device apps see carries another label.
        const std::string stored = provider_->storedCameraName();
        const std::string hint = provider_->deferredRenameHint(stored);
        if (stored != info.name || !hint.empty()) {
            info.storedName = stored;
            if (!hint.empty())
                info.storedNameHint = hint;
        }
        return encodeJSON(info);
    }
    auto channel = channelOf(selector);
    if (!channel)
        return std::nullopt;
    auto values = stream->streamProperties({*channel});
    switch (*channel) {
    case StreamProperty::state:
        return values.state;
    case StreamProperty::frame:
        return values.frame;
    default:
        return values.name;
    }
}

} // namespace quellon
