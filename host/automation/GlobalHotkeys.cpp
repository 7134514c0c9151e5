#include "host/automation/GlobalHotkeys.h"

#include "host/HostController.h"
#include "host/automation/PortalHotkeys.h"
#include "host/automation/SessionDisplay.h"
#include "host/automation/X11Hotkeys.h"
#include "menubar/MainLoop.h"
#include "platform/Log.h"

#include <utility>

namespace quellon::host {

GlobalHotkeys::GlobalHotkeys(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log,
                             std::optional<std::string> display, std::chrono::milliseconds x11Retry)
    : loop_(loop), bus_(bus), host_(host), log_(log), display_(std::move(display)), x11Retry_(x11Retry)
{
}

GlobalHotkeys::~GlobalHotkeys()
{
    stopRetrying();
}

void GlobalHotkeys::start(const std::vector<HotkeyAssignment>& assignments)
{
    stopRetrying();
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
    const auto session = display_ ? std::optional(SessionDisplay{*display_, std::nullopt}) : findSessionDisplay(bus_);
    try {
        if (!session)
            throw X11Unavailable("no X display (DISPLAY is set neither here nor in the session)");
        x11_ = std::make_unique<X11Hotkeys>(loop_, log_, [this](HotkeyAction action) { perform(action); },
                                            session->display, session->authority);
    } catch (const X11Unavailable& error) {
        backend_ = Backend::none;
        // Said once; the retries that follow stay quiet until one succeeds.
        if (reportedUnavailable_)
            log_.write(LogLevel::debug, std::string("hotkeys: still ") + error.what());
        else
            log_.write(LogLevel::info, std::string("hotkeys are unavailable: no desktop portal with global shortcuts and ")
                                           + error.what()
                                           + "; the host keeps looking for an X display, or bind `quellon away` in the "
                                             "desktop's keyboard settings");
        reportedUnavailable_ = true;
        retryX11Later();
        return;
    }
    reportedUnavailable_ = false;
    const auto grabbed = x11_->grab(assignments_);
    backend_ = Backend::x11;
    log_.write(LogLevel::info, "hotkeys: " + std::to_string(grabbed.size()) + " grabbed on the X display " + session->display);
    retryX11Later(); // to notice the X server going away
}

void GlobalHotkeys::retryX11Later()
{
    stopRetrying();
    retryTimer_ = loop_.runAfter(x11Retry_, [this] {
        retryTimer_ = 0;
        if (x11_ && !x11_->broken()) {
            retryX11Later();
            return;
        }
        x11_.reset();
        tryX11();
    });
}

void GlobalHotkeys::stopRetrying()
{
    if (retryTimer_ != 0)
        loop_.removeWatch(std::exchange(retryTimer_, 0));
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
