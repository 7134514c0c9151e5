#include "reports/DiagnosticsReport.h"
#include "reports/ExtensionInstallDiagnostics.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <system_error>

namespace quellon {
namespace {

using namespace std::chrono;

const Date kMarch4At0930 = sys_days(year(2025) / 3 / 4) + hours(9) + minutes(30);

DiagnosticsReport fixedReport()
{
    return DiagnosticsReport{
        .appVersion = "1.2", .buildNumber = "34", .bundleID = "com.pennaveld.quellon",
        .osVersion = "Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64", .architecture = "x86_64",
        .cameraAuthorization = "authorized (1 video device)",
        .microphoneAuthorization = "not used by Quellon (no audio code); denied (2 capture devices, none usable: "
                                   "Permission denied)",
        .appGroupAvailable = true, .containerPath = "/home/ada/.local/share/group.com.quellon.shared",
        .virtualCameraInstallState = "running (v4l2loopback control node present, daemon reachable on camera.sock)",
        .virtualCameraVisible = true, .isStreaming = false, .loopCount = 3, .currentMode = "away",
        .sandboxed = true, .sandboxEvidence = "camera daemon (pid 10): seccomp filter",
        .networkAccessAllowed = false, .networkEvidence = "camera daemon (pid 10): only loopback",
        .recentLogLines = {"2025-03-04T09:29:58Z [info] Quellon ext: client started streaming",
                           "2025-03-04T09:29:59Z [error] Quellon ext: frame decode failed"},
        .generatedAt = kMarch4At0930,
    };
}

const char* const kGoldenReport = R"TEXT(Quellon diagnostics report
==========================
Generated: 2025-03-04T09:30:00Z

This file is local-only. Quellon has no networking code and never sends
it anywhere — you're exporting it to share with support yourself. It
contains no camera footage, audio, or personal content: only app state
and recent technical log lines.

— App —
Version                   1.2 (34)
Application ID            com.pennaveld.quellon
Operating system          Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64
Architecture              x86_64

— Capture & virtual camera —
Camera access             authorized (1 video device)
Microphone access         not used by Quellon (no audio code); denied (2 capture devices, none usable: Permission denied)
Shared container          available (/home/ada/.local/share/group.com.quellon.shared)
Camera daemon             running (v4l2loopback control node present, daemon reachable on camera.sock)
V4L2 camera visible       yes
Streaming to an app       no
Current mode              away
Saved loops               3

— Privacy posture —
Sandbox                   yes (camera daemon (pid 10): seccomp filter)
Network access            blocked (camera daemon (pid 10): only loopback)

— Recent log entries (2) —
2025-03-04T09:29:58Z [info] Quellon ext: client started streaming
2025-03-04T09:29:59Z [error] Quellon ext: frame decode failed
)TEXT";

TEST(DiagnosticsReport, RendersTheWholeTextByteForByteWithOrWithoutAFormatter)
{
    EXPECT_EQ(fixedReport().text(), kGoldenReport);
    EXPECT_EQ(fixedReport().text(DateFormatter{}), kGoldenReport);

    std::vector<Date> asked;
    const std::string text = fixedReport().text([&](Date date) {
        asked.push_back(date);
        return std::string("4 March 2025, 10:30 CET");
    });
    EXPECT_EQ(asked, std::vector<Date>{kMarch4At0930});
    EXPECT_NE(text.find("\nGenerated: 4 March 2025, 10:30 CET\n"), std::string::npos);
    EXPECT_EQ(text.find("2025-03-04T09:30:00Z"), std::string::npos) << "the formatter is used for nothing else";
}

TEST(DiagnosticsReport, LaysOutEachVariantRow)
{
    const struct {
        std::function<void(DiagnosticsReport&)> change;
        const char* expected;
    } cases[] = {
        {[](DiagnosticsReport& r) { r.appVersion = r.buildNumber = ""; }, "\nVersion                    ()\n"},
        {[](DiagnosticsReport& r) { r.appGroupAvailable = false; }, "\nShared container          UNAVAILABLE\n"},
        {[](DiagnosticsReport& r) { r.isStreaming = true; }, "\nStreaming to an app       yes\n"},
        {[](DiagnosticsReport& r) { r.sandboxed = false; r.sandboxEvidence = "host: not running"; },
         "\nSandbox                   no (host: not running)\n"},
        {[](DiagnosticsReport& r) { r.networkAccessAllowed = true; r.networkEvidence = "interfaces eth0"; },
         "\nNetwork access            not blocked (interfaces eth0)\n"},
        // A log line is copied unchanged, even when it looks like part of the report.
        {[](DiagnosticsReport& r) { r.recentLogLines = {"— App —"}; }, "\n— Recent log entries (1) —\n— App —\n"},
        {[](DiagnosticsReport& r) { r.recentLogLines.clear(); },
         "\n— Recent log entries (0) —\n(none captured — the log store may be empty or unavailable)\n"},
    };
    for (const auto& c : cases) {
        DiagnosticsReport report = fixedReport();
        c.change(report);
        EXPECT_NE(report.text().find(c.expected), std::string::npos) << "missing: " << c.expected;
    }
    DiagnosticsReport empty = fixedReport();
    empty.recentLogLines.clear();
    EXPECT_TRUE(empty.text().ends_with("(none captured — the log store may be empty or unavailable)\n"));
}

// Every row of the three fact sections: label, padding to the value column, value.
std::vector<std::string> factRows(const std::string& text)
{
    std::vector<std::string> rows;
    std::istringstream lines(text);
    bool inFacts = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("— "))
            inFacts = !line.starts_with("— Recent log entries");
        else if (inFacts && !line.empty())
            rows.push_back(line);
    }
    return rows;
}

