#include "host/automation/LoopBus.h"

#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"

#include <cstdlib>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

LoopBusAttachment::LoopBusAttachment(MainLoop& loop, sdbus::IConnection& connection) : loop_(loop)
{
    watch_ = loop_.addWatch(
        [&connection] {
            const auto data = connection.getEventLoopPollData();
            return MainLoop::Wait{data.fd, data.events, data.getPollTimeout()};
        },
        [&connection] {
            while (connection.processPendingRequest()) {
            }
        });
}

LoopBusAttachment::~LoopBusAttachment()
{
    loop_.removeWatch(watch_);
}

std::string systemBusAddress()
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return address;
    return "unix:path=/run/dbus/system_bus_socket";
}

std::unique_ptr<sdbus::IConnection> openSystemBus()
{
    // A plain client connection to an address; the session-bus opener does exactly that.
    const std::string address = systemBusAddress();
    try {
        return openSessionBus(address);
    } catch (const NotificationBusError&) {
        throw NotificationBusError("cannot connect to the system bus at " + address);
    }
}

} // namespace quellon::host
