#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quellon {

class SerialQueue;

/// A repeating timer whose handler runs on a serial queue.
class FrameTimer {
public:
    virtual ~FrameTimer() = default;
    /// No handler runs after this returns when called on the timer's queue.
    virtual void cancel() = 0;
};

/// Makes frame timers: the real one runs on the steady clock, the manual one for tests fires
/// only when told.
class FrameTimerFactory {
public:
    virtual ~FrameTimerFactory() = default;
    /// A timer whose first deadline is now and which repeats every intervalSeconds.
    virtual std::unique_ptr<FrameTimer> start(SerialQueue& queue, double intervalSeconds,
                                              std::function<void()> handler) = 0;

    /// Steady-clock timers re-armed from their previous deadline, so the rate does not drift
    /// with the handler's running time. After a stall longer than one interval the missed
    /// ticks are skipped rather than sent in a burst.
    static FrameTimerFactory& steady();
};

/// Timers that fire only through fire(); for tests.
class ManualFrameTimerFactory final : public FrameTimerFactory {
public:
    std::unique_ptr<FrameTimer> start(SerialQueue& queue, double intervalSeconds,
                                      std::function<void()> handler) override;

    /// Runs the handler of every live timer once, each on its queue, and waits for it.
    /// Gives the number of handlers run.
    int fire();
    /// Timers made and not cancelled.
    int liveTimers() const;
    /// Timers made so far.
    int startedTimers() const;
    /// Interval of the most recently made timer; 0 before any.
    double lastInterval() const;

    struct Entry;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

} // namespace quellon
