#pragma once

#include "channel/QuellonCMIOChannel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// Get-only property through which the daemon tells hosts what it publishes.
inline constexpr std::uint32_t kCameraInfoSelector = QuellonCMIOChannel::fourCharCode("qlin");

/// What the running camera publishes: its identity, its current rate and where its frames go.
struct CameraInfo {
    std::string name;
    /// Stable across launches.
    std::string legacyID;
    /// Fresh for every published device, so it changes on every launch and rename.
    std::string deviceUUID;
    std::string streamUUID;
    std::int64_t fps = 30;
    /// The camera backend in use, e.g. "v4l2:/dev/video4" or "y4m:/path/camera.y4m".
    std::string sink;
    /// The stored camera name when it is not the published one, and where it takes effect
    /// (e.g. a loopback device whose label is fixed until its module is reloaded). Absent
    /// while the two agree.
    std::optional<std::string> storedName = std::nullopt;
    std::optional<std::string> storedNameHint = std::nullopt;

    bool operator==(const CameraInfo&) const = default;
};

/// Compact JSON of the value. Throws EncodingError for text that is not UTF-8.
std::string encodeJSON(const CameraInfo& info);

/// Decodes a whole value or throws DecodingError; every key but the stored name's is required,
/// unknown keys are ignored.
CameraInfo decodeCameraInfo(std::string_view json);

} // namespace quellon
