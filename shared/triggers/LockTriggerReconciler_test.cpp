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
enum class Flag { cleared, set, kept };

// One row of the decision table, read top to bottom; "any" matches both values.
struct Row {
    int number;
    std::optional<bool> lockTriggerActive, lockEventFired, isRecording, isScreenLocked, isAway, awayIsLocked;
    Action action;
    Flag flag;

    bool matches(const State& s) const
    {
        auto fits = [](std::optional<bool> wanted, bool actual) { return !wanted || *wanted == actual; };
        return fits(lockTriggerActive, s.lockTriggerActive) && fits(lockEventFired, s.lockEventFired)
            && fits(isRecording, s.isRecording) && fits(isScreenLocked, s.isScreenLocked)
            && fits(isAway, s.isAway) && fits(awayIsLocked, s.awayIsLocked);
    }
};

const Row kTable[] = {
    {1, false, any, false, any, true, true, Action::returnToLive, Flag::cleared},
    {2, false, any, any, any, any, any, Action::none, Flag::cleared},
    {3, true, false, any, any, any, any, Action::none, Flag::kept},
    {4, true, true, true, any, any, any, Action::none, Flag::kept},
    {5, true, true, false, true, false, any, Action::enterAway, Flag::set},
    {6, true, true, false, true, true, true, Action::none, Flag::set},
    {7, true, true, false, true, true, false, Action::none, Flag::cleared},
    {8, true, true, false, false, true, true, Action::returnToLive, Flag::cleared},
    {9, true, true, false, false, any, any, Action::none, Flag::kept},
};

TEST(LockTriggerReconcilerTest, EverySnapshotFollowsTheFirstMatchingRow)
{
    std::array<int, 10> hits{};
    for (unsigned bits = 0; bits < 64; ++bits) {
        const State state{bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8), bool(bits & 16), bool(bits & 32)};
        const Row* row = nullptr;
        for (const Row& candidate : kTable) {
            if (candidate.matches(state)) {
                row = &candidate;
                break;
            }
        }
        ASSERT_NE(row, nullptr) << "the table has a gap at " << bits;
        ++hits[row->number];
        const bool flag = row->flag == Flag::kept ? state.awayIsLocked : row->flag == Flag::set;
        EXPECT_EQ(decide(state), (Decision{row->action, flag})) << "row " << row->number << ", state bits " << bits;
    }
    for (int number = 1; number <= 9; ++number)
        EXPECT_GT(hits[number], 0) << "row " << number << " is never reached";
}

} // namespace
} // namespace quellon
