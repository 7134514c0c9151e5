#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quellon {

enum class JSONStyle;

/// A key combination for a system-wide hotkey: a key code and the sum of modifier flags
/// (HotkeyKey has both), 0 for a bare key.
struct HotkeyBinding {
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;

    /// Any modifier makes a binding usable; a bare key only when nobody types it in text
    /// (HotkeyKey::bareKeySafeKeyCodes), so the hotkey does not swallow ordinary typing.
    bool isUsableAsGlobalHotkey() const;

    /// The modifiers' Linux names in the order Ctrl, Alt, Shift, Super, then the key's label,
    /// joined by "+": "Alt+Super+A", "F13". Modifier bits without a name are not shown.
    std::string displayString() const;

    bool operator==(const HotkeyBinding&) const = default;
};

/// JSON object {"keyCode": n, "modifiers": n}. Cannot fail.
std::string encodeJSON(const HotkeyBinding& binding, JSONStyle style);

/// Throws DecodingError when either key is missing or not an integer from 0 to 4294967295.
HotkeyBinding decodeHotkeyBinding(std::string_view json);

} // namespace quellon

template <>
struct std::hash<quellon::HotkeyBinding> {
    std::size_t operator()(const quellon::HotkeyBinding& binding) const noexcept
    {
        // The key code, then the modifiers.
        std::size_t seed = std::hash<std::uint32_t>{}(binding.keyCode);
        seed ^= std::hash<std::uint32_t>{}(binding.modifiers) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
        return seed;
    }
};
