#include "host/automation/SessionDisplay.h"

#include <chrono>
#include <cstdlib>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

namespace {

std::optional<std::string> valueOf(const std::vector<std::string>& environment, const std::string& name)
{
    const std::string prefix = name + "=";
    std::optional<std::string> found;
    // The last assignment wins, as in a shell.
    for (const auto& entry : environment)
        if (entry.starts_with(prefix))
            found = entry.substr(prefix.size());
    return found;
}

std::vector<std::string> processEnvironment()
{
    std::vector<std::string> entries;
    for (const char* name : {"DISPLAY", "XAUTHORITY"})
        if (const char* value = std::getenv(name))
            entries.push_back(std::string(name) + "=" + value);
    return entries;
}

} // namespace

std::optional<SessionDisplay> sessionDisplayIn(const std::vector<std::string>& environment)
{
    auto display = valueOf(environment, "DISPLAY");
    if (!display || display->empty())
        return std::nullopt;
    auto authority = valueOf(environment, "XAUTHORITY");
    if (authority && authority->empty())
        authority.reset();
    return SessionDisplay{std::move(*display), std::move(authority)};
}

std::optional<SessionDisplay> findSessionDisplay(sdbus::IConnection* sessionBus)
{
    if (auto own = sessionDisplayIn(processEnvironment()))
        return own;
    if (sessionBus == nullptr)
        return std::nullopt;
    try {
        auto manager = sdbus::createProxy(*sessionBus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1");
        sdbus::Variant value;
        // The manager answers at once; a missing one is an error reply, not a wait.
        manager->callMethod("Get")
            .onInterface("org.freedesktop.DBus.Properties")
            .withTimeout(std::chrono::seconds(1))
            .withArguments(std::string("org.freedesktop.systemd1.Manager"), std::string("Environment"))
            .storeResultsTo(value);
        return sessionDisplayIn(value.get<std::vector<std::string>>());
    } catch (const sdbus::Error&) {
        return std::nullopt; // no user manager on this bus
    }
}

} // namespace quellon::host
