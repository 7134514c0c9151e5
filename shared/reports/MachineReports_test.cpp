#include "reports/MachineReports.h"

#include "TestScratchDirectory.h"
#include "platform/Environment.h"
#include "platform/PlatformDirectories.h"
#include "platform/UserDefaults.h"
#include "reports/QuellonBuild.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace MachineReports;
using testing_support::ScratchDirectory;
using Text = std::optional<std::string>;
constexpr auto none = std::nullopt;

void touch(const fs::path& path, const std::string& content = "x")
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
}

TEST(MachineReportWording, OSVersionDeviceAccessAndInstallState)
{
    const struct { Text osRelease, kernel; const char* expected; } versions[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "Linux 6.1.0",
         "Debian GNU/Linux 12 (bookworm); Linux 6.1.0"},
        {"PRETTY_NAME=\"say \\\"hi\\\" \\$x\"\r\n", "Linux 6", "say \"hi\" $x; Linux 6"},
        {"# comment\nNAME=Fedora\nVERSION=\"40 (Workstation)\"\n", "Linux 6", "Fedora 40 (Workstation); Linux 6"},
        {"PRETTY_NAME=''\nID=custom\n", "Linux 6", "unknown distribution; Linux 6"},
        {"PRETTY_NAME=Debian", none, "Debian; unknown kernel"},
        {none, none, "unknown"},
        // Text from outside cannot drive a terminal or break the line.
        {"PRETTY_NAME=\"Evil\x1b[31m\x7fOS\"", "Linux\n6", "Evil [31m OS; Linux 6"},
        {"PRETTY_NAME=\"Bad\xff\"", "Linux 6", "Bad\xEF\xBF\xBD; Linux 6"},
    };
    for (const auto& c : versions)
        EXPECT_EQ(osVersionText(c.osRelease, c.kernel), c.expected);

    using Nodes = std::vector<DeviceNode>;
    const std::pair<std::optional<Nodes>, const char*> devices[] = {
        {none, "unknown (video devices could not be listed)"},
        {Nodes{}, "no video devices"},
        {Nodes{{"/dev/video0", "cam", 0}}, "authorized (1 video device)"},
        {Nodes{{"/dev/video0", {}, EACCES}, {"/dev/video1", {}, 0}}, "partial (1 of 2 video devices usable)"},
        {Nodes{{"/dev/video0", {}, EACCES}, {"/dev/video1", {}, EBUSY}},
         "denied (2 video devices, none usable: Permission denied)"},
    };
    for (const auto& [nodes, expected] : devices)
        EXPECT_EQ(deviceAccessText(nodes, "video device"), expected);

    const struct { bool node; std::optional<bool> daemon; const char* expected; } states[] = {
        {true, true, "running (v4l2loopback control node present, daemon reachable on camera.sock)"},
        {false, true, "running (no v4l2loopback control node, daemon reachable on camera.sock)"},
        {true, false, "installed, not running (v4l2loopback control node present, daemon not reachable)"},
        {false, false, "not installed (no v4l2loopback control node, daemon not reachable)"},
        {true, none, "installed (v4l2loopback control node present, daemon state unknown)"},
        {false, none, "unknown (no v4l2loopback control node, daemon state unknown)"},
    };
    for (const auto& c : states)
        EXPECT_EQ(installStateText(c.node, c.daemon), c.expected);
}

