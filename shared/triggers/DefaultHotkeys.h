#pragma once

#include "triggers/HotkeyBinding.h"
#include "triggers/HotkeyKey.h"

namespace quellon {

/// The bindings a new user starts with. The host carries out what each is for. Alt+Super with
/// a letter that neither GNOME nor KDE Plasma binds by default: GNOME takes Alt+Super+S (screen
/// reader) and Alt+Super+8, =, - (magnifier); Plasma takes Alt+Super+K and L (keyboard
/// layouts), P (panel focus), R (screen recording) and the arrows.
namespace DefaultHotkeys {

/// Alt+Super+A: toggle Away.
inline constexpr HotkeyBinding toggleAway{HotkeyKey::a, HotkeyKey::option | HotkeyKey::cmd};
/// Alt+Super+B: back to Live.
inline constexpr HotkeyBinding returnLive{HotkeyKey::b, HotkeyKey::option | HotkeyKey::cmd};
/// Alt+Super+H: hold the picture, Standby.
inline constexpr HotkeyBinding standby{HotkeyKey::h, HotkeyKey::option | HotkeyKey::cmd};
/// F13 alone: the one-key panic toggle.
inline constexpr HotkeyBinding panicToggle{HotkeyKey::f13, 0};

} // namespace DefaultHotkeys

} // namespace quellon
