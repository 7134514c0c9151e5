#include "host/HostProgram.h"

#include "host/Desktop.h"
#include "host/HostBus.h"
#include "host/HostBusObject.h"
#include "host/HostSettingsStore.h"
#include "host/TrayLink.h"
#include "host/automation/Automation.h"
#include "host/automation/HostAutomation.h"
#include "host/automation/LoopBus.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Environment.h"
#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
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

/// Everything that lives on the buses: the session bus's connection with the host's name,
/// interface, tray link and desktop, and the automation (which also holds the system bus).
/// Made anew when a bus is lost; the service, and with it the camera's feed, runs on.
struct BusSession {
    std::optional<NotificationBus> bus;
    std::unique_ptr<FreedesktopDesktop> desktop;
    std::unique_ptr<HostBusObject> object;
    std::unique_ptr<Automation> automation;
    std::unique_ptr<HostAutomation> signalsAutomation;
    // Last, so it goes first: it feeds the watchers.
    std::unique_ptr<TrayLink> tray;
};

/// Backoff between attempts to reach a lost bus.
constexpr auto kFirstReconnect = std::chrono::milliseconds(250);
constexpr auto kLongestReconnect = std::chrono::milliseconds(8000);

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

    std::optional<HostSettingsStore> settingsStore;
    if (options.automation) {
        if (auto file = HostSettingsStore::defaultFile(Environment::process()))
            settingsStore.emplace(*file);
        else
            log.write(LogLevel::error, "Quellon host: no settings file (HOME is not set): nothing happens automatically");
    }

    std::unique_ptr<BusSession> session;
    std::atomic<HostAutomation*> watchers{nullptr}; // what host threads see of the session's watchers
    StopGuard stopGuard(lifecycle);
    bool started = false;
    // Whether a system bus was there when the automation first ran: one that goes away is
    // waited for, so the screen lock and resume events come back with it.
    bool systemBusExpected = false;

    const auto describeAutomation = [&]() -> std::optional<std::string> {
        if (!session || !session->automation)
            return std::nullopt;
        return session->automation->describeStatus();
    };

    const auto dropSession = [&] {
        watchers = nullptr;
        session.reset();
    };

    // Connects and builds the session; throws HostError when this host may not run (the name
    // is another's), NotificationBusError or sdbus::Error while the bus cannot be reached.
    const auto buildSession = [&] {
        auto made = std::make_unique<BusSession>();
        made->bus.emplace(loop);
        try {
            made->bus->connection().requestName(HostBus::serviceName);
        } catch (const sdbus::Error& error) {
            if (ownedElsewhere(error))
                throw HostError("a host is already running in this session (it owns " + std::string(HostBus::serviceName)
                                + " on the session bus)");
            throw;
        }
        made->desktop = std::make_unique<FreedesktopDesktop>(made->bus->connection());
        made->object = std::make_unique<HostBusObject>(made->bus->connection(), controller, [&] { loop.quit(0); },
                                                       describeAutomation);
        made->tray = std::make_unique<TrayLink>(*made->bus, controller, *made->desktop, [&] { loop.quit(0); },
                                                [&](const HostStatus& status) {
                                                    // Host threads report here; the watchers take
                                                    // statuses from any thread.
                                                    if (auto* current = watchers.load())
                                                        current->statusChanged(status);
                                                });
        if (!started) {
            stopGuard.arm();
            if (lifecycle.start)
                lifecycle.start();
            started = true;
        }
        if (settingsStore) {
            AutomationOptions automationOptions;
            automationOptions.sessionBus = &made->bus->connection();
            made->automation = std::make_unique<Automation>(controller, loop, *settingsStore, log, automationOptions);
            made->automation->start();
            Automation& automation = *made->automation;
            HostAutomation::Settings settings;
            settings.profiles = [&automation] {
                const HostSettings& current = automation.settings();
                return ProfileWatcher::Settings{current.profilesEnabled, current.profiles};
            };
            settings.hotkeys = [&automation] {
                const HotkeyBindings& keys = automation.settings().hotkeys;
                return std::vector<HotkeyAssignment>{{HotkeyAction::toggleAway, keys.toggleAway},
                                                     {HotkeyAction::returnLive, keys.returnLive},
                                                     {HotkeyAction::standby, keys.standby},
                                                     {HotkeyAction::panicToggle, keys.panicToggle}};
            };
            // Read on auto return's sampling thread while the loop thread may apply new settings.
            settings.tolerance = [&automation] { return automation.autoReturnTolerance(); };
            made->signalsAutomation = std::make_unique<HostAutomation>(loop, &made->bus->connection(), controller, log, settings);
            HostAutomation& signalsAutomation = *made->signalsAutomation;
            made->automation->addSettingsListener(
                [&signalsAutomation, previous = made->automation->settings().hotkeys](const HostSettings& current) mutable {
                    if (current.hotkeys == previous)
                        return;
                    previous = current.hotkeys;
                    signalsAutomation.hotkeysChanged();
                });
            made->signalsAutomation->start();
            watchers = made->signalsAutomation.get();
        }
        // A tray that is already running learns the status now; a new one asks with ready.
        made->tray->publish(controller.status());
        session = std::move(made);
    };

    const auto systemBusReachable = [] {
        try {
            openSystemBus();
            return true;
        } catch (const NotificationBusError&) {
            return false;
        }
    };

    // Reconnecting: the session bus first, then (when it was there before) the system bus,
    // each tried with a growing pause.
    auto delay = kFirstReconnect;
    std::function<void()> reconnect;
    std::function<void()> awaitSystemBus;
    bool awaitingSystemBus = false; // one wait at a time, however often the session is made
    const auto retryLater = [&](std::function<void()>& attempt) {
        loop.runAfter(delay, [&attempt] { attempt(); });
        delay = std::min(delay * 2, kLongestReconnect);
    };
    reconnect = [&] {
        try {
            buildSession();
            log.write(LogLevel::info, "Quellon host: connected to the session bus again");
            delay = kFirstReconnect;
            if (systemBusExpected && !awaitingSystemBus && !systemBusReachable()) {
                awaitingSystemBus = true;
                retryLater(awaitSystemBus);
            }
        } catch (const HostError& error) {
            log.write(LogLevel::error, std::string("Quellon host: ") + error.what() + "; quitting");
            loop.quit(1);
        } catch (const std::exception&) {
            dropSession(); // still unreachable
            retryLater(reconnect);
        }
    };
    awaitSystemBus = [&] {
        if (!session) {
            awaitingSystemBus = false; // the session bus went too; its reconnect waits again
            return;
        }
        if (!systemBusReachable()) {
            retryLater(awaitSystemBus);
            return;
        }
        awaitingSystemBus = false;
        log.write(LogLevel::info, "Quellon host: the system bus is back");
        dropSession();
        delay = kFirstReconnect;
        reconnect();
    };

    try {
        buildSession();
    } catch (const NotificationBusError& error) {
        throw HostError(std::string("the host needs the session bus: ") + error.what());
    } catch (const sdbus::Error& error) {
        throw HostError("cannot take the host's bus name: " + error.getMessage());
    }
    systemBusExpected = settingsStore && systemBusReachable();
    if (options.tray && graphicalSession() && !startDetached("quellon-menubar", {}))
        log.write(LogLevel::error, "Quellon host: could not start quellon-menubar");

    // Scripts and tests wait for this line.
    std::cerr << "quellon: host running\n" << std::flush;
    int status = 0;
    for (;;) {
        try {
            status = loop.run();
            break;
        } catch (const sdbus::Error& error) {
            // A bus connection broke (the session bus, or the system bus under the automation).
            // The service keeps feeding the camera; everything on the buses is made anew.
            log.write(LogLevel::error, "Quellon host: lost a bus connection (" + error.getMessage() + "); reconnecting");
            dropSession();
            delay = kFirstReconnect;
            retryLater(reconnect);
        }
    }
    // Stop pushing frames first, then let the tray go.
    stopGuard.stop();
    if (session && session->tray)
        session->tray->postTerminating();
    dropSession();
    log.write(LogLevel::info, "Quellon host: stopped");
    return status;
}

int runHost(const HostProgramOptions& options)
{
    HostService service(options.service);
    return runHost(options, service, ServiceLifecycle{[&] { service.start(); }, [&] { service.stop(); }});
}

} // namespace quellon::host
