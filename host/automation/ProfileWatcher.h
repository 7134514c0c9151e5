#pragma once
// Switches the active loop to the one the user chose for the meeting application in front.

#include "triggers/MeetingAppProfile.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quellon {
class LogSink;
class MainLoop;
}

namespace quellon::host {

class HostController;

/// Looks every interval at which application is in front, asks MeetingAppProfileReconciler and
/// has the host switch the loop (cause "profile APP-ID"). Runs on the MainLoop's thread. The
/// profiles and their switch are read on every look, so edits apply at the next one.
class ProfileWatcher {
public:
    struct Settings {
        bool profilesActive = false;
        std::vector<MeetingAppProfile> profiles;
        bool operator==(const Settings&) const = default;
    };
    using SettingsSource = std::function<Settings()>;
    /// The frontmost application's identifier (see frontmostApp()); none when nothing is known.
    using FrontmostSource = std::function<std::optional<std::string>()>;

    static constexpr std::chrono::milliseconds defaultInterval{1500};

    ProfileWatcher(MainLoop& loop, HostController& host, SettingsSource settings, FrontmostSource frontmost,
                   LogSink& log, std::chrono::milliseconds interval = defaultInterval);
    ~ProfileWatcher();
    ProfileWatcher(const ProfileWatcher&) = delete;
    ProfileWatcher& operator=(const ProfileWatcher&) = delete;

    /// Looks now and then every interval. Loop thread (or before the loop runs).
    void start();
    /// No more looks. Loop thread. Idempotent.
    void stop();
    /// One look: gather, decide, switch. Loop thread.
    void check();

private:
    void schedule();

    MainLoop& loop_;
    HostController& host_;
    SettingsSource settings_;
    FrontmostSource frontmost_;
    LogSink& log_;
    std::chrono::milliseconds interval_;
    std::optional<std::uint64_t> timer_;
    // A switch the host refused (say, the clip was deleted): not asked again, nor logged again,
    // until the application or the profile's loop changes.
    std::optional<std::pair<std::string, std::string>> refused_;
};

} // namespace quellon::host
