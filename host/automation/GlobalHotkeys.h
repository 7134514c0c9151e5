#pragma once
// The host's global hotkeys: through the desktop portal where the desktop offers it, else
// through X11 key grabs, else none (logged once; the user binds `quellon away` by hand). Without
// a portal it keeps looking for the session's X display (a host started before the desktop
// learns it later) and connects again after the X server went away.

#include "host/automation/HotkeyActions.h"

#include <chrono>
#include <cstdint>
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

    /// Every few seconds: cheap, and quick enough after a login or an X server's restart.
    static constexpr std::chrono::milliseconds defaultX11Retry{3000};

    /// bus is the session-bus connection processed on loop's thread (NotificationBus's), or
    /// null without a bus; display overrides the session's display (findSessionDisplay). Loop
    /// thread.
    GlobalHotkeys(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log,
                  std::optional<std::string> display = std::nullopt,
                  std::chrono::milliseconds x11Retry = defaultX11Retry);
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
    void retryX11Later();
    void stopRetrying();

    MainLoop& loop_;
    sdbus::IConnection* bus_;
    HostController& host_;
    LogSink& log_;
    std::optional<std::string> display_;
    std::vector<HotkeyAssignment> assignments_;
    std::unique_ptr<PortalHotkeys> portal_;
    std::unique_ptr<X11Hotkeys> x11_;
    Backend backend_ = Backend::none;
    std::chrono::milliseconds x11Retry_;
    std::uint64_t retryTimer_ = 0;
    bool reportedUnavailable_ = false;
};

} // namespace quellon::host
