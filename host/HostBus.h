#pragma once
// Where the running host answers on the session bus. Owning the service name is also what
// keeps a second host from starting.

namespace quellon::host::HostBus {

/// The host's bundle identifier doubles as its bus name.
inline constexpr const char* serviceName = "com.pennaveld.quellon";
inline constexpr const char* objectPath = "/com/pennaveld/quellon";
inline constexpr const char* interfaceName = "com.pennaveld.quellon.Host";
/// The error a method replies with when the host cannot do what was asked; its message is for
/// the user. The standard name, so generic clients (busctl, gdbus) show it as a failure.
inline constexpr const char* failedError = "org.freedesktop.DBus.Error.Failed";
inline constexpr const char* invalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";

/// How long a recording started from the tray or the bus lasts when no length is given; the
/// same as `quellon record`'s default.
inline constexpr double defaultRecordingSeconds = 12;

} // namespace quellon::host::HostBus
