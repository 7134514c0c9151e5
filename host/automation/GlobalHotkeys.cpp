#include "host/automation/GlobalHotkeys.h"

#include "host/HostController.h"
#include "host/automation/PortalHotkeys.h"
#include "host/automation/X11Hotkeys.h"
#include "menubar/MainLoop.h"
#include "platform/Log.h"

namespace quellon::host {

GlobalHotkeys::GlobalHotkeys(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log,
                             std::optional<std::string> display)
    : loop_(loop), bus_(bus), host_(host), log_(log), display_(std::move(display))
{
}

GlobalHotkeys::~GlobalHotkeys() = default;

void GlobalHotkeys::start(const std::vector<HotkeyAssignment>& assignments)
{
    assignments_ = assignments;
    portal_.reset();
    x11_.reset();
    if (!bus_) {
        tryX11();
        return;
    }
    backend_ = Backend::pending;
    portal_ = std::make_unique<PortalHotkeys>(*bus_, log_, [this](HotkeyAction action) { perform(action); });
    portal_->bind(assignments_, [this](PortalHotkeys::Outcome outcome, const std::string& detail) {
        switch (outcome) {
        case PortalHotkeys::Outcome::bound:
            backend_ = Backend::portal;
            log_.write(LogLevel::info, "hotkeys: registered with the desktop portal");
            return;
        case PortalHotkeys::Outcome::refused:
            // The user said no in the desktop's own dialog: grabbing the keys behind its back
            // would overrule them.
            backend_ = Backend::none;
            log_.write(LogLevel::info, "hotkeys: " + detail);
            return;
        case PortalHotkeys::Outcome::unavailable:
            log_.write(LogLevel::debug, "hotkeys: " + detail);
            // Not inside the portal's reply: the portal object goes away here.
            loop_.post([this] {
                portal_.reset();
                tryX11();
            });
            return;
        }
    });
}

void GlobalHotkeys::tryX11()
{
    try {
        x11_ = std::make_unique<X11Hotkeys>(loop_, log_, [this](HotkeyAction action) { perform(action); }, display_);
    } catch (const X11Unavailable& error) {
        backend_ = Backend::none;
        log_.write(LogLevel::info, std::string("hotkeys are unavailable: no desktop portal with global shortcuts and ")
                                       + error.what()
                                       + "; bind `quellon away` in the desktop's keyboard settings instead");
        return;
    }
    const auto grabbed = x11_->grab(assignments_);
    backend_ = Backend::x11;
    log_.write(LogLevel::info, "hotkeys: " + std::to_string(grabbed.size()) + " grabbed on the X display");
}

void GlobalHotkeys::perform(HotkeyAction action)
{
    try {
        HotkeyActions::perform(host_, action);
    } catch (const std::exception& error) {
        log_.write(LogLevel::error, "hotkey " + std::string(HotkeyActions::name(action)) + ": " + error.what());
    }
}

} // namespace quellon::host
