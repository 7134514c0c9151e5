#pragma once
// Which applications read our camera now: the processes holding its device or FIFO open.

#include "host/automation/AppIdentity.h"
#include "platform/ProcessTable.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace quellon::host {

/// One process reading the camera.
struct CameraReader {
    pid_t pid = 0;
    AppIdentity app;
    bool operator==(const CameraReader&) const = default;
};

/// The files a reader of our camera holds open: the FIFO "camera.y4m" in the shared container
/// (when the container is known) and every virtual video device (v4l2loopback's nodes live
/// under /sys/devices/virtual/video4linux; a physical camera never does).
std::vector<std::filesystem::path> cameraNodes(const std::optional<std::filesystem::path>& container,
                                               const std::filesystem::path& sysRoot = "/sys",
                                               const std::filesystem::path& devRoot = "/dev");

class CameraReaders {
public:
    /// nodes is asked on every look, since devices come and go.
    CameraReaders(ProcessTable processes, std::function<std::vector<std::filesystem::path>()> nodes,
                  pid_t self = ::getpid());

    /// The readers, newest first. This process and Quellon's own programs (whose executables
    /// start with "quellon": the camera daemon writes the nodes) are left out, and so is a
    /// descriptor opened only for writing.
    std::vector<CameraReader> readers() const;

    const ProcessTable& processes() const { return processes_; }

private:
    ProcessTable processes_;
    std::function<std::vector<std::filesystem::path>()> nodes_;
    pid_t self_;
};

} // namespace quellon::host
