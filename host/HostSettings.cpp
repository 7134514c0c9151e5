#include "host/HostSettings.h"

#include "analysis/PresenceMatch.h"
#include "state/JSONCoding.h"
#include "state/UUIDCoding.h"
#include "triggers/DefaultHotkeys.h"

#include <cmath>

namespace quellon::host {

using JSONCoding::Json;
namespace Keys = HostSettingsKeys;

namespace {

// The hotkey actions as they are named in the file.
struct HotkeySlot {
    const char* name;
    HotkeyBinding HotkeyBindings::*binding;
};
constexpr HotkeySlot hotkeySlots[] = {
    {"toggleAway", &HotkeyBindings::toggleAway},
    {"returnLive", &HotkeyBindings::returnLive},
    {"standby", &HotkeyBindings::standby},
    {"panicToggle", &HotkeyBindings::panicToggle},
};

// Runs decode on one element, prefixing its error with where it sits.
template <class Decode>
auto decodeElement(const Json& element, const std::string& where, Decode decode)
{
    try {
        return decode(element.dump());
    } catch (const DecodingError& error) {
        throw DecodingError(where + ": " + error.what());
    }
}

template <class Record, class Decode>
std::vector<Record> decodeList(const Json& object, const char* key, Decode decode)
{
    std::vector<Record> records;
    auto it = object.find(key);
    if (it == object.end())
        return records;
    if (!it->is_array())
        throw DecodingError(std::string("\"") + key + "\" is not a list");
    for (std::size_t i = 0; i < it->size(); ++i)
        records.push_back(decodeElement((*it)[i], std::string("\"") + key + "\"[" + std::to_string(i) + "]", decode));
    return records;
}

HotkeyBindings decodeHotkeys(const Json& object)
{
    HotkeyBindings bindings = HotkeyBindings::defaults();
    auto it = object.find(Keys::hotkeys);
    if (it == object.end())
        return bindings;
    if (!it->is_object())
        throw DecodingError(std::string("\"") + Keys::hotkeys + "\" is not an object");
    for (const HotkeySlot& slot : hotkeySlots) {
        auto binding = it->find(slot.name);
        if (binding != it->end())
            bindings.*slot.binding = decodeElement(*binding, std::string("\"") + Keys::hotkeys + "\"." + slot.name,
                                                   decodeHotkeyBinding);
    }
    return bindings;
}

} // namespace

HotkeyBindings HotkeyBindings::defaults()
{
    return {DefaultHotkeys::toggleAway, DefaultHotkeys::returnLive, DefaultHotkeys::standby, DefaultHotkeys::panicToggle};
}

HostSettings::HostSettings() : autoReturnTolerance(PresenceMatch::defaultTolerance) {}

HostSettings decodeHostSettings(std::string_view defaultsObject)
{
    const Json object = JSONCoding::parseObject(defaultsObject);
    HostSettings settings;
    settings.schedules = decodeList<LoopSchedule>(object, Keys::schedules, decodeLoopSchedule);
    settings.profiles = decodeList<MeetingAppProfile>(object, Keys::profiles, decodeMeetingAppProfile);
    auto flag = [&](const char* key, bool& field) {
        if (auto value = JSONCoding::optionalBool(object, key))
            field = *value;
    };
    flag(Keys::schedulesEnabled, settings.schedulesEnabled);
    flag(Keys::profilesEnabled, settings.profilesEnabled);
    flag(Keys::lockTriggerEnabled, settings.lockTriggerEnabled);
    flag(Keys::autoReturnEnabled, settings.autoReturnEnabled);
    flag(Keys::scheduleAwayIsScheduled, settings.scheduleAwayIsScheduled);
    if (auto tolerance = JSONCoding::optionalDouble(object, Keys::autoReturnTolerance)) {
        if (!std::isfinite(*tolerance) || *tolerance < 0)
            throw DecodingError(std::string("\"") + Keys::autoReturnTolerance + "\" is not a number of 0 or more");
        settings.autoReturnTolerance = *tolerance;
    }
    settings.hotkeys = decodeHotkeys(object);
    if (object.contains(Keys::scheduleDismissedWindowID) && !object[Keys::scheduleDismissedWindowID].is_null())
        settings.scheduleDismissedWindowID = JSONCoding::requiredUUID(object, Keys::scheduleDismissedWindowID);
    return settings;
}

std::string mergeIntoDefaults(const HostSettings& settings, std::string_view otherDefaults)
{
    Json object = otherDefaults.empty() ? Json::object() : JSONCoding::parseObject(otherDefaults);
    Json schedules = Json::array();
    for (const LoopSchedule& schedule : settings.schedules)
        schedules.push_back(Json::parse(encodeJSON(schedule, JSONStyle::compact)));
    Json profiles = Json::array();
    for (const MeetingAppProfile& profile : settings.profiles)
        profiles.push_back(Json::parse(encodeJSON(profile, JSONStyle::compact)));
    Json hotkeys = Json::object();
    for (const HotkeySlot& slot : hotkeySlots)
        hotkeys[slot.name] = Json::parse(encodeJSON(settings.hotkeys.*slot.binding, JSONStyle::compact));
    object[Keys::schedules] = std::move(schedules);
    object[Keys::profiles] = std::move(profiles);
    object[Keys::schedulesEnabled] = settings.schedulesEnabled;
    object[Keys::profilesEnabled] = settings.profilesEnabled;
    object[Keys::lockTriggerEnabled] = settings.lockTriggerEnabled;
    object[Keys::autoReturnEnabled] = settings.autoReturnEnabled;
    object[Keys::autoReturnTolerance] = settings.autoReturnTolerance;
    object[Keys::hotkeys] = std::move(hotkeys);
    object[Keys::scheduleAwayIsScheduled] = settings.scheduleAwayIsScheduled;
    if (settings.scheduleDismissedWindowID)
        object[Keys::scheduleDismissedWindowID] = JSONCoding::encodeUUID(*settings.scheduleDismissedWindowID);
    else
        object.erase(Keys::scheduleDismissedWindowID);
    return JSONCoding::dump(object, JSONStyle::pretty) + "\n";
}

} // namespace quellon::host
