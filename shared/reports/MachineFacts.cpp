#include "reports/MachineFacts.h"

#include <algorithm>

namespace quellon {

std::optional<bool> FixedMachineFacts::acceptsConnections(const std::filesystem::path& socket) const
{
    if (socketStateUnknown)
        return std::nullopt;
    return std::find(listeningSockets.begin(), listeningSockets.end(), socket) != listeningSockets.end();
}

std::optional<std::vector<LogEntry>> FixedMachineFacts::recentLogEntries(const std::string& identifier,
                                                                         std::size_t limit) const
{
    askedLogIdentifiers.push_back(identifier);
    if (!journal)
        return std::nullopt;
    // Keep the newest, as the journal does.
    const std::size_t skip = journal->size() > limit ? journal->size() - limit : 0;
    return std::vector<LogEntry>(journal->begin() + static_cast<std::ptrdiff_t>(skip), journal->end());
}

namespace {

template <typename Map, typename Key>
std::optional<typename Map::mapped_type> lookup(const Map& map, const Key& key)
{
    const auto it = map.find(key);
    if (it == map.end())
        return std::nullopt;
    return it->second;
}

} // namespace

std::optional<int> FixedMachineFacts::socketOwnerProcess(const std::filesystem::path& socket) const
{
    return lookup(socketOwners, socket);
}

std::optional<int> FixedMachineFacts::busNameOwnerProcess(const std::string& name) const
{
    return lookup(busNameOwners, name);
}

std::optional<ProcessFacts> FixedMachineFacts::process(int pid) const
{
    return lookup(processes, pid);
}

} // namespace quellon
