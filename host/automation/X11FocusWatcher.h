#pragma once
// The application of the focused window on X11, from the window manager's hints.

#include "host/automation/AppIdentity.h"
#include "host/automation/X11Connection.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace quellon {
class ProcessTable;
}

namespace quellon::host {

/// What the window manager says of the active window.
struct FocusedWindow {
    std::uint32_t window = 0;
    /// _NET_WM_PID: the client's process, as the client itself claims. A sandboxed client
    /// counts in its sandbox's own numbers; the camera readers, found from /proc, are the
    /// surer source, and they come first (frontmostApp()).
    std::optional<pid_t> pid;
    /// WM_CLASS's class part ("firefox", "zoom").
    std::optional<std::string> windowClass;
    bool operator==(const FocusedWindow&) const = default;
};

/// Reads _NET_ACTIVE_WINDOW, _NET_WM_PID and WM_CLASS when asked: a few round trips, cheap
/// enough for the profile watcher's polling, so no event handling is needed.
class X11FocusWatcher {
public:
    /// Throws X11Unavailable.
    explicit X11FocusWatcher(const std::optional<std::string>& display = std::nullopt,
                             const std::optional<std::string>& authority = std::nullopt);

    /// The X server went away: nothing more will be known.
    bool broken() const { return connection_.broken(); }

    /// None when no window is active, the window manager sets no _NET_ACTIVE_WINDOW, or the
    /// server is gone.
    std::optional<FocusedWindow> focusedWindow() const;

    /// The focused window's application: its process's identity, else its window class.
    std::optional<AppIdentity> focusedApp(const ProcessTable& processes) const;

private:
    X11Connection connection_;
    std::uint32_t activeWindowAtom_;
    std::uint32_t pidAtom_;
};

} // namespace quellon::host
