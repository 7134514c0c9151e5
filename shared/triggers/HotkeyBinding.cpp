#include "triggers/HotkeyBinding.h"

#include "state/JSONCoding.h"
#include "triggers/HotkeyKey.h"

#include <limits>

namespace quellon {

using namespace JSONCoding;

namespace {

std::uint32_t requiredUInt32(const Json& object, const char* key)
{
    std::int64_t value = requiredInt(object, key);
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
        throw DecodingError(std::string("\"") + key + "\" is not an unsigned 32-bit integer");
    return static_cast<std::uint32_t>(value);
}

} // namespace

bool HotkeyBinding::isUsableAsGlobalHotkey() const
{
    return modifiers != 0 || HotkeyKey::bareKeySafeKeyCodes.contains(keyCode);
}

std::string HotkeyBinding::displayString() const
{
    // The names Linux desktops print on their own shortcut settings, joined by "+".
    std::string text;
    if (modifiers & HotkeyKey::control)
        text += "Ctrl+";
    if (modifiers & HotkeyKey::option)
        text += "Alt+";
    if (modifiers & HotkeyKey::shift)
        text += "Shift+";
    if (modifiers & HotkeyKey::cmd)
        text += "Super+";
    return text + HotkeyKey::label(keyCode);
}

std::string encodeJSON(const HotkeyBinding& binding, JSONStyle style)
{
    Json object = Json::object();
    object["keyCode"] = binding.keyCode;
    object["modifiers"] = binding.modifiers;
    return dump(object, style);
}

HotkeyBinding decodeHotkeyBinding(std::string_view json)
{
    const Json object = parseObject(json);
    return HotkeyBinding{requiredUInt32(object, "keyCode"), requiredUInt32(object, "modifiers")};
}

} // namespace quellon
