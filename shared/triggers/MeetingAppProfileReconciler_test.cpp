#include "triggers/MeetingAppProfileReconciler.h"

#include <gtest/gtest.h>

#include <ostream>

namespace quellon {

namespace MeetingAppProfileReconciler {
void PrintTo(const Decision& d, std::ostream* os)
{
    *os << (d.action == Decision::Action::none ? "none" : "switchLoop") << " " << d.loopFilename.value_or("(none)");
}
} // namespace MeetingAppProfileReconciler

namespace {

using namespace MeetingAppProfileReconciler;
using Action = Decision::Action;

MeetingAppProfile profile(const char* bundleID, std::optional<std::string> loop, bool enabled = true)
{
    return MeetingAppProfile{UUID::random(), bundleID, bundleID, std::move(loop), enabled};
}

const std::optional<std::string> none;
const Decision kNone{Action::none, std::nullopt};
Decision switchTo(const char* loop)
{
    return {Action::switchLoop, loop};
}

struct Row {
    const char* what;
    State state;
    Decision expected;
};

TEST(MeetingAppProfileReconcilerTest, DecisionTable)
{
    const auto zoom = profile("us.zoom.xos", "zoom.mov");
    const auto teams = profile("com.microsoft.teams2", "teams.mov");
    const auto teamsNoLoop = profile("com.microsoft.teams2", none);
    const auto zoomDisabled = profile("us.zoom.xos", "old.mov", false);
    const std::vector<MeetingAppProfile> both{zoom, teams};

    // Fields: profilesActive, profiles, frontmostAppBundleID, currentActiveLoopFilename, isRecording.
    const Row rows[] = {
        {"feature off", {false, both, "us.zoom.xos", "other.mov", false}, kNone},
        {"recording", {true, both, "us.zoom.xos", "other.mov", true}, kNone},
        {"no frontmost application", {true, both, none, "other.mov", false}, kNone},
        {"no profile for the application", {true, both, "com.apple.Safari", "other.mov", false}, kNone},
        {"no profiles at all", {true, {}, "us.zoom.xos", none, false}, kNone},
        {"bundle identifiers differ in case", {true, both, "US.ZOOM.XOS", "other.mov", false}, kNone},
        {"first matching profile has no loop", {true, {teamsNoLoop, teams}, "com.microsoft.teams2", none, false}, kNone},
        {"preferred loop already active", {true, both, "us.zoom.xos", "zoom.mov", false}, kNone},
        {"switch from another loop", {true, both, "us.zoom.xos", "other.mov", false}, switchTo("zoom.mov")},
        {"switch when no loop is active", {true, both, "com.microsoft.teams2", none, false}, switchTo("teams.mov")},
        {"disabled profile skipped", {true, {zoomDisabled, zoom}, "us.zoom.xos", "old.mov", false}, switchTo("zoom.mov")},
        {"only a disabled profile", {true, {zoomDisabled}, "us.zoom.xos", "other.mov", false}, kNone},
        {"first of two enabled profiles wins",
         {true, {zoom, profile("us.zoom.xos", "second.mov")}, "us.zoom.xos", none, false}, switchTo("zoom.mov")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(decide(row.state), row.expected);
    }
}

} // namespace
} // namespace quellon
