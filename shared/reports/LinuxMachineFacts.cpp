#include "reports/MachineFacts.h"

#include "platform/DateTime.h"
#include "platform/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-journal.h>

namespace quellon {

namespace fs = std::filesystem;

namespace {

// Small: the files read here are a few lines of kernel or distribution text.
constexpr std::size_t kMaxFactBytes = 64 * 1024;

std::optional<std::string> readFact(const fs::path& path)
{
    return readRegularFile(path, kMaxFactBytes);
}

std::string trimmedLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0' || text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The number after a fixed prefix of a directory entry ("video12" → 12), or nothing.
std::optional<unsigned> indexAfter(std::string_view name, std::string_view prefix)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    unsigned value = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9' || value > 100000)
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

bool isCharacterDevice(const fs::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// Opening is the real test of access: the group and ACLs of device nodes vary by
// distribution. Non-blocking, and closed at once, so no device is held or started.
int openError(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

std::string fieldValue(const void* data, std::size_t length, std::string_view field)
{
    std::string_view text(static_cast<const char*>(data), length);
    if (text.size() > field.size() && text.substr(0, field.size()) == field && text[field.size()] == '=')
        text.remove_prefix(field.size() + 1);
    return std::string(text);
}

std::string journalField(sd_journal* journal, const char* field)
{
    const void* data = nullptr;
    std::size_t length = 0;
    if (sd_journal_get_data(journal, field, &data, &length) < 0)
        return {};
    return fieldValue(data, length, field);
}

const char* priorityName(std::string_view priority)
{
    static constexpr const char* names[] = {"emerg", "alert", "crit", "error", "warning", "notice", "info", "debug"};
    if (priority.size() == 1 && priority[0] >= '0' && priority[0] <= '7')
        return names[priority[0] - '0'];
    return "";
}

// The interface names of a /proc/PID/net/dev table.
std::vector<std::string> interfaceNames(const std::string& text)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        const std::size_t colon = line.find(':');
        // The two header lines hold "|" and no colon-terminated name.
        if (colon != std::string_view::npos && line.find('|') == std::string_view::npos) {
            std::string_view name = line.substr(0, colon);
            while (!name.empty() && name.front() == ' ')
                name.remove_prefix(1);
            if (!name.empty())
                names.emplace_back(name);
        }
        start = end + 1;
    }
    return names;
}

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

struct JournalCloser {
    void operator()(sd_journal* journal) const { sd_journal_close(journal); }
};

} // namespace

std::optional<std::string> LinuxMachineFacts::osRelease() const
{
    if (auto text = readFact("/etc/os-release"))
        return text;
    return readFact("/usr/lib/os-release");
}

std::optional<std::string> LinuxMachineFacts::kernel() const
{
    struct utsname name {};
    if (::uname(&name) != 0)
        return std::nullopt;
    return std::string(name.sysname) + " " + name.release;
}

std::optional<std::string> LinuxMachineFacts::architecture() const
{
    struct utsname name {};
    if (::uname(&name) != 0)
        return std::nullopt;
    return std::string(name.machine);
}

std::optional<std::vector<DeviceNode>> LinuxMachineFacts::videoDevices() const
{
    std::error_code error;
    std::vector<std::pair<unsigned, DeviceNode>> found;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        const auto index = indexAfter(name, "video");
        if (!index || !isCharacterDevice(entry.path()))
            continue;
        DeviceNode node{entry.path().string(), std::nullopt, openError(entry.path())};
        if (auto card = readFact(fs::path("/sys/class/video4linux") / name / "name"))
            node.name = trimmedLine(*card);
        found.emplace_back(*index, std::move(node));
    }
    if (error)
        return std::nullopt;
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<DeviceNode> nodes;
    for (auto& [index, node] : found)
        nodes.push_back(std::move(node));
    return nodes;
}

std::optional<std::vector<DeviceNode>> LinuxMachineFacts::audioCaptureDevices() const
{
    std::error_code error;
    if (!fs::exists("/dev/snd", error))
        return error ? std::nullopt : std::optional<std::vector<DeviceNode>>(std::vector<DeviceNode>{});
    std::vector<DeviceNode> nodes;
    for (const auto& entry : fs::directory_iterator("/dev/snd", error)) {
        // pcmC<card>D<device>c: a capture stream of one card.
        const std::string name = entry.path().filename().string();
        unsigned card = 0, device = 0;
        char kind = 0;
        int consumed = 0;
        if (std::sscanf(name.c_str(), "pcmC%uD%u%c%n", &card, &device, &kind, &consumed) != 3 || kind != 'c'
            || static_cast<std::size_t>(consumed) != name.size())
            continue;
        DeviceNode node{entry.path().string(), std::nullopt, 0};
        // Opening a sound node may take it from the sound server, so only the permission is asked.
        if (::access(entry.path().c_str(), R_OK | W_OK) != 0)
            node.accessError = errno;
        const fs::path info = fs::path("/proc/asound") / ("card" + std::to_string(card)) /
                              ("pcm" + std::to_string(device) + "c") / "info";
        if (auto text = readFact(info)) {
            const auto at = text->find("\nname: ");
            if (at != std::string::npos) {
                const auto start = at + 7;
                node.name = text->substr(start, text->find('\n', start) - start);
            }
        }
        nodes.push_back(std::move(node));
    }
    if (error)
        return std::nullopt;
    std::sort(nodes.begin(), nodes.end(), [](const DeviceNode& a, const DeviceNode& b) { return a.path < b.path; });
    return nodes;
}

