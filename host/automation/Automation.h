#pragma once
// Everything the host does by itself, built from the user's settings: schedules, the screen
// lock trigger, and the settings file they follow.

#include "host/HostSettings.h"
#include "host/automation/AutomationStatus.h"
#include "host/automation/ScheduleDriver.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace quellon {
class Clock;
class LogSink;
class MainLoop;
} // namespace quellon

namespace quellon::host {

class HostController;
class HostSettingsStore;
class HostSettingsWatcher;
class LockMonitor;
class LoopBusAttachment;
class WallClockEvents;

struct AutomationOptions {
    /// Wall-clock time for the schedules; the system clock when null.
    const Clock* clock = nullptr;
    /// The local calendar; the user's current time zone when empty.
    ScheduleDriver::CalendarSource calendar;
    /// The host's session-bus connection, already processed on the loop (for the desktop's
    /// screen saver); none when null.
    sdbus::IConnection* sessionBus = nullptr;
    /// Connect to the system bus (logind: screen lock, resume from suspend).
    bool useSystemBus = true;
    /// Our logind session; $XDG_SESSION_ID or this process's session when absent.
    std::optional<std::string> sessionID;
    /// Where the system's time zone is set.
    std::filesystem::path zoneDirectory = "/etc";
};

/// Owns the automatic components and feeds them the settings. Built and used on the loop
/// thread; the controller must outlive it.
class Automation {
public:
    Automation(HostController& controller, MainLoop& loop, HostSettingsStore& store, LogSink& log,
               AutomationOptions options = {});
    ~Automation();
    Automation(const Automation&) = delete;
    Automation& operator=(const Automation&) = delete;

    /// Loads the settings (a file that does not decode is reported, copied aside and left
    /// alone; the defaults run meanwhile), starts following the file, the bus and the clock,
    /// and takes the first decisions.
    void start();

    /// The settings in use. Loop thread: the loop thread alone changes them.
    const HostSettings& settings() const { return settings_; }
    /// Auto return's tolerance in use, for the sampling thread; any thread.
    double autoReturnTolerance() const;
    /// Called on the loop thread with the new settings after every change of the file, so
    /// components built elsewhere follow the same record.
    void addSettingsListener(std::function<void(const HostSettings&)> listener);

    /// What `quellon status` shows; loop thread.
    AutomationStatus status() const;
    /// status() as text, in the user's time zone.
    std::string describeStatus() const;

    ScheduleDriver& schedules() { return *schedules_; }
    LockMonitor& lock() { return *lock_; }

private:
    void apply(const HostSettings& settings, bool initial);
    void rememberSchedule(const ScheduleDriver::Memory& memory);

    HostController& controller_;
    MainLoop& loop_;
    HostSettingsStore& store_;
    LogSink& log_;
    AutomationOptions options_;
    // Written on the loop thread only, always under settingsMutex_; the loop thread reads
    // without it, other threads with it.
    mutable std::mutex settingsMutex_;
    HostSettings settings_;
    bool fileReadable_ = true;
    std::vector<std::function<void(const HostSettings&)>> listeners_;
    std::unique_ptr<sdbus::IConnection> systemBus_;
    std::unique_ptr<LoopBusAttachment> systemBusAttachment_;
    std::unique_ptr<ScheduleDriver> schedules_;
    std::unique_ptr<LockMonitor> lock_;
    std::unique_ptr<WallClockEvents> wallClock_;
    std::unique_ptr<HostSettingsWatcher> watcher_;
};

} // namespace quellon::host