TEST(DiagnosticsReport, EveryValueStartsInTheValueColumnAfterAtLeastOneSpace)
{
    const std::vector<std::string> rows = factRows(fixedReport().text());
    ASSERT_EQ(rows.size(), 14u);
    for (const std::string& row : rows) {
        // Labels are ASCII, so bytes are columns up to the value.
        ASSERT_GT(row.size(), 26u) << row;
        EXPECT_EQ(row[25], ' ') << row;
        EXPECT_NE(row[26], ' ') << row;
    }
}

TEST(DiagnosticsReport, SaysNothingOnlyTrueOfAnotherSystem)
{
    DiagnosticsReport report = fixedReport();
    for (bool flag : {false, true}) {
        report.appGroupAvailable = report.sandboxed = report.networkAccessAllowed = flag;
        const std::string text = report.text();
        for (const char* word : {"Mac", "macOS", "Bundle ID", "App Group", "entitlement", "Extension install"})
            EXPECT_EQ(text.find(word), std::string::npos) << word << " in:\n" << text;
    }
}

struct ProvisioningProblem : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(ExtensionInstallDiagnostics, ClassifiesAccountIssuesByMessageAndDescription)
{
    const std::pair<const char*, bool> messages[] = {
        {"", false}, {"Code Signing failed for the extension", true}, {"codesign failed", false},
        {"Operation Not Permitted", true}, {"TEAM id differs", true}, {"CSError 12", true},
        {"The Extension Is Not Valid", true}, {"the extension is valid", false},
        {"Überprüfung: SIGNING fehlgeschlagen", true}, {"disk full", false}};
    for (const auto& [message, accountIssue] : messages)
        EXPECT_EQ(ExtensionInstallDiagnostics::looksLikeAccountIssue(message), accountIssue) << message;

    EXPECT_TRUE(ExtensionInstallDiagnostics::looksLikeAccountIssue(
        std::system_error(std::make_error_code(std::errc::operation_not_permitted), "install")));
    EXPECT_FALSE(ExtensionInstallDiagnostics::looksLikeAccountIssue(std::runtime_error("disk full")));
    // The error's type is part of its full description, as a type name tells the cause.
    EXPECT_TRUE(ExtensionInstallDiagnostics::looksLikeAccountIssue(ProvisioningProblem("boom")));
    EXPECT_EQ(ExtensionInstallDiagnostics::fullDescription(std::runtime_error("disk full")),
              "std::runtime_error: disk full");
}

} // namespace
} // namespace quellon
