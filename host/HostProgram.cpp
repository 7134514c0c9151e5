#include "host/HostProgram.h"

#include "host/Desktop.h"
#include "host/HostBus.h"
#include "host/HostBusObject.h"
#include "host/HostSettingsStore.h"
#include "host/TrayLink.h"
#include "host/automation/Automation.h"
#include "host/automation/HostAutomation.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Environment.h"
#include "platform/Log.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <utility>

namespace quellon::host {

namespace {

/// SIGTERM and SIGINT become a readable descriptor for the loop. Blocked before any host
/// thread starts, so every thread inherits the mask and none is interrupted; restored after.
class TerminationSignals {
public:
    TerminationSignals()
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
        fd_ = ::signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0)
            throw HostError("cannot watch for termination signals");
    }
    ~TerminationSignals()
    {
        ::close(fd_);
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    int fd() const { return fd_; }
    /// The signal that arrived, if any.
    std::optional<int> take()
    {
        signalfd_siginfo info;
        if (::read(fd_, &info, sizeof info) == sizeof info)
            return static_cast<int>(info.ssi_signo);
        return std::nullopt;
    }

private:
    sigset_t signals_{};
    sigset_t previous_{};
    int fd_ = -1;
};

bool ownedElsewhere(const sdbus::Error& error)
{
    return error.getName() == "System.Error.EEXIST" || error.getName() == "org.freedesktop.DBus.Error.FileExists";
}

bool graphicalSession()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

/// Stops the service however the program ends, with the change handler already gone.
class StopGuard {
public:
    explicit StopGuard(const ServiceLifecycle& lifecycle) : lifecycle_(lifecycle) {}
    ~StopGuard() { stop(); }
    void arm() { armed_ = true; }
    void stop()
    {
        if (std::exchange(armed_, false) && lifecycle_.stop)
            lifecycle_.stop();
    }

private:
    const ServiceLifecycle& lifecycle_;
    bool armed_ = false;
};

} // namespace

int runHost(const HostProgramOptions& options, HostController& controller, const ServiceLifecycle& lifecycle)
{
    SystemLogSink log("quellon");
    TerminationSignals signals;
    MainLoop loop;
    loop.addWatch([&] { return MainLoop::Wait{signals.fd(), POLLIN, -1}; },
                  [&] {
                      if (auto signal = signals.take()) {
                          log.write(LogLevel::info, std::string("Quellon host: ") + ::strsignal(*signal) + ", quitting");
                          loop.quit(0);
                      }
                  });

    std::optional<NotificationBus> bus;
    try {
        bus.emplace(loop);
    } catch (const NotificationBusError& error) {
        throw HostError(std::string("the host needs the session bus: ") + error.what());
    }
    try {
        bus->connection().requestName(HostBus::serviceName);
    } catch (const sdbus::Error& error) {
        if (ownedElsewhere(error))
            throw HostError("a host is already running in this session (it owns " + std::string(HostBus::serviceName)
                            + " on the session bus)");
        throw HostError("cannot take the host's bus name: " + error.getMessage());
    }

    // The automation is made once the service runs, and outlives the tray link that feeds it.
    std::optional<HostSettingsStore> settingsStore;
    std::unique_ptr<Automation> automation;
    std::unique_ptr<HostAutomation> signalsAutomation;
    std::atomic<HostAutomation*> watchers{nullptr}; // what host threads see of signalsAutomation
    if (options.automation) {
        if (auto file = HostSettingsStore::defaultFile(Environment::process()))
            settingsStore.emplace(*file);
        else
            log.write(LogLevel::error, "Quellon host: no settings file (HOME is not set): nothing happens automatically");
    }
    const auto describeAutomation = [&]() -> std::optional<std::string> {
        if (!automation)
            return std::nullopt;
        return automation->describeStatus();
    };

    FreedesktopDesktop desktop(bus->connection());
    HostBusObject object(bus->connection(), controller, [&] { loop.quit(0); }, describeAutomation);
    StopGuard stopGuard(lifecycle);
    {
        TrayLink tray(*bus, controller, desktop, [&] { loop.quit(0); }, [&](const HostStatus& status) {
            // Host threads report here; the watchers take statuses from any thread.
            if (auto* current = watchers.load())
                current->statusChanged(status);
        });
        stopGuard.arm();
        if (lifecycle.start)
            lifecycle.start();
        if (settingsStore) {
            AutomationOptions automationOptions;
            automationOptions.sessionBus = &bus->connection();
            automation = std::make_unique<Automation>(controller, loop, *settingsStore, log, automationOptions);
            automation->start();
            HostAutomation::Settings settings;
            settings.profiles = [&] {
                const HostSettings& current = automation->settings();
                return ProfileWatcher::Settings{current.profilesEnabled, current.profiles};
            };
            settings.hotkeys = [&] {
                const HotkeyBindings& keys = automation->settings().hotkeys;
                return std::vector<HotkeyAssignment>{{HotkeyAction::toggleAway, keys.toggleAway},
                                                     {HotkeyAction::returnLive, keys.returnLive},
                                                     {HotkeyAction::standby, keys.standby},
                                                     {HotkeyAction::panicToggle, keys.panicToggle}};
            };
            // Read on auto return's sampling thread while the loop thread may apply new settings.
            settings.tolerance = [&] { return automation->autoReturnTolerance(); };
            signalsAutomation = std::make_unique<HostAutomation>(loop, &bus->connection(), controller, log, settings);
            automation->addSettingsListener([&, previous = automation->settings().hotkeys](const HostSettings& current) mutable {
                if (current.hotkeys == previous)
                    return;
                previous = current.hotkeys;
                signalsAutomation->hotkeysChanged();
            });
            signalsAutomation->start();
            watchers = signalsAutomation.get();
        }
        // A tray that is already running learns the status now; a new one asks with ready.
        tray.publish(controller.status());
        if (options.tray && graphicalSession() && !startDetached("quellon-menubar", {}))
            log.write(LogLevel::error, "Quellon host: could not start quellon-menubar");

        // Scripts and tests wait for this line.
        std::cerr << "quellon: host running\n" << std::flush;
        loop.run();
        // Stop pushing frames first, then let the tray go.
        stopGuard.stop();
        tray.postTerminating();
    }
    log.write(LogLevel::info, "Quellon host: stopped");
    return 0;
}

int runHost(const HostProgramOptions& options)
{
    HostService service(options.service);
    return runHost(options, service, ServiceLifecycle{[&] { service.start(); }, [&] { service.stop(); }});
}

} // namespace quellon::host
