#pragma once

#include "transport/PropertyTarget.h"

#include <functional>
#include <memory>
#include <string>

namespace quellon {

class QuellonExtensionProviderSource;

/// What the property socket talks to: routes the channel selectors to the stream source of
/// the device published now (a rename replaces it) and answers the camera-info selector.
class CameraPropertyRouter final : public PropertyTarget {
public:
    /// sinkDescription is asked on every camera-info read: a rename may move the device.
    CameraPropertyRouter(std::shared_ptr<QuellonExtensionProviderSource> provider,
                         std::function<std::string()> sinkDescription);

    void setProperty(std::uint32_t selector, std::string bytes) override;
    std::optional<std::string> property(std::uint32_t selector) override;
    /// Copies the frame out of the host's memory, then shows it like a pushed JPEG.
    void setRawFrame(int memory, std::string_view layout) override;

private:
    std::shared_ptr<QuellonExtensionProviderSource> provider_;
    std::function<std::string()> sinkDescription_;
};

} // namespace quellon
