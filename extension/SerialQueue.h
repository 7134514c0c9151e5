#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quellon {

/// A serial work queue on a thread of its own: work runs one item at a time, in the order it
/// was queued. The daemon's queues ("com.quellon.ext.frames", "com.quellon.ext.rename") are
/// these.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    /// Drops queued work and ends the thread. Safe from inside the queue's own work, where the
    /// thread winds down once the current item returns.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    /// Queues work and returns at once.
    void async(std::function<void()> work);
    /// Runs work on the queue and waits for it; runs it at once when already on the queue.
    void sync(const std::function<void()>& work);
    /// True on the queue's own thread.
    bool isCurrent() const;

    /// Opaque access to the event loop, for timers (an asio::io_context).
    void* eventLoop();

    /// Waits up to `limit` for the threads of queues destroyed from their own work, which
    /// finish the item they run on their own. A program calls it before it returns from main,
    /// so no such item still runs while static objects (the clock, the log) are destroyed.
    /// True when none is left.
    static bool waitForDetachedThreads(std::chrono::milliseconds limit);

private:
    struct Impl;
    std::string label_;
    std::shared_ptr<Impl> impl_;
};

} // namespace quellon
