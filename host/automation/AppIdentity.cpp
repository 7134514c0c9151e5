#include "host/automation/AppIdentity.h"

#include "platform/ProcessTable.h"

#include <vector>

namespace quellon::host {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

// systemd's unit-name escaping: "\xNN" stands for the byte NN.
std::optional<std::string> unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x')
            return std::nullopt;
        const auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int high = hex(text[i + 2]), low = hex(text[i + 3]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return out;
}

std::optional<std::string> fromUnit(std::string_view unit)
{
    bool scope = false;
    if (unit.ends_with(".scope"))
        scope = true, unit.remove_suffix(6);
    else if (unit.ends_with(".service"))
        unit.remove_suffix(8);
    else
        return std::nullopt;
    if (!unit.starts_with("app-"))
        return std::nullopt;
    unit.remove_prefix(4);
    if (!scope)
        unit = unit.substr(0, unit.find('@'));
    auto parts = split(unit, '-');
    if (scope) {
        // The last part is the launch's random suffix.
        if (parts.size() < 2)
            return std::nullopt;
        parts.pop_back();
    }
    // One part is the ID alone; two are the launcher and the ID. More cannot be told apart.
    if (parts.empty() || parts.size() > 2 || parts.back().empty())
        return std::nullopt;
    auto id = unescape(parts.back());
    if (!id || id->empty())
        return std::nullopt;
    return id;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string_view sourceName(AppIdentity::Source source)
{
    switch (source) {
    case AppIdentity::Source::desktopFile:
        return "desktop file";
    case AppIdentity::Source::flatpak:
        return "flatpak";
    case AppIdentity::Source::windowClass:
        return "window class";
    case AppIdentity::Source::executable:
        break;
    }
    return "executable";
}

std::optional<std::string> AppIdentities::fromCgroup(std::string_view cgroupText)
{
    // cgroup v2 has the single line "0::PATH"; on a v1 or hybrid system the systemd hierarchy's
    // line carries the same path. The unit nearest the process wins.
    std::optional<std::string> found;
    for (std::string_view line : split(cgroupText, '\n')) {
        const auto first = line.find(':');
        const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos)
            continue;
        const auto components = split(line.substr(second + 1), '/');
        for (auto it = components.rbegin(); it != components.rend(); ++it) {
            if (auto id = fromUnit(*it)) {
                if (line.starts_with("0::"))
                    return id;
                found = std::move(id);
                break;
            }
        }
    }
    return found;
}

std::optional<std::string> AppIdentities::fromFlatpakInfo(std::string_view info)
{
    bool inApplication = false;
    for (std::string_view line : split(info, '\n')) {
        line = trim(line);
        if (line.starts_with('[')) {
            inApplication = line == "[Application]";
            continue;
        }
        if (!inApplication || !line.starts_with("name"))
            continue;
        auto rest = trim(line.substr(4));
        if (!rest.starts_with('='))
            continue;
        const auto name = trim(rest.substr(1));
        if (!name.empty())
            return std::string(name);
    }
    return std::nullopt;
}

std::optional<AppIdentity> AppIdentities::identify(const ProcessTable& processes, pid_t pid)
{
    if (const auto cgroup = processes.cgroup(pid))
        if (auto id = fromCgroup(*cgroup))
            return AppIdentity{std::move(*id), AppIdentity::Source::desktopFile};
    if (const auto info = processes.flatpakInfo(pid))
        if (auto id = fromFlatpakInfo(*info))
            return AppIdentity{std::move(*id), AppIdentity::Source::flatpak};
    if (auto name = processes.executableName(pid))
        return AppIdentity{std::move(*name), AppIdentity::Source::executable};
    return std::nullopt;
}

} // namespace quellon::host
