#include "StatusMenu.h"

namespace quellon {

namespace {

std::string displayName(std::string_view mode)
{
    if (mode == "away")
        return "Away";
    if (mode == "standby")
        return "Standby";
    if (mode == "error")
        return "Error";
    return "Live";
}

StatusSymbol symbolNamed(const char* symbol, std::string_view mode)
{
    return {symbol, std::string("quellon-") + symbol + "-symbolic", "Quellon " + displayName(mode)};
}

} // namespace

StatusMenu buildStatusMenu(std::string_view mode, bool autoReturn)
{
    using MenuBarBridge::Command;
    const auto separator = [] { return MenuEntry{MenuEntry::Kind::separator, "", std::nullopt, true, std::nullopt}; };
    const auto command = [](std::string title, Command c, std::optional<bool> checked = std::nullopt) {
        return MenuEntry{MenuEntry::Kind::command, std::move(title), c, true, checked};
    };
    return {
        MenuEntry{MenuEntry::Kind::header, "Quellon \u2014 " + displayName(mode), std::nullopt, false, std::nullopt},
        separator(),
        command("Open Quellon Panel", Command::togglePanel),
        command("Open Settings\u2026", Command::showApp),
        separator(),
        command("Live", Command::setLive, mode == "live"),
        command("Away", Command::setAway, mode == "away"),
        command("Standby", Command::setStandby, mode == "standby"),
        separator(),
        command("Record New Loop", Command::record),
        command("Manage Loops\u2026", Command::manageLoops),
        command("Enable Auto Return", Command::toggleAutoReturn, autoReturn),
        separator(),
        command("Quit Quellon", Command::quit),
    };
}

StatusSymbol statusSymbol(std::string_view mode)
{
    if (mode == "away")
        return symbolNamed("zzz", mode);
    if (mode == "standby")
        return symbolNamed("pause.fill", mode);
    if (mode == "error")
        return symbolNamed("exclamationmark.triangle.fill", mode);
    return symbolNamed("person.fill", mode);
}

std::vector<StatusSymbol> allStatusSymbols()
{
    return {statusSymbol("live"), statusSymbol("away"), statusSymbol("standby"), statusSymbol("error")};
}

} // namespace quellon
