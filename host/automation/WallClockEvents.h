#pragma once
// The moments after which the local wall clock must be read again: waking from suspend
// (timers stood still while the machine slept) and a change of the system's time zone.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace quellon {
class LogSink;
class MainLoop;
} // namespace quellon

namespace quellon::host {

class DirectoryWatch;

/// Calls handler on the loop thread after a resume (logind's PrepareForSleep(false) on the
/// system bus) and after /etc/localtime or /etc/timezone changes (inotify on the directory,
/// since /etc/localtime is a symlink that is replaced, not written).
class WallClockEvents {
public:
    /// systemBus may be null (no resume events then); zoneDirectory is /etc outside tests.
    WallClockEvents(MainLoop& loop, sdbus::IConnection* systemBus, LogSink& log, std::function<void()> handler,
                    std::filesystem::path zoneDirectory = "/etc");
    ~WallClockEvents();
    WallClockEvents(const WallClockEvents&) = delete;
    WallClockEvents& operator=(const WallClockEvents&) = delete;

private:
    std::function<void()> handler_;
    std::shared_ptr<void> sleepSlot_;
    std::unique_ptr<DirectoryWatch> zoneWatch_;
};

} // namespace quellon::host
