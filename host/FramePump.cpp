#include "host/FramePump.h"

#include <algorithm>
#include <chrono>

namespace quellon::host {

FramePump::FramePump(std::function<void()> tick, std::function<double()> period)
    : tick_(std::move(tick)), period_(std::move(period))
{
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

FramePump::~FramePump()
{
    stop();
}

void FramePump::stop()
{
    if (!thread_.joinable())
        return;
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
}

void FramePump::wake()
{
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

double FramePump::periodFor(long long targetFPS)
{
    return 1.0 / static_cast<double>(std::clamp(targetFPS, 5LL, 30LL));
}

void FramePump::run(std::stop_token stop)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now();
    while (!stop.stop_requested()) {
        tick_();
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period_()));
        // The next deadline follows the last one, so the rate does not drift; after a stall
        // longer than a frame the schedule starts afresh instead of sending a burst.
        deadline += period;
        const auto now = Clock::now();
        if (now > deadline + period)
            deadline = now;
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, stop, deadline, [this] { return woken_; }))
            deadline = Clock::now();
        woken_ = false;
    }
}

} // namespace quellon::host
