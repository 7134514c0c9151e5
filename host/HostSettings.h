#pragma once
// What the user has set up for the host's automatic behaviour: schedules, meeting-app
// profiles, the switches, auto return's tolerance and the hotkeys. It lives beside the
// host's other user defaults and is changed by `quellon settings|schedules|profiles`.

#include "platform/UUID.h"
#include "schedules/LoopSchedule.h"
#include "triggers/HotkeyBinding.h"
#include "triggers/MeetingAppProfile.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellon::host {

/// The four hotkey actions and their key combinations.
struct HotkeyBindings {
    HotkeyBinding toggleAway;
    HotkeyBinding returnLive;
    HotkeyBinding standby;
    HotkeyBinding panicToggle;

    /// Alt+Super+A, Alt+Super+B, Alt+Super+H and F13.
    static HotkeyBindings defaults();
    bool operator==(const HotkeyBindings&) const = default;
};

struct HostSettings {
    /// Away windows in the user's order; the earlier of two overlapping windows wins.
    std::vector<LoopSchedule> schedules;
    /// Meeting-app profiles in the user's order.
    std::vector<MeetingAppProfile> profiles;
    bool schedulesEnabled = true;
    bool profilesEnabled = true;
    /// Off until asked for: locking the screen changing what a meeting sees would surprise.
    bool lockTriggerEnabled = false;
    bool autoReturnEnabled = false;
    /// How far a face may sit from where the user left and still count as them.
    double autoReturnTolerance;
    HotkeyBindings hotkeys = HotkeyBindings::defaults();

    /// The schedule reconciler's memory, kept here so that a restarted host neither takes
    /// over an Away the user chose nor re-enters a window the user cut short.
    bool scheduleAwayIsScheduled = false;
    std::optional<UUID> scheduleDismissedWindowID;

    HostSettings();
    bool operator==(const HostSettings&) const = default;
};

/// The settings' keys in the host's user-defaults object, the names `quellon settings`
/// shows, and the names of its switches.
namespace HostSettingsKeys {
inline constexpr const char* schedules = "schedules";
inline constexpr const char* profiles = "meetingAppProfiles";
inline constexpr const char* schedulesEnabled = "schedulesEnabled";
inline constexpr const char* profilesEnabled = "profilesEnabled";
inline constexpr const char* lockTriggerEnabled = "lockTriggerEnabled";
inline constexpr const char* autoReturnEnabled = "autoReturnEnabled";
inline constexpr const char* autoReturnTolerance = "autoReturnTolerance";
inline constexpr const char* hotkeys = "hotkeys";
inline constexpr const char* scheduleAwayIsScheduled = "scheduleAwayIsScheduled";
inline constexpr const char* scheduleDismissedWindowID = "scheduleDismissedWindowID";
} // namespace HostSettingsKeys

/// Merges the settings into a JSON object holding other keys too (the rest of the user
/// defaults), which are kept. Gives the pretty-printed object. Throws DecodingError when
/// otherDefaults is not a JSON object, EncodingError when a text is not UTF-8.
std::string mergeIntoDefaults(const HostSettings& settings, std::string_view otherDefaults);
/// Reads the settings from the user-defaults object: a missing key takes its default, any
/// present key must decode whole (every schedule, profile and binding), and other keys are
/// ignored. Throws DecodingError naming the key at fault.
HostSettings decodeHostSettings(std::string_view defaultsObject);

} // namespace quellon::host
