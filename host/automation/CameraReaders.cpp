#include "host/automation/CameraReaders.h"

#include <algorithm>
#include <set>
#include <string>

namespace quellon::host {

namespace fs = std::filesystem;

std::vector<fs::path> cameraNodes(const std::optional<fs::path>& container, const fs::path& sysRoot, const fs::path& devRoot)
{
    std::vector<fs::path> nodes;
    if (container)
        nodes.push_back(*container / "camera.y4m");
    std::error_code error;
    std::vector<fs::path> devices;
    for (fs::directory_iterator entry(sysRoot / "class" / "video4linux", error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code linkError;
        const auto target = fs::canonical(entry->path(), linkError);
        if (linkError || target.string().find("/devices/virtual/") == std::string::npos)
            continue;
        devices.push_back(devRoot / entry->path().filename());
    }
    std::sort(devices.begin(), devices.end());
    nodes.insert(nodes.end(), devices.begin(), devices.end());
    return nodes;
}

CameraReaders::CameraReaders(ProcessTable processes, std::function<std::vector<fs::path>()> nodes, pid_t self)
    : processes_(std::move(processes)), nodes_(std::move(nodes)), self_(self)
{
}

std::vector<CameraReader> CameraReaders::readers() const
{
    std::set<pid_t> pids;
    for (pid_t pid : processes_.holders(nodes_(), true))
        if (pid != self_)
            pids.insert(pid);
    struct Found {
        CameraReader reader;
        std::uint64_t started;
    };
    std::vector<Found> found;
    for (pid_t pid : pids) {
        auto app = AppIdentities::identify(processes_, pid);
        if (!app)
            continue; // gone while we looked
        if (const auto exe = processes_.executableName(pid); exe && exe->starts_with("quellon"))
            continue;
        found.push_back({{pid, std::move(*app)}, processes_.startTime(pid).value_or(0)});
    }
    // Newest first; the pid breaks ties so the order is stable.
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.started != b.started ? a.started > b.started : a.reader.pid > b.reader.pid;
    });
    std::vector<CameraReader> result;
    for (auto& entry : found)
        result.push_back(std::move(entry.reader));
    return result;
}

} // namespace quellon::host
