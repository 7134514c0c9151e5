#pragma once
// Stored hotkey bindings (macOS virtual key codes and modifier flags, the records' own form)
// in the forms Linux registers them: X keysyms and modifier masks, and the accelerator text of
// the desktop portal's global shortcuts.

#include "triggers/HotkeyBinding.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellon::host {

/// One key of the table.
struct LinuxKey {
    /// The key's X keysyms, preferred first: F13 to F15 also carry the keysyms that common
    /// XKB keymaps give those keys (XF86Tools, XF86Launch5, XF86Launch6).
    std::vector<std::uint32_t> keysyms;
    /// The XKB keysym name used in accelerators: "a", "F13", "space".
    std::string name;
    bool operator==(const LinuxKey&) const = default;
};

namespace HotkeyKeymap {

/// X modifier masks (the core protocol's ShiftMask, ControlMask, Mod1Mask for Alt, Mod4Mask
/// for Super).
inline constexpr std::uint16_t xShift = 1u << 0;
inline constexpr std::uint16_t xControl = 1u << 2;
inline constexpr std::uint16_t xAlt = 1u << 3;
inline constexpr std::uint16_t xSuper = 1u << 6;

/// The key of a stored key code; none for a code the table does not know.
std::optional<LinuxKey> key(std::uint32_t keyCode);

/// The X modifier mask of stored modifier flags: Command is Super, Option is Alt. Flags
/// without a Linux counterpart add nothing.
std::uint16_t xModifiers(std::uint32_t modifiers);

/// The accelerator text of the portal ("CTRL+ALT+SHIFT+LOGO+a", modifiers in that order); none
/// when the key is not in the table.
std::optional<std::string> accelerator(const HotkeyBinding& binding);

} // namespace HotkeyKeymap

} // namespace quellon::host
