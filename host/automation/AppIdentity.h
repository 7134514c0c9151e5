#pragma once
// The name of an application as a user writes it in a meeting-app profile.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quellon {
class ProcessTable;
}

namespace quellon::host {

/// An application identifier and where it came from.
struct AppIdentity {
    enum class Source {
        desktopFile, ///< the desktop-file ID (without ".desktop") from the process's systemd scope
        flatpak,     ///< the Flatpak application ID of the process's sandbox
        executable,  ///< the executable's file name: all that is left for a program started by hand
        windowClass, ///< the X window's class, for a focused window whose process is unknown
    };

    std::string id;
    Source source = Source::executable;

    bool operator==(const AppIdentity&) const = default;
};

/// "desktop file", "flatpak", "executable", "window class".
std::string_view sourceName(AppIdentity::Source source);

/// Pure parsers of what the kernel and the sandbox say about a process, and the lookup that
/// combines them.
namespace AppIdentities {

/// The application ID in the innermost application unit of a /proc/PID/cgroup text: desktops
/// start apps in units named "app[-LAUNCHER]-ID-RANDOM.scope" or "app[-LAUNCHER]-ID[@RANDOM].service",
/// with the ID's own dashes escaped as "\x2d". None when no such unit holds the process.
std::optional<std::string> fromCgroup(std::string_view cgroupText);

/// The "name" of the "[Application]" group of a sandbox's .flatpak-info.
std::optional<std::string> fromFlatpakInfo(std::string_view info);

/// The desktop-file ID, else the Flatpak ID, else the executable name; none when the process
/// is gone or tells nothing.
std::optional<AppIdentity> identify(const ProcessTable& processes, pid_t pid);

} // namespace AppIdentities

} // namespace quellon::host
