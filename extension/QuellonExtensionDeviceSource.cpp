#include "QuellonExtensionDeviceSource.h"

#include "QuellonExtensionStreamSource.h"
#include "platform/Log.h"
#include "playback/PixelBuffer.h"
#include "platform/UUID.h"
#include "state/QuellonIdentifiers.h"

namespace quellon {

namespace {

constexpr std::uint32_t kTransportTypeVirtual = fourCharacterCode('v', 'i', 'r', 't');

} // namespace

DeviceIdentity QuellonExtensionDeviceSource::identityNamed(std::string localizedName)
{
    DeviceIdentity identity;
    identity.localizedName = std::move(localizedName);
    // The legacy ID is not in UUID form, so each device gets a fresh random UUID; clients that
    // need a stable identity across launches use the legacy ID.
    auto parsed = UUID::fromString(QuellonIdentifiers::virtualCameraDeviceUID);
    identity.deviceID = (parsed ? *parsed : UUID::random()).uuidString();
    identity.legacyID = QuellonIdentifiers::virtualCameraDeviceUID;
    identity.model = kModel;
    identity.manufacturer = kManufacturer;
    identity.transportType = kTransportTypeVirtual;
    return identity;
}

QuellonExtensionDeviceSource::QuellonExtensionDeviceSource(std::string localizedName, CameraProvider& provider,
                                                           const ExtensionServices& services)
    : streamID_(UUID::random().uuidString())
{
    device_ = provider.makeDevice(identityNamed(localizedName));
    streamSource_ = QuellonExtensionStreamSource::create(localizedName + kStreamNameSuffix, streamID_, device_, services);
    try {
        device_->addStream(streamSource_->stream());
    } catch (const std::exception& error) {
        services.log.write(LogLevel::error, std::string("Quellon: failed to add stream: ") + error.what());
    }
}

QuellonExtensionDeviceSource::~QuellonExtensionDeviceSource() = default;

DevicePropertyValues QuellonExtensionDeviceSource::deviceProperties(const std::set<DeviceProperty>& requested) const
{
    DevicePropertyValues values;
    if (requested.contains(DeviceProperty::transportType))
        values.transportType = device_->identity().transportType;
    if (requested.contains(DeviceProperty::model))
        values.model = device_->identity().model;
    return values;
}

} // namespace quellon
