#include "host/automation/Automation.h"

#include "host/HostController.h"
#include "host/HostSettingsStore.h"
#include "host/HostSettingsWatcher.h"
#include "host/automation/LockMonitor.h"
#include "host/automation/LoopBus.h"
#include "host/automation/WallClockEvents.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "schedules/ZonedCalendar.h"

#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {

Automation::Automation(HostController& controller, MainLoop& loop, HostSettingsStore& store, LogSink& log,
                       AutomationOptions options)
    : controller_(controller), loop_(loop), store_(store), log_(log), options_(std::move(options))
{
    if (options_.clock == nullptr)
        options_.clock = &Clock::system();
    if (!options_.calendar)
        options_.calendar = [] { return std::make_unique<ZonedCalendar>(ZonedCalendar::current()); };
}

Automation::~Automation()
{
    // The parts that watch the buses go before the connection they use.
    watcher_.reset();
    wallClock_.reset();
    lock_.reset();
    schedules_.reset();
    systemBusAttachment_.reset();
}

void Automation::start()
{
    auto loaded = store_.loadAtStartup(log_);
    fileReadable_ = loaded.readable;
    {
        std::lock_guard lock(settingsMutex_);
        settings_ = loaded.settings;
    }

    if (options_.useSystemBus) {
        try {
            systemBus_ = openSystemBus();
            systemBusAttachment_ = std::make_unique<LoopBusAttachment>(loop_, *systemBus_);
        } catch (const NotificationBusError& failure) {
            log_.write(LogLevel::info, std::string(failure.what())
                                           + "; no screen-lock trigger from logind and no resume events");
        }
    }
    schedules_ = std::make_unique<ScheduleDriver>(controller_, loop_, *options_.clock, log_, options_.calendar,
                                                  [this](const ScheduleDriver::Memory& memory) {
                                                      // Written after the decision is done, not inside it.
                                                      loop_.post([this, memory] { rememberSchedule(memory); });
                                                  });
    lock_ = std::make_unique<LockMonitor>(controller_, log_);
    schedules_->setLockHandover({[this] { return lock_->holdsAway(); }, [this] { lock_->takeOverAway(); }});
    lock_->attach(systemBus_.get(), options_.sessionBus, options_.sessionID);
    wallClock_ = std::make_unique<WallClockEvents>(loop_, systemBus_.get(), log_,
                                                   [this] { schedules_->wallClockChanged(); }, options_.zoneDirectory);
    try {
        watcher_ = std::make_unique<HostSettingsWatcher>(loop_, store_, log_, settings_,
                                                         [this](const HostSettings& settings) { apply(settings, false); });
    } catch (const HostSettingsError& failure) {
        log_.write(LogLevel::error, std::string(failure.what()) + "; settings changes take effect at the next start");
    }
    apply(settings_, true);
}

void Automation::addSettingsListener(std::function<void(const HostSettings&)> listener)
{
    listeners_.push_back(std::move(listener));
}

void Automation::apply(const HostSettings& settings, bool initial)
{
    const HostSettings previous = settings_;
    {
        std::lock_guard lock(settingsMutex_);
        settings_ = settings;
    }
    if (!initial)
        fileReadable_ = true; // the watcher hands over only settings it could decode
    if (initial) {
        schedules_->start(settings);
    } else {
        schedules_->settingsChanged(settings);
    }
    if (initial || previous.lockTriggerEnabled != settings.lockTriggerEnabled)
        lock_->setActive(settings.lockTriggerEnabled);
    if (initial || previous.autoReturnEnabled != settings.autoReturnEnabled) {
        try {
            controller_.setAutoReturn(settings.autoReturnEnabled);
        } catch (const std::exception& failure) {
            log_.write(LogLevel::error, std::string("cannot switch auto return: ") + failure.what());
        }
    }
    for (const auto& listener : listeners_)
        listener(settings);
}

void Automation::rememberSchedule(const ScheduleDriver::Memory& memory)
{
    {
        std::lock_guard lock(settingsMutex_);
        settings_.scheduleAwayIsScheduled = memory.awayIsScheduled;
        settings_.scheduleDismissedWindowID = memory.dismissedWindowID;
    }
    if (!fileReadable_)
        return; // never written over; the memory lives on in this process
    try {
        const HostSettings stored = store_.update([&](HostSettings& settings) {
            settings.scheduleAwayIsScheduled = memory.awayIsScheduled;
            settings.scheduleDismissedWindowID = memory.dismissedWindowID;
        });
        // The file may hold a change the watcher has not reported yet; take it now, since
        // the watcher will see these very bytes as the host's own.
        if (watcher_)
            watcher_->setCurrent(stored);
        if (stored != settings_)
            apply(stored, false);
    } catch (const HostSettingsError& failure) {
        log_.write(LogLevel::error, std::string("cannot keep the schedule's state: ") + failure.what());
    }
}

double Automation::autoReturnTolerance() const
{
    std::lock_guard lock(settingsMutex_);
    return settings_.autoReturnTolerance;
}

AutomationStatus Automation::status() const
{
    AutomationStatus status;
    if (settings_.schedulesEnabled && !settings_.schedules.empty())
        status.armedTriggers.push_back("schedules (" + std::to_string(settings_.schedules.size()) + ")");
    if (settings_.profilesEnabled && !settings_.profiles.empty())
        status.armedTriggers.push_back("meeting-app profiles (" + std::to_string(settings_.profiles.size()) + ")");
    if (settings_.lockTriggerEnabled)
        status.armedTriggers.push_back(lock_ && lock_->followsLogind() ? "screen lock" : "screen lock (no logind)");
    if (settings_.autoReturnEnabled)
        status.armedTriggers.push_back("auto return");
    if (settings_.schedulesEnabled)
        status.nextScheduleChange = nextScheduleChange(options_.clock->now(), settings_.schedules, *options_.calendar());
    return status;
}

std::string Automation::describeStatus() const
{
    return describe(status(), *options_.calendar());
}

} // namespace quellon::host
