#include "host/automation/PortalHotkeys.h"

#include "host/automation/HotkeyKeymap.h"
#include "platform/Log.h"

#include <chrono>
#include <functional>
#include <map>
#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

namespace {

using VarDict = std::map<std::string, sdbus::Variant>;
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
// The portal answers at once; only the binding itself may wait for the user.
constexpr auto kCallTimeout = std::chrono::seconds(10);

std::shared_ptr<void> keep(sdbus::Slot slot)
{
    auto deleter = slot.get_deleter();
    return std::shared_ptr<void>(slot.release(), std::move(deleter));
}

std::optional<std::string> textOf(const VarDict& results, const std::string& key)
{
    const auto found = results.find(key);
    if (found == results.end())
        return std::nullopt;
    // The interface says a string; some portals send an object path.
    if (found->second.containsValueOfType<std::string>())
        return found->second.get<std::string>();
    if (found->second.containsValueOfType<sdbus::ObjectPath>())
        return std::string(found->second.get<sdbus::ObjectPath>());
    return std::nullopt;
}

/// Listens for the portal's answer to one request (before the request is made, or a quick
/// answer is lost) and hands over its response code (0: granted) and results, while alive.
std::shared_ptr<void> awaitResponse(sdbus::IConnection& connection, const std::string& path, std::shared_ptr<bool> alive,
                                    std::function<void(std::uint32_t, const VarDict&)> answered)
{
    return keep(connection.addMatch(
        "type='signal',interface='" + std::string(kRequestInterface) + "',member='Response',path='" + path + "'",
        [alive = std::move(alive), answered = std::move(answered)](sdbus::Message& message) {
            if (!*alive)
                return;
            std::uint32_t response = 2;
            VarDict results;
            try {
                message >> response >> results;
            } catch (const sdbus::Error&) {
            }
            answered(response, results);
        }));
}

} // namespace

PortalHotkeys::PortalHotkeys(sdbus::IConnection& connection, LogSink& log, Handler handler)
    : connection_(connection), log_(log), handler_(std::move(handler)),
      portal_(sdbus::createProxy(connection, service, objectPath))
{
}

PortalHotkeys::~PortalHotkeys()
{
    *alive_ = false;
    if (sessionHandle_.empty())
        return;
    // The portal keeps a session, and its shortcuts, until it is closed or we disconnect.
    try {
        auto session = sdbus::createProxy(connection_, service, sessionHandle_);
        session->callMethod("Close").onInterface("org.freedesktop.portal.Session").dontExpectReply();
    } catch (const sdbus::Error&) {
        // Gone already: nothing to close.
    }
}

void PortalHotkeys::bind(const std::vector<HotkeyAssignment>& assignments, Done done)
{
    done_ = std::move(done);
    shortcuts_.clear();
    for (const auto& assignment : assignments) {
        const std::string id(HotkeyActions::name(assignment.action));
        if (!assignment.binding.isUsableAsGlobalHotkey()) {
            log_.write(LogLevel::info, "hotkey " + id + ": " + assignment.binding.displayString()
                                           + " is not usable as a global hotkey; not registered");
            continue;
        }
        const auto trigger = HotkeyKeymap::accelerator(assignment.binding);
        if (!trigger) {
            log_.write(LogLevel::info, "hotkey " + id + ": " + assignment.binding.displayString()
                                           + " has no key on Linux; not registered");
            continue;
        }
        shortcuts_.emplace_back(id, *trigger);
    }
    if (shortcuts_.empty()) {
        finish(Outcome::refused, "no binding is usable as a global hotkey");
        return;
    }
    // A portal without the interface has no version property: that is the test.
    auto alive = alive_;
    portal_->callMethodAsync("Get")
        .onInterface("org.freedesktop.DBus.Properties")
        .withTimeout(kCallTimeout)
        .withArguments(std::string(interfaceName), std::string("version"))
        .uponReplyInvoke([this, alive](const sdbus::Error* error, sdbus::Variant) {
            if (!*alive)
                return;
            if (error) {
                finish(Outcome::unavailable, "the desktop portal offers no global shortcuts (" + error->getName() + ")");
                return;
            }
            createSession();
        });
}

