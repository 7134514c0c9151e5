#pragma once
// Notices when the settings file changes under the running host (a `quellon settings`
// command, a hand edit) and hands the new settings over.

#include "host/HostSettings.h"

#include "host/DirectoryWatch.h"

#include <functional>
#include <memory>
#include <string>

namespace quellon {
class LogSink;
class MainLoop;
} // namespace quellon

namespace quellon::host {

class HostSettingsStore;

/// Watches the settings file's directory. Runs on the loop thread.
class HostSettingsWatcher {
public:
    using Handler = std::function<void(const HostSettings&)>;

    /// current is what the host runs with now; onChange gets settings that differ from it.
    /// Creates the directory when missing. Throws HostSettingsError when inotify fails.
    HostSettingsWatcher(MainLoop& loop, const HostSettingsStore& store, LogSink& log, HostSettings current,
                        Handler onChange);
    ~HostSettingsWatcher();
    HostSettingsWatcher(const HostSettingsWatcher&) = delete;
    HostSettingsWatcher& operator=(const HostSettingsWatcher&) = delete;

    /// After the host's own write: those settings are current, so reading them back is no
    /// change.
    void setCurrent(HostSettings settings) { current_ = std::move(settings); }

    /// Re-reads the file now; what a directory event does.
    void reload();

private:
    const HostSettingsStore& store_;
    LogSink& log_;
    HostSettings current_;
    Handler onChange_;
    std::string lastFault_;
    std::unique_ptr<DirectoryWatch> watch_;
};

} // namespace quellon::host
