#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace quellon {

/// Key codes and modifier flags of hotkey bindings. They are the values stored in the bindings'
/// JSON: macOS virtual key codes (the physical key position on an ANSI keyboard, e.g. 0 is the
/// key labelled A) and the classic event-modifier flags used to register system-wide hotkeys.
/// A Linux host translates them to its own key symbols and modifier masks when it registers a
/// binding; the stored form stays the same everywhere.
namespace HotkeyKey {

inline constexpr std::uint32_t a = 0;
inline constexpr std::uint32_t s = 1;
inline constexpr std::uint32_t h = 4;
inline constexpr std::uint32_t b = 11;
inline constexpr std::uint32_t l = 37;
inline constexpr std::uint32_t f13 = 105;
inline constexpr std::uint32_t f14 = 107;
inline constexpr std::uint32_t f15 = 113;

/// Modifier flags; a binding's modifiers are their sum (bitwise or).
inline constexpr std::uint32_t cmd = 0x100;     // Command (Super on a PC keyboard)
inline constexpr std::uint32_t shift = 0x200;   // Shift
inline constexpr std::uint32_t option = 0x800;  // Option (Alt)
inline constexpr std::uint32_t control = 0x1000; // Control

/// Keys nobody types in ordinary text, so they may serve as hotkeys without a modifier.
inline const std::set<std::uint32_t> bareKeySafeKeyCodes{f13, f14, f15};

/// "A", "Space", "F13", … for the keys a binding may use; "key 122" for any other code.
std::string label(std::uint32_t keyCode);

} // namespace HotkeyKey

} // namespace quellon
