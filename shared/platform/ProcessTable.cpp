#include "platform/ProcessTable.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <sstream>

namespace quellon {

namespace {

namespace fs = std::filesystem;

// Every file read here is small; a larger one is not what we expect and is not read whole.
constexpr std::streamsize kMaxFileBytes = 64 * 1024;

std::optional<std::string> readSmallFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(kMaxFileBytes), '\0');
    in.read(text.data(), kMaxFileBytes);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        return std::nullopt;
    return text;
}

std::optional<pid_t> parsePid(const std::string& name)
{
    if (name.empty() || name.size() > 9 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return static_cast<pid_t>(std::stol(name));
}

// The access mode from fdinfo's "flags:" line (octal); none when it cannot be read.
std::optional<int> accessMode(const fs::path& fdinfo)
{
    const auto text = readSmallFile(fdinfo);
    if (!text)
        return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("flags:", 0) != 0)
            continue;
        try {
            return static_cast<int>(std::stoul(line.substr(6), nullptr, 8)) & O_ACCMODE;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

ProcessTable::ProcessTable(fs::path procRoot) : root_(std::move(procRoot)) {}

std::vector<pid_t> ProcessTable::processes() const
{
    std::vector<pid_t> pids;
    std::error_code error;
    for (fs::directory_iterator entry(root_, error), end; !error && entry != end; entry.increment(error))
        if (const auto pid = parsePid(entry->path().filename().string()))
            pids.push_back(*pid);
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::vector<pid_t> ProcessTable::holders(const fs::path& path, bool readersOnly) const
{
    return holders(std::vector<fs::path>{path}, readersOnly);
}

std::vector<pid_t> ProcessTable::holders(const std::vector<fs::path>& paths, bool readersOnly) const
{
    std::vector<pid_t> found;
    if (paths.empty())
        return found;
    for (pid_t pid : processes()) {
        const fs::path process = root_ / std::to_string(pid);
        std::error_code fdError;
        for (fs::directory_iterator fd(process / "fd", fdError), end; !fdError && fd != end; fd.increment(fdError)) {
            std::error_code linkError;
            std::string target = fs::read_symlink(fd->path(), linkError).string();
            // A file replaced since it was opened shows with this suffix; the camera's FIFO is
            // renewed for every reader, so its readers hold such a one.
            constexpr std::string_view deleted = " (deleted)";
            if (target.ends_with(deleted))
                target.resize(target.size() - deleted.size());
            if (linkError || std::find(paths.begin(), paths.end(), fs::path(target)) == paths.end())
                continue;
            if (readersOnly && accessMode(process / "fdinfo" / fd->path().filename()) == O_WRONLY)
                continue;
            found.push_back(pid);
            break;
        }
    }
    return found;
}

std::optional<std::string> ProcessTable::cgroup(pid_t pid) const
{
    return readSmallFile(root_ / std::to_string(pid) / "cgroup");
}

std::optional<std::string> ProcessTable::flatpakInfo(pid_t pid) const
{
    return readSmallFile(root_ / std::to_string(pid) / "root" / ".flatpak-info");
}

std::optional<std::string> ProcessTable::executableName(pid_t pid) const
{
    const fs::path process = root_ / std::to_string(pid);
    std::error_code error;
    std::string name = fs::read_symlink(process / "exe", error).filename().string();
    // A replaced binary keeps running under its old name with this suffix.
    constexpr std::string_view deleted = " (deleted)";
    if (!error && name.size() > deleted.size() && name.ends_with(deleted))
        name.resize(name.size() - deleted.size());
    if (!error && !name.empty())
        return name;
    auto comm = readSmallFile(process / "comm");
    if (!comm)
        return std::nullopt;
    while (!comm->empty() && (comm->back() == '\n' || comm->back() == '\0'))
        comm->pop_back();
    if (comm->empty())
        return std::nullopt;
    return comm;
}

std::optional<std::uint64_t> ProcessTable::startTime(pid_t pid) const
{
    const auto stat = readSmallFile(root_ / std::to_string(pid) / "stat");
    if (!stat)
        return std::nullopt;
    // The command name (field 2) may hold spaces and parentheses: count from its last ')'.
    const auto close = stat->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat->substr(close + 1));
    std::string field;
    for (int index = 3; fields >> field; ++index) {
        if (index == 22) {
            try {
                return std::stoull(field);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

} // namespace quellon
