#pragma once

#include "triggers/MeetingAppProfile.h"

#include <optional>
#include <string>
#include <vector>

namespace quellon {

/// Decides whether the active loop must change because the frontmost application has a
/// profile. Pure; the caller performs a switch itself.
namespace MeetingAppProfileReconciler {

struct State {
    /// The user has switched the profile feature on.
    bool profilesActive = false;
    /// All profiles, in the user's order.
    std::vector<MeetingAppProfile> profiles;
    /// The frontmost application, none when nothing is reported.
    std::optional<std::string> frontmostAppBundleID;
    /// The loop active now, none if there is none.
    std::optional<std::string> currentActiveLoopFilename;
    /// A loop recording is in progress.
    bool isRecording = false;

    bool operator==(const State&) const = default;
};

struct Decision {
    enum class Action { none, switchLoop };

    Action action = Action::none;
    /// The loop to switch to; none with Action::none.
    std::optional<std::string> loopFilename;

    bool operator==(const Decision&) const = default;
};

/// Only the first enabled profile for the frontmost application counts, even when it names no
/// loop. Asking again after the switch gives none, so repeated calls never switch twice.
/// Leaving an application decides nothing: its loop stays until something else changes it.
Decision decide(const State& state);

} // namespace MeetingAppProfileReconciler

} // namespace quellon
