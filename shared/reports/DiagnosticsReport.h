#pragma once

#include "platform/DateTime.h"
#include "reports/ReportDateFormat.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quellon {

/// Facts about an installation, laid out as the plain-text file a user hands to support.
/// The caller gathers the facts; this record only renders them. Local-only by construction:
/// the text is a string the caller writes where the user chooses.
struct DiagnosticsReport {
    std::string appVersion;
    std::string buildNumber;
    std::string bundleID;
    std::string osVersion;
    std::string architecture;
    /// Permission states as the caller words them.
    std::string cameraAuthorization;
    std::string microphoneAuthorization;
    /// The shared container could be resolved; containerPath says where it is.
    bool appGroupAvailable = false;
    std::string containerPath;
    std::string virtualCameraInstallState;
    bool virtualCameraVisible = false;
    bool isStreaming = false;
    std::int64_t loopCount = 0;
    /// A QuellonMode raw value, or the caller's word for an unknown mode.
    std::string currentMode;
    /// Whether the running programs are confined, and the evidence, as the caller words it.
    bool sandboxed = false;
    std::string sandboxEvidence;
    /// Whether the OS leaves the running programs a way onto the network, and the evidence.
    bool networkAccessAllowed = false;
    std::string networkEvidence;
    /// Oldest first, each already formatted by the caller.
    std::vector<std::string> recentLogLines;
    Date generatedAt{};

    /// The name a saved report gets unless the user picks another.
    static constexpr const char* suggestedFilename = "Quellon-Diagnostics.txt";

    /// The report's text; every line ends in "\n". The formatter prints generatedAt only.
    std::string text(const DateFormatter& formatDate) const;
    /// The same, with generatedAt in internet date-time form.
    std::string text() const;

    bool operator==(const DiagnosticsReport&) const = default;
};

} // namespace quellon
