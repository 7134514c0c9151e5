#pragma once

#include "menubar/NotificationBus.h"

#include <functional>
#include <memory>
#include <string>

namespace quellon {

/// Observes one notification name and runs a handler on the bus's loop thread. The bus
/// daemon filters by name (a match on arg0), so other names never reach this process.
/// Construct and destroy on the loop thread: once destroyed, the handler never runs again,
/// not even for a notification that was already queued.
class DarwinObserver {
public:
    DarwinObserver(NotificationBus& bus, std::string name, std::function<void()> handler);
    ~DarwinObserver();
    DarwinObserver(const DarwinObserver&) = delete;
    DarwinObserver& operator=(const DarwinObserver&) = delete;

    const std::string& name() const { return name_; }

private:
    struct Shared {
        std::function<void()> handler;
        bool alive = true;
    };

    std::string name_;
    std::shared_ptr<Shared> shared_;
    NotificationBus::Subscription subscription_;
};

} // namespace quellon
