#include "host/automation/HostAutomation.h"

#include "host/HostController.h"
#include "host/automation/AutoReturnWatcher.h"
#include "host/automation/CameraReaders.h"
#include "host/automation/FrontmostApp.h"
#include "host/automation/GlobalHotkeys.h"
#include "host/automation/X11FocusWatcher.h"
#include "platform/Log.h"
#include "state/QuellonStorage.h"

namespace quellon::host {

HostAutomation::HostAutomation(MainLoop& loop, sdbus::IConnection* bus, HostController& host, LogSink& log, Settings settings)
    : loop_(loop), host_(host), log_(log), settings_(std::move(settings))
{
    readers_ = std::make_unique<CameraReaders>(ProcessTable(), [] { return cameraNodes(QuellonStorage::containerURL()); });
    try {
        focus_ = std::make_unique<X11FocusWatcher>();
    } catch (const X11Unavailable& error) {
        // Wayland sessions tell no one the focused window: the camera's readers decide alone.
        log_.write(LogLevel::debug, std::string("profiles: no focused window (") + error.what() + ")");
    }
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

std::optional<std::string> HostAutomation::frontmost()
{
    std::optional<AppIdentity> focused;
    if (focus_)
        focused = focus_->focusedApp(readers_->processes());
    return frontmostApp(readers_->readers(), focused);
}

} // namespace quellon::host