std::string PortalHotkeys::requestPath(const std::string& token) const
{
    // The portal names the request after our unique name: ":1.42" becomes "1_42".
    std::string sender = connection_.getUniqueName();
    if (!sender.empty() && sender.front() == ':')
        sender.erase(0, 1);
    for (char& c : sender)
        if (c == '.')
            c = '_';
    return std::string(objectPath) + "/request/" + sender + "/" + token;
}

void PortalHotkeys::createSession()
{
    const std::string token = "quellon" + std::to_string(++tokens_);
    auto alive = alive_;
    responseMatch_ = awaitResponse(connection_, requestPath(token), alive, [this](std::uint32_t response, const VarDict& results) {
        if (response != 0) {
            finish(Outcome::refused, "the portal did not create a shortcuts session");
            return;
        }
        const auto session = textOf(results, "session_handle");
        if (!session) {
            finish(Outcome::refused, "the portal's session has no handle");
            return;
        }
        sessionHandle_ = *session;
        bindShortcuts();
    });
    activatedMatch_ = keep(connection_.addMatch(std::string("type='signal',interface='") + interfaceName
                                                    + "',member='Activated',path='" + objectPath + "'",
                                                [this, alive](sdbus::Message& message) {
                                                    if (*alive)
                                                        onActivated(message);
                                                }));
    const VarDict options{{"handle_token", sdbus::Variant(token)},
                          {"session_handle_token", sdbus::Variant("quellon_session" + std::to_string(tokens_))}};
    portal_->callMethodAsync("CreateSession")
        .onInterface(interfaceName)
        .withTimeout(kCallTimeout)
        .withArguments(options)
        .uponReplyInvoke([this, alive](const sdbus::Error* error, sdbus::ObjectPath) {
            if (*alive && error)
                finish(Outcome::unavailable, "the portal refused a shortcuts session (" + error->getMessage() + ")");
        });
}

void PortalHotkeys::bindShortcuts()
{
    const std::string token = "quellon" + std::to_string(++tokens_);
    auto alive = alive_;
    responseMatch_ = awaitResponse(connection_, requestPath(token), alive, [this](std::uint32_t response, const VarDict&) {
        if (response != 0)
            finish(Outcome::refused, "the shortcuts were not bound (the dialog was cancelled or refused)");
        else
            finish(Outcome::bound, "");
    });
    std::vector<sdbus::Struct<std::string, VarDict>> shortcuts;
    for (const auto& [id, trigger] : shortcuts_) {
        const auto action = HotkeyActions::fromName(id);
        shortcuts.emplace_back(id, VarDict{{"description", sdbus::Variant(std::string(HotkeyActions::description(*action)))},
                                           {"preferred_trigger", sdbus::Variant(trigger)}});
    }
    portal_->callMethodAsync("BindShortcuts")
        .onInterface(interfaceName)
        .withTimeout(kCallTimeout)
        .withArguments(sdbus::ObjectPath(sessionHandle_), shortcuts, std::string(), VarDict{{"handle_token", sdbus::Variant(token)}})
        .uponReplyInvoke([this, alive](const sdbus::Error* error, sdbus::ObjectPath) {
            if (*alive && error)
                finish(Outcome::refused, "the portal refused the shortcuts (" + error->getMessage() + ")");
        });
}

void PortalHotkeys::onActivated(sdbus::Message& message)
{
    sdbus::ObjectPath session;
    std::string id;
    try {
        message >> session >> id;
    } catch (const sdbus::Error&) {
        return;
    }
    if (sessionHandle_.empty() || std::string(session) != sessionHandle_)
        return; // another application's session
    const auto action = HotkeyActions::fromName(id);
    if (!action)
        return;
    handler_(*action);
}

void PortalHotkeys::finish(Outcome outcome, const std::string& detail)
{
    if (!done_)
        return;
    auto done = std::move(done_);
    done_ = nullptr;
    done(outcome, detail);
}

} // namespace quellon::host
