#include "platform/PlatformDirectories.h"

#include "platform/Environment.h"

#include <system_error>

namespace quellon {

namespace fs = std::filesystem;

const PlatformDirectories& PlatformDirectories::system()
{
    static const XdgDirectories directories(Environment::process());
    return directories;
}

std::optional<fs::path> XdgDirectories::dataHome() const
{
    if (auto xdg = environment_.variable("XDG_DATA_HOME"); xdg && !xdg->empty() && fs::path(*xdg).is_absolute())
        return fs::path(*xdg);
    if (auto home = environment_.variable("HOME"); home && !home->empty() && fs::path(*home).is_absolute())
        return fs::path(*home) / ".local" / "share";
    return std::nullopt;
}

std::optional<fs::path> XdgDirectories::appGroupContainer(std::string_view group) const
{
    auto base = dataHome();
    if (!base)
        return std::nullopt;
    fs::path container = *base / fs::path(group);
    std::error_code error;
    if (!fs::is_directory(container, error))
        return std::nullopt;
    return container;
}

std::vector<fs::path> XdgDirectories::applicationSupportDirectories() const
{
    if (auto base = dataHome())
        return {*base};
    return {};
}

} // namespace quellon
