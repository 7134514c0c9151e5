#pragma once

#include "ExtensionServices.h"
#include "backends/CameraBackend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace quellon {

class QuellonExtensionStreamSource;

/// The device's properties.
enum class DeviceProperty { transportType, model };

/// Requested device properties, each filled only when asked for.
struct DevicePropertyValues {
    std::optional<std::uint32_t> transportType;
    std::optional<std::string> model;
    bool operator==(const DevicePropertyValues&) const = default;
};

/// The published camera device and its one stream, under the camera's stable identity.
class QuellonExtensionDeviceSource {
public:
    static constexpr const char* kManufacturer = "Quellon";
    static constexpr const char* kModel = "Quellon Camera";
    static constexpr const char* kStreamNameSuffix = " Stream";

    /// Makes the device on provider and its stream source, and adds the stream to the device.
    /// A stream that cannot be added is logged; the device source is still usable.
    QuellonExtensionDeviceSource(std::string localizedName, CameraProvider& provider, const ExtensionServices& services);
    ~QuellonExtensionDeviceSource();

    const std::shared_ptr<CameraDevice>& device() const { return device_; }
    const std::shared_ptr<QuellonExtensionStreamSource>& streamSource() const { return streamSource_; }
    const std::string& streamID() const { return streamID_; }
    const std::string& localizedName() const { return device_->identity().localizedName; }

    /// The identity every device source publishes under a given name: a fresh device UUID
    /// each time, the same legacy ID always.
    static DeviceIdentity identityNamed(std::string localizedName);

    std::set<DeviceProperty> availableProperties() const { return {DeviceProperty::transportType, DeviceProperty::model}; }
    DevicePropertyValues deviceProperties(const std::set<DeviceProperty>& requested) const;
    /// Accepts and ignores everything.
    void setDeviceProperties() {}

    QuellonExtensionDeviceSource(const QuellonExtensionDeviceSource&) = delete;
    QuellonExtensionDeviceSource& operator=(const QuellonExtensionDeviceSource&) = delete;

private:
    std::shared_ptr<CameraDevice> device_;
    std::shared_ptr<QuellonExtensionStreamSource> streamSource_;
    std::string streamID_;
};

} // namespace quellon
