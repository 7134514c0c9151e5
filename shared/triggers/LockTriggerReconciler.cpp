#include "triggers/LockTriggerReconciler.h"

namespace quellon::LockTriggerReconciler {

Decision decide(const State& s)
{
    // The lock owns an Away only while that Away lasts: a flag left over from an Away someone
    // else ended would otherwise end the next one on an unlock.
    const bool owned = s.awayIsLocked && s.isAway;
    if (!s.lockTriggerActive)
        return {owned && !s.isRecording ? Action::returnToLive : Action::none, false};
    if (!s.lockEventFired || s.isRecording)
        return {Action::none, owned};
    if (s.isScreenLocked) {
        if (!s.isAway && !s.isStandby)
            return {Action::enterAway, true};
        // Already Away: a manual Away stays manual. Standby: the user's pause stands.
        return {Action::none, owned};
    }
    if (owned)
        return {Action::returnToLive, false};
    return {Action::none, false};
}

} // namespace quellon::LockTriggerReconciler
