#include "schedules/ScheduleReconciler.h"

namespace quellon::ScheduleReconciler {

Decision decide(const State& state)
{
    if (!state.schedulesActive) {
        const bool returnNow = state.awayIsScheduled && state.isAway && !state.isRecording;
        return Decision{returnNow ? Action::returnToLive : Action::none, false, std::nullopt};
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
            return Decision{Action::returnToLive, false, std::nullopt};
        return Decision{Action::none, scheduled, std::nullopt};
    }

    if (state.activeWindowID == dismissed)
        return Decision{Action::none, scheduled, dismissed};

    if (!state.isAway)
        return Decision{Action::enterAway, true, dismissed};
    return Decision{Action::none, scheduled, dismissed};
}

} // namespace quellon::ScheduleReconciler
