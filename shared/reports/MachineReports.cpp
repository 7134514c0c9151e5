#include "reports/MachineReports.h"

#include "platform/FileIO.h"
#include "platform/UserDefaults.h"
#include "reports/QuellonBuild.h"
#include "state/JSONCoding.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace quellon::MachineReports {

namespace fs = std::filesystem;

namespace {

// Longest log message kept in a report line, in characters.
constexpr std::size_t kMaxLogMessageCharacters = 1000;
// The loopback driver keeps card labels in 32 bytes with a terminating NUL.
constexpr std::size_t kCardLabelBytes = 31;

std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        result.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return result;
}

// Blanks C0 and C1 control characters and DEL, after replacing invalid UTF-8, so text from
// outside cannot break a line or drive a terminal.
std::string printable(std::string_view bytes)
{
    const std::string text = replacingInvalidUTF8(bytes);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += ' ';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            out += ' '; // U+0080 to U+009F
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The byte length of at most maxCharacters whole UTF-8 characters of valid text.
std::size_t prefixBytes(std::string_view text, std::size_t maxCharacters)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (characters == maxCharacters)
                return i;
            ++characters;
        }
    }
    return text.size();
}

// os-release values are shell-style: optionally quoted, with backslash escapes.
std::string unquoted(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        const char quote = value.front();
        value = value.substr(1, value.size() - 2);
        if (quote == '\'')
            return std::string(value);
        std::string out;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            out += value[i];
        }
        return out;
    }
    return std::string(value);
}

std::map<std::string, std::string, std::less<>> osReleaseFields(std::string_view text)
{
    std::map<std::string, std::string, std::less<>> fields;
    for (std::string_view line : lines(text)) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos)
            continue;
        fields[std::string(line.substr(0, equals))] = unquoted(line.substr(equals + 1));
    }
    return fields;
}

std::optional<std::string> distributionName(const std::string& osRelease)
{
    auto fields = osReleaseFields(osRelease);
    auto field = [&](const char* key) -> std::string {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : printable(trimWhitespaceAndNewlines(it->second));
    };
    if (std::string pretty = field("PRETTY_NAME"); !pretty.empty())
        return pretty;
    std::string name = field("NAME");
    if (name.empty())
        return std::nullopt;
    if (std::string version = field("VERSION"); !version.empty())
        name += " " + version;
    return name;
}

bool isLoopFile(const fs::directory_entry& entry)
{
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.front() == '.')
        return false;
    std::error_code error;
    if (!entry.is_regular_file(error))
        return false;
    std::string extension = entry.path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return extension == ".mov" || extension == ".mp4" || extension == ".m4v";
}

std::optional<std::string> statusField(const std::string& status, std::string_view key)
{
    for (std::string_view line : lines(status)) {
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':')
            return std::string(trimWhitespaceAndNewlines(line.substr(key.size() + 1)));
    }
    return std::nullopt;
}

// The initial user namespace maps every id to itself.
bool inInitialUserNamespace(const std::string& uidMap)
{
    for (std::string_view line : lines(uidMap)) {
        unsigned long inside = 1, outside = 1, count = 0;
        if (std::sscanf(std::string(line).c_str(), "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0
            && outside == 0 && count == 4294967295UL)
            return true;
    }
    return false;
}

} // namespace

Finding sandbox(const ProcessFacts& process)
{
    if (process.flatpakInfo)
        return {true, "Flatpak sandbox (.flatpak-info in its root)"};

    const auto& label = process.appArmorLabel;
    constexpr std::string_view enforced = " (enforce)";
    if (label && label->size() > enforced.size() && label->ends_with(enforced)) {
        const std::string profile = printable(label->substr(0, label->size() - enforced.size()));
        if (profile.starts_with("snap."))
            return {true, "snap strict confinement (AppArmor profile " + profile + " enforced)"};
        return {true, "AppArmor profile " + profile + " enforced"};
    }

    const auto& status = process.status;
    const bool seccompFilter = status && statusField(*status, "Seccomp") == "2";
    const bool noNewPrivileges = status && statusField(*status, "NoNewPrivs") == "1";
    const bool userNamespace = process.uidMap && !inInitialUserNamespace(*process.uidMap);
    if (seccompFilter && noNewPrivileges && userNamespace)
        return {true, "seccomp filter with no-new-privileges inside a user namespace"};

    std::string how = "not sandboxed: no Flatpak instance, no enforced AppArmor profile";
    if (!status) {
        how += ", process status unreadable";
    } else {
        if (!seccompFilter)
            how += ", no seccomp filter";
        if (!noNewPrivileges)
            how += ", privileges can be gained";
        if (!userNamespace)
            how += ", no user namespace";
        if (seccompFilter && !userNamespace)
            how += "; a seccomp filter alone limits system calls, not what files are seen";
    }
    return {false, how};
}

