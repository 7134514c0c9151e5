#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quellon {

/// A device node and whether this process may use it.
struct DeviceNode {
    std::string path;
    /// The driver's name for the device, when it gives one.
    std::optional<std::string> name;
    /// 0 when the node could be opened; otherwise the errno of the attempt.
    int accessError = 0;

    bool operator==(const DeviceNode&) const = default;
};

/// One entry read from the camera daemon's log.
struct LogEntry {
    std::string timestamp;
    std::string priority;
    std::string message;

    bool operator==(const LogEntry&) const = default;
};

/// What shows how one running process is confined, read from its entry in /proc. Absent
/// answers could not be read.
struct ProcessFacts {
    int pid = 0;
    /// The Flatpak instance description, present only for a process inside a Flatpak sandbox.
    std::optional<std::string> flatpakInfo;
    /// Its AppArmor label, e.g. "snap.quellon.quellon (enforce)" or "unconfined".
    std::optional<std::string> appArmorLabel;
    /// The text of its status file (Seccomp, NoNewPrivs).
    std::optional<std::string> status;
    /// Its user-namespace id map.
    std::optional<std::string> uidMap;
    /// The network interfaces of its network namespace.
    std::optional<std::vector<std::string>> networkInterfaces;
    /// Whether its network namespace is another than the one of the process asking.
    std::optional<bool> ownNetworkNamespace;

    bool operator==(const ProcessFacts&) const = default;
};

/// The raw observations of this machine that the two reports are built from. Every answer is
/// what was seen, unjudged; an absent answer means it could not be looked at, so the reports
/// say "unknown" instead of guessing.
class MachineFacts {
public:
    virtual ~MachineFacts() = default;

    /// The text of os-release.
    virtual std::optional<std::string> osRelease() const = 0;
    /// Kernel name and release, e.g. "Linux 6.1.0-18-amd64".
    virtual std::optional<std::string> kernel() const = 0;
    /// Processor architecture, e.g. "x86_64".
    virtual std::optional<std::string> architecture() const = 0;

    /// Every video device node (/dev/video*), tried for opening.
    virtual std::optional<std::vector<DeviceNode>> videoDevices() const = 0;
    /// Every sound capture node; absent when the machine has no sound subsystem to ask.
    virtual std::optional<std::vector<DeviceNode>> audioCaptureDevices() const = 0;
    /// The card names of the V4L2 devices, as the kernel shows them.
    virtual std::optional<std::vector<std::string>> videoDeviceNames() const = 0;

    /// Whether the loopback driver's control node exists.
    virtual bool loopbackControlNodePresent() const = 0;
    /// Whether something accepts connections on the Unix socket; absent when it cannot be
    /// told (the path is too long for a socket address, for example).
    virtual std::optional<bool> acceptsConnections(const std::filesystem::path& socket) const = 0;

    /// The newest entries (at most limit, oldest first) logged under the identifier; absent
    /// when there is no journal to read.
    virtual std::optional<std::vector<LogEntry>> recentLogEntries(const std::string& identifier,
                                                                  std::size_t limit) const = 0;

    // Evidence of confinement, of the processes that hold the user's data rather than of
    // the shell that asks.
    /// The process listening on the Unix socket (its peer credentials); absent when nothing
    /// accepts connections there.
    virtual std::optional<int> socketOwnerProcess(const std::filesystem::path& socket) const = 0;
    /// The process owning the name on the session bus; absent when no process owns it or
    /// there is no bus to ask.
    virtual std::optional<int> busNameOwnerProcess(const std::string& name) const = 0;
    /// The confinement facts of a process; absent when it is gone or cannot be looked at.
    virtual std::optional<ProcessFacts> process(int pid) const = 0;
};

/// Fixed answers, for tests. Every fact starts unknown.
class FixedMachineFacts final : public MachineFacts {
public:
    std::optional<std::string> osReleaseText;
    std::optional<std::string> kernelText;
    std::optional<std::string> architectureText;
    std::optional<std::vector<DeviceNode>> video;
    std::optional<std::vector<DeviceNode>> audio;
    std::optional<std::vector<std::string>> cardNames;
    bool controlNode = false;
    /// Socket paths that accept connections; any other path does not.
    std::vector<std::filesystem::path> listeningSockets;
    bool socketStateUnknown = false;
    std::optional<std::vector<LogEntry>> journal;
    std::map<std::filesystem::path, int> socketOwners;
    std::map<std::string, int> busNameOwners;
    std::map<int, ProcessFacts> processes;
    /// Filled with every identifier the journal was asked for.
    mutable std::vector<std::string> askedLogIdentifiers;

    std::optional<std::string> osRelease() const override { return osReleaseText; }
    std::optional<std::string> kernel() const override { return kernelText; }
    std::optional<std::string> architecture() const override { return architectureText; }
    std::optional<std::vector<DeviceNode>> videoDevices() const override { return video; }
    std::optional<std::vector<DeviceNode>> audioCaptureDevices() const override { return audio; }
    std::optional<std::vector<std::string>> videoDeviceNames() const override { return cardNames; }
    bool loopbackControlNodePresent() const override { return controlNode; }
    std::optional<bool> acceptsConnections(const std::filesystem::path& socket) const override;
    std::optional<std::vector<LogEntry>> recentLogEntries(const std::string& identifier,
                                                          std::size_t limit) const override;
    std::optional<int> socketOwnerProcess(const std::filesystem::path& socket) const override;
    std::optional<int> busNameOwnerProcess(const std::string& name) const override;
    std::optional<ProcessFacts> process(int pid) const override;
};

/// This Linux machine, seen from this process: /etc/os-release, uname, /dev, /sys, /proc,
/// the session bus and the systemd journal. Never blocks for long: device nodes and sockets
/// are opened non-blocking and closed at once, and the bus is given a short timeout.
class LinuxMachineFacts final : public MachineFacts {
public:
    /// procRoot stands in for /proc when reading processes, for tests.
    explicit LinuxMachineFacts(std::filesystem::path procRoot = "/proc");

    std::optional<std::string> osRelease() const override;
    std::optional<std::string> kernel() const override;
    std::optional<std::string> architecture() const override;
    std::optional<std::vector<DeviceNode>> videoDevices() const override;
    std::optional<std::vector<DeviceNode>> audioCaptureDevices() const override;
    std::optional<std::vector<std::string>> videoDeviceNames() const override;
    bool loopbackControlNodePresent() const override;
    std::optional<bool> acceptsConnections(const std::filesystem::path& socket) const override;
    std::optional<std::vector<LogEntry>> recentLogEntries(const std::string& identifier,
                                                          std::size_t limit) const override;
    std::optional<int> socketOwnerProcess(const std::filesystem::path& socket) const override;
    std::optional<int> busNameOwnerProcess(const std::string& name) const override;
    std::optional<ProcessFacts> process(int pid) const override;

private:
    std::filesystem::path procRoot_;
};

} // namespace quellon
