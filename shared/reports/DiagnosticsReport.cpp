#include "reports/DiagnosticsReport.h"

namespace quellon {

namespace {

constexpr std::size_t kLabelWidth = 26;

// Code points, not bytes: the width is counted in characters.
std::size_t characterCount(std::string_view text)
{
    std::size_t count = 0;
    for (unsigned char byte : text)
        if ((byte & 0xC0) != 0x80)
            ++count;
    return count;
}

// A label as long as the column still gets one space, so label and value never run together.
void appendRow(std::string& out, std::string_view label, std::string_view value)
{
    out += label;
    const std::size_t width = characterCount(label);
    out.append(width < kLabelWidth ? kLabelWidth - width : 1, ' ');
    out += value;
    out += '\n';
}

void appendSection(std::string& out, std::string_view title)
{
    out += "\n— ";
    out += title;
    out += " —\n";
}

const char* yesNo(bool value)
{
    return value ? "yes" : "no";
}

} // namespace

std::string DiagnosticsReport::text(const DateFormatter& formatDate) const
{
    std::string out;
    out += "Quellon diagnostics report\n";
    out += "==========================\n";
    out += "Generated: " + (formatDate ? formatDate(generatedAt) : ReportDateFormat::internetDateTime(generatedAt)) + "\n";
    out += "\n";
    out += "This file is local-only. Quellon has no networking code and never sends\n";
    out += "it anywhere — you're exporting it to share with support yourself. It\n";
    out += "contains no camera footage, audio, or personal content: only app state\n";
    out += "and recent technical log lines.\n";

    appendSection(out, "App");
    appendRow(out, "Version", appVersion + " (" + buildNumber + ")");
    appendRow(out, "Application ID", bundleID);
    appendRow(out, "Operating system", osVersion);
    appendRow(out, "Architecture", architecture);

    appendSection(out, "Capture & virtual camera");
    appendRow(out, "Camera access", cameraAuthorization);
    appendRow(out, "Microphone access", microphoneAuthorization);
    appendRow(out, "Shared container", appGroupAvailable ? "available (" + containerPath + ")" : "UNAVAILABLE");
    appendRow(out, "Camera daemon", virtualCameraInstallState);
    appendRow(out, "V4L2 camera visible", yesNo(virtualCameraVisible));
    appendRow(out, "Streaming to an app", yesNo(isStreaming));
    appendRow(out, "Current mode", currentMode);
    appendRow(out, "Saved loops", std::to_string(loopCount));

    appendSection(out, "Privacy posture");
    appendRow(out, "Sandbox", std::string(yesNo(sandboxed)) + " (" + sandboxEvidence + ")");
    appendRow(out, "Network access",
              std::string(networkAccessAllowed ? "not blocked" : "blocked") + " (" + networkEvidence + ")");

    appendSection(out, "Recent log entries (" + std::to_string(recentLogLines.size()) + ")");
    if (recentLogLines.empty()) {
        out += "(none captured — the log store may be empty or unavailable)\n";
    } else {
        for (const std::string& line : recentLogLines) {
            out += line;
            out += '\n';
        }
    }
    return out;
}

std::string DiagnosticsReport::text() const
{
    return text(ReportDateFormat::internetDateTime);
}

} // namespace quellon
