#include "host/HostStatusText.h"

#include "platform/TerminalText.h"

#include <sstream>
#include <cstdio>

namespace quellon::host {

std::string formatBytes(std::int64_t bytes)
{
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    for (value /= 1024; value >= 1024 && unit + 1 < std::size(units); value /= 1024)
        ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::vector<std::string> describeHostStatus(const HostStatus& status)
{
    std::vector<std::string> lines;
    std::string mode = "mode: " + std::string(rawValue(status.mode));
    if (!status.modeCause.empty())
        mode += " (" + visibleText(status.modeCause) + ")";
    lines.push_back(mode);

    std::string loop = "loop: ";
    if (!status.activeLoop)
        loop += "none chosen";
    else {
        loop += visibleText(*status.activeLoop);
        if (status.loopError)
            loop += " (not loaded: " + visibleText(*status.loopError) + ")";
        else
            loop += " (" + std::to_string(status.loopFrames) + " frames, " + formatBytes(status.loopBytes) + " in memory)";
        if (status.rotationClips > 1)
            loop += ", rotating " + std::to_string(status.rotationClips) + " clips";
    }
    lines.push_back(loop);

    std::string camera = "physical camera: " + (status.physicalCamera.empty() ? std::string("none") : visibleText(status.physicalCamera));
    if (status.physicalCameraAvailable)
        camera += " (delivering frames)";
    else if (status.physicalCameraError)
        camera += " (unavailable: " + visibleText(*status.physicalCameraError) + ")";
    else
        camera += " (closed)";
    lines.push_back(camera);

    lines.push_back(std::string("virtual camera: ") + (status.cameraConnected ? "connected" : "not connected"));
    lines.push_back(std::string("app streaming: ") + (status.appStreaming ? "yes" : "no"));
    lines.push_back(std::string("auto return: ") + (status.autoReturn ? "on" : "off"));
    if (status.recording)
        lines.push_back("recording a new loop");
    if (status.automation) {
        std::istringstream text(*status.automation);
        for (std::string line; std::getline(text, line);)
            if (!line.empty())
                lines.push_back(visibleText(line));
    }
    return lines;
}

} // namespace quellon::host
