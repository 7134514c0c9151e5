#pragma once
// Carries out the schedules: decides at start, on every change of the schedules and at every
// minute boundary whether a window moves the camera into Away or back to Live.

#include "host/HostSettings.h"
#include "platform/DateTime.h"
#include "schedules/ScheduleReconciler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quellon {
class Calendar;
class Clock;
class LogSink;
class MainLoop;
} // namespace quellon

namespace quellon::host {

class HostController;

/// Runs on the loop thread. The remembered pair of the reconciler is kept here and handed to
/// onMemoryChanged whenever it changes, so the owner can keep it across restarts.
class ScheduleDriver {
public:
    struct Memory {
        bool awayIsScheduled = false;
        std::optional<UUID> dismissedWindowID;
        bool operator==(const Memory&) const = default;
    };
    /// The user's calendar, asked afresh for every decision so a new time zone takes effect.
    using CalendarSource = std::function<std::unique_ptr<Calendar>()>;

    ScheduleDriver(HostController& controller, MainLoop& loop, const Clock& clock, LogSink& log,
                   CalendarSource calendar, std::function<void(const Memory&)> onMemoryChanged);
    ~ScheduleDriver();
    ScheduleDriver(const ScheduleDriver&) = delete;
    ScheduleDriver& operator=(const ScheduleDriver&) = delete;

    /// Takes the schedules, the switch and the remembered pair, decides, and arms the minute
    /// timer.
    void start(const HostSettings& settings);
    /// New schedules or switch (the remembered pair stays the driver's own); decides at once.
    void settingsChanged(const HostSettings& settings);
    /// The wall clock may have jumped (resume from suspend, a new time zone): decides and
    /// re-arms the timer from the clock.
    void wallClockChanged();
    /// Decides now and performs the action; what the minute timer does.
    void evaluate();

    /// The screen lock's part in a scheduled Away that ends while the screen is locked.
    struct LockHandover {
        /// The lock would keep the camera Away now (its trigger is on and the screen locked).
        std::function<bool()> holdsAway;
        /// Makes the current Away the lock's, so the unlock ends it.
        std::function<void()> takeOver;
    };
    /// Without one, a window's end always returns to Live.
    void setLockHandover(LockHandover handover) { lock_ = std::move(handover); }

    const Memory& memory() const { return memory_; }
    const std::vector<LoopSchedule>& schedules() const { return schedules_; }
    bool active() const { return active_; }

    /// How long after date the next minute begins, plus a small margin so the timer never
    /// wakes a hair before the boundary.
    static std::chrono::milliseconds delayToNextMinute(Date date);

private:
    void arm();

    HostController& controller_;
    MainLoop& loop_;
    const Clock& clock_;
    LogSink& log_;
    CalendarSource calendar_;
    std::function<void(const Memory&)> onMemoryChanged_;
    LockHandover lock_;
    std::vector<LoopSchedule> schedules_;
    bool active_ = false;
    Memory memory_;
    // The window that last entered Away, to name it when the Away ends.
    std::string enteredBy_;
    std::uint64_t timer_ = 0;
};

} // namespace quellon::host
