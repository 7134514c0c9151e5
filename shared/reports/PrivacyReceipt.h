#pragma once

#include "platform/DateTime.h"
#include "reports/PrivacyAbsence.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quellon {

/// What the installed build can and cannot do with the user's data: its identity, its
/// sandbox and network permissions, the things it structurally cannot do, and one count of
/// recorded loops. Rendered as text for people and as JSON for tools.
struct PrivacyReceipt {
    /// The application ID (also the host's bus name).
    std::string bundleID;
    std::string buildVersion;
    /// The shared folder's name under $XDG_DATA_HOME.
    std::string appGroupIdentifier;
    std::int64_t loopCount = 0;
    /// The running daemons were found confined.
    bool sandboxEnabled = false;
    /// The OS was not shown to block the daemons' outbound (client) and inbound (server)
    /// connections. The names stay those of the JSON keys tools read.
    bool hasNetworkClientEntitlement = false;
    bool hasNetworkServerEntitlement = false;
    std::vector<PrivacyAbsence> absences;
    Date generatedAt{};

    /// The receipt as lines joined by "\n", with no newline after the last line.
    std::string text() const;
    /// UTF-8 JSON, pretty-printed with sorted keys; "{}" when it cannot be encoded (text
    /// that is not UTF-8).
    std::string json() const;

    bool operator==(const PrivacyReceipt&) const = default;
};

} // namespace quellon