Finding networkAllowed(const ProcessFacts& process)
{
    const auto& interfaces = process.networkInterfaces;
    if (!interfaces)
        return {true, "network interfaces unreadable; nothing shows that connections are blocked"};
    std::string others;
    for (const std::string& name : *interfaces) {
        if (name == "lo")
            continue;
        others += (others.empty() ? "" : ", ") + printable(name);
    }
    if (others.empty()) {
        const bool own = process.ownNetworkNamespace.value_or(false);
        return {false, std::string("only loopback in ") + (own ? "its own" : "its") + " network namespace"};
    }
    return {true, "interfaces " + others + " are open to it; Linux grants network access to every "
                  "unconfined program, and this build carries no networking code"};
}

Confinement confinement(const MachineFacts& facts, const std::optional<fs::path>& container)
{
    const struct {
        const char* name;
        std::optional<int> pid;
        const char* absent;
    } programs[] = {
        {"camera daemon", container ? facts.socketOwnerProcess(*container / kCameraSocketName) : std::nullopt,
         "not running (nothing listens on camera.sock)"},
        {"host", facts.busNameOwnerProcess(QuellonIdentifiers::hostBundleID),
         "not running (no owner of com.pennaveld.quellon on the session bus)"},
    };
    bool allSandboxed = true, noneNetworked = true;
    std::string sandboxHow, networkHow;
    for (const auto& program : programs) {
        const std::string separator = sandboxHow.empty() ? "" : "; ";
        const std::optional<ProcessFacts> process = program.pid ? facts.process(*program.pid) : std::nullopt;
        if (!process) {
            const std::string why = program.pid
                ? "pid " + std::to_string(*program.pid) + " could not be looked at"
                : std::string(program.absent);
            sandboxHow += separator + program.name + ": " + why;
            networkHow += separator + program.name + ": " + why;
            allSandboxed = noneNetworked = false;
            continue;
        }
        const std::string who = std::string(program.name) + " (pid " + std::to_string(process->pid) + "): ";
        const Finding sandboxed = sandbox(*process), networked = networkAllowed(*process);
        sandboxHow += separator + who + sandboxed.how;
        networkHow += separator + who + networked.how;
        allSandboxed = allSandboxed && sandboxed.value;
        noneNetworked = noneNetworked && !networked.value;
    }
    return {{allSandboxed, sandboxHow}, {!noneNetworked, networkHow}};
}

std::string osVersionText(const std::optional<std::string>& osRelease, const std::optional<std::string>& kernel)
{
    std::optional<std::string> distribution = osRelease ? distributionName(*osRelease) : std::nullopt;
    std::optional<std::string> kernelText;
    if (kernel) {
        if (std::string text = printable(trimWhitespaceAndNewlines(*kernel)); !text.empty())
            kernelText = text;
    }
    if (!distribution && !kernelText)
        return "unknown";
    return distribution.value_or("unknown distribution") + "; " + kernelText.value_or("unknown kernel");
}

std::string deviceAccessText(const std::optional<std::vector<DeviceNode>>& devices, std::string_view noun)
{
    const std::string nounText(noun);
    if (!devices)
        return "unknown (" + nounText + "s could not be listed)";
    const std::size_t total = devices->size();
    if (total == 0)
        return "no " + nounText + "s";
    const std::size_t usable = static_cast<std::size_t>(
        std::count_if(devices->begin(), devices->end(), [](const DeviceNode& node) { return node.accessError == 0; }));
    auto counted = [&](std::size_t count) { return std::to_string(count) + " " + nounText + (count == 1 ? "" : "s"); };
    if (usable == total)
        return "authorized (" + counted(total) + ")";
    if (usable > 0)
        return "partial (" + std::to_string(usable) + " of " + counted(total) + " usable)";
    const auto firstFailure = std::find_if(devices->begin(), devices->end(),
                                           [](const DeviceNode& node) { return node.accessError != 0; });
    return "denied (" + counted(total) + ", none usable: " + std::strerror(firstFailure->accessError) + ")";
}

std::string microphoneAccessText(const std::optional<std::vector<DeviceNode>>& devices)
{
    return "not used by Quellon (no audio code); " + deviceAccessText(devices, "capture device");
}

std::string installStateText(bool controlNodePresent, std::optional<bool> daemonReachable)
{
    std::string state;
    if (daemonReachable == true)
        state = "running";
    else if (daemonReachable == false)
        state = controlNodePresent ? "installed, not running" : "not installed";
    else
        state = controlNodePresent ? "installed" : "unknown";
    const std::string node = controlNodePresent ? "v4l2loopback control node present" : "no v4l2loopback control node";
    const std::string daemon = daemonReachable == true    ? std::string("daemon reachable on ") + kCameraSocketName
                               : daemonReachable == false ? std::string("daemon not reachable")
                                                          : std::string("daemon state unknown");
    return state + " (" + node + ", " + daemon + ")";
}

std::string cardLabel(std::string_view cameraName)
{
    return std::string(cameraName.substr(0, kCardLabelBytes));
}

bool showsCamera(const std::vector<std::string>& cardNames, std::string_view cameraName)
{
    const std::string label = cardLabel(cameraName);
    // The same cut backed off to a character boundary, for a daemon that will not split one.
    std::size_t whole = label.size();
    if (whole < cameraName.size())
        while (whole > 0 && (static_cast<unsigned char>(cameraName[whole]) & 0xC0) == 0x80)
            --whole;
    const std::string_view wholeLabel = cameraName.substr(0, whole);
    return std::any_of(cardNames.begin(), cardNames.end(),
                       [&](const std::string& name) { return name == label || name == wholeLabel; });
}

