#pragma once

namespace quellon {

/// Locking the screen puts the camera into Away from Live and unlocking returns to Live, but
/// only when the lock caused the Away. Pure; the caller keeps awayIsLocked between decisions
/// (starting false) and switches the mode itself.
namespace LockTriggerReconciler {

enum class Action { none, enterAway, returnToLive };

struct State {
    /// The user has switched the lock trigger on.
    bool lockTriggerActive = false;
    /// The camera is in Away now.
    bool isAway = false;
    /// The camera is in Standby now: the user paused it, and a lock does not undo that.
    bool isStandby = false;
    /// A loop recording is in progress.
    bool isRecording = false;
    /// The current Away was entered by the lock trigger (from the previous decision).
    bool awayIsLocked = false;
    /// This snapshot is taken because the screen was just locked or unlocked.
    bool lockEventFired = false;
    /// The screen is locked now.
    bool isScreenLocked = false;

    bool operator==(const State&) const = default;
};

struct Decision {
    Action action = Action::none;
    /// The flag's next value.
    bool awayIsLocked = false;

    bool operator==(const Decision&) const = default;
};

/// A manual Away is never ended by an unlock; Standby is never turned into Away; a recording is
/// never interrupted; switching the trigger off ends a lock-caused Away at once. The flag only
/// means something while Away: once the camera has left Away, however that came about, it is
/// cleared, so a later Away is never taken for the lock's.
Decision decide(const State& state);

} // namespace LockTriggerReconciler

} // namespace quellon
