#pragma once
// Global hotkeys through the desktop portal's GlobalShortcuts interface (GNOME, KDE and
// wlroots desktops, X11 or Wayland alike).

#include "host/automation/HotkeyActions.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
class Message;
}

namespace quellon {
class LogSink;
}

namespace quellon::host {

/// Binds the hotkeys in a portal session and turns the portal's Activated signals into
/// actions. Everything is asynchronous on the connection's thread (the MainLoop's, through
/// NotificationBus): the portal may show the user a dialog before it answers.
class PortalHotkeys {
public:
    static constexpr const char* service = "org.freedesktop.portal.Desktop";
    static constexpr const char* objectPath = "/org/freedesktop/portal/desktop";
    static constexpr const char* interfaceName = "org.freedesktop.portal.GlobalShortcuts";

    enum class Outcome {
        bound,       ///< the session exists and the portal answered the binding
        unavailable, ///< no portal, or one without global shortcuts: another way must be tried
        refused,     ///< the portal (or the user, in its dialog) declined
    };
    /// Called once with the outcome and, unless bound, why.
    using Done = std::function<void(Outcome, const std::string& detail)>;
    using Handler = std::function<void(HotkeyAction)>;

    PortalHotkeys(sdbus::IConnection& connection, LogSink& log, Handler handler);
    ~PortalHotkeys();
    PortalHotkeys(const PortalHotkeys&) = delete;
    PortalHotkeys& operator=(const PortalHotkeys&) = delete;

    /// Asks the portal for a session and binds the usable assignments with their accelerators
    /// as preferred triggers (the desktop may let the user change them). Assignments that are
    /// not usable as global hotkeys, or whose key has no Linux name, are left out and logged.
    void bind(const std::vector<HotkeyAssignment>& assignments, Done done);

private:
    void createSession();
    void bindShortcuts();
    std::string requestPath(const std::string& token) const;
    void onActivated(sdbus::Message& message);
    void finish(Outcome outcome, const std::string& detail);

    sdbus::IConnection& connection_;
    LogSink& log_;
    Handler handler_;
    std::unique_ptr<sdbus::IProxy> portal_;
    std::vector<std::pair<std::string, std::string>> shortcuts_; // id, preferred trigger
    Done done_;
    std::string sessionHandle_;
    std::shared_ptr<void> responseMatch_;
    std::shared_ptr<void> activatedMatch_;
    unsigned tokens_ = 0;
    // Replies may arrive after we are gone; they check this first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quellon::host
