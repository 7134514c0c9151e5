#include "host/automation/ScheduleDriver.h"

#include "host/HostController.h"
#include "menubar/MainLoop.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "schedules/Calendar.h"
#include "schedules/LoopScheduler.h"

namespace quellon::host {

ScheduleDriver::ScheduleDriver(HostController& controller, MainLoop& loop, const Clock& clock, LogSink& log,
                               CalendarSource calendar, std::function<void(const Memory&)> onMemoryChanged)
    : controller_(controller), loop_(loop), clock_(clock), log_(log), calendar_(std::move(calendar)),
      onMemoryChanged_(std::move(onMemoryChanged))
{
}

ScheduleDriver::~ScheduleDriver()
{
    if (timer_ != 0)
        loop_.removeWatch(timer_);
}

std::chrono::milliseconds ScheduleDriver::delayToNextMinute(Date date)
{
    using namespace std::chrono;
    const auto sinceMinute = date - floor<minutes>(date);
    return ceil<milliseconds>(minutes(1) - sinceMinute) + milliseconds(50);
}

void ScheduleDriver::start(const HostSettings& settings)
{
    schedules_ = settings.schedules;
    active_ = settings.schedulesEnabled;
    memory_ = {settings.scheduleAwayIsScheduled, settings.scheduleDismissedWindowID};
    evaluate();
    arm();
}

void ScheduleDriver::settingsChanged(const HostSettings& settings)
{
    if (schedules_ == settings.schedules && active_ == settings.schedulesEnabled)
        return;
    schedules_ = settings.schedules;
    active_ = settings.schedulesEnabled;
    evaluate();
}

void ScheduleDriver::wallClockChanged()
{
    evaluate();
    arm();
}

void ScheduleDriver::arm()
{
    if (timer_ != 0)
        loop_.removeWatch(timer_);
    timer_ = loop_.runAfter(delayToNextMinute(clock_.now()), [this] {
        timer_ = 0;
        evaluate();
        arm();
    });
}

void ScheduleDriver::evaluate()
{
    const auto calendar = calendar_();
    const auto window = LoopScheduler::activeSchedule(clock_.now(), schedules_, *calendar);
    const HostStatus status = controller_.status();
    ScheduleReconciler::State state;
    state.schedulesActive = active_;
    state.isAway = status.mode == QuellonMode::away;
    state.isRecording = status.recording;
    state.awayIsScheduled = memory_.awayIsScheduled;
    state.activeWindowID = window ? std::optional(window->id) : std::nullopt;
    state.dismissedWindowID = memory_.dismissedWindowID;
    state.lockHoldsAway = lock_.holdsAway && lock_.holdsAway();
    const ScheduleReconciler::Decision decision = ScheduleReconciler::decide(state);

    if (decision.dismissedWindowID && decision.dismissedWindowID != memory_.dismissedWindowID && window)
        log_.write(LogLevel::info, "schedule " + window->name + ": left by hand; it acts again next time");
    try {
        if (decision.action == ScheduleReconciler::Action::enterAway && window) {
            enteredBy_ = window->name;
            log_.write(LogLevel::info, "schedule " + window->name + " begins: entering Away");
            controller_.setMode(QuellonMode::away, "schedule " + window->name);
        } else if (decision.action == ScheduleReconciler::Action::returnToLive) {
            const std::string cause = enteredBy_.empty() ? "schedule" : "schedule " + enteredBy_;
            log_.write(LogLevel::info, cause + " is over: returning to Live");
            controller_.setMode(QuellonMode::live, cause);
        } else if (decision.action == ScheduleReconciler::Action::handOverToLock) {
            const std::string cause = enteredBy_.empty() ? "schedule" : "schedule " + enteredBy_;
            log_.write(LogLevel::info, cause + " is over while the screen is locked: Away lasts until the unlock");
            if (lock_.takeOver)
                lock_.takeOver();
        }
    } catch (const std::exception& failure) {
        // Remember nothing of a change that did not happen; the next minute tries again.
        log_.write(LogLevel::error, std::string("schedule: cannot change the mode: ") + failure.what());
        return;
    }

    const Memory next{decision.awayIsScheduled, decision.dismissedWindowID};
    if (!next.awayIsScheduled)
        enteredBy_.clear();
    if (next != memory_) {
        memory_ = next;
        if (onMemoryChanged_)
            onMemoryChanged_(memory_);
    }
}

} // namespace quellon::host
