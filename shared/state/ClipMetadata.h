#pragma once

#include "platform/DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

enum class JSONStyle;

/// The JSON sidecar of one recorded clip. clipType, resolution and loopMode are the host's
/// vocabulary and are kept exactly as given.
struct ClipMetadata {
    std::string clipType;
    double duration = 0;
    Date createdAt{};
    std::string resolution;
    std::int64_t fps = 0;
    std::string loopMode;
    std::string filename;
    std::optional<std::string> displayName;

    bool operator==(const ClipMetadata&) const = default;
};

/// Throws EncodingError.
std::string encodeJSON(const ClipMetadata& metadata, JSONStyle style);
/// Throws DecodingError; only displayName may be missing.
ClipMetadata decodeClipMetadata(std::string_view json);

} // namespace quellon
