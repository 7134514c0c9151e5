#include "host/HostBusObject.h"

#include "host/HostBus.h"
#include "host/HostController.h"

#include <cmath>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

namespace {

constexpr const char* cause = "command";

// Every failure becomes an error reply: an exception escaping a method would end the loop.
template <class Function>
auto replying(Function&& function)
{
    try {
        return function();
    } catch (const sdbus::Error&) {
        throw;
    } catch (const std::invalid_argument& error) {
        throw sdbus::Error(HostBus::invalidArgsError, error.what());
    } catch (const std::exception& error) {
        throw sdbus::Error(HostBus::failedError, error.what());
    }
}

} // namespace

HostBusObject::HostBusObject(sdbus::IConnection& connection, HostController& controller, std::function<void()> quit,
                             std::function<std::optional<std::string>()> describeAutomation)
    : object_(sdbus::createObject(connection, HostBus::objectPath))
{
    object_->registerMethod("SetMode")
        .onInterface(HostBus::interfaceName)
        .withInputParamNames("mode")
        .implementedAs([&controller](const std::string& text) {
            replying([&] {
                const auto mode = quellonModeFromRawValue(text);
                if (!mode || *mode == QuellonMode::error)
                    throw std::invalid_argument("unknown mode \"" + text + "\"; one of: live, away, standby");
                controller.setMode(*mode, cause);
            });
        });
    object_->registerMethod("Status")
        .onInterface(HostBus::interfaceName)
        .withOutputParamNames("json")
        .implementedAs([&controller, describeAutomation] {
            return replying([&] {
                HostStatus status = controller.status();
                if (describeAutomation)
                    status.automation = describeAutomation();
                return encodeJSON(status);
            });
        });
    object_->registerMethod("SetLoop")
        .onInterface(HostBus::interfaceName)
        .withInputParamNames("name")
        .implementedAs([&controller](const std::string& name) {
            replying([&] { controller.setActiveLoop(name, cause); });
        });
    object_->registerMethod("SetCamera")
        .onInterface(HostBus::interfaceName)
        .withInputParamNames("id")
        .implementedAs([&controller](const std::string& id) {
            replying([&] { controller.setCamera(id, cause); });
        });
    object_->registerMethod("Record")
        .onInterface(HostBus::interfaceName)
        .withInputParamNames("seconds")
        .implementedAs([&controller](double seconds) {
            replying([&] {
                if (seconds == 0)
                    seconds = HostBus::defaultRecordingSeconds;
                if (!std::isfinite(seconds) || seconds < 0 || seconds > 600)
                    throw std::invalid_argument("seconds must be more than 0 and at most 600");
                controller.startRecording(seconds);
            });
        });
    object_->registerMethod("Quit").onInterface(HostBus::interfaceName).implementedAs([quit = std::move(quit)] {
        quit();
    });
    object_->finishRegistration();
}

HostBusObject::~HostBusObject() = default;

} // namespace quellon::host
