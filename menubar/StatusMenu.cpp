#include "StatusMenu.h"

#include "capture/CameraListing.h"
#include "state/ClipMetadata.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <algorithm>
#include <filesystem>

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

StatusMenu buildStatusMenu(std::string_view mode, bool autoReturn, const MenuChoices& choices)
{
    using MenuBarBridge::Command;
    const auto entry = [](MenuEntry::Kind kind, std::string title) {
        MenuEntry made;
        made.kind = kind;
        made.title = std::move(title);
        return made;
    };
    const auto separator = [&] { return entry(MenuEntry::Kind::separator, ""); };
    const auto command = [&](std::string title, Command c, std::optional<bool> checked = std::nullopt) {
        MenuEntry made = entry(MenuEntry::Kind::command, std::move(title));
        made.command = c;
        made.checked = checked;
        return made;
    };
    const auto submenu = [&](std::string title, MenuChoice::Kind kind, const std::vector<MenuChoices::Option>& options,
                             const std::optional<std::string>& active, const char* none) {
        MenuEntry made = entry(MenuEntry::Kind::submenu, std::move(title));
        for (const auto& option : options) {
            MenuEntry item = entry(MenuEntry::Kind::choice, option.title);
            item.choice = MenuChoice{kind, option.value};
            item.checked = active == option.value;
            made.children.push_back(std::move(item));
        }
        if (made.children.empty()) {
            MenuEntry empty = entry(MenuEntry::Kind::header, none);
            empty.enabled = false;
            made.children.push_back(std::move(empty));
        }
        return made;
    };
    MenuEntry header = entry(MenuEntry::Kind::header, "Quellon \u2014 " + displayName(mode));
    header.enabled = false;
    return {
        header,
        separator(),
        command("Open Quellon Panel", Command::togglePanel),
        command("Open Settings\u2026", Command::showApp),
        separator(),
        command("Live", Command::setLive, mode == "live"),
        command("Away", Command::setAway, mode == "away"),
        command("Standby", Command::setStandby, mode == "standby"),
        submenu("Camera", MenuChoice::Kind::camera, choices.cameras, choices.activeCamera, "No camera found"),
        separator(),
        command("Record New Loop", Command::record),
        command("Manage Loops\u2026", Command::manageLoops),
        submenu("Loops", MenuChoice::Kind::loop, choices.loops, choices.activeLoop, "No loops yet"),
        command("Enable Auto Return", Command::toggleAutoReturn, autoReturn),
        separator(),
        command("Quit Quellon", Command::quit),
    };
}

MenuChoices currentMenuChoices()
{
    namespace fs = std::filesystem;
    MenuChoices choices;
    try {
        const QuellonState state = QuellonStorage::readState();
        choices.activeLoop = state.activeClipFilename;
        choices.activeCamera = state.selectedCameraID;
        std::error_code error;
        for (fs::directory_iterator it(QuellonStorage::clipsDirectory(), error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            std::error_code kind;
            if (!it->is_regular_file(kind) || name.starts_with(".") || it->path().extension() == ".json")
                continue;
            const auto metadata = QuellonStorage::readMetadata(name);
            choices.loops.push_back({metadata && metadata->displayName ? *metadata->displayName : it->path().stem().string(), name});
        }
        std::sort(choices.loops.begin(), choices.loops.end(),
                  [](const auto& a, const auto& b) { return a.value < b.value; });
    } catch (const std::exception&) {
        // No container: no loops to offer.
    }
    const auto cameras = listCameras();
    for (const CameraDescription& camera : cameras)
        choices.cameras.push_back({camera.name.empty() ? camera.path : camera.name + " (" + camera.path + ")", camera.id});
    // The state may name a camera by its device path rather than its stable ID.
    if (choices.activeCamera)
        if (const CameraDescription* chosen = findCamera(cameras, *choices.activeCamera))
            choices.activeCamera = chosen->id;
    return choices;
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
