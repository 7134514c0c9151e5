#pragma once

#include "platform/DateTime.h"
#include "reports/DiagnosticsReport.h"
#include "reports/MachineFacts.h"
#include "reports/PrivacyReceipt.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

struct ContainerPlatform;
class UserDefaults;

/// Turns what was observed on this machine into the two reports. Linux has no entitlements
/// and no permission prompts, so each report field gets the nearest fact that can really be
/// checked, and a fact that cannot be checked reads "unknown" instead of a guess.
namespace MachineReports {

/// Journal identifier of the camera daemon.
inline constexpr const char* kCameraLogIdentifier = "quellon-extension";
/// The camera daemon's socket in the shared container.
inline constexpr const char* kCameraSocketName = "camera.sock";
/// How many log lines a diagnostics report carries.
inline constexpr std::size_t kLogLineLimit = 50;
/// How the systemd user units as shipped cut the programs off from the network.
inline constexpr const char* kShippedUnitsNetworkPolicy =
    "the shipped systemd units run them with PrivateNetwork=yes, IPAddressDeny=any and Unix sockets only";
/// A heartbeat this recent means some client is streaming.
inline constexpr double kStreamingWindowSeconds = 3.0;

/// A yes/no judgement and the evidence it rests on, in words.
struct Finding {
    bool value = false;
    std::string how;

    bool operator==(const Finding&) const = default;
};

/// True only with positive evidence that the process is confined: a Flatpak instance, an
/// enforced AppArmor profile (snap strict confinement among them), or a seccomp filter with
/// no-new-privileges inside a user namespace (as systemd's sandboxed user units and
/// bubblewrap set up). A seccomp filter alone, as container runtimes apply, limits system
/// calls but not what files are seen.
Finding sandbox(const ProcessFacts& process);

/// Whether the OS lets the process open network connections: false only when its network
/// namespace has nothing but loopback. Unknown counts as allowed, since a protection is
/// never claimed without evidence.
Finding networkAllowed(const ProcessFacts& process);

/// The confinement of Quellon as a whole: of the camera daemon (found through its socket)
/// and the host (found through its bus name), the processes that hold the user's data.
struct Confinement {
    /// True only when both run and both are sandboxed.
    Finding sandboxed;
    /// False only when both run and neither can reach the network.
    Finding networkAllowed;

    bool operator==(const Confinement&) const = default;
};

/// Looks at the running camera daemon and host; says which of them is not running.
Confinement confinement(const MachineFacts& facts, const std::optional<std::filesystem::path>& container);

/// The distribution's name from os-release and the kernel, e.g.
/// "Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64"; "unknown" for what is missing.
std::string osVersionText(const std::optional<std::string>& osRelease, const std::optional<std::string>& kernel);

/// The permission state of a kind of device: "authorized (…)", "partial (…)", "denied (…)",
/// "no <noun>s" or "unknown (…)".
std::string deviceAccessText(const std::optional<std::vector<DeviceNode>>& devices, std::string_view noun);

/// The microphone row: Quellon opens none, and what this user could open.
std::string microphoneAccessText(const std::optional<std::vector<DeviceNode>>& devices);

/// The camera daemon's install state from the loopback control node and the socket.
std::string installStateText(bool controlNodePresent, std::optional<bool> daemonReachable);

/// The camera name as the loopback driver shows it: at most 31 bytes.
std::string cardLabel(std::string_view cameraName);

/// True when some V4L2 card name is the camera's label (cut at 31 bytes, or at the last
/// whole character before them).
bool showsCamera(const std::vector<std::string>& cardNames, std::string_view cameraName);

/// Recorded loops in the container's "Clips": visible regular files whose extension is
/// mov, mp4 or m4v in any case. Sidecars, hidden temporary files and folders do not count.
/// Reading creates nothing.
std::int64_t loopCount(const std::optional<std::filesystem::path>& container);

/// The mode stored in "state.json", or "unknown (…)" when there is none to read.
std::string currentModeText(const std::optional<std::filesystem::path>& container);

/// One log entry as a report line: "<time> [<priority>] <message>", with control characters
/// blanked, invalid UTF-8 replaced and overlong messages cut, so one entry is one line.
std::string logLine(const LogEntry& entry);

/// The canonical absences that hold on this machine: the network one only when connections
/// are blocked, the sandbox one only when sandboxed.
std::vector<PrivacyAbsence> absencesThatHold(bool sandboxed, bool networkBlocked);

/// The diagnostics report of this machine and container. The camera's name is read from
/// the camera daemon's preferences.
DiagnosticsReport diagnosticsReport(const MachineFacts& facts, const ContainerPlatform& platform,
                                    const UserDefaults& cameraDefaults, Date now);

/// The privacy receipt of this build on this machine.
PrivacyReceipt privacyReceipt(const MachineFacts& facts, const ContainerPlatform& platform, Date now);

} // namespace MachineReports

} // namespace quellon
