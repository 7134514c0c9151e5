#include "triggers/HotkeyKey.h"

#include <array>
#include <utility>

namespace quellon::HotkeyKey {

std::string label(std::uint32_t keyCode)
{
    static constexpr std::array<std::pair<std::uint32_t, const char*>, 19> kLabels{{
        {0, "A"},   {1, "S"},   {2, "D"},   {3, "F"},      {4, "H"},    {5, "G"},    {9, "V"},
        {11, "B"},  {15, "R"},  {17, "T"},  {37, "L"},     {38, "J"},   {40, "K"},   {45, "N"},
        {46, "M"},  {49, "Space"}, {105, "F13"}, {107, "F14"}, {113, "F15"},
    }};
    for (const auto& [code, text] : kLabels) {
        if (code == keyCode)
            return text;
    }
    return "key " + std::to_string(keyCode);
}

} // namespace quellon::HotkeyKey
