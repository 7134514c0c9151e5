#include "triggers/LockTriggerReconciler.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <ostream>

namespace quellon {

namespace LockTriggerReconciler {
void PrintTo(const Decision& d, std::ostream* os)
{
    const char* names[] = {"none", "enterAway", "returnToLive"};
    *os << names[static_cast<int>(d.action)] << ", awayIsLocked " << d.awayIsLocked;
}
} // namespace LockTriggerReconciler

namespace {

using namespace LockTriggerReconciler;

constexpr std::optional<bool> any = std::nullopt;
// kept: the incoming flag stands while the camera is Away and is cleared outside Away.
enum class Flag { cleared, set, kept };
enum class Mode { live, away, standby };
const std::optional<Mode> anyMode = std::nullopt;

// One row of the decision table, read top to bottom; "any" matches every value.
struct Row {
    int number;
    std::optional<bool> lockTriggerActive, lockEventFired, isRecording, isScreenLocked;
    std::optional<Mode> mode;
    std::optional<bool> awayIsLocked;
    Action action;
    Flag flag;

    bool matches(const State& s) const
    {
        auto fits = [](std::optional<bool> wanted, bool actual) { return !wanted || *wanted == actual; };
        const Mode actual = s.isAway ? Mode::away : s.isStandby ? Mode::standby : Mode::live;
        return fits(lockTriggerActive, s.lockTriggerActive) && fits(lockEventFired, s.lockEventFired)
            && fits(isRecording, s.isRecording) && fits(isScreenLocked, s.isScreenLocked)
            && (!mode || *mode == actual) && fits(awayIsLocked, s.awayIsLocked);
    }
};

const Row kTable[] = {
    {1, false, any, false, any, Mode::away, true, Action::returnToLive, Flag::cleared},
    {2, false, any, any, any, anyMode, any, Action::none, Flag::cleared},
    {3, true, false, any, any, anyMode, any, Action::none, Flag::kept},
    {4, true, true, true, any, anyMode, any, Action::none, Flag::kept},
    {5, true, true, false, true, Mode::live, any, Action::enterAway, Flag::set},
    {6, true, true, false, true, Mode::standby, any, Action::none, Flag::cleared},
    {7, true, true, false, true, Mode::away, true, Action::none, Flag::set},
    {8, true, true, false, true, Mode::away, false, Action::none, Flag::cleared},
    {9, true, true, false, false, Mode::away, true, Action::returnToLive, Flag::cleared},
    {10, true, true, false, false, anyMode, any, Action::none, Flag::cleared},
};

TEST(LockTriggerReconcilerTest, EverySnapshotFollowsTheFirstMatchingRow)
{
    std::array<int, 11> hits{};
    for (Mode mode : {Mode::live, Mode::away, Mode::standby}) {
        for (unsigned bits = 0; bits < 32; ++bits) {
            State state;
            state.lockTriggerActive = bits & 1;
            state.isAway = mode == Mode::away;
            state.isStandby = mode == Mode::standby;
            state.isRecording = bits & 2;
            state.awayIsLocked = bits & 4;
            state.lockEventFired = bits & 8;
            state.isScreenLocked = bits & 16;
            const Row* row = nullptr;
            for (const Row& candidate : kTable) {
                if (candidate.matches(state)) {
                    row = &candidate;
                    break;
                }
            }
            ASSERT_NE(row, nullptr) << "the table has a gap at " << bits;
            ++hits[row->number];
            const bool flag = row->flag == Flag::kept ? state.awayIsLocked && state.isAway : row->flag == Flag::set;
            EXPECT_EQ(decide(state), (Decision{row->action, flag}))
                << "row " << row->number << ", mode " << int(mode) << ", state bits " << bits;
        }
    }
    for (int number = 1; number <= 10; ++number)
        EXPECT_GT(hits[number], 0) << "row " << number << " is never reached";
}

TEST(LockTriggerReconcilerTest, AFlagLeftFromAnEndedAwayDoesNotEndTheNextOne)
{
    // Away by lock, then Live by another hand: the next decision sees the flag but no Away.
    State state;
    state.lockTriggerActive = true;
    state.awayIsLocked = true;
    Decision decision = decide(state);
    EXPECT_EQ(decision, (Decision{Action::none, false}));
    // The user goes Away by hand, locks and unlocks: the Away stays theirs.
    state = {};
    state.lockTriggerActive = true;
    state.isAway = true;
    state.awayIsLocked = decision.awayIsLocked;
    state.lockEventFired = true;
    state.isScreenLocked = true;
    decision = decide(state);
    EXPECT_EQ(decision, (Decision{Action::none, false}));
    state.awayIsLocked = decision.awayIsLocked;
    state.isScreenLocked = false;
    EXPECT_EQ(decide(state), (Decision{Action::none, false}));
}

} // namespace
} // namespace quellon
