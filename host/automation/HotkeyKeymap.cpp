#include "host/automation/HotkeyKeymap.h"

#include "triggers/HotkeyKey.h"

#include <array>

namespace quellon::host {

namespace {

struct Entry {
    std::uint32_t keyCode;
    std::uint32_t keysym;
    const char* name;
    std::uint32_t alternative = 0;
};

// macOS virtual key codes (ANSI positions) to X keysyms and their XKB names.
constexpr std::array kTable{
    Entry{0, 0x61, "a"}, Entry{1, 0x73, "s"}, Entry{2, 0x64, "d"}, Entry{3, 0x66, "f"}, Entry{4, 0x68, "h"},
    Entry{5, 0x67, "g"}, Entry{6, 0x7a, "z"}, Entry{7, 0x78, "x"}, Entry{8, 0x63, "c"}, Entry{9, 0x76, "v"},
    Entry{11, 0x62, "b"}, Entry{12, 0x71, "q"}, Entry{13, 0x77, "w"}, Entry{14, 0x65, "e"}, Entry{15, 0x72, "r"},
    Entry{16, 0x79, "y"}, Entry{17, 0x74, "t"}, Entry{18, 0x31, "1"}, Entry{19, 0x32, "2"}, Entry{20, 0x33, "3"},
    Entry{21, 0x34, "4"}, Entry{22, 0x36, "6"}, Entry{23, 0x35, "5"}, Entry{24, 0x3d, "equal"},
    Entry{25, 0x39, "9"}, Entry{26, 0x37, "7"}, Entry{27, 0x2d, "minus"}, Entry{28, 0x38, "8"},
    Entry{29, 0x30, "0"}, Entry{30, 0x5d, "bracketright"}, Entry{31, 0x6f, "o"}, Entry{32, 0x75, "u"},
    Entry{33, 0x5b, "bracketleft"}, Entry{34, 0x69, "i"}, Entry{35, 0x70, "p"}, Entry{36, 0xff0d, "Return"},
    Entry{37, 0x6c, "l"}, Entry{38, 0x6a, "j"}, Entry{39, 0x27, "apostrophe"}, Entry{40, 0x6b, "k"},
    Entry{41, 0x3b, "semicolon"}, Entry{42, 0x5c, "backslash"}, Entry{43, 0x2c, "comma"},
    Entry{44, 0x2f, "slash"}, Entry{45, 0x6e, "n"}, Entry{46, 0x6d, "m"}, Entry{47, 0x2e, "period"},
    Entry{48, 0xff09, "Tab"}, Entry{49, 0x20, "space"}, Entry{50, 0x60, "grave"}, Entry{51, 0xff08, "BackSpace"},
    Entry{53, 0xff1b, "Escape"}, Entry{64, 0xffce, "F17"}, Entry{79, 0xffcf, "F18"}, Entry{80, 0xffd0, "F19"},
    Entry{90, 0xffd1, "F20"}, Entry{96, 0xffc2, "F5"}, Entry{97, 0xffc3, "F6"}, Entry{98, 0xffc4, "F7"},
    Entry{99, 0xffc0, "F3"}, Entry{100, 0xffc5, "F8"}, Entry{101, 0xffc6, "F9"}, Entry{103, 0xffc8, "F11"},
    Entry{105, 0xffca, "F13", 0x1008ff81}, Entry{106, 0xffcd, "F16"}, Entry{107, 0xffcb, "F14", 0x1008ff45},
    Entry{109, 0xffc7, "F10"}, Entry{111, 0xffc9, "F12"}, Entry{113, 0xffcc, "F15", 0x1008ff46},
    Entry{114, 0xff63, "Insert"}, Entry{115, 0xff50, "Home"}, Entry{116, 0xff55, "Prior"},
    Entry{117, 0xffff, "Delete"}, Entry{118, 0xffc1, "F4"}, Entry{119, 0xff57, "End"}, Entry{120, 0xffbf, "F2"},
    Entry{121, 0xff56, "Next"}, Entry{122, 0xffbe, "F1"}, Entry{123, 0xff51, "Left"}, Entry{124, 0xff53, "Right"},
    Entry{125, 0xff54, "Down"}, Entry{126, 0xff52, "Up"},
};

} // namespace

std::optional<LinuxKey> HotkeyKeymap::key(std::uint32_t keyCode)
{
    for (const Entry& entry : kTable) {
        if (entry.keyCode != keyCode)
            continue;
        LinuxKey key{{entry.keysym}, entry.name};
        if (entry.alternative)
            key.keysyms.push_back(entry.alternative);
        return key;
    }
    return std::nullopt;
}

std::uint16_t HotkeyKeymap::xModifiers(std::uint32_t modifiers)
{
    std::uint16_t mask = 0;
    if (modifiers & HotkeyKey::shift)
        mask |= xShift;
    if (modifiers & HotkeyKey::control)
        mask |= xControl;
    if (modifiers & HotkeyKey::option)
        mask |= xAlt;
    if (modifiers & HotkeyKey::cmd)
        mask |= xSuper;
    return mask;
}

std::optional<std::string> HotkeyKeymap::accelerator(const HotkeyBinding& binding)
{
    const auto found = key(binding.keyCode);
    if (!found)
        return std::nullopt;
    std::string text;
    if (binding.modifiers & HotkeyKey::control)
        text += "CTRL+";
    if (binding.modifiers & HotkeyKey::option)
        text += "ALT+";
    if (binding.modifiers & HotkeyKey::shift)
        text += "SHIFT+";
    if (binding.modifiers & HotkeyKey::cmd)
        text += "LOGO+";
    return text + found->name;
}

} // namespace quellon::host
