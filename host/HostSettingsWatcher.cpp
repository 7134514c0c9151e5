#include "host/HostSettingsWatcher.h"

#include "host/HostSettingsStore.h"
#include "platform/Log.h"

#include <system_error>

namespace quellon::host {

HostSettingsWatcher::HostSettingsWatcher(MainLoop& loop, const HostSettingsStore& store, LogSink& log,
                                         HostSettings current, Handler onChange)
    : store_(store), log_(log), current_(std::move(current)), onChange_(std::move(onChange))
{
    const auto directory = store_.file().parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    try {
        watch_ = std::make_unique<DirectoryWatch>(loop, directory, std::set<std::string>{store_.file().filename().string()},
                                                  [this] { reload(); });
    } catch (const std::system_error& failure) {
        throw HostSettingsError(std::string("cannot watch the settings: ") + failure.what());
    }
}

HostSettingsWatcher::~HostSettingsWatcher() = default;

void HostSettingsWatcher::reload()
{
    HostSettings settings;
    try {
        settings = store_.load();
    } catch (const HostSettingsError& failure) {
        // A hand edit in progress can fail many times over; say it once per fault.
        if (lastFault_ != failure.what()) {
            lastFault_ = failure.what();
            log_.write(LogLevel::error, lastFault_ + "; keeping the settings in use");
        }
        return;
    }
    lastFault_.clear();
    if (settings == current_)
        return;
    current_ = settings;
    log_.write(LogLevel::info, "settings changed; reloaded " + store_.file().string());
    onChange_(settings);
}

} // namespace quellon::host
