#include "FrameTimer.h"

#include "SerialQueue.h"

#include <asio/io_context.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>

namespace quellon {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct SteadyTimerState {
    explicit SteadyTimerState(asio::io_context& context) : timer(context) {}
    asio::steady_timer timer;
    SteadyClock::duration interval{};
    SteadyClock::time_point deadline{};
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};
};

void arm(const std::shared_ptr<SteadyTimerState>& state)
{
    state->timer.expires_at(state->deadline);
    state->timer.async_wait([state](const std::error_code& error) {
        if (error || state->cancelled)
            return;
        state->handler();
        if (state->cancelled)
            return;
        state->deadline += state->interval;
        const auto now = SteadyClock::now();
        if (now - state->deadline > state->interval)
            state->deadline = now;
        arm(state);
    });
}

class SteadyFrameTimer final : public FrameTimer {
public:
    explicit SteadyFrameTimer(std::shared_ptr<SteadyTimerState> state) : state_(std::move(state)) {}
    ~SteadyFrameTimer() override { cancel(); }

    void cancel() override
    {
        if (state_->cancelled.exchange(true))
            return;
        // The timer object belongs to its queue's thread: cancel it there, at once when already on it.
        auto state = state_;
        asio::dispatch(state->timer.get_executor(), [state] { state->timer.cancel(); });
    }

private:
    std::shared_ptr<SteadyTimerState> state_;
};

class SteadyFrameTimerFactory final : public FrameTimerFactory {
public:
    std::unique_ptr<FrameTimer> start(SerialQueue& queue, double intervalSeconds, std::function<void()> handler) override
    {
        auto& context = *static_cast<asio::io_context*>(queue.eventLoop());
        auto state = std::make_shared<SteadyTimerState>(context);
        state->interval = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(intervalSeconds));
        state->handler = std::move(handler);
        state->deadline = SteadyClock::now();
        asio::post(context, [state] {
            if (!state->cancelled)
                arm(state);
        });
        return std::make_unique<SteadyFrameTimer>(state);
    }
};

} // namespace

FrameTimerFactory& FrameTimerFactory::steady()
{
    static SteadyFrameTimerFactory factory;
    return factory;
}

struct ManualFrameTimerFactory::Entry {
    SerialQueue* queue = nullptr;
    double interval = 0;
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};
};

namespace {

class ManualFrameTimer final : public FrameTimer {
public:
    explicit ManualFrameTimer(std::shared_ptr<ManualFrameTimerFactory::Entry> entry) : entry_(std::move(entry)) {}
    ~ManualFrameTimer() override { cancel(); }
    void cancel() override { entry_->cancelled = true; }

private:
    std::shared_ptr<ManualFrameTimerFactory::Entry> entry_;
};

} // namespace

std::unique_ptr<FrameTimer> ManualFrameTimerFactory::start(SerialQueue& queue, double intervalSeconds,
                                                           std::function<void()> handler)
{
    auto entry = std::make_shared<Entry>();
    entry->queue = &queue;
    entry->interval = intervalSeconds;
    entry->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    return std::make_unique<ManualFrameTimer>(entry);
}

int ManualFrameTimerFactory::fire()
{
    std::vector<std::shared_ptr<Entry>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_)
            if (!entry->cancelled)
                live.push_back(entry);
    }
    int ran = 0;
    for (const auto& entry : live) {
        entry->queue->sync([&] {
            if (!entry->cancelled) {
                entry->handler();
                ++ran;
            }
        });
    }
    return ran;
}

int ManualFrameTimerFactory::liveTimers() const
{
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& entry : entries_)
        count += entry->cancelled ? 0 : 1;
    return count;
}

int ManualFrameTimerFactory::startedTimers() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(entries_.size());
}

double ManualFrameTimerFactory::lastInterval() const
{
    std::lock_guard lock(mutex_);
    return entries_.empty() ? 0.0 : entries_.back()->interval;
}

} // namespace quellon
