#pragma once
// Where the graphical session's X server is: the display name and its authority file.

#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
}

namespace quellon::host {

struct SessionDisplay {
    /// DISPLAY, e.g. ":0".
    std::string display;
    /// XAUTHORITY: the file with the display's cookie; none to use libxcb's own lookup.
    std::optional<std::string> authority;
    bool operator==(const SessionDisplay&) const = default;
};

/// DISPLAY and XAUTHORITY from "NAME=value" entries; none without a non-empty DISPLAY.
std::optional<SessionDisplay> sessionDisplayIn(const std::vector<std::string>& environment);

/// The display of this process's environment when it has one; otherwise the one the desktop
/// gave the systemd user manager (a desktop imports DISPLAY and XAUTHORITY into it at login, so
/// a service started before the desktop learns them there later), asked over sessionBus. None
/// when neither knows a display, or without a bus.
std::optional<SessionDisplay> findSessionDisplay(sdbus::IConnection* sessionBus);

} // namespace quellon::host
