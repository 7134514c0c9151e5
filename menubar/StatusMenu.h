#pragma once

#include "menubar/MenuBarBridge.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

/// What a choice entry asks the host to use: a loop (its clip file name) or a camera (its ID).
struct MenuChoice {
    enum class Kind { loop, camera };
    Kind kind = Kind::loop;
    std::string value;
    bool operator==(const MenuChoice&) const = default;
};

/// One entry of the tray's command menu, independent of how the menu is shown.
struct MenuEntry {
    enum class Kind { header, separator, command, submenu, choice };
    Kind kind = Kind::command;
    std::string title;
    std::optional<MenuBarBridge::Command> command; // the represented object of a command entry
    bool enabled = true;
    std::optional<bool> checked; // present on the entries that can carry a check mark
    std::optional<MenuChoice> choice; // a choice entry's target
    std::vector<MenuEntry> children;  // a submenu's entries
    bool operator==(const MenuEntry&) const = default;
};

using StatusMenu = std::vector<MenuEntry>;

/// What the Loops and Camera submenus offer.
struct MenuChoices {
    struct Option {
        std::string title;
        std::string value; // the clip file name, or the camera's ID
        bool operator==(const Option&) const = default;
    };
    std::vector<Option> loops;
    std::optional<std::string> activeLoop;
    std::vector<Option> cameras;
    std::optional<std::string> activeCamera;
    bool operator==(const MenuChoices&) const = default;
};

/// The menu for the last published status: a disabled header naming the mode, then the
/// commands, with check marks on the current mode and on auto return, and the Camera and Loops
/// submenus with the active ones checked.
StatusMenu buildStatusMenu(std::string_view mode, bool autoReturn, const MenuChoices& choices = {});

/// The choices as the shared container and the system hold them now: the loops in the clips
/// directory (by the names their sidecars give), the cameras connected, and the state's picks.
MenuChoices currentMenuChoices();

/// How the tray item looks for a mode.
struct StatusSymbol {
    std::string symbolName;               // e.g. "person.fill"
    std::string iconName;                 // our themed icon, e.g. "quellon-person.fill-symbolic"
    std::string accessibilityDescription; // e.g. "Quellon Live"
    bool operator==(const StatusSymbol&) const = default;
};

/// The symbol for a mode; any text other than "away", "standby" and "error" shows the person.
StatusSymbol statusSymbol(std::string_view mode);

/// Every symbol the tray can show.
std::vector<StatusSymbol> allStatusSymbols();

} // namespace quellon
