#pragma once
// The host's methods on the session bus, for `quellon live|away|standby|status` and busctl.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sdbus {
class IConnection;
class IObject;
} // namespace sdbus

namespace quellon::host {

class HostController;

/// Exports the host's interface on a connection whose messages the host's main loop
/// processes, so every method runs on the loop thread. Construct and destroy there.
///
///   SetMode(s mode)       "live", "away" or "standby"
///   Status() -> s json    the HostStatus JSON
///   SetLoop(s name)       the active loop, by its clip file name
///   SetCamera(s id)       the physical camera, by an ID from `quellon cameras`
///   Record(d seconds)     0 records the default length
///   Quit()                ends the host after the reply
class HostBusObject {
public:
    /// describeAutomation, when given, fills HostStatus::automation of every Status reply.
    HostBusObject(sdbus::IConnection& connection, HostController& controller, std::function<void()> quit,
                  std::function<std::optional<std::string>()> describeAutomation = {});
    ~HostBusObject();
    HostBusObject(const HostBusObject&) = delete;
    HostBusObject& operator=(const HostBusObject&) = delete;

private:
    std::unique_ptr<sdbus::IObject> object_;
};

} // namespace quellon::host
