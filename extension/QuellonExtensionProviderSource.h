#pragma once

#include "ExtensionServices.h"
#include "backends/CameraBackend.h"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace quellon {

class CameraProvider;
class QuellonExtensionDeviceSource;
class SerialQueue;

/// The provider's properties.
enum class ProviderProperty { manufacturer };

/// The camera system's view of the daemon: publishes one device named after the user's chosen
/// camera name, and replaces it live when the name changes.
class QuellonExtensionProviderSource final : public std::enable_shared_from_this<QuellonExtensionProviderSource> {
public:
    static constexpr const char* kRenameQueueLabel = "com.quellon.ext.rename";

    /// Publishes the first device on provider and connects the rename bridge. A device that
    /// cannot be added is logged and the daemon carries on without one.
    static std::shared_ptr<QuellonExtensionProviderSource> create(CameraProvider& provider,
                                                                  const ExtensionServices& services);
    ~QuellonExtensionProviderSource();

    /// The current device source; replaced by a live rename.
    std::shared_ptr<QuellonExtensionDeviceSource> deviceSource() const;

    /// Replaces the published device by one named name, on the rename queue; returns at once.
    void renameDevice(std::string name);
    /// Waits until the renames already queued have run.
    void drainRenames() const;

    /// The camera name kept for the next start (the user's stored name, else the default).
    std::string storedCameraName() const;
    /// Where a name the backend cannot apply live takes effect; empty when renames are live.
    std::string deferredRenameHint(const std::string& name) const { return provider_.deferredRenameHint(name); }

    /// Withdraws the current device and closes its stream source; for shutdown. Once this
    /// returns no tick runs and none will, so the sources can be released before the backend.
    void removeDevice();
    /// Why the first device could not be published; none when it was. The daemon ends on it
    /// when the user asked for this sink, and tries the next one under `auto`.
    const std::optional<std::string>& publishError() const { return publishError_; }

    bool connectClient() const { return true; }
    void disconnectClient() const {}
    std::set<ProviderProperty> availableProperties() const { return {ProviderProperty::manufacturer}; }
    std::optional<std::string> manufacturer(const std::set<ProviderProperty>& requested) const;
    /// Accepts and ignores everything.
    void setProviderProperties() {}

    QuellonExtensionProviderSource(const QuellonExtensionProviderSource&) = delete;
    QuellonExtensionProviderSource& operator=(const QuellonExtensionProviderSource&) = delete;

private:
    QuellonExtensionProviderSource(CameraProvider& provider, const ExtensionServices& services);
    void performRename(const std::string& name);

    std::unique_ptr<SerialQueue> renameQueue_;
    CameraProvider& provider_;
    ExtensionServices services_;
    mutable std::mutex mutex_;
    std::shared_ptr<QuellonExtensionDeviceSource> deviceSource_;
    std::optional<std::string> publishError_;
};

} // namespace quellon
