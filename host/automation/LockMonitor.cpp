#include "host/automation/LockMonitor.h"

#include "host/HostController.h"
#include "platform/Log.h"
#include "triggers/LockTriggerReconciler.h"

#include <chrono>
#include <cstdlib>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

namespace quellon::host {

namespace {

constexpr const char* login1Name = "org.freedesktop.login1";
constexpr const char* login1Path = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
// logind answers at once; a hung one must not hold up the host's start for long.
constexpr auto callTimeout = std::chrono::seconds(2);

std::shared_ptr<void> share(sdbus::Slot slot)
{
    auto deleter = slot.get_deleter();
    return std::shared_ptr<void>(slot.release(), std::move(deleter));
}

} // namespace

LockMonitor::LockMonitor(HostController& controller, LogSink& log) : controller_(controller), log_(log) {}

LockMonitor::~LockMonitor() = default;

void LockMonitor::attach(sdbus::IConnection* systemBus, sdbus::IConnection* sessionBus,
                         std::optional<std::string> sessionID)
{
    if (systemBus != nullptr) {
        try {
            attachLogind(*systemBus, std::move(sessionID));
        } catch (const sdbus::Error& error) {
            slots_.clear();
            sessionPath_.clear();
            log_.write(LogLevel::info, "screen lock: logind is not available (" + error.getMessage()
                                           + "); locking the screen changes nothing unless the desktop's screen saver reports it");
        }
    } else {
        log_.write(LogLevel::info, "screen lock: no system bus, so logind cannot report locks");
    }
    if (sessionBus != nullptr) {
        // KDE and others publish it at two paths; the member and interface are what count.
        slots_.push_back(share(sessionBus->addMatch(
            "type='signal',interface='org.freedesktop.ScreenSaver',member='ActiveChanged'",
            [this](sdbus::Message& message) {
                bool on = false;
                try {
                    message >> on;
                } catch (const sdbus::Error&) {
                    return;
                }
                screenLockChanged(on);
            })));
    }
}

void LockMonitor::attachLogind(sdbus::IConnection& bus, std::optional<std::string> sessionID)
{
    auto manager = sdbus::createProxy(bus, login1Name, login1Path);
    if (!sessionID)
        if (const char* variable = std::getenv("XDG_SESSION_ID"); variable != nullptr && *variable != '\0')
            sessionID = variable;
    sdbus::ObjectPath path;
    if (sessionID) {
        manager->callMethod("GetSession").onInterface(managerInterface).withTimeout(callTimeout)
            .withArguments(*sessionID).storeResultsTo(path);
    } else {
        manager->callMethod("GetSessionByPID").onInterface(managerInterface).withTimeout(callTimeout)
            .withArguments(static_cast<std::uint32_t>(::getpid())).storeResultsTo(path);
    }
    sessionPath_ = path;

    const std::string sessionMatch = std::string("type='signal',sender='") + login1Name + "',path='" + sessionPath_ + "'";
    slots_.push_back(share(bus.addMatch(sessionMatch + ",interface='" + sessionInterface + "',member='Lock'",
                                        [this](sdbus::Message&) { screenLockChanged(true); })));
    slots_.push_back(share(bus.addMatch(sessionMatch + ",interface='" + sessionInterface + "',member='Unlock'",
                                        [this](sdbus::Message&) { screenLockChanged(false); })));
    slots_.push_back(share(bus.addMatch(
        sessionMatch + ",interface='" + propertiesInterface + "',member='PropertiesChanged',arg0='" + sessionInterface + "'",
        [this](sdbus::Message& message) {
            std::string interface;
            std::map<std::string, sdbus::Variant> changed;
            try {
                message >> interface >> changed;
                auto hint = changed.find("LockedHint");
                if (hint != changed.end())
                    screenLockChanged(hint->second.get<bool>());
            } catch (const sdbus::Error&) {
                // Not the shape logind sends; nothing to learn from it.
            }
        })));

    // Where the session stands now is a starting point, not an event.
    auto session = sdbus::createProxy(bus, login1Name, sessionPath_);
    sdbus::Variant hint;
    session->callMethod("Get").onInterface(propertiesInterface).withTimeout(callTimeout)
        .withArguments(std::string(sessionInterface), std::string("LockedHint")).storeResultsTo(hint);
    locked_ = hint.get<bool>();
    log_.write(LogLevel::info, "screen lock: following logind session " + sessionPath_);
}

void LockMonitor::setActive(bool active)
{
    active_ = active;
    decide(false);
}

void LockMonitor::screenLockChanged(bool locked)
{
    if (locked == locked_)
        return;
    locked_ = locked;
    decide(true);
}

namespace {

constexpr const char* lockedCause = "screen locked";

} // namespace

bool LockMonitor::awayIsLocked() const
{
    if (!awayIsLocked_)
        return false;
    const HostStatus status = controller_.status();
    return status.mode == QuellonMode::away && status.modeCause == ownedCause_;
}

void LockMonitor::takeOverAway()
{
    const HostStatus status = controller_.status();
    if (status.mode != QuellonMode::away)
        return;
    awayIsLocked_ = true;
    ownedCause_ = status.modeCause;
    log_.write(LogLevel::info, "screen lock: keeps the Away of " + ownedCause_ + " until the unlock");
}

void LockMonitor::decide(bool eventFired)
{
    const HostStatus status = controller_.status();
    LockTriggerReconciler::State state;
    state.lockTriggerActive = active_;
    state.isAway = status.mode == QuellonMode::away;
    state.isStandby = status.mode == QuellonMode::standby;
    state.isRecording = status.recording;
    state.awayIsLocked = awayIsLocked_ && status.modeCause == ownedCause_;
    state.lockEventFired = eventFired;
    state.isScreenLocked = locked_;
    const LockTriggerReconciler::Decision decision = LockTriggerReconciler::decide(state);
    try {
        if (decision.action == LockTriggerReconciler::Action::enterAway) {
            log_.write(LogLevel::info, "screen locked: entering Away");
            controller_.setMode(QuellonMode::away, lockedCause);
            ownedCause_ = lockedCause;
        } else if (decision.action == LockTriggerReconciler::Action::returnToLive) {
            const char* cause = eventFired ? "screen unlocked" : "screen lock trigger off";
            log_.write(LogLevel::info, std::string(cause) + ": returning to Live");
            controller_.setMode(QuellonMode::live, cause);
        }
    } catch (const std::exception& failure) {
        log_.write(LogLevel::error, std::string("screen lock: cannot change the mode: ") + failure.what());
        return;
    }
    awayIsLocked_ = decision.awayIsLocked;
}

} // namespace quellon::host