TEST(MachineReportWording, CameraIsVisibleUnderItsCardLabel)
{
    const std::string k30 = "Quellon Camera of the big room";
    const struct { std::vector<std::string> cards; std::string cameraName; bool visible; } cases[] = {
        {{"Integrated Camera", "Quellon Camera"}, "Quellon Camera", true},
        {{"Quellon"}, "Quellon Camera", false},
        {{k30 + "1"}, k30 + "12345", true},       // cut at 31 bytes
        {{k30 + "12345"}, k30 + "12345", false},  // the driver cannot show more
        // "é" is two bytes straddling byte 31: either cut may have been made.
        {{k30 + "\xC3"}, k30 + "é", true},
        {{k30}, k30 + "é", true},
        {{"Quellon Camer"}, "Quellon Camera", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(showsCamera(c.cards, c.cameraName), c.visible) << c.cameraName;
}

TEST(MachineReportWording, LogLineIsOneSafeLine)
{
    const std::pair<LogEntry, std::string> cases[] = {
        {{"2025-03-04T09:29:58Z", "info", "Quellon ext: started"}, "2025-03-04T09:29:58Z [info] Quellon ext: started"},
        {{"", "", "oops"}, "(no time) oops"},
        {{"t", "info", "one\ntwo\r\x1b[2J\x7f"}, "t [info] one two  [2J "},
        {{"t", "info", "a\xC2\x9B" "31mb\xC2\xA0" "c"}, "t [info] a 31mb\xC2\xA0" "c"},  // C1 CSI, but not NBSP
        {{"t", "info", "bad\xff"}, "t [info] bad\xEF\xBF\xBD"},
        {{"t", "info", std::string(999, 'a') + "éé"}, "t [info] " + std::string(999, 'a') + "é…"},
        {{"t", "info", std::string(1000, 'a')}, "t [info] " + std::string(1000, 'a')},
    };
    for (const auto& [entry, expected] : cases)
        EXPECT_EQ(logLine(entry), expected);
}

TEST(MachineReportContainer, LoopCountAndModeReadOnlyWhatIsThere)
{
    ScratchDirectory scratch;
    const fs::path clips = scratch.path() / "Clips";
    EXPECT_EQ(loopCount(std::nullopt), 0);
    EXPECT_EQ(loopCount(scratch.path()), 0);
    EXPECT_FALSE(fs::exists(clips));
    for (const char* name : {"a.mov", "B.MP4", "c.m4v", "d.Mov", "a.json", ".quellon-export-1.mov", "notes.txt",
                             "mov", "e.mov.part"})
        touch(clips / name);
    fs::create_directories(clips / "folder.mov");
    fs::create_symlink(clips / "a.mov", clips / "link.mov");
    fs::create_symlink(clips / "missing.mov", clips / "dangling.mov");
    EXPECT_EQ(loopCount(scratch.path()), 5);

    EXPECT_EQ(currentModeText(std::nullopt), "unknown (no container)");
    EXPECT_EQ(currentModeText(scratch.path()), "unknown (no state.json)");
    touch(scratch.path() / "state.json", "{\"mode\": \"sideways\"}");
    EXPECT_EQ(currentModeText(scratch.path()), "unknown (state.json does not decode)");
    MapEnvironment environment;
    FixedDirectories directories;
    directories.appGroup = scratch.path();
    QuellonState state = QuellonState::defaultState();
    state.mode = QuellonMode::standby;
    QuellonStorage::writeState(state, ContainerPlatform{environment, directories});
    EXPECT_EQ(currentModeText(scratch.path()), "standby");
}

constexpr const char* kInitialUids = "         0          0 4294967295\n";
constexpr const char* kNamespaceUids = "      1000       1000          1\n";
constexpr const char* kFiltered = "Name:\tquellon\nNoNewPrivs:\t1\nSeccomp:\t2\n";
constexpr const char* kContainer = "Name:\tquellon\nNoNewPrivs:\t0\nSeccomp:\t2\n";
constexpr const char* kPlain = "Name:\tquellon\nNoNewPrivs:\t0\nSeccomp:\t0\n";

TEST(MachineReportConfinement, SandboxNeedsPositiveEvidenceAndNetworkOnlyLoopback)
{
    const struct { Text flatpak, appArmor, status, uids; bool sandboxed; const char* how; } cases[] = {
        {"[Application]\n", none, kPlain, kInitialUids, true, "Flatpak"},
        {none, "snap.quellon.quellon (enforce)", kPlain, kInitialUids, true,
         "snap strict confinement (AppArmor profile snap.quellon.quellon enforced)"},
        {none, "quellon-profile (enforce)", kPlain, kInitialUids, true, "AppArmor profile quellon-profile"},
        {none, "snap.quellon.quellon (complain)", kPlain, kInitialUids, false, "not sandboxed"},
        {none, " (enforce)", kPlain, kInitialUids, false, "not sandboxed"},
        {none, none, kFiltered, kNamespaceUids, true, "user namespace"},
        {none, none, kContainer, kInitialUids, false, "seccomp filter alone"},  // hides no files
        {none, none, kFiltered, kInitialUids, false, "no user namespace"},
        {none, none, kPlain, kNamespaceUids, false, "no seccomp filter, privileges can be gained"},
        {none, none, none, none, false, "process status unreadable"},
    };
    for (const auto& c : cases) {
        ProcessFacts process;
        process.flatpakInfo = c.flatpak, process.appArmorLabel = c.appArmor, process.status = c.status,
        process.uidMap = c.uids;
        const Finding finding = sandbox(process);
        EXPECT_EQ(finding.value, c.sandboxed) << c.how;
        EXPECT_THAT(finding.how, testing::HasSubstr(c.how));
    }

    using Names = std::vector<std::string>;
    const std::pair<std::optional<Names>, bool> networks[] = {
        {none, true}, {Names{"lo"}, false}, {Names{}, false}, {Names{"lo", "eth0"}, true}, {Names{"wlan0"}, true}};
    for (const auto& [interfaces, allowed] : networks) {
        ProcessFacts process;
        process.networkInterfaces = interfaces;
        EXPECT_EQ(networkAllowed(process).value, allowed);
    }

    const auto& all = PrivacyAbsences::canonical();
    using List = std::vector<PrivacyAbsence>;
    EXPECT_EQ(absencesThatHold(true, true), all);
    EXPECT_EQ(absencesThatHold(false, true), (List{all[0], all[1], all[2], all[3], all[5]}));
    EXPECT_EQ(absencesThatHold(true, false), (List{all[0], all[1], all[2], all[4], all[5]}));
    EXPECT_EQ(absencesThatHold(false, false), (List{all[0], all[1], all[2], all[5]}));
}

// The camera daemon and the host as the user units run them.
ProcessFacts confinedProcess(int pid)
{
    return {.pid = pid, .flatpakInfo = none, .appArmorLabel = none, .status = kFiltered, .uidMap = kNamespaceUids,
            .networkInterfaces = std::vector<std::string>{"lo"}, .ownNetworkNamespace = true};
}

// The same programs started from a shell.
ProcessFacts openProcess(int pid)
{
    return {.pid = pid, .flatpakInfo = none, .appArmorLabel = none, .status = kPlain, .uidMap = kInitialUids,
            .networkInterfaces = std::vector<std::string>{"lo", "eth0"}, .ownNetworkNamespace = false};
}

TEST(MachineReportConfinement, JudgesTheCameraDaemonAndTheHostTogether)
{
    const fs::path container = "/c";
    const fs::path socket = container / "camera.sock";
    const int camera = 100, host = 200;
    struct Case {
        std::optional<ProcessFacts> cameraProcess, hostProcess;
        bool cameraListens, hostOnBus, sandboxed, networkAllowed;
        std::vector<std::string> sandboxHow, networkHow;
    };
    const Case cases[] = {
        {confinedProcess(camera), confinedProcess(host), true, true, true, false,
         {"camera daemon (pid 100): seccomp filter", "host (pid 200): seccomp filter"},
         {"camera daemon (pid 100): only loopback in its own network namespace", "host (pid 200): only loopback"}},
        // One open process spoils both claims.
        {confinedProcess(camera), openProcess(host), true, true, false, true,
         {"host (pid 200): not sandboxed"}, {"host (pid 200): interfaces eth0 are open"}},
        {openProcess(camera), confinedProcess(host), true, true, false, true,
         {"camera daemon (pid 100): not sandboxed"}, {"camera daemon (pid 100): interfaces eth0"}},
        // Nothing is claimed for a program that is not running, nor for one that cannot be read.
        {confinedProcess(camera), none, true, false, false, true,
         {"host: not running (no owner of com.pennaveld.quellon on the session bus)"}, {"host: not running"}},
        {none, confinedProcess(host), false, true, false, true,
         {"camera daemon: not running (nothing listens on camera.sock)", "host (pid 200): seccomp"}, {}},
        {none, confinedProcess(host), true, true, false, true, {"camera daemon: pid 100 could not be looked at"}, {}},
    };
    for (const Case& c : cases) {
        FixedMachineFacts facts;
        if (c.cameraListens)
            facts.socketOwners[socket] = camera;
        if (c.hostOnBus)
            facts.busNameOwners["com.pennaveld.quellon"] = host;
        if (c.cameraProcess)
            facts.processes[camera] = *c.cameraProcess;
        if (c.hostProcess)
            facts.processes[host] = *c.hostProcess;
        const Confinement found = confinement(facts, container);
        EXPECT_EQ(found.sandboxed.value, c.sandboxed) << found.sandboxed.how;
        EXPECT_EQ(found.networkAllowed.value, c.networkAllowed) << found.networkAllowed.how;
        for (const std::string& text : c.sandboxHow)
            EXPECT_THAT(found.sandboxed.how, testing::HasSubstr(text));
        for (const std::string& text : c.networkHow)
            EXPECT_THAT(found.networkAllowed.how, testing::HasSubstr(text));
    }

    // Without a container there is no socket to find the camera daemon by.
    FixedMachineFacts facts;
    facts.socketOwners[socket] = camera;
    facts.processes[camera] = confinedProcess(camera);
    EXPECT_THAT(confinement(facts, std::nullopt).sandboxed.how, testing::HasSubstr("camera daemon: not running"));
}

class WholeReports : public testing::Test {
protected:
    WholeReports() { directories.appGroup = scratch.path(); }
    // The camera daemon and the host run, confined or not.
    void runPrograms(ProcessFacts (*make)(int))
    {
        facts.socketOwners[scratch.path() / "camera.sock"] = 10;
        facts.busNameOwners["com.pennaveld.quellon"] = 20;
        facts.processes = {{10, make(10)}, {20, make(20)}};
    }
    ContainerPlatform platform() const { return {environment, directories}; }
    DiagnosticsReport diagnostics() const { return diagnosticsReport(facts, platform(), cameraDefaults, now); }

    ScratchDirectory scratch;
    MapEnvironment environment;
    FixedDirectories directories;
    InMemoryUserDefaults cameraDefaults;
    FixedMachineFacts facts;
    const Date now = std::chrono::sys_days(std::chrono::year(2025) / 3 / 4) + std::chrono::hours(9);
    const std::string version = std::string(QuellonBuild::version());
    const std::string build = std::string(QuellonBuild::buildNumber());
};

TEST_F(WholeReports, DiagnosticsCarryEveryGatheredFact)
{
    facts.osReleaseText = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"";
    facts.kernelText = "Linux 6.1.0";
    facts.architectureText = "aarch64";
    facts.video = std::vector<DeviceNode>{{"/dev/video0", "Studio", 0}};
    facts.audio = std::vector<DeviceNode>{};
    facts.cardNames = std::vector<std::string>{"Integrated", "Studio Cam"};
    facts.controlNode = true;
    facts.listeningSockets = {scratch.path() / "camera.sock"};
    runPrograms(confinedProcess);
    facts.journal = std::vector<LogEntry>{{"t1", "info", "first"}, {"t2", "error", "second\nline"}};
    cameraDefaults.setString(QuellonIdentifiers::customCameraNameKey, "  Studio Cam ");
    touch(scratch.path() / "Clips" / "one.mov");
    QuellonState state = QuellonState::defaultState();
    state.mode = QuellonMode::away;
    QuellonStorage::writeState(state, platform());
    QuellonStorage::writeHeartbeat(now - std::chrono::seconds(2), platform());

    EXPECT_EQ(diagnostics(), (DiagnosticsReport{
        .appVersion = version, .buildNumber = build, .bundleID = "com.pennaveld.quellon",
        .osVersion = "Debian GNU/Linux 12 (bookworm); Linux 6.1.0", .architecture = "aarch64",
        .cameraAuthorization = "authorized (1 video device)",
        .microphoneAuthorization = "not used by Quellon (no audio code); no capture devices",
        .appGroupAvailable = true, .containerPath = scratch.path().string(),
        .virtualCameraInstallState = "running (v4l2loopback control node present, daemon reachable on camera.sock)",
        .virtualCameraVisible = true, .isStreaming = true, .loopCount = 1, .currentMode = "away",
        .sandboxed = true,
        .sandboxEvidence = "camera daemon (pid 10): seccomp filter with no-new-privileges inside a user namespace; "
                           "host (pid 20): seccomp filter with no-new-privileges inside a user namespace",
        .networkAccessAllowed = false,
        .networkEvidence = "camera daemon (pid 10): only loopback in its own network namespace; "
                           "host (pid 20): only loopback in its own network namespace",
        .recentLogLines = {"t1 [info] first", "t2 [error] second line"},
        .generatedAt = now}));
    EXPECT_EQ(facts.askedLogIdentifiers, std::vector<std::string>{"quellon-extension"});

    // A heartbeat older than the window is no client.
    QuellonStorage::writeHeartbeat(now - std::chrono::seconds(4), platform());
    EXPECT_FALSE(diagnostics().isStreaming);
    // Programs started outside their units can reach the network; the report says how the
    // shipped units would have cut them off.
    runPrograms(openProcess);
    const DiagnosticsReport open = diagnostics();
    EXPECT_TRUE(open.networkAccessAllowed);
    EXPECT_FALSE(open.sandboxed);
    EXPECT_THAT(open.networkEvidence, testing::HasSubstr("interfaces eth0 are open to it"));
    EXPECT_THAT(open.networkEvidence, testing::EndsWith(kShippedUnitsNetworkPolicy));
}

TEST_F(WholeReports, DiagnosticsWithoutAContainerInventNothing)
{
    directories.appGroup.reset();
    facts.listeningSockets = {scratch.path() / "camera.sock"};
    const DiagnosticsReport report = diagnostics();
    EXPECT_FALSE(report.appGroupAvailable || report.isStreaming);
    EXPECT_EQ(report.virtualCameraInstallState, "unknown (no v4l2loopback control node, daemon state unknown)");
    EXPECT_EQ(report.currentMode, "unknown (no container)");
    EXPECT_EQ(report.osVersion + " " + report.architecture, "unknown unknown");
    EXPECT_TRUE(report.networkAccessAllowed);
    EXPECT_FALSE(report.sandboxed);
    EXPECT_TRUE(report.containerPath.empty());
    EXPECT_TRUE(report.recentLogLines.empty());
}

TEST_F(WholeReports, ReceiptClaimsOnlyTheProtectionsFound)
{
    touch(scratch.path() / "Clips" / "a.mov");
    touch(scratch.path() / "Clips" / "b.mp4");
    runPrograms(confinedProcess);
    EXPECT_EQ(privacyReceipt(facts, platform(), now),
              (PrivacyReceipt{.bundleID = "com.pennaveld.quellon", .buildVersion = version + " (" + build + ")",
                              .appGroupIdentifier = "group.com.quellon.shared", .loopCount = 2,
                              .sandboxEnabled = true, .hasNetworkClientEntitlement = false,
                              .hasNetworkServerEntitlement = false, .absences = PrivacyAbsences::canonical(),
                              .generatedAt = now}));

    runPrograms(openProcess);
    const PrivacyReceipt open = privacyReceipt(facts, platform(), now);
    EXPECT_FALSE(open.sandboxEnabled);
    EXPECT_TRUE(open.hasNetworkClientEntitlement && open.hasNetworkServerEntitlement);
    EXPECT_EQ(open.absences, absencesThatHold(false, false));

    // With the programs stopped nothing is claimed, however confined they were.
    runPrograms(confinedProcess);
    facts.socketOwners.clear();
    facts.busNameOwners.clear();
    EXPECT_EQ(privacyReceipt(facts, platform(), now).absences, absencesThatHold(false, false));
}

} // namespace
} // namespace quellon

namespace quellon {
namespace {

// The receipt and the report say how the shipped units cut the programs off from the network;
// a unit that stops doing so must fail here rather than leave those sentences untrue.
TEST(ShippedUnits, EveryUnitCutsItsProgramOffFromTheNetwork)
{
    const fs::path dist = fs::path(QUELLON_SOURCE_DIR) / "dist";
    for (const char* unit : {"quellon-extension.service.in", "quellon-host.service.in", "quellon-menubar.service.in"}) {
        std::ifstream file(dist / unit);
        ASSERT_TRUE(file) << unit;
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        for (const char* setting : {"PrivateNetwork=yes", "IPAddressDeny=any", "RestrictAddressFamilies=AF_UNIX",
                                    "NoNewPrivileges=yes", "PrivateUsers=yes", "DevicePolicy=closed"})
            EXPECT_NE(std::find(lines.begin(), lines.end(), setting), lines.end()) << unit << " lacks " << setting;
    }
}

} // namespace
} // namespace quellon
