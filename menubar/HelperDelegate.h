#pragma once

#include "DBusMenuExporter.h"
#include "StatusMenu.h"
#include "StatusNotifierItem.h"

#include "menubar/DarwinObserver.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IProxy;
}

namespace quellon {

class NotificationBus;

/// The tray program's one application object. It holds only what the Quellon app last
/// published, shows it as the tray item and its menu, and forwards every choice to the app:
/// it performs no command itself. Everything runs on the bus's loop thread.
class HelperDelegate {
public:
    HelperDelegate(NotificationBus& bus, std::string iconThemePath);

    /// The launch sequence. False when another copy already runs: then nothing was
    /// created, observed or posted, and the program should end with status 0.
    bool applicationDidFinishLaunching();

    /// A plain click at (x, y) in screen coordinates (y pointing down): records the item's
    /// place for the app's panel and asks the app to toggle the panel.
    void statusButtonClicked(int x, int y);
    /// The host asks for the menu (a right click): rebuild it; the host shows it.
    void contextMenuRequested();
    /// A menu entry was chosen: post its command, if it has one. Changes no field.
    void fire(std::optional<MenuBarBridge::Command> represented);
    /// A loop or camera was chosen: ask the running host to use it (its SetLoop or SetCamera
    /// on the session bus). The check mark moves once the host has stored the choice.
    void choose(const MenuChoice& choice);
    /// Rebuilds fallbackMenu from the fields and shows it in the exported menu.
    void refreshMenu();
    /// The symbol for a mode.
    static StatusSymbol statusIcon(std::string_view mode) { return statusSymbol(mode); }

    // What the app last published, and what is shown for it.
    std::optional<StatusNotifierItem> statusItem;
    StatusMenu fallbackMenu;
    std::vector<std::unique_ptr<DarwinObserver>> observers;
    std::string mode = "live";
    bool autoReturn = false;
    bool hasLoops = false;

private:
    void observe(std::string name, std::function<void()> handler);

    NotificationBus& bus_;
    std::string iconThemePath_;
    std::optional<DBusMenuExporter> menuExporter_;
    std::unique_ptr<sdbus::IProxy> hostProxy_;
};

} // namespace quellon
