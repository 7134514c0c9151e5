#pragma once

#include "platform/UUID.h"

#include <optional>
#include <string>
#include <string_view>

namespace quellon {

enum class JSONStyle;

/// Ties a meeting application to the loop the user wants shown while it is in front.
struct MeetingAppProfile {
    UUID id;
    /// The application's bundle identifier, compared exactly (case-sensitive).
    std::string appBundleID;
    /// The name shown to the user.
    std::string appDisplayName;
    /// A clip's file name in the shared container; none keeps whatever loop is active.
    std::optional<std::string> preferredLoopFilename;
    /// A disabled profile is ignored.
    bool isEnabled = true;

    bool operator==(const MeetingAppProfile&) const = default;
};

/// JSON object with the keys "id" (upper-case UUID text), "appBundleID", "appDisplayName",
/// "preferredLoopFilename" (left out when absent) and "isEnabled". Throws EncodingError.
std::string encodeJSON(const MeetingAppProfile& profile, JSONStyle style);

/// Decodes a whole record or throws DecodingError: every key but "preferredLoopFilename" is
/// required, and every present value must have the right type.
MeetingAppProfile decodeMeetingAppProfile(std::string_view json);

} // namespace quellon
