#pragma once
// The commands' side of the host's bus interface: asks the running host and turns its
// answers into values and errors.

#include "host/HostController.h"

#include <memory>

namespace sdbus {
class IConnection;
class IProxy;
} // namespace sdbus

namespace quellon::host {

/// No host answers on the session bus (or there is no session bus). The message tells how to
/// start one.
class HostNotRunning : public HostError {
public:
    HostNotRunning();
};

class HostClient {
public:
    /// Connects to $DBUS_SESSION_BUS_ADDRESS. Throws HostNotRunning without a bus.
    HostClient();
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    // Each throws HostNotRunning when no host answers, HostError with the host's message when
    // it refuses, and std::invalid_argument for a mode it does not take.
    void setMode(QuellonMode mode);
    HostStatus status();
    void setLoop(const std::string& clipFilename);
    void setCamera(const std::string& id);
    void record(double seconds);
    void quit();

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

} // namespace quellon::host
