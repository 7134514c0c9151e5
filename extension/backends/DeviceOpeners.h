#pragma once

#include "platform/ProcessTable.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace quellon {

/// Who holds a device node open, for drivers that do not report their readers (v4l2loopback
/// before 0.13): the processes other than this one with a descriptor on the node, and a way
/// to wake when the node is opened or closed.
class DeviceOpeners {
public:
    virtual ~DeviceOpeners() = default;

    /// Wakes on opens and closes of one node.
    class Watch {
    public:
        virtual ~Watch() = default;
        /// True when the node was opened or closed before the timeout ran out.
        virtual bool wait(std::chrono::milliseconds timeout) = 0;
    };

    /// Processes other than this one that hold node open.
    virtual int countOthers(const std::string& node) = 0;
    /// A watch on node; one that cannot watch simply waits out its timeouts.
    virtual std::unique_ptr<Watch> watch(const std::string& node) = 0;

    /// The real one: /proc and inotify.
    static DeviceOpeners& system();
};

/// Counts from the descriptor links under a proc tree (<root>/<pid>/fd/<n> → path) and
/// watches with inotify. Tests give it a proc tree of their own and a plain file as the node.
class ProcDeviceOpeners final : public DeviceOpeners {
public:
    explicit ProcDeviceOpeners(std::filesystem::path procRoot = "/proc", pid_t self = ::getpid());

    int countOthers(const std::string& node) override;
    std::unique_ptr<Watch> watch(const std::string& node) override;

private:
    ProcessTable processes_;
    pid_t self_;
};

} // namespace quellon
