#include "menubar/DarwinObserver.h"

#include "menubar/MainLoop.h"

namespace quellon {

DarwinObserver::DarwinObserver(NotificationBus& bus, std::string name, std::function<void()> handler)
    : name_(std::move(name)), shared_(std::make_shared<Shared>(Shared{std::move(handler)}))
{
    MainLoop& loop = bus.loop();
    std::weak_ptr<Shared> weak = shared_;
    subscription_ = bus.subscribe(name_, [&loop, weak](const std::string&) {
        auto run = [weak] {
            if (auto shared = weak.lock(); shared && shared->alive)
                shared->handler();
        };
        // Messages are normally processed on the loop thread; should a callback ever arrive
        // elsewhere, the handler still runs on the loop thread, later.
        if (loop.isLoopThread())
            run();
        else
            loop.post(run);
    });
}

DarwinObserver::~DarwinObserver()
{
    shared_->alive = false;
}

} // namespace quellon