std::optional<std::vector<std::string>> LinuxMachineFacts::videoDeviceNames() const
{
    std::error_code error;
    const fs::path root = "/sys/class/video4linux";
    if (!fs::exists(root, error)) {
        // No V4L2 class at all means no V4L2 devices, provided sysfs is there to ask.
        if (!error && fs::exists("/sys/class", error))
            return std::vector<std::string>{};
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root, error))
        if (auto card = readFact(entry.path() / "name"))
            names.push_back(trimmedLine(*card));
    if (error)
        return std::nullopt;
    return names;
}

bool LinuxMachineFacts::loopbackControlNodePresent() const
{
    return isCharacterDevice("/dev/v4l2loopback");
}

std::optional<bool> LinuxMachineFacts::acceptsConnections(const fs::path& socketPath) const
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int connectError = result == 0 ? 0 : errno;
    ::close(fd);
    switch (connectError) {
    case 0:
    case EAGAIN: // listening, with a full backlog
    case EINPROGRESS:
        return true;
    case ENOENT:
    case ECONNREFUSED: // a socket file left behind by a daemon that has gone
    case ENOTDIR:
        return false;
    default: // no permission, or something that is not ours to judge
        return std::nullopt;
    }
}

std::optional<std::vector<LogEntry>> LinuxMachineFacts::recentLogEntries(const std::string& identifier,
                                                                         std::size_t limit) const
{
    std::error_code ignored;
    const bool hasJournal = fs::exists("/run/systemd/journal", ignored) || fs::exists("/var/log/journal", ignored)
        || fs::exists("/run/log/journal", ignored);
    if (!hasJournal)
        return std::nullopt;

    sd_journal* raw = nullptr;
    if (sd_journal_open(&raw, SD_JOURNAL_LOCAL_ONLY) < 0 || !raw)
        return std::nullopt;
    std::unique_ptr<sd_journal, JournalCloser> journal(raw);
    const std::string match = "SYSLOG_IDENTIFIER=" + identifier;
    if (sd_journal_add_match(journal.get(), match.data(), match.size()) < 0 || sd_journal_seek_tail(journal.get()) < 0)
        return std::nullopt;

    std::vector<LogEntry> entries;
    while (entries.size() < limit && sd_journal_previous(journal.get()) > 0) {
        LogEntry entry;
        std::uint64_t microseconds = 0;
        if (sd_journal_get_realtime_usec(journal.get(), &microseconds) >= 0) {
            const Date date{std::chrono::microseconds(microseconds)};
            entry.timestamp = InternetDateTime::format(date).value_or("");
        }
        entry.priority = priorityName(journalField(journal.get(), "PRIORITY"));
        entry.message = journalField(journal.get(), "MESSAGE");
        entries.push_back(std::move(entry));
    }
    std::reverse(entries.begin(), entries.end());
    return entries;
}

LinuxMachineFacts::LinuxMachineFacts(fs::path procRoot) : procRoot_(std::move(procRoot)) {}

std::optional<int> LinuxMachineFacts::socketOwnerProcess(const fs::path& socketPath) const
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    std::optional<int> pid;
    // The credentials are the listener's, taken when it began listening.
    ucred credentials {};
    socklen_t length = sizeof(credentials);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.pid > 0)
        pid = credentials.pid;
    ::close(fd);
    return pid;
}

std::optional<int> LinuxMachineFacts::busNameOwnerProcess(const std::string& name) const
{
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0 || !raw)
        return std::nullopt;
    std::unique_ptr<sd_bus, BusCloser> bus(raw);
    // A bus that does not answer must not stall a report.
    sd_bus_set_method_call_timeout(bus.get(), 2'000'000);
    sd_bus_error error{nullptr, nullptr, 0}; // SD_BUS_ERROR_NULL, spelt without its C99 compound literal
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetConnectionUnixProcessID", &error, &reply,
                                          "s", name.c_str());
    sd_bus_error_free(&error);
    if (called < 0)
        return std::nullopt;
    std::uint32_t pid = 0;
    const int read = sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    if (read < 0 || pid == 0 || pid > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    return static_cast<int>(pid);
}

std::optional<ProcessFacts> LinuxMachineFacts::process(int pid) const
{
    if (pid <= 0)
        return std::nullopt;
    const fs::path entry = procRoot_ / std::to_string(pid);
    ProcessFacts facts;
    facts.pid = pid;
    facts.status = readFact(entry / "status");
    // A process that is gone, or one this user may not look at, shows no status.
    if (!facts.status)
        return std::nullopt;
    facts.uidMap = readFact(entry / "uid_map");
    facts.flatpakInfo = readFact(entry / "root" / ".flatpak-info");

    // The per-module file exists where security modules are stacked; the generic one is
    // AppArmor's only when AppArmor is the active module.
    if (auto label = readFact(entry / "attr" / "apparmor" / "current")) {
        facts.appArmorLabel = trimmedLine(*label);
    } else {
        std::error_code ignored;
        if (fs::exists("/sys/module/apparmor", ignored))
            if (auto generic = readFact(entry / "attr" / "current"))
                facts.appArmorLabel = trimmedLine(*generic);
    }

    // Per network namespace: a process without network sees only its own loopback here.
    if (auto text = readFact(entry / "net" / "dev"))
        facts.networkInterfaces = interfaceNames(*text);

    std::error_code linkError, selfError;
    const fs::path namespaceLink = fs::read_symlink(entry / "ns" / "net", linkError);
    const fs::path ownLink = fs::read_symlink(procRoot_ / "self" / "ns" / "net", selfError);
    if (!linkError && !selfError)
        facts.ownNetworkNamespace = namespaceLink != ownLink;
    return facts;
}

} // namespace quellon
