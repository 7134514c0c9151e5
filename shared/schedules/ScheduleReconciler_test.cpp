#include "schedules/ScheduleReconciler.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace quellon {

namespace ScheduleReconciler {
void PrintTo(const Decision& d, std::ostream* os)
{
    const char* names[] = {"none", "enterAway", "returnToLive", "handOverToLock"};
    *os << names[static_cast<int>(d.action)] << ", scheduled " << d.awayIsScheduled << ", dismissed "
        << (d.dismissedWindowID ? d.dismissedWindowID->uuidString() : "none");
}
} // namespace ScheduleReconciler

namespace {

using namespace ScheduleReconciler;

const UUID W1 = *UUID::fromString("11111111-1111-4111-8111-111111111111");
const UUID W2 = *UUID::fromString("22222222-2222-4222-8222-222222222222");
const std::optional<UUID> none;

struct Row {
    const char* what;
    State state;
    Decision expected;
};

// Fields: schedulesActive, isAway, isRecording, awayIsScheduled, activeWindowID, dismissedWindowID,
// lockHoldsAway (false unless given).
TEST(ScheduleReconcilerTest, DecisionTable)
{
    const Row rows[] = {
        // Schedules off: only a scheduled Away ends, and only when no recording runs.
        {"off, away by schedule", {false, true, false, true, W1, W1}, {Action::returnToLive, false, none}},
        {"off, away by schedule, recording", {false, true, true, true, W1, none}, {Action::none, false, none}},
        {"off, away by choice", {false, true, false, false, W1, W2}, {Action::none, false, none}},
        {"off, live with a stale flag", {false, false, false, true, W1, W1}, {Action::none, false, none}},
        // Recording: nothing changes, but a dismissal is still noted.
        {"recording, away by schedule", {true, true, true, true, W1, none}, {Action::none, true, none}},
        {"recording, left the scheduled away", {true, false, true, true, W1, none}, {Action::none, false, W1}},
        {"recording outside windows keeps the dismissal", {true, false, true, false, none, W2}, {Action::none, false, W2}},
        // Outside every window.
        {"window over, away by schedule", {true, true, false, true, none, W2}, {Action::returnToLive, false, none}},
        {"outside, away by choice", {true, true, false, false, none, W1}, {Action::none, false, none}},
        {"outside, left the scheduled away", {true, false, false, true, none, W2}, {Action::none, false, none}},
        // Inside the dismissed window.
        {"dismissed window, live", {true, false, false, false, W1, W1}, {Action::none, false, W1}},
        {"just left the scheduled away", {true, false, false, true, W1, none}, {Action::none, false, W1}},
        {"left the scheduled away, other dismissal replaced", {true, false, false, true, W1, W2}, {Action::none, false, W1}},
        // Inside another window.
        {"window begins, live", {true, false, false, false, W1, none}, {Action::enterAway, true, none}},
        {"next window begins, live", {true, false, false, false, W2, W1}, {Action::enterAway, true, W1}},
        {"window begins, away by choice: it stands aside", {true, true, false, false, W1, none}, {Action::none, false, W1}},
        {"window begins, away by choice, another dismissed", {true, true, false, false, W1, W2}, {Action::none, false, W1}},
        {"inside, away by schedule", {true, true, false, true, W2, W1}, {Action::none, true, W1}},
        // The screen is locked with the lock trigger on: an ending scheduled Away goes to the lock.
        {"window over while locked", {true, true, false, true, none, W2, true}, {Action::handOverToLock, false, none}},
        {"off while locked", {false, true, false, true, W1, none, true}, {Action::handOverToLock, false, none}},
        {"window over while locked, recording", {true, true, true, true, none, none, true}, {Action::none, true, none}},
        {"locked, away by choice, window over", {true, true, false, false, none, none, true}, {Action::none, false, none}},
        {"window begins while locked and live", {true, false, false, false, W1, none, true}, {Action::enterAway, true, none}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(decide(row.state), row.expected);
    }
}

} // namespace
} // namespace quellon
