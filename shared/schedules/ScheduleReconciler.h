#pragma once

#include "platform/UUID.h"

#include <optional>

namespace quellon {

/// Decides when schedules move the camera into Away and back to Live. Pure: the caller keeps
/// the two remembered fields of each Decision and passes them back in the next State.
namespace ScheduleReconciler {

/// handOverToLock: the Away stays, and the screen lock owns it from now on (its unlock
/// returns to Live).
enum class Action { none, enterAway, returnToLive, handOverToLock };

/// The situation at the moment of the decision.
struct State {
    /// Schedules are switched on.
    bool schedulesActive = false;
    /// The camera is in Away now.
    bool isAway = false;
    /// A loop is being recorded now.
    bool isRecording = false;
    /// The current Away was entered by a schedule (from the previous decision).
    bool awayIsScheduled = false;
    /// The window covering the present moment (LoopScheduler::activeSchedule), none outside
    /// every window.
    std::optional<UUID> activeWindowID;
    /// The window the user cut short (from the previous decision).
    std::optional<UUID> dismissedWindowID;
    /// The screen is locked with the lock trigger on: the lock would keep the camera Away.
    bool lockHoldsAway = false;

    bool operator==(const State&) const = default;
};

struct Decision {
    Action action = Action::none;
    bool awayIsScheduled = false;
    std::optional<UUID> dismissedWindowID;

    bool operator==(const Decision&) const = default;
};

/// A user who leaves a scheduled Away by hand dismisses that window until it ends; an Away the
/// user chose is never taken over, so the end of a window does not end it, and the window it
/// met is dismissed likewise (the user's return to Live stands); a recording is never
/// interrupted. A scheduled Away that ends while the screen is locked is handed to the lock
/// instead of showing an empty desk until the unlock.
Decision decide(const State& state);

} // namespace ScheduleReconciler

} // namespace quellon
