#include "QuellonExtensionProviderSource.h"

#include "QuellonExtensionDeviceSource.h"
#include "QuellonExtensionStreamSource.h"
#include "QuellonRenameBridge.h"
#include "SerialQueue.h"
#include "backends/CameraBackend.h"
#include "platform/Log.h"
#include "state/QuellonIdentifiers.h"
#include "state/UnicodeText.h"

namespace quellon {

QuellonExtensionProviderSource::QuellonExtensionProviderSource(CameraProvider& provider,
                                                               const ExtensionServices& services)
    : renameQueue_(std::make_unique<SerialQueue>(kRenameQueueLabel)), provider_(provider), services_(services)
{
}

std::shared_ptr<QuellonExtensionProviderSource> QuellonExtensionProviderSource::create(CameraProvider& provider,
                                                                                       const ExtensionServices& services)
{
    std::shared_ptr<QuellonExtensionProviderSource> source(new QuellonExtensionProviderSource(provider, services));
    auto deviceSource = std::make_shared<QuellonExtensionDeviceSource>(
        QuellonIdentifiers::effectiveVirtualCameraName(services.defaults), provider, services);
    source->deviceSource_ = deviceSource;
    try {
        provider.addDevice(deviceSource->device());
    } catch (const std::exception& error) {
        services.log.write(LogLevel::error, std::string("Quellon: failed to add device: ") + error.what());
        source->publishError_ = error.what();
    }
    services.renameBridge.setApply([weak = std::weak_ptr(source)](const std::string& name) {
        if (auto self = weak.lock())
            self->renameDevice(name);
    });
    return source;
}

QuellonExtensionProviderSource::~QuellonExtensionProviderSource() = default;

std::shared_ptr<QuellonExtensionDeviceSource> QuellonExtensionProviderSource::deviceSource() const
{
    std::lock_guard lock(mutex_);
    return deviceSource_;
}

std::optional<std::string> QuellonExtensionProviderSource::manufacturer(const std::set<ProviderProperty>& requested) const
{
    if (!requested.contains(ProviderProperty::manufacturer))
        return std::nullopt;
    return std::string(QuellonExtensionDeviceSource::kManufacturer);
}

void QuellonExtensionProviderSource::renameDevice(std::string name)
{
    renameQueue_->async([weak = weak_from_this(), name = std::move(name)] {
        if (auto self = weak.lock())
            self->performRename(name);
    });
}

void QuellonExtensionProviderSource::drainRenames() const
{
    renameQueue_->sync([] {});
}

// Remove, add, and put the old device back when the add fails, so the camera never stays
// unpublished because of a rename.
void QuellonExtensionProviderSource::performRename(const std::string& name)
{
    auto current = deviceSource();
    if (!current || current->localizedName() == name)
        return;
    try {
        provider_.checkRenamable(name);
    } catch (const std::exception& error) {
        services_.log.write(LogLevel::error, std::string("Quellon: rename failed: ") + error.what());
        return;
    }
    try {
        provider_.removeDevice(current->device());
    } catch (const std::exception& error) {
        services_.log.write(LogLevel::error, std::string("Quellon: rename removeDevice failed: ") + error.what());
        return;
    }
    std::shared_ptr<QuellonExtensionDeviceSource> replacement;
    try {
        // Making the replacement can throw as well (no memory, no queue): restored the same way.
        replacement = std::make_shared<QuellonExtensionDeviceSource>(name, provider_, services_);
        provider_.addDevice(replacement->device());
    } catch (const std::exception& error) {
        try {
            provider_.addDevice(current->device());
        } catch (const std::exception&) {
            // Nothing more can be done; the next launch publishes the device again.
        }
        services_.log.write(LogLevel::error, std::string("Quellon: rename addDevice failed, restored: ") + error.what());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        deviceSource_ = replacement;
    }
    // The withdrawn device's ticks end here, not whenever its last client's stop arrives.
    current->streamSource()->close();
    services_.log.write(LogLevel::info, "Quellon: device renamed live → " + labelSafeText(name));
}

std::string QuellonExtensionProviderSource::storedCameraName() const
{
    return QuellonIdentifiers::effectiveVirtualCameraName(services_.defaults);
}

void QuellonExtensionProviderSource::removeDevice()
{
    renameQueue_->sync([&] {
        if (auto current = deviceSource()) {
            try {
                provider_.removeDevice(current->device());
            } catch (const std::exception&) {
                // Shutting down: nothing to restore.
            }
            current->streamSource()->close();
        }
    });
}

} // namespace quellon
