// quellon settings | schedules | profiles: the host's settings record, changed while the host
// runs (it notices and reloads).

#include "Commands.h"
#include "LoopLibrary.h"
#include "Output.h"

#include "host/HostSettingsStore.h"
#include "platform/Environment.h"
#include "platform/TerminalText.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <iostream>
#include <memory>

namespace quellon::cli {

namespace {

using host::HostSettings;
using host::HostSettingsStore;

constexpr std::array<const char*, 7> dayNames{"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

HostSettingsStore store()
{
    auto file = HostSettingsStore::defaultFile(Environment::process());
    if (!file)
        throw CommandError("no configuration directory: set HOME or XDG_CONFIG_HOME");
    return HostSettingsStore(*file);
}

HostSettings load()
{
    try {
        return store().load();
    } catch (const host::HostSettingsError& failure) {
        throw CommandError(failure.what());
    }
}

// Changes the stored record; a file that does not decode is left exactly as it is.
HostSettings change(const std::function<void(HostSettings&)>& edit)
{
    try {
        return store().update(edit);
    } catch (const host::HostSettingsError& failure) {
        throw CommandError(std::string(failure.what()) + "; nothing was changed (fix or remove the file)");
    }
}

std::int64_t parseClock(const std::string& text, const char* option)
{
    // Exactly H:MM or HH:MM, 00:00 to 23:59.
    const auto colon = text.find(':');
    const bool shaped = colon != std::string::npos && (colon == 1 || colon == 2) && text.size() == colon + 3
        && std::all_of(text.begin(), text.end(), [](char c) { return c == ':' || (c >= '0' && c <= '9'); })
        && std::count(text.begin(), text.end(), ':') == 1;
    if (shaped) {
        const int hours = std::stoi(text.substr(0, colon));
        const int minutes = std::stoi(text.substr(colon + 1));
        if (hours < 24 && minutes < 60)
            return hours * 60 + minutes;
    }
    throw UsageError(std::string(option) + " must be a time of day as HH:MM (00:00 to 23:59), not \"" + text + "\"");
}

std::set<std::int64_t> parseDays(const std::string& text)
{
    std::set<std::int64_t> days;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        std::string name = text.substr(start, end - start);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        auto it = std::find(dayNames.begin(), dayNames.end(), name);
        if (it == dayNames.end())
            throw UsageError("--days takes day names from sun, mon, tue, wed, thu, fri, sat, not \"" + name + "\"");
        days.insert(it - dayNames.begin() + 1);
        start = end + 1;
    }
    return days;
}

std::string describeDays(const std::set<std::int64_t>& days)
{
    if (days.size() == 7)
        return "every day";
    std::string text;
    for (std::int64_t day : days)
        if (day >= 1 && day <= 7)
            text += (text.empty() ? "" : ",") + std::string(dayNames[static_cast<std::size_t>(day - 1)]);
    return text.empty() ? "no day" : text;
}

const char* onOff(bool value)
{
    return value ? "on" : "off";
}

void showSchedules(const HostSettings& settings)
{
    if (settings.schedules.empty())
        std::cout << "No schedules.\n";
    for (const LoopSchedule& schedule : settings.schedules)
        std::cout << schedule.id.uuidString() << "  " << visibleText(schedule.name) << "  " << schedule.timeRangeDescription()
                  << "  " << describeDays(schedule.weekdays) << (schedule.isEnabled ? "" : "  (disabled)") << "\n";
}

void showProfiles(const HostSettings& settings)
{
    if (settings.profiles.empty())
        std::cout << "No profiles.\n";
    for (const MeetingAppProfile& profile : settings.profiles)
        std::cout << profile.id.uuidString() << "  " << visibleText(profile.appBundleID) << "  \"" << visibleText(profile.appDisplayName)
                  << "\"  loop " << (profile.preferredLoopFilename ? visibleText(*profile.preferredLoopFilename) : "(none)")
                  << (profile.isEnabled ? "" : "  (disabled)") << "\n";
}

void addSettings(CLI::App& app)
{
    auto* settings = app.add_subcommand("settings", "Show or change the host's automatic behaviour");
    settings->require_subcommand(1);

    settings->add_subcommand("show", "Print the settings and the file that holds them")->callback([] {
        const HostSettings current = load();
        std::cout << "file: " << store().file().string() << "\n"
                  << "schedules: " << onOff(current.schedulesEnabled) << " (" << current.schedules.size() << ")\n"
                  << "profiles: " << onOff(current.profilesEnabled) << " (" << current.profiles.size() << ")\n"
                  << "lock-trigger: " << onOff(current.lockTriggerEnabled) << "\n"
                  << "auto-return: " << onOff(current.autoReturnEnabled) << " (tolerance "
                  << current.autoReturnTolerance << ")\n"
                  << "hotkeys: toggle away " << current.hotkeys.toggleAway.displayString() << ", return live "
                  << current.hotkeys.returnLive.displayString() << ", standby "
                  << current.hotkeys.standby.displayString() << ", panic toggle "
                  << current.hotkeys.panicToggle.displayString() << "\n";
    });

    auto key = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();
    auto* set = settings->add_subcommand("set", "Switch schedules, profiles, lock-trigger or auto-return on or off");
    set->add_option("key", *key, "schedules, profiles, lock-trigger or auto-return")->required();
    set->add_option("value", *value, "on or off")->required();
    set->callback([key, value] {
        static const std::map<std::string, bool HostSettings::*> switches{
            {"schedules", &HostSettings::schedulesEnabled},
            {"profiles", &HostSettings::profilesEnabled},
            {"lock-trigger", &HostSettings::lockTriggerEnabled},
            {"auto-return", &HostSettings::autoReturnEnabled},
        };
        auto field = switches.find(*key);
        if (field == switches.end())
            throw UsageError("unknown setting \"" + *key + "\": use schedules, profiles, lock-trigger or auto-return");
        if (*value != "on" && *value != "off")
            throw UsageError("a switch is on or off, not \"" + *value + "\"");
        change([&](HostSettings& stored) { stored.*(field->second) = *value == "on"; });
        std::cout << "Turned " << *key << " " << *value << "\n";
    });
}

void addSchedules(CLI::App& app)
{
    auto* schedules = app.add_subcommand("schedules", "Recurring windows in which the camera shows you away");
    schedules->require_subcommand(1);

    struct AddArguments {
        std::string name, start, end, days = "sun,mon,tue,wed,thu,fri,sat";
    };
    auto arguments = std::make_shared<AddArguments>();
    auto* add = schedules->add_subcommand("add", "Add a window (every day unless --days says otherwise)");
    add->add_option("name", arguments->name, "The window's name, e.g. Lunch")->required();
    add->add_option("--start", arguments->start, "Start, HH:MM local time")->required();
    add->add_option("--end", arguments->end, "End, HH:MM local time (exclusive; before the start runs past midnight)")
        ->required();
    add->add_option("--days", arguments->days, "Days the window starts on, e.g. mon,tue,wed");
    add->callback([arguments] {
        if (arguments->name.find_first_not_of(" \t") == std::string::npos)
            throw UsageError("a schedule needs a name");
        const std::int64_t start = parseClock(arguments->start, "--start");
        const std::int64_t end = parseClock(arguments->end, "--end");
        if (start == end)
            throw UsageError("--start and --end are the same time, so the window would never cover anything");
        LoopSchedule schedule(UUID::random(), arguments->name, start, end, parseDays(arguments->days), true);
        change([&](HostSettings& stored) {
            for (const LoopSchedule& existing : stored.schedules)
                if (existing.name == schedule.name)
                    throw UsageError("a schedule named \"" + schedule.name + "\" exists already");
            stored.schedules.push_back(schedule);
        });
        std::cout << "Added schedule " << quotedText(schedule.name) << ": " << schedule.timeRangeDescription() << ", "
                  << describeDays(schedule.weekdays) << " (id " << schedule.id.uuidString() << ")\n";
    });

    schedules->add_subcommand("list", "List the windows")->callback([] { showSchedules(load()); });

    auto which = std::make_shared<std::string>();
    auto* remove = schedules->add_subcommand("remove", "Remove a window by ID or name");
    remove->add_option("schedule", *which, "The window's ID or name")->required();
    remove->callback([which] {
        const auto id = UUID::fromString(*which);
        change([&](HostSettings& stored) {
            const auto removed = std::erase_if(stored.schedules, [&](const LoopSchedule& schedule) {
                return (id && schedule.id == *id) || schedule.name == *which;
            });
            if (removed == 0)
                throw CommandError("no schedule with the ID or name " + quotedText(*which));
        });
        std::cout << "Removed schedule " << quotedText(*which) << "\n";
    });
}

void addProfiles(CLI::App& app)
{
    auto* profiles = app.add_subcommand("profiles", "Loops chosen by the meeting application in use");
    profiles->require_subcommand(1);

    struct AddArguments {
        std::string appID, loop;
        std::optional<std::string> name;
    };
    auto arguments = std::make_shared<AddArguments>();
    auto* add = profiles->add_subcommand("add", "Play CLIP while the application APP-ID is in use");
    add->add_option("app-id", arguments->appID, "The application's identifier (see quellon profiles apps)")->required();
    add->add_option("--loop", arguments->loop, "A loop in the clips directory: its file name (.mov optional) or the name `loops list` shows")->required();
    add->add_option("--name", arguments->name, "The name shown for the application (default: APP-ID)");
    add->callback([arguments] {
        if (arguments->appID.empty())
            throw UsageError("an application identifier cannot be empty");
        std::string loop = arguments->loop;
        if (loop.empty() || loop.find('/') != std::string::npos || loop == "." || loop == "..")
            throw UsageError("--loop takes a loop's name in the clips directory, not a path: " + quotedText(loop));
        try {
            loop = resolveLoop(loop, LoopPlaces::library).loop->filename;
        } catch (const CommandError&) {
            std::cerr << "quellon: note: there is no loop " << quotedText(loop) << " in the clips directory yet\n";
        } catch (const UsageError&) {
            throw;
        } catch (const std::exception&) {
            // No container yet: nothing to check against; the profile still holds.
        }
        MeetingAppProfile profile{UUID::random(), arguments->appID, arguments->name.value_or(arguments->appID), loop, true};
        change([&](HostSettings& stored) {
            for (const MeetingAppProfile& existing : stored.profiles)
                if (existing.appBundleID == profile.appBundleID)
                    throw UsageError("\"" + profile.appBundleID + "\" has a profile already; remove it first");
            stored.profiles.push_back(profile);
        });
        std::cout << "Added a profile: " << quotedText(profile.appBundleID) << " plays " << quotedText(loop) << " (id "
                  << profile.id.uuidString() << ")\n";
    });

    profiles->add_subcommand("list", "List the profiles")->callback([] { showProfiles(load()); });

    auto which = std::make_shared<std::string>();
    auto* remove = profiles->add_subcommand("remove", "Remove a profile by ID or application identifier");
    remove->add_option("profile", *which, "The profile's ID or its application's identifier")->required();
    remove->callback([which] {
        const auto id = UUID::fromString(*which);
        change([&](HostSettings& stored) {
            const auto removed = std::erase_if(stored.profiles, [&](const MeetingAppProfile& profile) {
                return (id && profile.id == *id) || profile.appBundleID == *which;
            });
            if (removed == 0)
                throw CommandError("no profile with the ID or application " + quotedText(*which));
        });
        std::cout << "Removed the profile " << quotedText(*which) << "\n";
    });
}

} // namespace

void addSettingsCommands(CLI::App& app)
{
    addSettings(app);
    addSchedules(app);
    addProfiles(app);
}

} // namespace quellon::cli
