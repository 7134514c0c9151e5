#include "host/automation/AutomationTestSupport.h"
#include "host/automation/HotkeyActions.h"
#include "host/automation/HotkeyKeymap.h"
#include "triggers/DefaultHotkeys.h"

#include <gtest/gtest.h>

namespace quellon::host {
namespace {

TEST(HotkeyKeymapTest, StoredBindingsBecomeAcceleratorsAndXModifiers)
{
    using namespace HotkeyKeymap;
    struct Case {
        HotkeyBinding binding;
        std::optional<std::string> accelerator;
        std::uint16_t xMask;
    };
    const Case cases[] = {
        {DefaultHotkeys::toggleAway, "ALT+LOGO+a", xAlt | xSuper},
        {DefaultHotkeys::returnLive, "ALT+LOGO+b", xAlt | xSuper},
        {DefaultHotkeys::standby, "ALT+LOGO+h", xAlt | xSuper},
        {DefaultHotkeys::panicToggle, "F13", 0},
        {{49, HotkeyKey::control | HotkeyKey::option | HotkeyKey::shift | HotkeyKey::cmd}, "CTRL+ALT+SHIFT+LOGO+space",
         xControl | xAlt | xShift | xSuper},
        // A modifier bit without a Linux counterpart adds nothing.
        {{122, HotkeyKey::cmd | 0x400}, "LOGO+F1", xSuper},
        {{126, HotkeyKey::control}, "CTRL+Up", xControl},
        {{24, HotkeyKey::shift}, "SHIFT+equal", xShift},
        // Codes the table does not know (keypad, media keys) have no accelerator.
        {{82, HotkeyKey::cmd}, std::nullopt, xSuper},
        {{10, 0}, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accelerator(c.binding), c.accelerator) << c.binding.displayString();
        EXPECT_EQ(xModifiers(c.binding.modifiers), c.xMask) << c.binding.displayString();
    }
}

TEST(HotkeyKeymapTest, LettersFollowTheirPositionsAndF13CarriesItsKeymapAlternative)
{
    // The ANSI positions are not alphabetical: a few spot checks across the rows.
    const std::pair<std::uint32_t, std::uint32_t> keysyms[] = {{0, 'a'}, {1, 's'}, {6, 'z'}, {12, 'q'}, {16, 'y'},
                                                              {29, '0'}, {31, 'o'}, {37, 'l'}, {46, 'm'}};
    for (const auto& [code, keysym] : keysyms) {
        const auto key = HotkeyKeymap::key(code);
        ASSERT_TRUE(key) << code;
        EXPECT_EQ(key->keysyms.front(), keysym) << code;
        EXPECT_EQ(key->name, std::string(1, static_cast<char>(keysym)));
    }
    EXPECT_EQ(HotkeyKeymap::key(HotkeyKey::f13), (LinuxKey{{0xffca, 0x1008ff81}, "F13"}));
    EXPECT_EQ(HotkeyKeymap::key(HotkeyKey::f15), (LinuxKey{{0xffcc, 0x1008ff46}, "F15"}));
}

TEST(HotkeyActionsTest, EachActionIsAModeCommandFromEveryMode)
{
    struct Case {
        HotkeyAction action;
        QuellonMode from;
        QuellonMode to;
    };
    const Case cases[] = {
        {HotkeyAction::toggleAway, QuellonMode::live, QuellonMode::away},
        {HotkeyAction::toggleAway, QuellonMode::away, QuellonMode::live},
        {HotkeyAction::toggleAway, QuellonMode::standby, QuellonMode::away},
        {HotkeyAction::returnLive, QuellonMode::away, QuellonMode::live},
        {HotkeyAction::returnLive, QuellonMode::standby, QuellonMode::live},
        {HotkeyAction::standby, QuellonMode::live, QuellonMode::standby},
        {HotkeyAction::panicToggle, QuellonMode::live, QuellonMode::standby},
        {HotkeyAction::panicToggle, QuellonMode::away, QuellonMode::standby},
        {HotkeyAction::panicToggle, QuellonMode::standby, QuellonMode::live},
    };
    for (const auto& c : cases) {
        testing::FakeHostController host;
        HostStatus status;
        status.mode = c.from;
        host.setStatus(status);
        HotkeyActions::perform(host, c.action);
        const auto name = std::string(HotkeyActions::name(c.action));
        EXPECT_EQ(host.modeChanges(), (std::vector<testing::FakeHostController::ModeChange>{{c.to, "hotkey " + name}}))
            << name << " from " << static_cast<int>(c.from);
        EXPECT_EQ(HotkeyActions::fromName(name), c.action);
    }
    EXPECT_EQ(HotkeyActions::fromName("ToggleAway"), std::nullopt);
}

} // namespace
} // namespace quellon::host
