#include "triggers/HotkeyBinding.h"

#include "state/JSONCoding.h"
#include "triggers/DefaultHotkeys.h"
#include "triggers/HotkeyKey.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace quellon {
namespace {

using namespace HotkeyKey;

TEST(HotkeyBindingTest, DisplayStringAndUsability)
{
    const std::tuple<HotkeyBinding, const char*, bool> cases[] = {
        {DefaultHotkeys::toggleAway, "Alt+Super+A", true}, {DefaultHotkeys::returnLive, "Alt+Super+B", true},
        {DefaultHotkeys::standby, "Alt+Super+H", true},    {DefaultHotkeys::panicToggle, "F13", true},
        {{a, 0}, "A", false},                              {{49, 0}, "Space", false},
        {{f14, 0}, "F14", true},                           {{f15, 0}, "F15", true},
        {{49, control | option | shift | cmd}, "Ctrl+Alt+Shift+Super+Space", true},
        {{0, cmd | control}, "Ctrl+Super+A", true},        {{0, shift}, "Shift+A", true},
        {{l, control | option}, "Ctrl+Alt+L", true},       {{1, 0x400}, "S", true},
        {{1, 0x400 | 0x1}, "S", true},                     {{122, 0}, "key 122", false},
        {{40, option}, "Alt+K", true},                     {{106, 0}, "key 106", false},
        {{122, cmd}, "Super+key 122", true},               {{4294967295u, 0}, "key 4294967295", false},
    };
    for (const auto& [binding, display, usable] : cases) {
        EXPECT_EQ(binding.displayString(), display);
        EXPECT_EQ(binding.isUsableAsGlobalHotkey(), usable) << display;
    }
}

TEST(HotkeyBindingTest, EqualBindingsHashAlikeAndFieldsAreNotInterchangeable)
{
    std::unordered_set<HotkeyBinding> set{DefaultHotkeys::toggleAway, DefaultHotkeys::returnLive, DefaultHotkeys::standby,
                                          DefaultHotkeys::panicToggle};
    EXPECT_EQ(set.size(), 4u);
    EXPECT_TRUE(set.contains(HotkeyBinding{0, option | cmd}));
    EXPECT_FALSE(set.contains(HotkeyBinding{0, option}));
    EXPECT_NE(std::hash<HotkeyBinding>{}({1, 2}), std::hash<HotkeyBinding>{}({2, 1}));
    EXPECT_NE((HotkeyBinding{1, 2}), (HotkeyBinding{2, 1}));
}

TEST(HotkeyBindingTest, JSONRoundTripAndStrictDecoding)
{
    // The stored form is the key code and the modifier flags, whatever the display says.
    EXPECT_EQ(encodeJSON(DefaultHotkeys::toggleAway, JSONStyle::compact), R"({"keyCode":0,"modifiers":2304})");
    EXPECT_EQ(encodeJSON(DefaultHotkeys::returnLive, JSONStyle::compact), R"({"keyCode":11,"modifiers":2304})");
    EXPECT_EQ(encodeJSON(DefaultHotkeys::standby, JSONStyle::compact), R"({"keyCode":4,"modifiers":2304})");
    for (HotkeyBinding binding : {DefaultHotkeys::standby, DefaultHotkeys::panicToggle, HotkeyBinding{4294967295u, 4294967295u}})
        EXPECT_EQ(decodeHotkeyBinding(encodeJSON(binding, JSONStyle::pretty)), binding);
    EXPECT_EQ(decodeHotkeyBinding(R"({"modifiers":256,"keyCode":37,"extra":true})"), (HotkeyBinding{37, 256}));
    for (const char* bad : {R"({"keyCode":0})", R"({"modifiers":0})", R"({"keyCode":null,"modifiers":0})",
                            R"({"keyCode":"0","modifiers":0})", R"({"keyCode":0,"modifiers":true})", R"({"keyCode":-1,"modifiers":0})",
                            R"({"keyCode":0,"modifiers":4294967296})", R"({"keyCode":1.5,"modifiers":0})", R"([0,0])", ""})
        EXPECT_THROW(decodeHotkeyBinding(bad), DecodingError) << bad;
}

} // namespace
} // namespace quellon
