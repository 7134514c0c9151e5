#pragma once
// The host's half of the tray protocol: performs the tray's nine commands and publishes the
// mode, auto return and whether loops exist, whenever they change and when the tray asks.

#include "menubar/DarwinObserver.h"
#include "menubar/MenuBarBridge.h"

#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quellon {
class NotificationBus;
}

namespace quellon::host {

class Desktop;
class HostController;
struct HostStatus;

/// Lives on the loop thread of bus. Installs itself as the controller's change handler and
/// removes it again on destruction.
class TrayLink {
public:
    /// quit ends the host (the tray's Quit Quellon).
    /// alsoOnChange, when given, sees every status the controller reports, on the reporting
    /// thread (the controller has room for one change handler, and this link holds it).
    TrayLink(NotificationBus& bus, HostController& controller, Desktop& desktop, std::function<void()> quit,
             std::function<void(const HostStatus&)> alsoOnChange = {});
    ~TrayLink();
    TrayLink(const TrayLink&) = delete;
    TrayLink& operator=(const TrayLink&) = delete;

    /// Posts the mode, auto return and loops notifications for status.
    void publish(const HostStatus& status);
    /// Does what the tray asked; failures are shown as a desktop notification, never thrown.
    void perform(MenuBarBridge::Command command);
    /// Shows a notification for every recording that ended since the last status: the clip it
    /// saved, and whether it became the active loop.
    void noticeRecordings(const HostStatus& status);
    /// Shows a refused mode change that no one else answers for: not the tray's own commands
    /// (perform shows those) nor the commands' (their caller gets the error), but a hotkey's,
    /// a schedule's or a trigger's.
    void noticeRefusals(const HostStatus& status);
    /// Tells the tray program to end (the host quits).
    void postTerminating();

    /// The settings file the tray's Open Settings… opens: the host's user defaults.
    static std::optional<std::filesystem::path> settingsFile();

private:
    struct Relay;

    NotificationBus& bus_;
    HostController& controller_;
    Desktop& desktop_;
    std::function<void()> quit_;
    std::shared_ptr<Relay> relay_;
    std::vector<std::unique_ptr<DarwinObserver>> observers_;
    std::int64_t recordingsNoticed_ = 0;
    std::int64_t refusalsNoticed_ = 0;
};

} // namespace quellon::host
