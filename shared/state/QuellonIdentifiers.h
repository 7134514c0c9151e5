#pragma once

#include <string>

namespace quellon {

class UserDefaults;

/// The system's fixed identities.
namespace QuellonIdentifiers {

inline constexpr const char* appGroup = "group.com.quellon.shared";
inline constexpr const char* hostBundleID = "com.pennaveld.quellon";
inline constexpr const char* extensionBundleID = "com.pennaveld.quellon.CameraExtension";
inline constexpr const char* virtualCameraName = "Quellon Camera";
inline constexpr const char* customCameraNameKey = "QuellonCustomCameraName";
/// Stable identity of the published camera across launches (its legacy identifier).
inline constexpr const char* virtualCameraDeviceUID = "Quellon-Camera-Device-1F4B6A20";
/// Reserved; the camera gives its stream a random identifier instead.
inline constexpr const char* virtualCameraStreamUID = "Quellon-Camera-Stream-1F4B6A20";

/// The user's chosen camera name (trimmed) from the given store, or "Quellon Camera" when
/// none is stored or it is only white space. Read afresh on every call.
std::string effectiveVirtualCameraName(const UserDefaults& defaults);
/// The same, from this process's own preference store.
std::string effectiveVirtualCameraName();

} // namespace QuellonIdentifiers

} // namespace quellon
