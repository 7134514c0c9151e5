#include "schedules/ScheduleReconciler.h"

namespace quellon::ScheduleReconciler {

namespace {

/// How a scheduled Away ends: back to Live, or on in the lock's hands while the screen is locked.
Action ending(const State& state)
{
    return state.lockHoldsAway ? Action::handOverToLock : Action::returnToLive;
}

} // namespace

Decision decide(const State& state)
{
    if (!state.schedulesActive) {
        const bool endNow = state.awayIsScheduled && state.isAway && !state.isRecording;
        return Decision{endNow ? ending(state) : Action::none, false, std::nullopt};
    }

    bool scheduled = state.awayIsScheduled;
    std::optional<UUID> dismissed = state.dismissedWindowID;
    if (scheduled && !state.isAway) {
        // The user left a scheduled Away by hand: that window must not pull them back.
        dismissed = state.activeWindowID;
        scheduled = false;
    }

    if (state.isRecording)
        return Decision{Action::none, scheduled, dismissed};

    if (!state.activeWindowID) {
        if (scheduled && state.isAway)
            return Decision{ending(state), false, std::nullopt};
        return Decision{Action::none, scheduled, std::nullopt};
    }

    if (state.activeWindowID == dismissed)
        return Decision{Action::none, scheduled, dismissed};

    if (!state.isAway)
        return Decision{Action::enterAway, true, dismissed};
    if (!scheduled) {
        // The user was Away by choice when the window came: it stands aside until it is over,
        // so the user's own return to Live is not pulled back into Away a minute later.
        return Decision{Action::none, false, state.activeWindowID};
    }
    return Decision{Action::none, scheduled, dismissed};
}

} // namespace quellon::ScheduleReconciler
