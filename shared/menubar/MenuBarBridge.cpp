#include "menubar/MenuBarBridge.h"

#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include "menubar/NotificationBus.h"

namespace quellon::MenuBarBridge {

namespace {

constexpr std::array<std::string_view, 9> rawValues{"setLive", "setAway", "setStandby", "record", "manageLoops",
    "showApp", "toggleAutoReturn", "quit", "togglePanel"};

void logDebug(std::string_view message)
{
    static SystemLogSink sink(program_invocation_short_name);
    sink.write(LogLevel::debug, message);
}

/// The posting side: one connection per process, opened on first use and shared by every
/// thread under the lock. Nothing reads from it except to drain what the bus sends back.
class Poster {
public:
    void post(std::string_view name)
    {
        std::lock_guard lock(mutex_);
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (address == nullptr || *address == '\0') {
            logDebug("Quellon: no session bus; not posted: " + std::string(name));
            return;
        }
        try {
            if (!connection_ || address_ != address) {
                object_.reset();
                connection_.reset();
                connection_ = openSessionBus(address);
                address_ = address;
                object_ = sdbus::createObject(*connection_, NotificationSignal::objectPath);
            }
            auto signal = object_->createSignal(NotificationSignal::interfaceName, NotificationSignal::member);
            signal << std::string(name);
            object_->emitSignal(signal);
            // Processing writes out anything still queued and drops the bus's own messages
            // to us; it never waits.
            while (connection_->processPendingRequest()) {
            }
        } catch (const NotificationBusError& error) {
            logDebug("Quellon: " + std::string(error.what()) + "; not posted: " + std::string(name));
        } catch (const sdbus::Error& error) {
            object_.reset();
            connection_.reset();
            logDebug("Quellon: session bus unavailable (" + error.getMessage() + "); not posted: " + std::string(name));
        }
    }

private:
    std::mutex mutex_;
    std::string address_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

Poster& poster()
{
    static Poster instance;
    return instance;
}

std::filesystem::path anchorPath(const std::filesystem::path& container)
{
    return container / panelAnchorFileName;
}

} // namespace

std::string_view rawValue(Command command)
{
    return rawValues[static_cast<std::size_t>(command)];
}

std::optional<Command> commandFromRawValue(std::string_view text)
{
    for (std::size_t i = 0; i < rawValues.size(); ++i)
        if (rawValues[i] == text)
            return allCommands[i];
    return std::nullopt;
}

void post(std::string_view name)
{
    poster().post(name);
}

void publishMode(std::string_view mode)
{
    post(std::string(modePrefix) + std::string(mode));
}

void publishAutoReturn(bool on)
{
    post(std::string(autoReturnPrefix) + (on ? "on" : "off"));
}

void publishHasLoops(bool hasLoops)
{
    post(std::string(hasLoopsPrefix) + (hasLoops ? "yes" : "no"));
}

void send(Command command)
{
    post(std::string(commandPrefix) + std::string(rawValue(command)));
}

std::optional<std::filesystem::path> groupContainerURL(const PlatformDirectories& directories,
                                                       const Environment& environment)
{
    if (auto container = directories.appGroupContainer(appGroupID))
        return container;
    const auto home = environment.variable("HOME");
    if (!home || home->empty())
        return std::nullopt;
    return std::filesystem::path(*home) / ".local/share" / appGroupID;
}

std::optional<std::filesystem::path> groupContainerURL()
{
    return groupContainerURL(PlatformDirectories::system(), Environment::process());
}

std::string encodePanelAnchor(const PanelAnchor& anchor)
{
    return nlohmann::json{{"x", anchor.x}, {"y", anchor.y}, {"w", anchor.width}, {"h", anchor.height}}.dump();
}

std::optional<PanelAnchor> decodePanelAnchor(std::string_view text)
{
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    for (const auto& [key, value] : json.items())
        if (!value.is_number())
            return std::nullopt;
    for (const char* key : {"x", "y", "w", "h"})
        if (!json.contains(key))
            return std::nullopt;
    return PanelAnchor{json["x"].get<double>(), json["y"].get<double>(), json["w"].get<double>(),
                       json["h"].get<double>()};
}

void writePanelAnchor(const PanelAnchor& anchor, const std::optional<std::filesystem::path>& container)
{
    if (!container)
        return;
    try {
        replaceFileAtomically(anchorPath(*container), encodePanelAnchor(anchor), Durability::fast);
    } catch (const std::exception&) {
        // Best effort: the app falls back to its own placement when there is no anchor.
    }
}

void writePanelAnchor(const PanelAnchor& anchor)
{
    writePanelAnchor(anchor, groupContainerURL());
}

std::optional<PanelAnchor> readPanelAnchor(const std::optional<std::filesystem::path>& container)
{
    if (!container)
        return std::nullopt;
    const auto text = readRegularFile(anchorPath(*container));
    return text ? decodePanelAnchor(*text) : std::nullopt;
}

std::optional<PanelAnchor> readPanelAnchor()
{
    return readPanelAnchor(groupContainerURL());
}

} // namespace quellon::MenuBarBridge