std::int64_t loopCount(const std::optional<fs::path>& container)
{
    if (!container)
        return 0;
    std::error_code error;
    std::int64_t count = 0;
    for (fs::directory_iterator it(*container / "Clips", error), end; !error && it != end; it.increment(error))
        if (isLoopFile(*it))
            ++count;
    return count;
}

std::string currentModeText(const std::optional<fs::path>& container)
{
    if (!container)
        return "unknown (no container)";
    const auto bytes = readRegularFile(*container / "state.json");
    if (!bytes)
        return "unknown (no state.json)";
    try {
        return std::string(rawValue(decodeQuellonState(*bytes).mode));
    } catch (const DecodingError&) {
        return "unknown (state.json does not decode)";
    }
}

std::string logLine(const LogEntry& entry)
{
    std::string message = printable(entry.message);
    const std::size_t cut = prefixBytes(message, kMaxLogMessageCharacters);
    if (cut < message.size()) {
        message.resize(cut);
        message += "…";
    }
    std::string line = entry.timestamp.empty() ? std::string("(no time)") : printable(entry.timestamp);
    if (!entry.priority.empty())
        line += " [" + printable(entry.priority) + "]";
    return line + " " + message;
}

std::vector<PrivacyAbsence> absencesThatHold(bool sandboxed, bool networkBlocked)
{
    const auto& canonical = PrivacyAbsences::canonical();
    std::vector<PrivacyAbsence> holding;
    for (std::size_t i = 0; i < canonical.size(); ++i) {
        // The fourth rests on blocked connections, the fifth on a sandbox.
        if ((i == 3 && !networkBlocked) || (i == 4 && !sandboxed))
            continue;
        holding.push_back(canonical[i]);
    }
    return holding;
}

DiagnosticsReport diagnosticsReport(const MachineFacts& facts, const ContainerPlatform& platform,
                                    const UserDefaults& cameraDefaults, Date now)
{
    const auto container = QuellonStorage::containerURL(platform);
    const std::string cameraName = QuellonIdentifiers::effectiveVirtualCameraName(cameraDefaults);
    const auto cardNames = facts.videoDeviceNames();

    std::vector<std::string> logLines;
    if (auto entries = facts.recentLogEntries(kCameraLogIdentifier, kLogLineLimit))
        for (const LogEntry& entry : *entries)
            logLines.push_back(logLine(entry));

    const Confinement found = confinement(facts, container);
    std::string networkEvidence = found.networkAllowed.how;
    if (found.networkAllowed.value)
        networkEvidence += std::string("; ") + kShippedUnitsNetworkPolicy;

    return DiagnosticsReport{
        .appVersion = std::string(QuellonBuild::version()),
        .buildNumber = std::string(QuellonBuild::buildNumber()),
        .bundleID = QuellonIdentifiers::hostBundleID,
        .osVersion = osVersionText(facts.osRelease(), facts.kernel()),
        .architecture = facts.architecture().value_or("unknown"),
        .cameraAuthorization = deviceAccessText(facts.videoDevices(), "video device"),
        .microphoneAuthorization = microphoneAccessText(facts.audioCaptureDevices()),
        .appGroupAvailable = container.has_value(),
        .containerPath = container ? container->string() : std::string(),
        .virtualCameraInstallState = installStateText(
            facts.loopbackControlNodePresent(),
            container ? facts.acceptsConnections(*container / kCameraSocketName) : std::nullopt),
        .virtualCameraVisible = cardNames && showsCamera(*cardNames, cameraName),
        .isStreaming = container && QuellonStorage::isExtensionStreaming(kStreamingWindowSeconds, now, platform),
        .loopCount = loopCount(container),
        .currentMode = currentModeText(container),
        .sandboxed = found.sandboxed.value,
        .sandboxEvidence = found.sandboxed.how,
        .networkAccessAllowed = found.networkAllowed.value,
        .networkEvidence = std::move(networkEvidence),
        .recentLogLines = std::move(logLines),
        .generatedAt = now,
    };
}

PrivacyReceipt privacyReceipt(const MachineFacts& facts, const ContainerPlatform& platform, Date now)
{
    const auto container = QuellonStorage::containerURL(platform);
    const Confinement found = confinement(facts, container);
    const bool sandboxed = found.sandboxed.value;
    const bool network = found.networkAllowed.value;
    return PrivacyReceipt{
        .bundleID = QuellonIdentifiers::hostBundleID,
        .buildVersion = std::string(QuellonBuild::version()) + " (" + std::string(QuellonBuild::buildNumber()) + ")",
        .appGroupIdentifier = QuellonIdentifiers::appGroup,
        .loopCount = loopCount(container),
        .sandboxEnabled = sandboxed,
        .hasNetworkClientEntitlement = network,
        .hasNetworkServerEntitlement = network,
        .absences = absencesThatHold(sandboxed, !network),
        .generatedAt = now,
    };
}

} // namespace quellon::MachineReports
