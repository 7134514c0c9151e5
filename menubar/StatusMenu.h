#pragma once

#include "menubar/MenuBarBridge.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

/// One entry of the tray's command menu, independent of how the menu is shown.
struct MenuEntry {
    enum class Kind { header, separator, command };
    Kind kind = Kind::command;
    std::string title;
    std::optional<MenuBarBridge::Command> command; // the represented object of a command entry
    bool enabled = true;
    std::optional<bool> checked; // present on the entries that can carry a check mark
    bool operator==(const MenuEntry&) const = default;
};

using StatusMenu = std::vector<MenuEntry>;

/// The menu for the last published status: a disabled header naming the mode, then the
/// commands, with check marks on the current mode and on auto return.
StatusMenu buildStatusMenu(std::string_view mode, bool autoReturn);

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
