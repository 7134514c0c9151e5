#include "host/HostClient.h"

#include "host/HostBus.h"
#include "menubar/NotificationBus.h"
#include "state/JSONCoding.h"

#include <chrono>
#include <cstdlib>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

namespace {

// A host answers at once; a hung one must not hang the command too.
constexpr auto callTimeout = std::chrono::seconds(10);

template <class Function>
auto translated(Function&& function)
{
    try {
        return function();
    } catch (const sdbus::Error& error) {
        const std::string& name = error.getName();
        if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner"
            || name == "org.freedesktop.DBus.Error.Disconnected")
            throw HostNotRunning();
        if (name == HostBus::invalidArgsError)
            throw std::invalid_argument(error.getMessage());
        if (name == HostBus::failedError)
            throw HostError(error.getMessage());
        throw HostError("the host did not answer: " + error.getMessage());
    }
}

} // namespace

HostNotRunning::HostNotRunning()
    : HostError("no host is running; start it with `quellon host` or `systemctl --user start quellon-host`")
{
}

HostClient::HostClient()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0')
        throw HostNotRunning();
    try {
        connection_ = openSessionBus(address);
    } catch (const NotificationBusError&) {
        throw HostNotRunning();
    }
    proxy_ = sdbus::createProxy(*connection_, HostBus::serviceName, HostBus::objectPath);
}

HostClient::~HostClient() = default;

void HostClient::setMode(QuellonMode mode)
{
    translated([&] {
        proxy_->callMethod("SetMode")
            .onInterface(HostBus::interfaceName)
            .withTimeout(callTimeout)
            .withArguments(std::string(rawValue(mode)));
    });
}

HostStatus HostClient::status()
{
    std::string json;
    translated([&] {
        proxy_->callMethod("Status").onInterface(HostBus::interfaceName).withTimeout(callTimeout).storeResultsTo(json);
    });
    try {
        return decodeHostStatus(json);
    } catch (const DecodingError& error) {
        throw HostError(std::string("the host's status is unreadable: ") + error.what());
    }
}

void HostClient::setLoop(const std::string& clipFilename)
{
    translated([&] {
        proxy_->callMethod("SetLoop").onInterface(HostBus::interfaceName).withTimeout(callTimeout).withArguments(clipFilename);
    });
}

void HostClient::setCamera(const std::string& id)
{
    translated([&] {
        proxy_->callMethod("SetCamera").onInterface(HostBus::interfaceName).withTimeout(callTimeout).withArguments(id);
    });
}

void HostClient::record(double seconds)
{
    translated([&] {
        proxy_->callMethod("Record").onInterface(HostBus::interfaceName).withTimeout(callTimeout).withArguments(seconds);
    });
}

void HostClient::quit()
{
    translated([&] { proxy_->callMethod("Quit").onInterface(HostBus::interfaceName).withTimeout(callTimeout); });
}

} // namespace quellon::host
