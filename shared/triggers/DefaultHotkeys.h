#pragma once

#include "triggers/HotkeyBinding.h"
#include "triggers/HotkeyKey.h"

namespace quellon {

/// The bindings a new user starts with. The host carries out what each is for.
namespace DefaultHotkeys {

/// ⌥⌘A: toggle Away.
inline constexpr HotkeyBinding toggleAway{HotkeyKey::a, HotkeyKey::option | HotkeyKey::cmd};
/// ⌥⌘L: back to Live.
inline constexpr HotkeyBinding returnLive{HotkeyKey::l, HotkeyKey::option | HotkeyKey::cmd};
/// ⌥⌘S: Standby.
inline constexpr HotkeyBinding standby{HotkeyKey::s, HotkeyKey::option | HotkeyKey::cmd};
/// F13 alone: the one-key panic toggle.
inline constexpr HotkeyBinding panicToggle{HotkeyKey::f13, 0};

} // namespace DefaultHotkeys

} // namespace quellon
