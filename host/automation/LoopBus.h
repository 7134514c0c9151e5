#pragma once
// A D-Bus connection whose messages are processed on a MainLoop's thread.

#include <cstdint>
#include <memory>
#include <string>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace quellon {
class MainLoop;
} // namespace quellon

namespace quellon::host {

/// Processes a connection's messages on the loop thread for as long as it lives, so every
/// match and reply callback on it runs there. The connection must outlive it.
class LoopBusAttachment {
public:
    LoopBusAttachment(MainLoop& loop, sdbus::IConnection& connection);
    ~LoopBusAttachment();
    LoopBusAttachment(const LoopBusAttachment&) = delete;
    LoopBusAttachment& operator=(const LoopBusAttachment&) = delete;

private:
    MainLoop& loop_;
    std::uint64_t watch_ = 0;
};

/// The system bus's address: $DBUS_SYSTEM_BUS_ADDRESS when set and not empty, else the
/// standard socket.
std::string systemBusAddress();

/// Connects to the system bus. Throws NotificationBusError when it cannot be reached.
std::unique_ptr<sdbus::IConnection> openSystemBus();

} // namespace quellon::host
