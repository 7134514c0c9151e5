#pragma once
// Everything the host does by itself, in one owner for `quellon host`: meeting-app profiles,
// global hotkeys and auto return.

#include "host/HostStatus.h"
#include "host/automation/HotkeyActions.h"
#include "host/automation/ProfileWatcher.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace sdbus {
class IConnection;
}

namespace quellon {
class LogSink;
class MainLoop;
}

namespace quellon::host {

class AutoReturnWatcher;
class CameraReaders;
class GlobalHotkeys;
class HostController;
class X11FocusWatcher;

class HostAutomation {
public:
    /// The user's settings, read whenever they are needed, so edits apply without a restart
    /// (hotkeys: after hotkeysChanged()).
    struct Settings {
        ProfileWatcher::SettingsSource profiles;
        std::function<std::vector<HotkeyAssignment>()> hotkeys;
        /// Auto return's face tolerance (PresenceMatch::defaultTolerance unless the user set one).
        std::function<double()> tolerance;
    };

    /// bus: the session-bus connection processed on loop's thread, or null. Loop thread.
    HostAutomation(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log, Settings settings);
    ~HostAutomation();
    HostAutomation(const HostAutomation&) = delete;
    HostAutomation& operator=(const HostAutomation&) = delete;

    /// Starts watching and registers the hotkeys. Loop thread.
    void start();
    /// Feed every status of the host here (from its change handler); any thread.
    void statusChanged(const HostStatus& status);
    /// Registers the hotkeys anew after the user changed them. Loop thread.
    void hotkeysChanged();

private:
    std::optional<std::string> frontmost();
    /// Follows the focused window on the session's X display, if there is one now.
    void connectFocus();

    MainLoop& loop_;
    sdbus::IConnection* bus_;
    HostController& host_;
    LogSink& log_;
    Settings settings_;
    std::unique_ptr<CameraReaders> readers_;
    std::unique_ptr<X11FocusWatcher> focus_;
    std::chrono::steady_clock::time_point lastFocusTry_;
    std::unique_ptr<ProfileWatcher> profiles_;
    std::unique_ptr<GlobalHotkeys> hotkeys_;
    std::unique_ptr<AutoReturnWatcher> autoReturn_;
};

} // namespace quellon::host
