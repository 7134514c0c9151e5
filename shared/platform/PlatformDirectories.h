#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace quellon {

class Environment;

/// The two directory lookups the shared container rule needs from the platform.
class PlatformDirectories {
public:
    virtual ~PlatformDirectories() = default;

    /// The shared container of an application group, if it exists. Never creates it.
    virtual std::optional<std::filesystem::path> appGroupContainer(std::string_view group) const = 0;

    /// The user's per-application data directories, most preferred first; may be empty.
    virtual std::vector<std::filesystem::path> applicationSupportDirectories() const = 0;

    /// The XDG directories of this user, read from the process environment.
    static const PlatformDirectories& system();
};

/// XDG base directories: the group container is $XDG_DATA_HOME/<group> (default
/// ~/.local/share) and exists only once the host or an installer has created it;
/// application support is $XDG_DATA_HOME itself, or nothing when neither it nor HOME is set.
class XdgDirectories final : public PlatformDirectories {
public:
    explicit XdgDirectories(const Environment& environment) : environment_(environment) {}

    std::optional<std::filesystem::path> appGroupContainer(std::string_view group) const override;
    std::vector<std::filesystem::path> applicationSupportDirectories() const override;

    /// $XDG_DATA_HOME, or $HOME/.local/share, or nothing. Relative values are ignored,
    /// as the XDG rules require.
    std::optional<std::filesystem::path> dataHome() const;

private:
    const Environment& environment_;
};

/// Fixed answers, for tests.
class FixedDirectories final : public PlatformDirectories {
public:
    std::optional<std::filesystem::path> appGroup;
    std::vector<std::filesystem::path> applicationSupport;

    std::optional<std::filesystem::path> appGroupContainer(std::string_view) const override { return appGroup; }
    std::vector<std::filesystem::path> applicationSupportDirectories() const override { return applicationSupport; }
};

} // namespace quellon
