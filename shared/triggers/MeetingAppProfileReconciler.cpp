#include "triggers/MeetingAppProfileReconciler.h"

#include <algorithm>

namespace quellon::MeetingAppProfileReconciler {

Decision decide(const State& state)
{
    if (!state.profilesActive || state.isRecording || !state.frontmostAppBundleID)
        return {};
    auto profile = std::ranges::find_if(state.profiles, [&](const MeetingAppProfile& candidate) {
        return candidate.isEnabled && candidate.appBundleID == *state.frontmostAppBundleID;
    });
    if (profile == state.profiles.end() || !profile->preferredLoopFilename)
        return {};
    if (state.currentActiveLoopFilename == profile->preferredLoopFilename)
        return {};
    return Decision{Decision::Action::switchLoop, profile->preferredLoopFilename};
}

} // namespace quellon::MeetingAppProfileReconciler
