#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace quellon {

class MainLoop;

/// There is no session bus to connect to (no address, or the connection failed).
class NotificationBusError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// How a Quellon notification travels on the D-Bus session bus: one broadcast signal whose
/// only argument is the notification's name. Observers match on arg0, so the bus daemon
/// delivers each process only the names it watches.
namespace NotificationSignal {
inline constexpr const char* objectPath = "/com/quellon/Notification";
inline constexpr const char* interfaceName = "com.quellon.Notification";
inline constexpr const char* member = "Posted";

/// The match rule for the signal; with a name, only signals whose first argument is that
/// name match (quotes and backslashes in the name are escaped).
std::string matchRule(const std::optional<std::string>& name);
} // namespace NotificationSignal

/// Opens a connection to the bus at address. Throws NotificationBusError when the bus cannot
/// be reached; a failed attempt leaves nothing behind.
std::unique_ptr<sdbus::IConnection> openSessionBus(const std::string& address);

/// One session-bus connection whose messages are processed on a MainLoop's thread, so every
/// callback on it (signal matches, exported methods, method replies) runs on that thread.
class NotificationBus {
public:
    /// Connects to $DBUS_SESSION_BUS_ADDRESS. Throws NotificationBusError when the variable
    /// is unset or empty (the user's default bus is never guessed) or the bus is unreachable.
    explicit NotificationBus(MainLoop& loop);
    ~NotificationBus();
    NotificationBus(const NotificationBus&) = delete;
    NotificationBus& operator=(const NotificationBus&) = delete;

    MainLoop& loop() { return loop_; }
    /// For exporting objects and calling services on the same connection (loop thread only).
    sdbus::IConnection& connection() { return *connection_; }

    /// An active match; destroying it removes the rule from the bus. Loop thread only.
    class Subscription {
    public:
        Subscription() = default;
        explicit Subscription(std::shared_ptr<void> slot) : slot_(std::move(slot)) {}

    private:
        std::shared_ptr<void> slot_;
    };

    /// Calls handler with the notification name for every notification named name, or for
    /// every notification when name is absent. The handler runs inside message processing on
    /// the loop thread. Loop thread only (or before the loop runs).
    Subscription subscribe(const std::optional<std::string>& name, std::function<void(const std::string&)> handler);

    /// Broadcasts one notification from this connection. Loop thread only.
    void post(std::string_view name);

private:
    MainLoop& loop_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::uint64_t watch_ = 0;
};

} // namespace quellon
