#pragma once
// The screen-lock trigger: follows the session's lock state and lets LockTriggerReconciler
// move the camera into Away on a lock and back to Live on the unlock that ends it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace quellon {
class LogSink;
} // namespace quellon

namespace quellon::host {

class HostController;

/// Where the lock state comes from: logind's session on the system bus (its Lock and Unlock
/// signals and its LockedHint property) and, where a desktop provides it, the session bus's
/// org.freedesktop.ScreenSaver ActiveChanged signal. Runs on the loop thread that processes
/// both connections.
class LockMonitor {
public:
    LockMonitor(HostController& controller, LogSink& log);
    ~LockMonitor();
    LockMonitor(const LockMonitor&) = delete;
    LockMonitor& operator=(const LockMonitor&) = delete;

    /// Finds our logind session (sessionID, else $XDG_SESSION_ID, else the session of this
    /// process) and subscribes. Without logind it logs once and relies on the screen saver
    /// alone, or on nothing. Either bus may be null.
    void attach(sdbus::IConnection* systemBus, sdbus::IConnection* sessionBus,
                std::optional<std::string> sessionID = std::nullopt);

    /// The trigger's switch. Decides at once without an event, so switching it off ends an
    /// Away the lock caused.
    void setActive(bool active);

    /// A lock or unlock. Only a change of the lock state counts as an event: the same news
    /// from a second source (the signal, then the property) is not a second lock.
    void screenLockChanged(bool locked);

    /// The lock would keep the camera Away now: the trigger is on and the screen locked.
    bool holdsAway() const { return active_ && locked_; }
    /// Makes the current Away the lock's (a schedule that ended while the screen is locked
    /// hands its Away over), so the unlock returns to Live. Nothing outside Away.
    void takeOverAway();

    /// logind's session was found and is followed.
    bool followsLogind() const { return !sessionPath_.empty(); }
    bool active() const { return active_; }
    bool screenLocked() const { return locked_; }
    /// The lock owns the current Away: it made it (or took it over) and nobody has changed the
    /// mode since.
    bool awayIsLocked() const;

private:
    void decide(bool eventFired);
    void attachLogind(sdbus::IConnection& bus, std::optional<std::string> sessionID);

    HostController& controller_;
    LogSink& log_;
    bool active_ = false;
    bool locked_ = false;
    bool awayIsLocked_ = false;
    // The cause of the Away the lock owns. Any other mode change replaces the host's cause, so
    // an Away left and entered again by another hand between two lock events is not the lock's.
    std::string ownedCause_;
    std::string sessionPath_;
    // Match slots; dropping one removes its rule from the bus.
    std::vector<std::shared_ptr<void>> slots_;
};

} // namespace quellon::host
