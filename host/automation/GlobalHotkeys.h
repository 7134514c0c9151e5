#pragma once
// The host's global hotkeys: through the desktop portal where the desktop offers it, else
// through X11 key grabs, else none (logged once; the user binds `quellon away` by hand).

#include "host/automation/HotkeyActions.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
}

namespace quellon {
class LogSink;
class MainLoop;
}

namespace quellon::host {

class HostController;
class PortalHotkeys;
class X11Hotkeys;

class GlobalHotkeys {
public:
    enum class Backend { none, pending, portal, x11 };

    /// bus is the session-bus connection processed on loop's thread (NotificationBus's), or
    /// null without a bus; display overrides $DISPLAY. Loop thread.
    GlobalHotkeys(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log,
                  std::optional<std::string> display = std::nullopt);
    ~GlobalHotkeys();
    GlobalHotkeys(const GlobalHotkeys&) = delete;
    GlobalHotkeys& operator=(const GlobalHotkeys&) = delete;

    /// Registers the assignments that pass isUsableAsGlobalHotkey. Asking the portal is
    /// asynchronous: backend() is pending until it answers. Loop thread.
    void start(const std::vector<HotkeyAssignment>& assignments);

    Backend backend() const { return backend_; }

private:
    void perform(HotkeyAction action);
    void tryX11();

    MainLoop& loop_;
    sdbus::IConnection* bus_;
    HostController& host_;
    LogSink& log_;
    std::optional<std::string> display_;
    std::vector<HotkeyAssignment> assignments_;
    std::unique_ptr<PortalHotkeys> portal_;
    std::unique_ptr<X11Hotkeys> x11_;
    Backend backend_ = Backend::none;
};

} // namespace quellon::host
