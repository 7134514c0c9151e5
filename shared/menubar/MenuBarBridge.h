#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

class Environment;
class PlatformDirectories;

/// Where the tray item sits on screen, in screen coordinates. On Linux the origin is the
/// host's click position and the y axis points down (X11 and Wayland screen coordinates).
struct PanelAnchor {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const PanelAnchor&) const = default;
};

/// The whole protocol between the tray program and the Quellon app: payload-free
/// notifications whose names carry every value, and one JSON file telling the app where the
/// tray item sits. No state: posting opens (once per process) its own session-bus connection.
namespace MenuBarBridge {

inline constexpr const char* helperBundleID = "com.pennaveld.quellon.menubar";
inline constexpr const char* appGroupID = "group.com.quellon.shared";
inline constexpr const char* helperReady = "com.quellon.menubar.ready";
inline constexpr const char* mainTerminating = "com.quellon.menubar.terminating";
inline constexpr const char* modePrefix = "com.quellon.menubar.mode.";
inline constexpr const char* autoReturnPrefix = "com.quellon.menubar.ar.";
inline constexpr const char* hasLoopsPrefix = "com.quellon.menubar.loops.";
inline constexpr const char* commandPrefix = "com.quellon.menubar.cmd.";
inline constexpr std::array<const char*, 4> modes{"live", "away", "standby", "error"};
inline constexpr std::array<const char*, 2> bools{"on", "off"};
inline constexpr std::array<const char*, 2> loops{"yes", "no"};
/// Name of the anchor file inside the group container.
inline constexpr const char* panelAnchorFileName = "panel-anchor.json";

/// What the tray program asks the app to do.
enum class Command {
    setLive,
    setAway,
    setStandby,
    record,
    manageLoops,
    showApp,
    toggleAutoReturn,
    quit,
    togglePanel,
};

/// Every command, in declaration order.
inline constexpr std::array<Command, 9> allCommands{Command::setLive, Command::setAway, Command::setStandby,
    Command::record, Command::manageLoops, Command::showApp, Command::toggleAutoReturn, Command::quit,
    Command::togglePanel};

/// The command's raw value, e.g. "togglePanel".
std::string_view rawValue(Command command);
/// The command whose raw value is exactly text (letter case included), if any.
std::optional<Command> commandFromRawValue(std::string_view text);

/// Broadcasts one notification on the session bus. Never throws or blocks: without a session
/// bus ($DBUS_SESSION_BUS_ADDRESS unset, or unreachable) it does nothing but log one debug
/// line. Safe from any thread.
void post(std::string_view name);
/// Posts modePrefix + mode; the text is not checked.
void publishMode(std::string_view mode);
/// Posts autoReturnPrefix + "on" or "off".
void publishAutoReturn(bool on);
/// Posts hasLoopsPrefix + "yes" or "no".
void publishHasLoops(bool hasLoops);
/// Posts commandPrefix + the command's raw value.
void send(Command command);

/// The group container for the anchor file: the platform's container of appGroupID when it
/// exists, else $HOME/.local/share/group.com.quellon.shared (not created). Unlike the other
/// shared files, QUELLON_NO_APP_GROUP does not move it.
std::optional<std::filesystem::path> groupContainerURL();
std::optional<std::filesystem::path> groupContainerURL(const PlatformDirectories& directories,
                                                       const Environment& environment);

/// {"h","w","x","y"} as compact JSON.
std::string encodePanelAnchor(const PanelAnchor& anchor);
/// The anchor, when the text is an object whose values are all numbers and which has all four
/// of "x", "y", "w" and "h"; nothing otherwise.
std::optional<PanelAnchor> decodePanelAnchor(std::string_view text);

/// Replaces the anchor file atomically with encodePanelAnchor's text; any failure (no
/// container, a missing directory) is ignored.
void writePanelAnchor(const PanelAnchor& anchor);
void writePanelAnchor(const PanelAnchor& anchor, const std::optional<std::filesystem::path>& container);
/// The anchor file's anchor, as decodePanelAnchor reads it; nothing without a file.
std::optional<PanelAnchor> readPanelAnchor();
std::optional<PanelAnchor> readPanelAnchor(const std::optional<std::filesystem::path>& container);

} // namespace MenuBarBridge

} // namespace quellon
