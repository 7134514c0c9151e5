#include "host/automation/HostAutomation.h"

#include "host/HostController.h"
#include "host/automation/AutoReturnWatcher.h"
#include "host/automation/CameraReaders.h"
#include "host/automation/FrontmostApp.h"
#include "host/automation/GlobalHotkeys.h"
#include "host/automation/SessionDisplay.h"
#include "host/automation/X11FocusWatcher.h"
#include "platform/Log.h"
#include "state/QuellonStorage.h"

namespace quellon::host {

HostAutomation::HostAutomation(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log, Settings settings)
    : loop_(loop), bus_(bus), host_(host), log_(log), settings_(std::move(settings))
{
    readers_ = std::make_unique<CameraReaders>(ProcessTable(), [] { return cameraNodes(QuellonStorage::containerURL()); });
    connectFocus();
    profiles_ = std::make_unique<ProfileWatcher>(loop_, host_, settings_.profiles, [this] { return frontmost(); }, log_);
    hotkeys_ = std::make_unique<GlobalHotkeys>(loop_, bus, host_, log_);
    AutoReturnWatcher::Options options;
    options.tolerance = settings_.tolerance;
    autoReturn_ = std::make_unique<AutoReturnWatcher>(host_, log_, options);
}

HostAutomation::~HostAutomation() = default;

void HostAutomation::start()
{
    profiles_->start();
    hotkeysChanged();
    autoReturn_->statusChanged(host_.status());
}

void HostAutomation::statusChanged(const HostStatus& status)
{
    autoReturn_->statusChanged(status);
}

void HostAutomation::hotkeysChanged()
{
    hotkeys_->start(settings_.hotkeys ? settings_.hotkeys() : HotkeyActions::defaults());
}

void HostAutomation::connectFocus()
{
    focus_.reset();
    lastFocusTry_ = std::chrono::steady_clock::now();
    const auto session = findSessionDisplay(bus_);
    try {
        if (!session)
            throw X11Unavailable("no X display (DISPLAY is set neither here nor in the session)");
        focus_ = std::make_unique<X11FocusWatcher>(session->display, session->authority);
        log_.write(LogLevel::info, "profiles: following the focused window on the X display " + session->display);
    } catch (const X11Unavailable& error) {
        // Wayland sessions tell no one the focused window: the camera's readers decide alone.
        log_.write(LogLevel::debug, std::string("profiles: no focused window (") + error.what() + ")");
    }
}

std::optional<std::string> HostAutomation::frontmost()
{
    // A display that appeared after the start (the desktop came later) or came back.
    if ((!focus_ || focus_->broken()) && std::chrono::steady_clock::now() - lastFocusTry_ >= GlobalHotkeys::defaultX11Retry)
        connectFocus();
    std::optional<AppIdentity> focused;
    if (focus_)
        focused = focus_->focusedApp(readers_->processes());
    return frontmostApp(readers_->readers(), focused);
}

} // namespace quellon::host
