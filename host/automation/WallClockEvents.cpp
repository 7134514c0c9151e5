#include "host/automation/WallClockEvents.h"

#include "host/DirectoryWatch.h"
#include "platform/Log.h"

#include <sdbus-c++/sdbus-c++.h>
#include <system_error>

namespace quellon::host {

WallClockEvents::WallClockEvents(MainLoop& loop, sdbus::IConnection* systemBus, LogSink& log,
                                 std::function<void()> handler, std::filesystem::path zoneDirectory)
    : handler_(std::move(handler))
{
    if (systemBus != nullptr) {
        sdbus::Slot slot = systemBus->addMatch(
            "type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
            "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'",
            [this](sdbus::Message& message) {
                bool goingToSleep = true;
                try {
                    message >> goingToSleep;
                } catch (const sdbus::Error&) {
                    return;
                }
                if (!goingToSleep)
                    handler_();
            });
        auto deleter = slot.get_deleter();
        sleepSlot_ = std::shared_ptr<void>(slot.release(), std::move(deleter));
    }
    try {
        zoneWatch_ = std::make_unique<DirectoryWatch>(loop, zoneDirectory, std::set<std::string>{"localtime", "timezone"},
                                                      [this] { handler_(); });
    } catch (const std::system_error& failure) {
        log.write(LogLevel::info, std::string(failure.what()) + "; a new time zone takes effect at the next minute");
    }
}

WallClockEvents::~WallClockEvents() = default;

} // namespace quellon::host
