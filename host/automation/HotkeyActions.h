#pragma once
// What the global hotkeys do: each is one of the host's mode commands.

#include "triggers/HotkeyBinding.h"

#include <optional>
#include <string_view>
#include <vector>

namespace quellon::host {

class HostController;

enum class HotkeyAction { toggleAway, returnLive, standby, panicToggle };

/// A binding for one action, as the settings keep them.
struct HotkeyAssignment {
    HotkeyAction action = HotkeyAction::toggleAway;
    HotkeyBinding binding;
    bool operator==(const HotkeyAssignment&) const = default;
};

namespace HotkeyActions {

/// "toggleAway", "returnLive", "standby", "panicToggle": the shortcut IDs at the portal and
/// the word after "hotkey " in the cause of the mode change.
std::string_view name(HotkeyAction action);
std::optional<HotkeyAction> fromName(std::string_view name);

/// What the user sees in the desktop's shortcut settings.
std::string_view description(HotkeyAction action);

/// The four defaults.
std::vector<HotkeyAssignment> defaults();

/// Carries out the action on the host (cause "hotkey ACTION"): toggleAway goes Away from Live
/// or Standby and back to Live from Away; panicToggle goes to Standby from anything but
/// Standby, and back to Live from Standby. Errors of the host are the caller's to log.
void perform(HostController& host, HotkeyAction action);

} // namespace HotkeyActions

} // namespace quellon::host
