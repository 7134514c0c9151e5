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
/// A clip's quality figures as last measured, valid while the clip keeps this size and
/// modification time, so listing the library need not decode every clip again.
struct ClipQualityCache {
    std::int64_t clipBytes = 0;
    std::int64_t clipModifiedNanoseconds = 0; // since 1970
    double brightness = 0;
    double motion = 0;
    double boundaryJump = 0;
    double seconds = 0;

    bool operator==(const ClipQualityCache&) const = default;
};

struct ClipMetadata {
    std::string clipType;
    double duration = 0;
    Date createdAt{};
    std::string resolution;
    std::int64_t fps = 0;
    std::string loopMode;
    std::string filename;
    std::optional<std::string> displayName;
    /// Stored under "qualityCache"; a sidecar without one, or with one that cannot be read, has
    /// none (the cache is only ever a shortcut).
    std::optional<ClipQualityCache> qualityCache = std::nullopt;

    bool operator==(const ClipMetadata&) const = default;
};

/// Throws EncodingError.
std::string encodeJSON(const ClipMetadata& metadata, JSONStyle style);
/// Throws DecodingError; only displayName and qualityCache may be missing.
ClipMetadata decodeClipMetadata(std::string_view json);

} // namespace quellon
