#include "reports/DiagnosticsReport.h"
#include "reports/ExtensionInstallDiagnostics.h"

#include <gtest/gtest.h>

#include <functional>
#include <system_error>

namespace quellon {
namespace {

using namespace std::chrono;

Date march4At0930()
{
    return sys_days(year(2025) / 3 / 4) + hours(9) + minutes(30);
}

DiagnosticsReport fixedReport()
{
    return DiagnosticsReport{
        .appVersion = "1.2",
        .buildNumber = "34",
        .bundleID = "com.pennaveld.quellon",
        .osVersion = "Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64",
        .architecture = "x86_64",
        .cameraAuthorization = "authorized (1 video device)",
        .microphoneAuthorization = "denied (2 capture devices, none usable: Permission denied)",
        .appGroupAvailable = true,
        .virtualCameraInstallState = "running (v4l2loopback control node present, daemon reachable on camera.sock)",
        .virtualCameraVisible = true,
        .isStreaming = false,
        .loopCount = 3,
        .currentMode = "away",
        .hasNetworkClientEntitlement = false,
        .recentLogLines = {"2025-03-04T09:29:58Z [info] Quellon ext: client started streaming",
                           "2025-03-04T09:29:59Z [error] Quellon ext: frame decode failed"},
        .generatedAt = march4At0930(),
    };
}

const char* const kGoldenText = R"TEXT(Quellon diagnostics report
==========================
Generated: 2025-03-04T09:30:00Z

This file is local-only. Quellon has no network access and never sends
it anywhere — you're exporting it to share with support yourself. It
contains no camera footage, audio, or personal content: only app state
and recent technical log lines.

— App —
Version                   1.2 (34)
Bundle ID                 com.pennaveld.quellon
macOS                     Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64
Architecture              x86_64

— Capture & virtual camera —
Camera access             authorized (1 video device)
Microphone access         denied (2 capture devices, none usable: Permission denied)
App Group storage         available
Extension install state   running (v4l2loopback control node present, daemon reachable on camera.sock)
Virtual camera visible    yes
Streaming to an app       no
Current mode              away
Saved loops               3

— Privacy posture —
Network-client entitlementabsent (OS blocks all outbound)

— Recent log entries (2) —
2025-03-04T09:29:58Z [info] Quellon ext: client started streaming
2025-03-04T09:29:59Z [error] Quellon ext: frame decode failed
)TEXT";

TEST(DiagnosticsReport, RendersTheWholeTextByteForByte)
{
    EXPECT_EQ(fixedReport().text(), kGoldenText);
}

TEST(DiagnosticsReport, PrintsGeneratedAtWithTheCallersFormatter)
{
    std::vector<Date> asked;
    const std::string text = fixedReport().text([&](Date date) {
        asked.push_back(date);
        return std::string("4 March 2025, 10:30 CET");
    });
    EXPECT_EQ(asked, std::vector<Date>{march4At0930()});
    EXPECT_NE(text.find("\nGenerated: 4 March 2025, 10:30 CET\n"), std::string::npos);
    // The formatter is used for nothing else.
    EXPECT_EQ(text.find("2025-03-04T09:30:00Z"), std::string::npos);
}

TEST(DiagnosticsReport, AnEmptyFormatterFallsBackToInternetDateTime)
{
    EXPECT_EQ(fixedReport().text(DateFormatter{}), kGoldenText);
}

TEST(DiagnosticsReport, WithoutLogLinesEndsWithTheNoneCapturedLine)
{
    DiagnosticsReport report = fixedReport();
    report.recentLogLines.clear();
    const std::string ending = "\n— Recent log entries (0) —\n"
                               "(none captured — the log store may be empty or unavailable)\n";
    const std::string text = report.text();
    ASSERT_GE(text.size(), ending.size());
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
}

struct RowCase {
    const char* name;
    std::function<void(DiagnosticsReport&)> change;
    const char* expectedLine;
};

class DiagnosticsReportRow : public testing::TestWithParam<RowCase> {};

TEST_P(DiagnosticsReportRow, LaysOutTheRow)
{
    DiagnosticsReport report = fixedReport();
    GetParam().change(report);
    const std::string line = std::string("\n") + GetParam().expectedLine + "\n";
    EXPECT_NE(report.text().find(line), std::string::npos) << "missing line: " << GetParam().expectedLine;
}

INSTANTIATE_TEST_SUITE_P(
    Values, DiagnosticsReportRow,
    testing::Values(
        RowCase{"EmptyVersionAndBuild", [](DiagnosticsReport& r) { r.appVersion = r.buildNumber = ""; },
                "Version                    ()"},
        RowCase{"GroupUnavailable", [](DiagnosticsReport& r) { r.appGroupAvailable = false; },
                "App Group storage         UNAVAILABLE"},
        RowCase{"Streaming", [](DiagnosticsReport& r) { r.isStreaming = true; }, "Streaming to an app       yes"},
        RowCase{"NetworkPresent", [](DiagnosticsReport& r) { r.hasNetworkClientEntitlement = true; },
                "Network-client entitlementPRESENT"},
        // A log line is copied unchanged, even when it looks like part of the report.
        RowCase{"LogLineVerbatim", [](DiagnosticsReport& r) { r.recentLogLines = {"— App —"}; },
                "— Recent log entries (1) —\n— App —"}),
    [](const testing::TestParamInfo<RowCase>& info) { return info.param.name; });

struct MessageCase {
    const char* message;
    bool accountIssue;
};

class AccountIssueMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(AccountIssueMessage, IsClassified)
{
    EXPECT_EQ(ExtensionInstallDiagnostics::looksLikeAccountIssue(GetParam().message), GetParam().accountIssue)
        << GetParam().message;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, AccountIssueMessage,
    testing::Values(MessageCase{"", false}, MessageCase{"Code Signing failed for the extension", true},
                    MessageCase{"codesign failed", false}, MessageCase{"Operation Not Permitted", true},
                    MessageCase{"TEAM id differs", true}, MessageCase{"CSError 12", true},
                    MessageCase{"The Extension Is Not Valid", true}, MessageCase{"the extension is valid", false},
                    MessageCase{"Überprüfung: SIGNING fehlgeschlagen", true}, MessageCase{"disk full", false}));

struct ProvisioningProblem : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(ExtensionInstallDiagnostics, ClassifiesErrorsByMessageAndDescription)
{
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
