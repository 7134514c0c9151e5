#include "host/automation/HotkeyActions.h"

#include "host/HostController.h"
#include "triggers/DefaultHotkeys.h"

#include <array>
#include <string>

namespace quellon::host {

namespace {

constexpr std::array kActions{HotkeyAction::toggleAway, HotkeyAction::returnLive, HotkeyAction::standby,
                              HotkeyAction::panicToggle};

} // namespace

std::string_view HotkeyActions::name(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::toggleAway:
        return "toggleAway";
    case HotkeyAction::returnLive:
        return "returnLive";
    case HotkeyAction::standby:
        return "standby";
    case HotkeyAction::panicToggle:
        break;
    }
    return "panicToggle";
}

std::optional<HotkeyAction> HotkeyActions::fromName(std::string_view text)
{
    for (HotkeyAction action : kActions)
        if (name(action) == text)
            return action;
    return std::nullopt;
}

std::string_view HotkeyActions::description(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::toggleAway:
        return "Quellon: switch between Away and Live";
    case HotkeyAction::returnLive:
        return "Quellon: back to Live";
    case HotkeyAction::standby:
        return "Quellon: Standby";
    case HotkeyAction::panicToggle:
        break;
    }
    return "Quellon: switch between Live and Standby at once";
}

std::vector<HotkeyAssignment> HotkeyActions::defaults()
{
    return {{HotkeyAction::toggleAway, DefaultHotkeys::toggleAway},
            {HotkeyAction::returnLive, DefaultHotkeys::returnLive},
            {HotkeyAction::standby, DefaultHotkeys::standby},
            {HotkeyAction::panicToggle, DefaultHotkeys::panicToggle}};
}

void HotkeyActions::perform(HostController& host, HotkeyAction action)
{
    const QuellonMode now = host.mode();
    QuellonMode target = QuellonMode::live;
    switch (action) {
    case HotkeyAction::toggleAway:
        target = now == QuellonMode::away ? QuellonMode::live : QuellonMode::away;
        break;
    case HotkeyAction::returnLive:
        target = QuellonMode::live;
        break;
    case HotkeyAction::standby:
        target = QuellonMode::standby;
        break;
    case HotkeyAction::panicToggle:
        target = now == QuellonMode::standby ? QuellonMode::live : QuellonMode::standby;
        break;
    }
    host.setMode(target, "hotkey " + std::string(name(action)));
}

} // namespace quellon::host
