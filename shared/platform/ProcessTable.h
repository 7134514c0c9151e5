#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quellon {

/// What the kernel tells about other processes through a proc tree: who holds a file open,
/// and the facts that name a process's application (its cgroup, its Flatpak sandbox, its
/// executable). Processes come and go while we look, so every answer is a snapshot and a
/// process that vanished half-way is simply left out. Tests give it a proc tree of their own.
class ProcessTable {
public:
    explicit ProcessTable(std::filesystem::path procRoot = "/proc");

    const std::filesystem::path& root() const { return root_; }

    /// Every process id in the tree, ascending.
    std::vector<pid_t> processes() const;

    /// Processes with a descriptor on path, ascending. With readersOnly, a descriptor opened
    /// write-only does not count (the writer of a FIFO is not one of its readers); a
    /// descriptor whose mode cannot be read counts.
    std::vector<pid_t> holders(const std::filesystem::path& path, bool readersOnly = false) const;
    /// The same for any of several files, in one pass over the tree.
    std::vector<pid_t> holders(const std::vector<std::filesystem::path>& paths, bool readersOnly = false) const;

    /// /proc/PID/cgroup as text.
    std::optional<std::string> cgroup(pid_t pid) const;
    /// The sandbox's /.flatpak-info as seen through /proc/PID/root; none outside Flatpak.
    std::optional<std::string> flatpakInfo(pid_t pid) const;
    /// The executable's file name (from the exe link, else comm).
    std::optional<std::string> executableName(pid_t pid) const;
    /// When the process started, in clock ticks after boot (field 22 of stat): larger is newer.
    std::optional<std::uint64_t> startTime(pid_t pid) const;

private:
    std::filesystem::path root_;
};

} // namespace quellon
