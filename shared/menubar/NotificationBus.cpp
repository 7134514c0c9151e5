#include "menubar/NotificationBus.h"

#include "menubar/MainLoop.h"

#include <cstdlib>
#include <cstring>
#include <systemd/sd-bus.h>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon {

std::string NotificationSignal::matchRule(const std::optional<std::string>& name)
{
    std::string rule = std::string("type='signal',path='") + objectPath + "',interface='" + interfaceName
        + "',member='" + member + "'";
    if (name) {
        // Inside a quoted match value only the quote needs care: close, escape, reopen.
        std::string quoted;
        for (char c : *name) {
            if (c == '\'')
                quoted += "'\\''";
            else
                quoted += c;
        }
        rule += ",arg0='" + quoted + "'";
    }
    return rule;
}

std::unique_ptr<sdbus::IConnection> openSessionBus(const std::string& address)
{
    // sdbus-c++ loses its sd_bus object when the connection fails, so every attempt on a bus
    // that is gone would leak; a probe of our own, freed either way, goes first.
    sd_bus* probe = nullptr;
    int result = sd_bus_new(&probe);
    if (result >= 0)
        result = sd_bus_set_address(probe, address.c_str());
    if (result >= 0)
        result = sd_bus_set_bus_client(probe, 1);
    if (result >= 0)
        result = sd_bus_start(probe);
    sd_bus_flush_close_unref(probe);
    if (result < 0)
        throw NotificationBusError("cannot connect to the session bus: " + std::string(std::strerror(-result)));
    try {
        return sdbus::createSessionBusConnectionWithAddress(address);
    } catch (const sdbus::Error& error) {
        throw NotificationBusError("cannot connect to the session bus: " + error.getMessage());
    }
}

NotificationBus::NotificationBus(MainLoop& loop) : loop_(loop)
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0')
        throw NotificationBusError("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
    connection_ = openSessionBus(address);
    watch_ = loop_.addWatch(
        [this] {
            const auto data = connection_->getEventLoopPollData();
            return MainLoop::Wait{data.fd, data.events, data.getPollTimeout()};
        },
        [this] {
            while (connection_->processPendingRequest()) {
            }
        });
}

NotificationBus::~NotificationBus()
{
    loop_.removeWatch(watch_);
}

NotificationBus::Subscription NotificationBus::subscribe(const std::optional<std::string>& name,
                                                         std::function<void(const std::string&)> handler)
{
    sdbus::Slot slot = connection_->addMatch(NotificationSignal::matchRule(name),
        [handler = std::move(handler)](sdbus::Message& message) {
            std::string posted;
            try {
                message >> posted;
            } catch (const sdbus::Error&) {
                return; // a signal of our shape but without a text argument: not ours
            }
            handler(posted);
        });
    auto deleter = slot.get_deleter();
    return Subscription(std::shared_ptr<void>(slot.release(), std::move(deleter)));
}

void NotificationBus::post(std::string_view name)
{
    auto object = sdbus::createObject(*connection_, NotificationSignal::objectPath);
    auto signal = object->createSignal(NotificationSignal::interfaceName, NotificationSignal::member);
    signal << std::string(name);
    object->emitSignal(signal);
}

} // namespace quellon
