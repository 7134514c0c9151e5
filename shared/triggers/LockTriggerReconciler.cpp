#include "triggers/LockTriggerReconciler.h"

namespace quellon::LockTriggerReconciler {

Decision decide(const State& s)
{
    if (!s.lockTriggerActive) {
        const bool returnNow = !s.isRecording && s.isAway && s.awayIsLocked;
        return {returnNow ? Action::returnToLive : Action::none, false};
    }
    if (!s.lockEventFired || s.isRecording)
        return {Action::none, s.awayIsLocked};
    if (s.isScreenLocked) {
        if (!s.isAway)
            return {Action::enterAway, true};
        // Already Away: keep ownership only if the lock already held it; a manual Away stays manual.
        return {Action::none, s.awayIsLocked};
    }
    if (s.isAway && s.awayIsLocked)
        return {Action::returnToLive, false};
    return {Action::none, s.awayIsLocked};
}

} // namespace quellon::LockTriggerReconciler
